#pragma once
// app::Host: the program put together once. It builds the core service from
// the settings file in use and, on request, each front end from its own
// settings (the remote-control listener, the home-automation bridge with the
// schedule's switch and scenes, the phone page), connects them to the service
// and to each other, and ends the run in one way. The window and the daemon
// veldrind each create one and add only their face: the window its widgets
// and its start-up order, the daemon its signals, its log on standard output
// and its reports to the service manager.
//
// It also keeps a status line naming what is down, for the service manager:
// where the interface is ("Interface found on /dev/ttyUSB0", "Interface lost,
// trying again", "Interface not answering on /dev/ttyUSB0, trying again") followed by each front
// end that did not start, with the reason its log line gave ("...; Remote control cannot listen on
// 127.0.0.1 port 7410: The bound address is already in use").
//
// Qt Core only: nothing here needs a window.

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace core {
class Service;
}
namespace mqtt {
class Bridge;
}
namespace remote {
class ServiceRemote;
}
namespace web {
class ServiceWeb;
}

namespace app {

class Host : public QObject {
    Q_OBJECT
  public:
    // The service, from the settings file in use; no front end yet.
    explicit Host(QObject* parent = nullptr);
    ~Host() override;  // the front ends go before the service they refer to

    core::Service& service() { return *service_; }

    // The connection password from the first line of path (see
    // readPasswordFile). A file that is refused leaves remote control closed:
    // the reason is returned, named by status() and logged by
    // logPasswordProblem().
    bool usePasswordFile(const QString& path, QString* error);
    // "ERROR: No connection password is set, remote control stays closed: ..."
    // when the password file was refused; nothing otherwise.
    void logPasswordProblem();

    // The module list, the state file and the schedule.
    void load();
    // Contacts the interface once. Its waits run the event loop, so front
    // ends started before are served meanwhile (commands are refused as
    // "Interface not available" until it answers). Returns whether it
    // answered.
    bool contact();

    // The bridge from [MQTT], on the service's states, command path and
    // schedule; none when it is off or cannot start (logged).
    void startBridge();
    // (Re)starts the remote listener where the settings say; whether it
    // listens (a failure has its log line).
    bool listenRemote();
    // The phone page when [Web] Enabled; one that cannot listen has its log
    // line and the run goes on.
    void startPage();
    // The three of them: the bridge, the listener, the page.
    void startFrontEnds();

    remote::ServiceRemote& remote() { return *remote_; }
    mqtt::Bridge* bridge() const { return bridge_.get(); }
    web::ServiceWeb* page() const { return page_.get(); }

    // The end of the run: the commands already taken go out (a few seconds
    // at most) or are named as dropped, the service saves, saveOwn saves
    // what the face keeps, the bridge says goodbye, and the process ends
    // with status 0.
    void end(std::function<void()> saveOwn = {});

    // What is up and what is down, joined by "; "; "Stopping" once end()
    // has begun.
    QString status() const;

  signals:
    void statusChanged(const QString& status);

  private:
    // Runs start; when it fails, the reason: the last event-log line it
    // wrote, or fallback.
    std::optional<QString> attempt(const std::function<bool()>& start, const QString& fallback);
    void setDown(const QString& what, const std::optional<QString>& why);
    void updateStatus();
    // Every device of the hub links to the page where other computers reach
    // it; a page on this computer only has no such address (logged once).
    void linkBridgeToPage();
    QString interfaceStatus() const;

    std::unique_ptr<core::Service> service_;
    std::unique_ptr<remote::ServiceRemote> remote_;
    std::unique_ptr<mqtt::Bridge> bridge_;
    std::unique_ptr<web::ServiceWeb> page_;
    QString passwordError_;
    bool contacted_ = false;
    bool ending_ = false;
    bool everFound_ = false;
    bool pageLinkHinted_ = false;
    // What is down, in the order it was first found, with its reason.
    QList<std::pair<QString, QString>> down_;
    QString status_;
};

}  // namespace app
