// The phone page's server on a real service and the two-way emulator: HTTP
// through QNetworkAccessManager and raw sockets, the live state through
// QWebSocket clients.
#include <gtest/gtest.h>

#include <zlib.h>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>
#include <memory>

#include "channel.h"
#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "interface.h"
#include "remoteserver.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "service.h"
#include "serviceremote.h"
#include "serviceweb.h"
#include "sessions.h"
#include "settingsstore.h"
#include "state/modules.h"
#include "state/statetable.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

using sim::hex;
using sim::TwoWaySim;

constexpr double kScale = 50;

struct Reply {
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers;  // lower-case names
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// A page's WebSocket: every message it was sent, in order.
struct Page {
    explicit Page(const QByteArray& origin) : socket(QString::fromLatin1(origin)) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& t) {
            messages << QJsonDocument::fromJson(t.toUtf8()).object();
        });
    }
    // The first message of a type after `from`, waiting for it.
    QJsonObject next(const QString& type, int from = 0) {
        QJsonObject found;
        testenv::pumpUntil([&] {
            for (int i = from; i < messages.size(); ++i)
                if (messages[i].value("type").toString() == type) {
                    found = messages[i];
                    return true;
                }
            return false;
        });
        return found;
    }
    void send(const QByteArray& text) { socket.sendTextMessage(QString::fromUtf8(text)); }
    QWebSocket socket;
    QList<QJsonObject> messages;
};

// Listens anew with TLS keys named in the settings' group, which then
// names none again.
bool listenUnderTls(web::ServiceWeb& web, const QString& group,
                    const std::pair<QString, QString>& keys) {
    platform::SaveSetting("veldrin", group, "TLSCertificate", keys.first);
    platform::SaveSetting("veldrin", group, "TLSKey", keys.second);
    const bool listening = web.listen();
    platform::SaveSetting("veldrin", group, "TLSCertificate", "");
    platform::SaveSetting("veldrin", group, "TLSKey", "");
    return listening;
}

class WebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        RemoteServer::setTimeBaseForTests(true);
        QFile::remove(state::StateTable::defaultPath());
        QFile::remove(web::Sessions::defaultPath());
        platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");
        platform::SaveSetting("veldrin", "Web", "Port", "0");
        ASSERT_TRUE(dir.isValid());
        link = dir.path() + "/adapter";
        platform::SaveSetting("veldrin", "Ports", "COM1", link);
        sim = std::make_unique<TwoWaySim>();
        sim->setTimeScale(kScale);
        ASSERT_TRUE(sim->start());
        ASSERT_TRUE(QFile::link(sim->devicePath(), link));
        service = std::make_unique<core::Service>(core::ServiceSettings{});
        QObject::connect(&service->log(), &core::EventLog::eventLine,
                         [this](const QString& t) { lines << t; });
        service->load();
        service->start();
        ASSERT_TRUE(service->commands().interfaceReady());
        service->setPassword("secret");
        web = std::make_unique<web::ServiceWeb>(*service);
        ASSERT_TRUE(web->listen());
        origin = "http://127.0.0.1:" + QByteArray::number(web->port());
        sim->clearRecords();
    }
    void TearDown() override {
        web.reset();
        service.reset();
        RemoteServer::setTimeBaseForTests(false);
        platform::TimeBase::global().setScale(1);
    }

    Reply request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                  const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
        QNetworkAccessManager nam;  // no cookie jar carried between requests
        QNetworkRequest r(QUrl(QString::fromLatin1(origin) + path));
        for (const auto& [name, value] : headers) r.setRawHeader(name, value);
        if (method == "POST" && !r.hasRawHeader("Content-Type"))
            r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = nam.sendCustomRequest(r, method, body);
        testenv::pumpUntil([reply] { return reply->isFinished(); });
        Reply out;
        out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        out.body = reply->readAll();
        for (const auto& [name, value] : reply->rawHeaderPairs())
            out.headers.insert(name.toLower(), value);
        delete reply;
        return out;
    }
    // Listens anew with a certificate the test makes.
    bool listenWithTls() {
        const auto keys = testenv::makeCertificate("web");
        if (keys.first.isEmpty()) return false;
        // [Web] names none: those of the remote listener apply.
        return listenUnderTls(*web, "Startup", keys);
    }
    Reply login(const QByteArray& password) {
        return request("POST", "/api/login", R"({"password":")" + password + R"("})");
    }
    // Logs in; the cookie header value.
    QByteArray cookie() {
        const Reply r = login("secret");
        EXPECT_EQ(r.status, 200) << r.body.toStdString();
        return r.headers.value("set-cookie").split(';').first();
    }
    std::unique_ptr<Page> open(const QByteArray& cookieHeader, const QByteArray& from = {}) {
        auto page = std::make_unique<Page>(from.isEmpty() ? origin : from);
        QNetworkRequest r(QUrl("ws://127.0.0.1:" + QString::number(web->port()) + "/ws"));
        if (!cookieHeader.isEmpty()) r.setRawHeader("Cookie", cookieHeader);
        page->socket.open(r);
        return page;
    }
    QStringList frames(int count) {
        testenv::pumpUntil([&] { return sim->framedOnly().size() >= count; });
        QStringList out;
        for (const auto& f : sim->framedOnly()) out << hex(f.bytes);
        return out;
    }

    QTemporaryDir dir;
    QString link;
    std::unique_ptr<TwoWaySim> sim;
    std::unique_ptr<core::Service> service;
    std::unique_ptr<web::ServiceWeb> web;
    QByteArray origin;
    QStringList lines;
};

// An HTTP POST from a chosen loopback address (127.0.0.N), on a raw socket.
int postFrom(const QString& from, quint16 port, const QByteArray& path, const QByteArray& body) {
    QTcpSocket s;
    if (!s.bind(QHostAddress(from))) return -1;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!testenv::pumpUntil([&] { return s.state() == QAbstractSocket::ConnectedState; }))
        return -1;
    s.write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
            "\r\nContent-Type: application/json\r\nContent-Length: " +
            QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    QByteArray got;
    testenv::pumpUntil([&] {
        got += s.readAll();
        return got.contains("\r\n");
    });
    const QList<QByteArray> status = got.left(got.indexOf("\r\n")).split(' ');
    return status.size() > 1 ? status[1].toInt() : -1;
}

// A GET on a raw socket, so that what the server sends is seen as sent
// (QNetworkAccessManager asks for gzip and unpacks it unseen).
Reply rawGet(quint16 port, const QByteArray& path, const QByteArray& headers = {}) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" +
            headers + "Connection: close\r\n\r\n");
    QByteArray got;
    testenv::pumpUntil([&] {
        got += s.readAll();
        return s.state() == QAbstractSocket::UnconnectedState;
    });
    got += s.readAll();
    Reply out;
    const qsizetype end = got.indexOf("\r\n\r\n");
    const QList<QByteArray> head = got.left(end).split('\n');
    if (end < 0 || head.isEmpty()) return out;
    out.status = head.first().split(' ').value(1).toInt();
    for (qsizetype i = 1; i < head.size(); ++i) {
        const qsizetype colon = head[i].indexOf(':');
        out.headers.insert(head[i].left(colon).trimmed().toLower(),
                           head[i].mid(colon + 1).trimmed());
    }
    out.body = got.mid(end + 4);
    return out;
}

