// The bridge on the service, as the daemon runs it: a core::Service under
// QCoreApplication with the two-way emulator on a pseudo-terminal, and a
// private broker.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "commandpath.h"
#include "eventlog.h"
#include "mqttbridge.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "service.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testbroker.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

using sim::hex;
using sim::TwoWaySim;

constexpr double kScale = 50;

class ServiceBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        QFile::remove(state::StateTable::defaultPath());
        QFile::remove(core::ScheduleRunner::stateFilePath());
        QFile::remove(core::scheduleFilePath());
        ASSERT_TRUE(broker.start());
        sim.setTimeScale(kScale);
        ASSERT_TRUE(sim.start());
        platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
        platform::SaveSetting("veldrin", "MQTT", "Host", broker.host());
        platform::SaveSetting("veldrin", "MQTT", "Port", QString::number(broker.port()));
        platform::SaveSetting("veldrin", "MQTT", "ClientId", "veldrin-e2e");
    }
    void TearDown() override {
        bridge.reset();
        service.reset();
        platform::TimeBase::global().setScale(1);
    }
    void startConnected() {
        service = std::make_unique<core::Service>(core::ServiceSettings{});
        QObject::connect(&service->log(), &core::EventLog::eventLine,
                         [this](const QString& t) { lines << t; });
        service->load();
        service->start();
        ASSERT_TRUE(service->commands().interfaceReady());
        bridge = mqtt::Bridge::fromSettings(&service->states(), &service->commands(),
                                            service->basePosition(),
                                            [this](const QString& t) { service->log().event(t); });
        ASSERT_TRUE(bridge);
        bridge->setSchedule(&service->schedule());
        ASSERT_TRUE(testenv::pumpUntil([&] {
            return lines.contains(
                QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port()));
        }));
    }
    QStringList frames(int count) {
        testenv::pumpUntil([&] { return sim.framedOnly().size() >= count; });
        QStringList out;
        for (const auto& f : sim.framedOnly()) out << hex(f.bytes);
        return out;
    }
    static void writeSchedule(const QByteArray& text) {
        QFile f(core::scheduleFilePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(text), text.size());
    }
    static QJsonObject json(const QByteArray& b) { return QJsonDocument::fromJson(b).object(); }

    TestBroker broker;
    TwoWaySim sim;
    std::unique_ptr<core::Service> service;
    std::unique_ptr<mqtt::Bridge> bridge;
    QStringList lines;
};

}  // namespace

