// core::Service under QCoreApplication, against the emulators on
// pseudo-terminals: the command words and the bytes they send, the state
// table following what the interface confirmed or heard, and the remote
// listener on the service over a real socket. No window anywhere.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <optional>

#include "clock.h"
#include "clsntprivileges.h"
#include "commandpath.h"
#include "commandwords.h"
#include "cp290sim.h"
#include "eventlog.h"
#include "interface.h"
#include "pad.h"
#include "privileges.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "service.h"
#include "serviceremote.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

using commands::Command;
using sim::Cp290Sim;
using sim::hex;
using sim::TwoWaySim;
using state::Address;
using state::Power;
using state::Source;

constexpr double kScale = 20;

QByteArray fileText(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Address at(const char* text) {
    return *Address::parse(QString::fromLatin1(text));
}

class ServiceTest : public ::testing::Test {
  protected:
    // COM1 names a link in a private folder (as /dev/serial/by-id does), so
    // that an unplugged emulator's device number is never opened again.
    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 3, 27)));
        QFile::remove(state::StateTable::defaultPath());
        platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");
        ASSERT_TRUE(dir.isValid());
        link = dir.path() + "/adapter";
        platform::SaveSetting("veldrin", "Ports", "COM1", link);
        platform::setCommandRunner([this](const QString& p, const QStringList& a) {
            runs << (QStringList{p} + a);
            return true;
        });
    }
    void TearDown() override {
        service.reset();
        QFile::remove(core::scheduleFilePath());
        QFile::remove(core::ScheduleRunner::stateFilePath());
        platform::setCommandRunner({});
        platform::Clock::global().reset();
        platform::TimeBase::global().setScale(1);
    }

    template <class Sim>
    Sim& plugIn(std::unique_ptr<Sim>& sim) {
        sim = std::make_unique<Sim>();
        sim->setTimeScale(kScale);
        EXPECT_TRUE(sim->start());
        QFile::remove(link);
        EXPECT_TRUE(QFile::link(sim->devicePath(), link));
        return *sim;
    }

    // Builds, loads and starts the service; the start-up lines are dropped.
    core::Service& make(bool cp290 = false) {
        core::ServiceSettings s;
        s.cp290 = cp290;
        service = std::make_unique<core::Service>(s);
        QObject::connect(&service->log(), &core::EventLog::eventLine,
                         [this](const QString& t) { lines << t; });
        QObject::connect(&service->log(), &core::EventLog::clientLine,
                         [this](const QString& t) { clientLines << t; });
        QObject::connect(service.get(), &core::Service::exitRequested, [this] { ++exits; });
        service->load();
        service->start();
        lines.clear();
        if (twoWay) twoWay->clearRecords();
        if (cp290Sim) cp290Sim->clearRecords();
        return *service;
    }
    core::Service& makeTwoWay() {
        plugIn(twoWay);
        core::Service& s = make();
        // A first contact that a loaded machine made too slow is tried again
        // by the supervisor.
        EXPECT_TRUE(testenv::pumpUntil([&] { return s.commands().interfaceReady(); }));
        return s;
    }

    // The frames the two-way emulator received, once there are count of them.
    QStringList frames(int count) {
        testenv::pumpUntil([&] { return twoWay->framedOnly().size() >= count; });
        testenv::pump(30);
        QStringList out;
        for (const auto& f : twoWay->framedOnly()) out << hex(f.bytes);
        return out;
    }
    QList<QByteArray> cp290Direct() const {
        QList<QByteArray> out;
        for (const auto& f : cp290Sim->frames())
            if (f.kind == Cp290Sim::Kind::Direct) out << f.bytes;
        return out;
    }
    const state::ModuleState& of(const char* a) { return service->states().state(at(a)); }
    bool done(const QString& word) { return service->runWord(word).done; }

    QTemporaryDir dir;
    QString link;
    std::unique_ptr<TwoWaySim> twoWay;
    std::unique_ptr<Cp290Sim> cp290Sim;
    std::unique_ptr<core::Service> service;
    QStringList lines;  // event-log lines, oldest first
    QStringList clientLines;
    QList<QStringList> runs;
    int exits = 0;
};

}  // namespace

// ---- The command words ----

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
             {"scheduleon", Command::ScheduleOn, 0, 0},  // not a unit word ending "on"
             {"scheduleoff", Command::ScheduleOff, 0, 0},
             {"SCHEDULEON", Command::Ignored, 0, 0},
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
        const Command got = commands::parseWord(QString::fromLatin1(c.text));
        EXPECT_EQ(got.kind, c.kind) << '"' << c.text << '"';
        if (c.kind == Command::UnitOn || c.kind == Command::UnitOff || c.kind == Command::UnitDim) {
            EXPECT_EQ(got.unit, c.unit) << c.text;
        }
        if (c.kind == Command::UnitDim) {
            EXPECT_EQ(got.level, c.level) << c.text;
        }
    }
    // A house letter is kept as written; a letter that names no house is refused.
    EXPECT_EQ(commands::parseWord("housecodechangep").text, "p");
    EXPECT_EQ(commands::parseWord("housecodechangex").kind, Command::Ignored);
    EXPECT_EQ(commands::unitText("7di05"), "7");
    EXPECT_EQ(commands::unitText("12di05"), "12");
    EXPECT_EQ(commands::unitText("12on"), "12");
    EXPECT_EQ(commands::unitText("on"), "");
    EXPECT_EQ(commands::unitText("n"), "");
}

