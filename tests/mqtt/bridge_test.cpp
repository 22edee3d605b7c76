// The bridge against a real broker, with a real state table and a command
// path that records what it is asked to do.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>

#include "commandpath.h"
#include "mqttbridge.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testbroker.h"
#include "testenv.h"
#include "timebase.h"

namespace {

// House positions (A = 1).
constexpr int kHouseA = 1;
constexpr int kHouseB = 2;

class RecordingPath : public CommandPath {
  public:
    void switchUnit(state::Address a, bool on, state::Source s) override {
        calls << QStringLiteral("switch %1 %2").arg(a.text(), on ? "ON" : "OFF");
        sources.push_back(s);
    }
    void setBrightness(state::Address a, int percent, state::Source s) override {
        calls << QStringLiteral("level %1 %2").arg(a.text()).arg(percent);
        sources.push_back(s);
    }
    void houseFunction(int house, int function, state::Source s) override {
        calls << QStringLiteral("house %1 %2").arg(state::Address{house, 0}.text()).arg(function);
        sources.push_back(s);
    }
    void sliderDim(state::Address a, int from, int to, state::Source s) override {
        calls << QStringLiteral("slider %1 %2 %3").arg(a.text()).arg(from).arg(to);
        sources.push_back(s);
    }
    bool interfaceReady() const override { return ready; }
    QString lastRefusal() const override { return {}; }
    void clearRefusal() override {}
    void setReady(bool r) {
        ready = r;
        emit interfaceReadyChanged(r);
    }

    bool ready = true;
    QStringList calls;
    std::vector<state::Source> sources;
};

class MqttBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(50);
        ASSERT_TRUE(broker.start());
        table.setModules(state::ModuleList::fromEntries(
            {{QStringLiteral("A5"), QStringLiteral("lamp,Hall lamp")},
             {QStringLiteral("a6"), QStringLiteral("appliance,Fan")}},
            true, QStringLiteral("A"), {}));
    }
    void TearDown() override { platform::TimeBase::global().setScale(1); }

    mqtt::Settings settings() const {
        mqtt::Settings s;
        s.host = broker.host();
        s.port = broker.port();
        s.clientId = QStringLiteral("veldrin-test.host");
        return s;
    }
    mqtt::Bridge& startBridge() {
        bridge = std::make_unique<mqtt::Bridge>(settings(), QString(), &table, &path, kHouseA,
                                                [this](const QString& l) { log << l; });
        bridge->start();
        EXPECT_TRUE(testenv::pumpUntil([&] { return bridge->client().isConnected(); }));
        return *bridge;
    }
    static QJsonObject json(const QByteArray& b) { return QJsonDocument::fromJson(b).object(); }

    TestBroker broker;
    state::StateTable table;
    RecordingPath path;
    QStringList log;
    std::unique_ptr<mqtt::Bridge> bridge;
};

