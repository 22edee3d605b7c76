#include "logthrottle.h"

#include <QTimer>

#include "timebase.h"

namespace platform {

struct LogThrottle::Kind {
    QTimer timer;
    int held = 0;  // lines counted since the last one written
    QString newest;
};

LogThrottle::LogThrottle(Sink sink, qint64 windowMs, QObject* parent)
    : QObject(parent), sink_(std::move(sink)), windowMs_(windowMs) {}

LogThrottle::~LogThrottle() = default;

void LogThrottle::log(const QString& kind, const QString& line) {
    auto& slot = kinds_[kind];
    if (!slot) {
        slot = std::make_shared<Kind>();
        slot->timer.setSingleShot(true);
        Kind* k = slot.get();
        QObject::connect(&k->timer, &QTimer::timeout, this, [this, k] { windowEnded(*k); });
    }
    Kind& k = *slot;
    if (k.timer.isActive()) {
        ++k.held;
        k.newest = line;
        return;
    }
    sink_(line);
    TimeBase::global().startTimer(k.timer, windowMs_);
}

void LogThrottle::windowEnded(Kind& k) {
    if (k.held == 0) return;  // the burst is over; the next line goes out at once
    const int n = k.held;
    k.held = 0;
    sink_(QStringLiteral("%1 (%2 %3 in the last second)")
              .arg(k.newest)
              .arg(n)
              .arg(n == 1 ? QStringLiteral("time") : QStringLiteral("times")));
    TimeBase::global().startTimer(k.timer, windowMs_);
}

void LogThrottle::flush() {
    for (auto& k : kinds_) {
        k->timer.stop();
        windowEnded(*k);
        k->timer.stop();
    }
}

}  // namespace platform
