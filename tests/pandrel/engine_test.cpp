// The engine without a window: a QCoreApplication (no QApplication, no
// platform plugin), the two-way emulator on a pseudo-terminal, and the
// engine's public members and signals. Has its own main for that reason.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>

#include "engine.h"
#include "namedevent.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

using sim::TwoWaySim;

namespace {

constexpr int kPort = 7;
constexpr double kScale = 20.0;

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = std::make_unique<TwoWaySim>();
        ASSERT_TRUE(sim->start()) << sim->errorString().toStdString();
        platform::TimeBase::global().setScale(kScale);
        sim->setTimeScale(kScale);
        testenv::writeSettings(
            QStringLiteral("[Ports]\nCOM%1=%2\n").arg(kPort).arg(sim->devicePath()));
        engine = std::make_unique<pandrel::Engine>();
        engine->setComport(kPort);
        eventName =
            QStringLiteral("pandrel_engine_test_%1").arg(QCoreApplication::applicationPid());
        engine->setEventName(eventName);
    }
    void TearDown() override {
        engine.reset();
        sim.reset();
        platform::TimeBase::global().setScale(1.0);
        ::shm_unlink(platform::NamedEvent::objectName(eventName).constData());
    }

    std::unique_ptr<TwoWaySim> sim;
    std::unique_ptr<pandrel::Engine> engine;
    QString eventName;
};

TEST(EngineProcess, RunsWithoutWidgetsOrGui) {
    // A core application only, and neither Qt Widgets nor Qt Gui mapped into
    // the process by the engine or the libraries it needs.
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_FALSE(QCoreApplication::instance()->inherits("QGuiApplication"));
    QFile maps(QStringLiteral("/proc/self/maps"));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_TRUE(mapped.contains("libpandrel-engine.so"));
    EXPECT_FALSE(mapped.contains("libQt6Widgets")) << "Qt Widgets is loaded";
    EXPECT_FALSE(mapped.contains("libQt6Gui")) << "Qt Gui is loaded";
}

TEST_F(EngineTest, InitExecAndHeardEventsUnderACoreApplication) {
    ASSERT_EQ(engine->Init(), 0);
    sim->clearRecords();

    // A queued command leaves at once and is reported done.
    QList<bool> done;
    QObject::connect(engine.get(), &pandrel::Engine::CommandDone, engine.get(),
                     [&](const QString& h, const QString& u, int16_t c, int16_t, bool sent) {
                         EXPECT_EQ(h, "A");
                         EXPECT_EQ(u, "5");
                         EXPECT_EQ(c, 2);
                         done << sent;
                     });
    engine->Exec(QStringLiteral("A"), QStringLiteral("5"), 2);
    ASSERT_TRUE(platform::waitFor([&] { return !done.isEmpty(); }, 5000));
    EXPECT_EQ(done, QList<bool>{true});
    const auto frames = sim->framedOnly();
    ASSERT_EQ(frames.size(), 2);
    EXPECT_EQ(frames[0].bytes, QByteArray::fromHex("0461"));  // address A5
    EXPECT_EQ(frames[1].bytes, QByteArray::fromHex("0662"));  // A ON

    // ExecWait sends on the spot.
    sim->clearRecords();
    EXPECT_EQ(engine->ExecWait(QStringLiteral("B"), QStringLiteral("1"), 3), 0);
    ASSERT_EQ(sim->framedOnly().size(), 2);
    EXPECT_EQ(sim->framedOnly()[1].bytes, QByteArray::fromHex("06e3"));  // B OFF

    // What the interface heard reaches the signals and GetEvent.
    QStringList heard;
    QObject::connect(engine.get(), &pandrel::Engine::X10Event, engine.get(),
                     [&](QString& devices, QString& house, int16_t& command, QString&, QString&) {
                         heard << devices + "|" + house + "|" + QString::number(command);
                     });
    sim->injectUpload(QByteArray::fromHex("03026662"));
    ASSERT_TRUE(platform::waitFor([&] { return !heard.isEmpty(); }, 5000));
    EXPECT_EQ(heard, QStringList{"A1 |A|2"});
    EXPECT_EQ(engine->GetEvent(), "A1 :2:0");

    // A lost device is reported and nothing more is sent.
    QStringList lost;
    QObject::connect(engine.get(), &pandrel::Engine::PortLost, engine.get(),
                     [&](const QString& reason) { lost << reason; });
    sim.reset();
    ASSERT_TRUE(platform::waitFor([&] { return !lost.isEmpty(); }, 5000));
    EXPECT_EQ(engine->ExecWait(QStringLiteral("A"), QStringLiteral("5"), 2), 1);
}

