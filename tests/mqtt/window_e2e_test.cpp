// The bridge in the window: the real window offscreen (and the real program as
// a process) against the emulated two-way interface and a private broker. What
// the bridge does on the service is tested in service_bridge_test.cpp.
#include <signal.h>

#include <QProcess>
#include <QTemporaryDir>

#include "appfixture.h"
#include "mqttbridge.h"
#include "testbroker.h"

namespace {

class MqttWindowTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(broker.start());
        sim = &twoWayOn(1);
        platform::SaveSetting("veldrin", "MQTT", "Host", broker.host());
        platform::SaveSetting("veldrin", "MQTT", "Port", QString::number(broker.port()));
        platform::SaveSetting("veldrin", "MQTT", "ClientId", "veldrin-e2e");
    }
    void TearDown() override {
        platform::SaveSetting("veldrin", "MQTT", "Host", "");
        AppTest::TearDown();
    }
    void loadConnected() {
        load();
        ASSERT_TRUE(testenv::pumpUntil([&] {
            return logTexts().contains(
                QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port()));
        }));
    }
    TestBroker broker;
    sim::TwoWaySim* sim = nullptr;
};

TEST_F(MqttWindowTest, ReconnectsAfterTheBrokerRestarts) {
    loadConnected();
    broker.kill();
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return !logTexts().filter(QStringLiteral("MQTT: connection to 127.0.0.1")).isEmpty();
    }));
    ASSERT_TRUE(broker.restart());  // no persistence: it forgot every retained message
    TestSubscriber hub(broker, QStringLiteral("#"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/status"), "online", 15000));
    mqtt::Settings named;
    named.clientId = QStringLiteral("veldrin-e2e");
    EXPECT_TRUE(
        hub.waitFor(QStringLiteral("homeassistant/light/%1/A5/config").arg(named.uniqueNode())));
    EXPECT_EQ(logTexts().filter(QStringLiteral("MQTT: connected to")).size(), 2);
}

TEST_F(MqttWindowTest, ABurstOfCommandsReachesTheLineInOrder) {
    loadConnected();
    TestSubscriber hub(broker, QStringLiteral("nothing"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    testenv::pump(100);
    sim->clearRecords();
    constexpr int kCount = 1000;
    for (int i = 0; i < kCount; ++i)
        hub.publish(QStringLiteral("veldrin/A%1/set").arg(i % 16 + 1), i % 32 < 16 ? "ON" : "OFF");

    // Every command is an address frame and its function frame, back to back;
    // the units come in the order sent (those beyond the queue's limit dropped
    // with a log line).
    auto taken = [&] { return logTexts().filter(QStringLiteral("dropped")); };
    // Until the line has been quiet for a while (or everything came).
    qsizetype seen = -1;
    for (int i = 0; i < 600 && sim->framedOnly().size() < 2 * kCount; ++i) {
        testenv::pump(500);
        if (sim->framedOnly().size() == seen && seen > 0) break;
        seen = sim->framedOnly().size();
    }
    const auto fs = sim->framedOnly();
    ASSERT_EQ(fs.size() % 2, 0);
    int next = 0;
    for (int k = 0; k + 1 < fs.size(); k += 2) {
        ASSERT_EQ(fs[k].kind, sim::TwoWaySim::Kind::Address) << k;
        ASSERT_EQ(fs[k + 1].kind, sim::TwoWaySim::Kind::Function) << k;
        // The X10 unit code in the address frame's low nibble.
        static const QByteArray kUnitCodes =
            QByteArray::fromHex("060E020A0109050D070F030B0008040C");
        const int unit = int(kUnitCodes.indexOf(char(fs[k].bytes.at(1) & 0x0F))) + 1;
        while (next < kCount && next % 16 + 1 != unit) ++next;
        ASSERT_LT(next, kCount) << "frame " << k << " out of order";
        ++next;
    }
    if (fs.size() < 2 * kCount) {
        EXPECT_FALSE(taken().isEmpty());
    }
}

// The real program as a process, killed without a chance to say goodbye: the
// broker publishes its last will.
TEST_F(MqttWindowTest, TheLastWillSaysOfflineWhenTheProgramIsKilled) {
    QTemporaryDir home;
    const QString conf = home.filePath(QStringLiteral("config/veldrin/veldrin.conf"));
    QDir().mkpath(QFileInfo(conf).path());
    QFile f(conf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("[Ports]\nCOM1=%1\n[Startup]\nComPort=1\nListenPort=0\n"
                           "[MQTT]\nHost=127.0.0.1\nPort=%2\nClientId=veldrin-killed\n")
                .arg(sim->devicePath())
                .arg(broker.port())
                .toUtf8());
    f.close();
    QDir().mkpath(home.filePath(QStringLiteral("runtime")));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")));
    env.insert("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("runtime")));
    env.insert("XDG_STATE_HOME", home.filePath(QStringLiteral("state")));
    env.insert("VELDRIN_TIME_SCALE", "1");

    TestSubscriber hub(broker, QStringLiteral("veldrin/status"), QStringLiteral("hub"));
    ASSERT_TRUE(hub.waitConnected());
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(testenv::binDir() + QStringLiteral("/veldrin"), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    ASSERT_TRUE(hub.waitFor(QStringLiteral("veldrin/status"), "online", 20000));
    ::kill(pid_t(program.processId()), SIGKILL);
    program.waitForFinished(5000);
    EXPECT_TRUE(hub.waitFor(QStringLiteral("veldrin/status"), "offline", 10000));
    EXPECT_TRUE(hub.messages.back().payload == "offline");
}

}  // namespace
