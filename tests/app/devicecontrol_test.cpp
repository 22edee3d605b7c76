// Click pad, all-units strip and dim slider, against the emulators: the
// assertions are on the bytes that reach the line.
#include <QApplication>
#include <QMouseEvent>
#include <QSlider>
#include <QTimer>
#include <algorithm>

#include "appfixture.h"
#include "clicklabel.h"
#include "cp290frames.h"
#include "twips.h"

namespace {

using sim::hex;

class TwoWayPad : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        sim = &twoWayOn(1);
        load();
        ASSERT_EQ(window->Label3->backColor(), ui::kGreen);
        sim->clearRecords();
    }
    // Hex text of the framed commands on the line, once `count` have arrived.
    QStringList frames(int count) {
        testenv::pumpUntil([&] { return sim->framedOnly().size() >= count; }, 5000);
        testenv::pump(30);  // anything beyond `count` would show up too
        QStringList out;
        for (const auto& f : sim->framedOnly()) out << hex(f.bytes);
        return out;
    }
    void press(QWidget* w, Qt::MouseButton b) {
        QMouseEvent e(QEvent::MouseButtonPress, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)), b, b,
                      Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
    sim::TwoWaySim* sim = nullptr;
};

TEST_F(TwoWayPad, LeftPressSwitchesOnThenTheSliderDimsAndBrightens) {
    Form1& w = *window;
    press(w.Label1[4], Qt::LeftButton);
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kGreen);
    EXPECT_EQ(w.service().pad().selectedUnit(), 5);
    EXPECT_TRUE(w.Slider1->isVisible());
    EXPECT_EQ(w.Slider1->value(), 10);  // already 10: no dim handling
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));

    w.Slider1->setValue(7);
    EXPECT_EQ(frames(4), QStringList({"04 61", "06 62", "04 61", "3E 64"}));  // DIM 30
    EXPECT_EQ(w.Slider1->toolTip(), " 70 Bright");
    EXPECT_EQ(w.service().pad().level(), 7);

    w.Slider1->setValue(9);
    EXPECT_EQ(frames(6).mid(4), QStringList({"04 61", "26 65"}));  // BRIGHT 20
}

TEST_F(TwoWayPad, LeftPressWithTheSliderAt6BrightensTheNewUnit) {
    Form1& w = *window;
    w.Label1_MouseDown(4, 1, 0, 0, 0);
    w.Slider1->setValue(6);
    frames(4);
    sim->clearRecords();
    w.Label1_MouseDown(2, 1, 0, 0, 0);  // unit 3
    // ON first, then BRIGHT 40 (9 steps) for the same unit.
    EXPECT_EQ(frames(4), QStringList({"04 62", "06 62", "04 62", "4E 65"}));
    EXPECT_EQ(w.service().pad().selectedUnit(), 3);
}

TEST_F(TwoWayPad, RightPressSwitchesOffAndHidesTheSlider) {
    Form1& w = *window;
    w.Label1_MouseDown(4, 1, 0, 0, 0);
    w.Slider1->setValue(3);
    frames(4);
    sim->clearRecords();
    press(w.Label1[4], Qt::RightButton);
    EXPECT_EQ(w.Label1[4]->foreColor(), ui::kBlack);
    EXPECT_EQ(w.service().pad().selectedUnit(), 0);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(w.Slider1->value(), 3);
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 63"}));

    // With no unit selected the slider sends nothing but keeps its level.
    w.Slider1->setValue(4);
    EXPECT_EQ(w.Slider1->toolTip(), " 40 Bright");
    EXPECT_EQ(w.service().pad().level(), 4);
    EXPECT_EQ(frames(2).size(), 2);
}

TEST_F(TwoWayPad, OtherButtonsDoNothing) {
    Form1& w = *window;
    press(w.Label1[0], Qt::MiddleButton);
    press(w.Label3, Qt::MiddleButton);
    w.Label1_MouseDown(0, 4, 0, 0, 0);
    w.Label3_MouseDown(0, 0, 0, 0);
    w.Label1_MouseDown(16, 1, 0, 0, 0);  // no such label
    w.Label1_MouseDown(-1, 1, 0, 0, 0);
    EXPECT_TRUE(frames(0).isEmpty());
    EXPECT_EQ(w.service().pad().selectedUnit(), 0);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(w.Label1[0]->foreColor(), ui::kWindowText);
}

TEST_F(TwoWayPad, StripSendsAllLightsOnAndAllUnitsOff) {
    Form1& w = *window;
    press(w.Label3, Qt::LeftButton);
    press(w.Label3, Qt::RightButton);
    // A strip press colours no label itself ...
    for (ClickLabel* l : w.Label1) EXPECT_EQ(l->foreColor(), ui::kWindowText);
    EXPECT_EQ(frames(2), QStringList({"06 61", "06 60"}));
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_EQ(w.service().pad().selectedUnit(), 0);
    // ... the labels show the tracked state once the interface confirmed it.
    EXPECT_TRUE(testenv::pumpUntil([&] {
        return std::all_of(w.Label1.begin(), w.Label1.end(),
                           [](ClickLabel* l) { return l->foreColor() == ui::kBlack; });
    }));
}

TEST_F(TwoWayPad, HoverHighlightsOneLabel) {
    Form1& w = *window;
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), w.Label1[2]->mapToGlobal(QPointF(2, 2)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w.Label1[2], &move);
    EXPECT_EQ(w.Label1[2]->backColor(), ui::kGrey);
    w.Label1_MouseMove(3, 0, 0, 0, 0);
    EXPECT_EQ(w.Label1[2]->backColor(), ui::kSilver);
    EXPECT_EQ(w.Label1[3]->backColor(), ui::kGrey);
    EXPECT_EQ(w.Label1[3]->toolTip(), "Click Left Mouse Button for ON, Right for OFF");
    for (int i : {0, 1, 4, 15}) EXPECT_EQ(w.Label1[i]->backColor(), ui::kSilver);
}

