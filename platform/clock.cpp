#include "clock.h"

#include <QElapsedTimer>

namespace platform {

namespace {
qint64 realMsNow() {
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t.elapsed();
}
}  // namespace

Clock& Clock::global() {
    static Clock c;
    return c;
}

QDateTime Clock::now() const {
    switch (mode_) {
        case Mode::Fixed:
            return base_;
        case Mode::Running:
            return base_.addMSecs(realMsNow() - realStartMs_);
        case Mode::System:
            break;
    }
    return QDateTime::currentDateTime();
}

void Clock::setFixed(const QDateTime& dt) {
    base_ = dt;
    mode_ = Mode::Fixed;
}

void Clock::setRunningFrom(const QDateTime& dt) {
    base_ = dt;
    realStartMs_ = realMsNow();
    mode_ = Mode::Running;
}

void Clock::reset() {
    mode_ = Mode::System;
}

}  // namespace platform