TEST_F(ServiceBridge, CommandsReachTheLineAndStateAndEventsComeBack) {
    TestSubscriber hub(broker, QStringLiteral("veldrin/#"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/status"), "online"));
    sim.clearRecords();

    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"state":"ON"})");
    ASSERT_TRUE(
        hub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"brightness":100,"state":"ON"})"));
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));  // confirmed before it was published

    // 30 from 100 is a DIM of 15 of the 22 steps: the lamp reaches 32.
    hub.publish(QStringLiteral("veldrin/A5/set"), R"({"state":"ON","brightness":30})");
    ASSERT_TRUE(
        hub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"brightness":32,"state":"ON"})"));
    EXPECT_EQ(sim.moduleState('A', 5).brightness, 32);
    const QStringList f = frames(4);
    ASSERT_EQ(f.size(), 4);
    EXPECT_EQ(f[2], "04 61");
    // DIM by 70 %: 15 of the 22 steps in the header's upper five bits.
    EXPECT_EQ(f[3], hex(QByteArray::fromHex("7E64")));

    // A wall switch: the interface uploads "A3 A ON".
    sim.injectUpload(*TwoWaySim::buildUpload(QStringLiteral("A3 A ON")));
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/event")));
    EXPECT_EQ(json(hub.last(QStringLiteral("veldrin/event"))),
              json(R"({"house":"A","units":[3],"function":"ON"})"));
    EXPECT_TRUE(
        hub.waitFor(QStringLiteral("veldrin/A3/state"), R"({"brightness":100,"state":"ON"})"));

    // A hub that comes later finds the configs retained, as valid JSON.
    const QString node = bridge->settings().uniqueNode();
    TestSubscriber late(broker, QStringLiteral("homeassistant/#"), QStringLiteral("late"));
    ASSERT_TRUE(late.waitFor(QStringLiteral("homeassistant/light/%1/A16/config").arg(node)));
    ASSERT_TRUE(
        late.waitFor(QStringLiteral("homeassistant/binary_sensor/%1/interface/config").arg(node)));
    for (const char* diagnostic : {"interface_link", "version", "given_up"})
        ASSERT_TRUE(late.waitFor(
            QStringLiteral("homeassistant/sensor/%1/%2/config").arg(node, diagnostic)));
    int configs = 0;
    for (const auto& m : late.messages) {
        EXPECT_TRUE(m.retained);
        const QJsonObject o = json(m.payload);
        EXPECT_TRUE(o.contains("unique_id") &&
                    o.contains("state_topic") == !o.contains("payload_press") &&
                    o.contains("origin") && o.contains("device"))
            << m.topic.toStdString();
        ++configs;
    }
    // The base house code's units, two buttons, the interface's connectivity
    // and its link, the version, the commands given up and the schedule's
    // switch.
    EXPECT_EQ(configs, 16 + 2 + 1 + 1 + 1 + 1 + 1);
}

// The command path judges what the bridge hands on: a sensor's ON and an
// appliance's level are refused with the same words as everywhere, in one
// line each; a command taken has one line.
TEST_F(ServiceBridge, RefusalsAreLoggedWithTheirReasonAndACommandTakenHasOneLine) {
    platform::SaveSetting("veldrin", "Modules", "A3", "motion");
    platform::SaveSetting("veldrin", "Modules", "A2", "appliance");
    platform::SaveSetting("veldrin", "Modules", "A5", "lamp");
    TestSubscriber hub(broker, QStringLiteral("veldrin/status"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/status"), "online"));
    sim.clearRecords();
    hub.publish(QStringLiteral("veldrin/A3/set"), "ON");
    hub.publish(QStringLiteral("veldrin/A2/brightness/set"), "50");
    hub.publish(QStringLiteral("veldrin/A5/set"), "ON");
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    ASSERT_TRUE(testenv::pumpUntil([&] { return lines.contains("MQTT: A5 ON"); }));
    EXPECT_EQ(lines.filter("MQTT: A").size(), 1) << lines.join(u'\n').toStdString();
    for (const char* reason : {"A3 is a motion sensor and takes no commands",
                               "A2 is an appliance module and does not dim"})
        EXPECT_EQ(lines.filter(reason).size(), 1) << lines.join(u'\n').toStdString();
}

TEST_F(ServiceBridge, ScheduleSwitchAndScenesAreHomeAssistantEntities) {
    writeSchedule("scene evening: A5 ON\nscene good_night.2: A5 OFF\n");
    TestSubscriber hub(broker, QStringLiteral("#"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    const QString node = bridge->settings().uniqueNode();
    const QString prefix = QStringLiteral("homeassistant/");

    // The switch, on the bridge's device.
    const QString switchConfig = prefix + QStringLiteral("switch/%1/schedule/config").arg(node);
    ASSERT_TRUE(hub.waitFor(switchConfig));
    const QJsonObject sw = json(hub.last(switchConfig));
    EXPECT_EQ(sw["command_topic"].toString(), "veldrin/schedule/set");
    EXPECT_EQ(sw["state_topic"].toString(), "veldrin/schedule/state");
    EXPECT_EQ(sw["unique_id"].toString(), node + "_schedule");
    EXPECT_EQ(sw["device"].toObject()["identifiers"].toArray().first().toString(), node);
    // Each scene an entity whose command runs it, also a name with "_" and ".".
    const QString evening = prefix + QStringLiteral("scene/%1/scene_evening/config").arg(node);
    const QString night = prefix + QStringLiteral("scene/%1/scene_good__night_d2/config").arg(node);
    ASSERT_TRUE(hub.waitFor(evening));
    ASSERT_TRUE(hub.waitFor(night));
    const QJsonObject sc = json(hub.last(night));
    EXPECT_EQ(sc["name"].toString(), "good_night.2");
    EXPECT_EQ(sc["command_topic"].toString(), "veldrin/scene/good_night.2/set");
    EXPECT_EQ(sc["payload_on"].toString(), "ON");
    EXPECT_EQ(sc["unique_id"].toString(), node + "_scene_good__night_d2");
    EXPECT_TRUE(sc.contains("origin") && sc.contains("availability_topic"));

    // The switch's round trip.
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "ON"));
    hub.messages.clear();
    hub.publish(QStringLiteral("veldrin/schedule/set"), "off");
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "OFF"));
    EXPECT_FALSE(service->schedule().enabled());
    EXPECT_TRUE(lines.contains("MQTT: schedule OFF"));
    // Switched from elsewhere (a remote word, the window): the hub follows.
    service->schedule().setEnabled(true);
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "ON"));

    // A scene's command runs it; one the schedule does not have is ignored.
    sim.clearRecords();
    hub.publish(QStringLiteral("veldrin/scene/nosuch/set"), "ON");
    hub.publish(QStringLiteral("veldrin/scene/evening/set"), "ON");
    ASSERT_TRUE(
        hub.waitFor(QStringLiteral("veldrin/A5/state"), R"({"brightness":100,"state":"ON"})"));
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    EXPECT_TRUE(lines.contains("MQTT: scene evening"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& l) {
        return l.startsWith("MQTT: ignored 'ON' on veldrin/scene/nosuch/set");
    }));

    // The file read again: a new scene announced, the removed one cleared.
    hub.messages.clear();
    writeSchedule("scene evening: A5 ON\nscene late: A5 OFF\n");
    ASSERT_TRUE(service->schedule().reload());
    ASSERT_TRUE(hub.waitFor(prefix + QStringLiteral("scene/%1/scene_late/config").arg(node)));
    ASSERT_TRUE(hub.waitFor(night, ""));
    EXPECT_FALSE(hub.last(evening).isEmpty());
}

