// Figures of the control library, printed:
//  1. CPU time of the process during a 10-second Init with nothing attached
//     (real time, no speed-up): the waits must sleep, not spin.
//  2. Latency from Exec to the first byte on the line, and from the
//     checksum's arrival to the 0x00 confirmation (median, p99, max).
//  3. Commands per second through the queue when the emulator paces bytes at
//     4800 baud, against the line's limit.
//  4. With the interface of the core on the emulator: from a command sent to
//     an interface that fell silent to the line that says it is not
//     answering, and from its answering again to the line that it was found.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "commandpath.h"
#include "engine.h"
#include "interface.h"
#include "namedevent.h"
#include "pandrel/controlcm_probe.h"
#include "settingsstore.h"
#include "state/address.h"
#include "state/statetable.h"
#include "timebase.h"
#include "twowaysim.h"

using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A bare pseudo-terminal: the control opens the slave side, nobody listens on
// the master. Nothing is attached.
struct BarePty {
    int master = -1;
    QString slave;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        slave = QString::fromLocal8Bit(ptsname(master));
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        return true;
    }
    ~BarePty() {
        if (master >= 0) ::close(master);
    }
};

// A minimal interface on a pseudo-terminal that stamps every event with the
// monotonic clock in nanoseconds: first byte of each frame, checksum written,
// confirmation read. It answers at once, or, with line pacing, as a 4800-baud
// line would allow: the checksum once the frame and the checksum itself have
// crossed the line, the ready byte once the confirmation and the ready byte
// have (no powerline time).
class StampingResponder {
  public:
    explicit StampingResponder(bool linePacing = false) : paced(linePacing) {}
    bool start() {
        if (!pty.open()) return false;
        thread = std::thread([this] { run(); });
        return true;
    }
    ~StampingResponder() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    QString path() const { return pty.slave; }

    struct Stamp {
        Clock::time_point firstByte;    // first byte of a frame arrived
        Clock::time_point checksumOut;  // checksum written
        Clock::time_point ackIn;        // 0x00 arrived
    };
    std::vector<Stamp> stamps() {
        std::lock_guard g(m);
        return done;
    }
    void clear() {
        std::lock_guard g(m);
        done.clear();
    }

  private:
    void write1(uint8_t b) { (void)!::write(pty.master, &b, 1); }
    void run() {
        QByteArray frame;
        int expect = 0;
        bool awaitAck = false;
        Stamp cur{};
        while (!stop) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[256];
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n <= 0) continue;
            const auto now = Clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buf[i];
                if (awaitAck) {
                    awaitAck = false;
                    if (b == 0x00) {
                        cur.ackIn = now;
                        if (paced) std::this_thread::sleep_until(now + 2 * kByte);
                        {
                            std::lock_guard g(m);
                            done.push_back(cur);
                        }
                        write1(0x55);  // command sent on the powerline
                        continue;
                    }
                }
                if (expect == 0) {
                    if (b == 0x8B) {  // status request: 14 bytes
                        const QByteArray r(14, '\x01');
                        (void)!::write(pty.master, r.constData(), r.size());
                        continue;
                    }
                    if (!(b & 0x04)) continue;
                    expect = (b & 0x01) ? 5 : 2;
                    frame.clear();
                    cur = Stamp{};
                    cur.firstByte = now;
                }
                frame.append(char(b));
                if (frame.size() == expect) {
                    expect = 0;
                    uint8_t sum = 0;
                    for (char c : frame) sum += uint8_t(c);
                    if (paced)
                        std::this_thread::sleep_until(cur.firstByte + (frame.size() + 1) * kByte);
                    write1(sum);
                    cur.checksumOut = Clock::now();
                    awaitAck = true;
                }
            }
        }
    }

    static constexpr std::chrono::nanoseconds kByte{10 * 1000000000LL / 4800};
    bool paced = false;
    BarePty pty;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::vector<Stamp> done;
};

struct Summary {
    double median, p99, max;
};
Summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {0, 0, 0};
    auto at = [&](double q) {
        const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5));
        return v[i];
    };
    return {at(0.5), at(0.99), v.back()};
}

void mapPort(int n, const QString& path) {
    platform::SaveSetting(QStringLiteral("veldrin"), QStringLiteral("Ports"),
                          QStringLiteral("COM%1").arg(n), path);
}

