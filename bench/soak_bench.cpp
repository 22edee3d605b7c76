// Soak run of the control library: many queued commands through the two-way
// interface emulator while faults are injected at random (wrong checksums, a
// poll in place of a checksum, uploads and bare polls arriving while a command
// is being sent, clock requests, long pauses before the ready byte and silent
// stretches, both shorter than the control's time-outs). The queue is kept
// full the whole time.
//
// The emulator's log of received bytes is checked frame by frame as it grows:
//  - every byte belongs to a whole frame, a confirmation right after a
//    handshake frame, or a poll answer: no byte of one exchange lands inside
//    another;
//  - the commands appear in the order they were queued, none missing, and
//    every one was either confirmed in its last attempt or used all five
//    attempts (the first and four retries);
// and the resident memory at the end is compared with the figure after the
// first tenth of the run (at most 1,000 commands in).
//
//   bench_soak [--count N] [--scale S] [--seed N]
//
// Exit status 0 when every check holds, 1 otherwise. Under AddressSanitizer
// the memory figure is printed but not judged (its quarantine keeps freed
// memory on purpose).
#include <sys/mman.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "namedevent.h"
#include "pandrel/controlcm_probe.h"
#include "settingsstore.h"
#include "timebase.h"
#include "twowaysim.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif

using sim::TwoWaySim;

namespace {

constexpr int kAttempts = 5;  // SendRetryCount 4: the first attempt and four retries
const char kHouses[] = "ABCDEFGHIJKLMNOP";
// X10 codes of the house letters A..P and of the units 1..16.
const uint8_t kHouseCode[16] = {6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};
const uint8_t kUnitCode[16] = {6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};

// Command i: consecutive commands differ in their address frame, so the log
// shows where one command ends and the next begins.
struct Command {
    QString house;
    QString unit;
    int function;
    uint8_t addressByte;
    uint8_t functionByte;
};
Command commandFor(int i) {
    const int h = (i / 16) % 16;
    const int u = i % 16;
    const int fn = (i / 3) % 2 == 0 ? 2 : 3;  // ON, OFF
    return {QString(QLatin1Char(kHouses[h])), QStringLiteral(" %1").arg(u + 1), fn,
            static_cast<uint8_t>(kHouseCode[h] << 4 | kUnitCode[u]),
            static_cast<uint8_t>(kHouseCode[h] << 4 | fn)};
}

long residentKb() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    if (fields.size() < 2) return 0;
    return fields[1].toLong() * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Checks the computer's bytes as the emulator received them, frame by frame,
// across any number of pieces.
class LineChecker {
  public:
    explicit LineChecker(int total) : total_(total) {}

    void feed(const QByteArray& bytes) {
        for (char c : bytes) byte(static_cast<uint8_t>(c));
    }
    // After the last piece: the last command must be complete as well.
    void finish() {
        if (expect_ != 0) error(QStringLiteral("the log ends inside a frame"));
        if (current_ >= 0) finishCommand();
        if (current_ + 1 != total_)
            error(
                QStringLiteral("%1 of %2 commands reached the line").arg(current_ + 1).arg(total_));
    }

    int commandsSeen() const { return current_ + 1; }
    int confirmed = 0;
    int outOfRetries = 0;
    int retries = 0;
    int clockFrames = 0;
    int pollAnswers = 0;
    QStringList errors;

  private:
    void error(const QString& text) {
        if (errors.size() < 20) errors << QStringLiteral("at byte %1: %2").arg(offset_).arg(text);
    }

    void byte(uint8_t b) {
        ++offset_;
        if (expect_ > 0) {
            frame_.append(static_cast<char>(b));
            if (frame_.size() == expect_) {
                expect_ = 0;
                frameDone();
            }
            return;
        }
        switch (b) {
            case 0x00:  // confirmation: only right after a handshake frame
                if (!lastWasHandshake_) {
                    error(QStringLiteral("a confirmation that follows no frame"));
                } else if (lastFunction_) {
                    functionConfirmed_ = true;
                } else {
                    addressConfirmed_ = true;
                }
                lastWasHandshake_ = false;
                return;
            case 0xC3:  // answer to a poll
                ++pollAnswers;
                lastWasHandshake_ = false;
                return;
            case 0x8B:  // a status request: the check after a handshake step went unanswered
                lastWasHandshake_ = false;
                return;
            case 0x9B:  // clock frame, 7 bytes
                expect_ = 7;
                break;
            case 0x04:  // address frame
            case 0x06:  // function frame
                expect_ = 2;
                break;
            default:
                error(QStringLiteral("byte %1 where a frame should begin")
                          .arg(b, 2, 16, QLatin1Char('0')));
                lastWasHandshake_ = false;
                return;
        }
        frame_ = QByteArray(1, static_cast<char>(b));
    }

