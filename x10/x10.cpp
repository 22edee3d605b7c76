#include "x10.h"

#include <algorithm>

namespace x10 {

const std::array<const char*, kFunctionCount> FunctionNames = {"ALL UNITS OFF",
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

const std::array<uint8_t, 17> CodeOf = {0, 6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};

const std::array<const char*, 16> HouseLetterOf = {"M", "E", "C", "K", "O", "G", "A", "I",
                                                   "N", "F", "D", "L", "P", "H", "B", "J"};

const std::array<const char*, 16> UnitTextOf = {"13", "5", "3", "11", "15", "7", "1", "9",
                                                "14", "6", "4", "12", "16", "8", "2", "10"};

const std::array<uint8_t, 16> PositionOf = {13, 5, 3, 11, 15, 7, 1, 9, 14, 6, 4, 12, 16, 8, 2, 10};

const std::array<uint8_t, 16> ReverseBits = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

QString functionName(int function) {
    return QString::fromLatin1(FunctionNames[static_cast<size_t>(function & 0x0F)]);
}

std::optional<Function> functionFromName(QStringView name) {
    const QStringView n = name.trimmed();
    for (int f = 0; f < kFunctionCount; ++f)
        if (n.compare(QLatin1String(FunctionNames[static_cast<size_t>(f)]), Qt::CaseInsensitive) ==
            0)
            return static_cast<Function>(f);
    return std::nullopt;
}

bool isHouseFunction(int function) {
    return function == AllUnitsOff || function == AllLightsOn || function == AllLightsOff;
}

bool isUnitFunction(int function) {
    switch (function) {
        case On:
        case Off:
        case Dim:
        case Bright:
        case StatusOn:
        case StatusOff:
        case StatusRequest:
            return true;
        default:
            return false;
    }
}

uint8_t codeOf(int position) {
    return (position >= 1 && position <= 16) ? CodeOf[static_cast<size_t>(position)] : 0;
}

int housePosition(QStringView text) {
    if (text.isEmpty()) return 0;
    const int h = static_cast<int>(text.front().toUpper().unicode()) - 'A' + 1;
    return (h >= 1 && h <= 16) ? h : 0;
}

QString Address::text() const {
    QString t(QChar::fromLatin1(letter()));
    if (unit != 0) t += QString::number(unit);
    return t;
}

std::optional<Address> Address::parse(QStringView text) {
    const QStringView t = text.trimmed();
    const int house = housePosition(t);
    if (house == 0) return std::nullopt;
    if (t.size() == 1) return Address{house, 0};
    const QStringView digits = t.mid(1);
    if (digits.size() > 2) return std::nullopt;
    int unit = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9') return std::nullopt;
        unit = unit * 10 + (c.unicode() - u'0');
    }
    if (unit < 1 || unit > 16) return std::nullopt;
    return Address{house, unit};
}

int dimSteps(int percent) {
    const int n = std::clamp(percent, 0, 100) * 22;  // steps x 100
    int q = n / 100;
    const int r = n % 100;
    if (r > 50 || (r == 50 && (q & 1))) ++q;
    return q;
}

int stepsToPercent(int steps) {
    // steps x 100 / 22 never ends in an exact half.
    return (std::clamp(steps, 0, 22) * 100 + 11) / 22;
}

int amountToPercent(int amount) {
    // amount x 100 / 210 never ends in an exact half.
    return (std::clamp(amount, 0, 210) * 100 + 105) / 210;
}

int percentToAmount(int percent) {
    return (std::clamp(percent, 0, 100) * 210 + 50) / 100;
}

int presetPercent(int value) {
    // value x 100 / 31 never ends in an exact half.
    return (std::clamp(value, 0, 31) * 100 + 15) / 31;
}

PresetLevel presetLevel(int value) {
    const int v = std::clamp(value, 0, 31);
    if (v >= 16) return {PresetDim2, v - 16};
    return {PresetDim1, v};
}

ModuleStatus moduleStatus(int data) {
    return {data & 0x3F, (data & 0x40) != 0, (data & 0x80) != 0};
}

int extLevel(int percent) {
    const int p = std::clamp(percent, 0, 100);
    if (p == 0) return 0;
    return std::max(1, (p * kExtTopLevel + 50) / 100);
}

int extPercent(int level) {
    const int l = std::clamp(level, 0, kExtTopLevel);
    if (l == 0) return 0;
    return std::max(1, (l * 100 + kExtTopLevel / 2) / kExtTopLevel);
}

}  // namespace x10
