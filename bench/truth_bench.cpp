// How true the tracked state stays: the core service as the daemon veldrind
// assembles it, against the emulated two-way interface whose 16 modules
// (A1-A8 two-way lamps, A9-A16 two-way appliances) answer status requests,
// with the emulator losing a share of everything put on the powerline (the
// status traffic too), seeded so that every run loses the same.
//
//   bench_truth [commands, default 1000] [loss percent, default 5]
//
// The same seeded commands go out twice, each time to a fresh emulator: once
// with the modules declared two-way (checked), once declared plain lamps and
// appliances (tracked from what was sent, as before). The commands come as
// users give them: bursts of 1 to 40 (a click, a scene, a slider dragged),
// the next burst once the line is quiet; a lamp gets a level (60 %) or ON /
// OFF, an appliance ON / OFF. Then, checked only, the same commands as a
// steady stream: each given the moment the one before it is done, so the
// line is never quiet and the checks take only the gaps between commands. At the end each module's
// tracked state is compared with the emulator's module: power, and a lamp's level (two-way: the
// same of the 64 levels; plain: within one dim step, 5 %).
//
// Powerline time is counted in messages of ~0.83 s (an address with its
// function, or one extended message): the commands' own, and the checks'
// (status requests, commands sent again, the modules' replies).
//
// Last, with PollMinutes = 1, a module is set at the wall (nothing reaches
// the computer) and the logical time until the tracked state shows it is
// taken, ten times.
//
// The time base and the emulator run kScale times faster than real time;
// times are logical.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "commandpath.h"
#include "corebench.h"
#include "interface.h"
#include "linecommands.h"
#include "service.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "statecheck.h"
#include "timebase.h"
#include "twowaysim.h"

namespace {

constexpr double kScale = 30;
constexpr int kModules = 16;
constexpr int kLamps = 8;
constexpr double kMessageS = 0.83;
constexpr quint32 kSeed = 2026;

state::Address module(int i) {
    return {1, i + 1};
}

struct Run {
    int given = 0;
    int userMessages = 0;
    int checkMessages = 0;  // requests and commands sent again
    int replies = 0;
    int lost = 0;
    int trueModules = 0;
    bool ok = true;
};

// A fresh emulator with its modules, the settings naming it, and the service.
struct Rig {
    sim::TwoWaySim sim;
    std::unique_ptr<core::Service> service;
    std::unique_ptr<bench::LogTail> tail;