// A module taken out of [Modules] leaves the schedule running, with its
// scenes. A file refused at the next start runs nothing and the switch says
// OFF; the scenes it still names keep their entities and refuse with the
// reason; the one it no longer names is cleared. Fixed, the switch is ON.
TEST_F(ServiceBridge, AScheduleSurvivesAnUnlistedModuleAndARefusedFileKeepsItsScenes) {
    platform::SaveSetting("veldrin", "Modules", "A5", "lamp");
    writeSchedule("scene evening: A5 ON; B1 ON\nscene night: A5 OFF\n");
    TestSubscriber hub(broker, QStringLiteral("#"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    const QString node = bridge->settings().uniqueNode();
    const QString evening = QStringLiteral("homeassistant/scene/%1/scene_evening/config").arg(node);
    const QString night = QStringLiteral("homeassistant/scene/%1/scene_night/config").arg(node);
    ASSERT_TRUE(hub.waitFor(night));
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "ON"));
    EXPECT_EQ(lines.filter(QStringLiteral("B1 is not in the module list")).size(), 1);
    hub.publish(QStringLiteral("veldrin/scene/evening/set"), "ON");
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim.moduleState('B', 1).on; }));

    // The next start, with a file that has an error.
    bridge.reset();
    service.reset();
    lines.clear();
    writeSchedule("scene evening: A5 ON; B1 ON\nat 25:00 daily A5 ON\n");
    hub.messages.clear();
    startConnected();
    ASSERT_TRUE(hub.waitFor(night, ""));
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "OFF"));
    // Announced again in its own time, and never cleared on the way.
    ASSERT_TRUE(hub.waitFor(evening));
    EXPECT_FALSE(hub.last(evening).isEmpty());
    for (const auto& m : hub.messages)
        EXPECT_FALSE(m.topic == evening && m.payload.isEmpty()) << "cleared on the way";
    EXPECT_EQ(lines.filter(QStringLiteral("no schedule runs: line 2: ")).size(), 1)
        << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines.filter(QStringLiteral("stays in force")).isEmpty());
    hub.publish(QStringLiteral("veldrin/scene/evening/set"), "ON");
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return !lines
                    .filter(QStringLiteral("MQTT: ignored 'ON' on veldrin/scene/evening/set (the "
                                           "schedule file was refused (line 2: "))
                    .isEmpty();
    })) << lines.join(u'\n').toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral("no schedule runs)")).size(), 1);

    writeSchedule("scene evening: A5 ON; B1 ON\n");
    ASSERT_TRUE(service->schedule().reload());
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/schedule/state"), "ON"));
}

