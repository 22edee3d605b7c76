// The schedule file and its planner: what is refused (with the line), and when
// entries fire, in a zone with clock changes and at places with known sun
// tables. The planner is asked with explicit times; nothing waits.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <ctime>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

#include "planner.h"
#include "schedule.h"
#include "schedulesource.h"
#include "settingsstore.h"
#include "startoptions.h"
#include "zonescope.h"

namespace {

using schedule::Location;
using schedule::ParseOptions;
using schedule::parseText;
using schedule::Planner;

QDateTime local(const char* text) {
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString fmt(const QDateTime& t) {
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm ddd"))
                       : QStringLiteral("none");
}

TEST(ScheduleParse, TheDocumentedFormIsAccepted) {
    const char* text = R"(# the porch and the coffee
at 18:30            Mon-Fri        A5 ON
at sunset +30m      daily          A5 OFF
at sunrise -15m     Sat,Sun        A1 A2 DIM 40%
at 22:00 ~20m       daily          A ALL LIGHTS OFF      # random
at 07:00            Dec 1-Jan 6    scene morning
scene morning:      A5 ON; wait 10s; A6 DIM 50%; B1 ON
when A1 ON heard:   B3 ON; B4 ON
when A2 ON heard:   run /usr/local/bin/doorbell A2 "two words"
at 06:45 Mon,Wed-Fri A5 BRIGHT 20%; A ALL UNITS OFF
)";
    ParseOptions o;
    o.hasLocation = true;
    const auto r = parseText(QString::fromLatin1(text), o);
    ASSERT_TRUE(r.ok()) << r.errors.join('\n').toStdString();
    ASSERT_EQ(r.schedule.timed.size(), 6u);
    ASSERT_EQ(r.schedule.triggers.size(), 2u);
    const auto& s = r.schedule;
    EXPECT_EQ(s.timed[0].line, 2);
    EXPECT_EQ(s.timed[0].days.weekdays, 0x1Fu);
    EXPECT_EQ(s.timed[1].offsetMinutes, 30);
    EXPECT_EQ(s.timed[2].offsetMinutes, -15);
    EXPECT_EQ(s.timed[2].steps[0].command.addresses.size(), 2u);
    EXPECT_EQ(s.timed[2].steps[0].command.amount, 40);
    EXPECT_EQ(s.timed[3].randomMinutes, 20);
    EXPECT_EQ(s.timed[3].action, QStringLiteral("A ALL LIGHTS OFF"));
    EXPECT_TRUE(s.timed[4].days.hasRange);
    EXPECT_EQ(s.timed[5].days.weekdays, 0x1Du);
    const auto& morning = s.scenes.at(QStringLiteral("morning"));
    ASSERT_EQ(morning.steps.size(), 4u);
    EXPECT_EQ(morning.steps[1].waitMs, 10000);
    EXPECT_EQ(s.triggers[1].steps[0].argv,
              QStringList({"/usr/local/bin/doorbell", "A2", "two words"}));
    EXPECT_TRUE(s.triggers[0].matches(1, {3, 1}, x10::On));
    EXPECT_FALSE(s.triggers[0].matches(1, {1}, x10::Off));
}

TEST(ScheduleParse, DimAndBrightTriggersWaitForAnAmountOrAny) {
    const auto r =
        parseText(QStringLiteral("when A1 DIM heard: B1 ON\n"
                                 "when A1 dim 40% heard: B2 ON\n"
                                 "when A2 BRIGHT 20% heard: B3 ON\n"));
    ASSERT_TRUE(r.ok()) << r.errors.join('\n').toStdString();
    const auto& t = r.schedule.triggers;
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].heardText(), QStringLiteral("A1 DIM"));
    EXPECT_EQ(t[1].heardText(), QStringLiteral("A1 DIM 40%"));
    using x10::Bright;
    using x10::Dim;
    struct Case {
        size_t trigger;
        int unit, function, amount;
        bool fires;
    } cases[] = {
        {0, 1, Dim, 40, true},     {0, 1, Dim, 5, true},   {0, 1, Dim, -1, true},
        {0, 1, Bright, 40, false}, {1, 1, Dim, 40, true},  {1, 1, Dim, 41, true},  // 9 steps
        {1, 1, Dim, 43, true},     {1, 1, Dim, 38, false}, {1, 1, Dim, 70, false},
        {1, 1, Dim, -1, false},    {1, 2, Dim, 40, false}, {2, 2, Bright, 20, true},
        {2, 2, Bright, 40, false}, {2, 2, Dim, 20, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t[c.trigger].matches(1, {c.unit}, c.function, c.amount), c.fires)
            << "line " << c.trigger + 1 << " heard A" << c.unit << " " << c.function << " "
            << c.amount;
}