TEST_F(MqttBridgeTest, AnnouncesModulesAndPublishesStateAndEvents) {
    table.apply(kHouseA, {6}, 2, -1, state::Source::Click);  // known before the connection
    // A config left from a run when A9 was listed: cleared on connect.
    const QString stale = QStringLiteral("homeassistant/light/veldrin-test_host/A9/config");
    {
        TestSubscriber old(broker, QStringLiteral("x"), QStringLiteral("old"));
        ASSERT_TRUE(old.waitConnected());
        old.publish(stale, "{\"name\":\"A9\"}", true);
        testenv::pump(100);
    }
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    startBridge();

    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "online"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A6/state"), "ON"));
    ASSERT_TRUE(sub.waitFor(stale, ""));
    EXPECT_TRUE(log.contains(QStringLiteral("MQTT: removed the discovery config ") + stale));

    const QJsonObject lamp =
        json(sub.last(QStringLiteral("homeassistant/light/veldrin-test_host/A5/config")));
    EXPECT_EQ(lamp["name"].toString(), "Hall lamp");
    EXPECT_EQ(lamp["unique_id"].toString(), "veldrin-test_host_A5");
    EXPECT_EQ(lamp["command_topic"].toString(), "veldrin/A5/set");
    EXPECT_EQ(lamp["state_topic"].toString(), "veldrin/A5/state");
    EXPECT_EQ(lamp["brightness_command_topic"].toString(), "veldrin/A5/brightness/set");
    EXPECT_EQ(lamp["brightness_state_topic"].toString(), "veldrin/A5/brightness");
    EXPECT_EQ(lamp["brightness_scale"].toInt(), 100);
    EXPECT_EQ(lamp["availability_topic"].toString(), "veldrin/status");
    const QJsonObject device = lamp["device"].toObject();
    EXPECT_EQ(device["identifiers"].toArray().first().toString(), "veldrin-test_host");
    EXPECT_FALSE(device["sw_version"].toString().isEmpty());
    const QJsonObject fan =
        json(sub.last(QStringLiteral("homeassistant/switch/veldrin-test_host/A6/config")));
    EXPECT_EQ(fan["name"].toString(), "Fan");
    EXPECT_FALSE(fan.contains("brightness_command_topic"));
    EXPECT_EQ(fan["device"].toObject(), device);
    const QJsonObject button = json(
        sub.last(QStringLiteral("homeassistant/button/veldrin-test_host/A_all_units_off/config")));
    EXPECT_EQ(button["command_topic"].toString(), "veldrin/A/all/set");
    EXPECT_EQ(button["payload_press"].toString(), "ALL_UNITS_OFF");
    EXPECT_FALSE(
        sub.last(QStringLiteral("homeassistant/button/veldrin-test_host/A_all_lights_on/config"))
            .isEmpty());

    // Changes and heard traffic. A module not listed publishes nothing.
    table.apply(kHouseA, {5}, 2, -1, state::Source::Powerline);
    table.apply(kHouseB, {1}, 2, -1, state::Source::Powerline);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), "ON"));
    table.apply(kHouseA, {5}, 3, -1, state::Source::Powerline);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), "OFF"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/brightness"), "0"));
    EXPECT_TRUE(sub.last(QStringLiteral("veldrin/B1/state")).isNull());

    table.applyReceived(QStringLiteral("A1 A5 "), QStringLiteral("A"), 4, QStringLiteral("30"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/event")));
    EXPECT_EQ(json(sub.last(QStringLiteral("veldrin/event"))),
              json(R"({"house":"A","units":[1,5],"function":"DIM","amount":30})"));
    state::HeardEvent macro;
    macro.function = 98;
    macro.macro = QStringLiteral("12F");
    EXPECT_EQ(mqtt::Bridge::eventJson(macro), R"({"function":"MACRO","macro":"12F"})");

    // The interface goes away and comes back.
    path.setReady(false);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "offline"));
    path.setReady(true);
    testenv::pumpUntil([&] { return sub.last(QStringLiteral("veldrin/status")) == "online"; });
    EXPECT_EQ(sub.last(QStringLiteral("veldrin/status")), "online");
}