QByteArray gunzip(const QByteArray& data) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return {};
    QByteArray out(1 << 20, Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int result = inflate(&z, Z_FINISH);
    out.truncate(qsizetype(z.total_out));
    inflateEnd(&z);
    return result == Z_STREAM_END ? out : QByteArray();
}

}  // namespace

TEST_F(WebTest, LoginWrongThenRightSetsAStrictCookieAndEveryReplyHasTheSafetyHeaders) {
    const Reply index = request("GET", "/");
    EXPECT_EQ(index.status, 200);
    EXPECT_TRUE(index.headers.value("content-type").startsWith("text/html"));
    const Reply missing = request("GET", "/nothing/here");
    EXPECT_EQ(missing.status, 404);
    for (const Reply& r : {index, missing}) {
        EXPECT_EQ(r.headers.value("content-security-policy"),
                  "default-src 'self'; frame-ancestors 'none'");
        EXPECT_EQ(r.headers.value("x-content-type-options"), "nosniff");
        EXPECT_EQ(r.headers.value("referrer-policy"), "no-referrer");
    }
    EXPECT_TRUE(request("GET", "/app.js").headers.value("content-type").contains("javascript"));

    Reply s = request("GET", "/api/session");
    EXPECT_EQ(s.headers.value("cache-control"), "no-store");
    EXPECT_FALSE(s.json().value("loggedIn").toBool());
    EXPECT_TRUE(s.json().value("passwordSet").toBool());
    EXPECT_TRUE(s.json().value("token").isNull());

    // In real time: on a busy machine the next request may come later than
    // a sped-up second.
    platform::TimeBase::global().setScale(1);
    const Reply wrong = login("guess");
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.json().value("error").toString(), "Wrong password");
    EXPECT_FALSE(wrong.headers.contains("set-cookie"));
    // The address waits a second after a wrong password, the right one too,
    // and is told how long.
    const Reply early = login("secret");
    EXPECT_EQ(early.status, 429);
    EXPECT_EQ(early.json().value("error").toString(), "Too many attempts; try again in 1 s");
    platform::waitEvents(1100);

    const Reply right = login("secret");
    ASSERT_EQ(right.status, 200);
    const QByteArray setCookie = right.headers.value("set-cookie");
    EXPECT_TRUE(
        QRegularExpression("^veldrin_session=[0-9a-f]{32}; Max-Age=31536000; Path=/; HttpOnly; "
                           "SameSite=Strict$")
            .match(QString::fromLatin1(setCookie))
            .hasMatch())
        << setCookie.toStdString();
    const QString token = right.json().value("token").toString();
    EXPECT_EQ(token.size(), 32);
    s = request("GET", "/api/session", {}, {{"Cookie", setCookie.split(';').first()}});
    EXPECT_TRUE(s.json().value("loggedIn").toBool());
    EXPECT_EQ(s.json().value("token").toString(), token);

    // No password: the page is told remote control is closed.
    service->setPassword("");
    EXPECT_EQ(login("secret").status, 503);
}

TEST_F(WebTest, WrongWebLoginsSpendTheRemoteListenersGuessBudget) {
    // Real time, as in a release build: the burst is not refilled meanwhile.
    RemoteServer::setTimeBaseForTests(false);
    remote::ServiceRemote listener(*service);
    ASSERT_TRUE(listener.listen());
    // From five addresses, so that no address delay stands in the way.
    for (int i = 2; i < 2 + RemoteServer::GuessBurst; ++i)
        EXPECT_EQ(postFrom(QStringLiteral("127.0.0.%1").arg(i), web->port(), "/api/login",
                           R"({"password":"guess"})"),
                  401);
    EXPECT_EQ(postFrom("127.0.0.20", web->port(), "/api/login", R"({"password":"secret"})"), 429);

    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, listener.server().port());
    ASSERT_TRUE(testenv::pumpUntil([&] { return c.state() == QAbstractSocket::ConnectedState; }));
    c.write("secret\r\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return c.canReadLine(); }));
    EXPECT_TRUE(QRegularExpression("^ERROR Too many password attempts, try again in [12] s")
                    .match(QString::fromLatin1(c.readLine()))
                    .hasMatch());
    EXPECT_EQ(listener.server().passwordComparisons(), 0);
}

TEST_F(WebTest, NoGetChangesStateAndForeignOriginsAreRefused) {
    const QByteArray c = cookie();
    for (const char* path : {"/api/login", "/api/logout", "/api/command?address=A5&action=on",
                             "/ws?address=A5&action=on"})
        EXPECT_EQ(request("GET", path, {}, {{"Cookie", c}}).status, 404) << path;
    EXPECT_EQ(request("POST", "/api/login", R"({"password":"secret"})",
                      {{"Origin", "http://evil.example"}})
                  .status,
              403);
    EXPECT_EQ(request("POST", "/api/logout", {}, {{"Cookie", c}, {"Origin", "http://evil.example"}})
                  .status,
              403);
    EXPECT_EQ(service->states().state(*state::Address::parse(u"A5")).power, state::Power::Unknown);

    // WebSockets: another site with the cookie, and this site without one.
    const std::unique_ptr<Page> pages[] = {open(c, "http://evil.example"), open({})};
    for (const auto& page : pages) {
        ASSERT_TRUE(testenv::pumpUntil([&] {
            return page->socket.closeCode() == QWebSocketProtocol::CloseCodePolicyViolated;
        }));
        EXPECT_TRUE(page->messages.isEmpty());
    }
    testenv::pump(50);
    EXPECT_TRUE(sim->framedOnly().isEmpty());
}

