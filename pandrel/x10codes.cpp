#include "x10codes.h"

#include <QDate>
#include <QTime>
#include <algorithm>

#include "numtext.h"

namespace pandrel::x10 {

const std::array<uint8_t, 17> CodeOf = {0, 6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};

const std::array<const char*, 16> HouseLetterOf = {"M", "E", "C", "K", "O", "G", "A", "I",
                                                   "N", "F", "D", "L", "P", "H", "B", "J"};

const std::array<const char*, 16> UnitTextOf = {"13", "5", "3", "11", "15", "7", "1", "9",
                                                "14", "6", "4", "12", "16", "8", "2", "10"};

const std::array<const char*, 16> FunctionNames = {"ALL UNITS OFF",
                                                   "ALL LIGHTS ON",
                                                   "ON",
                                                   "OFF",
                                                   "DIM",
                                                   "BRIGHT",
                                                   "ALL LIGHTS OFF",
                                                   "EXTENDED CODE",
                                                   "HAIL REQUEST",
                                                   "HAIL ACK",
                                                   "PRESET DIM 1",
                                                   "PRESET DIM 2",
                                                   "X DATA XFER",
                                                   "STATUS ON",
                                                   "STATUS OFF",
                                                   "STATUS REQUEST"};

const std::array<uint8_t, 16> ReverseBits = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

namespace {
uint8_t code(int position) {
    return (position >= 1 && position <= 16) ? CodeOf[position] : 0;
}
}  // namespace

int housePosition(QStringView housecode) {
    if (housecode.isEmpty()) return 0;
    const char16_t c = housecode.front().toUpper().unicode();
    const int h = static_cast<int>(c) - 64;
    return (h >= 1 && h <= 16) ? h : 0;
}

uint8_t headerByte(int steps, bool function, bool extended) {
    steps = std::clamp(steps, 0, kMaxDimSteps);
    return static_cast<uint8_t>((steps << 3) | 0x04 | (function ? 0x02 : 0) |
                                (extended ? 0x01 : 0));
}

uint8_t frameChecksum(const uint8_t* frame, int length) {
    unsigned sum = 0;
    for (int i = length > 6 ? 1 : 0; i < length; ++i) sum += frame[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

uint8_t frameChecksum(const QByteArray& frame) {
    return frameChecksum(reinterpret_cast<const uint8_t*>(frame.constData()),
                         static_cast<int>(frame.size()));
}

static QByteArray bytes(std::initializer_list<uint8_t> list) {
    QByteArray b;
    b.reserve(static_cast<qsizetype>(list.size()));
    for (uint8_t v : list) b.append(static_cast<char>(v));
    return b;
}

QByteArray addressFrame(int house, int unit) {
    return bytes(
        {headerByte(0, false, false), static_cast<uint8_t>(code(house) << 4 | code(unit))});
}

QByteArray functionFrame(int house, int function, int steps) {
    return bytes({headerByte(steps, true, false),
                  static_cast<uint8_t>(code(house) << 4 | (function & 0x0F))});
}

QByteArray presetDimFrame(int level, int function) {
    return bytes({headerByte(0, true, false),
                  static_cast<uint8_t>(ReverseBits[level & 0x0F] << 4 | (function & 0x0F))});
}

QByteArray extendedFrame(int house, int unit, int data, int command) {
    return bytes({headerByte(0, true, true), static_cast<uint8_t>(code(house) << 4 | ExtendedCode),
                  code(unit), static_cast<uint8_t>(data & 0xFF),
                  static_cast<uint8_t>(command & 0xFF)});
}

QByteArray memoryFrame(uint16_t address, const uint8_t (&data)[16]) {
    QByteArray f;
    f.reserve(19);
    f.append(static_cast<char>(kDownloadHeader));
    f.append(static_cast<char>(address >> 8));
    f.append(static_cast<char>(address & 0xFF));
    f.append(reinterpret_cast<const char*>(data), 16);
    return f;
}

int dimSteps(int brightness) {
    const int b = std::clamp(brightness, 0, 100);
    const int n = b * kMaxDimSteps;  // steps x 100
    int q = n / 100;
    const int r = n % 100;
    if (r > 50 || (r == 50 && (q & 1))) ++q;
    return q;
}

PresetLevel presetLevel(int value) {
    const int v = std::clamp(value, 0, 31);
    if (v >= 16) return {PresetDim2, v - 16};
    return {PresetDim1, v};
}

int64_t readNumber(QStringView text) {
    return platform::roundHalfEven(platform::leadingNumber(text));
}

std::vector<int> unitList(QStringView devicecode) {
    std::vector<int> units;
    qsizetype start = 0;
    for (;;) {
        const qsizetype plus = devicecode.indexOf(u'+', start);
        const QStringView item =
            devicecode.mid(start, plus < 0 ? devicecode.size() - start : plus - start);
        const int64_t u = readNumber(item);
        if (u >= 1 && u <= 16) units.push_back(static_cast<int>(u));
        if (plus < 0) break;
        start = plus + 1;
    }
    return units;
}

int singleUnit(QStringView devicecode) {
    const int64_t u = readNumber(devicecode);
    return (u >= 1 && u <= 16) ? static_cast<int>(u) : 0;
}

QString houseLetter(uint8_t byte) {
    return QString::fromLatin1(HouseLetterOf[byte >> 4]);
}

QString unitText(uint8_t byte) {
    return QString::fromLatin1(UnitTextOf[byte & 0x0F]);
}

QString addressText(uint8_t byte) {
    return houseLetter(byte) + unitText(byte);
}

int dimPercent(uint8_t amount) {
    if (amount >= 210) return 100;
    const int n = amount * 100;  // percent x 210
    int q = n / 210;
    const int r = n % 210;
    if (r * 2 > 210 || (r * 2 == 210 && (q & 1))) ++q;
    return q;
}

int presetDimValue(uint8_t functionByte) {
    const int level = ReverseBits[functionByte >> 4];
    return (functionByte & 0x0F) == PresetDim2 ? level + 16 : level;
}

std::array<uint8_t, 7> clockFrame(const QDateTime& local, int monitoredHouse) {
    const QTime t = local.time();
    const QDate d = local.date();
    const int hour = t.hour();
    const int dayIndex = d.dayOfYear() - 1;  // 1 January = 0
    const int weekday = d.dayOfWeek() % 7;   // Sunday = 0 ... Saturday = 6
    std::array<uint8_t, 7> f{};
    f[0] = kClockHeader;
    f[1] = static_cast<uint8_t>(t.second());
    f[2] = static_cast<uint8_t>(t.minute() + 60 * (hour % 2));
    f[3] = static_cast<uint8_t>(hour / 2);
    f[4] = static_cast<uint8_t>(dayIndex & 0xFF);
    f[5] = static_cast<uint8_t>(((dayIndex >> 8) & 1) << 7 | (1 << weekday));
    f[6] = static_cast<uint8_t>((monitoredHouse & 0x0F) << 4);
    return f;
}

QByteArray clockFrameBytes(const QDateTime& local, int monitoredHouse) {
    const auto f = clockFrame(local, monitoredHouse);
    return QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size()));
}

}  // namespace pandrel::x10