TEST_F(ServiceTest, UnitWordsSendOnAndOffAndMoveThePad) {
    core::Service& s = makeTwoWay();
    EXPECT_TRUE(done("3on"));
    EXPECT_EQ(s.pad().selectedUnit(), 3);
    EXPECT_TRUE(s.pad().sliderShown());
    EXPECT_EQ(s.pad().level(), 10);
    EXPECT_TRUE(done("3of"));
    EXPECT_EQ(s.pad().selectedUnit(), 0);
    EXPECT_FALSE(s.pad().sliderShown());
    EXPECT_EQ(frames(4), QStringList({"04 62", "06 62", "04 62", "06 63"}));
    EXPECT_TRUE(lines.isEmpty()) << lines.join('\n').toStdString();
}

// Module kinds are the core's to check, for every word: a sensor takes no
// command, an appliance no dim; the answer says why and nothing is sent.
TEST_F(ServiceTest, WordsToModulesThatDoNotTakeThemAreRefusedWithTheReason) {
    platform::SaveSetting("veldrin", "Modules", "A3", "motion");
    platform::SaveSetting("veldrin", "Modules", "A2", "appliance");
    core::Service& s = makeTwoWay();
    // An appliance switched on with the slider elsewhere: the ON alone.
    ASSERT_TRUE(done("5di05"));
    EXPECT_TRUE(done("2on"));
    EXPECT_EQ(frames(4), QStringList({"04 61", "5E 64", "04 6E", "06 62"}));
    const struct {
        const char* word;
        const char* reason;
    } refused[] = {
        {"3on", "A3 is a motion sensor and takes no commands"},
        {"3of", "A3 is a motion sensor and takes no commands"},
        {"2di05", "A2 is an appliance module and does not dim"},
    };
    for (const auto& r : refused) {
        const core::Service::WordResult w = s.runWord(r.word);
        EXPECT_FALSE(w.done) << r.word;
        EXPECT_EQ(w.reason, r.reason) << r.word;
    }
    testenv::pump(100);
    EXPECT_EQ(twoWay->framedOnly().size(), 4);
    for (const char* line : {"Remote command not sent: A3 is a motion sensor and takes no commands",
                             "Remote command not sent: A2 is an appliance module and does not dim"})
        EXPECT_TRUE(lines.contains(line)) << lines.join('\n').toStdString();
}

// A level asked for is rounded to the line's steps; the verdict's id is
// confirmed once the line took it, and a level the lamp has already sends
// nothing.
TEST_F(ServiceTest, ALevelGoesOutInWholeStepsAndTheTableShowsWhatTheLampReaches) {
    core::Service& s = makeTwoWay();
    std::vector<quint64> confirmed;
    QObject::connect(&s.commands(), &CommandPath::confirmed,
                     [&](quint64 id) { confirmed.push_back(id); });
    const CommandPath::Verdict v = s.commands().setBrightness(at("A5"), 40, Source::Web);
    ASSERT_TRUE(v.accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return !confirmed.empty(); }));
    EXPECT_EQ(confirmed, std::vector<quint64>{v.id});
    EXPECT_EQ(of("A5").level, 41);
    EXPECT_EQ(twoWay->moduleState('A', 5).brightness, 41);
    const CommandPath::Verdict same = s.commands().setBrightness(at("A5"), 42, Source::Web);
    EXPECT_TRUE(same.accepted());
    EXPECT_EQ(same.id, 0u);
    ASSERT_TRUE(testenv::pumpUntil([&] { return lines.filter("Web: A5 BRIGHTNESS").size() == 2; }))
        << lines.join('\n').toStdString();
}

