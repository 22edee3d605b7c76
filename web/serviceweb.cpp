#include "serviceweb.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <algorithm>

#include "access.h"
#include "channel.h"
#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "interface.h"
#include "messages.h"
#include "pagefingerprint.h"
#include "schedulerunner.h"
#include "service.h"
#include "settingsfile.h"
#include "x10.h"

#ifndef VELDRIN_VERSION
#define VELDRIN_VERSION "0"
#endif

namespace web {

namespace {

const QByteArray kJson = QByteArrayLiteral("application/json");
const QByteArray kTokenHeader = QByteArrayLiteral("x-veldrin-token");

HttpReply json(int status, const QJsonObject& body) {
    HttpReply r;
    r.status = status;
    r.contentType = kJson;
    r.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return r;
}

HttpReply jsonError(int status, const QString& error) {
    return json(status, {{QStringLiteral("error"), error}});
}

QString str(const QJsonObject& m, const char* key) {
    return m.value(QLatin1String(key)).toString();
}

// Whether a browser elsewhere can open text: an absolute http or https URL
// that names a host.
bool isWebAddress(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
           !url.host().isEmpty();
}

}  // namespace

ServiceWeb::ServiceWeb(core::Service& service, QObject* parent)
    : QObject(parent),
      service_(service),
      gate_(&service.guesses()),
      throttle_([this](const QString& line) { service_.log().client(line); }) {
    const auto file = [this](const QString& name, const QByteArray& type) {
        return guarded([this, name, type](const HttpRequest&) { return page(name, type); });
    };
    std::vector<HttpFront::Route> routes{
        {"GET", QStringLiteral("/"),
         file(QStringLiteral("index.html"), "text/html; charset=utf-8")},
        {"GET", QStringLiteral("/app.js"),
         file(QStringLiteral("app.js"), "text/javascript; charset=utf-8")},
        {"GET", QStringLiteral("/style.css"),
         file(QStringLiteral("style.css"), "text/css; charset=utf-8")},
        {"GET", QStringLiteral("/icon.svg"), file(QStringLiteral("icon.svg"), "image/svg+xml")},
        {"GET", QStringLiteral("/manifest.webmanifest"),
         file(QStringLiteral("manifest.webmanifest"), "application/manifest+json")},
        {"GET", QStringLiteral("/sw.js"),
         file(QStringLiteral("sw.js"), "text/javascript; charset=utf-8")},
        {"GET", QStringLiteral("/icon-192.png"), file(QStringLiteral("icon-192.png"), "image/png")},
        {"GET", QStringLiteral("/icon-512.png"), file(QStringLiteral("icon-512.png"), "image/png")},
        {"GET", QStringLiteral("/icon-maskable-512.png"),
         file(QStringLiteral("icon-maskable-512.png"), "image/png")},
        {"GET", QStringLiteral("/apple-touch-icon.png"),
         file(QStringLiteral("apple-touch-icon.png"), "image/png")},
        {"GET", QStringLiteral("/api/session"),
         guarded([this](const HttpRequest& r) { return session(r); })},
        {"POST", QStringLiteral("/api/login"),
         guarded([this](const HttpRequest& r) { return login(r); })},
        {"POST", QStringLiteral("/api/logout"),
         guarded([this](const HttpRequest& r) { return logout(r); })},
    };
    front_ = std::make_unique<HttpFront>(
        std::move(routes), guarded([this](const HttpRequest& r) { return notFound(r); }));
    connect(front_.get(), &HttpFront::webSocket, this, &ServiceWeb::onWebSocket);
    connect(front_.get(), &HttpFront::logLine, &service_.log(), &core::EventLog::client);
    connect(&sessions_, &Sessions::ended, this, &ServiceWeb::onSessionEnded);
    sessions_.setFile(Sessions::defaultPath());
    sessions_.setPassword(service_.password().toUtf8());
    connect(&service_, &core::Service::passwordChanged, this,
            [this] { sessions_.setPassword(service_.password().toUtf8()); });

    connect(&service_.states(), &state::StateTable::changed, this, [this](state::Address a) {
        broadcast({{QStringLiteral("type"), QStringLiteral("state")},
                   {QStringLiteral("module"), moduleMessage(a)}});
    });
    connect(&service_.states(), &state::StateTable::heard, this, &ServiceWeb::onHeard);
    CommandPath& path = service_.commands();
    connect(&path, &CommandPath::commandConfirmed, this,
            [this](int house, const std::vector<int>& units, int) {
                broadcast(
                    {{QStringLiteral("type"), QStringLiteral("confirmed")},
                     {QStringLiteral("addresses"), addressesOf(service_.states(), house, units)}});
            });
    connect(
        &path, &CommandPath::commandFailed, this,
        [this](int house, const std::vector<int>& units, int, const QString& why) {
            // Whoever gave it: every page shows why on the cards.
            broadcast({{QStringLiteral("type"), QStringLiteral("failed")},
                       {QStringLiteral("addresses"), addressesOf(service_.states(), house, units)},
                       {QStringLiteral("error"), why}});
        });
    // The outcome of each command a page gave, to that page, by the id its
    // verdict gave: the page ends its "sending" with it, never with a state
    // that merely looks right.
    connect(&path, &CommandPath::confirmed, this,
            [this](quint64 id) { sendOutcome(id, QString()); });
    connect(&path, &CommandPath::givenUp, this, &ServiceWeb::sendOutcome);
    const auto sendInterface = [this] {
        QJsonObject m = interfaceJson();
        m.insert(QStringLiteral("type"), QStringLiteral("interface"));
        broadcast(m);
    };
    connect(&path, &CommandPath::interfaceReadyChanged, this, sendInterface);
    connect(&service_.interface(), &core::Interface::linkChanged, this, sendInterface);
    core::ScheduleRunner& schedule = service_.schedule();
    connect(&schedule, &core::ScheduleRunner::enabledChanged, this, &ServiceWeb::sendSchedule);
    connect(&schedule, &core::ScheduleRunner::reloaded, this, &ServiceWeb::sendSchedule);
    scheduleSoon_.setSingleShot(true);
    scheduleSoon_.setInterval(0);
    connect(&scheduleSoon_, &QTimer::timeout, this, &ServiceWeb::sendSchedule);
    connect(&schedule, &core::ScheduleRunner::fired, &scheduleSoon_, qOverload<>(&QTimer::start));
}

ServiceWeb::~ServiceWeb() {
    close();
    throttle_.flush();
}

bool ServiceWeb::enabledInSettings() {
    return settings::File::read().web().enabled;
}

void ServiceWeb::close() {
    listening_ = false;
    front_->close();
    const std::vector<Channel*> all = channels_;
    channels_.clear();
    for (Channel* c : all) delete c;
}

bool ServiceWeb::listen() {
    close();
    const settings::Web web = settings::File::read().web();
    address_ = web.listenAddress;
    publicUrl_ = web.publicUrl.trimmed();
    if (!publicUrl_.isEmpty() && !isWebAddress(publicUrl_)) {
        service_.log().warning(QStringLiteral("Warning: [Web] PublicURL \"%1\" is not an http or "
                                              "https address with a host; it is ignored")
                                   .arg(publicUrl_));
        publicUrl_.clear();
    }
    const int port = web.port.value_or(DefaultPort);
    auth::Tls tls;
    tls.certificateFile = web.tlsCertificate;
    tls.keyFile = web.tlsKey;
    tls_ = false;
    QHostAddress host;
    if (!host.setAddress(address_)) {
        service_.log().error(
            QStringLiteral("Web page not served: \"%1\" is not an address").arg(address_));
        return false;
    }
    if (const QString refusal =
            settings::clearTextRefusal(tls.enabled(), host.isLoopback(), address_);
        !refusal.isEmpty()) {
        service_.log().error(QStringLiteral("Web page not served: ") + refusal);
        return false;
    }
    std::optional<QSslConfiguration> conf;
    if (tls.enabled()) {
        // A certificate or key that cannot be used stops the page: it never
        // falls back to clear text.
        QString why;
        conf = auth::tlsConfiguration(tls, &why);
        if (!conf) {
            service_.log().error(QStringLiteral("Web page not served: ") + why);
            return false;
        }
    }
    QString why;
    if (!front_->listen(host, static_cast<quint16>(port), conf, &why)) {
        service_.log().error(QStringLiteral("Web page not served: cannot listen on %1 port %2: %3")
                                 .arg(address_)
                                 .arg(port)
                                 .arg(why));
        return false;
    }
    tls_ = conf.has_value();
    listening_ = true;
    loopbackOnly_ = host.isLoopback();
    service_.log().event(QStringLiteral("Web page at ") + url());
    if (!tls_ && !host.isLoopback())
        service_.log().warning(
            QStringLiteral("Warning: the web page is served on %1 without TLS: the password and "
                           "the commands cross the network in clear text")
                .arg(address_));
    return true;
}

QString ServiceWeb::url() const {
    const QString host = address_.contains(QLatin1Char(':')) ? u'[' + address_ + u']' : address_;
    return QStringLiteral("%1://%2:%3/")
        .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port());
}

