#include "startupreport.h"

#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWidget>
#include <cstdio>

namespace app {

namespace {

qint64 clockNs(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Milliseconds since this process started (the kernel keeps the start in
// clock ticks since boot, so the figure is good to one tick, 10 ms).
double msSinceProcessStart() {
    QFile f(QStringLiteral("/proc/self/stat"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command name (which may hold blanks) start after ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20) return -1;
    const double startS = fields[19].toDouble() / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (static_cast<double>(clockNs(CLOCK_BOOTTIME)) / 1e9 - startS) * 1000.0;
}

long residentKb() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QList<QByteArray> fields = f.readAll().split(' ');
    if (fields.size() < 2) return -1;
    return fields[1].toLong() * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

StartupReport::StartupReport() {
    active_ = !qEnvironmentVariableIsEmpty("VELDRIN_STARTUP_REPORT");
    if (active_) QCoreApplication::instance()->installEventFilter(this);
}

bool StartupReport::eventFilter(QObject* watched, QEvent* event) {
    if (!shown_ && event->type() == QEvent::Show) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && w->isWindow() && w->objectName() == QLatin1String("Form1")) {
            shown_ = true;
            std::printf(
                "startup: window shown at monotonic %lld ns, %.0f ms after the process "
                "started\n",
                static_cast<long long>(clockNs(CLOCK_MONOTONIC)), msSinceProcessStart());
            std::fflush(stdout);
        }
    }
    return false;
}

void StartupReport::finish(const std::function<void()>& release) {
    QCoreApplication::processEvents();
    std::printf("startup: resident %ld kB\n", residentKb());
    if (release) release();
    std::fflush(nullptr);
    ::_exit(0);
}

}  // namespace app
