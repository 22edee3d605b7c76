#pragma once
// Timing of the CP290 exchanges, shared by the driver, its tests and the
// benchmark. All durations are logical milliseconds of the time base.

#include <QtGlobal>

namespace cp290 {

// The fixed wait for the interface's reply after a frame is written.
constexpr qint64 kReplyWaitMs = 3000;
// Detection ends its wait early once 12 bytes have arrived and no further byte
// has come for this long (six byte times at 600 baud), so that a longer reply
// is still seen as one.
constexpr qint64 kSettleMs = 100;
// Clock settings one detection may start when the interface keeps reporting
// weekday 0 after its clock was set.
constexpr int kMaxClockRounds = 3;

// Line time of `bytes` bytes at 600 baud 8N1 (ten bit times each), rounded up.
constexpr qint64 lineTimeMs(qint64 bytes) {
    return (bytes * 10 * 1000 + 599) / 600;
}

// Whether the reply waits end as soon as the reply is complete (the default).
// Off, every wait lasts the full kReplyWaitMs; the benchmark compares both.
void setEarlyReplyEnd(bool on);
bool earlyReplyEnd();

}  // namespace cp290