QString ServiceWeb::reachableUrl() const {
    if (!listening_) return {};
    if (!publicUrl_.isEmpty()) return publicUrl_;
    // Another computer reaching a loopback address reaches itself.
    if (loopbackOnly_) return {};
    const QHostAddress listened(address_);
    const bool wildcard = listened == QHostAddress(QHostAddress::AnyIPv4) ||
                          listened == QHostAddress(QHostAddress::AnyIPv6) ||
                          listened == QHostAddress(QHostAddress::Any);
    if (!wildcard) return url();
    // A wildcard listener is reached at any address of this host: the first
    // global one of an interface that is up, IPv4 before IPv6.
    QString host;
    for (const bool v4 : {true, false}) {
        for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
            if (!(i.flags() & QNetworkInterface::IsUp) ||
                (i.flags() & QNetworkInterface::IsLoopBack))
                continue;
            for (const QNetworkAddressEntry& e : i.addressEntries()) {
                const QHostAddress a = e.ip();
                if (!a.isGlobal() || a.isLinkLocal() ||
                    (a.protocol() == QAbstractSocket::IPv4Protocol) != v4)
                    continue;
                host = v4 ? a.toString() : u'[' + a.toString() + u']';
                break;
            }
            if (!host.isEmpty()) break;
        }
        if (!host.isEmpty()) break;
    }
    if (host.isEmpty()) host = QHostInfo::localHostName();
    return QStringLiteral("%1://%2:%3/")
        .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port());
}