// A BRIGHT to a lamp at full brightness cannot change it: nothing is sent.
TEST_F(ServiceTest, ABrightAtFullBrightnessSendsNothing) {
    core::Service& s = makeTwoWay();
    ASSERT_TRUE(s.commands().switchUnit(at("A5"), true, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").level == 100; }));
    const CommandPath::Verdict v = s.commands().stepLevel(at("A5"), x10::Bright, 10, Source::Web);
    EXPECT_TRUE(v.accepted());
    EXPECT_EQ(v.id, 0u);
    testenv::pump(50);
    EXPECT_EQ(twoWay->framedOnly().size(), 2);
}

TEST_F(ServiceTest, DimWordsRunTheDimStepExactlyOnce) {
    core::Service& s = makeTwoWay();
    // Unit 12 selected and handled once, the slider at 9.
    done("12on");
    s.pad().moveSlider(9, Source::Click);
    ASSERT_EQ(s.pad().selectedUnit(), 12);
    frames(4);
    twoWay->clearRecords();

    // The level changes: unit 12 is dimmed once.
    EXPECT_TRUE(done("12di04"));
    EXPECT_EQ(s.pad().selectedUnit(), 12);
    EXPECT_EQ(s.pad().level(), 4);
    QStringList f = frames(2);
    ASSERT_EQ(f.size(), 2);
    EXPECT_EQ(f[0], "04 6B");                                 // A12
    EXPECT_TRUE(f[1].endsWith(" 64")) << f[1].toStdString();  // DIM

    // Same level, another unit: only the explicit step runs (DIM 0).
    twoWay->clearRecords();
    EXPECT_TRUE(done("5di04"));
    EXPECT_EQ(s.pad().selectedUnit(), 5);
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 64"}));
}

// Input the path cannot carry is refused, never counted as accepted.
TEST_F(ServiceTest, InvalidStepsAndHouseCommandsAreRefused) {
    core::Service& s = makeTwoWay();
    EXPECT_FALSE(s.commands().stepLevel(at("A5"), x10::On, 10, Source::Web).accepted());
    EXPECT_FALSE(s.commands().houseFunction(17, x10::AllUnitsOff, Source::Web).accepted());
    EXPECT_FALSE(s.commands().houseFunction(1, x10::Dim, Source::Web).accepted());
}

TEST_F(ServiceTest, HouseCodeAndAllUnitsWords) {
    core::Service& s = makeTwoWay();
    QStringList announced;
    QObject::connect(&s, &core::Service::houseCodeChanged,
                     [&](const QString& c) { announced << c; });
    EXPECT_TRUE(done("housecodechangeD"));
    EXPECT_EQ(s.houseCode(), "D");
    EXPECT_EQ(announced, QStringList{"D"});
    EXPECT_EQ(lines, QStringList{"House Code Changed to D"});
    // Saved only when the front end saves.
    EXPECT_EQ(platform::GetSetting("veldrin", "Startup", "HouseCode", "<absent>"), "<absent>");
    done("housecodechangeA");

    EXPECT_TRUE(done("allo"));
    EXPECT_TRUE(done("allf"));
    EXPECT_TRUE(done("alluf"));
    EXPECT_EQ(frames(3), QStringList({"06 61", "06 60", "06 66"}));

    // A letter that names no house is refused; a lower-case house is kept as written.
    EXPECT_FALSE(done("housecodechangex"));
    EXPECT_EQ(s.houseCode(), "A");
    EXPECT_TRUE(done("housecodechangep"));
    EXPECT_EQ(s.houseCode(), "p");
    s.save();
    EXPECT_EQ(platform::GetSetting("veldrin", "Startup", "HouseCode", "<absent>"), "p");
}

TEST_F(ServiceTest, IgnoredAndMalformedWordsLeaveNoTrace) {
    core::Service& s = makeTwoWay();
    for (const char* c : {"ALLO", "Exit", "coff", "5off", "EXIT\n", "housecodechange", "on", "xxon",
                          "99on", "5di99", "di05", "", "0of", "17on", "n", "5di-1", "5di11",
                          "housecodechangeQ", "housecodechange1"}) {
        const core::Service::WordResult r = s.runWord(QString::fromLatin1(c));
        EXPECT_FALSE(r.done) << c;
        EXPECT_EQ(r.reason, "") << c;
    }
    EXPECT_TRUE(frames(0).isEmpty());
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_EQ(s.pad().selectedUnit(), 0);
    EXPECT_EQ(s.houseCode(), "A");
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(runs.isEmpty());
}

TEST_F(ServiceTest, ShutdownAbortAndExit) {
    core::Service& s = makeTwoWay();
    EXPECT_TRUE(done("COFF"));
    EXPECT_TRUE(done("ABORT"));
    EXPECT_EQ(runs, (QList<QStringList>{
                        {"shutdown", "-P", "+3",
                         "Windows Shutdown Initiated by an Corvex Client - To Abort, Please "
                         "choose the Abort Shutdown Computer option"},
                        {"shutdown", "-c"}}));
    EXPECT_EQ(lines, QStringList({"Computer Shutdown Initiated by an Corvex Client",
                                  "Computer Shutdown Aborted by an Corvex Client"}));
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(done("EXIT"));
    EXPECT_EQ(exits, 1);

    // A shutdown that could not start is an error, not "initiated".
    lines.clear();
    platform::setCommandRunner([](const QString&, const QStringList&) { return false; });
    core::Service::WordResult r = s.runWord("COFF");
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.reason, "Computer Shutdown could not be Started");
    r = s.runWord("ABORT");
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.reason, "Computer Shutdown could not be Aborted");
    EXPECT_EQ(lines, QStringList({"ERROR: Computer Shutdown could not be Started",
                                  "ERROR: Computer Shutdown could not be Aborted"}));
}

// The real runner waits for the shutdown command's exit status: a stand-in
// on PATH that fails makes "COFF" and "ABORT" errors with its reason, one that
// succeeds keeps the design's lines.
TEST_F(ServiceTest, ShutdownAnswersWithTheCommandsExitStatus) {
    core::Service& s = makeTwoWay();
    platform::setCommandRunner({});
    const QString standIn = dir.path() + "/shutdown";
    const auto writeStandIn = [&](const QByteArray& body) {
        QFile f(standIn);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("#!/bin/sh\n" + body);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    };
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path()) + ":" + path);

    writeStandIn("echo 'Scheduling' ; echo 'Access denied' >&2 ; exit 1\n");
    core::Service::WordResult r = s.runWord("COFF");
    EXPECT_FALSE(r.done);
    EXPECT_EQ(
        r.reason,
        "Computer Shutdown could not be Started: shutdown ended with status 1: Access denied");
    r = s.runWord("ABORT");
    EXPECT_FALSE(r.done);
    EXPECT_EQ(
        r.reason,
        "Computer Shutdown could not be Aborted: shutdown ended with status 1: Access denied");
    writeStandIn("kill -9 $$\n");
    EXPECT_EQ(s.runWord("COFF").reason,
              "Computer Shutdown could not be Started: shutdown ended abnormally");
    writeStandIn("touch \"$0.ran\"\n");
    EXPECT_TRUE(done("COFF"));
    EXPECT_TRUE(QFile::exists(standIn + ".ran"));

    qputenv("PATH", path);
    EXPECT_EQ(lines, QStringList({"ERROR: Computer Shutdown could not be Started: shutdown ended "
                                  "with status 1: Access denied",
                                  "ERROR: Computer Shutdown could not be Aborted: shutdown ended "
                                  "with status 1: Access denied",
                                  "ERROR: Computer Shutdown could not be Started: shutdown ended "
                                  "abnormally",
                                  "Computer Shutdown Initiated by an Corvex Client"}));
}

