#include "systemdnotify.h"

#include <systemd/sd-daemon.h>
#include <algorithm>

#include "interface.h"
#include "mscomm.h"
#include "service.h"

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

void SystemdNotify::ready(core::Service& service) {
    core::Interface& iface = service.interface();
    const auto where = [&iface] { return MSComm::deviceForPort(iface.port()); };
    const QString now =
        iface.ready() ? QStringLiteral("Interface found on ") + where()
                      : QStringLiteral("Interface not found on %1, trying again").arg(where());
    send("READY=1\nSTATUS=" + now.toUtf8());
    connect(&iface, &core::Interface::readyChanged, this, [this, where](bool ready) {
        // A stop releases the interface: that is no loss.
        if (stopping_) return;
        status(ready ? QStringLiteral("Interface found on ") + where()
                     : QStringLiteral("Interface lost, trying again"));
    });
}

void SystemdNotify::status(const QString& text) {
    send("STATUS=" + text.toUtf8());
}

void SystemdNotify::stopping() {
    watchdog_.stop();
    stopping_ = true;
    send("STOPPING=1");
    status(QStringLiteral("Stopping"));
}

void SystemdNotify::send(const QByteArray& state) {
    // Without NOTIFY_SOCKET this does nothing; a failed send changes nothing
    // for the service itself.
    sd_notify(0, state.constData());
}

}  // namespace app
