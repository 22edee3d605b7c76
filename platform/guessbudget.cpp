#include "guessbudget.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

#include "timebase.h"

namespace platform {

namespace {
#ifdef NDEBUG
bool followTimeBase = false;
#else
bool followTimeBase = true;
#endif
}  // namespace

qint64 securityNowMs() {
    if (followTimeBase) return TimeBase::global().nowMs();
    static const QElapsedTimer real = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return real.elapsed();
}

void startSecurityTimer(QTimer& timer, qint64 ms) {
    if (followTimeBase) {
        TimeBase::global().startTimer(timer, ms);
    } else {
        timer.start(static_cast<int>(ms));
    }
}

void setSecurityClockFollowsTimeBase(bool follow) {
    followTimeBase = follow;
}

bool securityClockFollowsTimeBase() {
    return followTimeBase;
}

bool GuessBudget::left() const {
    // One token every IntervalMs, at most Burst saved up: never more than 5
    // wrong passwords compared in a second nor 55 in a minute (the burst,
    // then 50 tokens, the last exactly 60 s after the burst), and a burst
    // that has stopped leaves a token again 1.2 s later.
    const qint64 now = securityNowMs();
    return std::max(dueMs_, now) - now <= (Burst - 1) * IntervalMs;
}

qint64 GuessBudget::waitMs() const {
    const qint64 now = securityNowMs();
    return std::max<qint64>(0, std::max(dueMs_, now) - now - (Burst - 1) * IntervalMs);
}

void GuessBudget::spend() {
    dueMs_ = std::max(dueMs_, securityNowMs()) + IntervalMs;
}

void AddressDelays::prune(qint64 now) {
    // Forget addresses whose delay has long run out.
    for (auto it = delays_.begin(); it != delays_.end();) {
        if (it->untilMs + MaxDelayMs * 10 < now) {
            it = delays_.erase(it);
        } else {
            ++it;
        }
    }
}

void AddressDelays::addFailure(const QString& peer) {
    const qint64 now = securityNowMs();
    if (!delays_.contains(peer)) {
        prune(now);
        // Many addresses at once: the one whose delay ends first makes room.
        if (delays_.size() >= MaxAddresses) {
            auto oldest = delays_.begin();
            for (auto it = delays_.begin(); it != delays_.end(); ++it)
                if (it->untilMs < oldest->untilMs) oldest = it;
            delays_.erase(oldest);
        }
    }
    Delay& d = delays_[peer];
    d.failures = std::min(d.failures + 1, 30);
    d.untilMs = now + std::min<qint64>(MaxDelayMs, 1000LL << std::min(d.failures - 1, 16));
}

qint64 AddressDelays::leftMs(const QString& peer) {
    const qint64 now = securityNowMs();
    prune(now);
    const auto it = delays_.constFind(peer);
    if (it == delays_.constEnd()) return 0;
    return std::max<qint64>(0, it->untilMs - now);
}

}  // namespace platform
