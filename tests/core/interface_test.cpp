// core::Interface against the emulators on pseudo-terminals, without a
// window: commands through its command path, an adapter unplugged and
// plugged in again, one that appears only after the start, and the CP290
// found late by the supervisor and refusing what it cannot send.
#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <memory>
#include <type_traits>

#include "commandpath.h"
#include "cp290sim.h"
#include "interface.h"
#include "linecommands.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"
#include "x10.h"

using core::Interface;
using sim::Cp290Sim;
using sim::TwoWaySim;
using state::Address;
using state::Power;
using state::Source;

namespace {

constexpr double kScale = 50;
const QString kFound = QStringLiteral("Found Pandrel Interface on Com: 1 Connection Established");
const QString kNotSent = QStringLiteral("Interface not available: command not sent");

class InterfaceTest : public ::testing::Test {
  protected:
    // COM1 names a link in a private folder, as the names under
    // /dev/serial/by-id do; plugIn points it at an emulator's device.
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        ASSERT_TRUE(dir.isValid());
        link = dir.path() + "/adapter";
        platform::SaveSetting("veldrin", "Ports", "COM1", link);
    }
    void TearDown() override {
        iface.reset();
        platform::TimeBase::global().setScale(1);
    }

    Interface& make(Interface::Kind kind) {
        iface = std::make_unique<Interface>(kind, table,
                                            [this](const QString& t, platform::LogLevel level) {
                                                lines << t;
                                                levelOf[t] = level;
                                            });
        QObject::connect(&iface->commands(), &CommandPath::commandFailed,
                         [this](int house, const std::vector<int>& units, int function) {
                             failed << QStringLiteral("%1/%2/%3")
                                           .arg(house)
                                           .arg(units.empty() ? 0 : units.front())
                                           .arg(function);
                         });
        return *iface;
    }
    template <class Sim>
    Sim& start(std::unique_ptr<Sim>& sim) {
        sim = std::make_unique<Sim>();
        sim->setTimeScale(kScale);
        // A CP290 whose clock is set: one detection, no clock setting.
        if constexpr (std::is_same_v<Sim, Cp290Sim>) sim->setClock(27, 14, 0x02);
        EXPECT_TRUE(sim->start());
        return *sim;
    }
    void plugIn(const QString& device) {
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(device, link));
    }
    int linesStartingWith(const QString& text) const {
        return int(lines.filter(QRegularExpression("^" + QRegularExpression::escape(text))).size());
    }
    Power power(int unit) const { return table.state(Address{1, unit}).power; }

    QTemporaryDir dir;
    QString link;
    state::StateTable table;
    QStringList lines;
    QHash<QString, platform::LogLevel> levelOf;  // the level each line came with
    QStringList failed;  // house/unit/function of each command not sent or given up
    std::unique_ptr<Interface> iface;
    std::unique_ptr<TwoWaySim> twoWay;
    std::unique_ptr<Cp290Sim> cp290;
};

}  // namespace

TEST_F(InterfaceTest, TwoWayCommandsReachTheInterfaceAndTheTableFollowsOnceConfirmed) {
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    QList<bool> readiness;
    QObject::connect(&i, &Interface::readyChanged, [&](bool r) { readiness << r; });
    ASSERT_TRUE(i.contact(1));
    EXPECT_EQ(lines, QStringList{kFound});
    EXPECT_TRUE(i.ready());
    EXPECT_TRUE(i.commands().interfaceReady());
    EXPECT_EQ(readiness, QList<bool>{true});

    i.commands().switchUnit(Address{1, 5}, true, Source::Mqtt);
    // Queued, not yet confirmed: the table has not moved.
    EXPECT_EQ(power(5), Power::Unknown);
    ASSERT_TRUE(testenv::pumpUntil([&] { return power(5) == Power::On; }));
    EXPECT_TRUE(twoWay->moduleLines().contains("A5 ON"));
    EXPECT_EQ(table.state(Address{1, 5}).source, Source::Mqtt);
    // From full brightness down to 40 percent: one DIM of 13 of the 22 steps,
    // which leaves the lamp at 41 percent, and the table says so.
    i.commands().setBrightness(Address{1, 5}, 40, Source::Remote);
    ASSERT_TRUE(testenv::pumpUntil([&] { return table.state(Address{1, 5}).level == 41; }));
    EXPECT_EQ(twoWay->moduleState('A', 5).brightness, 41);
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_EQ(i.commandsWaiting(), 0);
}

