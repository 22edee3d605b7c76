#pragma once
// Local time of day and date. Production reads the local time through Qt (so
// TZ is honoured); tests set a fixed or running time.

#include <QDateTime>
#include <QElapsedTimer>

namespace platform {

class Clock {
  public:
    static Clock& global();

    QDateTime now() const;

    // From now on now() returns exactly dt.
    void setFixed(const QDateTime& dt);
    // From now on now() starts at dt and runs on in real time.
    void setRunningFrom(const QDateTime& dt);
    // Back to the local system clock.
    void reset();

  private:
    Clock() = default;
    enum class Mode { System, Fixed, Running } mode_ = Mode::System;
    QDateTime base_;
    QElapsedTimer since_;  // real time since setRunningFrom
};

}  // namespace platform