class Cp290Pad : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        sim = &cp290On(1);
        setStartup("Interface", "True");
        load();
        ASSERT_EQ(window->Label3->backColor(), ui::kGreen);
        sim->clearRecords();
    }
    QList<QByteArray> directFrames() {
        QList<QByteArray> out;
        for (const auto& f : sim->frames())
            if (f.kind == sim::Cp290Sim::Kind::Direct) out << f.bytes;
        return out;
    }
    // Unit 1 is the top bit of the units 1-8 byte, unit 9 of the 9-16 byte.
    static int bit(int unit) { return 0x80 >> ((unit - 1) % 8); }
    static QByteArray direct(int function, int unit, int level = -1) {
        if (level >= 0) function = (DimCodeForLevel(level) << 4) + cp290::kFunctionDim;
        return cp290::directFrame(function, 0x60, unit > 8 ? bit(unit) : 0,
                                  unit > 8 ? 0 : bit(unit));
    }
    sim::Cp290Sim* sim = nullptr;
};

TEST_F(Cp290Pad, UnitsStripAndDimGoOutAsDirectCommands) {
    Form1& w = *window;
    w.Label1_MouseDown(11, 1, 0, 0, 0);  // unit 12 on; the slider stays at 10
    w.Label1_MouseDown(4, 2, 0, 0, 0);   // unit 5 off
    w.Label3_MouseDown(1, 0, 0, 0);      // all lights on, addressed to unit 2
    w.Label3_MouseDown(2, 0, 0, 0);      // all units off, addressed to unit 2
    EXPECT_EQ(directFrames(),
              QList<QByteArray>({direct(2, 12), direct(3, 5), direct(1, 2), direct(0, 2)}));
    // Sync run, direct command 1, function ON, house A, unit 12 in the 9-16 byte.
    EXPECT_EQ(directFrames()[0].mid(16, 5), QByteArray::fromHex("01 02 60 10 00"));

    sim->clearRecords();
    w.service().pad().select(12);
    w.Slider1->setValue(0);  // the absolute level
    EXPECT_EQ(w.Slider1->toolTip(), " 0 Bright");
    ASSERT_EQ(directFrames().size(), 1);
    EXPECT_EQ(directFrames()[0], direct(0, 12, 0));
    EXPECT_EQ(directFrames()[0].mid(16, 5), QByteArray::fromHex("01 F5 60 10 00"));

    // The equal case sends the same level again, now for another unit.
    sim->clearRecords();
    w.service().pad().select(3);
    w.Slider1_Change();
    ASSERT_EQ(directFrames().size(), 1);
    EXPECT_EQ(directFrames()[0], direct(0, 3, 0));
}

TEST_F(Cp290Pad, LeftPressWithTheSliderAt6SendsLevel10) {
    Form1& w = *window;
    w.Slider1->setValue(6);  // no unit selected: nothing sent
    EXPECT_TRUE(directFrames().isEmpty());
    w.Label1_MouseDown(6, 1, 0, 0, 0);
    ASSERT_EQ(directFrames().size(), 2);
    EXPECT_EQ(directFrames()[0], direct(2, 7));
    EXPECT_EQ(directFrames()[1], direct(0, 7, 10));
}

// The driver's messages reach the user as the design's message box (no title,
// no icon); headless, where the dialogs are log lines, as an event-log line.
TEST_F(Cp290Pad, NoReplyShowsTheBoxOrHeadlessALogLine) {
    const QString noReply =
        "There was an Error Communicating to the CP290, Please check the connections.";
    sim->setSilent(true);
    window->Label1_MouseDown(4, 1, 0, 0, 0);
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0].text, noReply);
    EXPECT_EQ(dialogs.messages[0].title, "");
    EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::None);

    platform::LogDialogs headless([this](const QString& text) { window->Log_Event(text); });
    platform::Dialogs::install(&headless);
    window->Label1_MouseDown(4, 2, 0, 0, 0);
    platform::Dialogs::install(&dialogs);
    EXPECT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(logTexts().contains("Message (no window to show it): " + noReply));
}

// The detection's wait handles window events: a click that arrives inside it
// used to close the port under it (a false "not found" and a message box).
TEST_F(AppTest, AClickDuringTheCp290DetectionIsRefusedNotSentUnderIt) {
    auto& sim = cp290On(1);
    // Slower time, so that a loaded machine still clicks inside the wait.
    platform::TimeBase::global().setScale(5);
    sim.setTimeScale(5);
    sim.setReplyDelayMs(2000);  // logical; the wait lasts up to 3000
    setStartup("Interface", "True");
    window = std::make_unique<Form1>();
    bool clicked = false;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (clicked || sim.frames().isEmpty()) return;
        clicked = true;
        window->Label1_MouseDown(0, 1, 0, 0, 0);
    });
    poll.start();
    window->Form_Load();
    poll.stop();
    ASSERT_TRUE(clicked);
    EXPECT_EQ(window->Label3->backColor(), ui::kGreen);
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_TRUE(logTexts().contains("Interface not available: command not sent"));
    for (const auto& f : sim.frames()) EXPECT_NE(f.kind, sim::Cp290Sim::Kind::Direct);
}

}  // namespace
