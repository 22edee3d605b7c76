// The runner of the schedule against a command path that records what it is
// given: files it must not read, clock jumps either way, and the log of a
// firing that fans out. The clock (platform::Clock) is set by the tests and
// the time base runs fast; every wait is for a condition.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "schedulerunner.h"
#include "state/statetable.h"
#include "testenv.h"
#include "timebase.h"
#include "zonescope.h"

namespace {

class RecordingPath : public CommandPath {
  public:
    Verdict switchUnit(state::Address a, bool on, state::Source) override {
        sent << a.text() + (on ? QStringLiteral(" ON") : QStringLiteral(" OFF"));
        return {};
    }
    Verdict setBrightness(state::Address a, int percent, state::Source) override {
        sent << QStringLiteral("%1 %2%").arg(a.text()).arg(percent);
        return {};
    }
    Verdict stepLevel(state::Address a, int function, int percent, state::Source) override {
        sent << QStringLiteral("%1 %2 %3%").arg(a.text(), x10::functionName(function)).arg(percent);
        return {};
    }
    Verdict houseFunction(int house, int function, state::Source) override {
        sent << QStringLiteral("house %1 function %2").arg(house).arg(function);
        return {};
    }
    Verdict sliderDim(state::Address, int, int, state::Source) override { return {}; }
    bool interfaceReady() const override { return ready; }

    bool ready = true;
    QStringList sent;
};

class ScheduleRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // What an earlier test's runner saw is no run before this one.
        QFile::remove(core::ScheduleRunner::seenFilePath());
        platform::TimeBase::global().setScale(200);
        platform::Clock::global().setFixed(at(14, 0, 30));
        QObject::connect(&log, &core::EventLog::eventLine,
                         [this](const QString& l) { lines << l; });
        QObject::connect(&runner, &core::ScheduleRunner::fired,
                         [this](int line) { fired.push_back(line); });
    }
    void TearDown() override {
        platform::Clock::global().reset();
        platform::TimeBase::global().setScale(1);
    }
    static QDateTime at(int h, int m, int s = 0) {
        return QDateTime(QDate(2026, 3, 4), QTime(h, m, s));
    }
    void write(const QString& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
    }
    QString dump() const { return lines.join('\n'); }

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("schedule"));
    RecordingPath commands;
    state::StateTable states;
    core::EventLog log;
    core::ScheduleRunner runner{commands, states, log};
    QStringList lines;
    std::vector<int> fired;
};

TEST_F(ScheduleRunnerTest, AFifoOrAHugeFileIsRefusedUnreadAndTheScheduleBeforeItRuns) {
    write(QStringLiteral("at 14:05 daily A5 ON\n"));
    ASSERT_TRUE(runner.load(path));
    // A FIFO without a writer: refused at once, not waited on.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_FALSE(runner.reload());
    EXPECT_TRUE(lines.last().endsWith(path + QStringLiteral(": not a regular file")))
        << dump().toStdString();
    // 3 GB of holes: refused by its size, the limit named, nothing read.
    ASSERT_TRUE(QFile::remove(path));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(3) << 30));
    }
    EXPECT_FALSE(runner.reload());
    EXPECT_TRUE(lines.last().endsWith(
        QStringLiteral("larger than 4 MiB, the most a schedule file may hold")))
        << dump().toStdString();
    ASSERT_EQ(runner.current().timed.size(), 1u);
    EXPECT_EQ(runner.current().timed[0].action, QStringLiteral("A5 ON"));
}

