#include "systemdnotify.h"

#include <systemd/sd-daemon.h>
#include <algorithm>

namespace app {

SystemdNotify::SystemdNotify(QObject* parent) : QObject(parent) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    // The ping goes out from the event loop itself: a loop that stops turning
    // stops pinging. Half the interval leaves room for a late timer.
    const uint64_t halfMs = std::max<uint64_t>(usec / 2000, 1);
    watchdog_.setInterval(static_cast<int>(std::min<uint64_t>(halfMs, 24u * 3600 * 1000)));
    watchdog_.setTimerType(Qt::CoarseTimer);
    connect(&watchdog_, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    watchdog_.start();
}

void SystemdNotify::ready(const QString& status) {
    send("READY=1\nSTATUS=" + status.toUtf8());
}

void SystemdNotify::status(const QString& text) {
    // After STOPPING=1 the port is released on purpose: nothing more to say.
    if (stopping_) return;
    send("STATUS=" + text.toUtf8());
}

void SystemdNotify::stopping() {
    stopping_ = true;
    watchdog_.stop();
    send("STOPPING=1");
}

void SystemdNotify::send(const QByteArray& state) {
    // Without NOTIFY_SOCKET this does nothing; a failed send changes nothing
    // for the service itself.
    sd_notify(0, state.constData());
}

}  // namespace app
