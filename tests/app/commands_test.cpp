// The remote command interpreter and the shutdown class.
#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QSlider>

#include "appfixture.h"
#include "clicklabel.h"
#include "clsntprivileges.h"
#include "commandwords.h"
#include "privileges.h"
#include "twips.h"

namespace {

using commands::Command;
using veldrin::sim::hex;

TEST(CommandWords, OrderedTestsAndMalformedFields) {
    struct Case {
        const char* text;
        Command::Kind kind;
        int unit;
        int level;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"7on", Command::UnitOn, 7, 0},
             {"12on", Command::UnitOn, 12, 0},
             {"16of", Command::UnitOff, 16, 0},
             {"7of", Command::UnitOff, 7, 0},
             {"7di05", Command::UnitDim, 7, 5},
             {"12di10", Command::UnitDim, 12, 10},
             {"12xxdi00", Command::UnitDim, 12, 0},  // between unit and "di": ignored
             {"123on", Command::UnitOn, 1, 0},       // five characters: the first one
             {"housecodechangeC", Command::HouseCode, 0, 0},
             {"allo", Command::AllLightsOn, 0, 0},
             {"allf", Command::AllUnitsOff, 0, 0},
             {"alluf", Command::AllLightsOff, 0, 0},
             {"COFF", Command::Shutdown, 0, 0},
             {"ABORT", Command::AbortShutdown, 0, 0},
             {"EXIT", Command::Exit, 0, 0},
             // Case and terminators count; "off" is not "of".
             {"ALLO", Command::Ignored, 0, 0},
             {"Exit", Command::Ignored, 0, 0},
             {"coff", Command::Ignored, 0, 0},
             {"EXIT\n", Command::Ignored, 0, 0},
             {"5on\r", Command::Ignored, 0, 0},
             {"5off", Command::Ignored, 0, 0},
             {"housecodechange", Command::Ignored, 0, 0},
             // Malformed: too short, empty or non-numeric unit, out of range.
             {"", Command::Ignored, 0, 0},
             {"o", Command::Ignored, 0, 0},
             {"on", Command::Ignored, 0, 0},
             {"xxon", Command::Ignored, 0, 0},
             {" 5on", Command::Ignored, 0, 0},
             {"0on", Command::Ignored, 0, 0},
             {"17of", Command::Ignored, 0, 0},
             {"99on", Command::Ignored, 0, 0},
             {"5di99", Command::Ignored, 0, 0},
             {"5di11", Command::Ignored, 0, 0},
             {"5di-1", Command::Ignored, 0, 0},
             {"5dix1", Command::Ignored, 0, 0},
             {"di05", Command::Ignored, 0, 0},
             {"di", Command::Ignored, 0, 0},
             {"17di05", Command::Ignored, 0, 0}}) {
        const Command got = commands::parse(QString::fromLatin1(c.text));
        EXPECT_EQ(got.kind, c.kind) << '"' << c.text << '"';
        if (c.kind == Command::UnitOn || c.kind == Command::UnitOff || c.kind == Command::UnitDim) {
            EXPECT_EQ(got.unit, c.unit) << c.text;
        }
        if (c.kind == Command::UnitDim) {
            EXPECT_EQ(got.level, c.level) << c.text;
        }
    }
    // A house letter is kept as written; a letter that names no house is refused.
    EXPECT_EQ(commands::parse("housecodechangep").text, "p");
    EXPECT_EQ(commands::parse("housecodechangex").kind, Command::Ignored);
    EXPECT_EQ(commands::unitText("7di05"), "7");
    EXPECT_EQ(commands::unitText("12di05"), "12");
    EXPECT_EQ(commands::unitText("12on"), "12");
    EXPECT_EQ(commands::unitText("on"), "");
    EXPECT_EQ(commands::unitText("n"), "");
}

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
    QStringList frames(int count) {
        testenv::pumpUntil([&] { return sim->framedOnly().size() >= count; }, 5000);
        testenv::pump(30);
        QStringList out;
        for (const auto& f : sim->framedOnly()) out << hex(f.bytes);
        return out;
    }
    veldrin::sim::TwoWaySim* sim = nullptr;
    QList<QStringList> runs;
};

