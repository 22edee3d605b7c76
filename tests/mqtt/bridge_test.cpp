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
#include <map>

#include "commandpath.h"
#include "eventlog.h"
#include "heardevent.h"
#include "mqttbridge.h"
#include "programinfo.h"
#include "schedulerunner.h"
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
    Verdict switchUnit(state::Address a, bool on, state::Source s) override {
        calls << QStringLiteral("switch %1 %2").arg(a.text(), on ? "ON" : "OFF");
        sources.push_back(s);
        return {verdictId, {}};
    }
    Verdict setBrightness(state::Address a, int percent, state::Source s) override {
        calls << QStringLiteral("level %1 %2").arg(a.text()).arg(percent);
        sources.push_back(s);
        return {verdictId, {}};
    }
    Verdict stepLevel(state::Address a, int function, int percent, state::Source s) override {
        calls << QStringLiteral("step %1 %2 %3").arg(a.text()).arg(function).arg(percent);
        sources.push_back(s);
        return {};
    }
    Verdict houseFunction(int house, int function, state::Source s) override {
        calls << QStringLiteral("house %1 %2").arg(state::Address{house, 0}.text()).arg(function);
        sources.push_back(s);
        return {};
    }
    Verdict sliderDim(state::Address a, int from, int to, state::Source s) override {
        calls << QStringLiteral("slider %1 %2 %3").arg(a.text()).arg(from).arg(to);
        sources.push_back(s);
        return {};
    }
    bool interfaceReady() const override { return ready; }
    // What commands still waiting would lead to (none: the tracked state).
    state::ModuleState expected(state::Address a) const override {
        const auto w = waiting.find(a.text());
        return w != waiting.end() ? w->second : table->state(a);
    }
    // The id a switch or level is accepted under; 0: nothing had to be sent.
    quint64 verdictId = 1;
    void setReady(bool r) {
        ready = r;
        emit interfaceReadyChanged(r);
    }

    bool ready = true;
    const state::StateTable* table = nullptr;
    std::map<QString, state::ModuleState> waiting;
    void wait(const QString& address, state::Power power, int level) {
        state::ModuleState& w = waiting[address];
        w.power = power;
        w.level = level;
    }
    QStringList calls;
    std::vector<state::Source> sources;
};

class MqttBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(50);
        ASSERT_TRUE(broker.start());
        path.table = &table;
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

