// The bridge on the service, as the daemon runs it: a core::Service under
// QCoreApplication with the two-way emulator on a pseudo-terminal, and a
// private broker.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "commandpath.h"
#include "eventlog.h"
#include "mqttbridge.h"
#include "service.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testbroker.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

using veldrin::sim::hex;
using veldrin::sim::TwoWaySim;

constexpr double kScale = 50;

class ServiceBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        QFile::remove(state::StateTable::defaultPath());
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

    hub.publish(QStringLiteral("veldrin/A5/set"), "ON");
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/A5/state"), "ON"));
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));  // confirmed before it was published

    hub.publish(QStringLiteral("veldrin/A5/brightness/set"), "30");
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/A5/brightness"), "30"));
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
    EXPECT_TRUE(hub.waitFor(QStringLiteral("veldrin/A3/state"), "ON"));

    // A hub that comes later finds the configs retained, as valid JSON.
    const QString node = bridge->settings().uniqueNode();
    TestSubscriber late(broker, QStringLiteral("homeassistant/#"), QStringLiteral("late"));
    ASSERT_TRUE(late.waitFor(QStringLiteral("homeassistant/light/%1/A16/config").arg(node)));
    ASSERT_TRUE(
        late.waitFor(QStringLiteral("homeassistant/binary_sensor/%1/interface/config").arg(node)));
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
    // The base house code's units, two buttons and the interface's connectivity.
    EXPECT_EQ(configs, 16 + 2 + 1);
}
