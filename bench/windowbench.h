#pragma once
// Shared pieces of the benchmarks that run the real window against an
// emulator: dialogs that answer nothing, an event-loop pump with a deadline,
// and percentiles of the measured figures.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "dialogs.h"
#include "processexit.h"

namespace bench {

class SilentDialogs : public platform::Dialogs {
  public:
    void message(const QString&, const QString&, platform::MsgIcon) override {}
    QString inputText(const QString&, const QString&, const QString&) override { return {}; }
};

// Settings, lock, state file and display of a benchmark stay in home, away
// from the user's own; call before the QApplication is made.
inline void privateDesktop(const QTemporaryDir& home) {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"})
        ::setenv(name, qPrintable(home.path()), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// No dialog waits for an answer and the unload step does not end the process.
inline void quietWindow() {
    static SilentDialogs dialogs;
    platform::Dialogs::install(&dialogs);
    app::setExitHook([](int) {});
}

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