// Every config read back and checked for what Home Assistant requires: a
// device per module linked to the bridge's device, the origin, the topics.
TEST_F(MqttBridgeTest, AnnouncesModulesAndPublishesStateAndEvents) {
    table.apply(kHouseA, {6}, 2, -1, state::Source::Click);  // known before the connection
    // A config left from a run when A9 was listed (by a version that named
    // the node without its hash): cleared on connect, with the retained
    // state topics it names, as A9 is not listed any more.
    const QString stale = QStringLiteral("homeassistant/light/veldrin-test_host/A9/config");
    {
        TestSubscriber old(broker, QStringLiteral("x"), QStringLiteral("old"));
        ASSERT_TRUE(old.waitConnected());
        old.publish(stale,
                    R"({"name":"A9","state_topic":"veldrin/A9/state",)"
                    R"("brightness_state_topic":"veldrin/A9/brightness"})",
                    true);
        old.publish(QStringLiteral("veldrin/A9/state"), "ON", true);
        old.publish(QStringLiteral("veldrin/A9/brightness"), "40", true);
        testenv::pump(100);
    }
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A9/brightness"), "40"));
    startBridge();

    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "online"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/client"), "veldrin-test.host"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A6/state"), "ON"));
    ASSERT_TRUE(sub.waitFor(stale, ""));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A9/state"), ""));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A9/brightness"), ""));
    EXPECT_TRUE(log.contains(QStringLiteral("MQTT: removed the discovery config ") + stale));

    const QString node = settings().uniqueNode();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^veldrin-test_host_[0-9a-f]{8}$"))
                    .match(node)
                    .hasMatch())
        << node.toStdString();
    auto config = [&](const char* component, const QString& object) {
        return json(sub.last(QStringLiteral("homeassistant/%1/%2/%3/config")
                                 .arg(QLatin1String(component), node, object)));
    };
    const QJsonObject lamp = config("light", QStringLiteral("A5"));
    EXPECT_TRUE(lamp.contains("name") && lamp["name"].isNull());
    EXPECT_EQ(lamp["unique_id"].toString(), node + QStringLiteral("_A5"));
    const QJsonObject lampDevice = lamp["device"].toObject();
    EXPECT_EQ(lampDevice["identifiers"].toArray().first().toString(), node + QStringLiteral("_A5"));
    EXPECT_EQ(lampDevice["name"].toString(), "Hall lamp");
    EXPECT_EQ(lampDevice["model"].toString(), "Lamp module");
    EXPECT_EQ(lampDevice["via_device"].toString(), node);
    const QJsonObject origin = lamp["origin"].toObject();
    EXPECT_EQ(origin["name"].toString(), "Veldrin");
    EXPECT_FALSE(origin["sw"].toString().isEmpty());
    EXPECT_TRUE(origin["url"].toString().startsWith("https://"));
    EXPECT_EQ(lamp["schema"].toString(), "json");
    EXPECT_EQ(lamp["command_topic"].toString(), "veldrin/A5/set");
    EXPECT_EQ(lamp["state_topic"].toString(), "veldrin/A5/state");
    EXPECT_EQ(lamp["brightness_scale"].toInt(), 100);
    EXPECT_EQ(lamp["availability_topic"].toString(), "veldrin/status");
    const QJsonObject fan = config("switch", QStringLiteral("A6"));
    EXPECT_TRUE(fan["name"].isNull());
    EXPECT_EQ(fan["command_topic"].toString(), "veldrin/A6/set");
    EXPECT_FALSE(fan.contains("brightness_command_topic"));
    EXPECT_EQ(fan["device"].toObject()["model"].toString(), "Appliance module");
    EXPECT_EQ(fan["device"].toObject()["name"].toString(), "Fan");
    EXPECT_EQ(fan["origin"].toObject(), origin);
    const QJsonObject button = config("button", QStringLiteral("A_all_units_off"));
    EXPECT_EQ(button["command_topic"].toString(), "veldrin/A/all/set");
    EXPECT_EQ(button["payload_press"].toString(), "ALL_UNITS_OFF");
    EXPECT_FALSE(config("button", QStringLiteral("A_all_lights_on")).isEmpty());
    // The bridge's own device, with the connectivity of the interface: on
    // while B/status is online, which the last will turns offline.
    const QJsonObject bridgeDevice = button["device"].toObject();
    EXPECT_EQ(bridgeDevice["identifiers"].toArray().first().toString(), node);
    EXPECT_EQ(bridgeDevice["name"].toString(), "veldrin-test.host");
    EXPECT_FALSE(bridgeDevice["sw_version"].toString().isEmpty());
    const QJsonObject link = config("binary_sensor", QStringLiteral("interface"));
    EXPECT_EQ(link["device_class"].toString(), "connectivity");
    EXPECT_EQ(link["state_topic"].toString(), "veldrin/status");
    EXPECT_EQ(link["payload_on"].toString(), "online");
    EXPECT_EQ(link["payload_off"].toString(), "offline");
    EXPECT_EQ(link["device"].toObject(), bridgeDevice);
    EXPECT_EQ(link["origin"].toObject(), origin);
    EXPECT_FALSE(link.contains("availability_topic"));

    // Changes and heard traffic. A module not listed publishes nothing.
    table.apply(kHouseA, {5}, 2, -1, state::Source::Powerline);
    table.apply(kHouseB, {1}, 2, -1, state::Source::Powerline);
    ASSERT_TRUE(
        sub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"brightness":100,"state":"ON"})"));
    table.apply(kHouseA, {5}, 3, -1, state::Source::Powerline);
    ASSERT_TRUE(
        sub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"brightness":100,"state":"OFF"})"));
    EXPECT_TRUE(sub.last(QStringLiteral("veldrin/B1/state")).isNull());

    table.applyHeard(testenv::heardEvent("A1 A5", kHouseA, 4, 30));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/event")));
    EXPECT_EQ(json(sub.last(QStringLiteral("veldrin/event"))),
              json(R"({"house":"A","units":[1,5],"function":"DIM","amount":30})"));
    table.applyHeard(testenv::heardMacro(0x012F));
    ASSERT_TRUE(
        sub.waitFor(QStringLiteral("veldrin/event"), R"({"function":"MACRO","macro":"12F"})"));

    // The interface goes away and comes back.
    path.setReady(false);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "offline"));
    path.setReady(true);
    testenv::pumpUntil([&] { return sub.last(QStringLiteral("veldrin/status")) == "online"; });
    EXPECT_EQ(sub.last(QStringLiteral("veldrin/status")), "online");
}

