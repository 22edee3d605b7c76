// The daemon's start, as the service manager sees it: the time from starting
// build/bin/veldrind to its remote listener accepting a connection, and to
// READY=1 on a notification socket of the bench's own (NOTIFY_SOCKET), with
// the emulated two-way interface answering and with no interface at all (a
// device that is not there). Each run has a private settings, state and
// runtime folder; the process ends by SIGTERM after READY=1.
//
//   bench_daemon_start [runs, default 5]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "twowaysim.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct Run {
    double listeningMs = -1;
    double readyMs = -1;
};

// One start of the daemon against device; -1 for what did not come within 30 s.
Run once(const QString& program, const QString& device) {
    Run r;
    QTemporaryDir home;
    const QString config = home.filePath("veldrin.conf");
    const quint16 port = freePort();
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly)) return r;
    conf.write("[Startup]\nListenPort=" + QByteArray::number(port) +
               "\n[Ports]\nCOM1=" + device.toLocal8Bit() + "\n");
    conf.close();

    const QByteArray socketPath = QFile::encodeName(home.filePath("notify"));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(),
                std::min(size_t(socketPath.size()), sizeof addr.sun_path - 1));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return r;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "JOURNAL_STREAM"})
        env.remove(QString::fromLatin1(name));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_STATE_HOME", home.filePath("state"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    env.insert("NOTIFY_SOCKET", QString::fromUtf8(socketPath));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());

    QEventLoop loop;
    QElapsedTimer clock;
    QSocketNotifier notes(fd, QSocketNotifier::Read);
    QObject::connect(&notes, &QSocketNotifier::activated, &loop, [&] {
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            if (r.readyMs < 0 && QByteArray(buf, int(n)).contains("READY=1"))
                r.readyMs = double(clock.nsecsElapsed()) / 1e6;
        if (r.readyMs >= 0 && r.listeningMs >= 0) loop.quit();
    });
    // The listener is probed with a connection attempt every 5 ms until one
    // is accepted: the first moment a client could talk to the service.
    QTcpSocket probe;
    QTimer again;
    again.setSingleShot(true);
    QObject::connect(&again, &QTimer::timeout, &loop, [&] {
        probe.abort();
        probe.connectToHost(QHostAddress::LocalHost, port);
    });
    QObject::connect(&probe, &QTcpSocket::connected, &loop, [&] {
        r.listeningMs = double(clock.nsecsElapsed()) / 1e6;
        probe.abort();
        if (r.readyMs >= 0) loop.quit();
    });
    QObject::connect(&probe, &QTcpSocket::errorOccurred, &loop, [&] {
        if (r.listeningMs < 0) again.start(5);
    });
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    clock.start();
    p.start(program, {"--config", config});
    again.start(0);
    loop.exec();
    p.terminate();
    if (!p.waitForFinished(10000)) p.kill();
    ::close(fd);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QCoreApplication app(argc, argv);
    const QString program = QCoreApplication::applicationDirPath() + "/veldrind";
    if (!QFile::exists(program)) {
        std::printf("%s is not built\n", qPrintable(program));
        return 1;
    }
    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::printf("cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    QTemporaryDir nothing;
    const struct {
        const char* name;
        QString device;
    } cases[] = {{"interface", sim.devicePath()}, {"no_interface", nothing.filePath("ttyUSB9")}};
    for (const auto& c : cases) {
        std::vector<double> listening, ready;
        for (int i = 0; i < runs; ++i) {
            const Run r = once(program, c.device);
            std::printf("%s run %d: listening after %.1f ms, READY=1 after %.1f ms\n", c.name,
                        i + 1, r.listeningMs, r.readyMs);
            if (r.listeningMs >= 0) listening.push_back(r.listeningMs);
            if (r.readyMs >= 0) ready.push_back(r.readyMs);
        }
        std::printf("FIGURE daemon_start_listening_ms_%s %.1f\n", c.name, median(listening));
        std::printf("FIGURE daemon_start_ready_ms_%s %.1f\n", c.name, median(ready));
    }
    return 0;
}
