#pragma once
// The X10 vocabulary: house and unit codes, addresses, the sixteen functions
// with their names, commands and heard events, and the conversions of dim
// levels. The code tables live here and nowhere else. Plain values, no state;
// Qt Core only.
//
// Houses are positions 1 ... 16 (A = 1 ... P = 16), units are 1 ... 16. On the
// power line both travel as 4-bit codes (A and unit 1 are 6, M and unit 13
// are 0).

#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace x10 {

// The sixteen functions, numbered as in the low nibble of a function byte.
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
    XDataXfer = 12,
    StatusOn = 13,
    StatusOff = 14,
    StatusRequest = 15,
};
constexpr int kFunctionCount = 16;

// Names of the functions ("ALL UNITS OFF" ... "STATUS REQUEST"), by number.
extern const std::array<const char*, kFunctionCount> FunctionNames;
// Name of a function; the number is taken modulo 16.
QString functionName(int function);
// The function of a name (either case, blanks around ignored).
std::optional<Function> functionFromName(QStringView name);
// ALL UNITS OFF, ALL LIGHTS ON and ALL LIGHTS OFF act on a whole house.
bool isHouseFunction(int function);
// Functions that act on the units addressed before them.
bool isUnitFunction(int function);

// 4-bit code of a house position or unit number 1 ... 16; index 0 holds 0.
extern const std::array<uint8_t, 17> CodeOf;
// Reverse tables, indexed by a 4-bit code.
extern const std::array<const char*, 16> HouseLetterOf;
extern const std::array<const char*, 16> UnitTextOf;
extern const std::array<uint8_t, 16> PositionOf;
// 4-bit bit reversal, the encoding of preset-dim levels.
extern const std::array<uint8_t, 16> ReverseBits;

// Code of a position 1 ... 16; 0 outside that range.
uint8_t codeOf(int position);
// Position 1 ... 16 of the low nibble of code.
inline int positionOf(uint8_t code) {
    return PositionOf[code & 0x0F];
}
// Code of a house letter 'A' ... 'P' (upper case) and of a unit 1 ... 16.
inline uint8_t houseCode(char letter) {
    return codeOf(letter - 'A' + 1);
}
inline uint8_t unitCode(int unit) {
    return codeOf(unit);
}
// House letter and unit number of the low nibble of code.
inline char letterOfCode(uint8_t code) {
    return static_cast<char>('A' - 1 + positionOf(code));
}
inline int unitOfCode(uint8_t code) {
    return positionOf(code);
}
inline uint8_t reverseNibble(uint8_t n) {
    return ReverseBits[n & 0x0F];
}

// House position 1 ... 16 of the first character of a text (either case), or
// 0 when the text is empty or does not start with A ... P.
int housePosition(QStringView text);

// One module, or a whole house (unit 0).
struct Address {
    int house = 0;  // 1 ... 16, 0: none
    int unit = 0;   // 1 ... 16, 0: the whole house

    bool valid() const { return house >= 1 && house <= 16 && unit >= 0 && unit <= 16; }
    char letter() const { return valid() ? static_cast<char>('A' - 1 + house) : '?'; }
    // House code in the high nibble, unit code in the low one.
    uint8_t byte() const { return static_cast<uint8_t>(codeOf(house) << 4 | codeOf(unit)); }
    static Address fromByte(uint8_t b) { return {positionOf(b >> 4), positionOf(b)}; }
    // "A1"; "A" for a whole house.
    QString text() const;
    // "A1", "p16", "B" (a whole house); nothing for anything else.
    static std::optional<Address> parse(QStringView text);

    friend bool operator==(const Address&, const Address&) = default;
};

// A command for the line: the units to address, then the function. The
// function goes to the house of the first address; an address with unit 0
// only names that house (the house functions need no unit).
struct Command {
    std::vector<Address> addresses;
    Function function = On;
    // Percent for DIM and BRIGHT, 0 ... 31 for the preset dims, the data
    // byte of an EXTENDED CODE; 0 otherwise.
    int amount = 0;
    // EXTENDED CODE: its command byte.
    int extendedCommand = 0;
};