// Motion and door sensors as binary sensors, a remote as an event entity;
// heard traffic from elsewhere stays on B/event only.
TEST_F(MqttBridgeTest, SensorsAndRemotesFollowHeardTraffic) {
    table.setModules(state::ModuleList::fromEntries(
        {{QStringLiteral("B1"), QStringLiteral("motion,Hall motion")},
         {QStringLiteral("B2"), QStringLiteral("sensor,Back door")},
         {QStringLiteral("B3"), QStringLiteral("remote,Bedside")}},
        true, QStringLiteral("A"), {}));
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    mqtt::Settings s = settings();
    s.offDelaySeconds = 60;  // 1.2 s of real time at the test's time scale
    bridge = std::make_unique<mqtt::Bridge>(s, QString(), &table, &path, kHouseA,
                                            [this](const QString& l) { log << l; });
    bridge->start();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "online"));
    const QString node = s.uniqueNode();
    auto config = [&](const char* component, const char* addr) {
        const QString t = QStringLiteral("homeassistant/%1/%2/%3/config")
                              .arg(QLatin1String(component), node, QLatin1String(addr));
        EXPECT_TRUE(sub.waitFor(t)) << t.toStdString();
        return json(sub.last(t));
    };
    const QJsonObject motion = config("binary_sensor", "B1");
    EXPECT_EQ(motion["device_class"].toString(), "motion");
    EXPECT_EQ(motion["state_topic"].toString(), "veldrin/B1/state");
    EXPECT_EQ(motion["payload_on"].toString(), "ON");
    EXPECT_EQ(motion["payload_off"].toString(), "OFF");
    EXPECT_TRUE(motion["name"].isNull());
    EXPECT_EQ(motion["unique_id"].toString(), node + QStringLiteral("_B1"));
    EXPECT_EQ(motion["device"].toObject()["name"].toString(), "Hall motion");
    EXPECT_FALSE(motion.contains("command_topic"));
    const QJsonObject door = config("binary_sensor", "B2");
    EXPECT_EQ(door["device_class"].toString(), "door");
    EXPECT_EQ(door["state_topic"].toString(), "veldrin/B2/state");
    const QJsonObject remote = config("event", "B3");
    EXPECT_EQ(remote["state_topic"].toString(), "veldrin/B3/event");
    EXPECT_EQ(remote["event_types"].toArray(), (QJsonArray{"on", "off", "dim", "bright"}));
    EXPECT_EQ(remote["device"].toObject()["via_device"].toString(), node);
    EXPECT_FALSE(remote["origin"].toObject().isEmpty());

    auto heard = [&](const char* devices, int function, const char* extra = "") {
        sub.messages.clear();
        table.applyHeard(
            testenv::heardEvent(devices, kHouseB, function, *extra ? atoi(extra) : -1));
    };
    // Motion: ON, a heard OFF ends it at once; the next ON ends by OffDelay.
    heard("B1 ", 2);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B1/state"), "ON"));
    heard("B1 ", 3);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B1/state"), "OFF"));
    heard("B1 ", 2);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B1/state"), "ON"));
    sub.messages.clear();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B1/state"), "OFF"));
    // A door contact stays as it was sent.
    heard("B2 ", 2);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B2/state"), "ON"));
    platform::waitEvents(90000);  // beyond OffDelay
    EXPECT_EQ(sub.last(QStringLiteral("veldrin/B2/state")), "ON");
    heard("B2 ", 3);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B2/state"), "OFF"));
    // A remote's buttons; DIM with its amount.
    heard("B3 ", 2);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B3/event")));
    EXPECT_EQ(json(sub.last(QStringLiteral("veldrin/B3/event"))), json(R"({"event_type":"on"})"));
    heard("B3 ", 4, "20");
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B3/event")));
    EXPECT_EQ(json(sub.last(QStringLiteral("veldrin/B3/event"))),
              json(R"({"event_type":"dim","amount":20})"));
    // Not listed: only B/event.
    heard("B9 ", 2);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/event")));
    testenv::pump(100);
    for (const auto& m : sub.messages) EXPECT_FALSE(m.topic.startsWith("veldrin/B9"));
    // Whether a sensor takes a command is for the command path to say (it
    // refuses it and logs why); the bridge only passes it on, with no line of
    // its own.
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    hub.publish(QStringLiteral("veldrin/B1/set"), "ON");
    ASSERT_TRUE(testenv::pumpUntil([&] { return !path.calls.isEmpty(); }));
    EXPECT_EQ(path.calls, QStringList{"switch B1 ON"});
    EXPECT_TRUE(log.filter("B1").isEmpty()) << log.join(u'\n').toStdString();
}

// A level with nothing to send: the hub hears the state again instead of
// keeping the value it assumed.
TEST_F(MqttBridgeTest, ALevelWithNothingToSendRepublishesTheState) {
    table.apply(kHouseA, {5}, 2, -1, state::Source::Click);  // ON: full
    TestSubscriber sub(broker, QStringLiteral("veldrin/A5/#"));
    ASSERT_TRUE(sub.waitConnected());
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startBridge();
    const QByteArray full = R"({"brightness":100,"state":"ON"})";
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), full));
    sub.messages.clear();
    path.verdictId = 0;
    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"state":"ON","brightness":99})");
    EXPECT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), full));
}

