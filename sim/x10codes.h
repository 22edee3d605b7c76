#pragma once
// X10 code tables shared by both interface emulators: the 4-bit house/unit
// codes, function numbers and names, and the dim level conversions.

#include <QString>
#include <QtGlobal>

namespace veldrin::sim::x10 {

// Function numbers as they appear in the low nibble of a function byte.
enum Function : int {
    AllUnitsOff = 0,
    AllLightsOn = 1,
    On = 2,
    Off = 3,
    Dim = 4,
    Bright = 5,
    AllLightsOff = 6,
    ExtendedCode = 7,
    HailRequest = 8,
    HailAck = 9,
    PresetDim1 = 10,
    PresetDim2 = 11,
    ExtendedData = 12,
    StatusOn = 13,
    StatusOff = 14,
    StatusRequest = 15,
};

// 4-bit code of house letter A..P, or of unit 1..16 (same table, by index).
uchar codeForIndex(int index);
// Index 0..15 (A..P, or unit-1) of a 4-bit code.
int indexForCode(uchar code);

inline uchar houseCode(char letter) {
    return codeForIndex(letter - 'A');
}
inline uchar unitCode(int unit) {
    return codeForIndex(unit - 1);
}
inline char houseLetter(uchar code) {
    return char('A' + indexForCode(code & 0x0F));
}
inline int unitNumber(uchar code) {
    return indexForCode(code & 0x0F) + 1;
}

// True for 'A'..'P' (also lower case); normalises to upper case.
bool parseHouse(QChar c, char* house);

// Upper-case name of a function ("ALL LIGHTS ON", "DIM", ...).
QString functionName(int fn);
// True for functions that act on the addressed units rather than the house.
bool isUnitFunction(int fn);

// Bit reversal of a nibble, used by the preset dim level encoding.
uchar reverseNibble(uchar n);

// Dim steps (0..22) of a function header to percent, rounded.
int stepsToPercent(int steps);
// Uploaded dim/bright amount (0..210) to percent, rounded, and back.
int amountToPercent(int amount);
int percentToAmount(int percent);

}  // namespace veldrin::sim::x10
