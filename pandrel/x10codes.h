#pragma once
// The wire format of the two-way interface: checksum, header byte, frame
// builders, the control's reading of device-code texts, upload decoding and
// the clock frame. Pure functions, no state. The X10 vocabulary (functions,
// code tables, dim conversions) comes from x10.h and is visible here too.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <vector>

#include "x10.h"

namespace pandrel::x10 {

// The vocabulary: functions, code tables, addresses, dim conversions.
using namespace ::x10;

// The other command numbers of the control, beside the sixteen functions.
constexpr int AddressOnly = -1;
constexpr int ClearMemory = 16;
// A heard macro report, where the control's events carry a heard function.
constexpr int MacroReport = 98;

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
// Dim amount 0 ... 210 of an upload to percent (105 -> 50); above 210, 100.
inline int dimPercent(uint8_t amount) {
    return amountToPercent(amount);
}
// Preset-dim level of a function byte: ReverseBits[f >> 4], plus 16 for 11.
int presetDimValue(uint8_t functionByte);

// Clock frame for a local date and time; monitoredHouse goes to the high four
// bits of the last byte.
std::array<uint8_t, 7> clockFrame(const QDateTime& local, int monitoredHouse = 0);
QByteArray clockFrameBytes(const QDateTime& local, int monitoredHouse = 0);

}  // namespace pandrel::x10