// ---------------------------------------------------------------------------
// HTTP

bool ServiceWeb::foreignHost(const QByteArray& host) const {
    // Served on this computer only: a request that names another host came
    // through a name that was made to point here (DNS rebinding), from a
    // site that would otherwise pass as this server's own origin.
    if (!loopbackOnly_) return false;
    QByteArray name = host;
    if (name.startsWith('['))
        name = name.mid(1, name.indexOf(']') - 1);
    else if (name.count(':') == 1)
        name = name.left(name.indexOf(':'));
    if (name.compare("localhost", Qt::CaseInsensitive) == 0) return false;
    QHostAddress address;
    return !address.setAddress(QString::fromLatin1(name)) || !address.isLoopback();
}

bool ServiceWeb::foreignOrigin(const QByteArray& origin, const QByteArray& host) const {
    const QByteArray own =
        (tls_ ? QByteArrayLiteral("https://") : QByteArrayLiteral("http://")) + host;
    return host.isEmpty() || origin.compare(own, Qt::CaseInsensitive) != 0;
}

HttpFront::Handler ServiceWeb::guarded(HttpFront::Handler handler) {
    return [this, handler = std::move(handler)](const HttpRequest& r) {
        HttpReply reply;
        const QByteArray origin = r.header("origin");
        if (foreignHost(r.header("host")))
            reply = jsonError(403, QStringLiteral("Unknown host"));
        else if (r.method == "POST" && !origin.isEmpty() && foreignOrigin(origin, r.header("host")))
            reply = jsonError(403, QStringLiteral("Request from another site refused"));
        else
            reply = handler(r);
        reply.addHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
        reply.addHeader("X-Content-Type-Options", "nosniff");
        reply.addHeader("Referrer-Policy", "no-referrer");
        if (r.path.startsWith(QLatin1String("/api/"))) reply.addHeader("Cache-Control", "no-store");
        return reply;
    };
}