TEST_F(Commands, UnitOnAndOffActLikeClicks) {
    loadTwoWay();
    Form1& w = *window;
    EXPECT_TRUE(w.ProcessCommand("3on"));
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kGreen);
    EXPECT_EQ(w.service().pad().selectedUnit(), 3);
    EXPECT_TRUE(w.Slider1->isVisible());
    EXPECT_EQ(w.Slider1->value(), 10);
    w.ProcessCommand("3of");
    EXPECT_EQ(w.Label1[2]->foreColor(), ui::kBlack);
    EXPECT_EQ(w.service().pad().selectedUnit(), 0);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(frames(4), QStringList({"04 62", "06 62", "04 62", "06 63"}));
    EXPECT_EQ(w.lstEvents->count(), 0);
}

TEST_F(Commands, DimRunsTheHandlingExactlyOnce) {
    loadTwoWay();
    Form1& w = *window;
    // Unit 12 selected and handled once, slider at 9.
    w.ProcessCommand("12on");
    w.Slider1->setValue(9);
    ASSERT_EQ(w.service().pad().selectedUnit(), 12);
    frames(4);
    sim->clearRecords();

    // The position changes: the slider's own handling dims unit 12 once.
    w.ProcessCommand("12di04");
    EXPECT_EQ(w.service().pad().selectedUnit(), 12);
    EXPECT_EQ(w.Slider1->value(), 4);
    QStringList f = frames(2);
    ASSERT_EQ(f.size(), 2);
    EXPECT_EQ(f[0], "04 6B");                                 // A12
    EXPECT_TRUE(f[1].endsWith(" 64")) << f[1].toStdString();  // DIM

    // Same position, another unit: only the explicit step runs (DIM 0).
    sim->clearRecords();
    w.ProcessCommand("5di04");
    EXPECT_EQ(w.service().pad().selectedUnit(), 5);
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 64"}));
}

TEST_F(Commands, HouseCodeStripAndWords) {
    loadTwoWay();
    Form1& w = *window;
    w.ProcessCommand("housecodechangeD");
    EXPECT_EQ(w.service().houseCode(), "D");
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: D) - 0");
    EXPECT_EQ(logTexts(), QStringList{"House Code Changed to D"});
    EXPECT_EQ(startup("HouseCode"), "<absent>");  // saved only at exit
    w.ProcessCommand("housecodechangeA");

    w.ProcessCommand("allo");
    w.ProcessCommand("allf");
    w.ProcessCommand("alluf");
    EXPECT_EQ(frames(3), QStringList({"06 61", "06 60", "06 66"}));

    // A letter that names no house is refused; a lower-case house is kept as written.
    EXPECT_FALSE(w.ProcessCommand("housecodechangex"));
    EXPECT_EQ(w.service().houseCode(), "A");
    EXPECT_TRUE(w.ProcessCommand("housecodechangep"));
    EXPECT_EQ(w.service().houseCode(), "p");
}

