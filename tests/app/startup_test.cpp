// Start-up, settings and exit of the main window.
#include <QAction>
#include <QDir>
#include <QSlider>

#include "appfixture.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "optionsmenu.h"
#include "settingskeys.h"
#include "twips.h"
#include "windowkeys.h"

namespace {

TEST(StoredValues, BooleanPortAndPositionRules) {
    struct BoolCase {
        const char* text;
        bool value;
    };
    for (const BoolCase& c : std::initializer_list<BoolCase>{{"True", true},
                                                             {"tRUE", true},
                                                             {"False", false},
                                                             {"0", false},
                                                             {"2", true},
                                                             {"-1", true},
                                                             {"maybe", false},
                                                             {"", false},
                                                             {"1x", false}})
        EXPECT_EQ(settings::readBool(QString::fromLatin1(c.text)), c.value) << c.text;

    struct NumCase {
        const char* text;
        int value;
    };
    for (const NumCase& c :
         std::initializer_list<NumCase>{{"2.5", 2},
                                        {"3.5", 4},
                                        {" 2", 2},
                                        {"abc", 0},
                                        {"99999", 32767},
                                        {"-99999", -32768},
                                        {"123456789012345678901234567890", 32767}})
        EXPECT_EQ(settings::readPort(QString::fromLatin1(c.text)), c.value) << c.text;

    for (const NumCase& c : std::initializer_list<NumCase>{
             {" 600", 600}, {"-32000", 0}, {"x", 0}, {"123456789012345678901234567890", 15000000}})
        EXPECT_EQ(settings::readPosition(QString::fromLatin1(c.text)), c.value) << c.text;
}

class Startup : public AppTest {};

TEST_F(Startup, FirstRunFindsTheTwoWayInterface) {
    auto& sim = twoWayOn(1);
    Form1& w = load();

    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: A) - 0");
    EXPECT_TRUE(w.menu->mnuIntPandrel->isChecked());
    EXPECT_FALSE(w.menu->mnuIntCP290->isChecked());
    EXPECT_EQ(w.menu->mnuCTRL->text(), "Minimize Veldrin to System Tray");
    EXPECT_EQ(w.menu->mnuOp->defaultAction(), w.menu->mnuCTRL);
    EXPECT_EQ(w.service().houseCode(), "A");
    EXPECT_EQ(w.service().comPort(), 1);
    EXPECT_EQ(w.controlcm1->comport(), 1);
    EXPECT_EQ(w.Height(), 990);
    EXPECT_EQ(w.height(), 41);  // 615 twips of client area
    EXPECT_EQ(w.width(), 346);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.Top(), 0);
    EXPECT_EQ(w.Left(), 0);
    EXPECT_EQ(w.app_tit, "Veldrin Pro");
    EXPECT_TRUE(w.bLogging);
    EXPECT_FALSE(w.connected);
    EXPECT_EQ(w.iCClients, 0);

    EXPECT_EQ(logLines(), QStringList({"14:03:27-->Listening for a connection...",
                                       "14:03:27-->Found Pandrel Interface on Com: 1 Connection "
                                       "Established",
                                       "14:03:27-->Attempting to Contact Computer Interface..."}));
    EXPECT_EQ(w.l_last_event->text(), "Listening for a connection...");
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_EQ(w.l_con_status->foreColor(), ui::kRed);
    EXPECT_EQ(w.l_con_status->toolTip(), "Listening for Connections");

    // The status probe went out on the line, once contact was made once.
    EXPECT_FALSE(sim.statusRequests().isEmpty());
    EXPECT_EQ(sim.received().count(char(0x8B)), sim.statusRequests().size());
    // The dim slider was set to 10 with no unit selected: nothing was sent.
    EXPECT_EQ(w.Slider1->value(), 10);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(w.service().pad().level(), 10);
    EXPECT_TRUE(sim.framedOnly().isEmpty());
}

TEST_F(Startup, MissingInterfaceOnPort3IsLoggedInRed) {
    mapPort(3, QDir::tempPath() + "/veldrin-no-such-device");
    setStartup("ComPort", "3");
    Form1& w = load();
    EXPECT_EQ(logTexts(), QStringList({"Listening for a connection...",
                                       "ERROR: Pandrel Interface Not Found on Com: 3",
                                       "Attempting to Contact Computer Interface..."}));
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(Startup, SilentInterfaceIsNotFound) {
    auto& sim = twoWayOn(1);
    sim.setSilent(true);
    Form1& w = load();
    EXPECT_EQ(logTexts().value(1), "ERROR: Pandrel Interface Not Found on Com: 1");
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
}

TEST_F(Startup, StoredValuesAreReadWithTheirRules) {
    // A port beyond 16 bits becomes one that cannot be opened; positions
    // below 0 start at 0; the house code is taken as stored.
    testenv::writeSettings(
        "[Startup]\nHouseCode=b\nComPort=99999\nF1Top=-32000\nF1Left=\" 600\"\nInterface=maybe\n");
    Form1& w = load();
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: b) - 0");
    EXPECT_EQ(w.service().comPort(), 32767);
    EXPECT_EQ(w.controlcm1->comport(), 32767);
    EXPECT_EQ(logTexts().value(1), "ERROR: Pandrel Interface Not Found on Com: 32767");
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_EQ(w.service().interface().kind(), core::Interface::Kind::TwoWay);
    EXPECT_EQ(w.Top(), 0);
    EXPECT_EQ(w.Left(), 600);
    EXPECT_EQ(w.pos().x(), 40);
}