// A lamp's state and level are one message; while it is off it keeps the
// level it had on. While commands still wait for a lamp (ON and then DIM)
// the hub hears only the state they lead to, once; when the rest of them
// fail, what was reached goes out at once, and after the hold at the latest.
TEST_F(MqttBridgeTest, ALampChangeIsOneRetainedMessageWithItsLevel) {
    table.apply(kHouseA, {5}, 3, -1, state::Source::Click);  // off, level never known
    TestSubscriber sub(broker, QStringLiteral("veldrin/A5/#"));
    ASSERT_TRUE(sub.waitConnected());
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startBridge();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"state":"OFF"})"));
    auto published = [&] {
        QList<QByteArray> l;
        for (const auto& m : sub.messages)
            if (m.topic == u"veldrin/A5/state") l << m.payload;
        return l;
    };
    auto settle = [&](const QByteArray& last) {
        EXPECT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), last));
        testenv::pump(100);
        const QList<QByteArray> seen = published();
        sub.messages.clear();
        return seen;
    };
    sub.messages.clear();

    // From the hub, on at 40 from off: the line goes ON (full), then DIM.
    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"state":"ON","brightness":40})");
    ASSERT_TRUE(testenv::pumpUntil([&] { return path.calls.size() == 1; }));
    EXPECT_EQ(path.calls.last(), "level A5 40");
    path.wait(QStringLiteral("A5"), state::Power::On, 40);
    table.apply(kHouseA, {5}, 2, -1, state::Source::Powerline);  // ON: full, held back
    testenv::pump(50);
    path.waiting.clear();
    table.apply(kHouseA, {5}, 4, 60, state::Source::Powerline);  // DIM to 40
    const QByteArray at40 = R"({"brightness":40,"state":"ON"})";
    EXPECT_EQ(settle(at40), QList<QByteArray>{at40});

    // Off keeps the level.
    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"state":"OFF"})");
    ASSERT_TRUE(testenv::pumpUntil([&] { return path.calls.size() == 2; }));
    EXPECT_EQ(path.calls.last(), "switch A5 OFF");
    table.apply(kHouseA, {5}, 3, -1, state::Source::Powerline);
    const QByteArray off40 = R"({"brightness":40,"state":"OFF"})";
    EXPECT_EQ(settle(off40), QList<QByteArray>{off40});

    // The rest of a sequence fails: what was reached goes out at once.
    path.wait(QStringLiteral("A5"), state::Power::On, 10);
    table.apply(kHouseA, {5}, 4, 30, state::Source::Web);
    testenv::pump(50);
    EXPECT_TRUE(published().isEmpty());
    path.waiting.clear();
    emit path.givenUp(7, QStringLiteral("Not Confirmed"));
    const QByteArray at70 = R"({"brightness":70,"state":"ON"})";  // on at full, DIM 30
    EXPECT_EQ(settle(at70), QList<QByteArray>{at70});

    // Commands that never settle: published after the hold at the latest.
    path.wait(QStringLiteral("A5"), state::Power::Off, 0);
    table.apply(kHouseA, {5}, 5, 30, state::Source::Web);
    const QByteArray full = R"({"brightness":100,"state":"ON"})";
    EXPECT_EQ(settle(full), QList<QByteArray>{full});
    path.waiting.clear();

    // Bad light commands reach nothing.
    for (const QByteArray& bad :
         {QByteArray(R"({"state":"TOGGLE"})"), QByteArray(R"({"x":1})"),
          QByteArray(R"({"state":"ON","brightness":101})"), QByteArray("{not json")})
        hub.publish(QStringLiteral("veldrin/A5/set"), bad);
    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"brightness":0})");
    ASSERT_TRUE(testenv::pumpUntil([&] { return path.calls.size() == 3; }));
    EXPECT_EQ(path.calls.last(), "level A5 0");
    EXPECT_TRUE(log.contains(QStringLiteral(
        R"(MQTT: ignored '{"state":"TOGGLE"}' on veldrin/A5/set (not a light command))")))
        << log.join(u'\n').toStdString();

    // A restart: the off lamp's level comes back from the state the run
    // before left retained.
    table.apply(kHouseA, {5}, 3, -1, state::Source::Powerline);
    const QByteArray off100 = R"({"brightness":100,"state":"OFF"})";
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state"), off100));
    bridge.reset();
    sub.messages.clear();
    startBridge();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/state")));
    EXPECT_EQ(published().value(0), off100);
}

// Client ids that differ only in punctuation give different unique_ids; the
// second instance on a base topic stays off the broker, while a restart of
// the holder itself (its status still online after a crash) goes ahead.
TEST_F(MqttBridgeTest, ASecondInstanceOnTheSameBaseTopicStaysOff) {
    mqtt::Settings other = settings();
    other.clientId = QStringLiteral("veldrin-test_host");
    EXPECT_EQ(other.node(), settings().node());
    EXPECT_NE(other.uniqueNode(), settings().uniqueNode());
    mqtt::Settings elsewhere = settings();
    elsewhere.baseTopic = QStringLiteral("upstairs");
    EXPECT_NE(elsewhere.uniqueNode(), settings().uniqueNode());

    {  // what a crashed holder leaves
        TestSubscriber old(broker, QStringLiteral("x"), QStringLiteral("old"));
        ASSERT_TRUE(old.waitConnected());
        old.publish(QStringLiteral("veldrin/client"), "veldrin-test.host", true);
        old.publish(QStringLiteral("veldrin/status"), "online", true);
        testenv::pump(100);
    }
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    startBridge();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("homeassistant/light/") + settings().uniqueNode() +
                            QStringLiteral("/A5/config")));
    EXPECT_FALSE(bridge->refused());

    QStringList otherLog;
    mqtt::Bridge second(other, QString(), &table, &path, kHouseA,
                        [&](const QString& l) { otherLog << l; });
    sub.messages.clear();
    second.start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return second.refused(); }));
    EXPECT_TRUE(otherLog.contains(
        QStringLiteral("MQTT: the base topic veldrin is in use by client veldrin-test.host; the "
                       "bridge stays off the broker")))
        << otherLog.join(u'\n').toStdString();
    testenv::pump(200);
    EXPECT_FALSE(second.client().isConnected());
    // Nothing of the second instance's; the holder's last configs may still
    // be arriving.
    for (const auto& m : sub.messages)
        EXPECT_FALSE(
            (m.topic.startsWith("homeassistant/") && m.topic.contains(other.uniqueNode())) ||
            m.topic == "veldrin/status" || m.topic == "veldrin/client")
            << m.topic.toStdString();
    // Commands reach the holder only.
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    hub.publish(QStringLiteral("veldrin/A5/set"), "ON");
    ASSERT_TRUE(testenv::pumpUntil([&] { return !path.calls.isEmpty(); }));
    testenv::pump(100);
    EXPECT_EQ(path.calls, QStringList{"switch A5 ON"});
}