TEST_F(MqttBridgeTest, TakesOnlyTheCommandsItKnows) {
    platform::TimeBase::global().setScale(1);  // every repeat within one second of log lines
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    hub.publish(QStringLiteral("veldrin/A7/set"), "ON", true);  // retained: stale
    testenv::pump(100);
    startBridge();
    testenv::pump(200);  // subscriptions are through

    const std::vector<std::pair<const char*, QByteArray>> sent = {
        {"veldrin/A5/set", "on"},
        {"veldrin/a5/set", " OFF\n"},
        {"veldrin/A5/brightness/set", "30"},
        {"veldrin/C/all/set", "ALL_LIGHTS_ON"},
        {"veldrin/P/all/set", "all_lights_off"},
        {"veldrin/A/all/set", "ALL_UNITS_OFF"},
        // meaningless: one log line each, nothing reaches the line
        {"veldrin/A5/set", "TOGGLE"},
        {"veldrin/Q5/set", "ON"},
        {"veldrin/A5/brightness/set", "101"},
        {"veldrin/A5/brightness/set", "-1"},
        {"veldrin/A5/brightness/set", "3x"},
        {"veldrin/A6/brightness/set", "50"},
        {"veldrin/Z/all/set", "ALL_UNITS_OFF"},
        {"veldrin/A/all/set", "EXIT"},
        {"veldrin/A5/set", QByteArray("\x01\x02", 2)},
        {"veldrin/A6/set", "on"},
    };
    for (const auto& [t, p] : sent) hub.publish(QString::fromLatin1(t), p);
    ASSERT_TRUE(testenv::pumpUntil([&] { return path.calls.size() == 7; }));
    testenv::pump(100);
    EXPECT_EQ(path.calls, (QStringList{"switch A5 ON", "switch A5 OFF", "level A5 30", "house C 1",
                                       "house P 6", "house A 0", "switch A6 ON"}));
    for (state::Source s : path.sources) EXPECT_EQ(s, state::Source::Mqtt);
    // Every command taken has its line, as a remote client's word has.
    EXPECT_EQ(log.filter(QRegularExpression("^MQTT: [A-P][0-9]* ")),
              (QStringList{"MQTT: A5 ON", "MQTT: A5 OFF", "MQTT: A5 BRIGHTNESS 30",
                           "MQTT: C ALL_LIGHTS_ON", "MQTT: P ALL_LIGHTS_OFF",
                           "MQTT: A ALL_UNITS_OFF", "MQTT: A6 ON"}));
    // One line per reason at once; repeats within the second are counted in
    // one more line that shows the newest of them.
    bridge->stop();
    const QStringList ignored = log.filter(QStringLiteral("MQTT: ignored"));
    EXPECT_EQ(ignored.size(), 9) << log.join(u'\n').toStdString();
    EXPECT_TRUE(ignored.contains(
        QStringLiteral("MQTT: ignored 'TOGGLE' on veldrin/A5/set (not ON or OFF)")));
    EXPECT_TRUE(
        ignored.contains(QStringLiteral("MQTT: ignored '?"
                                        "?' on veldrin/A5/set (not ON or OFF) (1 time in the "
                                        "last second)")))
        << log.join(u'\n').toStdString();
}

// 2000 junk payloads as fast as the broker passes them: a few lines, which
// still account for every one of them.
TEST_F(MqttBridgeTest, AFloodOfJunkGivesOneLinePerSecondWithACount) {
    platform::TimeBase::global().setScale(1);
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startBridge();
    testenv::pump(100);  // subscriptions are through
    QElapsedTimer elapsed;
    elapsed.start();
    // Below the broker's queue of 1,000 messages per client: beyond it a
    // bridge slowed down (a loaded machine, the sanitizer build) would lose
    // the excess at the broker, and this counts what the bridge heard.
    constexpr int kJunk = 900;
    for (int i = 0; i < kJunk; ++i)
        hub.publish(QStringLiteral("veldrin/A5/set"), "junk" + QByteArray::number(i), false);
    auto accounted = [&] {
        int n = 0;
        static const QRegularExpression count(
            QStringLiteral(" \\((\\d+) times? in the last second\\)$"));
        for (const QString& l : log.filter(QStringLiteral("MQTT: ignored"))) {
            const QRegularExpressionMatch m = count.match(l);
            n += m.hasMatch() ? m.captured(1).toInt() : 1;
        }
        return n;
    };
    ASSERT_TRUE(testenv::pumpUntil([&] { return accounted() == kJunk; }, 20000))
        << accounted() << " of " << kJunk;
    const int lines = int(log.filter(QStringLiteral("MQTT: ignored")).size());
    EXPECT_LE(lines, elapsed.elapsed() / 1000 + 2) << log.join(u'\n').toStdString();
    EXPECT_TRUE(path.calls.isEmpty());
}

