// The MQTT client in the event loop against a real broker: round trip,
// reconnecting with a growing delay, and the broker's password check.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>

#include "mqttclient.h"
#include "testbroker.h"
#include "testenv.h"
#include "timebase.h"

namespace {

class MqttClientTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::TimeBase::global().setScale(50); }
    void TearDown() override { platform::TimeBase::global().setScale(1); }

    mqtt::ConnectOptions options(const QString& id = QStringLiteral("client-under-test")) const {
        mqtt::ConnectOptions o;
        o.host = broker.host();
        o.port = broker.port();
        o.clientId = id;
        return o;
    }

    TestBroker broker;
    QStringList log;
};

TEST_F(MqttClientTest, PublishesAndReceivesThroughTheBroker) {
    ASSERT_TRUE(broker.start());
    TestSubscriber sub(broker, QStringLiteral("t/#"));
    ASSERT_TRUE(sub.waitConnected());

    mqtt::Client c(options(), [this](const QString& l) { log << l; });
    std::vector<std::pair<QString, QByteArray>> got;
    QObject::connect(&c, &mqtt::Client::message, &c,
                     [&](const QString& t, const QByteArray& p, bool) {
                         got.push_back({t, p});
                     });
    QObject::connect(&c, &mqtt::Client::connected, &c,
                     [&] { c.subscribe(QStringLiteral("back/#")); });
    EXPECT_FALSE(c.publish(QStringLiteral("t/early"), "x", false));  // not connected yet
    c.start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return c.isConnected(); }));
    EXPECT_EQ(log,
              QStringList{QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port())});

    // A large payload needs more than one write; the write notifier finishes it.
    const QByteArray big(512 * 1024, 'z');
    ASSERT_TRUE(c.publish(QStringLiteral("t/big"), big, false));
    ASSERT_TRUE(c.publish(QStringLiteral("t/a"), "hello", true));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("t/a"), "hello"));
    EXPECT_EQ(sub.last(QStringLiteral("t/big")), big);

    testenv::pump(100);  // the subscription is through
    ASSERT_TRUE(sub.publish(QStringLiteral("back/1"), "one"));
    ASSERT_TRUE(sub.publish(QStringLiteral("back/2"), "two"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got[0].second, "one");
    EXPECT_EQ(got[1].second, "two");
}

TEST_F(MqttClientTest, RetriesWithAGrowingDelayAndReconnectsAfterTheBrokerReturns) {
    EXPECT_EQ(mqtt::Client::retryDelayMs(1), 1000);
    EXPECT_EQ(mqtt::Client::retryDelayMs(2), 2000);
    EXPECT_EQ(mqtt::Client::retryDelayMs(6), 32000);
    EXPECT_EQ(mqtt::Client::retryDelayMs(7), 60000);
    EXPECT_EQ(mqtt::Client::retryDelayMs(100), 60000);

    ASSERT_TRUE(broker.start());
    broker.kill();  // a port where nothing listens
    mqtt::Client c(options(), [this](const QString& l) { log << l; });
    int connects = 0, losses = 0;
    QObject::connect(&c, &mqtt::Client::connected, &c, [&] { ++connects; });
    QObject::connect(&c, &mqtt::Client::disconnected, &c, [&] { ++losses; });
    c.start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return log.size() >= 3; }));
    const QString name = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    EXPECT_EQ(log[0],
              QStringLiteral("MQTT: cannot connect to %1 (Connection refused); trying again in 1 s")
                  .arg(name));
    EXPECT_TRUE(log[1].endsWith(QStringLiteral("trying again in 2 s"))) << log[1].toStdString();
    EXPECT_TRUE(log[2].endsWith(QStringLiteral("trying again in 4 s"))) << log[2].toStdString();

    log.clear();
    ASSERT_TRUE(broker.restart());
    ASSERT_TRUE(testenv::pumpUntil([&] { return connects == 1; }, 10000));
    EXPECT_EQ(log.last(), QStringLiteral("MQTT: connected to ") + name);

    // The broker dies under a connection that has lasted: one loss line, the
    // delay starts again from 1 s, then back.
    platform::waitEvents(11000);
    log.clear();
    broker.kill();
    ASSERT_TRUE(testenv::pumpUntil([&] { return losses == 1; }));
    EXPECT_EQ(
        log.value(0),
        QStringLiteral("MQTT: connection to %1 lost (The connection was lost); trying again in 1 s")
            .arg(name));
    ASSERT_TRUE(broker.restart());
    ASSERT_TRUE(testenv::pumpUntil([&] { return connects == 2; }, 10000));
}