TEST(ScheduleParse, AnErrorRefusesTheWholeFileNamingItsLine) {
    struct Case {
        const char* line;
        const char* error;
    } cases[] = {
        {"at 18:30 Mnd A5 ON", "line 2: unknown day 'Mnd'"},
        {"at 25:00 daily A5 ON", "line 2: no time 25:00"},
        {"at noon daily A5 ON", "line 2: unknown time 'noon'"},
        {"at 18:30 daily A5 FLASH", "line 2: unknown command 'FLASH'"},
        {"at 18:30 daily A5 DIM", "line 2: DIM needs a percentage"},
        {"at 18:30 daily A5 DIM 140%", "line 2: DIM needs a percentage"},
        {"at 18:30 daily A5 ALL UNITS OFF", "line 2: ALL UNITS OFF acts on a whole house"},
        {"at 18:30 daily Q5 ON", "line 2: a command starts with an address"},
        {"at 18:30 Feb 30-Mar 2 A5 ON", "line 2: no day 30 in Feb"},
        {"at 18:30 Dec 1-Jan A5 ON", "line 2: the date range 'Dec 1-Jan' needs the day it ends on"},
        {"at 18:30 ~0m daily A5 ON", "line 2: a random shift"},
        {"at 18:30 daily scene nosuch", "line 2: unknown scene 'nosuch'"},
        {"at 18:30 daily A5 ON; wait ten", "line 2: wait needs a duration"},
        {"at 18:30 daily", "line 2: nothing to do after the days"},
        {"at 18:30", "line 2: the days are missing"},
        {"at sunset +3x daily A5 ON", "line 2: an offset"},
        {"when A1 A2 ON heard: B1 ON", "line 2: a trigger waits for one address"},
        {"when A1 ON heard: run doorbell", "line 2: run needs the program's absolute path"},
        {"when A1 ON 40% heard: B1 ON", "line 2: ON takes no percentage"},
        {"when A1 DIM 140% heard: B1 ON", "line 2: DIM needs a percentage"},
        {"every day A5 ON", "line 2: unknown entry 'every'"},
        {"scene loop: A1 ON; wait 1s; scene loop", "line 2: scene 'loop' starts itself"},
        {"at sunset daily A5 OFF", "line 2: sunrise and sunset need [Location]"},
    };
    for (const auto& c : cases) {
        const QString text =
            QStringLiteral("at 07:00 daily A1 ON\n%1\n").arg(QString::fromLatin1(c.line));
        const auto r = parseText(text);
        ASSERT_FALSE(r.ok()) << c.line;
        EXPECT_TRUE(r.schedule.empty()) << c.line;
        EXPECT_TRUE(r.errors.front().startsWith(QString::fromLatin1(c.error)))
            << c.line << " -> " << r.errors.front().toStdString();
    }
    // Every problem is named, not only the first. An address the module list
    // lacks is a warning, once per address, refused file or not; the scene
    // names survive the refusal.
    ParseOptions o;
    o.knownModule = [](const x10::Address& a) { return a.unit < 9; };
    auto r = parseText(QStringLiteral("at 1:00 Mnd A5 ON\n\nat 2:00 daily A9 ON\nscene x: A1 ON; "
                                      "A9 OFF; B10 ON\nscene x: A2 ON\nscene y: A9 ON"),
                       o);
    EXPECT_EQ(r.errors, QStringList({"line 1: unknown day 'Mnd'",
                                     "line 5: scene 'x' is defined twice (first on line 4)"}));
    EXPECT_EQ(r.warnings, QStringList({"line 3: A9 is not in the module list",
                                       "line 4: B10 is not in the module list"}));
    EXPECT_EQ(r.sceneNames, QStringList({"x", "y"}));
    r = parseText(QStringLiteral("at 2:00 daily A9 ON\nscene y: A9 OFF"), o);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.schedule.timed.size(), 1u);
    EXPECT_EQ(r.warnings, QStringList{"line 1: A9 is not in the module list"});
}