HttpReply ServiceWeb::page(const QString& file, const QByteArray& type) const {
    QFile f(QStringLiteral(":/web/") + file);
    if (!f.open(QIODevice::ReadOnly)) return jsonError(404, QStringLiteral("Not found"));
    HttpReply r;
    r.contentType = type;
    r.body = f.readAll();
    // The worker's cache is named after the files it keeps.
    if (file == QLatin1String("sw.js")) r.body.replace("@FINGERPRINT@", pageFingerprint());
    r.addHeader("Cache-Control", "no-cache");
    return r;
}

HttpReply ServiceWeb::notFound(const HttpRequest&) const {
    return jsonError(404, QStringLiteral("Not found"));
}

HttpReply ServiceWeb::session(const HttpRequest& r) {
    const Sessions::Session* s = sessions_.fromCookieHeader(r.header("cookie"));
    return json(200, {
                         {QStringLiteral("loggedIn"), s != nullptr},
                         {QStringLiteral("passwordSet"), !service_.password().isEmpty()},
                         {QStringLiteral("token"),
                          s ? QJsonValue(QString::fromLatin1(s->token)) : QJsonValue()},
                         {QStringLiteral("tls"), tls_},
                     });
}

HttpReply ServiceWeb::login(const HttpRequest& r) {
    const QString peer = r.peer.toString();
    if (service_.password().isEmpty())
        return jsonError(503,
                         QStringLiteral("Remote control is closed: no connection password is set"));
    if (!r.header("content-type").toLower().startsWith(kJson))
        return jsonError(415, QStringLiteral("Send the password as JSON"));
    const QJsonObject body = QJsonDocument::fromJson(r.body.left(MaxLoginBody)).object();
    if (r.body.size() > MaxLoginBody || !body.value(QStringLiteral("password")).isString())
        return jsonError(400, QStringLiteral("No password in the request"));
    const auto tooMany = [](qint64 waitMs) {
        return QStringLiteral("Too many attempts; try again in %1 s")
            .arg(platform::secondsToWait(waitMs));
    };
    const QByteArray given = body.value(QStringLiteral("password")).toString().toUtf8();
    const auth::LoginGate::Result result = gate_.check(peer, given, service_.password().toUtf8());
    switch (result.verdict) {
        case auth::LoginGate::Verdict::Delayed:
            throttle_.log(
                QStringLiteral("login-delay"),
                QStringLiteral("Web login from %1 refused: wrong password tried too recently")
                    .arg(peer));
            return jsonError(429, tooMany(result.waitMs));
        case auth::LoginGate::Verdict::NoBudget:
            throttle_.log(
                QStringLiteral("login-budget"),
                QStringLiteral("Web login from %1 refused: too many password attempts").arg(peer));
            return jsonError(429, tooMany(result.waitMs));
        case auth::LoginGate::Verdict::Wrong:
            throttle_.log(QStringLiteral("login-wrong"),
                          QStringLiteral("Web login from %1 refused: wrong password").arg(peer));
            return jsonError(401, QStringLiteral("Wrong password"));
        case auth::LoginGate::Verdict::Admitted:
            break;
    }
    const Sessions::Session s = sessions_.start();
    service_.log().client(QStringLiteral("Web login from %1").arg(peer));
    HttpReply reply = json(200, {{QStringLiteral("token"), QString::fromLatin1(s.token)}});
    reply.addHeader("Set-Cookie", sessionCookie(s.cookie));
    return reply;
}

QByteArray ServiceWeb::sessionCookie(const QByteArray& id) const {
    // Removing it takes the attributes it was set with.
    QByteArray cookie = Sessions::CookieName + '=' + id;
    // Kept by the browser for as long as the session may last; the server
    // decides whether it still does.
    cookie += "; Max-Age=" + QByteArray::number(id.isEmpty() ? 0 : Sessions::LifetimeMs / 1000);
    cookie += "; Path=/; HttpOnly; SameSite=Strict";
    if (tls_) cookie += "; Secure";
    return cookie;
}

HttpReply ServiceWeb::logout(const HttpRequest& r) {
    const Sessions::Session* s = sessions_.fromCookieHeader(r.header("cookie"));
    HttpReply reply;
    if (!s) {
        // Ended already (expired, or the server restarted): the browser
        // forgets the cookie all the same.
        reply = jsonError(401, QStringLiteral("Not logged in"));
    } else if (!Sessions::sameText(r.header(kTokenHeader), s->token)) {
        return jsonError(403, QStringLiteral("Wrong or missing token"));
    } else {
        sessions_.end(QByteArray(s->id));
        reply.status = 204;
    }
    reply.addHeader("Set-Cookie", sessionCookie({}));
    return reply;
}