// Home Assistant started again: everything is announced again at once.
TEST_F(MqttBridgeTest, HomeAssistantOnlineTriggersARepublish) {
    table.apply(kHouseA, {6}, 2, -1, state::Source::Click);
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    startBridge();
    const QString last = QStringLiteral("homeassistant/binary_sensor/%1/interface/config")
                             .arg(settings().uniqueNode());
    ASSERT_TRUE(sub.waitFor(last));
    testenv::pump(100);
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    hub.publish(QStringLiteral("homeassistant/status"), "offline");
    testenv::pump(100);
    sub.messages.clear();
    hub.publish(QStringLiteral("homeassistant/status"), "online");
    ASSERT_TRUE(sub.waitFor(last));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("homeassistant/light/") + settings().uniqueNode() +
                            QStringLiteral("/A5/config")));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A6/state"), "ON"));
    EXPECT_TRUE(log.contains(QStringLiteral("MQTT: Home Assistant is online; announcing again")));
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
    ASSERT_TRUE(testenv::pumpUntil([&] { return path.calls.size() == 8; }));
    testenv::pump(100);
    // A level for the appliance A6 goes to the command path too, which
    // refuses it.
    EXPECT_EQ(path.calls, (QStringList{"switch A5 ON", "switch A5 OFF", "level A5 30", "house C 1",
                                       "house P 6", "house A 0", "level A6 50", "switch A6 ON"}));
    for (state::Source s : path.sources) EXPECT_EQ(s, state::Source::Mqtt);
    // The line of a command taken is the command path's ("MQTT: A5 ON"): the
    // bridge writes none of its own.
    EXPECT_TRUE(log.filter(QRegularExpression("^MQTT: [A-P][0-9]* ")).isEmpty())
        << log.join(u'\n').toStdString();
    // One line per reason at once; repeats within the second are counted in
    // one more line that shows the newest of them.
    bridge->stop();
    const QStringList ignored = log.filter(QStringLiteral("MQTT: ignored"));
    EXPECT_EQ(ignored.size(), 8) << log.join(u'\n').toStdString();
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
    QList<platform::LogLevel> levels;
    auto fromSettings = [&] {
        return mqtt::Bridge::fromSettings(&table, &path, kHouseA,
                                          [&](const QString& l, platform::LogLevel level) {
                                              log << l;
                                              levels << level;
                                          });
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
        EXPECT_EQ(levels.last(), platform::LogLevel::Error);
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
    EXPECT_EQ(levels.last(), platform::LogLevel::Error);
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

TEST_F(MqttBridgeTest, SaysWhenTheBrokerConnectionComesAndGoes) {
    QList<bool> changes;
    bridge = std::make_unique<mqtt::Bridge>(settings(), QString(), &table, &path, kHouseA,
                                            [this](const QString& l) { log << l; });
    QObject::connect(bridge.get(), &mqtt::Bridge::connectionChanged,
                     [&](bool connected) { changes << connected; });
    bridge->start();
    ASSERT_TRUE(testenv::pumpUntil([&] { return changes == QList<bool>{true}; }));
    EXPECT_TRUE(bridge->isConnected());
    broker.kill();
    EXPECT_TRUE(testenv::pumpUntil([&] { return changes == QList<bool>({true, false}); }));
    EXPECT_FALSE(bridge->isConnected());
}

// What the bridge puts on the broker for one module of each kind, the
// schedule's switch and scenes, a stale config and a run of state changes,
// byte for byte against tests/mqtt/data/bridge_payloads.txt: the stream per
// topic in the order it came, then what a hub arriving later finds retained.
// The version is written @VERSION@. VELDRIN_WRITE_GOLDEN=1 writes the file.
TEST_F(MqttBridgeTest, PublishesThePayloadsOfTheGoldenFile) {
    QTemporaryDir dir;
    const QString scheduleFile = dir.filePath(QStringLiteral("schedule"));
    {
        QFile f(scheduleFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("scene evening: A5 ON\nscene good_night.2: A5 OFF\n");
    }
    QFile::remove(core::ScheduleRunner::stateFilePath());
    core::EventLog events;
    core::ScheduleRunner runner(path, table, events);
    ASSERT_TRUE(runner.load(scheduleFile));
    table.setModules(state::ModuleList::fromEntries(
        {{QStringLiteral("A5"), QStringLiteral("lamp,Hall lamp")},
         {QStringLiteral("A6"), QStringLiteral("appliance,Fan")},
         {QStringLiteral("A7"), QStringLiteral("lamp")},
         {QStringLiteral("B1"), QStringLiteral("motion,Hall motion")},
         {QStringLiteral("B2"), QStringLiteral("sensor,Back door")},
         {QStringLiteral("B3"), QStringLiteral("remote,Bedside")},
         {QStringLiteral("A8"), QStringLiteral("twoway-lamp,Desk lamp,room=Study")},
         {QStringLiteral("B4"), QStringLiteral("sensor,Landing window,class=window")}},
        true, QStringLiteral("A"), {}));
    table.apply(kHouseA, {5}, 2, -1, state::Source::Click);
    table.apply(kHouseA, {6}, 3, -1, state::Source::Click);
    {
        TestSubscriber old(broker, QStringLiteral("veldrin/A9/state"), QStringLiteral("old"));
        ASSERT_TRUE(old.waitConnected());
        old.publish(QStringLiteral("homeassistant/light/%1/A9/config").arg(settings().uniqueNode()),
                    R"({"state_topic":"veldrin/A9/state"})", true);
        old.publish(QStringLiteral("veldrin/A9/state"), "ON", true);
        ASSERT_TRUE(old.waitFor(QStringLiteral("veldrin/A9/state"), "ON"));
    }
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitConnected());
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A9/state"), "ON"));
    sub.messages.clear();
    bridge = std::make_unique<mqtt::Bridge>(settings(), QString(), &table, &path, kHouseA,
                                            [this](const QString& l) { log << l; });
    bridge->setSchedule(&runner);
    bridge->setPageUrl(QStringLiteral("http://192.0.2.10:8410/"));
    bridge->start();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A6/state"), "OFF"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A9/state"), ""));

    table.apply(kHouseA, {5}, 4, 60, state::Source::Powerline);
    table.apply(kHouseA, {5}, 3, -1, state::Source::Powerline);
    auto heard = [&](int house, int unit, int function, int amount) {
        state::HeardEvent e;
        e.house = house;
        e.units = {unit};
        e.function = function;
        e.amount = amount;
        emit table.heard(e);
    };
    heard(kHouseB, 1, 2, -1);
    heard(kHouseB, 2, 3, -1);
    heard(kHouseB, 3, 4, 20);
    runner.setEnabled(false);
    path.setReady(false);
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/status"), "offline"));

    QMap<QString, QList<QByteArray>> stream;
    for (const auto& m : sub.messages)
        if (!m.topic.startsWith(QStringLiteral("veldrin/probe/"))) stream[m.topic] << m.payload;
    int retainedCount = 0;
    for (auto it = stream.cbegin(); it != stream.cend(); ++it)
        retainedCount += !it->last().isEmpty() && !it.key().endsWith(QStringLiteral("/event"));
    TestSubscriber late(broker, QStringLiteral("#"), QStringLiteral("late"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return int(late.messages.size()) >= retainedCount; }));
    QMap<QString, QByteArray> retained;
    for (const auto& m : late.messages) retained[m.topic] = m.payload;

    QByteArray text;
    for (auto it = stream.cbegin(); it != stream.cend(); ++it)
        for (const QByteArray& p : *it) text += it.key().toUtf8() + ' ' + p + '\n';
    text += "-- retained\n";
    for (auto it = retained.cbegin(); it != retained.cend(); ++it)
        text += it.key().toUtf8() + ' ' + *it + '\n';
    const QByteArray version = QStringLiteral("\"%1.%2.%3\"")
                                   .arg(programinfo::kVersionMajor)
                                   .arg(programinfo::kVersionMinor)
                                   .arg(programinfo::kVersionPatch)
                                   .toUtf8();
    text.replace(version, "\"@VERSION@\"");
    text.replace(' ' + version.mid(1, version.size() - 2) + '\n', " @VERSION@\n");
    text = QString::fromUtf8(text)
               .replace(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z")),
                        QStringLiteral("@TIME@"))
               .toUtf8();

    QFile golden(QStringLiteral(VELDRIN_MQTT_GOLDEN));
    if (qEnvironmentVariableIsSet("VELDRIN_WRITE_GOLDEN")) {
        ASSERT_TRUE(golden.open(QIODevice::WriteOnly));
        golden.write(text);
        return;
    }
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    EXPECT_EQ(text.toStdString(), golden.readAll().toStdString());
}

