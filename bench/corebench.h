#pragma once
// Shared pieces of the benchmarks that run the core service against an
// emulator under QCoreApplication: a private home for settings and state, an
// event-loop pump with a deadline, the service's log kept for a failure
// report, and percentiles of the measured figures.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "eventlog.h"

namespace bench {

// Settings, lock and state file of a benchmark stay in home, away from the
// user's own; call before anything reads the settings.
inline void privateHome(const QTemporaryDir& home) {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"})
        ::setenv(name, qPrintable(home.path()), 1);
}

// Keeps the service's log lines (the daemon prints them; here they would
// bury the figures) so that a run that fails can show how it ended.
class LogTail {
  public:
    explicit LogTail(core::EventLog& log) {
        const auto keep = [this](const QString& line) {
            lines_.append(line);
            if (lines_.size() > 40) lines_.removeFirst();
        };
        QObject::connect(&log, &core::EventLog::eventLine, &log, keep);
        QObject::connect(&log, &core::EventLog::clientLine, &log, keep);
    }
    void print() const {
        std::fprintf(stderr, "the service's last log lines:\n");
        for (const QString& line : lines_) std::fprintf(stderr, "  %s\n", qPrintable(line));
    }

  private:
    QStringList lines_;
};

// Runs the event loop until cond() holds; a 1 ms tick makes sure conditions
// that change on the emulator's thread are seen promptly.
inline bool pumpUntil(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    QTimer tick;
    tick.start(1);
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

}  // namespace bench