TEST_F(ServiceTest, AllUnitsWordsWithTheCp290) {
    plugIn(cp290Sim);
    core::Service& s = make(true);
    // The CP290 cannot send ALL LIGHTS OFF: the word is refused and says why.
    const core::Service::WordResult r = s.runWord("alluf");
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.reason, "The CP290 Cannot Send ALL LIGHTS OFF: Command Not Sent");
    EXPECT_TRUE(done("allo"));
    const QList<QByteArray> direct = cp290Direct();
    ASSERT_EQ(direct.size(), 1);
    EXPECT_EQ(direct[0].mid(16, 5), QByteArray::fromHex("01 01 60 00 40"));  // unit 2
}

// A word inside the CP290's first detection is refused: the interface has not
// answered yet, so it is not available; once it has, the next word goes out.
TEST_F(ServiceTest, AWordDuringTheCp290DetectionIsNotCarriedOutAndSaysWhy) {
    plugIn(cp290Sim).setReplyDelayMs(2000);
    core::ServiceSettings settings;
    settings.cp290 = true;
    service = std::make_unique<core::Service>(settings);
    std::optional<core::Service::WordResult> during;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!during && !cp290Sim->frames().isEmpty()) during = service->runWord("4of");
    });
    poll.start();
    service->load();
    service->start();
    poll.stop();
    ASSERT_TRUE(during.has_value());
    EXPECT_FALSE(during->done);
    EXPECT_EQ(during->reason, "Interface not available");
    testenv::pump(50);
    EXPECT_TRUE(cp290Direct().isEmpty());
    const core::Service::WordResult next = service->runWord("4of");
    EXPECT_TRUE(next.done);
    EXPECT_EQ(next.reason, "");
}

// A low level on the CP290 is its lowest level, on; not level 0.
TEST_F(ServiceTest, ALowLevelWithTheCp290TurnsTheLampOn) {
    plugIn(cp290Sim);
    core::Service& s = make(true);
    ASSERT_TRUE(s.commands().setBrightness(at("A5"), 3, Source::Web).accepted());
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_EQ(of("A5").level, 10);
}

// ---- The state table ----

TEST_F(ServiceTest, HeardTrafficMovesTheStateAndIsLogged) {
    core::Service& s = makeTwoWay();
    twoWay->injectUpload(*TwoWaySim::buildUpload("A5 A ON"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_EQ(of("A5").source, Source::Powerline);
    EXPECT_EQ(lines.last(), "Received A5 ON");

    twoWay->injectUpload(*TwoWaySim::buildUpload("A5 A DIM 30"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").level < 100; }));
    EXPECT_NEAR(of("A5").level, 70, 2);  // the line carries whole dim steps
    EXPECT_TRUE(lines.last().startsWith("Received A5 DIM ")) << lines.last().toStdString();

    twoWay->injectUpload(*TwoWaySim::buildUpload("A ALL UNITS OFF"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::Off; }));
    EXPECT_EQ(lines.last(), "Received A ALL UNITS OFF");

    twoWay->injectMacro(0x01, 0x2F);
    ASSERT_TRUE(testenv::pumpUntil([&] { return lines.last() == "Received macro 12F"; }));

    // The state file holds what was heard, for the next start.
    s.save();
    state::StateTable reread;
    reread.load(state::StateTable::defaultPath());
    EXPECT_EQ(reread.state(at("A5")).power, Power::Off);
}

TEST_F(ServiceTest, ConfirmedCommandsMoveTheStateAndGivenUpOnesDoNot) {
    core::Service& s = makeTwoWay();
    // A click: the state moves once the interface confirmed it.
    s.pad().unitOn(3, Source::Click);
    EXPECT_EQ(of("A3").power, Power::Unknown);
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A3").power == Power::On; }));
    EXPECT_EQ(of("A3").source, Source::Click);

    // Any house through the command path; a level from unknown goes on at
    // full brightness first and dims from there, queued commands counted.
    s.commands().setBrightness(at("C7"), 40, Source::Mqtt);
    s.commands().setBrightness(at("C7"), 50, Source::Mqtt);
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("C7").level == 50; }));
    EXPECT_EQ(of("C7").source, Source::Mqtt);
    const QStringList f = frames(0);
    // C7 ON, C7 DIM 60 (13 steps), C7 BRIGHT 10 (2 steps).
    EXPECT_EQ(f.mid(f.size() - 6),
              QStringList({"04 25", "06 22", "04 25", "6E 24", "04 25", "16 25"}));

    // A remote word is tagged as such.
    EXPECT_TRUE(done("10on"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A10").power == Power::On; }));
    EXPECT_EQ(of("A10").source, Source::Remote);

    // Every attempt fails: the state stays and one line says so.
    twoWay->failChecksums(1000);
    QString reason;
    QObject::connect(&s.commands(), &CommandPath::givenUp,
                     [&](quint64, const QString& why) { reason = why; });
    s.commands().switchUnit(at("A3"), false, Source::Mqtt);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return !lines.isEmpty() && lines.last().startsWith("ERROR: Command Not Confirmed"); },
        10000));
    EXPECT_EQ(lines.last(), "ERROR: Command Not Confirmed by the Interface, Given Up: A3 OFF");
    // The outcome carries the engine's reason, not a fixed text.
    EXPECT_TRUE(reason.contains("attempts")) << reason.toStdString();
    EXPECT_EQ(of("A3").power, Power::On);
    EXPECT_EQ(of("A3").source, Source::Click);
}

