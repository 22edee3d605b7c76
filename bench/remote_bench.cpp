// Round trip of remote commands on loopback, through the core service with
// its remote listener as the daemon veldrind assembles them (under
// QCoreApplication, no window), the interface being the emulated two-way one:
//   bench_remote [count]   (default 1000; about a quarter second each)
// For each "5on" it measures the time from writing the line to reading "OK",
// and to the first frame of the command on the serial line (the control sends
// a command queued on an idle line at the next turn of the event loop; its
// 250 ms queue tick only paces a backlog). Prints median and p99 of both.
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "corebench.h"
#include "eventlog.h"
#include "service.h"
#include "serviceremote.h"
#include "settingsstore.h"
#include "twowaysim.h"

using bench::percentile;
using bench::pumpUntil;

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    QTemporaryDir home;
    bench::privateHome(home);
    QCoreApplication app(argc, argv);

    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the emulator\n");
        return 1;
    }
    platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
    platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");
    core::Service service(core::ServiceSettings::read());
    bench::LogTail logTail(service.log());
    service.setPassword(QStringLiteral("bench"));
    service.load();
    service.start();
    remote::ServiceRemote remote(service);
    if (!remote.listen()) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(remote.server().errorString()));
        return 1;
    }

    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, remote.server().port());
    if (!pumpUntil([&] { return s.state() == QAbstractSocket::ConnectedState; }, 5000)) {
        std::fprintf(stderr, "cannot connect\n");
        return 1;
    }
    s.write("bench\n");
    pumpUntil([&] { return s.canReadLine(); }, 5000);
    s.readLine();

    std::vector<double> toOk, toLine;
    // The answer is timed where it arrives: the command's exchange starts at
    // once and runs the event loop nested, so a check in the outer loop would
    // only see the answer after the whole exchange.
    QElapsedTimer t;
    qint64 okNs = -1;
    QObject::connect(&s, &QTcpSocket::readyRead, [&] {
        if (okNs < 0 && s.canReadLine()) okNs = t.nsecsElapsed();
    });
    QRandomGenerator rng(7410);
    for (int i = 0; i < count; ++i) {
        // A command arrives at a random moment of the control's 250 ms tick.
        const int pause = static_cast<int>(rng.bounded(250));
        pumpUntil([] { return false; }, pause);
        sim.clearRecords();
        const qint64 t0 = sim::monotonicMs();
        okNs = -1;
        t.start();
        s.write("5on\n");
        if (!pumpUntil([&] { return okNs >= 0; }, 5000)) break;
        toOk.push_back(okNs / 1e6);
        s.readLine();
        // Wait for the whole command (address and function frame) to finish.
        if (!pumpUntil([&] { return sim.framedOnly().size() >= 2; }, 5000)) break;
        toLine.push_back(static_cast<double>(sim.framedOnly().front().tMs - t0));
        pumpUntil([&] { return sim.frames().size() >= 4; }, 2000);
    }
    if (toOk.size() != static_cast<size_t>(count)) logTail.print();
    std::printf("remote round trip over %zu commands on loopback\n", toOk.size());
    std::printf("  \"5on\" to \"OK\":               median %.2f ms, p99 %.2f ms\n",
                percentile(toOk, 0.5), percentile(toOk, 0.99));
    std::printf("  \"5on\" to the frame on the line: median %.1f ms, p99 %.1f ms\n",
                percentile(toLine, 0.5), percentile(toLine, 0.99));
    std::printf("FIGURE remote_median_ms %.2f\nFIGURE remote_p99_ms %.2f\n", percentile(toOk, 0.5),
                percentile(toOk, 0.99));
    std::printf("FIGURE remote_line_median_ms %.1f\nFIGURE remote_line_p99_ms %.1f\n",
                percentile(toLine, 0.5), percentile(toLine, 0.99));
    std::fflush(stdout);
    ::_exit(toOk.size() == static_cast<size_t>(count) ? 0 : 1);
}