TEST_F(WebTest, ACommandReachesTheEmulatorAndEveryPageSeesItConfirmed) {
    const QByteArray c = cookie();
    auto a = open(c);
    auto b = open(cookie());
    const QJsonObject hello = a->next("hello");
    ASSERT_FALSE(hello.isEmpty());
    EXPECT_EQ(hello.value("interface").toObject(),
              QJsonObject({{"ready", true}, {"link", "found"}}));
    EXPECT_TRUE(hello.value("mqtt").isNull());
    EXPECT_EQ(hello.value("modules").toArray().size(), 16);  // the base house, no [Modules]
    EXPECT_EQ(hello.value("modules").toArray()[0].toObject().value("steps").toInt(), 22);
    ASSERT_FALSE(b->next("hello").isEmpty());

    a->send(R"({"type":"command","id":7,"address":"A5","action":"on"})");
    const QJsonObject result = a->next("result");
    EXPECT_EQ(result.value("id").toInt(), 7);
    EXPECT_TRUE(result.value("ok").toBool()) << QJsonDocument(result).toJson().toStdString();
    const double verdict = result.value("verdict").toDouble();
    EXPECT_GT(verdict, 0);
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    EXPECT_EQ(a->next("confirmed").value("addresses").toArray(), QJsonArray({"A5"}));
    // The page that gave it hears the outcome under the verdict's id.
    const QJsonObject outcome = a->next("outcome");
    EXPECT_EQ(outcome.value("verdict").toDouble(), verdict);
    EXPECT_TRUE(outcome.value("ok").toBool());
    for (Page* p : {a.get(), b.get()}) {
        const QJsonObject m = p->next("state").value("module").toObject();
        EXPECT_EQ(m.value("address").toString(), "A5");
        EXPECT_EQ(m.value("power").toString(), "on");
        EXPECT_EQ(m.value("source").toString(), "web");
    }
    // The other page was not told (its answer to a later message comes after
    // anything sent to it before).
    b->send(R"({"type":"nothing","id":99})");
    ASSERT_FALSE(b->next("error").isEmpty());
    EXPECT_TRUE(std::none_of(b->messages.cbegin(), b->messages.cend(),
                             [](const QJsonObject& m) { return m.value("type") == "outcome"; }));

    // A wall switch: every page hears it, and a new page finds it in "hello".
    sim->injectUpload(*TwoWaySim::buildUpload("A1 A ON"));
    const QJsonObject heard = b->next("heard");
    EXPECT_EQ(heard.value("line").toString(), "Received A1 ON");
    EXPECT_GT(heard.value("at").toDouble(), 0);
    auto late = open(c);
    const QJsonArray kept = late->next("hello").value("heard").toArray();
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(kept[0].toObject().value("line").toString(), "Received A1 ON");
    EXPECT_EQ(kept[0].toObject().value("at"), heard.value("at"));
}

// A room's modules switch together under one verdict, each with its own log
// line; a scene runs with the bridge's kind of line; neither takes a name
// that does not exist. Sensors of the room are left alone.
TEST_F(WebTest, RoomsAndScenesRunFromThePage) {
    platform::SaveSetting("veldrin", "Modules", "A2", "lamp,Spot,room=Kitchen");
    platform::SaveSetting("veldrin", "Modules", "A3", "appliance,Kettle,room=Kitchen");
    platform::SaveSetting("veldrin", "Modules", "A4", "sensor,Back door,room=Kitchen,class=window");
    platform::SaveSetting("veldrin", "Modules", "A5", "lamp,Desk");
    service->load();
    QFile f(core::scheduleFilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("scene evening: A5 ON\nwhen A1 ON heard: A5 OFF\n");
    f.close();
    ASSERT_TRUE(service->schedule().reload(true));
    auto page = open(cookie());
    const QJsonObject hello = page->next("hello");
    const QJsonObject schedule = hello.value("schedule").toObject();
    EXPECT_EQ(schedule.value("scenes").toArray(), QJsonArray({"evening"}));
    EXPECT_EQ(schedule.value("triggers").toArray(),
              QJsonArray({QJsonObject{{"when", "A1 ON"}, {"action", "A5 OFF"}}}));
    const QJsonObject door = hello.value("modules").toArray()[2].toObject();
    EXPECT_EQ(door.value("room").toString(), "Kitchen");
    EXPECT_TRUE(door.value("window").toBool());
    EXPECT_EQ(door.value("answer").toString(), "unasked");

    page->send(R"({"type":"room","id":1,"room":"Kitchen","action":"on"})");
    const QJsonObject room = page->next("result");
    ASSERT_TRUE(room.value("ok").toBool()) << QJsonDocument(room).toJson().toStdString();
    const QJsonObject outcome = page->next("outcome");
    EXPECT_EQ(outcome.value("verdict"), room.value("verdict"));
    EXPECT_TRUE(outcome.value("ok").toBool());
    EXPECT_EQ(service->states().state(*state::parseModule(u"A2")).power, state::Power::On);
    EXPECT_EQ(service->states().state(*state::parseModule(u"A3")).power, state::Power::On);

    int from = int(page->messages.size());
    sim->clearRecords();
    page->send(R"({"type":"scene","id":2,"name":"evening"})");
    EXPECT_TRUE(page->next("result", from).value("ok").toBool());
    ASSERT_TRUE(testenv::pumpUntil([&] { return lines.contains("Web: scene evening"); }));
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));

    for (const char* bad : {R"({"type":"scene","id":3,"name":"nope"})",
                            R"({"type":"room","id":4,"room":"Attic","action":"on"})",
                            R"({"type":"room","id":5,"room":"Kitchen","action":"dim"})"}) {
        from = int(page->messages.size());
        page->send(bad);
        QJsonObject answer;
        ASSERT_TRUE(testenv::pumpUntil([&] {
            for (int i = from; i < page->messages.size(); ++i)
                if (page->messages[i].value("id").toInt() > 2) answer = page->messages[i];
            return !answer.isEmpty();
        }));
        EXPECT_FALSE(answer.value("ok").toBool()) << bad;
        EXPECT_FALSE(answer.value("error").toString().isEmpty()) << bad;
    }
    QFile::remove(core::scheduleFilePath());
}

// A sensor and an appliance refuse in the same words whoever asks: the
// remote listener answers ERROR with them, the page that asked has them in
// its result, and every other page shows them on the card. A command taken
// from a page has its one log line.
TEST_F(WebTest, RefusalsHaveTheSameWordsForEveryClientAndEveryPageShowsThem) {
    platform::SaveSetting("veldrin", "Modules", "A3", "motion");
    platform::SaveSetting("veldrin", "Modules", "A2", "appliance");
    service->states().setModules(state::ModuleList::fromSettings("A", {}));
    remote::ServiceRemote listener(*service);
    ASSERT_TRUE(listener.listen());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.server().port());
    const auto exchange = [&client](const QByteArray& line) {
        client.write(line + "\n");
        testenv::pumpUntil([&] { return client.canReadLine(); });
        return client.canReadLine() ? client.readLine().trimmed() : QByteArray();
    };
    ASSERT_EQ(exchange("secret"), "OK");
    auto a = open(cookie());
    auto b = open(cookie());
    ASSERT_FALSE(a->next("hello").isEmpty());
    ASSERT_FALSE(b->next("hello").isEmpty());

    const struct {
        QByteArray word;
        QByteArray message;
        const char* address;
        QString reason;
    } cases[] = {
        {"3on", R"({"type":"command","id":1,"address":"A3","action":"on"})", "A3",
         "A3 is a motion sensor and takes no commands"},
        {"2di05", R"({"type":"command","id":2,"address":"A2","action":"brightness","value":50})",
         "A2", "A2 is an appliance module and does not dim"},
    };
    for (const auto& c : cases) {
        const int fromA = int(a->messages.size());
        const int fromB = int(b->messages.size());
        EXPECT_EQ(exchange(c.word), "ERROR " + c.reason.toUtf8());
        const QJsonObject failed = b->next("failed", fromB);
        EXPECT_EQ(failed.value("addresses").toArray(), QJsonArray({c.address}));
        EXPECT_EQ(failed.value("error").toString(), c.reason);
        a->send(c.message);
        const QJsonObject result = a->next("result", fromA);
        EXPECT_FALSE(result.value("ok").toBool());
        EXPECT_EQ(result.value("error").toString(), c.reason);
    }
    a->send(R"({"type":"command","id":3,"address":"A5","action":"on"})");
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !a->next("confirmed").isEmpty(); }));
    EXPECT_EQ(lines.filter("Web: ").size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains("Web: A5 ON"));
}

