#include "timebase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace platform {

namespace {
std::mutex& lock() {
    static std::mutex m;
    return m;
}
qint64 realNs() {
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t.nsecsElapsed();
}
}  // namespace

TimeBase& TimeBase::global() {
    static TimeBase tb;
    return tb;
}

TimeBase::TimeBase() {
    bool ok = false;
    const double s = qEnvironmentVariable("VELDRIN_TIME_SCALE").toDouble(&ok);
    if (ok && s > 0) setScale(s);
}

void TimeBase::setScale(double s) {
    if (!(s >= 1e-3) || !std::isfinite(s)) s = 1.0;
    std::lock_guard g(lock());
    const qint64 r = realNs();
    logicalBase_ += static_cast<qint64>(static_cast<double>(r - realBase_) * scale_);
    realBase_ = r;
    scale_ = s;
}

qint64 TimeBase::realMs(qint64 logicalMs) const {
    if (logicalMs <= 0) return 0;
    const double r = std::ceil(static_cast<double>(logicalMs) / scale_);
    return std::max<qint64>(1, static_cast<qint64>(std::min(r, 1e15)));
}

qint64 TimeBase::nowMs() const {
    std::lock_guard g(lock());
    const qint64 r = realNs();
    const qint64 ns =
        logicalBase_ + static_cast<qint64>(static_cast<double>(r - realBase_) * scale_);
    return ns / 1000000;
}

void TimeBase::startTimer(QTimer& timer, qint64 logicalMs) const {
    const qint64 r = realMs(logicalMs);
    timer.start(static_cast<int>(std::min<qint64>(r, std::numeric_limits<int>::max())));
}

bool waitFor(const std::function<bool()>& cond, qint64 logicalMs) {
    if (cond()) return true;
    TimeBase& tb = TimeBase::global();
    const qint64 deadline = tb.nowMs() + std::max<qint64>(0, logicalMs);
    // The timer wakes the loop at the deadline; until then the thread sleeps
    // in the event dispatcher until a notification, a timer or a posted event
    // arrives.
    QTimer wake;
    wake.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the deadline is what counts.
    wake.setTimerType(Qt::PreciseTimer);
    bool expired = false;
    QObject::connect(&wake, &QTimer::timeout, [&expired] { expired = true; });
    tb.startTimer(wake, logicalMs);
    while (!cond()) {
        const qint64 left = deadline - tb.nowMs();
        if (left <= 0) return cond();
        if (expired) {  // woke early: sleep for the rest
            expired = false;
            tb.startTimer(wake, left);
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void waitEvents(qint64 logicalMs) {
    waitFor([] { return false; }, logicalMs);
}

}  // namespace platform