// The typed face: each id queued gets one outcome of its own, also for two
// identical commands back to back; CommandDone stays with Exec.
TEST_F(EngineTest, TypedCommandsGetOneOutcomeEachById) {
    ASSERT_EQ(engine->Init(), 0);
    sim->clearRecords();
    QList<std::pair<quint64, pandrel::Outcome>> outcomes;
    QStringList reasons;
    QObject::connect(engine.get(), &pandrel::Engine::commandOutcome, engine.get(),
                     [&](quint64 id, pandrel::Outcome o, const QString& reason) {
                         outcomes.append({id, o});
                         reasons << reason;
                     });
    int stringDone = 0;
    QObject::connect(engine.get(), &pandrel::Engine::CommandDone, engine.get(),
                     [&] { ++stringDone; });
    x10::Command a5on;
    a5on.addresses = {{1, 5}};
    a5on.function = x10::On;
    sim->failChecksums(5);  // every attempt of the first one
    engine->send(7, a5on);
    engine->send(8, a5on);
    x10::Command nowhere;  // no house: never reaches the line
    engine->send(9, nowhere);
    ASSERT_TRUE(platform::waitFor([&] { return outcomes.size() >= 3; }, 20000));
    platform::waitEvents(200);
    using O = pandrel::Outcome;
    EXPECT_EQ(outcomes,
              (QList<std::pair<quint64, O>>{{9, O::Dropped}, {7, O::GivenUp}, {8, O::Sent}}));
    EXPECT_EQ(reasons[1], "not confirmed by the interface after 5 attempts");
    EXPECT_EQ(reasons[2], "");
    EXPECT_EQ(stringDone, 0);
    const auto frames = sim->framedOnly();
    ASSERT_GE(frames.size(), 2);
    EXPECT_EQ(frames.last().bytes, QByteArray::fromHex("0662"));  // A ON
}

// Heard traffic as the vocabulary's type: addresses, house, function, amount,
// and a macro report's two bytes.
TEST_F(EngineTest, HeardTrafficArrivesTyped) {
    ASSERT_EQ(engine->Init(), 0);
    QList<x10::HeardEvent> heard;
    QObject::connect(engine.get(), &pandrel::Engine::heard, engine.get(),
                     [&](const x10::HeardEvent& e) { heard << e; });
    sim->injectUpload(QByteArray::fromHex("0300666e"));  // A1 A2; the function comes next
    ASSERT_TRUE(platform::waitFor([&] { return !sim->isPolling(); }, 5000));
    sim->injectUpload(QByteArray::fromHex("03016469"));  // A DIM 105 of 210
    ASSERT_TRUE(platform::waitFor([&] { return heard.size() >= 1; }, 5000));
    sim->injectMacro(0x01, 0x2F);
    ASSERT_TRUE(platform::waitFor([&] { return heard.size() >= 2; }, 5000));
    using x10::Address;
    const x10::HeardEvent& dim = heard[0];
    EXPECT_EQ(dim.kind, x10::HeardEvent::Kind::Function);
    EXPECT_EQ(dim.house, 1);
    EXPECT_EQ(dim.addresses, (std::vector<Address>{{1, 1}, {1, 2}}));
    EXPECT_EQ(dim.function, x10::Dim);
    EXPECT_EQ(dim.amount, 50);
    EXPECT_EQ(heard[1].kind, x10::HeardEvent::Kind::Macro);
    EXPECT_EQ(heard[1].macro, 0x012F);
}

// Counts the timer events delivered to an object and its children.
class TimerEventCounter : public QObject {
  public:
    explicit TimerEventCounter(const QObject* root) : root_(root) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~TimerEventCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    int count = 0;

  protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Timer) {
            for (const QObject* p = o; p; p = p->parent())
                if (p == root_) {
                    ++count;
                    break;
                }
        }
        return false;
    }

  private:
    const QObject* root_;
};

// An idle engine wakes nobody: after Init, after a queued command has gone and
// after a heard event, no timer of the engine fires.
TEST_F(EngineTest, AnIdleEngineFiresNoTimer) {
    TimerEventCounter timers(engine.get());
    ASSERT_EQ(engine->Init(), 0);
    bool done = false;
    QObject::connect(engine.get(), &pandrel::Engine::CommandDone, engine.get(),
                     [&] { done = true; });
    engine->Exec(QStringLiteral("A"), QStringLiteral("5"), 2);
    ASSERT_TRUE(platform::waitFor([&] { return done; }, 5000));
    int heard = 0;
    QObject::connect(engine.get(), &pandrel::Engine::X10Event, engine.get(), [&] { ++heard; });
    sim->injectUpload(QByteArray::fromHex("03026662"));
    ASSERT_TRUE(platform::waitFor([&] { return heard > 0; }, 5000));
    platform::waitEvents(100);
    timers.count = 0;
    platform::waitEvents(3000);
    EXPECT_EQ(timers.count, 0);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    const QByteArray base = home.path().toLocal8Bit();
    QDir().mkpath(QString::fromLocal8Bit(base + "/config"));
    QDir().mkpath(QString::fromLocal8Bit(base + "/runtime"));
    ::chmod((base + "/runtime").constData(), 0700);
    ::setenv("XDG_CONFIG_HOME", (base + "/config").constData(), 1);
    ::setenv("XDG_RUNTIME_DIR", (base + "/runtime").constData(), 1);
    ::setenv("XDG_STATE_HOME", (base + "/state").constData(), 1);
    // No platform plugin: a core application must not need one.
    ::setenv("QT_QPA_PLATFORM", "none-installed", 1);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
