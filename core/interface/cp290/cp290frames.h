#pragma once
// The CP290 wire format: the frames the program sends and the judgement of
// the interface's 12-byte status reply. Pure functions, no port involved, so
// that the parsing can be exercised with any bytes at all.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace cp290 {

constexpr int kSyncLength = 16;  // 0xFF bytes in front of every frame
constexpr char kSyncByte = '\xFF';
constexpr uint8_t kCmdDirect = 0x01;
constexpr uint8_t kCmdSetClock = 0x02;
constexpr uint8_t kCmdStatus = 0x04;
constexpr int kStatusReplyLength = 12;
// The CP290's function number for "dim to a level" (the dim code rides in the
// upper four bits of the function byte). The CP290's own number, not an X10
// function; the other functions of a direct frame are X10 function numbers.
constexpr int kFunctionDim = 5;

// 16 x 0xFF, 0x04.
QByteArray statusRequestFrame();
// 16 x 0xFF, 0x02, minute, hour, day bit, checksum.
QByteArray setClockFrame(int minute, int hour, int dayBit);
// 16 x 0xFF, 0x01, function byte, house byte, units 9-16, units 1-8, checksum.
QByteArray directFrame(int functionByte, int houseByte, int units9to16, int units1to8);

// Sum of the data bytes modulo 256.
uint8_t checksum(const QByteArray& data);

// Day bit for a weekday 1 (Monday) .. 7 (Sunday); 0 for anything else.
int dayBitForWeekday(int dayOfWeek);

// The minute as decimal text, at least two characters ("05", "00", "59").
QString minuteText(int minute);

// Frame bytes as text of one character per byte, and back.
QString bytesToText(const QByteArray& bytes);
QByteArray textToBytes(const QString& text);

// What a status reply tells the detection.
struct StatusJudgement {
    bool found = false;        // exactly 12 bytes arrived
    bool clockNotSet = false;  // the interface's weekday (byte 10) is 0
    int minute = 0;            // byte 8
    int hour = 0;              // byte 9
    int dayBit = 0;            // byte 10
    int houseByte = 0;         // byte 11
    QStringList lines;         // the port and base house code lines, in log order
    QString timeLine;          // the interface time line ("" when clockNotSet)
};

// Judges the reply to a status request received on port `port`.
StatusJudgement judgeStatusReply(const QByteArray& reply, int port);

}  // namespace cp290
