#pragma once
// The guard against password guessing, for every listener that takes the
// connection password (the remote-control listener, the web login).
//
// GuessBudget: wrong passwords compared, all listeners, addresses and
// connections together: a burst of Burst, then one every IntervalMs, so at
// most 5 + 60000 / 1200 = 55 in any 60 s. A right password costs nothing.
// AddressDelays: a wrong password costs its address a growing delay (1 s,
// 2 s, 4 s ... up to 60 s) before it may try again.
//
// Clock: both run on real time in a release build (NDEBUG), whatever
// VELDRIN_TIME_SCALE says, so that the variable cannot weaken them. A debug
// build follows the time base, and a test may make any build follow it with
// setSecurityClockFollowsTimeBase(true).

#include <QHash>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <limits>

class QTimer;

namespace platform {

qint64 securityNowMs();
// Starts a single-shot security timer of ms on the same clock.
void startSecurityTimer(QTimer& timer, qint64 ms);
void setSecurityClockFollowsTimeBase(bool follow);
// A wait as a refusal names it: whole seconds, rounded up, at least 1.
inline qint64 secondsToWait(qint64 ms) {
    return std::max<qint64>(1, (ms + 999) / 1000);
}
bool securityClockFollowsTimeBase();

class GuessBudget {
  public:
    static constexpr int Burst = 5;
    static constexpr qint64 IntervalMs = 1200;

    // Whether a password may be compared now.
    bool left() const;
    // A wrong password was compared.
    void spend();
    // How long until a password may be compared again (0: now).
    qint64 waitMs() const;

  private:
    qint64 dueMs_ = std::numeric_limits<qint64>::min() / 2;  // next token to spare
};

class AddressDelays {
  public:
    static constexpr qint64 MaxDelayMs = 60000;
    static constexpr int MaxAddresses = 256;  // remembered at once

    // A wrong password (or a refused guess) from peer.
    void addFailure(const QString& peer);
    // How long peer must still wait (0: it may try).
    qint64 leftMs(const QString& peer);
    // A right password: peer starts afresh.
    void forget(const QString& peer) { delays_.remove(peer); }
    int count() const { return static_cast<int>(delays_.size()); }

  private:
    void prune(qint64 now);
    struct Delay {
        int failures = 0;
        qint64 untilMs = 0;
    };
    QHash<QString, Delay> delays_;
};

}  // namespace platform
