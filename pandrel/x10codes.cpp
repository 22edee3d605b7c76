#include "x10codes.h"

#include <QDate>
#include <QTime>
#include <algorithm>

#include "numtext.h"

namespace pandrel::x10 {

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
        {headerByte(0, false, false), static_cast<uint8_t>(codeOf(house) << 4 | codeOf(unit))});
}

QByteArray functionFrame(int house, int function, int steps) {
    return bytes({headerByte(steps, true, false),
                  static_cast<uint8_t>(codeOf(house) << 4 | (function & 0x0F))});
}

QByteArray presetDimFrame(int level, int function) {
    return bytes({headerByte(0, true, false),
                  static_cast<uint8_t>(ReverseBits[level & 0x0F] << 4 | (function & 0x0F))});
}

QByteArray extendedFrame(int house, int unit, int data, int command) {
    return bytes({headerByte(0, true, true),
                  static_cast<uint8_t>(codeOf(house) << 4 | ExtendedCode), codeOf(unit),
                  static_cast<uint8_t>(data & 0xFF), static_cast<uint8_t>(command & 0xFF)});
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

int presetDimValue(uint8_t functionByte) {
    return presetValue(functionByte & 0x0F, ReverseBits[functionByte >> 4]);
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
