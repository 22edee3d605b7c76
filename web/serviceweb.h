#pragma once
// The phone page of a service, the same in the window and in the daemon: it
// reads the [Web] settings, serves the page and its small JSON interface
// (login, logout, the session), and keeps one WebSocket per open page that
// carries the live state out and the commands in. Commands go through the
// service's command path like clicks and command words; wrong passwords
// spend the service's one guess budget, shared with the remote listener.
//
// A page sends {"type":"command","address","action":"on"|"off"|"brightness",
// "value"}, {"type":"house","house","action":"all_lights_on"|"all_units_off"},
// {"type":"room","room","action":"on"|"off"} (the room's lamps and
// appliances, together), {"type":"scene","name"} and {"type":"schedule",
// "enabled"}, each with its "id". The answer is {"type":"result","id","ok"}
// with "error" when refused, or "verdict" when on its way: the page alone
// then hears {"type":"outcome","verdict","ok","error"}. Every page is sent
// "hello" (modules, the interface, the bridge, heard lines, the schedule),
// then "state", "heard", "interface", "mqtt", "schedule" and "failed" as
// they change.
//
// Safety: every reply carries the content-security headers, nothing behind
// the login is cached, no GET changes anything, a POST from another origin
// is refused, the WebSocket needs the session cookie and this server's own
// origin, and a password change ends every session.

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

#include "access.h"
#include "commandpath.h"
#include "httpfront.h"
#include "logthrottle.h"
#include "sessions.h"

class QWebSocket;

namespace core {
class Service;
}
namespace state {
struct HeardEvent;
}

namespace web {

class Channel;

class ServiceWeb : public QObject {
    Q_OBJECT
  public:
    static constexpr quint16 DefaultPort = 8410;
    static constexpr int MaxHeard = 50;
    static constexpr int MaxLoginBody = 4096;
    // Open pages of one session: more are refused (1008, "Too many pages
    // open"), so that one logged-in browser cannot hold sockets without end.
    // Enough for a browser with a tab per room.
    static constexpr int MaxSocketsPerSession = 16;

    explicit ServiceWeb(core::Service& service, QObject* parent = nullptr);
    ~ServiceWeb() override;

    // [Web] Enabled of the settings.
    static bool enabledInSettings();

    // (Re)starts where the settings say ([Web] ListenAddress, Port,
    // TLSCertificate, TLSKey; the last two default to those of [Startup]).
    // Logs "Web page at http://127.0.0.1:8410/" or why it could not; returns
    // whether it listens.
    bool listen();
    void close();
    quint16 port() const { return front_->port(); }
    bool isEncrypted() const { return tls_; }
    // The page's address, as the log line names it.
    QString url() const;
    // Where the page is reached from other computers: [Web] PublicURL when
    // set, else url() with an address of this host in place of a wildcard
    // one (0.0.0.0, ::). Empty while the page does not listen, and when it
    // listens on a loopback address only with no PublicURL.
    QString reachableUrl() const;
    bool isListening() const { return listening_; }

    int sessionCount() const { return sessions_.count(); }
    int socketCount() const { return static_cast<int>(channels_.size()); }

  public slots:
    // The MQTT bridge is on and its connection came or went.
    void setMqttConnected(bool connected);

  private:
    HttpReply page(const QString& file, const QByteArray& type) const;
    HttpReply session(const HttpRequest& r);
    HttpReply login(const HttpRequest& r);
    HttpReply logout(const HttpRequest& r);
    HttpReply notFound(const HttpRequest& r) const;
    // The Set-Cookie value that sets the session cookie to id, or with an
    // empty id, removes it.
    QByteArray sessionCookie(const QByteArray& id) const;
    // The contract headers and the origin check around every handler.
    HttpFront::Handler guarded(HttpFront::Handler handler);
    bool foreignOrigin(const QByteArray& origin, const QByteArray& host) const;
    // A Host header that cannot name this server (see loopbackOnly_).
    bool foreignHost(const QByteArray& host) const;

    void onWebSocket(QWebSocket* socket);
    void onMessage(Channel* channel, const QJsonObject& m);
    void command(Channel* channel, const QJsonObject& m);
    void houseCommand(Channel* channel, const QJsonObject& m);
    void roomCommand(Channel* channel, const QJsonObject& m);
    void scheduleCommand(Channel* channel, const QJsonObject& m);
    void sceneCommand(Channel* channel, const QJsonObject& m);
    // Gives a page's command to the command path and answers it with a
    // result: refused at once (with the reason) or on its way, with the
    // verdict id its outcome message ("outcome") will carry.
    void give(Channel* channel, const QJsonValue& id,
              const std::function<CommandPath::Verdict(CommandPath&)>& command);
    // failure: why it was refused ("" when taken); verdict: the id of the
    // outcome to come, 0 when nothing had to be sent (or none comes).
    void answerGiven(Channel* channel, const QJsonValue& id, const QString& failure,
                     quint64 verdict = 0, bool unchanged = false);
    // The outcome of a command a page gave: {"type":"outcome","verdict","ok",
    // "error"} to that page; failure empty when confirmed.
    void sendOutcome(quint64 verdict, const QString& failure);
    QJsonObject hello() const;
    QJsonObject moduleMessage(state::Address a) const;
    // {"ready","link"}: the interface as the core knows it.
    QJsonObject interfaceJson() const;
    void broadcast(const QJsonObject& message);
    void onHeard(const state::HeardEvent& event);
    void onSessionEnded(const QByteArray& id);
    void sendSchedule();

    core::Service& service_;
    std::unique_ptr<HttpFront> front_;
    Sessions sessions_;
    auth::LoginGate gate_;  // this page's addresses, the service's budget
    // Refusals: a flood of them costs a line a second per kind.
    platform::LogThrottle throttle_;
    std::vector<Channel*> channels_;
    // Firings of one turn of the event loop (a heard command may start many
    // triggers) send the schedule once.
    QTimer scheduleSoon_;
    struct Heard {
        QString line;
        qint64 atMs = 0;
    };
    std::deque<Heard> heard_;  // newest first
    // The page each accepted command is to be answered to, by verdict id,
    // until its outcome comes.
    std::unordered_map<quint64, QPointer<Channel>> outcomesFor_;
    std::optional<bool> mqtt_;  // nothing while the bridge is off
    QString address_;
    QString publicUrl_;  // [Web] PublicURL
    bool listening_ = false;
    bool tls_ = false;
    bool loopbackOnly_ = true;  // listening on a loopback address
};

}  // namespace web
