// Loading a schedule file as the service does at start-up (read, parse, plan
// every entry: ScheduleRunner::load), for the largest file allowed and for
// hostile ones, median over the runs, and the process's peak resident memory
// after each kind:
//   bench_schedule_load [runs, default 5]
// Kinds: a 3 GB sparse file and a FIFO (both refused unread), 4 MiB of wrong
// lines (refused after the first hundred), chains of 20,000 scenes (refused:
// too many entries) and 10,000 (refused: too deep), 4 MiB of varied entries (refused after the
// first 10,000) and the largest schedule allowed: 10,000 varied entries (clock times, sunsets and
// sunrises, random shifts, date ranges, scenes with waits, triggers).
#include <sys/resource.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <climits>
#include <cstdio>
#include <functional>
#include <vector>

#include "commandpath.h"
#include "corebench.h"
#include "eventlog.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "settingsstore.h"
#include "state/statetable.h"

namespace {

// Nothing is sent while loading; the runner only needs a path to hold.
class NoPath : public CommandPath {
  public:
    Verdict switchUnit(state::Address, bool, state::Source) override { return {}; }
    Verdict setBrightness(state::Address, int, state::Source) override { return {}; }
    Verdict stepLevel(state::Address, int, int, state::Source) override { return {}; }
    Verdict houseFunction(int, int, state::Source) override { return {}; }
    Verdict sliderDim(state::Address, int, int, state::Source) override { return {}; }
    bool interfaceReady() const override { return false; }
};

// Lines made by line(i): at most count, up to the last whole one within bytes.
QByteArray fill(qint64 bytes, const std::function<QString(int)>& line, int count = INT_MAX) {
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        const QByteArray next = line(i).toUtf8();
        if (text.size() + next.size() > bytes) return text;
        text += next;
    }
    return text;
}

QString variedLine(int i) {
    const QChar house = QChar('A' + i % 16);
    const int unit = i / 16 % 16 + 1;
    switch (i % 6) {
        case 0:
            return QStringLiteral("at %1:%2 Mon-Fri %3%4 ON\n")
                .arg(i % 24)
                .arg(i % 60, 2, 10, QChar('0'))
                .arg(house)
                .arg(unit);
        case 1:
            return QStringLiteral("at sunset +%1m daily %2%3 OFF\n")
                .arg(i % 90)
                .arg(house)
                .arg(unit);
        case 2:
            return QStringLiteral("at 22:%1 ~20m daily %2 ALL LIGHTS OFF\n")
                .arg(i % 60, 2, 10, QChar('0'))
                .arg(house);
        case 3:
            return QStringLiteral("scene s%1: %2%3 ON; wait 10s; %2%3 DIM 50%\n")
                .arg(i)
                .arg(house)
                .arg(unit);
        case 4:
            return QStringLiteral("at 07:%1 Dec 1-Jan 6 scene s%2\n")
                .arg(i % 60, 2, 10, QChar('0'))
                .arg(i - 1);
        default:  // every other one a trigger, spread over houses, units and two functions
            if (i / 6 % 2)
                return QStringLiteral("at sunrise -%1m Sat,Sun %2%3 %2%4 DIM 40%\n")
                    .arg(i % 45)
                    .arg(house)
                    .arg(unit)
                    .arg(unit % 16 + 1);
            return QStringLiteral("when %1%2 %3 heard: %1%4 ON\n")
                .arg(QChar('A' + i / 12 % 16))
                .arg(i / 192 % 16 + 1)
                .arg(i / 3072 % 2 ? QStringLiteral("OFF") : QStringLiteral("ON"))
                .arg(i / 192 % 16 % 16 + 1);
    }
}

// Scenes s0 ... s(n-1), each starting the next.
QByteArray chain(int n) {
    return fill(
        core::kMaxScheduleBytes,
        [n](int i) {
            return i + 1 < n ? QStringLiteral("scene s%1: scene s%2\n").arg(i).arg(i + 1)
                             : QStringLiteral("scene s%1: A1 ON\n").arg(i);
        },
        n);
}

