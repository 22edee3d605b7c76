#pragma once
// X10 codes and the wire format of the two-way interface: code
// tables, checksum, header byte, frame builders, dim steps, preset-dim levels,
// upload decoding and the clock frame. Pure functions, no state.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <vector>

namespace pandrel::x10 {

// 4-bit code of a house letter's position (A = 1 ... P = 16) or of a unit
// number 1 ... 16; index 0 holds 0.
extern const std::array<uint8_t, 17> CodeOf;
// Reverse tables, indexed by a 4-bit code.
extern const std::array<const char*, 16> HouseLetterOf;
extern const std::array<const char*, 16> UnitTextOf;
// Function names, indexed by function code 0 ... 15.
extern const std::array<const char*, 16> FunctionNames;
// 4-bit reversal of preset-dim levels.
extern const std::array<uint8_t, 16> ReverseBits;

// Function codes and the other command numbers of the control.
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
    AddressOnly = -1,
    ClearMemory = 16,
    MacroReport = 98,
};

// Bytes of the line.
constexpr uint8_t kAck = 0x00;
constexpr uint8_t kPoll = 0x5A;
constexpr uint8_t kMacroReport = 0x5B;
constexpr uint8_t kPowerFail = 0xA5;
constexpr uint8_t kPollAnswer = 0xC3;
constexpr uint8_t kStatusRequest = 0x8B;
constexpr uint8_t kClockHeader = 0x9B;
constexpr uint8_t kDownloadHeader = 0xFB;
constexpr int kStatusReplyLength = 14;
constexpr int kMaxDimSteps = 22;

// House letter position 1 ... 16 of the first character of a house-code text
// (either case), or 0 when it is empty or not A ... P.
int housePosition(QStringView housecode);

// Header byte: bits 7-3 dim steps (0 ... 22, clamped), bit 2 set, bit 1
// function, bit 0 extended.
uint8_t headerByte(int steps, bool function, bool extended);

// Sum of the bytes modulo 256; the first byte is left out for frames longer
// than 6 bytes.
uint8_t frameChecksum(const uint8_t* frame, int length);
uint8_t frameChecksum(const QByteArray& frame);

// Frames the computer sends. house and unit are positions 1 ... 16 (A = 1);
// outside that range they encode as code 0 (the table's index 0).
QByteArray addressFrame(int house, int unit);
QByteArray functionFrame(int house, int function, int steps = 0);
QByteArray presetDimFrame(int level, int function);
// data and command are masked to 8 bits.
QByteArray extendedFrame(int house, int unit, int data, int command);
QByteArray memoryFrame(uint16_t address, const uint8_t (&data)[16]);

// Dim steps for a brightness 0 ... 100 (clamped): b / 100 x 22 rounded to the
// nearest integer, a half to the even neighbour (25 -> 6, 75 -> 16).
int dimSteps(int brightness);

// Preset dim for a value 0 ... 31 (clamped): function 10 with level v below
// 16, otherwise function 11 with level v - 16.
struct PresetLevel {
    int function;
    int level;
};
PresetLevel presetLevel(int value);

// Device-code list: "+"-separated items, each read as a decimal number from
// its first character (leading blanks skipped). Items reading as 1 ... 16 are
// kept in order; others are skipped. "1+5+16" -> 1,5,16; " 5" -> 5; "3x" ->
// 3; "x" or "" -> none.
std::vector<int> unitList(QStringView devicecode);
// The whole text read as one number (STATUS REQUEST), 0 when not 1 ... 16.
int singleUnit(QStringView devicecode);
// The number an item reads as (rounded half to even; huge values saturate).
int64_t readNumber(QStringView text);

// Upload decoding.
QString houseLetter(uint8_t byte);  // letter of the high nibble
QString unitText(uint8_t byte);     // unit of the low nibble
// "A1": letter of the high nibble and unit of the low nibble.
QString addressText(uint8_t byte);
// Dim amount 0 ... 210 to percent, rounded half to even (105 -> 50). Amounts
// above 210 give 100.
int dimPercent(uint8_t amount);
// Preset-dim level of a function byte: ReverseBits[f >> 4], plus 16 for 11.
int presetDimValue(uint8_t functionByte);

// Clock frame for a local date and time; monitoredHouse goes to the high four
// bits of the last byte.
std::array<uint8_t, 7> clockFrame(const QDateTime& local, int monitoredHouse = 0);
QByteArray clockFrameBytes(const QDateTime& local, int monitoredHouse = 0);

}  // namespace pandrel::x10
