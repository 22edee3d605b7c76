// From the powerline to the state table: the time from an upload's last byte
// to the table's changed signal. The emulated two-way interface (unpaced)
// writes an upload in one piece right after the computer's poll answer, so
// the poll answer's arrival at the emulator stands for the upload's last
// byte; the end is the StateTable::changed signal for the addressed module,
// fed by the engine's heard events as the program feeds it. Both times come
// from the same monotonic clock (sim::monotonicMs).
//
//   bench_state [uploads, default 40]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "controlcm.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

bool waitFor(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    ::setenv("XDG_STATE_HOME", home.path().toLocal8Bit().constData(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    platform::TimeBase::global().setScale(1.0);

    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::printf("cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    platform::SaveSetting(QStringLiteral("veldrin"), QStringLiteral("Ports"),
                          QStringLiteral("COM1"), sim.devicePath());
    pandrel::Engine engine;
    controlcm cm(engine);
    cm.setComport(1);
    if (cm.Init() != 0) {
        std::printf("the control did not find the emulated interface\n");
        return 1;
    }
    state::StateTable table;
    QObject::connect(&engine, &pandrel::Engine::heard, &table, &state::StateTable::applyHeard);
    qint64 changedAt = 0;
    const state::Address a5{1, 5};  // house A = 1
    QObject::connect(&table, &state::StateTable::changed, &table, [&](state::Address a) {
        if (a == a5) changedAt = sim::monotonicMs();
    });

    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const bool on = i % 2 == 0;
        const auto upload = sim::TwoWaySim::buildUpload(on ? "A5 A ON" : "A5 A OFF");
        if (!upload) return 1;
        sim.clearRecords();
        changedAt = 0;
        sim.injectUpload(*upload);
        if (!waitFor([&] { return changedAt != 0; }, 5000)) {
            std::printf("upload %d: the state did not change\n", i + 1);
            return 1;
        }
        qint64 answeredAt = 0;
        for (const auto& f : sim.frames())
            if (f.kind == sim::TwoWaySim::Kind::PollAnswer) answeredAt = f.tMs;
        if (answeredAt == 0) {
            std::printf("upload %d: no poll answer recorded\n", i + 1);
            return 1;
        }
        ms.push_back(double(changedAt - answeredAt));
        waitFor([] { return false; }, 50);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double worst = ms.back();
    std::printf(
        "upload's last byte to StateTable::changed over %d uploads: median %.0f ms, "
        "max %.0f ms (ms resolution)\n",
        runs, median, worst);
    std::printf("FIGURE state_change_median_ms %.0f\n", median);
    std::printf("FIGURE state_change_max_ms %.0f\n", worst);

    // The state file with every address known, as the autosave writes it
    // (up to five times a second under a stream of changes): written whole,
    // synced and renamed into place, on the disk of $TMPDIR.
    QTemporaryDir disk;
    const QString path = disk.path() + QStringLiteral("/state");
    for (int i = 0; i < 256; ++i)
        table.setLevel(state::addressAt(i), i % 100, state::Source::Click);
    std::vector<double> saves;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer t;
        t.start();
        if (!table.save(path)) {
            std::printf("the state file could not be saved in %s\n", qPrintable(disk.path()));
            return 1;
        }
        saves.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(saves.begin(), saves.end());
    std::printf(
        "state file save with 256 known addresses over %zu saves: median %.2f ms, max %.2f ms\n",
        saves.size(), saves[saves.size() / 2], saves.back());
    std::printf("FIGURE state_save_median_ms %.2f\n", saves[saves.size() / 2]);
    std::printf("FIGURE state_save_max_ms %.2f\n", saves.back());
    return 0;
}