// A 3.1.1 broker that accepts every connection and drops it at once: the
// MQTT 5 attempt is answered in the older form and the client steps down to
// 3.1.1 at once. Two such connections in a row look like another client
// taking the session over: one error line, and no more attempts.
TEST_F(MqttClientTest, ConnectionsDroppedRightAfterAcceptanceTwiceAreTakenForATakeOver) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    int accepted = 0;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            ++accepted;
            // Answers the CONNECT with a 3.1.1 "accepted", then hangs up.
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write(QByteArray("\x20\x02\x00\x00", 4));
                s->disconnectFromHost();
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    mqtt::ConnectOptions o = options();
    o.port = server.serverPort();
    mqtt::Client c(o, [this](const QString& l) { log << l; });
    int connects = 0;
    QObject::connect(&c, &mqtt::Client::connected, &c, [&] { ++connects; });
    c.start();
    platform::waitEvents(60000);
    // Connections at 0 s (MQTT 5, answered in 3.1.1), 0 and 1 s; then none.
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(connects, 2);
    EXPECT_EQ(log.filter(QStringLiteral("does not take MQTT 5; using MQTT 3.1.1")).size(), 1);
    EXPECT_EQ(log.filter(QStringLiteral(" lost ")).size(), 1) << log.join(u'\n').toStdString();
    EXPECT_EQ(
        log.filter(QStringLiteral("most likely another client connected with the client id "
                                  "client-under-test; give each instance its own ClientId "
                                  "in [MQTT]; trying again in 30 minutes, then ever more rarely"))
            .size(),
        1)
        << log.join(u'\n').toStdString();
    EXPECT_FALSE(c.isConnected());
    EXPECT_EQ(c.problem(),
              QStringLiteral("another client connected with the client id client-under-test"));
    c.stop();
}

// Two clients with one id on a real broker: the one whose session is taken
// over says so once and stays off; the other keeps the broker.
TEST_F(MqttClientTest, TwoClientsWithOneIdDoNotTakeTheSessionFromEachOtherInALoop) {
    // A slower time base than the other tests: a connection that ends right
    // after it was accepted must look brief (under 10 s) also on a busy machine.
    platform::TimeBase::global().setScale(20);
    ASSERT_TRUE(broker.start());
    QStringList logA, logB;
    std::vector<platform::LogLevel> levels;
    mqtt::Client a(options(QStringLiteral("same-id")),
                   [&](const QString& l, platform::LogLevel level) {
                       logA << l;
                       levels.push_back(level);
                   });
    mqtt::Client b(options(QStringLiteral("same-id")), [&](const QString& l) { logB << l; });
    int connects = 0;
    for (mqtt::Client* c : {&a, &b})
        QObject::connect(c, &mqtt::Client::connected, c, [&] { ++connects; });
    a.start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return a.isConnected(); }));
    b.start();
    // The broker may say why it ended the connection, or just close it: one
    // of the two sees connections ended at once soon.
    const auto takeovers = [&] { return a.takeovers() + b.takeovers(); };
    ASSERT_TRUE(testenv::pumpUntil([&] { return takeovers() == 1; }, 20000))
        << logA.join(u'\n').toStdString() << logB.join(u'\n').toStdString();
    mqtt::Client& gaveWay = a.takeovers() ? a : b;
    mqtt::Client& kept = a.takeovers() ? b : a;
    QStringList& said = a.takeovers() ? logA : logB;
    const QString cause = QStringLiteral("another client connected with the client id same-id");
    EXPECT_EQ(said.filter(cause).size(), 1) << said.join(u'\n').toStdString();
    // For good when the broker said so; half an hour later when it only
    // closed the connection.
    EXPECT_TRUE(
        said.last().endsWith(QStringLiteral("; give each instance its own ClientId in [MQTT]; not "
                                            "connecting again until the program is restarted")) ||
        said.last().endsWith(QStringLiteral(
            "; give each instance its own ClientId in [MQTT]; trying again in 30 minutes, then "
            "ever more rarely")))
        << said.last().toStdString();
    if (&said == &logA) {
        EXPECT_EQ(levels.back(), platform::LogLevel::Error);
    }
    EXPECT_EQ(gaveWay.problem(), cause);

    // Over two minutes (logical time) nobody connects again and the other
    // keeps its session.
    ASSERT_TRUE(testenv::pumpUntil([&] { return kept.isConnected(); }, 20000));
    connects = 0;
    platform::waitEvents(120000);
    EXPECT_EQ(connects, 0) << logA.join(u'\n').toStdString() << logB.join(u'\n').toStdString();
    EXPECT_TRUE(kept.isConnected());
    EXPECT_FALSE(gaveWay.isConnected());
    EXPECT_EQ(logA.filter(cause).size() + logB.filter(cause).size(), 1);
}

TEST_F(MqttClientTest, UserAndPasswordAreCheckedByTheBroker) {
    ASSERT_TRUE(broker.start(QStringLiteral("hub"), QStringLiteral("s3cret")));
    mqtt::ConnectOptions o = options();
    o.user = QStringLiteral("hub");
    o.password = QStringLiteral("wrong");
    mqtt::Client bad(o, [this](const QString& l) { log << l; });
    bad.start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return !log.isEmpty(); }));
    EXPECT_TRUE(log[0].startsWith(
        QStringLiteral("MQTT: cannot connect to 127.0.0.1:%1 (refused: ").arg(broker.port())))
        << log[0].toStdString();
    EXPECT_FALSE(log.join(u'\n').contains(QStringLiteral("wrong")));  // never logged
    EXPECT_FALSE(bad.isConnected());

    o.password = QStringLiteral("s3cret");
    o.clientId = QStringLiteral("second");
    mqtt::Client good(o, {});
    good.start();
    EXPECT_TRUE(testenv::pumpUntil([&] { return good.isConnected(); }));
}

}  // namespace
