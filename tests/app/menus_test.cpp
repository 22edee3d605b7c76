// Settings menus: house code, COM port, interface for the next start.
#include <QAction>

#include "appfixture.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "optionsmenu.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "twips.h"

namespace {

class Menus : public AppTest {};

TEST_F(Menus, HouseCodeAnswers) {
    mapPort(1, "/nonexistent/tty");
    Form1& w = load();
    struct Case {
        const char* answer;
        const char* code;  // house code afterwards
        bool error;
    };
    for (const Case& c : std::initializer_list<Case>{{"c", "C", false},
                                                     {"Q", "C", true},
                                                     {"1", "C", true},
                                                     {"@", "C", true},
                                                     {"", "C", false},  // cancelled
                                                     {"ab", "AB", false},
                                                     {"p", "P", false}}) {
        dialogs.messages.clear();
        dialogs.asked.clear();
        w.lstEvents->clear();
        dialogs.answers = QStringList{QString::fromLatin1(c.answer)};
        w.menu->mnuCHC->trigger();
        SCOPED_TRACE(c.answer);
        ASSERT_EQ(dialogs.asked.size(), 1);
        EXPECT_EQ(dialogs.asked[0].prompt, "Enter New Housecode (A-P): ");
        EXPECT_EQ(dialogs.asked[0].title, "Change X-10 Housecode");
        EXPECT_EQ(window->service().houseCode(), c.code);
        EXPECT_EQ(w.windowTitle(), QStringLiteral("Veldrin Pro (HouseCode: %1) - 0").arg(c.code));
        if (c.error) {
            ASSERT_EQ(dialogs.messages.size(), 1);
            EXPECT_EQ(dialogs.messages[0].text, "You Must Enter a Valid Housecode (A-P)");
            EXPECT_EQ(dialogs.messages[0].title, "Error");
            EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Critical);
            EXPECT_EQ(w.lstEvents->count(), 0);
        } else {
            EXPECT_TRUE(dialogs.messages.isEmpty());
            if (*c.answer)
                EXPECT_EQ(logTexts(),
                          QStringList{QStringLiteral("House Code Changed to ") + c.code});
            else
                EXPECT_EQ(w.lstEvents->count(), 0);
        }
    }
}

TEST_F(Menus, PortAnswersOutsideOneToThreeAreRefused) {
    mapPort(1, "/nonexistent/tty");
    Form1& w = load();
    for (const char* answer : {"4", "0", "3.2", "x", "-1", "99999"}) {
        SCOPED_TRACE(answer);
        dialogs.messages.clear();
        w.lstEvents->clear();
        dialogs.answers = QStringList{QString::fromLatin1(answer)};
        w.menu->mnuComCh->trigger();
        ASSERT_EQ(dialogs.messages.size(), 1);
        EXPECT_EQ(dialogs.messages[0].text, "You Must Enter a Valid Com Port Number (1, 2, or 3)");
        EXPECT_EQ(dialogs.messages[0].title, "Error");
        EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Critical);
        EXPECT_EQ(window->service().comPort(), 1);
        EXPECT_EQ(w.lstEvents->count(), 0);
    }
    dialogs.messages.clear();
    dialogs.answers.clear();  // cancelled
    w.menu->mnuComCh->trigger();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(dialogs.asked.last().prompt, "Enter New Com Port Number: ");
    EXPECT_EQ(dialogs.asked.last().title, "Change Communications Port");
}

TEST_F(Menus, PortChangeContactsTheTwoWayInterfaceAgain) {
    mapPort(1, "/nonexistent/tty");
    auto& sim = twoWayOn(2);
    Form1& w = load();
    ASSERT_EQ(w.Label3->backColor(), ui::kRed);
    w.lstEvents->clear();
    // "2.5" rounds half to even: port 2.
    dialogs.answers = QStringList{"2.5"};
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(window->service().comPort(), 2);
    EXPECT_EQ(w.controlcm1->comport(), 2);
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_EQ(logTexts(), QStringList{"Changed Server Com Port to:  Com: 2"});
    EXPECT_FALSE(sim.statusRequests().isEmpty());

    // The same port again: the control releases it first, so it is found again.
    sim.clearRecords();
    dialogs.answers = QStringList{"2abc"};
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_FALSE(sim.statusRequests().isEmpty());

    // A port where nothing answers: red, and the port is kept.
    dialogs.answers = QStringList{"3"};
    mapPort(3, "/nonexistent/tty");
    w.lstEvents->clear();
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(window->service().comPort(), 3);
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_EQ(logTexts(), QStringList{"Changed Server Com Port to:  Com: 3"});
}