TEST_F(InterfaceTest, CommandsBeyondFiftyWaitingAreRefusedWithOneLine) {
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(i.contact(1));
    lines.clear();
    CommandPath::Verdict last;
    for (int n = 0; n < 53; ++n)
        last = i.commands().switchUnit(Address{1, 1 + n % 16}, n % 2 == 0, Source::Remote);
    EXPECT_EQ(i.commandsWaiting(), 50);
    EXPECT_EQ(last.refusal, "Command queue full: command not sent");
    EXPECT_EQ(lines, QStringList{"Command queue full: commands are dropped until it drains"});
    EXPECT_EQ(failed.size(), 3);
}

// A level from an unknown state is ON and then DIM: with one slot left the ON
// went out while the request was refused.
TEST_F(InterfaceTest, ALevelThatNeedsTwoCommandsGoesOutWholeOrNotAtAll) {
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(i.contact(1));
    for (int n = 0; n < core::LineCommands::kMaxWaiting - 1; ++n)
        i.commands().switchUnit(Address{1, 2}, n % 2 == 0, Source::Remote);
    ASSERT_EQ(i.commandsWaiting(), core::LineCommands::kMaxWaiting - 1);
    EXPECT_EQ(i.commands().setBrightness(Address{1, 5}, 40, Source::Web).refusal,
              "Command queue full: command not sent");
    EXPECT_EQ(i.commandsWaiting(), core::LineCommands::kMaxWaiting - 1);
    EXPECT_EQ(failed, QStringList({"1/5/2", "1/5/4"}));
}

// The end of a run gave up the commands still waiting without a word.
TEST_F(InterfaceTest, FinishSendsWhatWaitsOrNamesWhatItDrops) {
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(i.contact(1));
    lines.clear();
    for (int unit = 1; unit <= 3; ++unit)
        i.commands().switchUnit(Address{1, unit}, true, Source::Remote);
    bool ended = false;
    i.finish(3600000, [&] { ended = true; });  // a limit no loaded machine reaches
    EXPECT_FALSE(ended);
    EXPECT_EQ(i.commands().switchUnit(Address{1, 9}, true, Source::Remote).refusal,
              "Stopping: command not sent");  // too late
    ASSERT_TRUE(testenv::pumpUntil([&] { return ended; }, 60000));
    EXPECT_EQ(twoWay->moduleLines(), QStringList({"A1 ON", "A2 ON", "A3 ON"}));
    EXPECT_EQ(lines, QStringList{"Stopping: command not sent"});
    EXPECT_EQ(levelOf.value(lines.first()), platform::LogLevel::Warning);  // a refusal

    // Time runs out: what still waits is named in one line.
    Interface& j = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(j.contact(1));
    twoWay->setReadyDelayMs(60000);
    lines.clear();
    for (int unit = 4; unit <= 6; ++unit)
        j.commands().switchUnit(Address{1, unit}, false, Source::Remote);
    ended = false;
    j.finish(100, [&] { ended = true; });
    ASSERT_TRUE(testenv::pumpUntil([&] { return ended; }, 20000));
    EXPECT_EQ(lines.first(), "ERROR: 3 Commands Not Sent (Stopping): A4 OFF, A5 OFF, A6 OFF");
    EXPECT_EQ(levelOf.value(lines.first()), platform::LogLevel::Error);
}