// Twenty 1 % steps of a slider: each goes out once the line can move by a
// step, and the card and the lamp end at the same level.
TEST_F(WebTest, TwentyOnePercentSliderStepsLeaveCardAndLampAgreeing) {
    auto page = open(cookie());
    ASSERT_FALSE(page->next("hello").isEmpty());
    page->send(R"({"type":"command","id":1,"address":"A5","action":"on"})");
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim->moduleState('A', 5).on; }));
    for (int level = 99; level >= 80; --level) {
        const int from = int(page->messages.size());
        page->send(QStringLiteral(R"({"type":"command","id":%1,"address":"A5",)"
                                  R"("action":"brightness","value":%2})")
                       .arg(level + 1000)
                       .arg(level)
                       .toUtf8());
        EXPECT_TRUE(page->next("result", from).value("ok").toBool()) << level;
    }
    ASSERT_TRUE(testenv::pumpUntil([&] { return service->interface().commandsWaiting() == 0; }));
    const auto card = [&] {
        int level = -1;
        for (const QJsonObject& m : page->messages)
            if (m.value("type") == "state" && m.value("module")["address"] == "A5")
                level = m.value("module")["level"].toInt();
        return level;
    };
    ASSERT_TRUE(testenv::pumpUntil([&] { return card() == sim->moduleState('A', 5).brightness; }))
        << card() << " " << sim->moduleState('A', 5).brightness;
    EXPECT_EQ(card(), 80);
}

TEST_F(WebTest, BadMessagesAreAnsweredWithErrorsAndTheConnectionStays) {
    auto page = open(cookie());
    ASSERT_FALSE(page->next("hello").isEmpty());
    const QList<QByteArray> bad{
        QByteArray(R"({"type":"command","id":1,"address":"A5","action":"on","pad":")") +
            QByteArray(70 * 1024, 'x') + "\"}",
        "{not json",
        R"({"type":"reboot","id":2})",
        R"({"type":"command","id":3,"address":"Q5","action":"on"})",
        R"({"type":"command","id":4,"address":"A5","action":"explode"})",
        R"({"type":"house","id":5,"house":"A","action":"all_lights_off"})",
        R"({"type":"schedule","id":6,"enabled":true})",  // no schedule file
    };
    for (const QByteArray& m : bad) page->send(m);
    ASSERT_TRUE(testenv::pumpUntil([&] {
        int answers = 0;
        for (const QJsonObject& m : page->messages)
            answers += m.value("type") == "error" || m.value("type") == "result";
        return answers == bad.size();
    }));
    EXPECT_TRUE(page->next("error").value("error").toString().startsWith("Message longer than"));
    const QJsonObject noSchedule = page->next("result");
    EXPECT_EQ(noSchedule.value("id").toInt(), 6);
    EXPECT_FALSE(noSchedule.value("ok").toBool());
    EXPECT_EQ(page->socket.state(), QAbstractSocket::ConnectedState);
    testenv::pump(50);
    EXPECT_TRUE(sim->framedOnly().isEmpty());

    // Still served, and a command refused at once says why.
    sim->unplug();
    QFile::remove(link);
    ASSERT_TRUE(testenv::pumpUntil([&] { return !service->commands().interfaceReady(); }));
    // The strip's word for it comes from the core.
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return std::any_of(page->messages.cbegin(), page->messages.cend(),
                           [](const QJsonObject& m) {
                               return m.value("type") == "interface" && m.value("link") == "lost";
                           });
    }));
    const int from = page->messages.size();
    page->send(R"({"type":"house","id":9,"house":"A","action":"all_units_off"})");
    const QJsonObject refused = page->next("result", from);
    EXPECT_FALSE(refused.value("ok").toBool());
    EXPECT_EQ(refused.value("error").toString(), "Interface not available");
}