TEST_F(Startup, MalformedStoreAndEmptyHouseCodeDoNotStopTheStart) {
    // Lines that are not settings are skipped; what is left is used.
    testenv::writeSettings(QString::fromLatin1(
        "\x01\xff garbage\n[Startup]\nHouseCode=\n===\n[Ports]\nCOM1=/nonexistent/tty\n"));
    Form1& w = load();
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: ) - 0");
    EXPECT_EQ(w.service().comPort(), 1);
    EXPECT_EQ(logTexts().value(1), "ERROR: Pandrel Interface Not Found on Com: 1");
}

// A header typed without its bracket used to make every key read as its
// default, and the exit then wrote house code A and port 1 over the user's.
TEST_F(Startup, DamagedSettingsFileLosesNothingThroughStartAndExit) {
    twoWayOn(2);
    testenv::writeSettings(
        "[Startup]\nHouseCode=C\nComPort=2\nListenPort=0\n[Notes\nfirst=mine\n"
        "[Ports]\nCOM2=" +
        twoWay->devicePath() + "\n");
    Form1& w = load();
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: C) - 0");
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_EQ(logTexts().count("WARNING: Could not Read Line 5 of the Settings File"), 1);
    int cancel = 0;
    w.Form_Unload(cancel);
    EXPECT_EQ(startup("HouseCode"), "C");
    EXPECT_EQ(startup("ComPort"), "2");
    EXPECT_EQ(platform::GetSetting("veldrin", "Notes", "first"), "mine");
    EXPECT_EQ(platform::GetSetting("veldrin", "Ports", "COM2"), twoWay->devicePath());
}

TEST_F(Startup, Cp290SelectedRunsItsDetection) {
    auto& sim = cp290On(2);
    setStartup("Interface", "True");
    setStartup("ComPort", "2");
    Form1& w = load();
    EXPECT_EQ(w.service().interface().kind(), core::Interface::Kind::Cp290);
    EXPECT_TRUE(w.menu->mnuIntCP290->isChecked());
    EXPECT_FALSE(w.menu->mnuIntPandrel->isChecked());
    EXPECT_EQ(w.controlcm1->comport(), 2);
    ASSERT_FALSE(sim.frames().isEmpty());
    EXPECT_EQ(sim.frames().first().kind, sim::Cp290Sim::Kind::StatusRequest);
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_EQ(logTexts().first(), "Listening for a connection...");
    EXPECT_EQ(logTexts().last(), "Attempting to Contact Computer Interface...");
    EXPECT_FALSE(logTexts().join('|').contains("ERROR"));
}

TEST_F(Startup, Cp290AbsentIsLoggedInRed) {
    auto& sim = cp290On(1);
    sim.setSilent(true);
    setStartup("Interface", "1");
    Form1& w = load();
    EXPECT_TRUE(logTexts().contains("ERROR: CP290 Interface Not Found on Com: 1"));
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    // No two-way probe went out on the CP290's line.
    EXPECT_FALSE(sim.received().contains(char(0x8B)));
}

TEST_F(Startup, UnloadSavesInTheirFormsAndEndsTheProcess) {
    twoWayOn(1);
    setStartup("F1Top", "600");
    setStartup("F1Left", "1200");
    Form1& w = load();
    w.service().setHouseCode("C");
    w.service().changeComPort(2);
    int cancel = 0;
    w.Form_Unload(cancel);
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(startup("HouseCode"), "C");
    EXPECT_EQ(startup("ComPort"), "2");
    EXPECT_EQ(startup("F1Top"), " 600");
    EXPECT_EQ(startup("F1Left"), " 1200");
    EXPECT_TRUE(testenv::readSettings().contains("F1Top=\" 600\""));
    // Interface and Service are not written at unload.
    EXPECT_EQ(startup("Interface"), "<absent>");
    EXPECT_EQ(startup("Service"), "<absent>");
}