// ---------------------------------------------------------------------------
// The WebSocket

void ServiceWeb::onWebSocket(QWebSocket* socket) {
    const QNetworkRequest request = socket->request();
    const Sessions::Session* s = sessions_.fromCookieHeader(request.rawHeader("Cookie"));
    auto* channel = new Channel(socket, s ? s->id : QByteArray(), this);
    QString refusal;
    if (!s)
        refusal = QStringLiteral("not logged in");
    else if (foreignHost(request.rawHeader("Host")) ||
             foreignOrigin(socket->origin().toUtf8(), request.rawHeader("Host")))
        refusal = QStringLiteral("another site");
    else if (std::count_if(channels_.begin(), channels_.end(), [s](const Channel* c) {
                 return c->session() == s->id;
             }) >= MaxSocketsPerSession)
        refusal = QStringLiteral("too many pages open in one session");
    const QString peer = socket->peerAddress().toString();
    if (!refusal.isEmpty()) {
        throttle_.log(QStringLiteral("socket-") + refusal,
                      QStringLiteral("Web socket from %1 refused: %2").arg(peer, refusal));
        // After the socket's own queued start, which reads from it.
        const bool tooMany = s && refusal.startsWith(QLatin1String("too many"));
        QTimer::singleShot(0, channel, [channel, tooMany] {
            if (tooMany)
                channel->refuse(QStringLiteral("Too many pages open"));
            else
                channel->refuse();
        });
        return;
    }
    channels_.push_back(channel);
    connect(channel, &Channel::message, this,
            [this, channel](const QJsonObject& m) { onMessage(channel, m); });
    connect(channel, &Channel::closed, this, [this, channel] { std::erase(channels_, channel); });
    connect(channel, &Channel::cutOff, this, [this, peer](const QString& why) {
        throttle_.log(QStringLiteral("socket-cut-") + why,
                      QStringLiteral("Web socket from %1 closed: %2").arg(peer, why));
    });
    // A page that is open keeps its session from going idle.
    connect(channel, &Channel::alive, this, [this, channel] {
        if (!sessions_.find(channel->session())) channel->logOut();
    });
    channel->send(hello());
}

QJsonObject ServiceWeb::moduleMessage(state::Address a) const {
    return moduleJson(service_.states(), a, service_.commands().levelSteps(a));
}

QJsonObject ServiceWeb::interfaceJson() const {
    return {{QStringLiteral("ready"), service_.commands().interfaceReady()},
            {QStringLiteral("link"), core::Interface::linkText(service_.interface().link())}};
}

QJsonObject ServiceWeb::hello() const {
    QJsonArray modules;
    for (const state::Address& a : shownAddresses(service_.states()))
        modules.append(moduleMessage(a));
    QJsonArray heard;
    for (const Heard& h : heard_) heard.append(heardJson(h.line, h.atMs));
    // The levels of an address that is not listed, for the cards of
    // addresses the user chose to show (they are alike).
    int otherSteps = 100;
    for (int i = 0; i < 256; ++i)
        if (!service_.states().modules().find(state::addressAt(i))) {
            otherSteps = service_.commands().levelSteps(state::addressAt(i));
            break;
        }
    return {
        {QStringLiteral("type"), QStringLiteral("hello")},
        {QStringLiteral("version"), QStringLiteral(VELDRIN_VERSION)},
        {QStringLiteral("house"), service_.houseCode().toUpper()},
        {QStringLiteral("modules"), modules},
        {QStringLiteral("otherSteps"), otherSteps},
        {QStringLiteral("interface"), interfaceJson()},
        {QStringLiteral("mqtt"),
         mqtt_ ? QJsonValue(QJsonObject{{QStringLiteral("connected"), *mqtt_}}) : QJsonValue()},
        {QStringLiteral("heard"), heard},
        {QStringLiteral("schedule"), scheduleJson(service_.schedule())},
    };
}

void ServiceWeb::broadcast(const QJsonObject& message) {
    const std::vector<Channel*> all = channels_;
    for (Channel* c : all) c->send(message);
}