TEST_F(WebTest, LogoutAndAPasswordChangeEndSessionsAndTheirSockets) {
    const Reply right = login("secret");
    const QByteArray c = right.headers.value("set-cookie").split(';').first();
    const QByteArray token = right.json().value("token").toString().toLatin1();
    auto first = open(c);
    auto second = open(cookie());
    ASSERT_FALSE(first->next("hello").isEmpty());
    ASSERT_FALSE(second->next("hello").isEmpty());

    EXPECT_EQ(request("POST", "/api/logout", {}, {{"Cookie", c}}).status, 403);  // no token
    EXPECT_EQ(
        request("POST", "/api/logout", {}, {{"Cookie", c}, {"X-Veldrin-Token", token}}).status,
        204);
    EXPECT_FALSE(first->next("loggedOut").isEmpty());
    EXPECT_TRUE(testenv::pumpUntil(
        [&] { return first->socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(second->socket.state(), QAbstractSocket::ConnectedState);

    service->setPassword("changed");
    EXPECT_FALSE(second->next("loggedOut").isEmpty());
    EXPECT_TRUE(testenv::pumpUntil(
        [&] { return second->socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(web->sessionCount(), 0);
}

// --- The page's sockets, sessions and refusals: bounded --------------------

// Upgrades a raw socket to the page's WebSocket with a session cookie.
void upgrade(QSslSocket& s, quint16 port, bool tls, const QByteArray& cookie) {
    if (tls) {
        QObject::connect(&s, &QSslSocket::sslErrors, [&s] { s.ignoreSslErrors(); });
        s.connectToHostEncrypted("127.0.0.1", port);
    } else {
        s.connectToHost(QHostAddress::LocalHost, port);
    }
    ASSERT_TRUE(testenv::pumpUntil([&] { return tls ? s.isEncrypted() : s.isOpen(); }));
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    s.write("GET /ws HTTP/1.1\r\nHost: " + host +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: " +
            (tls ? "https://" : "http://") + host + "\r\nCookie: " + cookie + "\r\n\r\n");
}

// The lines about clients (logins, sockets) go to into as well.
void collectClientLines(core::EventLog& log, QStringList& into) {
    QObject::connect(&log, &core::EventLog::clientLine, [&into](const QString& t) { into << t; });
}

TEST_F(WebTest, APageSendingTooFastIsToldWhyAndClosedWhileOthersGoOn) {
    collectClientLines(service->log(), lines);
    platform::TimeBase::global().setScale(1);  // a second is counted in real time
    auto other = open(cookie());
    auto flood = open(cookie());
    ASSERT_FALSE(other->next("hello").isEmpty());
    ASSERT_FALSE(flood->next("hello").isEmpty());
    for (int i = 0; i < 4 * web::Channel::MaxMessagesPerSecond; ++i)
        flood->send(R"({"type":"nothing"})");
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return flood->socket.closeCode() == QWebSocketProtocol::CloseCodePolicyViolated; }));
    EXPECT_EQ(flood->socket.closeReason(), "Too many messages");
    EXPECT_LE(flood->messages.size(), 1 + web::Channel::MaxMessagesPerSecond);
    EXPECT_EQ(
        lines.filter("Web socket from 127.0.0.1 closed: more than 50 messages a second").size(), 1)
        << lines.join('\n').toStdString();

    other->send(R"({"type":"command","id":1,"address":"A5","action":"on"})");
    EXPECT_TRUE(other->next("result").value("ok").toBool());
    EXPECT_EQ(web->socketCount(), 1);
}

TEST_F(WebTest, APageThatDoesNotReadIsClosedOnceItsQueueIsFullAndToldWhy) {
    collectClientLines(service->log(), lines);
    platform::TimeBase::global().setScale(1);  // time to read what was queued before the close
    const QByteArray c = cookie();
    const auto keys = testenv::makeCertificate("web");
    ASSERT_FALSE(keys.first.isEmpty());
    const state::Address a5 = *state::Address::parse(u"A5");
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "clear text");
        if (tls) {
            ASSERT_TRUE(listenUnderTls(*web, "Web", keys));
        }
        QSslSocket s;
        s.setReadBufferSize(4096);  // takes no more than that from the system
        upgrade(s, web->port(), tls, c);
        ASSERT_TRUE(testenv::pumpUntil([&] { return web->socketCount() == 1; }));
        // Updates keep coming; the server gets to send between them (under
        // TLS it then encrypts what waits into a buffer of the socket's own).
        lines.clear();
        for (int round = 0; web->socketCount() == 1 && round < 2000; ++round) {
            for (int i = 0; i < 100; ++i)
                service->states().setLevel(a5, i % 2 ? 0 : 90, state::Source::Web);
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(web->socketCount(), 0);
        const QString line = "Web socket from 127.0.0.1 closed: more than 1048576 bytes not read";
        EXPECT_TRUE(testenv::pumpUntil([&] { return !lines.filter(line).isEmpty(); }));
        EXPECT_EQ(lines.filter(line).size(), 1) << lines.join('\n').toStdString();

        // What was queued ends with the reason; nothing more follows.
        s.setReadBufferSize(0);
        QByteArray got;
        EXPECT_TRUE(testenv::pumpUntil(
            [&] {
                got += s.readAll();
                return s.state() == QAbstractSocket::UnconnectedState;
            },
            30000));
        got += s.readAll();
        const QByteArray reason = "Messages not read";
        EXPECT_TRUE(
            got.endsWith("\x88" + QByteArray(1, char(2 + reason.size())) + "\x03\xf0" + reason))
            << got.right(40).toHex().toStdString();
    }
}

TEST_F(WebTest, LogoutRemovesTheCookieWithItsAttributes) {
    const Reply right = login("secret");
    const QByteArray c = right.headers.value("set-cookie").split(';').first();
    const QByteArray token = right.json().value("token").toString().toLatin1();
    const QByteArray removed = "veldrin_session=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict";
    const Reply out =
        request("POST", "/api/logout", {}, {{"Cookie", c}, {"X-Veldrin-Token", token}});
    EXPECT_EQ(out.status, 204);
    EXPECT_EQ(out.headers.value("set-cookie"), removed);
    // A cookie of a session that has ended is removed too.
    const Reply again =
        request("POST", "/api/logout", {}, {{"Cookie", c}, {"X-Veldrin-Token", token}});
    EXPECT_EQ(again.status, 401);
    EXPECT_EQ(again.headers.value("set-cookie"), removed);
}

TEST_F(WebTest, AFloodOfWrongLoginsWritesALineASecondWithACount) {
    collectClientLines(service->log(), lines);
    platform::TimeBase::global().setScale(1);
    const qint64 start = platform::TimeBase::global().nowMs();
    constexpr int attempts = 100;
    for (int i = 0; i < attempts; ++i)
        EXPECT_NE(postFrom(QStringLiteral("127.0.0.%1").arg(2 + i), web->port(), "/api/login",
                           R"({"password":"guess"})"),
                  200);
    const qint64 seconds = (platform::TimeBase::global().nowMs() - start) / 1000 + 1;
    const QRegularExpression refusal("^Web login from \\S+ refused: ");
    // Wrong passwords, then the budget spent: two kinds, a line a second each.
    EXPECT_LE(lines.filter(refusal).size(), 2 * (seconds + 1)) << lines.join('\n').toStdString();
    EXPECT_TRUE(testenv::pumpUntil([&] {
        return !lines.filter(QRegularExpression(" refused: .*\\(\\d+ times in the last second\\)$"))
                    .isEmpty();
    }));
}

TEST(WebSessions, ASessionEndsAfterItsLifetimeAndWhenIdle) {
    qint64 now = 0;
    web::Sessions sessions(1000, 300, [&] { return now; });
    QList<QByteArray> ended;
    QObject::connect(&sessions, &web::Sessions::ended, [&](const QByteArray& id) { ended << id; });
    const QByteArray used = sessions.start().id;
    const QByteArray idle = sessions.start().id;
    for (now = 200; now < 1000; now += 200) EXPECT_NE(sessions.find(used), nullptr) << now;
    EXPECT_EQ(sessions.find(idle), nullptr);
    EXPECT_EQ(sessions.find(used), nullptr);  // used, but past its lifetime
    EXPECT_EQ(ended, QList<QByteArray>({idle, used}));
    // Without being asked for: the regular check ends it, and its pages are told.
    const QByteArray quiet = sessions.start().id;
    now += 300;
    sessions.expire();
    EXPECT_EQ(ended.size(), 3);
    EXPECT_EQ(ended.back(), quiet);
    EXPECT_EQ(sessions.count(), 0);
}

TEST_F(WebTest, APageThatDoesNotAnswerThePingIsDropped) {
    const QByteArray c = cookie();
    // A client that completes the upgrade and then never answers.
    QSslSocket s;
    upgrade(s, web->port(), false, c);
    QByteArray got;
    ASSERT_TRUE(testenv::pumpUntil([&] {
        got += s.readAll();
        return got.contains(QByteArray("\x89\x00", 2));  // an empty ping frame
    })) << got.toStdString();
    EXPECT_TRUE(got.startsWith("HTTP/1.1 101")) << got.toStdString();
    EXPECT_EQ(web->socketCount(), 1);
    EXPECT_TRUE(testenv::pumpUntil([&] {
        s.readAll();
        return s.state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(web->socketCount(), 0);
}

TEST(WebSessions, ALoginBeyondTheLimitEndsTheLeastRecentlyUsed) {
    web::Sessions sessions;
    QList<QByteArray> ended;
    QObject::connect(&sessions, &web::Sessions::ended, [&](const QByteArray& id) { ended << id; });
    QList<web::Sessions::Session> all;
    for (int i = 0; i < web::Sessions::MaxSessions; ++i) all << sessions.start();
    EXPECT_NE(all[0].id, all[0].token);
    ASSERT_NE(sessions.find(all[0].id), nullptr);  // used: now the newest
    sessions.start();
    EXPECT_EQ(ended, QList<QByteArray>({all[1].id}));
    EXPECT_EQ(sessions.count(), web::Sessions::MaxSessions);
    EXPECT_NE(sessions.fromCookieHeader("a=b; veldrin_session=" + all[0].cookie), nullptr);
}

TEST_F(WebTest, ListenFailuresAreLoggedAndClearTextBeyondThisComputerWarns) {
    platform::SaveSetting("veldrin", "Web", "Port", QString::number(web->port()));
    web::ServiceWeb second(*service);
    EXPECT_FALSE(second.listen());
    EXPECT_FALSE(
        lines
            .filter(QStringLiteral("Web page not served: cannot listen on 127.0.0.1 port %1: ")
                        .arg(web->port()))
            .isEmpty())
        << lines.join('\n').toStdString();
    EXPECT_EQ(request("GET", "/").status, 200);  // the first goes on

    platform::SaveSetting("veldrin", "Web", "Port", "0");
    platform::SaveSetting("veldrin", "Web", "ListenAddress", "0.0.0.0");
    lines.clear();
    ASSERT_TRUE(second.listen());
    EXPECT_EQ(lines.filter("Warning: the web page is served on 0.0.0.0 without TLS").size(), 1);
    // Where the page is reached from elsewhere: never a loopback or the
    // wildcard address; PublicURL wins when set.
    EXPECT_TRUE(web->reachableUrl().isEmpty());
    const QUrl reachable(second.reachableUrl());
    EXPECT_TRUE(reachable.isValid()) << second.reachableUrl().toStdString();
    EXPECT_FALSE(reachable.host().isEmpty());
    EXPECT_NE(reachable.host(), "0.0.0.0");
    EXPECT_EQ(reachable.port(), second.port());
    platform::SaveSetting("veldrin", "Web", "PublicURL", "https://house.example/veldrin/");
    ASSERT_TRUE(second.listen());
    EXPECT_EQ(second.reachableUrl(), "https://house.example/veldrin/");
    second.close();
    EXPECT_TRUE(second.reachableUrl().isEmpty());
    platform::SaveSetting("veldrin", "Web", "PublicURL", "");
    platform::SaveSetting("veldrin", "Web", "ListenAddress", "");
}

TEST_F(WebTest, UnderTlsTheCookieIsSecure) {
    ASSERT_TRUE(listenWithTls());
    EXPECT_TRUE(
        lines.contains(QStringLiteral("Web page at https://127.0.0.1:%1/").arg(web->port())));

    QNetworkAccessManager nam;
    QNetworkRequest r(QUrl(QStringLiteral("https://127.0.0.1:%1/api/login").arg(web->port())));
    r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply* reply = nam.post(r, QByteArray(R"({"password":"secret"})"));
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply] { reply->ignoreSslErrors(); });
    ASSERT_TRUE(testenv::pumpUntil([reply] { return reply->isFinished(); }));
    EXPECT_TRUE(reply->rawHeader("Set-Cookie").endsWith("; SameSite=Strict; Secure"))
        << reply->rawHeader("Set-Cookie").toStdString() << reply->errorString().toStdString();
    delete reply;
}

TEST_F(WebTest, ARequestBodyBeyondAnyUseIsCutOffUnread) {
    // Nobody logged in: whatever a request claims to carry, the server stops
    // reading and says why instead of keeping it all in memory.
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, web->port());
    ASSERT_TRUE(testenv::pumpUntil([&] { return s.state() == QAbstractSocket::ConnectedState; }));
    s.write("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(web->port()) +
            "\r\nContent-Type: application/json\r\nContent-Length: 100000000\r\n\r\n");
    s.write(QByteArray(3 * 1024 * 1024, 'x'));
    QByteArray got;
    EXPECT_TRUE(testenv::pumpUntil([&] {
        got += s.readAll();
        return s.state() == QAbstractSocket::UnconnectedState;
    }));
    got += s.readAll();
    EXPECT_TRUE(got.startsWith("HTTP/1.1 413")) << got.left(200).toStdString();
    // A connection that keeps to the limits is served as before.
    EXPECT_EQ(login("secret").status, 200);
}

TEST_F(WebTest, OneSessionCannotOpenSocketsWithoutEnd) {
    const QByteArray c = cookie();
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 0; i < web::ServiceWeb::MaxSocketsPerSession; ++i) {
        pages.push_back(open(c));
        ASSERT_FALSE(pages.back()->next("hello").isEmpty());
    }
    auto extra = open(c);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return extra->socket.closeCode() == QWebSocketProtocol::CloseCodePolicyViolated; }));
    EXPECT_TRUE(extra->messages.isEmpty());
    EXPECT_EQ(extra->socket.closeReason(), "Too many pages open");  // the page shows it
    EXPECT_EQ(web->socketCount(), web::ServiceWeb::MaxSocketsPerSession);
    // Another session is not held back, and a closed page makes room.
    auto other = open(cookie());
    EXPECT_FALSE(other->next("hello").isEmpty());
    pages.front()->socket.close();
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return web->socketCount() == web::ServiceWeb::MaxSocketsPerSession; }));
    auto again = open(c);
    EXPECT_FALSE(again->next("hello").isEmpty());
}