TEST_F(InterfaceTest, UnpluggedTwoWayIsRefusedHonestlyWhileLostAndUsedAgainOncePluggedBack) {
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(i.contact(1));

    twoWay->unplug();
    QFile::remove(link);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return linesStartingWith("ERROR: Pandrel Interface Lost on Com: 1 - ") == 1; }));
    EXPECT_FALSE(i.ready());
    EXPECT_FALSE(i.commands().interfaceReady());
    EXPECT_TRUE(i.supervising());
    // Two commands in one turn: both refused, one line.
    EXPECT_EQ(i.commands().switchUnit(Address{1, 5}, true, Source::Remote).refusal,
              "Interface not available");
    EXPECT_EQ(i.commands().switchUnit(Address{1, 6}, true, Source::Remote).refusal,
              "Interface not available");
    EXPECT_EQ(failed, QStringList({"1/5/2", "1/6/2"}));
    EXPECT_EQ(lines.count(kNotSent), 1);
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return linesStartingWith("ERROR: Pandrel Interface Still Not Found on Com: 1 - ") == 1;
    }));
    EXPECT_EQ(lines.last(), "ERROR: Pandrel Interface Still Not Found on Com: 1 - " + link +
                                " Does Not Exist - Retrying in the Background");

    ASSERT_TRUE(twoWay->start());
    twoWay->clearModuleLines();
    plugIn(twoWay->devicePath());
    ASSERT_TRUE(testenv::pumpUntil([&] { return i.ready(); }));
    EXPECT_EQ(lines.count(kFound), 2);
    EXPECT_FALSE(i.supervising());
    EXPECT_EQ(linesStartingWith("ERROR: Pandrel Interface Still Not Found"), 1);
    i.commands().switchUnit(Address{1, 7}, true, Source::Remote);
    ASSERT_TRUE(testenv::pumpUntil([&] { return power(7) == Power::On; }));
    // Nothing refused went out later.
    EXPECT_FALSE(twoWay->moduleLines().contains("A5 ON"));
    EXPECT_EQ(power(5), Power::Unknown);
}

TEST_F(InterfaceTest, ATwoWayInterfaceThatAppearsAfterTheStartIsFoundAndUsed) {
    Interface& i = make(Interface::Kind::TwoWay);
    EXPECT_FALSE(i.contact(1));
    EXPECT_EQ(lines, QStringList{"ERROR: Pandrel Interface Not Found on Com: 1"});
    EXPECT_TRUE(i.supervising());

    plugIn(start(twoWay).devicePath());
    ASSERT_TRUE(testenv::pumpUntil([&] { return i.ready(); }));
    EXPECT_EQ(lines.last(), kFound);
    i.commands().houseFunction(1, x10::AllUnitsOff, Source::Click);
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return twoWay->moduleLines().contains("A ALL UNITS OFF");
    })) << twoWay->moduleLines().join('\n').toStdString();
}

TEST_F(InterfaceTest, Cp290NotFoundAtTheStartIsFoundLaterByTheSupervisorAndMeanwhileRefused) {
    Interface& i = make(Interface::Kind::Cp290);
    QStringList told;
    i.setNotify([&](const QString& t) { told << t; });
    EXPECT_FALSE(i.contact(1));
    EXPECT_EQ(lines, QStringList{"ERROR: CP290 Interface Not Found on Com: 1"});
    // The driver's message reaches the user once, for the contact asked for.
    EXPECT_EQ(told, QStringList{"Invalid Port Number, Please try a different Port"});
    EXPECT_TRUE(i.supervising());

    EXPECT_EQ(i.commands().switchUnit(Address{1, 3}, true, Source::Click).refusal,
              "Interface not available");
    EXPECT_EQ(lines.count(kNotSent), 1);
    EXPECT_EQ(failed, QStringList{"1/3/2"});
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return lines.contains("ERROR: CP290 Interface Still Not Found on Com: 1 - " + link +
                              " Does Not Exist - Retrying in the Background");
    }));

    plugIn(start(cp290).devicePath());
    ASSERT_TRUE(testenv::pumpUntil([&] { return i.ready(); }));
    EXPECT_FALSE(i.supervising());
    // The driver's own line says what was found, once.
    EXPECT_EQ(lines.count("Found CP290 Connected to Com: 1"), 1);
    EXPECT_EQ(linesStartingWith("Found CP290 Interface"), 1);  // its clock
    EXPECT_EQ(linesStartingWith("ERROR: CP290 Interface Still Not Found"), 1);
    EXPECT_EQ(told.size(), 1);

    cp290->clearRecords();
    i.commands().switchUnit(Address{1, 3}, true, Source::Click);
    EXPECT_EQ(power(3), Power::On);
    ASSERT_EQ(cp290->frames().size(), 1);
    EXPECT_EQ(cp290->frames().front().kind, Cp290Sim::Kind::Direct);
}

