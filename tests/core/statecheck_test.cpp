// Two-way modules asked for their state, end to end: core::Service under
// QCoreApplication against the emulated two-way interface on a
// pseudo-terminal, whose modules answer status requests on the powerline.
// The time base and the emulator run 20 times faster than real time.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "interface.h"
#include "service.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "statecheck.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

using sim::ModuleKind;
using sim::TwoWaySim;
using state::Address;
using state::Answer;
using state::Power;
using state::Source;

constexpr double kScale = 20;
// Real milliseconds a wait may take: generous, for a loaded machine.
constexpr int kWaitMs = 20000;

Address at(const char* text) {
    return *Address::parse(QString::fromLatin1(text));
}

class StateCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        testenv::writeSettings({});
        QFile::remove(state::StateTable::defaultPath());
        platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");
        sim.setTimeScale(kScale);
        ASSERT_TRUE(sim.start());
        platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
    }
    void TearDown() override {
        service.reset();
        platform::TimeBase::global().setScale(1);
    }

    // [Modules] of the program and the modules on the emulated line.
    void modules(std::initializer_list<std::pair<const char*, const char*>> kinds) {
        for (const auto& [address, kind] : kinds)
            platform::SaveSetting("veldrin", "Modules", address, kind);
    }
    void onLine(const char* address, ModuleKind kind) {
        const Address a = at(address);
        sim.setModuleKind(a.letter(), a.unit, kind);
    }

    // Starts the service and waits for the round of checks at start.
    core::Service& start() {
        service = std::make_unique<core::Service>(core::ServiceSettings{});
        QObject::connect(&service->log(), &core::EventLog::eventLine,
                         [this](const QString& t) { lines << t; });
        service->load();
        service->start();
        EXPECT_TRUE(testenv::pumpUntil([&] { return service->commands().interfaceReady(); }));
        EXPECT_TRUE(settled());
        return *service;
    }
    // Nothing waits for the interface and nothing is being asked.
    bool settled() {
        return testenv::pumpUntil(
            [&] {
                return service->stateCheck()->idle() && service->interface().commandsWaiting() == 0;
            },
            kWaitMs);
    }
    const state::ModuleState& of(const char* a) { return service->states().state(at(a)); }
    int linesWith(const QString& text) const {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const QString& l) { return l.contains(text); }));
    }
    // Frames of a kind the emulator received since its records were cleared.
    QList<QByteArray> framesOf(TwoWaySim::Kind kind) const {
        QList<QByteArray> out;
        for (const auto& f : sim.framedOnly())
            if (f.kind == kind) out << f.bytes;
        return out;
    }

    TwoWaySim sim;
    std::unique_ptr<core::Service> service;
    QStringList lines;
};

}  // namespace

// A level for a two-way lamp goes out as one preset-level command (no ON
// first), the lamp is asked, and the state is what it answered.
TEST_F(StateCheckTest, PresetLevelIsOneExtendedFrameAndTheReplyConfirmsIt) {
    modules({{"A1", "twoway-lamp"}});
    onLine("A1", ModuleKind::TwoWayLamp);
    core::Service& s = start();
    EXPECT_EQ(of("A1").answer, Answer::Confirmed);  // asked at start
    EXPECT_EQ(s.commands().levelSteps(at("A1")), 63);
    sim.clearRecords();

    ASSERT_TRUE(s.commands().setBrightness(at("A1"), 40, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return framesOf(TwoWaySim::Kind::Extended).size() >= 2; },
                                   kWaitMs));
    ASSERT_TRUE(settled());
    const QList<QByteArray> ext = framesOf(TwoWaySim::Kind::Extended);
    ASSERT_EQ(ext.size(), 2);
    // Header, house A with EXTENDED CODE, unit 1, data, command byte.
    EXPECT_EQ(ext[0].toHex(' '), QByteArray("07 67 06 19 31"));  // level 25 of 63
    EXPECT_EQ(uchar(ext[1][4]), 0x37);                           // then the status request
    EXPECT_TRUE(framesOf(TwoWaySim::Kind::Function).isEmpty());  // no ON first
    EXPECT_TRUE(framesOf(TwoWaySim::Kind::Address).isEmpty());
    EXPECT_EQ(sim.moduleState('A', 1).level, 25);
    EXPECT_EQ(of("A1").power, Power::On);
    EXPECT_EQ(of("A1").level, x10::extPercent(25));
    EXPECT_EQ(of("A1").answer, Answer::Confirmed);
    EXPECT_EQ(of("A1").load, 1);
    // The same level again sends nothing.
    const CommandPath::Verdict again = s.commands().setBrightness(at("A1"), 40, Source::Web);
    EXPECT_TRUE(again.accepted());
    EXPECT_EQ(again.id, 0u);
}