// Every config of the golden file against what the hub's discovery schemas
// accept: per component the keys it requires and those it knows, the
// device's keys, and the values the hub checks (classes, categories, the
// light schema). A key the hub does not know makes it refuse the config.
TEST(MqttDiscoverySchema, EveryConfigOfTheGoldenFileMeetsTheHubsSchema) {
    using Keys = QSet<QString>;
    const Keys entity = {"name",
                         "unique_id",
                         "device",
                         "origin",
                         "availability_topic",
                         "payload_available",
                         "payload_not_available",
                         "availability",
                         "availability_mode",
                         "entity_category",
                         "enabled_by_default",
                         "icon",
                         "device_class"};
    struct Component {
        const char* name;
        Keys required;
        Keys known;  // beyond the entity's own (none for a device trigger)
        Keys classes;
    };
    const std::vector<Component> table = {
        {"light",
         {"command_topic", "schema", "supported_color_modes"},
         {"command_topic", "state_topic", "schema", "supported_color_modes", "brightness_scale"},
         {}},
        {"switch",
         {"command_topic"},
         {"command_topic", "state_topic", "payload_on", "payload_off"},
         {}},
        {"binary_sensor",
         {"state_topic"},
         {"state_topic", "payload_on", "payload_off"},
         {"motion", "door", "window", "connectivity"}},
        {"event", {"state_topic", "event_types"}, {"state_topic", "event_types"}, {"button"}},
        {"button", {"command_topic"}, {"command_topic", "payload_press"}, {}},
        {"scene", {"command_topic"}, {"command_topic", "payload_on"}, {}},
        {"sensor",
         {"state_topic"},
         {"state_topic", "options", "state_class"},
         {"timestamp", "enum"}},
        {"device_automation",
         {"automation_type", "topic", "type", "subtype", "device"},
         {"automation_type", "topic", "type", "subtype", "device", "payload", "value_template"},
         {}},
    };
    const Keys deviceKeys = {"identifiers",   "name",       "model",      "model_id",
                             "manufacturer",  "sw_version", "via_device", "configuration_url",
                             "suggested_area"};
    QFile golden(QStringLiteral(VELDRIN_MQTT_GOLDEN));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    QSet<QString> seen;
    for (const QByteArray& line : golden.readAll().split('\n')) {
        if (line.startsWith("--")) break;  // the retained part repeats the stream
        if (!line.startsWith("homeassistant/") || line.endsWith(' ')) continue;
        const qsizetype space = line.indexOf(' ');
        const QString topic = QString::fromUtf8(line.left(space));
        const QString component = topic.section(u'/', 1, 1);
        const QJsonObject o = QJsonDocument::fromJson(line.mid(space + 1)).object();
        const auto c = std::find_if(table.begin(), table.end(),
                                    [&](const Component& k) { return component == k.name; });
        ASSERT_NE(c, table.end()) << topic.toStdString();
        seen.insert(component);
        const bool trigger = component == u"device_automation";
        for (const QString& k : c->required)
            EXPECT_TRUE(o.contains(k)) << topic.toStdString() << k.toStdString();
        for (const QString& k : o.keys())
            EXPECT_TRUE(c->known.contains(k) || (!trigger && entity.contains(k)))
                << topic.toStdString() << ": " << k.toStdString();
        if (!trigger) {
            EXPECT_TRUE(o.contains("unique_id") && o.contains("name") && o.contains("origin"))
                << topic.toStdString();
            EXPECT_FALSE(o.contains("availability") && o.contains("availability_topic"));
        }
        const QString cls = o["device_class"].toString();
        EXPECT_TRUE(cls.isEmpty() || c->classes.contains(cls)) << topic.toStdString();
        EXPECT_EQ(o["entity_category"].toString("diagnostic"), "diagnostic");
        EXPECT_EQ(cls == u"enum", !o["options"].toArray().isEmpty()) << topic.toStdString();
        if (component == u"light") {
            EXPECT_EQ(o["schema"].toString(), "json");
            EXPECT_EQ(o["supported_color_modes"].toArray(), QJsonArray{"brightness"});
        }
        const QJsonObject device = o["device"].toObject();
        EXPECT_FALSE(device["identifiers"].toArray().isEmpty()) << topic.toStdString();
        for (const QString& k : device.keys())
            EXPECT_TRUE(deviceKeys.contains(k)) << topic.toStdString() << ": " << k.toStdString();
    }
    EXPECT_EQ(seen.size(), qsizetype(table.size()));  // every component is in the file
}

