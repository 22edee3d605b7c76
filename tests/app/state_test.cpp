// Module state as the window shows it: the unit labels follow what the
// two-way interface hears and what it confirmed (the state table itself is
// tested on the service in tests/core).
#include "appfixture.h"
#include "clicklabel.h"
#include "commandpath.h"
#include "state/statetable.h"
#include "twips.h"

namespace {

using sim::TwoWaySim;
using state::Address;
using state::Power;

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

TEST_F(TwoWayState, HeardTrafficColoursTheLabels) {
    Form1& w = *window;
    sim->injectUpload(*TwoWaySim::buildUpload("A5 A ON"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kGreen);

    sim->injectUpload(*TwoWaySim::buildUpload("A5 A DIM 30"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").level < 100; }));
    EXPECT_TRUE(w.Label1[4]->toolTip().contains("Dimmed to"));

    sim->injectUpload(*TwoWaySim::buildUpload("A ALL UNITS OFF"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::Off; }));
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kBlack);
}

TEST_F(TwoWayState, AClickColoursAtOnceAndAGivenUpCommandLeavesTheColour) {
    Form1& w = *window;
    w.Label1_MouseDown(2, 1, 0, 0, 0);
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A3").power == Power::On; }));

    sim->failChecksums(1000);
    w.commandPath()->switchUnit(at("A3"), false, state::Source::Mqtt);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return logTexts().first().startsWith("ERROR: Command Not Confirmed"); }, 10000));
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
}

}  // namespace