// A level lost on the powerline: the lamp answers what it had, the level
// goes out once more and the state ends as the lamp is. Asked at start, an
// appliance answers STATUS REQUEST, and a lamp without its bulb is named once.
TEST_F(StateCheckTest, ACommandLostOnThePowerlineIsSentAgain) {
    modules({{"A2", "twoway-appliance"}, {"A3", "twoway-lamp"}});
    onLine("A2", ModuleKind::TwoWayAppliance);
    onLine("A3", ModuleKind::TwoWayLamp);
    sim.setLoad('A', 3, false);
    core::Service& s = start();
    EXPECT_EQ(of("A2").power, Power::Off);
    EXPECT_EQ(of("A2").answer, Answer::Confirmed);
    EXPECT_EQ(of("A3").load, 0);
    EXPECT_EQ(linesWith("A3: no load"), 1);
    sim.clearRecords();

    // Every command is lost, the status traffic is not; once the lamp's
    // answer (still off) was recorded, before the checks weigh it, the line
    // works again.
    sim.setStatusLoss(false);
    sim.setLossPercent(100);
    QObject::connect(&s.states(), &state::StateTable::changed, [&](Address a) {
        if (a == at("A3") && of("A3").power == Power::Off) sim.setLossPercent(0);
    });
    ASSERT_TRUE(s.commands().setBrightness(at("A3"), 40, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim.lossPercent() == 0; }, kWaitMs));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A3").power == Power::On; }, kWaitMs));
    ASSERT_TRUE(settled());
    EXPECT_EQ(sim.moduleState('A', 3).level, 25);
    EXPECT_EQ(of("A3").level, x10::extPercent(25));
    EXPECT_EQ(of("A3").answer, Answer::Confirmed);
    EXPECT_EQ(sim.lineStats().lost, 1);
    // The level twice, each followed by the status request.
    QStringList commands;
    for (const QByteArray& f : framesOf(TwoWaySim::Kind::Extended))
        commands << QString::number(uchar(f[4]), 16);
    EXPECT_EQ(commands, QStringList({"31", "37", "31", "37"}));
    EXPECT_EQ(linesWith("A3: no load"), 1);
    EXPECT_EQ(linesWith("not answering"), 0);
}

