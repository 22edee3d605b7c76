#include "mcp290.h"

#include <QTimer>
#include <climits>
#include <cmath>

#include "clock.h"
#include "cp290exchange.h"
#include "cp290frames.h"
#include "mscomm.h"
#include "timebase.h"
#include "x10.h"

namespace cp290 {
namespace {
bool g_earlyEnd = true;
}
void setEarlyReplyEnd(bool on) {
    g_earlyEnd = on;
}
bool earlyReplyEnd() {
    return g_earlyEnd;
}
}  // namespace cp290

// A direct command's function byte is the X10 function number for the four
// functions the driver sends directly (CP290Command); the CP290's own "dim to
// a level" (cp290::kFunctionDim) is not an X10 function.
static_assert(x10::AllUnitsOff == 0 && x10::AllLightsOn == 1 && x10::On == 2 && x10::Off == 3);

namespace {

const char kNoReplyText[] =
    "There was an Error Communicating to the CP290, Please check the connections.";
const char kPortInUseText[] =
    "The Com Port is already Open and being used by Another Application.  Please Close that "
    "application and ReStart this Veldrin";
const char kInvalidPortText[] = "Invalid Port Number, Please try a different Port";

// Clock settings started by the detections now running (they nest: a clock
// setting runs a detection of its own). Zero whenever no detection runs.
int g_clockRounds = 0;

void logEvent(Cp290Link& link, const QString& text) {
    if (link.Log_Event) link.Log_Event(text);
}

// Detections and clock settings now running. Their waits handle window
// events, so a click or a remote word can arrive inside one; a direct
// command would then close the port under the wait (a false "not found").
int g_busy = 0;
struct BusyScope {
    BusyScope() { ++g_busy; }
    ~BusyScope() { --g_busy; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
};

// A direct command that arrives inside such a wait is refused with a log line.
bool refusedWhileBusy(Cp290Link& link) {
    if (g_busy == 0) return false;
    logEvent(link, QStringLiteral("CP290 Busy Detecting the Interface: Command Not Sent"));
    return true;
}

int16_t portNumber(Cp290Link& link) {
    return link.iComPort ? link.iComPort() : int16_t{0};
}

// A message for the user, through whoever drives the driver.
void showMessage(Cp290Link& link, const char* text) {
    const QString t = QString::fromLatin1(text);
    if (link.notify) {
        link.notify(t);
    } else {
        logEvent(link, t);
    }
}

// Exchange steps 1 to 6: release the two-way control, (re)open the port at
// 600 baud, discard what was received and write the frame. Returns 0 or the
// serial component's error number; on an error nothing is written.
int openAndSend(Cp290Link& link, const QByteArray& frame) {
    if (link.releaseControl) link.releaseControl();
    MSComm& port = link.MSComm1;
    if (port.PortOpen()) port.setPortOpen(false);
    if (int err = port.setCommPort(portNumber(link))) return err;
    if (int err = port.setSettings(QStringLiteral("600,N,8,1"))) return err;
    if (int err = port.setPortOpen(true)) return err;
    port.setInBufferCount(0);
    port.OutputText(cp290::bytesToText(frame));
    return 0;
}

// Detection's wait: runs the event loop (window events are handled) for the
// full reply time, or until 12 bytes have arrived and the line has stayed
// quiet for the settle time, or more than 12 have arrived (the reply can no
// longer be a status reply), or the port went away.
void waitForStatusReply(MSComm& port) {
    platform::TimeBase& tb = platform::TimeBase::global();
    if (!cp290::earlyReplyEnd()) {
        platform::waitEvents(cp290::kReplyWaitMs);
        return;
    }
    QTimer settle;
    settle.setSingleShot(true);
    settle.setTimerType(Qt::PreciseTimer);
    int seen = -1;
    qint64 changedAt = 0;
    platform::waitFor(
        [&] {
            if (!port.PortOpen()) return true;
            const int n = port.InBufferCount();
            if (n > cp290::kStatusReplyLength) return true;
            if (n != seen) {
                seen = n;
                changedAt = tb.nowMs();
            }
            if (n != cp290::kStatusReplyLength) return false;
            const qint64 quiet = tb.nowMs() - changedAt;
            if (quiet >= cp290::kSettleMs) return true;
            // Wake the loop when the settle time is up (again, should the
            // timer have fired a little early).
            if (!settle.isActive()) tb.startTimer(settle, cp290::kSettleMs - quiet);
            return false;
        },
        cp290::kReplyWaitMs);
}

// Exchange steps 7 to 9 after a successful open. The direct command's wait
// sleeps without handling window events and ends once a reply byte is there.
QByteArray awaitReply(Cp290Link& link, bool handleEvents) {
    MSComm& port = link.MSComm1;
    if (handleEvents) {
        waitForStatusReply(port);
    } else {
        // waitForBytes sleeps in poll(); asking for more bytes than can come
        // makes it last the whole reply time.
        port.waitForBytes(cp290::earlyReplyEnd() ? 1 : INT_MAX, cp290::kReplyWaitMs);
    }
    port.setInputLen(0);
    QByteArray reply;
    if (port.InBufferCount() > 0) reply = cp290::textToBytes(port.InputText());
    if (reply.isEmpty()) showMessage(link, kNoReplyText);
    return reply;
}

// One direct-command exchange (steps 1 to 10). A port that cannot be opened
// gets no reply either, so it ends in the same message box, without a wait.
// Returns whether the interface replied.
bool directExchange(Cp290Link& link, const QByteArray& frame) {
    bool replied = false;
    if (openAndSend(link, frame) == 0) {
        replied = !awaitReply(link, false).isEmpty();
    } else {
        showMessage(link, kNoReplyText);
    }
    link.MSComm1.setPortOpen(false);
    return replied;
}

// The set-clock exchange (steps 1 to 6 only; the port stays open for the
// detection that follows). Returns 0 or a serial error number.
//
// The detection that follows closes and reopens the port at once, and opening
// flushes both queues of the device. A device that does not drain its output
// on close (a pseudo-terminal, some adapters) would drop the clock frame, so
// the frame is given its line time at 600 baud before the port is let go.
int sendClock(Cp290Link& link) {
    const QDateTime now = platform::Clock::global().now();
    const int dayBit = cp290::dayBitForWeekday(now.date().dayOfWeek());
    const QByteArray frame = cp290::setClockFrame(now.time().minute(), now.time().hour(), dayBit);
    if (int err = openAndSend(link, frame)) return err;
    platform::waitEvents(cp290::lineTimeMs(frame.size()));
    return 0;
}

// CP290SetClock's steps 3 to 5. Returns the serial error of its own exchange
// (for the detection that started it); the nested detection handles its own.
int setClockRound(Cp290Link& link) {
    if (int err = sendClock(link)) return err;
    logEvent(link, QStringLiteral("CP290 Clock Now Set to Match Current Computer Clock"));
    ++g_clockRounds;
    CP290Detect(link);
    --g_clockRounds;
    return 0;
}

void unitBytes(int unit, int* units9to16, int* units1to8) {
    const int index = unit - 1;
    if (index <= 7) {
        *units1to8 = UnitToBitmap(index);
        *units9to16 = 0;
    } else {
        *units9to16 = UnitToBitmap(index);
        *units1to8 = 0;
    }
}

}  // namespace

int16_t CP290Detect(Cp290Link& link) {
    BusyScope busy;
    int16_t result = 0;
    int err = openAndSend(link, cp290::statusRequestFrame());
    if (err == 0) {
        const QByteArray reply = awaitReply(link, true);
        const cp290::StatusJudgement j = cp290::judgeStatusReply(reply, portNumber(link));
        if (!j.found) {
            result = 1;
        } else {
            for (const QString& line : j.lines) logEvent(link, line);
            if (!j.clockNotSet) {
                logEvent(link, j.timeLine);
            } else if (g_clockRounds < cp290::kMaxClockRounds) {
                logEvent(link, QStringLiteral("Day of the Week was NOT set in CP290 Clock, "
                                              "Programming Clock Now."));
                err = setClockRound(link);
                if (err == 0) return 0;
            } else {
                logEvent(link, QStringLiteral("Day of the Week still NOT set in CP290 Clock "
                                              "after %1 attempts, giving up.")
                                   .arg(cp290::kMaxClockRounds));
            }
        }
    }
    link.MSComm1.setPortOpen(false);
    if (err != 0) {
        result = 1;
        if (err == MSComm::PortAlreadyOpen) {
            showMessage(link, kPortInUseText);
        } else if (err == MSComm::InvalidPortNumber) {
            showMessage(link, kInvalidPortText);
        }
    }
    return result;
}

void CP290SetClock(Cp290Link& link) {
    // Called on its own (not from a detection), a failure of its exchange ends
    // the way a detection's would: port closed, the message box for 8005/8002.
    BusyScope busy;
    const int err = setClockRound(link);
    if (err == 0) return;
    link.MSComm1.setPortOpen(false);
    if (err == MSComm::PortAlreadyOpen) {
        showMessage(link, kPortInUseText);
    } else if (err == MSComm::InvalidPortNumber) {
        showMessage(link, kInvalidPortText);
    }
}

bool CP290Busy() {
    return g_busy > 0;
}

bool CP290Command(Cp290Link& link, QString& housecode, int16_t unit, int16_t function) {
    if (refusedWhileBusy(link)) return false;
    int units9to16 = 0;
    int units1to8 = 0;
    unitBytes(unit, &units9to16, &units1to8);
    const int houseByte = HouseCodeToByte(housecode);
    return directExchange(link,
                          cp290::directFrame(function & 0xFF, houseByte, units9to16, units1to8));
}

bool CP290Dim(Cp290Link& link, QString& housecode, int16_t unit, double level) {
    if (refusedWhileBusy(link)) return false;
    int units9to16 = 0;
    int units1to8 = 0;
    unitBytes(unit, &units9to16, &units1to8);
    const int houseByte = HouseCodeToByte(housecode);
    const int functionByte = ((DimCodeForLevel(level) * 16) & 0xF0) + cp290::kFunctionDim;
    return directExchange(link, cp290::directFrame(functionByte, houseByte, units9to16, units1to8));
}

QString ByteToHouseCode(int value) {
    if (value < 0 || value > 0xF0 || value % 16 != 0) return QString();
    return QString::fromLatin1(x10::HouseLetterOf[static_cast<size_t>(value / 16)]);
}

QString DayBitToName(int bit) {
    static const char* const names[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                         "Friday", "Saturday", "Sunday"};
    for (int i = 0; i < 7; ++i) {
        if (bit == (1 << i)) return QString::fromLatin1(names[i]);
    }
    return QString();
}

int16_t HouseCodeToByte(QString& housecode) {
    housecode = housecode.toUpper();
    if (housecode.size() != 1) return 0;
    // Position 0 (not a house letter) has code 0, which is also M's.
    return static_cast<int16_t>(x10::codeOf(x10::housePosition(housecode)) * 16);
}

int16_t UnitToBitmap(int index) {
    if (index < 0 || index > 15) return 0;
    return static_cast<int16_t>(0x80 >> (index % 8));
}

int DimCodeForLevel(double level) {
    static const int codes[11] = {15, 14, 13, 11, 9, 7, 5, 3, 2, 1, 0};
    if (!std::isfinite(level) || level < 0 || level > 10 || level != std::floor(level)) return 0;
    return codes[static_cast<int>(level)];
}