TEST_F(ServiceTest, TheCp290ReplyByteMovesTheState) {
    plugIn(cp290Sim);
    core::Service& s = make(true);
    s.pad().unitOn(2, Source::Click);  // on; level 10 is not sent (the slider is at 10)
    EXPECT_EQ(of("A2").power, Power::On);
    EXPECT_EQ(of("A2").source, Source::Click);
    s.commands().setBrightness(at("A2"), 30, Source::Mqtt);
    EXPECT_EQ(of("A2").level, 30);

    // No reply: the state stays.
    cp290Sim->setDirectReply(QByteArray());
    s.commands().switchUnit(at("A2"), false, Source::Mqtt);
    EXPECT_EQ(of("A2").power, Power::On);
    EXPECT_TRUE(testenv::pumpUntil([&] {
        return !lines.isEmpty() && lines.last().startsWith("ERROR: Command Not Confirmed");
    }));
}

// ---- The remote listener on the service ----

TEST_F(ServiceTest, RemoteClientSwitchesQueriesAndHearsWhenTheInterfaceIsLost) {
    core::Service& s = makeTwoWay();
    s.setPassword("pw");
    remote::ServiceRemote listener(s);
    ASSERT_TRUE(listener.listen());
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, listener.server().port());
    ASSERT_TRUE(testenv::pumpUntil([&] { return c.state() == QAbstractSocket::ConnectedState; }));
    const auto exchange = [&c](const QByteArray& line) {
        c.write(line);
        testenv::pumpUntil([&] { return c.canReadLine(); });
        return c.canReadLine() ? c.readLine().trimmed() : QByteArray();
    };
    ASSERT_EQ(exchange("pw\r\n"), "OK");

    EXPECT_EQ(exchange("5on\r\n"), "OK");
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    EXPECT_TRUE(clientLines.join('\n').contains("5on")) << clientLines.join('\n').toStdString();
    EXPECT_FALSE(clientLines.join('\n').contains("pw")) << "the password must never be logged";
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_EQ(exchange("?state A5\n"), "A5 ON 100");
    EXPECT_EQ(exchange(""), "OK");

    // Unplugged: the word is refused with the reason, nothing pretends.
    twoWay->unplug();
    QFile::remove(link);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return !lines.filter("ERROR: Pandrel Interface Lost on Com: 1 - ").isEmpty(); }));
    EXPECT_EQ(exchange("6on\r\n"), "ERROR Interface not available");
    EXPECT_EQ(of("A6").power, Power::Unknown);
}

// ---- The files of the service ----