    bool start(bool twoWay, int pollMinutes, int loss) {
        sim.setTimeScale(kScale);
        for (int i = 0; i < kModules; ++i)
            sim.setModuleKind(
                'A', i + 1,
                i < kLamps ? sim::ModuleKind::TwoWayLamp : sim::ModuleKind::TwoWayAppliance);
        if (!sim.start()) return false;
        QFile::remove(state::StateTable::defaultPath());
        platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
        for (int i = 0; i < kModules; ++i) {
            const char* lamp = twoWay ? "twoway-lamp" : "lamp";
            const char* appliance = twoWay ? "twoway-appliance" : "appliance";
            platform::SaveSetting("veldrin", "Modules", module(i).text(),
                                  QString::fromLatin1(i < kLamps ? lamp : appliance));
        }
        platform::SaveSetting("veldrin", "Modules", "PollMinutes", QString::number(pollMinutes));
        service = std::make_unique<core::Service>(core::ServiceSettings::read());
        tail = std::make_unique<bench::LogTail>(service->log());
        service->load();
        service->start();
        if (!bench::pumpUntil([&] { return service->commands().interfaceReady(); }, 20000))
            return false;
        if (!quiet(120000)) return false;
        // Both runs lose from the same point of the same sequence.
        sim.setLossSeed(kSeed);
        sim.setLossPercent(loss);
        sim.clearRecords();
        return true;
    }
    // Nothing waits for the interface, and nothing is being asked.
    bool quiet(int realMs) {
        core::StateCheck* check = service->stateCheck();
        return bench::pumpUntil(
            [&] {
                return service->interface().commandsWaiting() == 0 &&
                       service->commands().interfaceReady() && (!check || check->idle());
            },
            realMs);
    }
};

bool equal(const state::ModuleState& s, const sim::ModuleTable::State& m, bool lamp, bool twoWay) {
    if ((s.power == state::Power::On) != m.on || s.power == state::Power::Unknown) return false;
    if (!lamp || !m.on) return true;
    if (twoWay) return x10::extLevel(s.level) == m.level;
    return std::abs(s.level - x10::extPercent(m.level)) <= 5;
}

// One command of the seeded sequence.
CommandPath::Verdict give(core::Service& s, std::mt19937& rng) {
    const int i = int(rng() % kModules);
    const bool lamp = i < kLamps;
    if (lamp && rng() % 10 < 6)
        return s.commands().setBrightness(module(i), 1 + int(rng() % 100), state::Source::Mqtt);
    return s.commands().switchUnit(module(i), rng() % 2 == 0, state::Source::Mqtt);
}

// The commands one after another, each once the one before is done; a
// command that sends nothing (the state it asks for is already tracked) is
// followed by the next at once.
bool stream(Rig& rig, Run& run, int count, std::mt19937& rng) {
    core::Service& s = *rig.service;
    const auto next = [&s, &run, &rng, count] {
        while (run.given < count) {
            ++run.given;
            const CommandPath::Verdict v = give(s, rng);
            if (v.accepted() && v.id != 0) return;
        }
    };
    // From the event loop, as a user's next click would come: the checks,
    // told of the same command first, may take the gap.
    const QMetaObject::Connection c =
        QObject::connect(&s.interface().lines(), &core::LineCommands::lineDone,
                         [next](const core::LineCommand& c, bool) {
                             if (!c.check) QTimer::singleShot(0, next);
                         });
    next();
    const bool ended = bench::pumpUntil([&] { return run.given >= count; }, 600000);
    QObject::disconnect(c);
    return ended && rig.quiet(120000);
}

Run runCommands(bool twoWay, int count, int loss, bool steady = false) {
    Run run;
    Rig rig;
    if (!rig.start(twoWay, 0, loss)) {
        std::fprintf(stderr, "%s run: the interface was not found or did not settle\n",
                     twoWay ? "two-way" : "plain");
        if (rig.tail) rig.tail->print();
        run.ok = false;
        return run;
    }
    core::Service& s = *rig.service;
    QObject::connect(&s.interface().lines(), &core::LineCommands::lineDone,
                     [&](const core::LineCommand& c, bool sent) {
                         if (!sent) return;
                         (c.check ? run.checkMessages : run.userMessages) += 1;
                     });
    std::mt19937 rng(kSeed);
    if (steady && !stream(rig, run, count, rng)) {
        std::fprintf(stderr, "the stream did not end\n");
        rig.tail->print();
        run.ok = false;
        return run;
    }
    while (run.given < count) {
        const int burst = std::min(count - run.given, 1 + int(rng() % 40));
        for (int b = 0; b < burst; ++b, ++run.given) give(s, rng);
        if (!rig.quiet(120000)) {
            std::fprintf(stderr, "the line did not become quiet after command %d\n", run.given);
            rig.tail->print();
            run.ok = false;
            return run;
        }
    }
    const sim::TwoWaySim::LineStats stats = rig.sim.lineStats();
    run.replies = stats.replies;
    run.lost = stats.lost + stats.repliesLost;
    for (int i = 0; i < kModules; ++i) {
        const state::Address a = module(i);
        const state::ModuleState& t = s.states().state(a);
        const sim::ModuleTable::State m = rig.sim.moduleState('A', a.unit);
        if (equal(t, m, i < kLamps, twoWay)) {
            ++run.trueModules;
            continue;
        }
        std::printf("%s: %s tracked %s %d %% (answer %d), the module %s level %d\n",
                    twoWay ? "two-way" : "plain", qPrintable(a.text()),
                    t.power == state::Power::On ? "ON" : "OFF", t.level, int(t.answer),
                    m.on ? "ON" : "OFF", m.level);
    }
    return run;
}

// Logical seconds from a change at the wall to the tracked state showing it.
std::vector<double> wallToTracked(int changes) {
    std::vector<double> seconds;
    Rig rig;
    if (!rig.start(true, 1, 0)) {
        std::fprintf(stderr, "wall run: the interface was not found or did not settle\n");
        if (rig.tail) rig.tail->print();
        return seconds;
    }
    std::mt19937 rng(kSeed + 1);
    const platform::TimeBase& time = platform::TimeBase::global();
    for (int k = 0; k < changes; ++k) {
        const int i = int(rng() % kLamps);
        const state::Address a = module(i);
        const int before = rig.sim.moduleState('A', a.unit).level;
        int percent = 0;
        do {
            percent = 1 + int(rng() % 100);
        } while (x10::extLevel(percent) == before);
        // At a random moment of the minute between two rounds.
        platform::waitEvents(qint64(rng() % 60000));
        rig.sim.changeAtWall('A', a.unit, percent);
        const int level = rig.sim.moduleState('A', a.unit).level;
        const qint64 t0 = time.nowMs();
        if (!bench::pumpUntil(
                [&] {
                    const state::ModuleState& s = rig.service->states().state(a);
                    return s.power == state::Power::On && x10::extLevel(s.level) == level;
                },
                int(200000 / kScale) + 20000)) {
            std::fprintf(stderr, "wall change %d: not found\n", k + 1);
            rig.tail->print();
            break;
        }
        seconds.push_back(double(time.nowMs() - t0) / 1000.0);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int loss = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 100) : 5;
    QTemporaryDir home;
    bench::privateHome(home);
    QCoreApplication app(argc, argv);
    platform::TimeBase::global().setScale(kScale);
    platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");

    const Run twoWay = runCommands(true, count, loss);
    const Run plain = runCommands(false, count, loss);
    const Run steady = runCommands(true, count, loss, true);
    if (!twoWay.ok || !plain.ok || !steady.ok) return 1;
    const double own = twoWay.userMessages * kMessageS;
    const double extra = (twoWay.checkMessages + twoWay.replies) * kMessageS;
    std::printf("%d commands to %d modules, %d %% of the powerline traffic lost\n", count, kModules,
                loss);
    std::printf(
        "two-way: %d messages of the commands, %d of the checks (requests and commands "
        "sent again), %d replies, %d messages lost\n",
        twoWay.userMessages, twoWay.checkMessages, twoWay.replies, twoWay.lost);
    std::printf("plain: %d messages of the commands, %d lost\n", plain.userMessages, plain.lost);
    std::printf("FIGURE truth_true_percent %.1f\n", 100.0 * twoWay.trueModules / kModules);
    std::printf("FIGURE truth_oneway_true_percent %.1f\n", 100.0 * plain.trueModules / kModules);
    std::printf("FIGURE truth_commands_line_s %.0f\n", own);
    std::printf("FIGURE truth_checks_line_s %.0f\n", extra);
    std::printf("FIGURE truth_checks_percent %.0f\n", own > 0 ? 100.0 * extra / own : 0.0);
    const double steadyOwn = steady.userMessages * kMessageS;
    const double steadyExtra = (steady.checkMessages + steady.replies) * kMessageS;
    std::printf(
        "steady stream: %d messages of the commands, %d of the checks, %d replies, %d lost\n",
        steady.userMessages, steady.checkMessages, steady.replies, steady.lost);
    std::printf("FIGURE truth_steady_true_percent %.1f\n", 100.0 * steady.trueModules / kModules);
    std::printf("FIGURE truth_steady_checks_percent %.0f\n",
                steadyOwn > 0 ? 100.0 * steadyExtra / steadyOwn : 0.0);

    // TRUTH_NO_WALL=1: the commands only.
    if (std::getenv("TRUTH_NO_WALL")) return 0;
    const std::vector<double> wall = wallToTracked(10);
    if (wall.empty()) return 1;
    std::printf("wall change to tracked state (PollMinutes=1), logical s:");
    for (double s : wall) std::printf(" %.1f", s);
    std::printf("\n");
    std::printf("FIGURE truth_wall_median_s %.1f\n", bench::percentile(wall, 0.5));
    std::printf("FIGURE truth_wall_max_s %.1f\n", *std::max_element(wall.begin(), wall.end()));
    return 0;
}
