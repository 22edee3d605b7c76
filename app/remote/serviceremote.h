#pragma once
// The remote-control listener of a service, the same in the window and in the
// daemon: command words go to the service's interpreter, "?state" is answered
// from its state table, and what clients do goes to its log. A password
// change ends the sessions that logged in with the old one.

#include <QObject>
#include <memory>

#include "remoteserver.h"

namespace core {
class Service;
}

namespace remote {

class ServiceRemote : public QObject {
    Q_OBJECT
  public:
    explicit ServiceRemote(core::Service& service, QObject* parent = nullptr);
    ~ServiceRemote() override;

    // (Re)starts listening where the settings say ([Startup] ListenAddress,
    // ListenPort, TLSCertificate, TLSKey). Returns whether it listens; a
    // failure has its event-log line and server().errorString().
    bool listen();
    RemoteServer& server() { return *server_; }
    // Where the last listen() listens, for a log line: "on 127.0.0.1 port
    // 5000 without TLS" ("with TLS").
    QString where() const;

  private:
    core::Service& service_;
    QString address_;
    std::unique_ptr<RemoteServer> server_;
};

}  // namespace remote