// A module taken out of [Modules] leaves the lines that name it running, with
// one warning per address. A refused file at start runs nothing and says so,
// keeps the names of its scenes and says why they do not run; once a
// schedule runs, a refused file leaves it in force and says that instead.
TEST_F(ScheduleRunnerTest, AnUnlistedModuleRunsAndARefusedFileSaysWhetherAnythingRuns) {
    testenv::writeSettings(QStringLiteral("[Modules]\nA5=lamp,Porch\n"));
    write(QStringLiteral("at 14:01 daily B1 ON\nscene evening: B1 OFF; A5 ON; B1 ON\n"));
    ASSERT_TRUE(runner.load(path));
    EXPECT_EQ(
        lines.filter(QStringLiteral("module list")),
        QStringList{QStringLiteral("WARNING: Schedule %1: line 1: B1 is not in the module list")
                        .arg(path)});
    EXPECT_TRUE(runner.refusal().isEmpty());
    platform::Clock::global().setFixed(at(14, 1));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 1; })) << dump().toStdString();
    EXPECT_EQ(commands.sent, QStringList{"B1 ON"});
    EXPECT_TRUE(runner.runScene(QStringLiteral("evening")));
    ASSERT_TRUE(testenv::pumpUntil([&] { return commands.sent.size() == 4; }));

    // A refused file while a schedule runs: the one before stays in force, and
    // the scenes of both are named.
    lines.clear();
    write(QStringLiteral("scene night: A5 OFF\nat 25:00 daily A5 ON\n"));
    EXPECT_FALSE(runner.reload());
    EXPECT_TRUE(lines.value(0).startsWith(
        QStringLiteral(
            "ERROR: Schedule %1 refused, the schedule before it stays in force: line 2: ")
            .arg(path)))
        << dump().toStdString();
    EXPECT_TRUE(runner.refusal().isEmpty());
    EXPECT_EQ(runner.sceneNames(), QStringList({"evening", "night"}));
    QString why;
    EXPECT_FALSE(runner.runScene(QStringLiteral("night"), &why));
    EXPECT_TRUE(why.endsWith(QStringLiteral("the schedule in force has no such scene")))
        << why.toStdString();

    // The same file at start: nothing runs, and every line says so.
    core::ScheduleRunner fresh{commands, states, log};
    int reads = 0;
    QObject::connect(&fresh, &core::ScheduleRunner::reloaded, [&] { ++reads; });
    lines.clear();
    EXPECT_FALSE(fresh.load(path));
    EXPECT_EQ(reads, 1);  // the front ends hear of it
    ASSERT_EQ(lines.size(), 1) << dump().toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("ERROR: Schedule %1 refused, no schedule runs: %2")
                            .arg(path, fresh.refusal()));
    EXPECT_TRUE(fresh.refusal().startsWith(QStringLiteral("line 2: ")));
    EXPECT_EQ(fresh.sceneNames(), QStringList{"night"});
    EXPECT_FALSE(fresh.runScene(QStringLiteral("night"), &why));
    EXPECT_EQ(why, QStringLiteral("the schedule file was refused (%1); no schedule runs")
                       .arg(fresh.refusal()));
    EXPECT_FALSE(fresh.runScene(QStringLiteral("other"), &why));
    EXPECT_EQ(why, QStringLiteral("no such scene"));
    // Fixed: it runs.
    write(QStringLiteral("scene night: A5 OFF\n"));
    EXPECT_TRUE(fresh.reload());
    EXPECT_TRUE(fresh.refusal().isEmpty());
    EXPECT_TRUE(fresh.runScene(QStringLiteral("night")));
    testenv::writeSettings({});
}

// A file rewritten in place (truncated, then written in two parts a moment
// apart) is read once, whole: no empty schedule, no half of one.
TEST_F(ScheduleRunnerTest, AFileWrittenInTwoHalvesIsReadOnceWhole) {
    write("at 14:05 daily A5 ON\n");
    ASSERT_TRUE(runner.load(path));
    int reads = 0;
    QObject::connect(&runner, &core::ScheduleRunner::reloaded, [&] { ++reads; });
    // Slow time: the quiet wait lasts seconds, the moment between the parts
    // a tenth of it.
    platform::TimeBase::global().setScale(0.1);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    testenv::pump(400);
    f.write("at 14:10 daily A6 ON\nat 14:");
    testenv::pump(400);
    f.write("20 daily A7 ON\n");
    f.close();
    ASSERT_TRUE(testenv::pumpUntil([&] { return reads > 0; }, 60000)) << dump().toStdString();
    testenv::pump(400);
    EXPECT_EQ(reads, 1) << dump().toStdString();
    ASSERT_EQ(runner.current().timed.size(), 2u);
    EXPECT_EQ(runner.current().timed[1].action, "A7 ON");
}