TEST_F(Menus, PortChangeWithTheCp290RunsOnlyItsDetection) {
    auto& sim = cp290On(2);
    mapPort(1, "/nonexistent/tty");
    setStartup("Interface", "True");
    Form1& w = load();
    ASSERT_EQ(w.Label3->backColor(), ui::kRed);
    w.lstEvents->clear();
    dialogs.messages.clear();
    dialogs.answers = QStringList{"1.5"};  // half to even: port 2
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(window->service().comPort(), 2);
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    ASSERT_FALSE(sim.frames().isEmpty());
    EXPECT_EQ(sim.frames().first().kind, sim::Cp290Sim::Kind::StatusRequest);
    EXPECT_FALSE(sim.received().contains(char(0x8B)));
    EXPECT_EQ(logTexts().first(), "Changed Server Com Port to:  Com: 2");

    sim.setSilent(true);
    w.lstEvents->clear();
    dialogs.answers = QStringList{"2"};
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_EQ(logTexts().first(), "Changed Server Com Port to:  Com: 2");
    EXPECT_TRUE(logTexts().contains("ERROR: CP290 Interface Not Found on Com: 2"));
}

TEST_F(Menus, InterfaceChoiceIsSavedAtOnceForTheNextStart) {
    mapPort(1, "/nonexistent/tty");
    Form1& w = load();
    for (int i = 0; i < 2; ++i) {
        w.menu->mnuIntCP290->trigger();
        EXPECT_TRUE(w.menu->mnuIntCP290->isChecked());
        EXPECT_FALSE(w.menu->mnuIntPandrel->isChecked());
        EXPECT_EQ(startup("Interface"), "True");
    }
    ASSERT_EQ(dialogs.messages.size(), 2);
    for (const ShownMessage& m : dialogs.messages) {
        EXPECT_EQ(m.text, "You will need to ReStart this Veldrin for the changes to take effect.");
        EXPECT_EQ(m.title, "Veldrin");
        EXPECT_EQ(m.icon, platform::MsgIcon::None);
    }
    EXPECT_EQ(window->service().interface().kind(),
              core::Interface::Kind::TwoWay);  // this run keeps its interface

    w.menu->mnuIntPandrel->trigger();
    EXPECT_FALSE(w.menu->mnuIntCP290->isChecked());
    EXPECT_TRUE(w.menu->mnuIntPandrel->isChecked());
    EXPECT_EQ(startup("Interface"), "False");
    EXPECT_EQ(dialogs.messages.size(), 3);
}

TEST_F(Menus, ScheduleEntryTogglesFollowsARemoteWordAndListsTheFile) {
    mapPort(1, "/nonexistent/tty");
    QFile::remove(core::ScheduleRunner::stateFilePath());
    const QString path = core::scheduleFilePath();
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("at 14:05 daily A5 ON\n");
    }
    struct Cleanup {
        QString path;
        ~Cleanup() {
            QFile::remove(path);
            QFile::remove(core::ScheduleRunner::stateFilePath());
        }
    } cleanup{path};
    Form1& w = load();
    core::ScheduleRunner& schedule = window->service().schedule();
    QAction* run = w.menu->mnuSchedRun;
    ASSERT_TRUE(run->isCheckable());
    EXPECT_TRUE(run->isChecked());

    run->trigger();
    EXPECT_FALSE(schedule.enabled());
    EXPECT_FALSE(run->isChecked());
    run->trigger();
    EXPECT_TRUE(schedule.enabled());
    EXPECT_TRUE(run->isChecked());

    // A remote word switches it off; the entry follows.
    EXPECT_TRUE(window->service().runWord("scheduleoff").done);
    EXPECT_FALSE(run->isChecked());

    dialogs.messages.clear();
    w.menu->mnuSchedShow->trigger();
    ASSERT_EQ(dialogs.messages.size(), 1);
    const QStringList shown = dialogs.messages[0].text.split('\n');
    EXPECT_EQ(shown, schedule.queryLines());
    ASSERT_EQ(shown.size(), 21);
    EXPECT_EQ(shown[0], "SCHEDULE OFF " + path);
    EXPECT_EQ(shown[1], "2024-03-05 14:05 line 1: A5 ON");

    // A start with the schedule off shows the entry unchecked.
    window.reset();
    EXPECT_FALSE(load().menu->mnuSchedRun->isChecked());
}

}  // namespace