TEST_F(WebTest, ASiteRenamedToThisComputerCannotGuessNorConnect) {
    // DNS rebinding: a site's name made to point at 127.0.0.1 sends its own
    // name as Host and Origin, which match each other.
    const QByteArray site = "evil.example:" + QByteArray::number(web->port());
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, web->port());
    ASSERT_TRUE(testenv::pumpUntil([&] { return s.state() == QAbstractSocket::ConnectedState; }));
    const QByteArray body = R"({"password":"guess"})";
    s.write("POST /api/login HTTP/1.1\r\nHost: " + site + "\r\nOrigin: http://" + site +
            "\r\nContent-Type: application/json\r\nContent-Length: " +
            QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray got;
    ASSERT_TRUE(testenv::pumpUntil([&] {
        got += s.readAll();
        return got.contains("\r\n");
    }));
    EXPECT_TRUE(got.startsWith("HTTP/1.1 403")) << got.toStdString();
    // No delay was started: the password was not compared.
    EXPECT_EQ(login("secret").status, 200);

    // Names of this computer still work.
    QNetworkAccessManager nam;
    QNetworkReply* reply = nam.get(
        QNetworkRequest(QUrl(QStringLiteral("http://localhost:%1/api/session").arg(web->port()))));
    ASSERT_TRUE(testenv::pumpUntil([reply] { return reply->isFinished(); }));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    delete reply;

    Page page("http://" + site);
    QNetworkRequest r(QUrl("ws://127.0.0.1:" + QString::number(web->port()) + "/ws"));
    r.setRawHeader("Cookie", cookie());
    r.setRawHeader("Host", site);
    page.socket.open(r);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return page.socket.closeCode() == QWebSocketProtocol::CloseCodePolicyViolated; }));
    EXPECT_TRUE(page.messages.isEmpty());
}