    void frameDone() {
        const auto head = static_cast<uint8_t>(frame_[0]);
        const auto code = static_cast<uint8_t>(frame_[1]);
        lastWasHandshake_ = false;
        if (head == 0x9B) {
            ++clockFrames;
            return;
        }
        lastWasHandshake_ = true;
        lastFunction_ = head == 0x06;
        const bool isCurrent = current_ >= 0 && current_ < total_;
        if (head == 0x04) {
            if (isCurrent && code == commandFor(current_).addressByte) {
                newAttempt();
                return;
            }
            if (current_ + 1 < total_ && code == commandFor(current_ + 1).addressByte) {
                if (current_ >= 0) finishCommand();
                ++current_;
                attempts_ = 0;
                newAttempt();
                return;
            }
            error(QStringLiteral("address frame 04 %1 out of place (command %2)")
                      .arg(code, 2, 16, QLatin1Char('0'))
                      .arg(current_));
            return;
        }
        // A function frame belongs to the current command, after its address
        // was confirmed in this attempt.
        if (!isCurrent || code != commandFor(current_).functionByte) {
            error(QStringLiteral("function frame 06 %1 out of place (command %2)")
                      .arg(code, 2, 16, QLatin1Char('0'))
                      .arg(current_));
        } else if (!addressConfirmed_) {
            error(QStringLiteral("function frame of command %1 before its address was confirmed")
                      .arg(current_));
        }
        functionConfirmed_ = false;
    }

    void newAttempt() {
        ++attempts_;
        addressConfirmed_ = false;
        functionConfirmed_ = false;
    }

    void finishCommand() {
        retries += attempts_ - 1;
        if (attempts_ > kAttempts) {
            error(QStringLiteral("command %1 took %2 attempts").arg(current_).arg(attempts_));
        } else if (functionConfirmed_) {
            ++confirmed;
        } else if (attempts_ == kAttempts) {
            ++outOfRetries;
        } else {
            error(QStringLiteral("command %1 given up after %2 attempts without a confirmation")
                      .arg(current_)
                      .arg(attempts_));
        }
    }

