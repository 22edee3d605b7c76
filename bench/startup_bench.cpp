// Start-up of the program: time from starting the process to its window being
// shown, and resident memory once start-up is over (the interface search
// included, against the emulated two-way interface). Each run starts
// build/bin/veldrin with VELDRIN_STARTUP_REPORT=1 in a private settings and
// runtime folder and reads what it prints. The display is whatever the
// environment gives (DISPLAY, or QT_QPA_PLATFORM; offscreen when neither).
//
//   bench_startup [runs, default 5]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "twowaysim.h"

extern char** environ;

namespace {

qint64 monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QCoreApplication app(argc, argv);
    const QString program = QCoreApplication::applicationDirPath() + "/veldrin";
    if (!QFile::exists(program)) {
        std::printf("%s is not built\n", qPrintable(program));
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const QByteArray platform = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
                                    ? QByteArray("xcb on ") + qgetenv("DISPLAY")
                                    : qgetenv("QT_QPA_PLATFORM");

    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::printf("cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    std::vector<double> shownMs, residentMb;
    for (int i = 0; i < runs; ++i) {
        QTemporaryDir home;
        QDir().mkpath(home.path() + "/config/veldrin");
        QDir().mkpath(home.path() + "/runtime");
        QFile::setPermissions(home.path() + "/runtime",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile conf(home.path() + "/config/veldrin/veldrin.conf");
        if (!conf.open(QIODevice::WriteOnly)) return 1;
        conf.write("[Ports]\nCOM1=" + sim.devicePath().toLocal8Bit() + "\n");
        conf.close();
        ::setenv("XDG_CONFIG_HOME", qPrintable(home.path() + "/config"), 1);
        ::setenv("XDG_RUNTIME_DIR", qPrintable(home.path() + "/runtime"), 1);
        ::setenv("VELDRIN_STARTUP_REPORT", "1", 1);

        int out[2];
        if (::pipe(out) != 0) return 1;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const QByteArray path = program.toLocal8Bit();
        char* args[] = {const_cast<char*>(path.constData()), nullptr};
        pid_t pid = 0;
        const qint64 t0 = monotonicNs();
        const int rc = posix_spawn(&pid, path.constData(), &fa, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            std::printf("cannot start %s\n", path.constData());
            return 1;
        }
        QByteArray text;
        char buf[4096];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);

        qint64 shownNs = 0;
        long kb = 0;
        for (const QByteArray& line : text.split('\n')) {
            if (line.startsWith("startup: window shown at monotonic "))
                shownNs = line.mid(35).split(' ').value(0).toLongLong();
            if (line.startsWith("startup: resident "))
                kb = line.mid(18).split(' ').value(0).toLong();
        }
        if (shownNs == 0 || kb <= 0) {
            std::printf("run %d: no report (exit status %d):\n%s\n", i + 1, status,
                        text.constData());
            return 1;
        }
        shownMs.push_back(static_cast<double>(shownNs - t0) / 1e6);
        residentMb.push_back(static_cast<double>(kb) / 1024.0);
        std::printf("run %d: window shown after %.1f ms, resident %.1f MB after start-up\n", i + 1,
                    shownMs.back(), residentMb.back());
    }
    std::printf(
        "start-up over %d runs (%s): window shown median %.1f ms, resident median %.1f MB\n", runs,
        platform.constData(), median(shownMs), median(residentMb));
    std::printf("FIGURE window_shown_ms %.1f\n", median(shownMs));
    std::printf("FIGURE resident_mb %.1f\n", median(residentMb));
    std::printf("FIGURE startup_platform %s\n", platform.constData());
    return 0;
}
