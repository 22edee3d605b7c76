#pragma once
// What veldrind tells the service manager over its notification socket
// (NOTIFY_SOCKET, sd_notify): READY=1 once the start-up is done, STATUS=
// lines saying where the interface is, STOPPING=1 at the end, and WATCHDOG=1
// from the event loop at half the watchdog interval (WATCHDOG_USEC), so that
// a loop that hangs is killed and restarted. Outside a service manager every
// call does nothing and no timer runs.

#include <QObject>
#include <QTimer>

namespace core {
class Service;
}

namespace app {

class SystemdNotify : public QObject {
    Q_OBJECT
  public:
    explicit SystemdNotify(QObject* parent = nullptr);

    // Start-up is done: READY=1, with a STATUS= line on where the interface
    // is, which then follows the interface ("Interface found on /dev/ttyUSB0",
    // "Interface lost, trying again") until stopping() says "Stopping".
    void ready(core::Service& service);
    void status(const QString& text);
    void stopping();

    // The watchdog ping's interval in ms; 0 when no watchdog was asked for.
    int watchdogIntervalMs() const { return watchdog_.isActive() ? watchdog_.interval() : 0; }

  private:
    void send(const QByteArray& state);

    QTimer watchdog_;
    bool stopping_ = false;
};

}  // namespace app
