// Two-way interface emulator for the end-to-end test: prints "device: PATH",
// then "status-requests: N" each time the count of status probes grows.
// Runs until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>

#include "twowaysim.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}
}  // namespace

int main() {
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    std::printf("device: %s\n", qPrintable(sim.devicePath()));
    std::fflush(stdout);
    qsizetype seen = 0;
    while (!g_stop) {
        // Wakes on every new record; the short limit lets a signal end it.
        sim.waitForFrames(int(sim.frames().size()) + 1, 200);
        const qsizetype n = sim.statusRequests().size();
        if (n != seen) {
            seen = n;
            std::printf("status-requests: %lld\n", static_cast<long long>(n));
            std::fflush(stdout);
        }
    }
    return 0;
}