TEST_F(ScheduleRunnerTest, AJumpForwardFiresRecentEntriesOnceAndOnlyTheLastCommandOfAModule) {
    write(
        QStringLiteral("at 13:56 daily A5 ON\n"  // long past after the jump: skipped
                       "at 14:58 daily A5 ON\n"
                       "at 14:59 daily A5 OFF\n"
                       "at 15:00 daily A5 ON; A6 ON; A5 DIM 40%\n"
                       "at 15:01 daily A5 OFF\n"
                       "at 14:59 daily A7 ON\n"));
    platform::Clock::global().setFixed(at(13, 55, 30));
    ASSERT_TRUE(runner.load(path));
    platform::Clock::global().setFixed(at(15, 2, 30));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() >= 5; })) << dump().toStdString();
    EXPECT_EQ(fired, (std::vector<int>{2, 3, 6, 4, 5}));
    EXPECT_EQ(commands.sent, QStringList({"A7 ON", "A6 ON", "A5 OFF"}));
    EXPECT_TRUE(lines.contains(
        "Schedule line 1: A5 ON skipped: its time 2026-03-04 13:56 passed 66 minutes ago"))
        << dump().toStdString();
    EXPECT_TRUE(
        lines.contains("Schedule line 2: A5 ON not sent: line 3 was due with it and "
                       "sets A5 after it"))
        << dump().toStdString();
}

TEST_F(ScheduleRunnerTest, AJumpBackRepeatsNothingAndTheNextEntryFires) {
    write(QStringLiteral("at 14:01 daily A1 ON\nat 14:03 daily A2 ON\nat 14:06 daily A3 ON\n"));
    ASSERT_TRUE(runner.load(path));
    platform::Clock::global().setFixed(at(14, 1));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 1; }));
    platform::Clock::global().setFixed(at(14, 3));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 2; }));
    // Set back three minutes: the runner notices it and says so.
    platform::Clock::global().setFixed(at(14, 0, 30));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !lines.filter("set back").isEmpty(); }))
        << dump().toStdString();
    EXPECT_EQ(lines.filter("set back").front(),
              "Schedule: the clock was set back from 2026-03-04 14:03 to 2026-03-04 14:00; "
              "entries up to 2026-03-04 14:03 ran already and do not run again");
    EXPECT_EQ(runner.upcoming(1).at(0).at, at(14, 6));
    // The clock passes 14:01 and 14:03 again; they do not fire twice, 14:06 fires.
    platform::Clock::global().setFixed(at(14, 6));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() >= 3; }));
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(commands.sent, QStringList({"A1 ON", "A2 ON", "A3 ON"}));
}

// A clock that ran years ahead and was then corrected: the schedule runs
// from the corrected time instead of waiting years for the old one.
TEST_F(ScheduleRunnerTest, AClockCorrectedFromYearsAheadRunsTheScheduleFromNow) {
    write(QStringLiteral("at 14:01 daily A1 ON\n"));
    platform::Clock::global().setFixed(at(14, 0).addYears(3));
    ASSERT_TRUE(runner.load(path));
    platform::Clock::global().setFixed(at(14, 0, 30));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !lines.filter("more than a day").isEmpty(); }))
        << dump().toStdString();
    platform::Clock::global().setFixed(at(14, 1));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 1; })) << dump().toStdString();
    EXPECT_EQ(commands.sent, QStringList({"A1 ON"}));
}

TEST_F(ScheduleRunnerTest, TheLinesOfOneFiringAreThrottled) {
    QString steps = QStringLiteral("A1 ON");
    for (int i = 1; i < 200; ++i) steps += QStringLiteral("; A%1 ON").arg(i % 16 + 1);
    write(QStringLiteral("at 14:01 daily %1\n").arg(steps));
    ASSERT_TRUE(runner.load(path));
    commands.ready = false;
    platform::Clock::global().setFixed(at(14, 1));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !lines.filter("199 times").isEmpty(); }))
        << dump().toStdString();
    const QStringList notSent = lines.filter("not sent");
    ASSERT_EQ(notSent.size(), 2) << dump().toStdString();
    EXPECT_EQ(notSent[0], "Schedule line 1: A1 ON not sent: the interface is not available");
    EXPECT_EQ(notSent[1],
              "Schedule line 1: A8 ON not sent: the interface is not available "
              "(199 times in the last second)");
}