void ServiceWeb::onHeard(const state::HeardEvent& event) {
    const Heard h{state::StateTable::heardLine(event),
                  platform::Clock::global().now().toMSecsSinceEpoch()};
    heard_.push_front(h);
    if (heard_.size() > size_t(MaxHeard)) heard_.pop_back();
    QJsonObject m = heardJson(h.line, h.atMs);
    m.insert(QStringLiteral("type"), QStringLiteral("heard"));
    broadcast(m);
}

void ServiceWeb::onSessionEnded(const QByteArray& id) {
    const std::vector<Channel*> all = channels_;
    for (Channel* c : all)
        if (c->session() == id) c->logOut();
}

void ServiceWeb::setMqttConnected(bool connected) {
    if (mqtt_ == connected) return;
    mqtt_ = connected;
    broadcast({{QStringLiteral("type"), QStringLiteral("mqtt")},
               {QStringLiteral("connected"), connected}});
}

void ServiceWeb::sendSchedule() {
    // Without a schedule file (it went away) the pages hide the section:
    // {"type":"schedule","schedule":null}.
    const QJsonValue s = scheduleJson(service_.schedule());
    QJsonObject m = s.isObject() ? s.toObject() : QJsonObject{{QStringLiteral("schedule"), s}};
    m.insert(QStringLiteral("type"), QStringLiteral("schedule"));
    broadcast(m);
}

void ServiceWeb::onMessage(Channel* channel, const QJsonObject& m) {
    // Every message of a session that has ended meanwhile is refused.
    if (!sessions_.find(channel->session())) {
        channel->logOut();
        return;
    }
    const QString type = str(m, "type");
    if (type == QLatin1String("command"))
        command(channel, m);
    else if (type == QLatin1String("house"))
        houseCommand(channel, m);
    else if (type == QLatin1String("room"))
        roomCommand(channel, m);
    else if (type == QLatin1String("schedule"))
        scheduleCommand(channel, m);
    else if (type == QLatin1String("scene"))
        sceneCommand(channel, m);
    else
        channel->sendError(m.value(QStringLiteral("id")),
                           QStringLiteral("Unknown message type \"%1\"").arg(type.left(40)));
}

void ServiceWeb::give(Channel* channel, const QJsonValue& id,
                      const std::function<CommandPath::Verdict(CommandPath&)>& command) {
    const CommandPath::Verdict v = command(service_.commands());
    // Nothing to send (the module is so already): the page stops waiting.
    answerGiven(channel, id, v.refusal, v.id, v.accepted() && v.id == 0);
}

void ServiceWeb::sendOutcome(quint64 verdict, const QString& failure) {
    const auto it = outcomesFor_.find(verdict);
    if (it == outcomesFor_.end()) return;  // not a page's
    const QPointer<Channel> channel = it->second;
    outcomesFor_.erase(it);
    if (!channel) return;  // the page has gone meanwhile
    QJsonObject m{{QStringLiteral("type"), QStringLiteral("outcome")},
                  {QStringLiteral("verdict"), double(verdict)},
                  {QStringLiteral("ok"), failure.isEmpty()}};
    if (!failure.isEmpty()) m.insert(QStringLiteral("error"), failure);
    channel->send(m);
}

void ServiceWeb::answerGiven(Channel* channel, const QJsonValue& id, const QString& failure,
                             quint64 verdict, bool unchanged) {
    QJsonObject r{{QStringLiteral("type"), QStringLiteral("result")},
                  {QStringLiteral("id"), id},
                  {QStringLiteral("ok"), failure.isEmpty()}};
    if (!failure.isEmpty()) r.insert(QStringLiteral("error"), failure);
    if (verdict != 0) {
        r.insert(QStringLiteral("verdict"), double(verdict));
        outcomesFor_[verdict] = channel;
    }
    if (unchanged) r.insert(QStringLiteral("unchanged"), true);
    channel->send(r);
}