TEST(ScheduleParse, DeepChainsWideFanOutsAndFloodsOfErrorsAreBoundedWithTheirLine) {
    const auto repeat = [](int n, const auto& line) {
        QString text;
        for (int i = 0; i < n; ++i) text += line(i);
        return text;
    };
    const auto chain = [&](int n) {
        return repeat(n, [n](int i) {
            return i + 1 < n ? QStringLiteral("scene s%1: scene s%2\n").arg(i).arg(i + 1)
                             : QStringLiteral("scene s%1: A1 ON\n").arg(i);
        });
    };
    const auto tenTimes = [&](const char* step) {
        return repeat(10,
                      [&](int i) {
                          return QString::fromLatin1(step) + QLatin1String(i < 9 ? "; " : "");
                      }) +
               QLatin1Char('\n');
    };
    struct Case {
        const char* what;
        QString text;
        int count;         // of the errors
        const char* last;  // the last error
    } cases[] = {
        {"16 scenes deep", chain(schedule::kMaxSceneDepth), 0, ""},
        {"10,000 scenes deep", chain(10000), 1,
         "line 9984: scene 's9983' starts scenes more than 16 deep"},
        {"20,000 scenes", chain(20000), 1,
         "line 10001: more than 10000 entries, the most a schedule may hold"},
        {"fan-out through scenes",
         "scene a: " + tenTimes("A1 ON") + "scene b: " + tenTimes("scene a") +
             "scene c: " + tenTimes("scene b") + "at 07:00 daily scene c\n",
         1, "line 3: scene 'c' would start more than 1000 steps"},
        {"one command to 1,001 addresses",
         "at 07:00 daily " + repeat(1001, [](int) { return QStringLiteral("A1 "); }) + "ON\n", 1,
         "line 1: one firing would start more than 1000 steps"},
        {"1,001 triggers on one heard command",
         repeat(1001,
                [](int i) { return QStringLiteral("when A%1 ON heard: B1 ON\n").arg(i % 16 + 1); }),
         1,
         "line 1001: the triggers on A ON would start more than 1000 steps for one heard "
         "command"},
        {"100,000 wrong lines", repeat(100000, [](int) { return QStringLiteral("bogus\n"); }), 101,
         "line 101: more problems; the check stopped after 100"},
    };
    for (const auto& c : cases) {
        const auto r = parseText(c.text);
        EXPECT_EQ(r.errors.size(), c.count) << c.what;
        EXPECT_EQ(r.errors.isEmpty() ? QString() : r.errors.last(), QString::fromLatin1(c.last))
            << c.what;
    }
}

TEST(SchedulePlanner, NextFiringsWithDayFiltersRangesAndClockChanges) {
    ZoneScope zone("Europe/Amsterdam");
    struct Case {
        const char* entry;
        const char* after;
        const char* next[3];
    } cases[] = {
        // Friday evening: the weekday entry comes back on Monday.
        {"at 18:30 Mon-Fri A5 ON",
         "2026-03-06 18:30",
         {"2026-03-09 18:30", "2026-03-10 18:30", "2026-03-11 18:30"}},
        {"at 18:30 Sat,Sun A5 ON",
         "2026-03-06 18:29",
         {"2026-03-07 18:30", "2026-03-08 18:30", "2026-03-14 18:30"}},
        {"at 08:00 Fri-Mon A5 ON",
         "2026-03-09 09:00",
         {"2026-03-13 08:00", "2026-03-14 08:00", "2026-03-15 08:00"}},
        // Across the year's end, and the range's last day.
        {"at 07:00 Dec 30-Jan 2 A5 ON",
         "2026-06-01 00:00",
         {"2026-12-30 07:00", "2026-12-31 07:00", "2027-01-01 07:00"}},
        {"at 07:00 Dec 1-Jan 6 A5 ON",
         "2027-01-06 06:59",
         {"2027-01-06 07:00", "2027-12-01 07:00", "2027-12-02 07:00"}},
        {"at 07:00 Feb 29 A5 ON",
         "2026-01-01 00:00",
         {"2028-02-29 07:00", "2032-02-29 07:00", "2036-02-29 07:00"}},
        // 2100 is no leap year: eight years to the next Feb 29.
        {"at 07:00 Feb 29 A5 ON",
         "2099-12-31 00:00",
         {"2104-02-29 07:00", "2108-02-29 07:00", "2112-02-29 07:00"}},
        // Spring forward (2:00 -> 3:00 on 29 March 2026): the first minute after the gap.
        {"at 02:30 daily A5 ON",
         "2026-03-28 12:00",
         {"2026-03-29 03:00", "2026-03-30 02:30", "2026-03-31 02:30"}},
        // Fall back (3:00 -> 2:00 on 25 October 2026): 02:30 happens twice, fires once.
        {"at 02:30 daily A5 ON",
         "2026-10-24 12:00",
         {"2026-10-25 02:30", "2026-10-26 02:30", "2026-10-27 02:30"}},
    };
    Planner planner;
    for (const auto& c : cases) {
        const auto r = parseText(QString::fromLatin1(c.entry));
        ASSERT_TRUE(r.ok()) << c.entry << r.errors.join(' ').toStdString();
        QDateTime t = local(c.after);
        for (const char* expected : c.next) {
            t = planner.next(r.schedule.timed[0], t);
            EXPECT_EQ(fmt(t).left(16).toStdString(), expected) << c.entry << " after " << c.after;
        }
    }
}

