// veldrin-sim: runs one interface emulator on a pseudo-terminal for manual
// testing. Prints "device: /dev/pts/N" first, then one line per module
// command; reads commands from stdin (see `help`) while there is input, and
// keeps serving after its end (started in the background, with stdin from
// /dev/null) until SIGTERM, SIGINT or `quit`.

#include "cp290sim.h"
#include "twowaysim.h"
#include "x10.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

using namespace sim;

namespace {

std::mutex g_printLock;
int g_signalPipe[2] = {-1, -1};

void print(FILE* f, const QString& line) {
    std::lock_guard lk(g_printLock);
    const QByteArray b = line.toLocal8Bit() + '\n';
    std::fwrite(b.constData(), 1, size_t(b.size()), f);
    std::fflush(f);
}
void out(const QString& line) {
    print(stdout, line);
}
void err(const QString& line) {
    print(stderr, line);
}

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

const char* const kUsage =
    "usage: veldrin-sim [--cp290] [--frames] [--link PATH] [--pace] [--time-scale S]\n"
    "                   [--modules ADDR=KIND,...] [--lose PERCENT] [--seed N]";

const char* const kHelp =
    "usage: veldrin-sim [--cp290] [--frames] [--link PATH] [--pace] [--time-scale S]\n"
    "                   [--modules ADDR=KIND,...] [--lose PERCENT] [--seed N]\n"
    "\n"
    "Emulates an interface on a new pseudo-terminal, so that veldrin or veldrind can\n"
    "drive it as a serial port without hardware. The first line of output is\n"
    "\"device: /dev/pts/N\", the device to name in [Ports] (COM1=/dev/pts/N); then\n"
    "one line for each thing the modules on the powerline would do (\"A5 ON\",\n"
    "\"A5 DIM 32%\", \"A ALL LIGHTS ON\").\n"
    "\n"
    "options:\n"
    "  --cp290          emulate the CP290 (600 baud) instead of the two-way\n"
    "                   interface (4800 baud)\n"
    "  --frames         also print each frame received from the computer in hex\n"
    "                   (\"frame: 04 61\"), before the module line it causes\n"
    "  --link PATH      also make PATH a symbolic link to the device (a fixed name\n"
    "                   for the settings); removed again at exit\n"
    "  --pace           let each byte take its time on the line at the interface's\n"
    "                   speed (default: bytes pass at once)\n"
    "  --time-scale S   run the emulator's own delays S times faster (S > 0,\n"
    "                   default 1)\n"
    "  --modules LIST   the kinds of module at some addresses, e.g.\n"
    "                   A1=twoway-lamp,A2=twoway-appliance; every other address\n"
    "                   holds a plain one-way module (oneway), which never answers\n"
    "  --lose PERCENT   lose that share of the commands on the powerline (0..100):\n"
    "                   the computer still gets its checksum and ready byte, but no\n"
    "                   module hears the command, and a lost request gets no reply\n"
    "  --seed N         start the losses from seed N (default 1): the same traffic\n"
    "                   with the same seed loses the same commands\n"
    "  -h, --help       print this text and exit\n"
    "\n"
    "Lines on standard input are commands (\"help\" lists them for the interface\n"
    "emulated). When standard input ends the emulator keeps running, so it can run\n"
    "in the background (veldrin-sim --link /tmp/x10 </dev/null &); it ends on\n"
    "SIGTERM, SIGINT (Ctrl+C) or the command \"quit\".\n"
    "\n"
    "Two-way modules (two-way interface only) answer status requests on the\n"
    "powerline, both kinds both forms: the extended status request (EXTENDED CODE\n"
    "command 0x37) with an extended reply (command 0x38, data byte: level 0..63,\n"
    "0x40 for an appliance, 0x80 while a load is connected), and STATUS REQUEST\n"
    "with STATUS ON or STATUS OFF. A reply comes 1.66 s (two powerline messages,\n"
    "scaled by --time-scale) after the request and is uploaded like any traffic;\n"
    "\"reply: A1 EXT 38 BF\" is printed when it is heard. A two-way lamp takes the\n"
    "extended preset level (command 0x31) in 64 steps.";

const char* const kHelpTwoWay =
    "commands (two-way interface):\n"
    "  recv TOKENS      upload powerline traffic, e.g. recv A1 A ON | recv A2 A DIM 50 |\n"
    "                   recv A ALL UNITS OFF (DIM/BRIGHT take a percentage) |\n"
    "                   recv A1 EXT 38 BF (extended message: unit, command, data in hex)\n"
    "  powerfail        ask for the clock (0xA5) until a clock frame arrives\n"
    "  macro HH HH      macro report with two hex bytes\n"
    "  raw HH ...       send hex bytes as they are\n"
    "  module ADDR KIND the kind of module at ADDR: oneway, twoway-lamp or\n"
    "                   twoway-appliance\n"
    "  wall ADDR P|on|off  set a module at the wall to P percent (0..100), on or\n"
    "                   off, without telling the computer\n"
    "  load ADDR on|off a lamp's bulb present (on) or missing / burnt out (off)\n"
    "  lose P [commands]  lose P percent of the powerline commands; with\n"
    "                   \"commands\", status requests and replies are never lost\n"
    "  seed N           restart the losses from seed N\n"
    "  silent on|off|S  stop/resume answering, or stop for S seconds (logical time)\n"
    "  badsum N         wrong checksum for the next N frames\n"
    "  pollsum N        poll (0x5A) instead of the checksum for the next N frames\n"
    "  ready-delay MS   delay of the ready byte in milliseconds\n"
    "  status           print the module table\n"
    "  line             print what went over the powerline: commands, lost ones,\n"
    "                   replies, lost replies, powerline time\n"
    "  quit             exit";

const char* const kHelpCp290 =
    "commands (CP290):\n"
    "  clock MM HH DAY  set the clock; DAY is the day bit in hex (01 Mon .. 40 Sun, 00 unset)\n"
    "                   or a day name (mon .. sun)\n"
    "  house L          base house letter A..P\n"
    "  silent on|off|S  stop/resume answering, or stop for S seconds (logical time)\n"
    "  reply-len N      cut or pad the status reply to N bytes (12 = normal)\n"
    "  status           print clock, base house and the module table\n"
    "  quit             exit";

bool parseOnOff(const QString& s, bool* on) {
    if (s == "on")
        *on = true;
    else if (s == "off")
        *on = false;
    else
        return false;
    return true;
}

bool parseHexBytes(const QStringList& tokens, QByteArray* out) {
    for (const QString& t : tokens) {
        bool ok = false;
        const uint v = t.toUInt(&ok, 16);
        if (!ok || v > 0xFF) return false;
        out->append(char(v));
    }
    return !out->isEmpty();
}

bool parseDayBit(const QString& s, uchar* bit) {
    static const QStringList names = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    const qsizetype i = names.indexOf(s.left(3).toLower());
    if (i >= 0) {
        *bit = uchar(1u << i);
        return true;
    }
    bool ok = false;
    const uint v = QString(s).remove(QStringLiteral("0x")).toUInt(&ok, 16);
    if (!ok || v > 0x7F) return false;
    *bit = uchar(v);
    return true;
}

// "A1" (a single module) or nothing.
std::optional<x10::Address> parseUnit(const QString& text) {
    const auto a = x10::Address::parse(text);
    if (!a || a->unit == 0) return std::nullopt;
    return a;
}

// "silent SECONDS": stop answering for that long (logical time).
void silentFor(PtySim& sim, const QString& arg) {
    bool ok = false;
    const double seconds = arg.toDouble(&ok);
    if (ok && seconds >= 0 && seconds <= 86400)
        sim.setSilentForMs(int(seconds * 1000));
    else
        err(QStringLiteral("error: silent takes on, off or seconds (0..86400)"));
}

void printTable(const PtySim& sim) {
    const QStringList table = sim.moduleTable();
    if (table.isEmpty()) out(QStringLiteral("(no modules)"));
    for (const QString& l : table) out(l);
}

// Returns false when the tool should exit.
bool twoWayCommand(TwoWaySim& sim, const QString& cmd, const QStringList& args) {
    bool on = false;
    bool ok = false;
    const int n = args.value(0).toInt(&ok);
    if (cmd == "recv") {
        QString why;
        const auto upload = TwoWaySim::buildUpload(args.join(' '), &why);
        if (!upload) {
            err("error: " + why);
        } else {
            sim.injectUpload(*upload);
            err("upload queued: " + hex(*upload));
        }
    } else if (cmd == "powerfail" && args.isEmpty()) {
        sim.injectPowerFail();
    } else if (cmd == "macro" && args.size() == 2) {
        QByteArray b;
        if (parseHexBytes(args, &b))
            sim.injectMacro(uchar(b[0]), uchar(b[1]));
        else
            err(QStringLiteral("error: macro takes two hex bytes"));
    } else if (cmd == "raw") {
        QByteArray b;
        if (parseHexBytes(args, &b))
            sim.injectRaw(b);
        else
            err(QStringLiteral("error: raw takes hex bytes"));
    } else if (cmd == "silent" && args.size() == 1 && parseOnOff(args[0], &on)) {
        sim.setSilent(on);
    } else if (cmd == "silent" && args.size() == 1) {
        silentFor(sim, args[0]);
    } else if (cmd == "module" && args.size() == 2) {
        QString why;
        const auto kinds = parseModuleKinds(args[0] + '=' + args[1], &why);
        if (kinds)
            sim.setModuleKind(kinds->front().house, kinds->front().unit, kinds->front().kind);
        else
            err("error: " + why);
    } else if (cmd == "wall" && args.size() == 2) {
        const auto a = parseUnit(args[0]);
        int percent = args[1].toInt(&ok);
        if (parseOnOff(args[1].toLower(), &on)) {
            ok = true;
            percent = on ? 100 : 0;
        }
        if (a && ok && percent >= 0 && percent <= 100)
            sim.changeAtWall(a->letter(), a->unit, percent);
        else
            err(QStringLiteral("error: wall takes an address and a percentage, on or off"));
    } else if (cmd == "load" && args.size() == 2) {
        const auto a = parseUnit(args[0]);
        if (a && parseOnOff(args[1].toLower(), &on))
            sim.setLoad(a->letter(), a->unit, on);
        else
            err(QStringLiteral("error: load takes an address and on or off"));
    } else if (cmd == "lose" && (args.size() == 1 || (args.size() == 2 && args[1] == "commands"))) {
        if (ok && n >= 0 && n <= 100) {
            sim.setLossPercent(n);
            sim.setStatusLoss(args.size() == 1);
        } else {
            err(QStringLiteral("error: lose takes a percentage 0..100"));
        }
    } else if (cmd == "seed" && args.size() == 1) {
        const uint seed = args[0].toUInt(&ok);
        if (ok)
            sim.setLossSeed(seed);
        else
            err(QStringLiteral("error: seed takes a number"));
    } else if (cmd == "line" && args.isEmpty()) {
        const TwoWaySim::LineStats st = sim.lineStats();
        out(QString::asprintf(
            "commands %d, lost %d; replies %d, lost %d; powerline time %.1f s; losing %d%%",
            st.commands, st.lost, st.replies, st.repliesLost, double(st.lineMs) / 1000.0,
            sim.lossPercent()));
    } else if (cmd == "badsum" && args.size() == 1 && ok) {
        sim.failChecksums(n);
    } else if (cmd == "pollsum" && args.size() == 1 && ok) {
        sim.pollInsteadOfChecksum(n);
    } else if (cmd == "ready-delay" && args.size() == 1 && ok) {
        sim.setReadyDelayMs(n);
    } else if (cmd == "status") {
        printTable(sim);
    } else if (cmd == "help") {
        out(QString::fromLatin1(kHelpTwoWay));
    } else if (cmd == "quit") {
        return false;
    } else {
        err("error: unknown command or bad arguments: " + (cmd + ' ' + args.join(' ')).trimmed() +
            " (try help)");
    }
    return true;
}

bool cp290Command(Cp290Sim& sim, const QString& cmd, const QStringList& args) {
    bool on = false;
    bool ok1 = false, ok2 = false;
    uchar dayBit = 0;
    if (cmd == "clock" && args.size() == 3) {
        const int minute = args[0].toInt(&ok1);
        const int hour = args[1].toInt(&ok2);
        if (ok1 && ok2 && minute >= 0 && minute < 60 && hour >= 0 && hour < 24 &&
            parseDayBit(args[2], &dayBit))
            sim.setClock(minute, hour, dayBit);
        else
            err(QStringLiteral("error: clock MM HH DAYBIT"));
    } else if (cmd == "house" && args.size() == 1) {
        const int house = x10::housePosition(args[0]);
        if (args[0].size() == 1 && house != 0)
            sim.setBaseHouse(uchar(x10::codeOf(house) << 4));
        else
            err(QStringLiteral("error: house takes a letter A..P"));
    } else if (cmd == "silent" && args.size() == 1 && parseOnOff(args[0], &on)) {
        sim.setSilent(on);
    } else if (cmd == "silent" && args.size() == 1) {
        silentFor(sim, args[0]);
    } else if (cmd == "reply-len" && args.size() == 1) {
        const int n = args[0].toInt(&ok1);
        if (ok1 && n > 0 && n <= 64)
            sim.setStatusReplyLength(n);
        else
            err(QStringLiteral("error: reply-len takes 1..64"));
    } else if (cmd == "status") {
        out(QString::asprintf("clock %02d:%02d day bit %02X, base house %c", sim.hour(),
                              sim.minute(), sim.dayBit(), x10::letterOfCode(sim.baseHouse() >> 4)));
        printTable(sim);
    } else if (cmd == "help") {
        out(QString::fromLatin1(kHelpCp290));
    } else if (cmd == "quit") {
        return false;
    } else {
        err("error: unknown command or bad arguments: " + (cmd + ' ' + args.join(' ')).trimmed() +
            " (try help)");
    }
    return true;
}

bool isSymlink(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    bool cp290 = false, pace = false, frames = false;
    QString link;
    double scale = 1.0;
    QList<ModuleKindAt> kinds;
    int lose = 0;
    uint seed = 1;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        bool ok = true;
        if (a == "--cp290") {
            cp290 = true;
        } else if (a == "--frames") {
            frames = true;
        } else if (a == "--pace") {
            pace = true;
        } else if (a == "--link" && i + 1 < argc) {
            link = QString::fromLocal8Bit(argv[++i]);
        } else if (a == "--time-scale" && i + 1 < argc) {
            scale = QString::fromLocal8Bit(argv[++i]).toDouble(&ok);
            ok = ok && scale > 0;
        } else if (a == "--modules" && i + 1 < argc) {
            QString why;
            const auto parsed = parseModuleKinds(QString::fromLocal8Bit(argv[++i]), &why);
            if (!parsed) {
                err("error: --modules: " + why);
                return 2;
            }
            kinds += *parsed;
        } else if (a == "--lose" && i + 1 < argc) {
            lose = QString::fromLocal8Bit(argv[++i]).toInt(&ok);
            ok = ok && lose >= 0 && lose <= 100;
        } else if (a == "--seed" && i + 1 < argc) {
            seed = QString::fromLocal8Bit(argv[++i]).toUInt(&ok);
        } else if (a == "--help" || a == "-h") {
            out(QString::fromLatin1(kHelp));
            return 0;
        } else {
            ok = false;
        }
        if (!ok) {
            err(QString::fromLatin1(kUsage));
            return 2;
        }
    }