// A module listed as two-way that does not answer: asked twice, marked not
// answering with one line, its last known state kept; a later command to it
// adds no line; once it answers it is confirmed again, with one line.
TEST_F(StateCheckTest, AModuleThatNeverAnswersIsMarkedAndRecovers) {
    modules({{"A4", "twoway-lamp"}});
    onLine("A4", ModuleKind::OneWay);
    core::Service& s = start();
    EXPECT_EQ(of("A4").answer, Answer::NotAnswering);
    EXPECT_EQ(linesWith("A4 not answering"), 1);

    ASSERT_TRUE(s.commands().setBrightness(at("A4"), 60, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A4").power == Power::On; }, kWaitMs));
    ASSERT_TRUE(settled());
    EXPECT_EQ(of("A4").answer, Answer::NotAnswering);
    EXPECT_EQ(of("A4").level, x10::extPercent(x10::extLevel(60)));  // kept
    EXPECT_EQ(linesWith("A4 not answering"), 1);

    onLine("A4", ModuleKind::TwoWayLamp);
    s.stateCheck()->askAll();
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A4").answer == Answer::Confirmed; }, kWaitMs));
    EXPECT_EQ(linesWith("A4 answers again"), 1);
    EXPECT_EQ(of("A4").level, x10::extPercent(sim.moduleState('A', 4).level));
}

// A level changed at the wall reaches nobody; the next round of checks
// (PollMinutes = 1) finds it.
TEST_F(StateCheckTest, ALevelChangedAtTheWallIsFoundByTheNextRound) {
    modules({{"A5", "twoway-lamp"}, {"PollMinutes", "1"}});
    onLine("A5", ModuleKind::TwoWayLamp);
    core::Service& s = start();
    ASSERT_TRUE(s.commands().setBrightness(at("A5"), 100, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").level == 100; }, kWaitMs));
    ASSERT_TRUE(settled());

    sim.changeAtWall('A', 5, 30);
    const int level = sim.moduleState('A', 5).level;
    ASSERT_NE(level, 63);
    EXPECT_TRUE(
        testenv::pumpUntil([&] { return of("A5").level == x10::extPercent(level); }, kWaitMs));
    EXPECT_EQ(of("A5").source, Source::Powerline);
    EXPECT_EQ(of("A5").answer, Answer::Confirmed);
}

// A slider dragged: levels to one lamp one after another, each sent before
// the next is given, are asked for once, after the last. A command that
// leaves a module as it last answered is not asked for.
TEST_F(StateCheckTest, ARunOfCommandsIsAskedOnceAndANeedlessCheckIsSkipped) {
    modules({{"A6", "twoway-lamp"}, {"A7", "twoway-appliance"}});
    onLine("A6", ModuleKind::TwoWayLamp);
    onLine("A7", ModuleKind::TwoWayAppliance);
    core::Service& s = start();
    ASSERT_EQ(of("A7").answer, Answer::Confirmed);
    ASSERT_EQ(of("A7").power, Power::Off);
    sim.clearRecords();

    const auto requests = [&] {
        int n = 0;
        for (const QByteArray& f : framesOf(TwoWaySim::Kind::Extended)) n += uchar(f[4]) == 0x37;
        for (const QByteArray& f : framesOf(TwoWaySim::Kind::Function)) n += (f[1] & 0x0F) == 15;
        return n;
    };
    for (int percent : {20, 40, 60, 80}) {
        const qsizetype before = framesOf(TwoWaySim::Kind::Extended).size();
        ASSERT_TRUE(s.commands().setBrightness(at("A6"), percent, Source::Web).accepted());
        ASSERT_TRUE(testenv::pumpUntil(
            [&] { return framesOf(TwoWaySim::Kind::Extended).size() > before; }, kWaitMs));
    }
    ASSERT_TRUE(settled());
    EXPECT_EQ(requests(), 1);
    EXPECT_EQ(uchar(framesOf(TwoWaySim::Kind::Extended).last()[4]), 0x37);
    EXPECT_EQ(of("A6").answer, Answer::Confirmed);
    EXPECT_EQ(of("A6").level, x10::extPercent(sim.moduleState('A', 6).level));

    // OFF to the appliance that answered OFF.
    ASSERT_TRUE(s.commands().switchUnit(at("A7"), false, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return !framesOf(TwoWaySim::Kind::Function).isEmpty(); },
                                   kWaitMs));
    ASSERT_TRUE(settled());
    EXPECT_EQ(requests(), 1);
    // ON is asked for.
    ASSERT_TRUE(s.commands().switchUnit(at("A7"), true, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return requests() == 2; }, kWaitMs));
    ASSERT_TRUE(settled());
    EXPECT_EQ(of("A7").power, Power::On);
}