TEST(SchedulePlanner, RandomShiftsStayInTheirWindowAndVary) {
    ZoneScope zone("Europe/Amsterdam");
    const auto r = parseText(QStringLiteral("at 22:00 ~20m daily A ALL LIGHTS OFF"));
    ASSERT_TRUE(r.ok());
    Planner planner(std::nullopt, 1234);
    QDateTime t = local("2026-01-01 23:00");
    QSet<int> seen;
    for (int i = 0; i < 100; ++i) {
        const QDateTime prev = t;
        t = planner.next(r.schedule.timed[0], t);
        const int minute = t.time().hour() * 60 + t.time().minute();
        EXPECT_GE(minute, 21 * 60 + 40) << fmt(t).toStdString();
        EXPECT_LE(minute, 22 * 60 + 20) << fmt(t).toStdString();
        EXPECT_EQ(t.date(), prev.date().addDays(1));
        // Asking again for the same day gives the same time.
        EXPECT_EQ(planner.next(r.schedule.timed[0], prev), t);
        seen.insert(minute);
    }
    EXPECT_GT(seen.size(), 10);
}

TEST(SchedulePlanner, SunriseAndSunsetMatchPublishedTables) {
    struct Case {
        const char* tz;
        Location where;
        const char* date;
        const char* sunrise;
        const char* sunset;
    } cases[] = {
        {"Europe/Amsterdam", {52.3676, 4.9041}, "2024-12-21", "08:48", "16:29"},
        {"Europe/London", {51.5074, -0.1278}, "2024-06-21", "04:43", "21:21"},
        {"America/New_York", {40.7128, -74.0060}, "2024-06-20", "05:25", "20:31"},
    };
    for (const auto& c : cases) {
        ZoneScope zone(c.tz);
        const QDate day = QDate::fromString(QString::fromLatin1(c.date), Qt::ISODate);
        for (const bool rise : {true, false}) {
            const QDateTime got = schedule::sunEvent(c.where, day, rise);
            const QDateTime want(
                day, QTime::fromString(QString::fromLatin1(rise ? c.sunrise : c.sunset), "HH:mm"));
            ASSERT_TRUE(got.isValid()) << c.tz;
            EXPECT_LE(std::abs(got.secsTo(want)), 120)
                << c.tz << (rise ? " rise " : " set ") << fmt(got).toStdString();
        }
    }
}

