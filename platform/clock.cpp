#include "clock.h"

namespace platform {

Clock& Clock::global() {
    static Clock c;
    return c;
}

QDateTime Clock::now() const {
    switch (mode_) {
        case Mode::Fixed:
            return base_;
        case Mode::Running:
            return base_.addMSecs(since_.elapsed());
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
    since_.start();
    mode_ = Mode::Running;
}

void Clock::reset() {
    mode_ = Mode::System;
}

}  // namespace platform