void ServiceWeb::command(Channel* channel, const QJsonObject& m) {
    const QJsonValue id = m.value(QStringLiteral("id"));
    const std::optional<state::Address> a = state::parseModule(str(m, "address"));
    if (!a) {
        channel->sendError(id,
                           QStringLiteral("Unknown address \"%1\"").arg(str(m, "address").left(8)));
        return;
    }
    const QString action = str(m, "action");
    int level = -1;
    if (action == QLatin1String("brightness")) {
        const QJsonValue v = m.value(QStringLiteral("value"));
        const double d = v.toDouble(-1);
        if (!v.isDouble() || d < 0 || d > 100 || d != int(d)) {
            channel->sendError(id, QStringLiteral("Brightness is a whole number 0 to 100"));
            return;
        }
        level = int(d);
    } else if (action != QLatin1String("on") && action != QLatin1String("off")) {
        channel->sendError(id, QStringLiteral("Unknown action \"%1\"").arg(action.left(20)));
        return;
    }
    const bool on = action == QLatin1String("on");
    give(channel, id, [&](CommandPath& path) {
        return level >= 0 ? path.setBrightness(*a, level, state::Source::Web)
                          : path.switchUnit(*a, on, state::Source::Web);
    });
}

void ServiceWeb::houseCommand(Channel* channel, const QJsonObject& m) {
    const QJsonValue id = m.value(QStringLiteral("id"));
    const QString house = str(m, "house");
    const int position = house.size() == 1 ? x10::housePosition(house) : 0;
    if (position == 0) {
        channel->sendError(id, QStringLiteral("Unknown house \"%1\"").arg(house.left(8)));
        return;
    }
    const QString action = str(m, "action");
    int function = -1;
    if (action == QLatin1String("all_lights_on")) function = x10::AllLightsOn;
    if (action == QLatin1String("all_units_off")) function = x10::AllUnitsOff;
    if (function < 0) {
        channel->sendError(id, QStringLiteral("Unknown action \"%1\"").arg(action.left(20)));
        return;
    }
    give(channel, id, [&](CommandPath& path) {
        return path.houseFunction(position, function, state::Source::Web);
    });
}

void ServiceWeb::roomCommand(Channel* channel, const QJsonObject& m) {
    const QJsonValue id = m.value(QStringLiteral("id"));
    const QString room = str(m, "room");
    const QString action = str(m, "action");
    if (action != QLatin1String("on") && action != QLatin1String("off")) {
        channel->sendError(id, QStringLiteral("Unknown action \"%1\"").arg(action.left(20)));
        return;
    }
    // The lamps and appliances of the room, together: one verdict for all.
    std::vector<state::Address> members;
    for (const state::Module& mod : service_.states().modules().modules())
        if (!room.isEmpty() && mod.room == room &&
            (mod.kind == state::Kind::Lamp || mod.kind == state::Kind::Appliance))
            members.push_back(mod.address);
    if (members.empty()) {
        channel->sendError(
            id, QStringLiteral("No room \"%1\" with modules to switch").arg(room.left(40)));
        return;
    }
    const bool on = action == QLatin1String("on");
    give(channel, id, [&](CommandPath& path) {
        return path.together([&] {
            for (const state::Address& a : members) path.switchUnit(a, on, state::Source::Web);
        });
    });
}

void ServiceWeb::sceneCommand(Channel* channel, const QJsonObject& m) {
    const QJsonValue id = m.value(QStringLiteral("id"));
    const QString name = str(m, "name");
    core::ScheduleRunner& schedule = service_.schedule();
    QString failure;
    if (!schedule.hasFile() || !schedule.current().scenes.count(name))
        failure = QStringLiteral("No scene \"%1\" in the schedule").arg(name.left(40));
    if (failure.isEmpty()) {
        // The same line as the bridge's: who, then what.
        service_.log().info(QStringLiteral("Web: scene ") + name);
        schedule.runScene(name);
    }
    answerGiven(channel, id, failure);
}

void ServiceWeb::scheduleCommand(Channel* channel, const QJsonObject& m) {
    const QJsonValue id = m.value(QStringLiteral("id"));
    const QJsonValue enabled = m.value(QStringLiteral("enabled"));
    if (!enabled.isBool()) {
        channel->sendError(id, QStringLiteral("\"enabled\" is true or false"));
        return;
    }
    QString failure;
    if (!service_.schedule().hasFile())
        failure = QStringLiteral("There is no schedule");
    else
        service_.schedule().setEnabled(enabled.toBool());
    answerGiven(channel, id, failure);
}

}  // namespace web
