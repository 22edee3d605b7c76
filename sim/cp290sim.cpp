#include "cp290sim.h"

#include "x10.h"

#include <array>

namespace sim {

Cp290Sim::Cp290Sim() : PtySim(600) {}

Cp290Sim::~Cp290Sim() {
    shutdown();
}

// ---- configuration (any thread) ----

void Cp290Sim::setClock(int minute, int hour, uchar dayBit) {
    std::lock_guard lk(m_mutex);
    m_minute = minute;
    m_hour = hour;
    m_dayBit = dayBit;
}

int Cp290Sim::minute() const {
    std::lock_guard lk(m_mutex);
    return m_minute;
}

int Cp290Sim::hour() const {
    std::lock_guard lk(m_mutex);
    return m_hour;
}

uchar Cp290Sim::dayBit() const {
    std::lock_guard lk(m_mutex);
    return m_dayBit;
}

void Cp290Sim::setBaseHouse(uchar houseByte) {
    std::lock_guard lk(m_mutex);
    m_baseHouse = houseByte;
}

uchar Cp290Sim::baseHouse() const {
    std::lock_guard lk(m_mutex);
    return m_baseHouse;
}

void Cp290Sim::setIgnoreClockSet(bool on) {
    std::lock_guard lk(m_mutex);
    m_ignoreClockSet = on;
}

void Cp290Sim::setStatusReply(const QByteArray& reply) {
    std::lock_guard lk(m_mutex);
    m_statusOverride = reply;
}

void Cp290Sim::setStatusReplyLength(int n) {
    std::lock_guard lk(m_mutex);
    m_statusLength = n > 0 ? n : kStatusLength;
}

void Cp290Sim::setDirectReply(const QByteArray& reply) {
    std::lock_guard lk(m_mutex);
    m_directReply = reply;
}

void Cp290Sim::setReplyDelayMs(int ms) {
    std::lock_guard lk(m_mutex);
    m_replyDelayMs = std::max(0, ms);
}

QByteArray Cp290Sim::statusReply() const {
    std::lock_guard lk(m_mutex);
    return statusReplyLocked();
}

QByteArray Cp290Sim::statusReplyLocked() const {
    if (!m_statusOverride.isEmpty()) return m_statusOverride;
    // Six sync bytes, a status byte, minute, hour, day bit, base house, and a
    // checksum over bytes 7..11 (counting from 1).
    QByteArray r(6, char(0xFF));
    r.append('\0');
    r.append(char(m_minute));
    r.append(char(m_hour));
    r.append(char(m_dayBit));
    r.append(char(m_baseHouse));
    r.append(char(checksum(r.mid(6))));
    if (m_statusLength < r.size()) return r.left(m_statusLength);
    r.append(QByteArray(m_statusLength - r.size(), '\0'));
    return r;
}

// ---- records ----

QList<Cp290Sim::Frame> Cp290Sim::frames() const {
    std::lock_guard lk(m_mutex);
    return detachedCopy(m_frames);
}

QByteArray Cp290Sim::received() const {
    std::lock_guard lk(m_mutex);
    return detachedCopy(m_received);
}

void Cp290Sim::clearRecords() {
    std::lock_guard lk(m_mutex);
    m_frames.clear();
    m_received.clear();
}

bool Cp290Sim::waitForFrames(int count, int realMs) const {
    std::unique_lock lk(m_mutex);
    return m_cv.wait_for(lk, std::chrono::milliseconds(realMs),
                         [&] { return m_frames.size() >= count; });
}

void Cp290Sim::record(const QByteArray& bytes, Kind kind) {
    m_frames.append({monotonicMs(), bytes, kind});
    m_cv.notify_all();
}

// ---- protocol (I/O thread) ----

uchar Cp290Sim::checksum(const QByteArray& data) {
    uchar sum = 0;
    for (char c : data) sum += uchar(c);
    return sum;
}

int Cp290Sim::dimPercent(int code) {
    static constexpr std::array<int, 16> levels = {100, 90, 80, 70, 65, 60, 55, 50,
                                                   45,  40, 35, 30, 25, 20, 10, 0};
    return levels[size_t(code & 0x0F)];
}

QString Cp290Sim::kindName(Kind kind) {
    static const std::array<const char*, 4> names = {"StatusRequest", "SetClock", "Direct",
                                                     "Unknown"};
    return QString::fromLatin1(names[size_t(kind)]);
}

void Cp290Sim::flushGarbage(qsizetype keep) {
    const qsizetype n = m_hunt.size() - keep;
    if (n <= 0) return;
    record(m_hunt.left(n), Kind::Unknown);
    m_hunt.remove(0, n);
}

void Cp290Sim::handleByte(uchar byte) {
    m_received.append(char(byte));
    const SimClock::time_point now = SimClock::now();
    if (m_bodyLeft > 0) {
        m_frame.append(char(byte));
        if (--m_bodyLeft == 0) {
            frameComplete();
        } else {
            m_deadline = now + tolerance(kFrameTimeoutMs, 250);
        }
        return;
    }
    if (byte == 0xFF) {
        m_hunt.append(char(byte));
        ++m_ffRun;
        m_deadline = now + tolerance(kGarbageTimeoutMs, 50);
        return;
    }
    if (m_ffRun >= kSyncLength) {
        // A command byte after a full sync run: what came before it is garbage.
        flushGarbage(kSyncLength);
        m_hunt.clear();
        m_ffRun = 0;
        m_frame = QByteArray(kSyncLength, char(0xFF));
        m_frame.append(char(byte));
        switch (byte) {
            case kCmdStatus:
                frameComplete();
                return;
            case kCmdSetClock:
                m_bodyLeft = 4;
                break;
            case kCmdDirect:
                m_bodyLeft = 5;
                break;
            default:
                record(m_frame, Kind::Unknown);
                m_frame.clear();
                return;
        }
        m_deadline = now + tolerance(kFrameTimeoutMs, 250);
        return;
    }
    m_hunt.append(char(byte));
    m_ffRun = 0;
    m_deadline = now + tolerance(kGarbageTimeoutMs, 50);
}

void Cp290Sim::frameComplete() {
    const QByteArray frame = m_frame;
    m_frame.clear();
    m_bodyLeft = 0;
    const uchar cmd = uchar(frame[kSyncLength]);
    const Kind kind = cmd == kCmdStatus     ? Kind::StatusRequest
                      : cmd == kCmdSetClock ? Kind::SetClock
                                            : Kind::Direct;
    record(frame, kind);
    if (m_silent) return;

    const SimClock::time_point replyAt = SimClock::now() + logical(m_replyDelayMs);
    const QByteArray data = frame.mid(kSyncLength + 1, frame.size() - kSyncLength - 2);
    const bool sumOk = kind != Kind::StatusRequest && checksum(data) == uchar(frame.back());
    switch (kind) {
        case Kind::StatusRequest:
            send(statusReplyLocked(), replyAt);
            break;
        case Kind::SetClock:
            // A clock frame with a bad checksum is ignored, like a garbled one.
            if (sumOk && !m_ignoreClockSet) {
                m_minute = uchar(data[0]);
                m_hour = uchar(data[1]);
                m_dayBit = uchar(data[2]);
            }
            break;
        case Kind::Direct:
            // Receipt is always acknowledged; only an intact command is executed.
            if (sumOk) execute(frame);
            send(m_directReply, replyAt);
            break;
        case Kind::Unknown:
            break;
    }
}

void Cp290Sim::execute(const QByteArray& frame) {
    const uchar function = uchar(frame[kSyncLength + 1]);
    const uchar house = uchar(frame[kSyncLength + 2]);
    const uchar high = uchar(frame[kSyncLength + 3]);  // units 9..16, unit 9 = bit 7
    const uchar low = uchar(frame[kSyncLength + 4]);   // units 1..8, unit 1 = bit 7
    const char letter = x10::letterOfCode(house >> 4);
    QList<int> units;
    for (int i = 0; i < 8; ++i)
        if (low & (0x80 >> i)) units << i + 1;
    for (int i = 0; i < 8; ++i)
        if (high & (0x80 >> i)) units << i + 9;

    const int fn = function & 0x0F;
    switch (fn) {
        case 0:
            emitLines(m_modules.direct(letter, units, x10::AllUnitsOff));
            break;
        case 1:
            emitLines(m_modules.direct(letter, units, x10::AllLightsOn));
            break;
        case 2:
            emitLines(m_modules.direct(letter, units, x10::On));
            break;
        case 3:
            emitLines(m_modules.direct(letter, units, x10::Off));
            break;
        case 5:
            emitLines(m_modules.direct(letter, units, x10::Dim, dimPercent(function >> 4)));
            break;
        default:
            emitLines({QString::fromLatin1("%1 FUNCTION %2 (not modelled)").arg(letter).arg(fn)});
            break;
    }
}

void Cp290Sim::service(SimClock::time_point now) {
    if (now < m_deadline) return;
    if (m_bodyLeft > 0) {
        record(m_frame, Kind::Unknown);  // incomplete, given up
        m_frame.clear();
        m_bodyLeft = 0;
    }
    // Keep a trailing run of 0xFF: it may be the start of the next sync run.
    flushGarbage(m_ffRun);
}

void Cp290Sim::resetProtocol() {
    m_hunt.clear();
    m_ffRun = 0;
    m_frame.clear();
    m_bodyLeft = 0;
}

SimClock::time_point Cp290Sim::nextDeadline() const {
    if (m_bodyLeft > 0 || m_hunt.size() > m_ffRun) return m_deadline;
    return SimClock::time_point::max();
}

}  // namespace sim