// Every date of two years at 13 places against an independent computation:
// each sunrise and sunset that happens is found, none that does not, and
// each within a minute of the table's time rounded to the minute.
TEST(SchedulePlanner, SunTimesMatchTheReferenceTableEveryDateEveryPlace) {
    QFile file(QStringLiteral(VELDRIN_SUN_TABLE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    std::unique_ptr<ZoneScope> zone;
    QString zoneName;
    int rows = 0, compared = 0, existence = 0;
    qint64 worstMs = 0;
    double sumMs = 0;
    while (!file.atEnd()) {
        const QString row = QString::fromUtf8(file.readLine()).trimmed();
        if (row.startsWith('#') || row.startsWith(QLatin1String("place"))) continue;
        const QStringList f = row.split('\t');
        ASSERT_EQ(f.size(), 7) << row.toStdString();
        if (f[3] != zoneName) {
            zone.reset();
            zoneName = f[3];
            zone = std::make_unique<ZoneScope>(zoneName.toLatin1().constData());
        }
        ++rows;
        const Location where{f[1].toDouble(), f[2].toDouble()};
        const QDate day = QDate::fromString(f[4], Qt::ISODate);
        for (const bool rise : {true, false}) {
            const QString cell = f[rise ? 5 : 6];
            const QStringList want = cell == QLatin1String("-") ? QStringList() : cell.split(' ');
            const std::vector<QDateTime> got = schedule::sunEvents(where, day, rise);
            if (static_cast<qsizetype>(got.size()) != want.size()) {
                ++existence;
                ADD_FAILURE() << f[0].toStdString() << " " << f[4].toStdString()
                              << (rise ? " sunrise" : " sunset") << ": table " << cell.toStdString()
                              << ", found " << got.size();
                continue;
            }
            for (size_t i = 0; i < got.size(); ++i) {
                const QDateTime exact(day, QTime::fromString(want[i], QStringLiteral("HH:mm:ss")));
                const QDateTime minute =
                    exact.addSecs(30).addSecs(-(exact.addSecs(30).time().second()));
                const qint64 off = std::abs(got[i].msecsTo(minute));
                EXPECT_LE(off, 60000)
                    << f[0].toStdString() << " " << f[4].toStdString()
                    << (rise ? " sunrise " : " sunset ") << fmt(got[i]).toStdString() << ", table "
                    << want[i].toStdString();
                // The unrounded difference, for the figures.
                const qint64 ms = exact.toMSecsSinceEpoch();
                const auto precise =
                    schedule::sunCrossings(where, ms - 3600000, ms + 3600000, rise);
                if (precise.size() == 1) {
                    const qint64 d = std::abs(precise.front() - ms);
                    worstMs = std::max(worstMs, d);
                    sumMs += static_cast<double>(d);
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(rows, 9000);
    std::printf(
        "sun times: %d compared, max %.2f "
        "min, mean %.2f min from the table; %d events differ in existence\n",
        compared, static_cast<double>(worstMs) / 60000.0, sumMs / compared / 60000.0, existence);
}

// A sun entry fires at each sunrise or sunset that happens: the last before
// a polar night and the first after it, both sunsets of a date that has two,
// the one sunset of a date where the midnight sun begins.
TEST(SchedulePlanner, SunEntriesFireAtEverySunEventThroughPolarTransitions) {
    struct Case {
        const char* tz;
        Location where;
        const char* entry;
        const char* after;
        const char* next[3];
    } cases[] = {
        {"Europe/Oslo",
         {69.6492, 18.9553},  // Tromsø: polar night from 27 November
         "at sunrise daily A5 ON",
         "2025-11-26 00:00",
         {"2025-11-26 11:01", "2026-01-15 11:29", "2026-01-16 11:13"}},
        {"Europe/Oslo",
         {69.6492, 18.9553},
         "at sunset daily A5 ON",
         "2025-11-26 00:00",
         {"2025-11-26 12:01", "2026-01-15 12:19", "2026-01-16 12:35"}},
        {"Arctic/Longyearbyen",
         {78.2232, 15.6267},  // midnight sun from 19 April
         "at sunset daily A5 OFF",
         "2025-04-16 12:00",
         {"2025-04-16 23:50", "2025-04-18 00:22", "2025-08-25 00:19"}},  // the table: 00:18:24
        {"Atlantic/Reykjavik",
         {64.1466, -21.9426},  // two sunsets on 28 June, just after and before midnight
         "at sunset daily A5 ON",
         "2025-06-27 12:00",
         {"2025-06-28 00:01", "2025-06-29 00:00", "2025-06-29 23:59"}},
    };
    ParseOptions o;
    o.hasLocation = true;
    for (const auto& c : cases) {
        ZoneScope zone(c.tz);
        const auto r = parseText(QString::fromLatin1(c.entry), o);
        ASSERT_TRUE(r.ok()) << c.entry;
        const Planner planner(c.where);
        QDateTime t = local(c.after);
        for (const char* expected : c.next) {
            t = planner.next(r.schedule.timed[0], t);
            EXPECT_EQ(fmt(t).left(16).toStdString(), expected) << c.tz << " " << c.entry;
        }
    }
    // The first day without a sunset in the polar night: the sun does not rise.
    ZoneScope zone("Europe/Oslo");
    const auto r = parseText(QStringLiteral("at sunset daily A5 ON"), o);
    QString why;
    Planner(Location{69.6492, 18.9553}).next(r.schedule.timed[0], local("2025-11-26 13:00"), &why);
    EXPECT_EQ(why, "no firing on 2025-11-27: the sun stays below the horizon all day");
}

TEST(SchedulePlanner, PolarDayAndNightDoNotFireAndSayWhy) {
    ZoneScope zone("Europe/Oslo");
    const Location longyearbyen{78.22, 15.65};
    QString why;
    EXPECT_FALSE(schedule::sunEvent(longyearbyen, QDate(2026, 12, 21), true, &why).isValid());
    EXPECT_EQ(why, QStringLiteral("the sun stays below the horizon all day"));
    EXPECT_FALSE(schedule::sunEvent(longyearbyen, QDate(2026, 6, 21), false, &why).isValid());
    EXPECT_EQ(why, QStringLiteral("the sun stays above the horizon all day"));

    ParseOptions o;
    o.hasLocation = true;
    const auto r = parseText(QStringLiteral("at sunset +30m daily A5 OFF"), o);
    ASSERT_TRUE(r.ok());
    Planner planner(longyearbyen);
    // In the midnight sun the next sunset is in late August.
    const QDateTime next = planner.next(r.schedule.timed[0], local("2026-06-21 12:00"), &why);
    EXPECT_EQ(next.date().month(), 8) << fmt(next).toStdString();
    EXPECT_EQ(why,
              QStringLiteral("no firing on 2026-06-21: the sun stays above the horizon all day"));
}

TEST(SchedulePlanner, AThousandLinesParseAndPlanInOrder) {
    QString text;
    for (int i = 0; i < 1000; ++i)
        text += i % 2
                    ? QStringLiteral("at %1:%2 Mon-Fri A%3 ON\n")
                          .arg(i % 24)
                          .arg(i % 60, 2, 10, QChar('0'))
                          .arg(i % 16 + 1)
                    : QStringLiteral("at sunset +%1m daily B%2 OFF\n").arg(i % 90).arg(i % 16 + 1);
    ParseOptions o;
    o.hasLocation = true;
    const auto r = parseText(text, o);
    ASSERT_TRUE(r.ok());
    const auto firings =
        Planner(Location{52.37, 4.90}).upcoming(r.schedule, QDateTime::currentDateTime(), 20);
    EXPECT_EQ(firings.size(), 20u);
    for (size_t i = 1; i < firings.size(); ++i) EXPECT_LE(firings[i - 1].at, firings[i].at);
}

void writeFile(const QString& path, const QString& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
}

TEST(ScheduleCheck, ReportsNextFiringsOrTheErrorsFromTheSettingsFile) {
    ZoneScope zone("Europe/Amsterdam");
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("veldrin.conf"));
    platform::setSettingsFileOverride(config);
    const QDateTime now = local("2026-12-09 12:00");  // a Wednesday

    // The file beside the settings, unless [Schedule] File= names another.
    writeFile(config, QStringLiteral("[Location]\nLatitude=52.37\nLongitude=4.90\n"));
    EXPECT_EQ(core::scheduleFilePath(), dir.filePath(QStringLiteral("schedule")));
    writeFile(dir.filePath(QStringLiteral("schedule")),
              QStringLiteral("# porch\nat 18:30 Mon-Fri A5 ON\nat sunset +30m daily A5 OFF\nwhen "
                             "A1 ON heard: B3 ON\nwhen A1 DIM 40% heard: B4 ON\n"));
    auto check = core::checkSchedule(core::scheduleFilePath(), now);
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_TRUE(check.text.contains(
        QStringLiteral("line 2: 2026-12-09 18:30, 2026-12-10 18:30, 2026-12-11 18:30  A5 ON\n")))
        << check.text.toStdString();
    EXPECT_TRUE(check.text.contains(QStringLiteral("line 3: 2026-12-09 16:5")))
        << check.text.toStdString();
    EXPECT_TRUE(
        check.text.contains(QStringLiteral("line 4: when A1 ON heard: B3 ON\n"
                                           "line 5: when A1 DIM 40% heard: B4 ON")))
        << check.text.toStdString();

    // No location: sunset is refused; so is a wrong one.
    writeFile(config, QStringLiteral("[Schedule]\nFile=other\n"));
    EXPECT_EQ(core::scheduleFilePath(), dir.filePath(QStringLiteral("other")));
    check = core::checkSchedule(dir.filePath(QStringLiteral("schedule")), now);
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_TRUE(check.text.contains(QStringLiteral("line 3: sunrise and sunset need [Location]")));
    writeFile(config, QStringLiteral("[Location]\nLatitude=north\nLongitude=4.90\n"));
    check = core::checkSchedule(dir.filePath(QStringLiteral("schedule")), now);
    EXPECT_TRUE(
        check.text.contains(QStringLiteral("Latitude and Longitude must be decimal degrees")));
    // With a module list, a command to a module not in it is accepted with a
    // warning; a refused file shows its warnings too.
    writeFile(config, QStringLiteral("[Modules]\nA5=lamp,Porch\n"));
    writeFile(dir.filePath(QStringLiteral("other")),
              QStringLiteral("at 18:30 daily A5 ON\nat 19:00 daily A7 ON\n"));
    check = core::checkSchedule(dir.filePath(QStringLiteral("other")), now);
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_TRUE(check.text.contains(QStringLiteral(
        ": accepted\nwarning: line 2: A7 is not in the module list\nline 1: 2026-12-09 18:30")))
        << check.text.toStdString();
    EXPECT_TRUE(check.text.endsWith(QStringLiteral("  A7 ON\n"))) << check.text.toStdString();
    writeFile(dir.filePath(QStringLiteral("other")),
              QStringLiteral("at 19:00 daily A7 ON\nat 25:00 daily A5 ON\n"));
    check = core::checkSchedule(dir.filePath(QStringLiteral("other")), now);
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_TRUE(check.text.contains(
        QStringLiteral(": refused\nwarning: line 1: A7 is not in the module list\nline 2: ")))
        << check.text.toStdString();
    check = core::checkSchedule(dir.filePath(QStringLiteral("missing")), now);
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_TRUE(check.text.contains(QStringLiteral("no such file")));
    platform::setSettingsFileOverride(QString());
}

// The check names the settings file it read; root without --config, where
// the service's settings exist, is told how to check the service's schedule.
TEST(ScheduleCheck, NamesTheSettingsFileAndPointsRootToTheServices) {
    const QString mine = "/root/.config/veldrin/veldrin.conf";
    struct Case {
        QString settings;
        bool configGiven, root, serviceExists, pointsToService;
    };
    for (const Case& c :
         {Case{mine, false, true, true, true}, Case{mine, true, true, true, false},
          Case{mine, false, false, true, false}, Case{mine, false, true, false, false},
          Case{app::kServiceSettingsFile, false, true, true, false}}) {
        const QString text =
            app::scheduleCheckPreamble(c.settings, c.configGiven, c.root, c.serviceExists);
        EXPECT_TRUE(text.startsWith("Settings file: " + c.settings + "\n")) << text.toStdString();
        EXPECT_EQ(text.contains("veldrind --config /etc/veldrin/veldrin.conf --check-schedule"),
                  c.pointsToService)
            << text.toStdString();
    }
}

TEST(ScheduleCheck, TheOptionTakesOneScheduleFile) {
    auto parsed =
        app::parseStartOptions({"veldrin", "--config", "v.conf", "--check-schedule", "mine"});
    ASSERT_TRUE(parsed.options);
    EXPECT_TRUE(parsed.options->checkSchedule);
    EXPECT_EQ(parsed.options->scheduleFile,
              QDir::current().absoluteFilePath(QStringLiteral("mine")));
    parsed = app::parseStartOptions({"veldrin", "--check-schedule"});
    ASSERT_TRUE(parsed.options);
    EXPECT_TRUE(parsed.options->scheduleFile.isEmpty());
    for (const QStringList& wrong :
         {QStringList{"veldrin", "mine"}, QStringList{"veldrin", "--check-schedule", "a", "b"}}) {
        parsed = app::parseStartOptions(wrong);
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.exitCode, 2);
    }
}

}  // namespace