// A random window open while the file is read again, before and after the
// entry fired, and the clock set back: one draw, one firing that day.
TEST_F(ScheduleRunnerTest, ReloadsAndASetBackInARandomWindowFireTheEntryOnce) {
    write(QStringLiteral("at 14:15 ~15m daily A5 ON\nat 14:31 daily A6 ON\n"));
    platform::Clock::global().setFixed(at(13, 40));
    ASSERT_TRUE(runner.load(path));
    const QDateTime drawn = runner.upcoming(1).at(0).at;
    platform::Clock::global().setFixed(drawn.addSecs(-300));
    ASSERT_TRUE(runner.reload(true));
    EXPECT_EQ(runner.upcoming(1).at(0).at, drawn);
    platform::Clock::global().setFixed(drawn);
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() == 1; }));
    platform::Clock::global().setFixed(drawn.addSecs(30));
    ASSERT_TRUE(runner.reload(true));
    platform::Clock::global().setFixed(drawn.addSecs(-15 * 60));
    ASSERT_TRUE(runner.reload(true));
    platform::Clock::global().setFixed(at(14, 31));
    ASSERT_TRUE(testenv::pumpUntil([&] { return fired.size() >= 2; }));
    testenv::pump(200);
    EXPECT_EQ(fired, (std::vector<int>{1, 2})) << dump().toStdString();
}

// A restart at 12:02: what passed since the run before is due; the time 7
// minutes past is skipped with its line, the one 2 minutes past fires once.
TEST_F(ScheduleRunnerTest, EntriesMissedWhileStoppedAreLoggedOrFiredOnceAtStart) {
    write(QStringLiteral("at 11:55 daily A1 ON\nat 12:00 daily A2 ON\nat 12:10 daily A3 ON\n"));
    platform::Clock::global().setFixed(at(11, 50));
    {
        core::ScheduleRunner before{commands, states, log};
        ASSERT_TRUE(before.load(path));
    }
    platform::Clock::global().setFixed(at(12, 2, 30));
    ASSERT_TRUE(runner.load(path));
    ASSERT_TRUE(testenv::pumpUntil([&] { return !fired.empty(); })) << dump().toStdString();
    testenv::pump(200);
    EXPECT_EQ(fired, std::vector<int>{2});
    EXPECT_EQ(commands.sent, QStringList{"A2 ON"});
    EXPECT_TRUE(lines.contains(
        "Schedule line 1: A1 ON skipped: its time 2026-03-04 11:55 passed 7 minutes ago"))
        << dump().toStdString();
    // Started again a moment later: nothing is due twice.
    core::ScheduleRunner again{commands, states, log};
    std::vector<int> firedAgain;
    QObject::connect(&again, &core::ScheduleRunner::fired,
                     [&](int line) { firedAgain.push_back(line); });
    platform::Clock::global().setFixed(at(12, 3));
    ASSERT_TRUE(again.load(path));
    testenv::pump(200);
    EXPECT_TRUE(firedAgain.empty());
}

// The autumn night 02:00-03:00 comes twice: "at 02:30" fires at the first
// 02:30 (summer time) only, across a reload and a restart in the second one.
TEST_F(ScheduleRunnerTest, TheRepeatedHourFiresOnceAcrossAReloadAndARestart) {
    ZoneScope zone("Europe/Berlin");
    const auto utc = [](int h, int m) {
        return QDateTime(QDate(2026, 10, 25), QTime(h, m), Qt::UTC).toLocalTime();
    };
    write(QStringLiteral("at 02:30 daily A5 ON\nat 03:00 daily A6 ON\n"));
    std::vector<int> all;
    {
        core::ScheduleRunner first{commands, states, log};
        QObject::connect(&first, &core::ScheduleRunner::fired, [&](int l) { all.push_back(l); });
        platform::Clock::global().setFixed(utc(0, 29));  // 02:29 summer time
        ASSERT_TRUE(first.load(path));
        platform::Clock::global().setFixed(utc(0, 30));
        ASSERT_TRUE(testenv::pumpUntil([&] { return all.size() == 1; }));
        platform::Clock::global().setFixed(utc(1, 29));  // 02:29 again, winter time
        ASSERT_TRUE(first.reload(true));
        platform::Clock::global().setFixed(utc(1, 31));
        testenv::pump(200);
    }
    core::ScheduleRunner second{commands, states, log};
    QObject::connect(&second, &core::ScheduleRunner::fired, [&](int l) { all.push_back(l); });
    platform::Clock::global().setFixed(utc(1, 25));
    ASSERT_TRUE(second.load(path));
    platform::Clock::global().setFixed(utc(2, 0));  // 03:00 winter time
    ASSERT_TRUE(testenv::pumpUntil([&] { return all.size() >= 2; })) << dump().toStdString();
    testenv::pump(200);
    EXPECT_EQ(all, (std::vector<int>{1, 2})) << dump().toStdString();
}

}  // namespace
