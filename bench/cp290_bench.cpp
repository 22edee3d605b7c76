// Latency of the CP290 exchanges against the emulator with the line paced at
// 600 baud, in real time: detection (status request and 12-byte reply), a
// detection that sets the clock, and a direct command, each with the full
// three-second reply wait and with the wait ended once the reply is complete.
//
//   bench_cp290 [runs per case, default 3]

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "clock.h"
#include "cp290exchange.h"
#include "cp290sim.h"
#include "mcp290.h"
#include "mscomm.h"
#include "settingsstore.h"
#include "timebase.h"

namespace {

struct Figures {
    double min = 0, median = 0, max = 0;
};

Figures measure(int runs, const std::function<void()>& once) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        once();
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms.back()};
}

void print(const char* what, const char* mode, const Figures& f) {
    std::printf("%-28s %-10s min %7.1f  median %7.1f  max %7.1f ms\n", what, mode, f.min, f.median,
                f.max);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);

    sim::Cp290Sim sim;
    sim.setPacing(true);
    sim.setTimeScale(1);
    if (!sim.start()) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
    platform::TimeBase::global().setScale(1);
    platform::Clock::global().setFixed(QDateTime(QDate(2026, 1, 9), QTime(9, 30)));

    MSComm comm;
    int shown = 0;
    int lines = 0;
    Cp290Link link{comm, [] {}, [] { return int16_t{1}; }, [&lines](const QString&) { ++lines; },
                   [&shown](const QString&) { ++shown; }};
    QString house = QStringLiteral("A");

    std::printf("CP290 exchanges, emulator paced at 600 baud, real time, %d runs each\n", runs);
    for (bool early : {false, true}) {
        cp290::setEarlyReplyEnd(early);
        const char* mode = early ? "early end" : "full wait";
        print("CP290Detect", mode, measure(runs, [&] {
                  sim.setClock(5, 14, 0x01);
                  CP290Detect(link);
              }));
        print("CP290Detect + set clock", mode, measure(runs, [&] {
                  sim.setClock(5, 14, 0x00);
                  CP290Detect(link);
              }));
        const Figures command = measure(runs, [&] { CP290Command(link, house, 5, 2); });
        print("CP290Command (A5 ON)", mode, command);
        if (early) std::printf("FIGURE cp290_command_median_ms %.1f\n", command.median);
        print("CP290Dim (A3 level 7)", mode, measure(runs, [&] { CP290Dim(link, house, 3, 7); }));
    }
    std::printf("message boxes: %d, log lines: %d\n", shown, lines);
    return shown == 0 ? 0 : 1;
}