TEST_F(Commands, IgnoredAndMalformedCommandsLeaveNoTrace) {
    loadTwoWay();
    Form1& w = *window;
    const QString title = w.windowTitle();
    for (const char* c : {"ALLO", "Exit", "coff", "5off", "EXIT\n", "housecodechange", "on", "xxon",
                          "99on", "5di99", "di05", "", "0of", "17on", "n", "5di-1", "5di11",
                          "housecodechangeQ", "housecodechange1"})
        EXPECT_FALSE(w.ProcessCommand(QString::fromLatin1(c))) << c;
    EXPECT_TRUE(frames(0).isEmpty());
    EXPECT_EQ(w.lstEvents->count(), 0);
    EXPECT_EQ(w.service().pad().selectedUnit(), 0);
    EXPECT_EQ(w.service().houseCode(), "A");
    EXPECT_EQ(w.windowTitle(), title);
    EXPECT_FALSE(w.Slider1->isVisible());
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(runs.isEmpty());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(Commands, ShutdownAbortAndExit) {
    loadTwoWay();
    Form1& w = *window;
    w.ProcessCommand("COFF");
    w.ProcessCommand("ABORT");
    EXPECT_EQ(runs, (QList<QStringList>{
                        {"shutdown", "-P", "+3",
                         "Windows Shutdown Initiated by an Corvex Client - To Abort, Please "
                         "choose the Abort Shutdown Computer option"},
                        {"shutdown", "-c"}}));
    EXPECT_EQ(logTexts(), QStringList({"Computer Shutdown Aborted by an Corvex Client",
                                       "Computer Shutdown Initiated by an Corvex Client"}));

    w.ProcessCommand("housecodechangeF");
    w.ProcessCommand("EXIT");
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(startup("HouseCode"), "F");
    EXPECT_EQ(startup("ComPort"), "1");
}

TEST_F(Commands, AShutdownThatCouldNotStartIsAnErrorNotInitiated) {
    loadTwoWay();
    platform::setCommandRunner([](const QString&, const QStringList&) { return false; });
    EXPECT_FALSE(window->ProcessCommand("COFF"));
    EXPECT_EQ(window->commandError(), "Computer Shutdown could not be Started");
    EXPECT_FALSE(window->ProcessCommand("ABORT"));
    EXPECT_EQ(window->commandError(), "Computer Shutdown could not be Aborted");
    EXPECT_FALSE(window->ProcessCommand("5off"));
    EXPECT_EQ(window->commandError(), "");  // fits no form: no reason beyond that
    EXPECT_EQ(logTexts(), QStringList({"ERROR: Computer Shutdown could not be Aborted",
                                       "ERROR: Computer Shutdown could not be Started"}));
}

TEST_F(Commands, AllUnitsWordsWithTheCp290) {
    auto& cp = cp290On(1);
    setStartup("Interface", "True");
    Form1& w = load();
    cp.clearRecords();
    // The CP290 cannot send ALL LIGHTS OFF: the word is refused and says why.
    EXPECT_FALSE(w.ProcessCommand("alluf"));
    EXPECT_EQ(w.commandError(), "The CP290 Cannot Send ALL LIGHTS OFF: Command Not Sent");
    EXPECT_TRUE(w.ProcessCommand("allo"));
    QList<QByteArray> direct;
    for (const auto& f : cp.frames())
        if (f.kind == veldrin::sim::Cp290Sim::Kind::Direct) direct << f.bytes;
    ASSERT_EQ(direct.size(), 1);
    EXPECT_EQ(direct[0].mid(16, 5), QByteArray::fromHex("01 01 60 00 40"));  // unit 2
}

TEST(Privileges, SetAndResetFollowThePermittedSet) {
    clsNTPrivileges p;
    EXPECT_FALSE(p.SetPrivilege("SeDebugPrivilege"));
    EXPECT_EQ(p.previousState().capability, -1);  // untouched
    p.ResetPrivilege();                           // on a fresh instance: nothing

    const bool permitted = platform::capabilityPermitted(CAP_SYS_BOOT);
    const bool before = platform::capabilityEffective(CAP_SYS_BOOT);
    EXPECT_EQ(p.SetPrivilege(clsNTPrivileges::SE_SHUTDOWN_NAME), permitted);
    EXPECT_EQ(p.previousState().capability, CAP_SYS_BOOT);
    EXPECT_EQ(p.previousState().effective, before);
    if (permitted) {
        EXPECT_TRUE(platform::capabilityEffective(CAP_SYS_BOOT));
    }
    p.ResetPrivilege();
    EXPECT_EQ(platform::capabilityEffective(CAP_SYS_BOOT), before);
}

TEST(Privileges, OutsideThePermittedSetGivesFalse) {
    // In a child that gives the capability up for good.
    const pid_t child = ::fork();
    if (child == 0) {
        cap_t caps = cap_get_proc();
        const cap_value_t boot[1] = {CAP_SYS_BOOT};
        cap_set_flag(caps, CAP_PERMITTED, 1, boot, CAP_CLEAR);
        cap_set_flag(caps, CAP_EFFECTIVE, 1, boot, CAP_CLEAR);
        if (cap_set_proc(caps) != 0) ::_exit(2);
        cap_free(caps);
        clsNTPrivileges p;
        const bool a = p.SetPrivilege("SeShutdownPrivilege");
        const bool b = p.SetPrivilege("SeRemoteShutdownPrivilege");
        ::_exit(!a && !b ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Privileges, RemoteComputersAreNotSupported) {
    QList<QStringList> runs;
    platform::setCommandRunner([&](const QString& p, const QStringList& a) {
        runs << (QStringList{p} + a);
        return true;
    });
    clsNTPrivileges p;
    p.ShutDown("otherhost", "bye", 60, false, true);
    p.AbortShutDown("otherhost");
    EXPECT_TRUE(runs.isEmpty());
    p.ShutDown("", "bye", 61, false, true);
    EXPECT_EQ(runs, (QList<QStringList>{{"shutdown", "-r", "+2", "bye"}}));
    platform::setCommandRunner({});
}

}  // namespace