// ---------------------------------------------------------------------------
// The connections of the page's port, on the HTTP front alone.

namespace {

// A client connection from a chosen loopback address (127.0.0.N).
std::unique_ptr<QTcpSocket> connectFrom(const QString& from, quint16 port) {
    auto s = std::make_unique<QTcpSocket>();
    s->bind(QHostAddress(from));
    s->connectToHost(QHostAddress::LocalHost, port);
    return s;
}

// Sends raw bytes and reads until the server closes the connection.
QByteArray exchange(quint16 port, const QByteArray& bytes) {
    auto s = connectFrom("127.0.0.1", port);
    s->write(bytes);
    QByteArray got;
    testenv::pumpUntil([&] {
        got += s->readAll();
        return s->state() == QAbstractSocket::UnconnectedState;
    });
    return got + s->readAll();
}

int openCount(const std::vector<std::unique_ptr<QTcpSocket>>& clients) {
    return static_cast<int>(std::count_if(clients.begin(), clients.end(), [](const auto& s) {
        return s->state() == QAbstractSocket::ConnectedState;
    }));
}

class FrontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        RemoteServer::setTimeBaseForTests(true);
        web::HttpReply hello;
        hello.contentType = "text/plain";
        hello.body = "hello";
        front = std::make_unique<web::HttpFront>(
            std::vector<web::HttpFront::Route>{
                {"GET", "/", [hello](const web::HttpRequest&) { return hello; }}},
            [](const web::HttpRequest&) {
                return web::HttpReply{404, {}, {}, {}};
            });
        QObject::connect(front.get(), &web::HttpFront::logLine,
                         [this](const QString& line) { lines << line; });
    }
    void TearDown() override {
        front.reset();
        RemoteServer::setTimeBaseForTests(false);
        platform::TimeBase::global().setScale(1);
    }
    void listen(const std::optional<QSslConfiguration>& tls = {}) {
        QString why;
        ASSERT_TRUE(front->listen(QHostAddress::LocalHost, 0, tls, &why)) << why.toStdString();
    }
    QByteArray get(const QByteArray& extraHeaders = {}) {
        return exchange(front->port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
                                           "Connection: close\r\n\r\n");
    }

    std::unique_ptr<web::HttpFront> front;
    QStringList lines;
};

}  // namespace

TEST_F(FrontTest, RequestsNoRouteTakesAreAnsweredHereWithTheSafetyHeaders) {
    listen();
    QStringList qtWarnings;
    static QStringList* sink = nullptr;
    sink = &qtWarnings;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& m) { *sink << m; });
    const QByteArray ws =
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
        "dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const struct {
        QByteArray request;
        QByteArray status;
    } cases[] = {
        {"TRACE / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", ""},
        {"OPTIONS * HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", ""},
        {"GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\n" + ws + "Sec-WebSocket-Version: 13\r\n\r\n",
         "404"},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\n" + ws + "Sec-WebSocket-Version: 8\r\n\r\n",
         "426"},
    };
    for (const auto& c : cases) {
        const QByteArray got = exchange(front->port(), c.request);
        SCOPED_TRACE(c.request.left(c.request.indexOf('\r')).toStdString());
        EXPECT_TRUE(got.startsWith("HTTP/1.1 " + c.status)) << got.toStdString();
        for (const char* h : {"Content-Security-Policy: default-src 'self'; frame-ancestors 'none'",
                              "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer"})
            EXPECT_TRUE(got.contains(h)) << h << "\n" << got.toStdString();
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(qtWarnings.isEmpty()) << qtWarnings.join('\n').toStdString();
}

TEST_F(FrontTest, ConnectionCloseIsHonouredAndIdleOrPartialRequestsAreClosedInTime) {
    // In real time, so that only the request can have closed it.
    platform::TimeBase::global().setScale(1);
    listen();
    const QByteArray answer = get();
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200") && answer.contains("Connection: close"))
        << answer.toStdString();

    platform::TimeBase::global().setScale(kScale);
    auto silent = connectFrom("127.0.0.2", front->port());
    auto partial = connectFrom("127.0.0.3", front->port());
    partial->write("GET / HTTP/1.1\r\nHo");
    auto idle = connectFrom("127.0.0.4", front->port());
    idle->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return idle->bytesAvailable() > 0; }));
    EXPECT_TRUE(testenv::pumpUntil([&] {
        return silent->state() == QAbstractSocket::UnconnectedState &&
               partial->state() == QAbstractSocket::UnconnectedState &&
               idle->state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(front->connectionCount(), 0);
    // The silent and the partial request are named, not the idle one.
    EXPECT_FALSE(lines.filter("no complete request within 10 seconds").isEmpty())
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter("127.0.0.4").isEmpty()) << lines.join('\n').toStdString();
}

TEST_F(FrontTest, ConnectionsAreCappedPerAddressAndInAllAndANewcomerIsStillServed) {
    platform::TimeBase::global().setScale(1);  // none times out meanwhile
    listen();
    const int perAddress = web::HttpFront::MaxConnectionsPerAddress;
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < perAddress + 10; ++i)
        flood.push_back(connectFrom("127.0.0.2", front->port()));
    EXPECT_TRUE(testenv::pumpUntil([&] { return openCount(flood) == perAddress; }));
    // From many addresses, beyond the bound of them all.
    for (int a = 3; a < 3 + 2 * web::HttpFront::MaxConnections / perAddress; ++a)
        for (int i = 0; i < perAddress; ++i)
            flood.push_back(connectFrom(QStringLiteral("127.0.0.%1").arg(a), front->port()));
    EXPECT_TRUE(testenv::pumpUntil(
        [&] {
            return openCount(flood) == web::HttpFront::MaxConnections &&
                   front->connectionCount() == web::HttpFront::MaxConnections;
        },
        30000))
        << openCount(flood) << " " << front->connectionCount();
    EXPECT_TRUE(get().startsWith("HTTP/1.1 200"));
    // Some hundreds closed: a line or a few, not one each.
    const int closedLines = lines.filter("its place went to a newer connection").size();
    EXPECT_GE(closedLines, 1);
    EXPECT_LT(closedLines, 20);
}

