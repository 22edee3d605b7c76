// The bridge against a real broker, with a real state table and a command
// path that records what it is asked to do.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "commandpath.h"
#include "mqttbridge.h"
#include "state/statetable.h"
#include "testbroker.h"
#include "testenv.h"
#include "timebase.h"

namespace {

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
        calls << QStringLiteral("house %1 %2").arg(QChar(u'A' + house)).arg(function);
        sources.push_back(s);
    }
    bool interfaceReady() const override { return ready; }
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
        bridge = std::make_unique<mqtt::Bridge>(settings(), QString(), &table, &path, 0,
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
    table.apply(0, {6}, 2, -1, state::Source::Click);  // known before the connection
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
    table.apply(0, {5}, 2, -1, state::Source::Powerline);
    table.apply(1, {1}, 2, -1, state::Source::Powerline);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), "ON"));
    table.apply(0, {5}, 3, -1, state::Source::Powerline);
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
    const QStringList ignored = log.filter(QStringLiteral("MQTT: ignored"));
    EXPECT_EQ(ignored.size(), 10) << log.join(u'\n').toStdString();
    EXPECT_TRUE(ignored.contains(
        QStringLiteral("MQTT: ignored 'TOGGLE' on veldrin/A5/set (not ON or OFF)")));
    EXPECT_TRUE(
        ignored.contains(QStringLiteral("MQTT: ignored '?"
                                        "?' on veldrin/A5/set (not ON or OFF)")));
}

TEST_F(MqttBridgeTest, SettingsAndThePasswordFile) {
    TestBroker secured;
    ASSERT_TRUE(secured.start(QStringLiteral("hub"), QStringLiteral("s3cret")));
    auto fromSettings = [&] {
        return mqtt::Bridge::fromSettings(&table, &path, 0, [this](const QString& l) { log << l; });
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
    writePassword("s3cret\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    EXPECT_EQ(fromSettings(), nullptr);
    EXPECT_TRUE(log.value(0).contains(QStringLiteral("can be read by others")))
        << log.value(0).toStdString();

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