// Configs that other entities take the place of (the node's name of older
// versions, the light schema of older versions, a kind changed in
// [Modules]) are cleared before anything is announced, and their
// successors follow after the pause, so the hub gives them the entity ids
// of those they replace. The lamps' old level topic goes with them.
TEST_F(MqttBridgeTest, ReplacedConfigsAreClearedBeforeTheirSuccessors) {
    table.setModules(
        state::ModuleList::fromEntries({{QStringLiteral("A5"), QStringLiteral("lamp,Hall lamp")},
                                        {QStringLiteral("A6"), QStringLiteral("appliance,Fan")},
                                        {QStringLiteral("A7"), QStringLiteral("lamp,Desk")}},
                                       true, QStringLiteral("A"), {}));
    const QString node = settings().uniqueNode();
    const QString oldNode =
        QStringLiteral("homeassistant/light/%1/A5/config").arg(settings().node());
    const QString oldSchema = QStringLiteral("homeassistant/light/%1/A7/config").arg(node);
    const QString oldKind = QStringLiteral("homeassistant/light/%1/A6/config").arg(node);
    {
        TestSubscriber old(broker, QStringLiteral("x"), QStringLiteral("old"));
        ASSERT_TRUE(old.waitConnected());
        old.publish(oldNode,
                    R"({"unique_id":"old_A5","state_topic":"veldrin/A5/state",)"
                    R"("brightness_state_topic":"veldrin/A5/brightness"})",
                    true);
        old.publish(oldSchema,
                    QStringLiteral(R"({"unique_id":"%1_A7","state_topic":"veldrin/A7/state",)"
                                   R"("brightness_state_topic":"veldrin/A7/brightness"})")
                        .arg(node)
                        .toUtf8(),
                    true);
        old.publish(oldKind, QStringLiteral(R"({"unique_id":"%1_A6"})").arg(node).toUtf8(), true);
        old.publish(QStringLiteral("veldrin/A5/brightness"), "40", true);
        testenv::pump(100);
    }
    TestSubscriber sub(broker, QStringLiteral("#"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A5/brightness"), "40"));
    struct Seen {
        QString topic;
        bool empty;
        qint64 ms;
    };
    std::vector<Seen> seen;
    QObject::connect(&sub.client, &mqtt::Client::message,
                     [&](const QString& t, const QByteArray& p, bool) {
                         if (t.startsWith("homeassistant/") || t.endsWith("/brightness"))
                             seen.push_back({t, p.isEmpty(), platform::TimeBase::global().nowMs()});
                     });
    QTemporaryDir dir;
    const QString scheduleFile = dir.filePath(QStringLiteral("schedule"));
    {
        QFile f(scheduleFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("scene evening: A5 ON\n");
    }
    QFile::remove(core::ScheduleRunner::stateFilePath());
    core::EventLog events;
    core::ScheduleRunner runner(path, table, events);
    ASSERT_TRUE(runner.load(scheduleFile));
    startBridge();
    // A schedule arriving during the pause waits for it like the rest.
    ASSERT_TRUE(testenv::pumpUntil([&] { return !log.filter("successors follow").isEmpty(); }));
    bridge->setSchedule(&runner);
    const QString newLamp = QStringLiteral("homeassistant/light/%1/A5/config").arg(node);
    ASSERT_TRUE(sub.waitFor(newLamp));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("homeassistant/switch/%1/A6/config").arg(node)));
    testenv::pump(100);

    QSet<QString> cleared;
    qint64 lastClear = -1;
    qint64 firstConfig = -1;
    for (const Seen& s : seen) {
        if (s.empty) {
            EXPECT_LT(firstConfig, 0) << "cleared after a new config: " << s.topic.toStdString();
            cleared.insert(s.topic);
            lastClear = s.ms;
        } else if (firstConfig < 0) {
            firstConfig = s.ms;
        }
    }
    EXPECT_EQ(cleared, (QSet<QString>{oldNode, oldSchema, oldKind, "veldrin/A5/brightness",
                                      "veldrin/A7/brightness"}));
    EXPECT_GE(firstConfig - lastClear, mqtt::Discovery::kReplacePauseMs - 100);
    EXPECT_EQ(json(sub.last(oldSchema))["schema"].toString(), "json");
    EXPECT_EQ(log.filter("successors follow").size(), 1) << log.join(u'\n').toStdString();

    // The hub starting again finds nothing to replace: at once, no pause.
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    sub.messages.clear();
    hub.publish(QStringLiteral("homeassistant/status"), "online");
    ASSERT_TRUE(sub.waitFor(newLamp));
    for (const auto& m : sub.messages) EXPECT_FALSE(m.payload.isEmpty()) << m.topic.toStdString();
    EXPECT_EQ(log.filter("successors follow").size(), 1);
}

// The bridge's diagnostics: the version, the interface's link in words, the
// commands given up in the last hour (counted down as the hour passes), when
// a sensor was last heard, a two-way module's load and availability.
TEST_F(MqttBridgeTest, DiagnosticsOfTheBridgeAndItsModules) {
    // An hour of the time base in about a third of a second.
    platform::TimeBase::global().setScale(10000);
    table.setModules(state::ModuleList::fromEntries(
        {{QStringLiteral("B1"), QStringLiteral("motion,Hall motion")},
         {QStringLiteral("A8"), QStringLiteral("twoway-lamp,Desk lamp")}},
        true, QStringLiteral("A"), {}));
    TestSubscriber sub(broker, QStringLiteral("veldrin/#"));
    ASSERT_TRUE(sub.waitConnected());
    startBridge();
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/version"), QStringLiteral("%1.%2.%3")
                                                                   .arg(programinfo::kVersionMajor)
                                                                   .arg(programinfo::kVersionMinor)
                                                                   .arg(programinfo::kVersionPatch)
                                                                   .toUtf8()));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/interface"), "found"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/given_up"), "0"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A8/load"), "None"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/A8/available"), "online"));

    bridge->setInterfaceLink(QStringLiteral("not answering"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/interface"), "not answering"));

    sub.messages.clear();
    emit path.givenUp(1, QStringLiteral("Not Confirmed"));
    emit path.givenUp(2, QStringLiteral("Not Confirmed"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/given_up"), "2"));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/given_up"), "0"));  // an hour later

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    table.applyHeard(testenv::heardEvent("B1 ", kHouseB, 2));
    ASSERT_TRUE(sub.waitFor(QStringLiteral("veldrin/B1/heard")));
    const QDateTime heard =
        QDateTime::fromString(QString::fromUtf8(sub.last("veldrin/B1/heard")), Qt::ISODate);
    EXPECT_TRUE(heard.isValid() && heard.timeSpec() == Qt::UTC);
    EXPECT_GE(heard, before);
    EXPECT_LE(heard, QDateTime::currentDateTimeUtc().addSecs(1));
}