    if (cp290 && (!kinds.isEmpty() || lose > 0)) {
        err(QStringLiteral("error: --modules and --lose need the two-way interface (not --cp290)"));
        return 2;
    }
    std::unique_ptr<TwoWaySim> twoWay;
    std::unique_ptr<Cp290Sim> cp;
    PtySim* sim = nullptr;
    if (cp290) {
        cp = std::make_unique<Cp290Sim>();
        sim = cp.get();
    } else {
        twoWay = std::make_unique<TwoWaySim>();
        twoWay->setFrameEcho(frames);
        for (const ModuleKindAt& k : kinds) twoWay->setModuleKind(k.house, k.unit, k.kind);
        twoWay->setLossSeed(seed);
        twoWay->setLossPercent(lose);
        sim = twoWay.get();
    }
    sim->setTimeScale(scale);
    sim->setPacing(pace);
    sim->setLineHook([](const QString& line) { out(line); });
    if (!sim->start()) {
        err("error: cannot open a pseudo-terminal: " + sim->errorString());
        return 1;
    }
    const QString device = sim->devicePath();

    const QByteArray linkPath = QFile::encodeName(link);
    if (!link.isEmpty()) {
        if (isSymlink(linkPath)) ::unlink(linkPath.constData());
        if (::symlink(QFile::encodeName(device).constData(), linkPath.constData()) != 0) {
            err("error: cannot create link " + link + ": " +
                QString::fromLocal8Bit(strerror(errno)));
            return 1;
        }
    }
    out("device: " + device);

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);

    // Standard input is read while there is any; after its end the emulator
    // only waits for a signal.
    QByteArray pending;
    bool running = true;
    bool input = true;
    while (running) {
        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, input ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) break;
        if (!input || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            input = false;
            if (pending.trimmed().isEmpty()) continue;
            pending.append('\n');  // run an unterminated last line
        } else {
            pending.append(buf, n);
        }
        qsizetype nl;
        while (running && (nl = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(nl)).trimmed();
            pending.remove(0, nl + 1);
            if (line.isEmpty()) continue;
            QStringList tokens = line.split(QRegularExpression(QStringLiteral("\\s+")));
            const QString cmd = tokens.takeFirst().toLower();
            running = cp ? cp290Command(*cp, cmd, tokens) : twoWayCommand(*twoWay, cmd, tokens);
        }
    }

    sim->setLineHook({});
    sim->unplug();
    if (!link.isEmpty() && isSymlink(linkPath)) {
        // Remove the link only while it still points at this emulator.
        char target[512] = {};
        const ssize_t n = ::readlink(linkPath.constData(), target, sizeof target - 1);
        if (n > 0 && QFile::decodeName(QByteArray(target, n)) == device)
            ::unlink(linkPath.constData());
    }
    return 0;
}