bool drained(controlcmProbe::Private& d) {
    return d.iCmdCount == 0 && !d.bQueueBusy;
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    platform::TimeBase::global().setScale(1.0);
    std::printf("pandrel benchmark (real time, scale 1)\n");

    // 1. CPU during Init with nothing attached.
    {
        BarePty pty;
        if (!pty.open()) {
            std::printf("cannot open a pseudo-terminal\n");
            return 1;
        }
        mapPort(11, pty.slave);
        controlcm cm;
        cm.setComport(11);
        cm.setEventName(QStringLiteral("pandrel_bench_%1").arg(getpid()));
        const double cpu0 = cpuSeconds(RUSAGE_SELF);
        const auto t0 = Clock::now();
        const int status = cm.Init();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
        std::printf("\n[1] Init with nothing attached: status %d after %.2f s\n", status, wall);
        std::printf("    CPU time %.1f ms = %.3f %% of one core (target < 1 %%)\n", cpu * 1000,
                    100.0 * cpu / wall);
        std::printf("FIGURE idle_cpu_percent %.3f\n", 100.0 * cpu / wall);
    }

    // 2. Latencies against a responder that answers at once.
    {
        StampingResponder r;
        if (!r.start()) return 1;
        mapPort(12, r.path());
        controlcm cm;
        cm.setComport(12);
        cm.setEventName(QStringLiteral("pandrel_bench2_%1").arg(getpid()));
        auto& d = controlcmProbe::d(cm);
        if (cm.Init() != 0) {
            std::printf("Init against the responder failed\n");
            return 1;
        }
        const int samples = 100;
        std::vector<double> execToByte, checksumToAck;
        for (int i = 0; i < samples; ++i) {
            r.clear();
            // Spread the calls evenly over the timer's period (in a shuffled
            // order), so that the median is not an artefact of the spread.
            platform::waitEvents(1 + ((i * 37) % samples) * 250 / samples);
            const auto t0 = Clock::now();
            cm.Exec("A", " 1", 2);
            platform::waitFor([&] { return drained(d); }, 2000);
            const auto st = r.stamps();
            if (st.size() < 2) continue;
            execToByte.push_back(
                std::chrono::duration<double, std::milli>(st[0].firstByte - t0).count());
            for (const auto& s : st) {
                checksumToAck.push_back(
                    std::chrono::duration<double, std::milli>(s.ackIn - s.checksumOut).count());
            }
        }
        const Summary a = summarise(execToByte);
        const Summary b = summarise(checksumToAck);
        std::printf(
            "\n[2] Exec to first byte (%zu commands): median %.1f ms, p99 %.1f ms, max %.1f ms"
            " (target: max <= 255 ms)\n",
            execToByte.size(), a.median, a.p99, a.max);
        std::printf(
            "    checksum to 0x00 (%zu frames): median %.3f ms, p99 %.3f ms, max %.3f ms"
            " (target: median < 1 ms)\n",
            checksumToAck.size(), b.median, b.p99, b.max);
        std::printf("FIGURE exec_first_byte_median_ms %.1f\nFIGURE exec_first_byte_p99_ms %.1f\n",
                    a.median, a.p99);
    }

    // 3. Throughput through the queue: with 4800-baud pacing, and without
    // (the cost of the control and the pseudo-terminal alone).
    for (bool pacing : {true, false}) {
        sim::TwoWaySim sim;
        if (!sim.start()) return 1;
        sim.setTimeScale(1.0);
        sim.setPacing(pacing);
        mapPort(13, sim.devicePath());
        controlcm cm;
        cm.setComport(13);
        cm.setEventName(QStringLiteral("pandrel_bench3_%1").arg(getpid()));
        auto& d = controlcmProbe::d(cm);
        if (cm.Init() != 0) {
            std::printf("Init against the emulator failed\n");
            return 1;
        }
        sim.clearRecords();
        const int n = 50;
        for (int i = 0; i < n; ++i) cm.Exec("A", QString::number(i % 16 + 1), 2);
        platform::waitFor([&] { return drained(d); }, 60000);
        const auto frames = sim.framedOnly();
        if (frames.size() < 2 * n) {
            std::printf("only %lld frames arrived\n", static_cast<long long>(frames.size()));
            return 1;
        }
        // Frame completion times: from the first command's first frame to the
        // last command's first frame, n - 1 whole commands.
        const double spanMs = frames[2 * n - 2].tMs - frames.first().tMs;
        const double perCmd = spanMs / (n - 1);
        if (!pacing) {
            std::printf(
                "    without pacing: %.2f ms per command = %.0f commands/s"
                " (the control and the pseudo-terminal alone)\n",
                perCmd, 1000.0 / perCmd);
            continue;
        }
        const double byteMs = 10.0 * 1000.0 / 4800.0;
        const double lineLimitMs = 2 * 5 * byteMs;                   // 2 frames x 5 bytes
        const double simFloorMs = lineLimitMs + 2 * 2 * 2 * byteMs;  // plus modelled powerline time
        std::printf("\n[3] %d ON commands through the queue\n", n);
        std::printf("    4800-baud pacing: %.1f ms per command = %.1f commands/s\n", perCmd,
                    1000.0 / perCmd);
        std::printf(
            "    line limit (2 frames x 5 bytes): %.1f ms = %.1f commands/s -> %.0f %% of it\n",
            lineLimitMs, 1000.0 / lineLimitMs, 100.0 * lineLimitMs / perCmd);
        std::printf(
            "    emulator floor (line plus its powerline time, 2 byte times per frame"
            " byte): %.1f ms = %.1f commands/s -> %.0f %% of it\n",
            simFloorMs, 1000.0 / simFloorMs, 100.0 * simFloorMs / perCmd);
        std::printf("FIGURE emulator_commands_per_s %.1f\nFIGURE emulator_line_percent %.0f\n",
                    1000.0 / perCmd, 100.0 * lineLimitMs / perCmd);
    }
    // 3b. The same against the line alone: a responder paced at 4800 baud
    // without powerline time.
    {
        StampingResponder r(true);
        if (!r.start()) return 1;
        mapPort(14, r.path());
        controlcm cm;
        cm.setComport(14);
        cm.setEventName(QStringLiteral("pandrel_bench4_%1").arg(getpid()));
        auto& d = controlcmProbe::d(cm);
        if (cm.Init() != 0) {
            std::printf("Init against the paced responder failed\n");
            return 1;
        }
        r.clear();
        const int n = 50;
        for (int i = 0; i < n; ++i) cm.Exec("A", QString::number(i % 16 + 1), 2);
        platform::waitFor([&] { return drained(d); }, 60000);
        const auto st = r.stamps();
        if (st.size() < size_t(2 * n)) {
            std::printf("only %zu frames completed\n", st.size());
            return 1;
        }
        const double spanMs =
            std::chrono::duration<double, std::milli>(st[2 * n - 2].firstByte - st[0].firstByte)
                .count();
        const double perCmd = spanMs / (n - 1);
        const double lineLimitMs = 2 * 5 * 10.0 * 1000.0 / 4800.0;
        std::printf(
            "    against the line alone (responder paced at 4800 baud, no powerline time):"
            " %.1f ms per command = %.1f commands/s -> %.0f %% of the line limit\n",
            perCmd, 1000.0 / perCmd, 100.0 * lineLimitMs / perCmd);
        std::printf(
            "FIGURE line_commands_per_s %.1f\nFIGURE line_limit_per_s %.1f\n"
            "FIGURE line_percent %.0f\n",
            1000.0 / perCmd, 1000.0 / lineLimitMs, 100.0 * lineLimitMs / perCmd);
    }
    // 4. A silent interface noticed, and found again, through the core.
    {
        sim::TwoWaySim sim;
        if (!sim.start()) return 1;
        mapPort(15, sim.devicePath());
        state::StateTable table;
        QStringList lines;
        Clock::time_point lostAt{}, foundAt{};
        core::Interface iface(core::Interface::Kind::TwoWay, table,
                              [&](const QString& line, platform::LogLevel) {
                                  lines << line;
                                  if (line.endsWith(QLatin1String("Interface not answering")))
                                      lostAt = Clock::now();
                                  else if (line.startsWith(QLatin1String("Found Pandrel")))
                                      foundAt = Clock::now();
                              });
        iface.engine().setEventName(QStringLiteral("pandrel_bench5_%1").arg(getpid()));
        if (!iface.contact(15)) {
            std::printf("the core's contact with the emulator failed\n");
            return 1;
        }
        sim.setSilent(true);
        const auto t0 = Clock::now();
        const qint64 logical0 = platform::TimeBase::global().nowMs();
        iface.commands().switchUnit(state::Address{1, 5}, true, state::Source::Remote);
        platform::waitFor([&] { return lostAt != Clock::time_point{}; }, 30000);
        if (lostAt == Clock::time_point{}) {
            std::printf("the silence was not noticed:\n%s\n", qPrintable(lines.join('\n')));
            return 1;
        }
        const double silenceMs = std::chrono::duration<double, std::milli>(lostAt - t0).count();
        const qint64 logicalMs = platform::TimeBase::global().nowMs() - logical0;
        sim.setSilent(false);
        const auto t1 = Clock::now();
        foundAt = {};
        platform::waitFor([&] { return foundAt != Clock::time_point{}; }, 60000);
        const double foundMs =
            foundAt == Clock::time_point{}
                ? -1
                : std::chrono::duration<double, std::milli>(foundAt - t1).count();
        std::printf("\n[4] A command to an interface that fell silent\n");
        std::printf(
            "    to the line \"... Lost on Com: 15 - Interface not answering\": %.0f ms real,"
            " %lld ms logical (target < 10 s)\n",
            silenceMs, static_cast<long long>(logicalMs));
        std::printf("    answering again to \"Found Pandrel Interface ...\": %.0f ms\n", foundMs);
        std::printf("FIGURE silence_to_line_ms %.0f\nFIGURE silence_found_again_ms %.0f\n",
                    silenceMs, foundMs);
    }
    for (const char* prefix : {"pandrel_bench_", "pandrel_bench2_", "pandrel_bench3_",
                               "pandrel_bench4_", "pandrel_bench5_"}) {
        const QString name = QString::fromLatin1(prefix) + QString::number(getpid());
        ::shm_unlink(platform::NamedEvent::objectName(name).constData());
    }
    return 0;
}