long peakRssKb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir home;
    bench::privateHome(home);
    QCoreApplication app(argc, argv);
    platform::SaveSetting("veldrin", "Location", "Latitude", "52.37");
    platform::SaveSetting("veldrin", "Location", "Longitude", "4.90");

    const QString path = home.filePath(QStringLiteral("schedule"));
    const auto write = [&](const QByteArray& text) {
        QFile::remove(path);
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    struct Kind {
        const char* name;
        const char* figure;
        std::function<bool()> make;
        bool accepted;
    };
    const Kind kinds[] = {
        {"a 3 GB sparse file (refused unread)", "schedule_load_sparse_3gb_ms",
         [&] {
             QFile::remove(path);
             QFile f(path);
             return f.open(QIODevice::WriteOnly) && f.resize(qint64(3) << 30);
         },
         false},
        {"a FIFO (refused unread)", "schedule_load_fifo_ms",
         [&] {
             QFile::remove(path);
             return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
         },
         false},
        {"4 MiB of wrong lines (refused after 100)", "schedule_load_errors_4mib_ms",
         [&] {
             return write(fill(core::kMaxScheduleBytes, [](int i) {
                 return QStringLiteral("at %1:77 daily A1 ON\n").arg(i % 24);
             }));
         },
         false},
        {"a chain of 20,000 scenes (refused after 10,000 entries)", "schedule_load_chain_20000_ms",
         [&] { return write(chain(20000)); }, false},
        {"a chain of 10,000 scenes (refused: too deep)", "schedule_load_chain_10000_ms",
         [&] { return write(chain(10000)); }, false},
        {"4 MiB of entries (refused after 10,000)", "schedule_load_entries_4mib_ms",
         [&] { return write(fill(core::kMaxScheduleBytes, variedLine)); }, false},
        {"the largest schedule allowed (10,000 entries)", "schedule_load_largest_ms",
         [&] { return write(fill(core::kMaxScheduleBytes, variedLine, schedule::kMaxEntries)); },
         true},
    };
    for (const Kind& k : kinds) {
        std::vector<double> ms, upcomingMs;
        size_t entries = 0;
        for (int r = 0; r < runs; ++r) {
            if (!k.make()) {
                std::fprintf(stderr, "cannot make %s\n", k.name);
                return 1;
            }
            NoPath commands;
            state::StateTable states;
            core::EventLog log;
            bench::LogTail tail(log);
            core::ScheduleRunner runner(commands, states, log);
            QElapsedTimer t;
            t.start();
            const bool ok = runner.load(path);
            ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
            if (ok != k.accepted) {
                std::fprintf(stderr, "%s was %s\n", k.name, ok ? "accepted" : "refused");
                tail.print();
                return 1;
            }
            const auto& s = runner.current();
            entries = s.timed.size() + s.scenes.size() + s.triggers.size();
            if (ok) {
                // The next firings, as every firing sends them to the open pages.
                t.restart();
                if (runner.upcoming(10).size() != 10) return 1;
                upcomingMs.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
            }
        }
        // Of that, reading and parsing alone (the rest plans each entry).
        QElapsedTimer t;
        t.start();
        const bool parsed = core::loadSchedule(path).ok();
        const double parseMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
        if (parsed != k.accepted) return 1;
        const double median = bench::percentile(ms, 0.5);
        std::printf(
            "%s: loaded in %.1f ms (median of %d, max %.1f ms; read and parsed in %.1f ms)%s, "
            "peak resident %ld MB\n",
            k.name, median, runs, bench::percentile(ms, 1.0), parseMs,
            k.accepted ? qPrintable(QStringLiteral(", %1 entries").arg(entries)) : "",
            peakRssKb() / 1024);
        std::printf("FIGURE %s %.1f\n", k.figure, median);
        if (!upcomingMs.empty()) {
            std::printf("  its next 10 firings listed in %.2f ms (median)\n",
                        bench::percentile(upcomingMs, 0.5));
            std::printf("FIGURE schedule_upcoming_largest_ms %.2f\n",
                        bench::percentile(upcomingMs, 0.5));
        }
    }
    return 0;
}
