#pragma once
// The time base: every wait and interval timer of the program and the control
// library measures its time here. Production runs in real time (scale 1);
// tests speed it up so that a two-second listen costs milliseconds while the
// same code runs. The environment variable VELDRIN_TIME_SCALE sets the scale
// at start-up (for tests that start the programs as processes).

#include <QtGlobal>
#include <functional>

class QTimer;

namespace platform {

class TimeBase {
  public:
    static TimeBase& global();

    // Logical seconds per real second; at least 1e-3.
    double scale() const { return scale_; }
    void setScale(double s);

    // Real milliseconds that a logical duration takes (at least 1 when > 0).
    qint64 realMs(qint64 logicalMs) const;

    // Monotonic logical time in milliseconds since an arbitrary start.
    qint64 nowMs() const;

    // Starts (or restarts) a QTimer whose interval is given in logical ms.
    void startTimer(QTimer& timer, qint64 logicalMs) const;

  private:
    TimeBase();
    double scale_ = 1.0;
    qint64 realBase_ = 0;     // real ns at the last scale change
    qint64 logicalBase_ = 0;  // logical ns at the last scale change
};

// Runs the event loop (all events: window messages, port notifications,
// timers) until cond() holds or logicalMs of logical time pass. Sleeps while
// nothing happens; never spins. Returns the last value of cond().
bool waitFor(const std::function<bool()>& cond, qint64 logicalMs);

// Runs the event loop for logicalMs of logical time.
void waitEvents(qint64 logicalMs);

}  // namespace platform
