// The program as a service: the daemon build/bin/veldrind, without DISPLAY or
// WAYLAND_DISPLAY, against the emulated two-way interface. Once start-up is
// over (the interface found after the listener started) and a settling pause has
// passed, it reads the resident memory and then the CPU time the process
// uses over an idle stretch (the sum of its threads' run time from
// /proc/<pid>/task/*/schedstat, in nanoseconds) and how often it wakes:
// the timeslices its threads ran (the third field of the same files) and
// their voluntary context switches (/proc/<pid>/task/*/status), per second.
// An idle program with nothing to do should wake at most about once a second.
// With --schedule it runs with a 1,000-line schedule loaded (schedulelines.h),
// whose one timer must not make it wake more often. With --mqtt its bridge
// is connected to a private broker; the bridge's keep-alive should add at
// most one wake-up every 5 s.
//
//   bench_headless [idle seconds, default 20] [--schedule] [--mqtt]
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include "benchbroker.h"
#include "schedulelines.h"

#include "twowaysim.h"

namespace {

// Summed over every thread of pid: run time in nanoseconds, timeslices run,
// voluntary context switches.
struct Usage {
    qint64 cpuNs = 0;
    qint64 slices = 0;
    qint64 voluntary = 0;
};

Usage usage(qint64 pid) {
    Usage u;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& t : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(t) + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> fields = f.readAll().trimmed().split(' ');
            u.cpuNs += fields.value(0).toLongLong();
            u.slices += fields.value(2).toLongLong();
        }
        QFile s(tasks.filePath(t) + QStringLiteral("/status"));
        if (s.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : s.readAll().split('\n'))
                if (line.startsWith("voluntary_ctxt_switches:"))
                    u.voluntary += line.mid(24).trimmed().toLongLong();
        }
    }
    return u;
}

long residentKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Runs the event loop for ms milliseconds, or until cond holds.
bool waitFor(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    QCoreApplication app(argc, argv);
    const QStringList options = app.arguments().mid(2);
    const bool withSchedule = options.contains(QStringLiteral("--schedule"));
    const bool withMqtt = options.contains(QStringLiteral("--mqtt"));
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
    QTemporaryDir home;
    QProcess broker;
    const int brokerPort = withMqtt ? bench::startBroker(broker, home.path()) : 0;
    if (withMqtt && brokerPort == 0) return 1;
    const QString config = home.filePath("veldrin.conf");
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly)) return 1;
    conf.write("[Startup]\nListenPort=0\n[Ports]\nCOM1=" + sim.devicePath().toLocal8Bit() +
               "\n[Location]\nLatitude=52.37\nLongitude=4.90\n");
    if (withMqtt)
        conf.write("[MQTT]\nHost=127.0.0.1\nPort=" + QByteArray::number(brokerPort) + "\n");
    conf.close();
    if (withSchedule) {
        QFile schedule(home.filePath("schedule"));
        if (!schedule.open(QIODevice::WriteOnly)) return 1;
        schedule.write(benchScheduleLines().toUtf8());
        schedule.close();
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert("XDG_RUNTIME_DIR", home.path());
    env.insert("XDG_STATE_HOME", home.filePath("state"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, {"--config", config});
    QByteArray out;
    const bool started = waitFor(
        [&] {
            out += p.readAllStandardOutput();
            return (out.contains("Listening for a connection...") &&
                    out.contains("Connection Established") &&
                    (!withMqtt || out.contains("MQTT: connected"))) ||
                   p.state() == QProcess::NotRunning;
        },
        30000);
    if (!started || p.state() == QProcess::NotRunning ||
        (withSchedule && !out.contains("loaded: "))) {
        std::printf("no start-up:\n%s\n", out.constData());
        return 1;
    }
    const qint64 pid = p.processId();
    waitFor([] { return false; }, 2000);  // settle
    const long kb = residentKb(pid);
    const Usage u0 = usage(pid);
    QElapsedTimer wall;
    wall.start();
    waitFor([] { return false; }, idleSeconds * 1000);
    const Usage u1 = usage(pid);
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double percent = 100.0 * double(u1.cpuNs - u0.cpuNs) / double(wall.nsecsElapsed());
    const double wakeups = double(u1.slices - u0.slices) / seconds;
    const double switches = double(u1.voluntary - u0.voluntary) / seconds;
    p.terminate();
    waitFor([&] { return p.state() == QProcess::NotRunning; }, 10000);

    std::printf(
        "daemon veldrind (no display%s): resident %.1f MB after start-up, idle "
        "CPU %.4f %% of a core over %d s, %.2f wake-ups/s (%.2f voluntary switches/s)\n",
        withMqtt ? ", MQTT bridge connected" : "", kb / 1024.0, percent, idleSeconds, wakeups,
        switches);
    std::printf("FIGURE headless_resident_mb %.1f\n", kb / 1024.0);
    std::printf("FIGURE headless_idle_cpu_percent %.4f\n", percent);
    std::printf("FIGURE headless_idle_wakeups_per_s %.2f\n", wakeups);
    std::printf("FIGURE headless_idle_voluntary_switches_per_s %.2f\n", switches);
    return 0;
}