TEST_F(InterfaceTest, Cp290RefusesWhatItCannotSendAndDimsToItsAbsoluteLevel) {
    plugIn(start(cp290).devicePath());
    Interface& i = make(Interface::Kind::Cp290);
    ASSERT_TRUE(i.contact(1));
    cp290->clearRecords();
    lines.clear();

    i.commands().houseFunction(1, x10::AllLightsOff, Source::Remote);
    const QString cannot = QStringLiteral("The CP290 Cannot Send ALL LIGHTS OFF: Command Not Sent");
    EXPECT_EQ(i.commands().houseFunction(1, x10::AllLightsOff, Source::Remote).refusal, cannot);
    EXPECT_EQ(lines, QStringList{cannot});
    EXPECT_EQ(failed, QStringList({"1/0/6", "1/0/6"}));
    EXPECT_TRUE(cp290->frames().isEmpty());

    // The slider sends the absolute level, also when it is unchanged.
    EXPECT_TRUE(i.commands().sliderDim(Address{1, 4}, 7, 7, Source::Click).accepted());
    ASSERT_EQ(cp290->frames().size(), 1);
    // Function byte: dim code 3 (level 7) in the high nibble, the CP290's dim.
    EXPECT_EQ(uchar(cp290->frames().front().bytes.at(17)) >> 4, 3);
    EXPECT_EQ(table.state(Address{1, 4}).level, 70);
}

// An interface that stops answering on a port that is still there: lost with
// one line well within 10 s, what waited given up with the reason and never
// sent late, new commands refused with it, then found again by the retries.
TEST_F(InterfaceTest, ASilentTwoWayInterfaceIsLostWithItsReasonAndFoundAgain) {
    const QString why = QStringLiteral("Interface not answering");
    const QString lost = QStringLiteral("ERROR: Pandrel Interface Lost on Com: 1 - ") + why;
    plugIn(start(twoWay).devicePath());
    Interface& i = make(Interface::Kind::TwoWay);
    ASSERT_TRUE(i.contact(1));
    QList<Interface::Link> links;
    QObject::connect(&i, &Interface::linkChanged, [&](Interface::Link l) { links << l; });
    QStringList givenUp;
    QObject::connect(&i.commands(), &CommandPath::givenUp,
                     [&](quint64, const QString& reason) { givenUp << reason; });

    twoWay->setSilent(true);
    const qint64 start = platform::TimeBase::global().nowMs();
    for (int unit : {5, 6, 7}) i.commands().switchUnit(Address{1, unit}, true, Source::Remote);
    ASSERT_TRUE(testenv::pumpUntil([&] { return i.link() == Interface::Link::NotAnswering; }));
    // 9 s of waits (one attempt, one status request); room for a loaded machine.
    EXPECT_LT(platform::TimeBase::global().nowMs() - start, 15000);
    EXPECT_EQ(lines.count(lost), 1);
    EXPECT_EQ(levelOf.value(lost), platform::LogLevel::Error);
    EXPECT_FALSE(i.ready());
    EXPECT_TRUE(i.supervising());
    ASSERT_TRUE(testenv::pumpUntil([&] { return givenUp.size() == 3; }));
    EXPECT_EQ(givenUp, QStringList(3, why));
    EXPECT_EQ(i.commands().switchUnit(Address{1, 8}, true, Source::Remote).refusal, why);
    EXPECT_EQ(lines.count(why + ": command not sent"), 1);

    twoWay->setSilent(false);
    ASSERT_TRUE(testenv::pumpUntil([&] { return i.ready(); }));
    EXPECT_EQ(lines.count(kFound), 2);
    EXPECT_EQ(links,
              (QList<Interface::Link>{Interface::Link::NotAnswering, Interface::Link::Found}));
    i.commands().switchUnit(Address{1, 9}, true, Source::Remote);
    ASSERT_TRUE(testenv::pumpUntil([&] { return power(9) == Power::On; }));
    EXPECT_EQ(twoWay->moduleLines(), QStringList{"A9 ON"});
    EXPECT_EQ(lines.count(lost), 1);
}