// Each file the service writes (the states, the house code of the run, the
// schedule switch) is replaced whole or not at all: a size limit (as a full
// disk) or too many open files leave the old file as it was; a link, a FIFO
// or a folder at its path is left alone. Each failure is logged with why,
// and no temporary file stays behind.
TEST_F(ServiceTest, FilesOfTheServiceAreWrittenWholeOrNotAtAll) {
    const QString folder = QFileInfo(state::StateTable::defaultPath()).path();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString runtime = core::Service::runtimeChangesPath();
    QFile::remove(runtime);
    service = std::make_unique<core::Service>(core::ServiceSettings{});
    core::Service& s = *service;
    QObject::connect(&s.log(), &core::EventLog::eventLine,
                     [this](const QString& t) { lines << t; });
    s.keepChangesIn(runtime);
    s.load();
    int round = 0;
    const struct {
        QString path;
        QString line;  // the error line, up to the path
        std::function<void()> write;
    } kWriters[] = {
        {state::StateTable::defaultPath(), "ERROR: Could not Save the State File ",
         [&] {
             s.states().setLevel(at("A5"), round % 90 + 1, Source::Click);
             s.states().flush();
         }},
        {runtime, "ERROR: Could not Save the House Code to ",
         [&] { s.setHouseCode(round % 2 ? "B" : "C"); }},
        {core::ScheduleRunner::stateFilePath(), "ERROR: Could not Write ",
         [&] { s.schedule().setEnabled(!s.schedule().enabled()); }},
    };
    const QString elsewhere = dir.path() + "/elsewhere";
    auto limited = [](int resource, rlim_t to, const std::function<void()>& f) {
        rlimit old = {};
        getrlimit(resource, &old);
        rlimit low = old;
        low.rlim_cur = to;
        setrlimit(resource, &low);
        f();
        setrlimit(resource, &old);
    };
    ::signal(SIGXFSZ, SIG_IGN);
    const struct {
        const char* name;
        const char* reason;
        std::function<void(const QString& path, const std::function<void()>& write)> run;
        std::function<bool(const QString& path)> stays;  // what was at the path is still there
    } kFaults[] = {
        {"size limit", "File too large",
         [&](const QString&, const auto& write) { limited(RLIMIT_FSIZE, 2, write); }, nullptr},
        {"descriptors", "Too many open files",
         [&](const QString&, const auto& write) { limited(RLIMIT_NOFILE, 3, write); }, nullptr},
        {"link", "it is a symbolic link",
         [&](const QString& path, const auto& write) {
             QFile::remove(path);
             QFile::link(elsewhere, path);
             write();
         },
         [&](const QString& path) {
             return QFileInfo(path).isSymLink() && fileText(elsewhere) == "precious";
         }},
        {"fifo", "it is a FIFO",
         [&](const QString& path, const auto& write) {
             QFile::remove(path);
             ::mkfifo(QFile::encodeName(path).constData(), 0600);
             write();
         },
         [](const QString& path) {
             struct stat st = {};
             return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
         }},
        {"folder", "Is a directory",
         [&](const QString& path, const auto& write) {
             QFile::remove(path);
             QDir().mkdir(path);
             write();
         },
         [](const QString& path) { return QFileInfo(path).isDir(); }},
    };
    for (const auto& fault : kFaults) {
        for (const auto& w : kWriters) {
            SCOPED_TRACE(std::string(fault.name) + " at " + w.path.toStdString());
            QFile f(elsewhere);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("precious");
            f.close();
            ++round;
            w.write();  // a good save first: the failure after it is logged
            const QByteArray before = fileText(w.path);
            ASSERT_FALSE(before.isEmpty());
            const QStringList files = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden);
            lines.clear();
            ++round;
            fault.run(w.path, w.write);
            EXPECT_TRUE(lines.contains(w.line + w.path + ": " + fault.reason))
                << lines.join('\n').toStdString();
            if (fault.stays) {
                EXPECT_TRUE(fault.stays(w.path));
                if (QFileInfo(w.path).isDir())
                    QDir().rmdir(w.path);
                else
                    QFile::remove(w.path);
            } else {
                EXPECT_EQ(fileText(w.path), before);
                EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden), files);
            }
        }
    }

    // Reading them at the next start does not wait on a FIFO either.
    service.reset();
    for (const auto& w : kWriters) {
        QFile::remove(w.path);
        ASSERT_EQ(::mkfifo(QFile::encodeName(w.path).constData(), 0600), 0);
    }
    lines.clear();
    core::Service again{core::ServiceSettings{}};
    QObject::connect(&again.log(), &core::EventLog::eventLine,
                     [this](const QString& t) { lines << t; });
    again.keepChangesIn(runtime);
    again.load();
    for (const auto& w : kWriters) {
        EXPECT_EQ(lines.filter(w.path + ": not a regular file").size(), 1) << w.path.toStdString();
        QFile::remove(w.path);
    }
}

// runtime.conf is checked like the settings: a house code that names no
// house is refused with a line, and the settings' house code applies.
TEST_F(ServiceTest, AHouseCodeThatNamesNoHouseInTheRuntimeFileIsRefused) {
    const QString runtime = dir.path() + "/runtime.conf";
    for (const char* code : {"<b>x</b>", "AB", ""}) {
        SCOPED_TRACE(code);
        QFile f(runtime);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray("[Startup]\nHouseCode=") + code + "\nConfiguredHouseCode=D\n");
        f.close();
        core::ServiceSettings settings;
        settings.houseCode = "D";
        core::Service s(settings);
        QStringList got;
        QObject::connect(&s.log(), &core::EventLog::eventLine,
                         [&got](const QString& t) { got << t; });
        s.keepChangesIn(runtime);
        EXPECT_EQ(s.houseCode(), "D");
        EXPECT_EQ(got, QStringList{"ERROR: The House Code in " + runtime +
                                   " is not a Letter A to P; the House Code of the Settings File "
                                   "Applies"});
    }
}

// A line of the settings file that cannot be read may have held the TLS
// keys: the listener then does not start in clear text on the network.
TEST_F(ServiceTest, AnUnreadableLineKeepsTheListenerFromClearTextOnTheNetwork) {
    core::Service& s = make();
    testenv::writeSettings(
        "[Startup]\nListenPort=0\nListenAddress=0.0.0.0\nTLSKey /etc/veldrin/key.pem\n");
    remote::ServiceRemote listener(s);
    EXPECT_FALSE(listener.listen());
    EXPECT_EQ(lines.last(),
              "Remote control not started: line 4 of the settings file could not be read and may "
              "have held the TLS keys; without TLS on 0.0.0.0 the password and the commands "
              "would cross the network in clear text");
    testenv::writeSettings("[Startup]\nListenPort=0\nListenAddress=127.0.0.1\nTLSKey\n");
    EXPECT_TRUE(listener.listen());
}

// ---- Privileges ----

// ---- The schedule ----