// Two instances on one host with default settings but their own settings
// files: each has its own client id, so the broker keeps both; the hub still
// knows each by the name it had before the id carried a hash.
TEST_F(MqttBridgeTest, DefaultClientIdsDifferPerSettingsFile) {
    QTemporaryDir dir;
    std::unique_ptr<mqtt::Bridge> bridges[2];
    QStringList logs[2];
    for (int i = 0; i < 2; ++i) {
        const QString file = dir.filePath(QStringLiteral("veldrin%1.conf").arg(i));
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\n").arg(broker.port()).toUtf8());
        f.close();
        platform::setSettingsFileOverride(file);
        bridges[i] = mqtt::Bridge::fromSettings(&table, &path, kHouseA,
                                                [&logs, i](const QString& l) { logs[i] << l; });
        platform::setSettingsFileOverride({});
        ASSERT_NE(bridges[i], nullptr);
        const QString host = QSysInfo::machineHostName();
        const mqtt::Settings& s = bridges[i]->settings();
        EXPECT_EQ(s.clientId, mqtt::Settings::defaultClientId(host, file));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^veldrin-.*-[0-9a-f]{6}$"))
                        .match(s.clientId)
                        .hasMatch())
            << s.clientId.toStdString();
        EXPECT_EQ(s.device(), QStringLiteral("veldrin-") + host);
    }
    EXPECT_NE(bridges[0]->settings().clientId, bridges[1]->settings().clientId);
    EXPECT_EQ(mqtt::Settings::defaultClientId(QStringLiteral("h"), dir.filePath("a.conf")),
              mqtt::Settings::defaultClientId(QStringLiteral("h"), dir.filePath("./a.conf")));

    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return bridges[0]->client().isConnected() && bridges[1]->client().isConnected(); }));
    platform::waitEvents(20000);  // a broker that dropped one for the other would have by now
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(bridges[i]->client().isConnected());
        EXPECT_EQ(logs[i],
                  QStringList{QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port())})
            << logs[i].join(u'\n').toStdString();
    }
}

TEST_F(MqttBridgeTest, SettingsAndThePasswordFile) {
    TestBroker secured;
    ASSERT_TRUE(secured.start(QStringLiteral("hub"), QStringLiteral("s3cret")));
    auto fromSettings = [&] {
        return mqtt::Bridge::fromSettings(&table, &path, kHouseA,
                                          [this](const QString& l) { log << l; });
    };
    EXPECT_EQ(fromSettings(), nullptr);  // no [MQTT] Host: off, and not a word about it
    EXPECT_TRUE(log.isEmpty());

    QTemporaryDir dir;
    const QString pw = dir.filePath(QStringLiteral("pw"));
    auto writePassword = [&](const QByteArray& text, QFile::Permissions perms) {
        QFile f(pw);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        f.setPermissions(perms);
    };
    testenv::writeSettings(
        QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\nUser=hub\nPasswordFile=%2\n")
            .arg(secured.port())
            .arg(pw));
    // Only a regular file that no one but its owner may use: anything else
    // is refused at once, in one line, and the bridge stays off.
    for (const QFile::Permissions open :
         {QFile::ReadOther, QFile::ReadGroup, QFile::WriteOther, QFile::WriteGroup}) {
        writePassword("s3cret\n", QFile::ReadOwner | QFile::WriteOwner | open);
        log.clear();
        EXPECT_EQ(fromSettings(), nullptr);
        ASSERT_EQ(log.size(), 1) << log.join(u'\n').toStdString();
        EXPECT_TRUE(log[0].startsWith(QStringLiteral("MQTT: the password file %1 may be read or "
                                                     "written by others (mode 06")
                                          .arg(pw)))
            << log[0].toStdString();
        EXPECT_TRUE(log[0].endsWith(QStringLiteral("; chmod 600 it); the bridge stays off")));
    }
    QFile::remove(pw);
    ASSERT_EQ(::mkfifo(QFile::encodeName(pw).constData(), 0600), 0);
    log.clear();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(fromSettings(), nullptr);  // a FIFO: no writer would ever come
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(log, QStringList{QStringLiteral("MQTT: the password file %1 is not a regular file; "
                                              "the bridge stays off")
                                   .arg(pw)});
    QFile::remove(pw);

    writePassword("wrong\n", QFile::ReadOwner | QFile::WriteOwner);
    log.clear();
    auto bad = fromSettings();
    ASSERT_NE(bad, nullptr);
    ASSERT_TRUE(testenv::pumpUntil([&] { return !log.isEmpty(); }));
    EXPECT_TRUE(log[0].contains(QStringLiteral("(refused: "))) << log[0].toStdString();
    bad.reset();

    writePassword("s3cret\n", QFile::ReadOwner | QFile::WriteOwner);
    log.clear();
    auto good = fromSettings();
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->settings().clientId.left(8), QStringLiteral("veldrin-"));
    EXPECT_TRUE(testenv::pumpUntil([&] { return good->client().isConnected(); }));
    const QString everything = log.join(u'\n') + testenv::readSettings();
    EXPECT_FALSE(everything.contains(QStringLiteral("s3cret")));
    EXPECT_FALSE(everything.contains(QStringLiteral("wrong")));
    testenv::writeSettings({});
}

}  // namespace
