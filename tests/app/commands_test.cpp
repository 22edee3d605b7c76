// The command words as the window shows them: the labels, the slider and the
// caption follow the service's pad and house code (the words themselves and
// what they send are tested on the service in tests/core).
#include <QSlider>

#include "appfixture.h"
#include "clicklabel.h"
#include "privileges.h"
#include "service.h"
#include "twips.h"

namespace {

class Commands : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        platform::setCommandRunner([this](const QString& p, const QStringList& a) {
            runs << (QStringList{p} + a);
            return true;
        });
    }
    void TearDown() override {
        platform::setCommandRunner({});
        AppTest::TearDown();
    }
    void loadTwoWay() {
        sim = &twoWayOn(1);
        load();
        ASSERT_EQ(window->Label3->backColor(), ui::kGreen);
        sim->clearRecords();
        window->lstEvents->clear();
    }
    // A remote client's word, carried out by the window's service.
    core::Service::WordResult word(const QString& w) {
        return window->service().runWord(w, state::Source::Remote);
    }
    sim::TwoWaySim* sim = nullptr;
    QList<QStringList> runs;
};

TEST_F(Commands, UnitWordsMoveTheLabelsAndTheSlider) {
    loadTwoWay();
    Form1& w = *window;
    EXPECT_TRUE(word("3on").done);
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
    EXPECT_TRUE(w.Slider1->isVisible());
    EXPECT_EQ(w.Slider1->value(), 10);
    word("3of");
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kBlack);
    EXPECT_FALSE(w.Slider1->isVisible());

    // A dim word moves the slider; moving the slider dims the unit once.
    word("12on");
    w.Slider1->setValue(9);
    EXPECT_EQ(w.service().pad().level(), 9);
    word("12di04");
    EXPECT_EQ(w.Slider1->value(), 4);
    EXPECT_TRUE(w.Slider1->isVisible());
}

TEST_F(Commands, HouseCodeWordChangesTheCaptionAndIgnoredWordsChangeNothing) {
    loadTwoWay();
    Form1& w = *window;
    const QString title = w.windowTitle();
    for (const char* c : {"ALLO", "Exit", "coff", "5off", "EXIT\n", "housecodechange", "on", "99on",
                          "5di99", "", "housecodechangeQ"})
        EXPECT_FALSE(word(QString::fromLatin1(c)).done) << c;
    EXPECT_EQ(w.lstEvents->count(), 0);
    EXPECT_EQ(w.windowTitle(), title);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(dialogs.messages.isEmpty());
    // A word refused with a reason answers with it.
    platform::setCommandRunner([](const QString&, const QStringList&) { return false; });
    const core::Service::WordResult refused = word("COFF");
    EXPECT_FALSE(refused.done);
    EXPECT_EQ(refused.reason, "Computer Shutdown could not be Started");

    word("housecodechangeD");
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: D) - 0");
    EXPECT_EQ(logTexts().first(), "House Code Changed to D");
}

TEST_F(Commands, ExitSavesTheSettingsAndEnds) {
    loadTwoWay();
    word("housecodechangeF");
    word("EXIT");
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(startup("HouseCode"), "F");
    EXPECT_EQ(startup("ComPort"), "1");
}

}  // namespace