void writeSchedule(const QString& text) {
    QFile f(core::scheduleFilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
}

TEST_F(ServiceTest, ScheduleFiresScenesStepByStepAndRestartsThem) {
    writeSchedule(
        "at 14:05 daily scene morning\n"
        "scene morning: A5 ON; wait 10s; A6 ON\n"
        "when A1 ON heard: scene morning\n");
    core::Service& s = makeTwoWay();
    ASSERT_EQ(s.schedule().upcoming(1).at(0).at, QDateTime(QDate(2024, 3, 5), QTime(14, 5)));
    // The time comes; the runner wakes within a minute and fires on time.
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 5)));
    EXPECT_EQ(frames(2), QStringList({"04 61", "06 62"}));
    EXPECT_TRUE(lines.contains("Schedule line 1: scene morning")) << lines.join('\n').toStdString();
    // Heard from a wall switch during the wait: the scene starts over, so A6
    // comes once, after the second A5.
    twoWay->injectUpload(*TwoWaySim::buildUpload("A1 A ON"));
    EXPECT_EQ(frames(6), QStringList({"04 61", "06 62", "04 61", "06 62", "04 69", "06 62"}));
    testenv::pump(400);
    EXPECT_EQ(twoWay->framedOnly().size(), 6);
    EXPECT_TRUE(lines.contains("Schedule line 3: scene morning"));
    // The program's own commands are never heard as triggers.
    EXPECT_TRUE(done("1on"));
    testenv::pump(200);
    EXPECT_EQ(lines.filter("Schedule line 3").size(), 1) << lines.join('\n').toStdString();
}

// A scene's DIM on a lamp that is off: the lamp comes on at full and dims by
// half, and the table agrees with it.
TEST_F(ServiceTest, ASceneDimOnALampThatIsOffEndsAtItsLevel) {
    writeSchedule("at 14:05 daily scene dusk\nscene dusk: A6 DIM 50%\n");
    core::Service& s = makeTwoWay();
    ASSERT_TRUE(done("6of"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A6").power == Power::Off; }));
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 5)));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A6").power == Power::On; }));
    EXPECT_EQ(of("A6").level, 50);
    EXPECT_EQ(twoWay->moduleState('A', 6).brightness, 50);
    EXPECT_EQ(lines.filter("Schedule: A6 DIM 50%").size(), 1) << lines.join('\n').toStdString();
    (void)s;
}

TEST_F(ServiceTest, ScheduleTriggerRunsAProgramAndEndsItWhenItHangs) {
    writeSchedule(
        "when A2 ON heard: run /bin/sh -c \"echo $VELDRIN_ADDRESS $VELDRIN_FUNCTION >&2 && exec "
        "sleep 600\"\n"
        "when A3 ON heard: run /bin/sh -c \"exit 3\"\n");
    core::Service& s = makeTwoWay();
    std::vector<std::pair<int, int>> ended;
    QObject::connect(&s.schedule(), &core::ScheduleRunner::programEnded,
                     [&](int line, int status) { ended.emplace_back(line, status); });
    twoWay->injectUpload(*TwoWaySim::buildUpload("A3 A ON"));
    twoWay->injectUpload(*TwoWaySim::buildUpload("A2 A ON"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return ended.size() == 2; }, 20000))
        << lines.join('\n').toStdString();
    EXPECT_EQ(ended, (std::vector<std::pair<int, int>>{{2, 3}, {1, -1}}));
    EXPECT_TRUE(lines.contains("Schedule line 2: /bin/sh ended with exit status 3"));
    EXPECT_TRUE(lines.contains("Schedule line 1: /bin/sh still runs after 60 s, ended"));
    EXPECT_TRUE(lines.contains("Schedule line 1: /bin/sh ended by a signal: A2 ON"))
        << lines.join('\n').toStdString();
}

TEST_F(ServiceTest, ScheduleTriggerOnAHeardDimWithOrWithoutItsAmount) {
    writeSchedule(
        "when A1 DIM heard: B1 ON\n"
        "when A1 DIM 40% heard: B2 ON\n");
    core::Service& s = makeTwoWay();
    std::vector<int> fired;
    QObject::connect(&s.schedule(), &core::ScheduleRunner::fired,
                     [&](int line) { fired.push_back(line); });
    twoWay->injectUpload(*TwoWaySim::buildUpload("A1 A DIM 40"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 2; }));
    twoWay->injectUpload(*TwoWaySim::buildUpload("A1 A DIM 70"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 3; }));
    testenv::pump(300);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 1}));
    EXPECT_TRUE(lines.contains("Schedule line 2: B2 ON")) << lines.join('\n').toStdString();
}