TEST_F(WebTest, UnderTlsSilentDroppedAndPlainConnectionsLeaveTheNextRequestAnswered) {
    platform::TimeBase::global().setScale(1);  // the silent ones stay silent throughout
    QStringList clientLines;
    QObject::connect(&service->log(), &core::EventLog::clientLine,
                     [&](const QString& t) { clientLines << t; });
    ASSERT_TRUE(listenWithTls());
    const quint16 port = web->port();

    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 200; ++i) held.push_back(connectFrom("127.0.0.2", port));
    std::vector<std::unique_ptr<QTcpSocket>> dropped;
    for (int i = 0; i < 40; ++i) dropped.push_back(connectFrom("127.0.0.3", port));
    testenv::pumpUntil([&] { return openCount(dropped) == 40; });
    for (auto& s : dropped) s->abort();
    for (int i = 0; i < 40; ++i) {
        held.push_back(connectFrom("127.0.0.4", port));
        held.back()->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    QNetworkAccessManager nam;
    QNetworkReply* reply = nam.get(
        QNetworkRequest(QUrl(QStringLiteral("https://127.0.0.1:%1/api/session").arg(port))));
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply] { reply->ignoreSslErrors(); });
    ASSERT_TRUE(testenv::pumpUntil([reply] { return reply->isFinished(); }));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200)
        << reply->errorString().toStdString();
    EXPECT_EQ(reply->rawHeader("Strict-Transport-Security"), "max-age=31536000");
    delete reply;
    // The failed handshakes are told, not one line each.
    EXPECT_TRUE(testenv::pumpUntil([&] {
        return !clientLines.filter(QRegularExpression("^Web page: TLS handshake with .* failed"))
                    .isEmpty();
    }));
    EXPECT_LT(clientLines.filter("TLS handshake with").size(), 40)
        << clientLines.join('\n').toStdString();
}

TEST_F(WebTest, ManyTriggersOfOneHeardCommandSendTheScheduleOnce) {
    QString text;
    for (int unit = 2; unit <= 16; ++unit)
        text += QStringLiteral("when A1 ON heard: A%1 ON\n").arg(unit);
    QFile f(core::scheduleFilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
    f.close();
    ASSERT_TRUE(service->schedule().reload(true));
    auto page = open(cookie());
    ASSERT_FALSE(page->next("hello").isEmpty());
    const int from = int(page->messages.size());
    sim->injectUpload(*TwoWaySim::buildUpload("A1 A ON"));
    ASSERT_FALSE(page->next("heard").isEmpty());
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim->framedOnly().size() >= 2 * 15; }, 20000));
    testenv::pump(100);
    int schedules = 0;
    for (int i = from; i < page->messages.size(); ++i)
        schedules += page->messages[i].value("type").toString() == "schedule";
    EXPECT_EQ(schedules, 1);
    QFile::remove(core::scheduleFilePath());
}

TEST_F(WebTest, TextIsGzippedTaggedAndRevalidatedWhileTheSessionIsNeverKept) {
    const quint16 port = web->port();
    for (const QByteArray file :
         {"/", "/app.js", "/style.css", "/sw.js", "/manifest.webmanifest"}) {
        SCOPED_TRACE(file.toStdString());
        const Reply plain = rawGet(port, file);
        ASSERT_EQ(plain.status, 200);
        EXPECT_FALSE(plain.headers.contains("content-encoding"));
        const Reply packed = rawGet(port, file, "Accept-Encoding: gzip, br\r\n");
        ASSERT_EQ(packed.status, 200);
        EXPECT_EQ(packed.headers.value("content-encoding"), "gzip");
        EXPECT_EQ(packed.headers.value("vary"), "Accept-Encoding");
        EXPECT_LT(packed.body.size(), plain.body.size());
        EXPECT_EQ(gunzip(packed.body), plain.body);
        EXPECT_NE(packed.headers.value("etag"), plain.headers.value("etag"));
        EXPECT_EQ(packed.headers.value("cache-control"), "no-cache");

        // Revalidated: unchanged is 304 without a body, in either form.
        for (const Reply& kept : {plain, packed}) {
            const Reply again = rawGet(
                port, file,
                "Accept-Encoding: gzip\r\nIf-None-Match: " + kept.headers.value("etag") + "\r\n");
            EXPECT_EQ(again.status, 304);
            EXPECT_TRUE(again.body.isEmpty());
        }
        EXPECT_EQ(rawGet(port, file, "If-None-Match: \"other\"\r\n").status, 200);
    }
    // The worker's cache is named after the page's files.
    const QByteArray worker = rawGet(port, "/sw.js").body;
    EXPECT_TRUE(QRegularExpression("veldrin-page-[0-9a-f]{16}\"")
                    .match(QString::fromUtf8(worker))
                    .hasMatch());
    // PNG pictures are sent as they are, and every one the manifest names is there.
    const QJsonArray icons =
        QJsonDocument::fromJson(rawGet(port, "/manifest.webmanifest").body)["icons"].toArray();
    EXPECT_GE(icons.size(), 4);
    for (const QJsonValue& icon : icons) {
        const Reply r =
            rawGet(port, "/" + icon["src"].toString().toUtf8(), "Accept-Encoding: gzip\r\n");
        EXPECT_EQ(r.status, 200) << icon["src"].toString().toStdString();
        EXPECT_TRUE(icon["type"] != "image/png" || !r.headers.contains("content-encoding"));
    }
    EXPECT_EQ(rawGet(port, "/apple-touch-icon.png").headers.value("content-type"), "image/png");

    // The session: never kept, never tagged.
    const QByteArray c = cookie();
    const Reply s = rawGet(port, "/api/session", "Cookie: " + c + "\r\nAccept-Encoding: gzip\r\n");
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.headers.value("cache-control"), "no-store");
    EXPECT_FALSE(s.headers.contains("etag"));
    EXPECT_EQ(rawGet(port, "/api/session", "If-None-Match: *\r\n").status, 200);
}

TEST_F(WebTest, ASessionOutlivesTheServerButNotAPasswordChange) {
    const QByteArray c = cookie();
    web.reset();
    web = std::make_unique<web::ServiceWeb>(*service);
    ASSERT_TRUE(web->listen());
    origin = "http://127.0.0.1:" + QByteArray::number(web->port());
    EXPECT_TRUE(request("GET", "/api/session", {}, {{"Cookie", c}}).json()["loggedIn"].toBool());
    auto page = open(c);
    ASSERT_FALSE(page->next("hello").isEmpty());

    service->setPassword("another");
    EXPECT_FALSE(page->next("loggedOut").isEmpty());
    EXPECT_FALSE(request("GET", "/api/session", {}, {{"Cookie", c}}).json()["loggedIn"].toBool());
}

// A schedule file refused while none runs: the page is told why nothing runs.
TEST_F(WebTest, ARefusedScheduleWithNoneInForceIsShownWithItsProblem) {
    QFile f(core::scheduleFilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("scene evening: A5 ON\nat 25:00 daily A5 ON\n");
    f.close();
    auto page = open(cookie());
    ASSERT_FALSE(page->next("hello").isEmpty());
    EXPECT_FALSE(service->schedule().reload(true));
    const QJsonObject s = page->next("schedule");
    EXPECT_TRUE(s.value("refused").toString().startsWith("line 2: ")) << s.size();
    EXPECT_TRUE(s.value("enabled").toBool());  // the away switch itself is untouched
    QFile::remove(core::scheduleFilePath());
}
