// From a schedule entry's due time to its first byte on the serial line, with
// the core service as the daemon veldrind assembles it (under
// QCoreApplication, no window) and the emulated two-way interface on a
// pseudo-terminal:
//   bench_schedule_due [firings]   (default 20; about a second and a half each)
// The schedule has one "at HH:MM" entry a minute. Before each firing the local
// clock (platform::Clock) is set running from a moment 0.7 to 1.3 s before
// the next entry's time and the schedule is re-planned, as a clock change or
// SIGHUP does; the runner then arms its one timer for that entry. The due
// instant on the monotonic clock is where the running clock reaches the
// entry's time; the end is the first frame the emulator records for the
// firing. The emulator is unpaced, so a frame's bytes arrive in one write and
// its record time is its first byte's. Both times come from CLOCK_MONOTONIC.
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "clock.h"
#include "commandpath.h"
#include "corebench.h"
#include "eventlog.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "service.h"
#include "settingsstore.h"
#include "twowaysim.h"

namespace {

// Runs the event loop until cond() holds, looking every 20 ms: the service
// sleeps between its timers as the daemon does, rather than under a 1 ms tick.
bool waitUntil(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    QTimer tick;
    tick.start(20);
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::clamp(atoi(argv[1]), 1, 60) : 20;
    QTemporaryDir home;
    bench::privateHome(home);
    QCoreApplication app(argc, argv);

    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
    platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");

    // One entry a minute from 10:00, switching A5 on and off in turn.
    const QDate day(2026, 3, 4);
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("at 10:%1 daily A5 %2\n")
                    .arg(i, 2, 10, QChar('0'))
                    .arg(i % 2 ? QStringLiteral("OFF") : QStringLiteral("ON"));
    QFile file(core::scheduleFilePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return 1;
    }
    file.close();
    platform::Clock::global().setRunningFrom(QDateTime(day, QTime(9, 0)));

    core::Service service(core::ServiceSettings::read());
    bench::LogTail logTail(service.log());
    service.load();
    service.start();
    if (!waitUntil([&] { return service.commands().interfaceReady(); }, 10000)) {
        std::fprintf(stderr, "the interface was not found\n");
        logTail.print();
        return 1;
    }
    if (service.schedule().current().timed.size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "the schedule was not loaded\n");
        logTail.print();
        return 1;
    }
    int fired = 0;
    QObject::connect(&service.schedule(), &core::ScheduleRunner::fired, [&] { ++fired; });

    std::vector<double> ms;
    QRandomGenerator rng(2107);
    for (int i = 0; i < count; ++i) {
        const QDateTime due(day, QTime(10, i));
        const int lead = 700 + static_cast<int>(rng.bounded(600));
        sim.clearRecords();
        fired = 0;
        platform::Clock::global().setRunningFrom(due.addMSecs(-lead));
        const qint64 dueMono = sim::monotonicMs() + lead;
        service.schedule().reload(true);
        if (!waitUntil([&] { return !sim.framedOnly().isEmpty(); }, lead + 5000)) {
            std::fprintf(stderr, "firing %d: nothing on the line\n", i + 1);
            break;
        }
        if (fired != 1) {
            std::fprintf(stderr, "firing %d: %d entries fired\n", i + 1, fired);
            break;
        }
        ms.push_back(static_cast<double>(sim.framedOnly().front().tMs - dueMono));
        // The command's exchange ends (address and function frames, their
        // confirmations) before the next one is planned.
        waitUntil([&] { return sim.framedOnly().size() >= 2; }, 3000);
        waitUntil([] { return false; }, 200);
    }
    if (ms.size() != static_cast<size_t>(count)) {
        logTail.print();
        std::fflush(stdout);
        ::_exit(1);
    }
    const double median = bench::percentile(ms, 0.5);
    const double worst = bench::percentile(ms, 1.0);
    const double best = bench::percentile(ms, 0.0);
    std::printf(
        "schedule entry's due time to its first byte on the line over %d firings: median %.0f "
        "ms, min %.0f ms, max %.0f ms (ms resolution)\n",
        count, median, best, worst);
    std::printf("FIGURE schedule_due_first_byte_median_ms %.0f\n", median);
    std::printf("FIGURE schedule_due_first_byte_max_ms %.0f\n", worst);
    std::fflush(stdout);
    service.stop();
    ::_exit(0);
}