TEST_F(ServiceTest, ScheduleSkipsAMissedTimeAndKeepsItsScheduleOverABadReload) {
    writeSchedule("at 14:05 daily A5 ON\n");
    core::Service& s = makeTwoWay();
    // Asleep past the time: skipped, never fired late.
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 12)));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !lines.filter("skipped").isEmpty(); }));
    EXPECT_EQ(lines.filter("skipped").front(),
              "Schedule line 1: A5 ON skipped: its time 2024-03-05 14:05 passed 7 minutes ago");
    EXPECT_TRUE(twoWay->framedOnly().isEmpty());
    EXPECT_EQ(s.schedule().upcoming(1).at(0).at, QDateTime(QDate(2024, 3, 6), QTime(14, 5)));

    // A change with an error is refused whole; the schedule before it runs on.
    writeSchedule("at 14:30 daily A6 ON\nat 14:40 Mnd A5 ON\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return !lines.filter("refused").isEmpty(); }));
    EXPECT_TRUE(lines.filter("refused").front().endsWith("line 2: unknown day 'Mnd'"));
    EXPECT_EQ(s.schedule().upcoming(1).at(0).line, 1);
    EXPECT_EQ(s.schedule().current().timed.at(0).action, "A5 ON");
    writeSchedule("at 14:30 daily A6 ON\n");
    ASSERT_TRUE(
        testenv::pumpUntil([&] { return s.schedule().current().timed.at(0).action == "A6 ON"; }));
    EXPECT_EQ(s.schedule().upcoming(1).at(0).at, QDateTime(QDate(2024, 3, 5), QTime(14, 30)));
}

TEST_F(ServiceTest, ScheduleSwitchedOffStaysOffOverARestartAndListsItsFirings) {
    writeSchedule("at 14:05 daily A5 ON\nat 14:04 Mon-Fri A6 OFF\n");
    core::Service* s = &makeTwoWay();
    const QStringList listed = s->schedule().queryLines();
    ASSERT_EQ(listed.size(), 21);
    EXPECT_EQ(listed.at(0), "SCHEDULE ON " + core::scheduleFilePath());
    EXPECT_EQ(listed.at(1), "2024-03-05 14:04 line 2: A6 OFF");
    EXPECT_EQ(listed.at(2), "2024-03-05 14:05 line 1: A5 ON");
    EXPECT_EQ(listed.at(20), "2024-03-15 14:05 line 1: A5 ON");  // no A6 at the weekend
    EXPECT_TRUE(done("scheduleoff"));
    EXPECT_TRUE(s->schedule().queryLines().at(0).startsWith("SCHEDULE OFF "));

    // A restart keeps it off; nothing fires at its time.
    service.reset();
    twoWay->clearRecords();
    s = &make();
    EXPECT_FALSE(s->schedule().enabled());
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 5)));
    testenv::pump(300);
    EXPECT_TRUE(twoWay->framedOnly().isEmpty());

    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 6), QTime(14, 3, 59)));
    EXPECT_TRUE(done("scheduleon"));
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 6), QTime(14, 4)));
    EXPECT_EQ(frames(2), QStringList({"04 69", "06 63"}));
    EXPECT_TRUE(lines.contains("Schedule line 2: A6 OFF"));
    // The state file says where the change came from.
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A6").power == Power::Off; }));
    s->save();
    state::StateTable reread;
    reread.load(state::StateTable::defaultPath());
    EXPECT_EQ(reread.state(at("A6")).power, Power::Off);
    EXPECT_EQ(reread.state(at("A6")).source, Source::Schedule);
}

// Two settings files make two instances: the module states, the house code a
// remote word set and the schedule switch of one never reach the other, and
// each finds its own again after a restart.
TEST_F(ServiceTest, EachSettingsFileKeepsItsOwnStatesHouseCodeAndScheduleSwitch) {
    const QString other = dir.path() + "/other.conf";
    QFile f(other);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Startup]\nListenPort=0\n[Ports]\nCOM1=" + QFile::encodeName(link) + "\n");
    f.close();
    plugIn(twoWay);
    // As the daemon runs: the house code of a remote word goes to runtime.conf.
    const auto restart = [&](const QString& settings) {
        if (service) service->save();
        service.reset();
        platform::setSettingsFileOverride(settings);
        service = std::make_unique<core::Service>(core::ServiceSettings{});
        service->keepChangesIn(core::Service::runtimeChangesPath());
        service->load();
        service->start();
        EXPECT_TRUE(testenv::pumpUntil([&] { return service->commands().interfaceReady(); }));
        return service.get();
    };

    core::Service* s = restart({});
    EXPECT_TRUE(done("5on"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A5").power == Power::On; }));
    EXPECT_TRUE(done("housecodechangeB"));
    EXPECT_TRUE(done("scheduleoff"));

    s = restart(other);
    EXPECT_EQ(of("A5").power, Power::Unknown);
    EXPECT_EQ(s->houseCode(), "A");
    EXPECT_TRUE(s->schedule().enabled());
    EXPECT_TRUE(done("7on"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return of("A7").power == Power::On; }));
    EXPECT_TRUE(done("housecodechangeC"));

    s = restart({});
    EXPECT_EQ(of("A5").power, Power::On);
    EXPECT_EQ(of("A7").power, Power::Unknown);
    EXPECT_EQ(s->houseCode(), "B");
    EXPECT_FALSE(s->schedule().enabled());

    s = restart(other);
    EXPECT_EQ(of("A5").power, Power::Unknown);
    EXPECT_EQ(of("A7").power, Power::On);
    EXPECT_EQ(s->houseCode(), "C");
    EXPECT_TRUE(s->schedule().enabled());

    service.reset();
    for (const QString& settings : {other, QString()}) {
        platform::setSettingsFileOverride(settings);
        QFile::remove(state::StateTable::defaultPath());
        QFile::remove(core::Service::runtimeChangesPath());
        QFile::remove(core::ScheduleRunner::stateFilePath());
    }
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
