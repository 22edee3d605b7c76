#include "x10codes.h"

#include <algorithm>
#include <array>

namespace veldrin::sim::x10 {

namespace {
constexpr std::array<uchar, 16> kCodes = {6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};
constexpr std::array<const char*, 16> kNames = {"ALL UNITS OFF",
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
}  // namespace

uchar codeForIndex(int index) {
    return kCodes[size_t(index & 0x0F)];
}

int indexForCode(uchar code) {
    const auto it = std::find(kCodes.begin(), kCodes.end(), uchar(code & 0x0F));
    return int(it - kCodes.begin());
}

bool parseHouse(QChar c, char* house) {
    const char l = c.toUpper().toLatin1();
    if (l < 'A' || l > 'P') return false;
    *house = l;
    return true;
}

QString functionName(int fn) {
    return QString::fromLatin1(kNames[size_t(fn & 0x0F)]);
}

bool isUnitFunction(int fn) {
    switch (fn) {
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

uchar reverseNibble(uchar n) {
    return uchar(((n & 1) << 3) | ((n & 2) << 1) | ((n & 4) >> 1) | ((n & 8) >> 3));
}

int stepsToPercent(int steps) {
    return (steps * 100 + 11) / 22;
}

int amountToPercent(int amount) {
    return (amount * 100 + 105) / 210;
}

int percentToAmount(int percent) {
    return (std::clamp(percent, 0, 100) * 210 + 50) / 100;
}

}  // namespace veldrin::sim::x10