TEST_F(Startup, ClosingTheWindowSavesLikeExitButExitRemovesTheIconFirst) {
    NotifyIcon::setAvailableForTesting(true);
    Form1& w = load();
    w.close();
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(startup("ComPort"), "1");
    EXPECT_EQ(startup("F1Top"), " 0");

    // Exit through the menu while the icon is in the notification area.
    w.mnuCTRL_Click();
    ASSERT_TRUE(appState().bInTray);
    ASSERT_TRUE(w.trayIcon->isShown());
    w.menu->mnuExit->trigger();
    EXPECT_EQ(exits, 2);
    EXPECT_FALSE(appState().bInTray);
    EXPECT_FALSE(w.trayIcon->isShown());
}

TEST_F(Startup, LayoutFollowsTheDesign) {
    Form1& w = load();
    struct Place {
        QWidget* control;
        QRect pixels;
    };
    for (const Place& p : std::initializer_list<Place>{{w.Label1[0], {89, 0, 9, 17}},
                                                       {w.Label1[9], {167, 0, 17, 17}},
                                                       {w.Label1[15], {267, 0, 17, 17}},
                                                       {w.Label4, {296, 0, 32, 17}},
                                                       {w.l_ClickPad, {330, 0, 15, 17}},
                                                       {w.Label3, {0, 18, 345, 6}},
                                                       {w.l_con_status, {0, 25, 121, 16}},
                                                       {w.l_last_event, {123, 25, 222, 16}},
                                                       {w.lstEvents, {0, 41, 345, 82}},
                                                       {w.lstClients, {0, 123, 345, 82}},
                                                       {w.l_status, {0, 207, 345, 32}},
                                                       {w.Slider1, {0, 0, 89, 17}}})
        EXPECT_EQ(p.control->geometry(), p.pixels) << p.control->objectName().toStdString();
    EXPECT_EQ(w.controlcm1->pos(), QPoint(96, 256));
    EXPECT_GE(w.controlcm1->y(), 239);  // below the expanded client area
    EXPECT_FALSE(w.TrayIcon->isVisible());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(w.Label1[i]->text(), QString::number(i + 1));
        EXPECT_EQ(w.Label1[i]->font().weight(), QFont::Bold);
    }
    EXPECT_EQ(w.Label4->text(), "Log");
    EXPECT_EQ(w.Label4->foreColor(), ui::kLogGreen);
    EXPECT_EQ(ui::colorValue(w.Label4->palette().color(QPalette::Window)), 0x00E0E0E0u);
    EXPECT_EQ(ui::colorValue(w.l_ClickPad->palette().color(QPalette::Window)), 0x00C0E0FFu);
    EXPECT_EQ(w.l_ClickPad->toolTip(), "Click Pad:  Right-Click for Options Menu");
    EXPECT_EQ(w.l_status->toolTip(), "Click to Refresh Data");
    EXPECT_EQ(w.l_last_event->toolTip(), "Current Event");
    EXPECT_EQ(w.Slider1->toolTip(), " 100 Bright");
    EXPECT_EQ(w.Slider1->minimum(), 0);
    EXPECT_EQ(w.Slider1->maximum(), 10);
}

TEST_F(Startup, MenuTreeHasEveryEntryInOrder) {
    Form1& w = load();
    auto names = [](QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions())
            out << (a->isSeparator() ? "-" : a->objectName() + "=" + a->text());
        return out;
    };
    EXPECT_EQ(
        names(w.menu->mnuOp),
        QStringList(
            {"mnuCTRL=Minimize Veldrin to System Tray",
             "mnuServerPort=Change Server &Listening Port", "mnuComCh=Change the &Com Port",
             "mnuCHC=Change the Base &Housecode", "mnuPass=Change Server Connection  &Password",
             "mnuInterface=Change Connected Computer &Interface", "mnuSchedRun=Run the Schedule",
             "mnuSchedShow=Show the Schedule...", "-", "mnuSvc=Service Options", "-",
             "mnuLogging=&Logging", "-", "mnuAbout=&About", "-", "mnuExit=&Exit"}));
    EXPECT_EQ(names(w.menu->mnuInterface),
              QStringList({"mnuIntPandrel=Pandrel", "mnuIntCP290=CP290"}));
    EXPECT_EQ(
        names(w.menu->mnuSvc),
        QStringList({"mnuISvc=Install as Service", "mnuSSvc=Start Service", "mnuPSvc=Stop Service",
                     "mnuRSvc=Remove Service", "-", "mnuSvcLog=Service Log"}));
    EXPECT_EQ(names(w.menu->mnuLogging),
              QStringList({"mnuClrAllLogs=Clear &All Logs", "mnuClrTopLog=Clear Event (&Top) Log",
                           "mnuClrBotLog=Clear Client (&Bottom) Log"}));
}

}  // namespace
