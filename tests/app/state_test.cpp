// Module state through the real window: what the two-way interface hears on
// the powerline, commands confirmed or given up, and the CP290's reply byte.
#include <QFile>

#include "appfixture.h"
#include "clicklabel.h"
#include "commandpath.h"
#include "state/statetable.h"
#include "twips.h"

namespace {

using state::Address;
using state::Power;
using state::Source;
using veldrin::sim::TwoWaySim;

Address at(const char* text) {
    return *Address::parse(QString::fromLatin1(text));
}

class TwoWayState : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        sim = &twoWayOn(1);
        load();
        ASSERT_TRUE(window->commandPath()->interfaceReady());
    }
    const state::ModuleState& of(const char* a) { return window->stateTable()->state(at(a)); }
    TwoWaySim* sim = nullptr;
};

TEST_F(TwoWayState, HeardTrafficMovesStateLabelsAndLog) {
    Form1& w = *window;
    sim->injectUpload(*TwoWaySim::buildUpload("A5 A ON"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_EQ(of("A5").source, Source::Powerline);
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kGreen);
    EXPECT_EQ(logTexts().first(), "Received A5 ON");

    sim->injectUpload(*TwoWaySim::buildUpload("A5 A DIM 30"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").level < 100; }));
    EXPECT_NEAR(of("A5").level, 70, 2);  // the line carries whole dim steps
    EXPECT_TRUE(logTexts().first().startsWith("Received A5 DIM "));
    EXPECT_TRUE(w.Label1[4]->toolTip().contains("Dimmed to"));

    sim->injectUpload(*TwoWaySim::buildUpload("A ALL UNITS OFF"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::Off; }));
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kBlack);
    EXPECT_EQ(logTexts().first(), "Received A ALL UNITS OFF");

    sim->injectMacro(0x01, 0x2F);
    ASSERT_TRUE(testenv::pumpUntil([&] { return logTexts().first() == "Received macro 12F"; }));

    // The state file holds what was heard, for the next start.
    int cancel = 0;
    w.Form_Unload(cancel);
    state::StateTable reread;
    reread.load(state::StateTable::defaultPath());
    EXPECT_EQ(reread.state(at("A5")).power, Power::Off);
}

TEST_F(TwoWayState, ConfirmedCommandsMoveTheStateAndGivenUpOnesDoNot) {
    Form1& w = *window;
    // A click: the label at once, the state once the interface confirmed it.
    w.Label1_MouseDown(2, 1, 0, 0, 0);
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
    EXPECT_EQ(of("A3").power, Power::Unknown);
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A3").power == Power::On; }));
    EXPECT_EQ(of("A3").source, Source::Click);

    // Any house through the command path; a level from unknown goes on at
    // full brightness first and dims from there, queued commands counted.
    w.commandPath()->setBrightness(at("C7"), 40, Source::Mqtt);
    w.commandPath()->setBrightness(at("C7"), 50, Source::Mqtt);
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("C7").level == 50; }));
    EXPECT_EQ(of("C7").source, Source::Mqtt);
    QStringList frames;
    for (const auto& f : sim->framedOnly()) frames << veldrin::sim::hex(f.bytes);
    // C7 ON, C7 DIM 60 (13 steps), C7 BRIGHT 10 (2 steps).
    EXPECT_EQ(frames.mid(frames.size() - 6),
              QStringList({"04 25", "06 22", "04 25", "6E 24", "04 25", "16 25"}));

    // Every attempt fails: the state stays and one line says so.
    sim->failChecksums(1000);
    w.commandPath()->switchUnit(at("A3"), false, Source::Mqtt);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return logTexts().first().startsWith("ERROR: Command Not Confirmed"); }, 10000));
    EXPECT_EQ(logTexts().first(),
              "ERROR: Command Not Confirmed by the Interface, Given Up: A3 OFF");
    EXPECT_EQ(of("A3").power, Power::On);
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
}

TEST_F(TwoWayState, RemoteWordsAreTaggedRemote) {
    window->Label1_MouseDown(8, 1, 0, 0, 0);
    window->ProcessCommand("10on");
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A10").power == Power::On; }));
    EXPECT_EQ(of("A9").source, Source::Click);
    EXPECT_EQ(of("A10").source, Source::Remote);
}

class Cp290State : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        sim = &cp290On(1);
        setStartup("Interface", "True");
        load();
    }
    veldrin::sim::Cp290Sim* sim = nullptr;
};

TEST_F(Cp290State, TheReplyByteMovesTheState) {
    Form1& w = *window;
    const auto& a2 = w.stateTable()->state(at("A2"));
    w.Label1_MouseDown(1, 1, 0, 0, 0);  // on, then level 10 is not sent (slider at 10)
    EXPECT_EQ(a2.power, Power::On);
    EXPECT_EQ(a2.source, Source::Click);
    w.commandPath()->setBrightness(at("A2"), 30, Source::Mqtt);
    EXPECT_EQ(a2.level, 30);

    // No reply: the state stays.
    sim->setDirectReply(QByteArray());
    w.commandPath()->switchUnit(at("A2"), false, Source::Mqtt);
    EXPECT_EQ(a2.power, Power::On);
    EXPECT_TRUE(testenv::pumpUntil(
        [&] { return logTexts().first().startsWith("ERROR: Command Not Confirmed"); }));
}

}  // namespace