// A schedule file that exists but cannot be read (here: a folder) says
// nothing about its scenes: those known before stay, and at start the scene
// entities the broker holds stay until the file can be read again.
TEST_F(ServiceBridge, AnUnreadableScheduleFileClearsNoScene) {
    writeSchedule("scene evening: A5 ON\nscene night: A5 OFF\n");
    TestSubscriber hub(broker, QStringLiteral("homeassistant/#"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    const QString node = bridge->settings().uniqueNode();
    const QString evening = QStringLiteral("homeassistant/scene/%1/scene_evening/config").arg(node);
    const QString night = QStringLiteral("homeassistant/scene/%1/scene_night/config").arg(node);
    const QString scheduleSwitch =
        QStringLiteral("homeassistant/switch/%1/schedule/config").arg(node);
    ASSERT_TRUE(hub.waitFor(night));
    const QString path = core::scheduleFilePath();
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_FALSE(service->schedule().reload(true));
    EXPECT_EQ(service->schedule().sceneNames(), QStringList({"evening", "night"}));

    bridge.reset();
    service.reset();
    hub.messages.clear();
    startConnected();
    ASSERT_TRUE(hub.waitFor(scheduleSwitch));
    testenv::pump(200);
    for (const auto& m : hub.messages)
        EXPECT_FALSE(m.payload.isEmpty()) << m.topic.toStdString() << " cleared";

    // Readable again: only the scene it no longer names goes.
    ASSERT_TRUE(QDir().rmdir(path));
    writeSchedule("scene evening: A5 ON\n");
    ASSERT_TRUE(service->schedule().reload());
    ASSERT_TRUE(hub.waitFor(night, ""));
    testenv::pump(200);
    EXPECT_FALSE(hub.last(evening).isEmpty());
}

// A scene that reaches a level through several commands on the line (ON,
// then DIM): the hub hears the lamp once, at the level reached, never at
// the full brightness it passes through.
TEST_F(ServiceBridge, ALevelReachedBySeveralCommandsIsPublishedOnce) {
    writeSchedule("scene dimmed: A5 ON; A5 DIM 50%\n");
    TestSubscriber hub(broker, QStringLiteral("veldrin/A5/state"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    startConnected();
    testenv::pump(200);
    hub.messages.clear();
    sim.clearRecords();
    hub.publish(QStringLiteral("veldrin/scene/dimmed/set"), "ON");
    ASSERT_EQ(frames(4).size(), 4);
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim.moduleState('A', 5).brightness < 100; }));
    const QByteArray reached =
        mqtt::StatePublisher::lampJson(true, sim.moduleState('A', 5).brightness);
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/A5/state"), reached));
    testenv::pump(200);
    ASSERT_EQ(hub.messages.size(), 1u);
    EXPECT_EQ(hub.messages[0].payload, reached);
}