// What was heard on the line: a function with the addresses heard before it,
// or the report of a macro the interface ran.
struct HeardEvent {
    enum class Kind { Function, Macro };
    Kind kind = Kind::Function;
    // The house the function went to, 1 ... 16; 0 when the line did not say
    // (a preset dim heard without an address before it) and for a macro.
    int house = 0;
    // The addresses heard since the function before, in order and of any
    // house (the modules of the function's house take it); an EXTENDED
    // CODE's own unit.
    std::vector<Address> addresses;
    Function function = On;
    // Percent for DIM and BRIGHT, the value 0 ... 31 for the preset dims,
    // the data byte of an EXTENDED CODE; -1 when the function carries none.
    int amount = -1;
    // EXTENDED CODE: its command byte; -1 otherwise.
    int extendedCommand = -1;
    // A macro report: the interface's two bytes, the first in the high byte.
    int macro = -1;
};

// Dim steps (0 ... 22) of a brightness 0 ... 100 (clamped): rounded to the
// nearest step, a half to the even neighbour (25 -> 6, 75 -> 16).
int dimSteps(int percent);
// Percent of a number of dim steps (0 ... 22), rounded.
int stepsToPercent(int steps);
// A dim amount 0 ... 210 as the interface reports it, to percent (105 -> 50);
// above 210 it is 100, below 0 it is 0.
int amountToPercent(int amount);
// Percent 0 ... 100 (clamped) to a dim amount 0 ... 210.
int percentToAmount(int percent);

// A preset-dim value 0 ... 31 (clamped) as a function and a level 0 ... 15:
// PRESET DIM 1 below 16, PRESET DIM 2 with value - 16 above.
struct PresetLevel {
    Function function;
    int level;
};
PresetLevel presetLevel(int value);
// Percent 0 ... 100 of a preset-dim value 0 ... 31 (clamped), rounded
// (15 -> 48, 31 -> 100).
int presetPercent(int value);
// The value 0 ... 31 of a preset-dim function and its level 0 ... 15.
inline int presetValue(int function, int level) {
    return (level & 0x0F) + (function == PresetDim2 ? 16 : 0);
}

// Extended code to modules that take a level and answer (EXTENDED CODE,
// the command byte after the data byte; the frame carries its own unit).
// Preset level: the data byte's bits 0-5 are the level 0 ... 63 (0 off, 63
// full at once; any other level is ramped to, from fully dimmed when the
// lamp is off, without a flash to full).
constexpr int kExtPresetLevel = 0x31;
// Status request (data byte 0): the module answers kExtStatusReply from its
// own address.
constexpr int kExtStatusRequest = 0x37;
constexpr int kExtStatusReply = 0x38;
// The highest extended level.
constexpr int kExtTopLevel = 63;

// A module's answer to kExtStatusRequest, from its data byte: bits 0-5 the
// level, bit 6 an appliance module (clear: a lamp module), bit 7 a load is
// connected (a lamp's bulb is there and not burnt out).
struct ModuleStatus {
    int level = 0;  // 0 ... 63
    bool appliance = false;
    bool load = false;
};
ModuleStatus moduleStatus(int data);
// Extended level 0 ... 63 of a brightness 0 ... 100 (clamped), rounded; a
// brightness above 0 is at least level 1.
int extLevel(int percent);
// Percent 0 ... 100 of an extended level 0 ... 63 (clamped), rounded; a level
// above 0 is at least 1 %.
int extPercent(int level);

}  // namespace x10

// The vocabulary's name in the published header of earlier releases: programs
// built against it (veldrin::x10::On) still compile.
namespace veldrin {
namespace x10 = ::x10;
}  // namespace veldrin