    const int total_;
    qint64 offset_ = 0;
    int expect_ = 0;
    QByteArray frame_;
    int current_ = -1;
    int attempts_ = 0;
    bool addressConfirmed_ = false;
    bool functionConfirmed_ = false;
    bool lastWasHandshake_ = false;
    bool lastFunction_ = false;
};

int intArg(int argc, char** argv, const char* name, int def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    return def;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = std::max(1, intArg(argc, argv, "--count", 10000));
    const int scale = std::max(1, intArg(argc, argv, "--scale", 20));
    const unsigned seed = static_cast<unsigned>(intArg(argc, argv, "--seed", 20261208));
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    std::printf("soak: %d queued commands, time scale %d, seed %u\n", count, scale, seed);

    TwoWaySim sim;
    if (!sim.start()) {
        std::printf("cannot start the emulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    platform::TimeBase::global().setScale(scale);
    sim.setTimeScale(scale);
    platform::SaveSetting(QStringLiteral("veldrin"), QStringLiteral("Ports"),
                          QStringLiteral("COM1"), sim.devicePath());
    const QString eventName = QStringLiteral("pandrel_soak_%1").arg(::getpid());
    int status = 1;
    {
        controlcm cm;
        cm.setComport(1);
        cm.setEventName(eventName);
        auto& d = controlcmProbe::d(cm);
        if (cm.Init() != 0) {
            std::printf("Init against the emulator failed\n");
            return 1;
        }
        sim.clearRecords();
        sim.clearModuleLines();

        std::mt19937 rng(seed);
        auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
        auto between = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
        struct Injected {
            int checksums = 0, polls = 0, uploads = 0, barePolls = 0, clock = 0, pauses = 0,
                silences = 0;
        } inj;
        QTimer endSilence;
        endSilence.setSingleShot(true);
        QObject::connect(&endSilence, &QTimer::timeout, [&] { sim.setSilent(false); });

        // One roll of the dice per command queued.
        auto injectFault = [&] {
            if (chance(0.02)) {
                sim.failChecksums(between(1, 2));
                ++inj.checksums;
            }
            if (chance(0.02)) {
                sim.pollInsteadOfChecksum(1);
                ++inj.polls;
            }
            if (chance(0.02)) {
                const int unit = between(1, 16);
                const auto upload = TwoWaySim::buildUpload(
                    QStringLiteral("B%1 B %2").arg(unit).arg(chance(0.5) ? "ON" : "OFF"));
                if (upload) sim.injectUpload(*upload, between(0, 2));
                ++inj.uploads;
            }
            if (chance(0.005)) {
                sim.injectRaw(QByteArray(1, char(TwoWaySim::kPoll)));
                ++inj.barePolls;
            }
            if (chance(0.005)) {
                sim.injectPowerFail();
                ++inj.clock;
            }
            if (chance(0.01)) {
                // A long pause before the ready byte, shorter than the 8 s wait.
                sim.setReadyDelayMs(between(1000, 6000));
                ++inj.pauses;
            } else if (chance(0.2)) {
                sim.setReadyDelayMs(0);
            }
            if (chance(0.003) && !endSilence.isActive()) {
                // The interface says nothing for a while, less than one wait.
                sim.setSilent(true);
                platform::TimeBase::global().startTimer(endSilence, between(500, 4000));
                ++inj.silences;
            }
        };

        // Keeps the queue full; runs inside the control's waits as well.
        int fed = 0;
        QTimer feeder;
        QObject::connect(&feeder, &QTimer::timeout, [&] {
            while (fed < count && d.iCmdCount < 50) {
                const Command c = commandFor(fed);
                cm.Exec(c.house, c.unit, c.function);
                ++fed;
                injectFault();
            }
            if (fed >= count) feeder.stop();
        });
        feeder.start(1);

        LineChecker checker(count);
        const int baselineAt = std::min(1000, std::max(1, count / 10));
        long baselineKb = 0;
        auto takeRecords = [&] {
            checker.feed(sim.takeRecords().received);
            sim.clearModuleLines();
        };
        QTimer checkTimer;
        QObject::connect(&checkTimer, &QTimer::timeout, [&] {
            takeRecords();
            if (baselineKb == 0 && checker.commandsSeen() > baselineAt) baselineKb = residentKb();
        });
        checkTimer.start(50);

        platform::waitFor(
            [&] { return fed >= count && d.iCmdCount == 0 && !d.bQueueBusy && d.iExchange == 0; },
            static_cast<qint64>(count) * 60000);
        checkTimer.stop();
        // Let the faults still pending play out (an upload waiting, a silence).
        sim.setReadyDelayMs(0);
        platform::waitFor([&] { return !endSilence.isActive() && !sim.isPolling(); }, 10000);
        platform::waitEvents(2000);
        takeRecords();
        checker.finish();
        const long endKb = residentKb();

        std::printf(
            "injected: %d wrong checksums, %d polls for checksums, %d uploads, "
            "%d bare polls, %d clock requests, %d long pauses, %d silent stretches\n",
            inj.checksums, inj.polls, inj.uploads, inj.barePolls, inj.clock, inj.pauses,
            inj.silences);
        std::printf(
            "on the line: %d commands, %d confirmed, %d out of retries, %d retries, "
            "%d clock frames, %d poll answers\n",
            checker.commandsSeen(), checker.confirmed, checker.outOfRetries, checker.retries,
            checker.clockFrames, checker.pollAnswers);
        for (const QString& e : checker.errors) std::printf("  FAULT %s\n", qPrintable(e));
        const double growth = baselineKb > 0 ? 100.0 * (endKb - baselineKb) / baselineKb : 0;
        bool memoryOk = baselineKb > 0 && endKb <= baselineKb * 1.10;
#ifdef SOAK_ASAN
        std::printf(
            "resident memory: %ld kB after %d commands, %ld kB at the end (%+.1f %%); "
            "not judged under AddressSanitizer\n",
            baselineKb, baselineAt, endKb, growth);
        memoryOk = true;
#else
        std::printf(
            "resident memory: %ld kB after %d commands, %ld kB at the end (%+.1f %%, "
            "limit +10 %%)\n",
            baselineKb, baselineAt, endKb, growth);
#endif
        const bool ok = checker.errors.isEmpty() && memoryOk;
        std::printf("soak %s\n", ok ? "passed" : "FAILED");
        status = ok ? 0 : 1;
    }
    ::shm_unlink(platform::NamedEvent::objectName(eventName).constData());
    return status;
}
