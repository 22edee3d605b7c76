#include "twowaysim.h"

#include "x10.h"

#include <QRegularExpression>
#include <algorithm>
#include <array>

namespace sim {

using namespace x10;

namespace {

// Upload sent after a poll that replaced a checksum when nothing was injected:
// a lone address A1.
const QByteArray kDefaultUpload = QByteArray::fromHex("020066");

// A checksum that is certainly wrong and cannot be mistaken for one of the
// bytes the interface sends of its own accord.
uchar wrongChecksum(uchar sum) {
    uchar w = uchar(sum + 1);
    while (w == TwoWaySim::kPoll || w == TwoWaySim::kMacroReport || w == TwoWaySim::kPowerFail ||
           w == TwoWaySim::kReady)
        ++w;
    return w;
}

}  // namespace

TwoWaySim::TwoWaySim() : PtySim(4800) {}

TwoWaySim::~TwoWaySim() {
    shutdown();
}

// ---- configuration and injections (any thread) ----

void TwoWaySim::failChecksums(int n) {
    std::lock_guard lk(m_mutex);
    m_failChecksums = std::max(0, n);
}

void TwoWaySim::pollInsteadOfChecksum(int n) {
    std::lock_guard lk(m_mutex);
    m_pollInstead = std::max(0, n);
}

void TwoWaySim::setReadyDelayMs(int ms) {
    std::lock_guard lk(m_mutex);
    m_readyDelayMs = std::max(0, ms);
}

void TwoWaySim::setFrameEcho(bool on) {
    std::lock_guard lk(m_mutex);
    m_frameEcho = on;
}

void TwoWaySim::injectUpload(const QByteArray& uploadWithSizeAndMask, int extraPolls) {
    std::lock_guard lk(m_mutex);
    if (m_uploads.empty()) m_nextPoll = SimClock::now();
    m_uploads.push_back({uploadWithSizeAndMask, std::max(0, extraPolls)});
    m_lastUpload = uploadWithSizeAndMask;
    wake();
}

void TwoWaySim::injectPowerFail() {
    std::lock_guard lk(m_mutex);
    if (!m_powerFail) m_nextPowerFail = SimClock::now();
    m_powerFail = true;
    wake();
}

void TwoWaySim::injectMacro(uchar b0, uchar b1) {
    std::lock_guard lk(m_mutex);
    m_macros.emplace_back(b0, b1);
    wake();
}

void TwoWaySim::setModuleKind(char house, int unit, ModuleKind kind) {
    std::lock_guard lk(m_mutex);
    m_modules.setKind(house, unit, kind);
}

ModuleKind TwoWaySim::moduleKind(char house, int unit) const {
    std::lock_guard lk(m_mutex);
    return m_modules.state(house, unit).kind;
}

void TwoWaySim::changeAtWall(char house, int unit, int percent) {
    std::lock_guard lk(m_mutex);
    m_modules.atWall(house, unit, percent);
}

void TwoWaySim::setLoad(char house, int unit, bool connected) {
    std::lock_guard lk(m_mutex);
    m_modules.setLoad(house, unit, connected);
}

void TwoWaySim::setLossPercent(int percent) {
    std::lock_guard lk(m_mutex);
    m_lossPercent = std::clamp(percent, 0, 100);
}

int TwoWaySim::lossPercent() const {
    std::lock_guard lk(m_mutex);
    return m_lossPercent;
}

void TwoWaySim::setLossSeed(quint32 seed) {
    std::lock_guard lk(m_mutex);
    m_lossRandom.seed(seed);
}

void TwoWaySim::setStatusLoss(bool on) {
    std::lock_guard lk(m_mutex);
    m_statusLoss = on;
}

TwoWaySim::LineStats TwoWaySim::lineStats() const {
    std::lock_guard lk(m_mutex);
    return m_stats;
}

bool TwoWaySim::waitForReplies(int count, int realMs) const {
    std::unique_lock lk(m_mutex);
    return m_cv.wait_for(lk, std::chrono::milliseconds(realMs),
                         [&] { return m_repliesHeard >= count; });
}

bool TwoWaySim::isPolling() const {
    std::lock_guard lk(m_mutex);
    return !m_uploads.empty();
}

bool TwoWaySim::powerFailPending() const {
    std::lock_guard lk(m_mutex);
    return m_powerFail;
}

// ---- records ----

QList<TwoWaySim::Frame> TwoWaySim::frames() const {
    std::lock_guard lk(m_mutex);
    return detachedCopy(m_frames);
}

QList<TwoWaySim::Frame> TwoWaySim::framedOnly() const {
    std::lock_guard lk(m_mutex);
    QList<Frame> out;
    for (const Frame& f : m_frames) {
        switch (f.kind) {
            case Kind::Address:
            case Kind::Function:
            case Kind::PresetDim:
            case Kind::Extended:
            case Kind::Download:
                out << f;
                break;
            default:
                break;
        }
    }
    return out;
}

QList<TwoWaySim::Frame> TwoWaySim::clockFrames() const {
    std::lock_guard lk(m_mutex);
    QList<Frame> out;
    for (const Frame& f : m_frames)
        if (f.kind == Kind::Clock) out << f;
    return out;
}

QList<TwoWaySim::Frame> TwoWaySim::statusRequests() const {
    std::lock_guard lk(m_mutex);
    QList<Frame> out;
    for (const Frame& f : m_frames)
        if (f.kind == Kind::StatusRequest) out << f;
    return out;
}

QByteArray TwoWaySim::received() const {
    std::lock_guard lk(m_mutex);
    return detachedCopy(m_received);
}

void TwoWaySim::clearRecords() {
    std::lock_guard lk(m_mutex);
    m_frames.clear();
    m_received.clear();
    m_stats = {};
    m_repliesHeard = 0;
}

TwoWaySim::Records TwoWaySim::takeRecords() {
    std::lock_guard lk(m_mutex);
    Records r{detachedCopy(m_frames), detachedCopy(m_received)};
    m_frames.clear();
    m_received.clear();
    return r;
}

bool TwoWaySim::waitForFrames(int count, int realMs) const {
    std::unique_lock lk(m_mutex);
    return m_cv.wait_for(lk, std::chrono::milliseconds(realMs),
                         [&] { return m_frames.size() >= count; });
}

QByteArray TwoWaySim::statusReply() const {
    std::lock_guard lk(m_mutex);
    return statusReplyLocked();
}

QByteArray TwoWaySim::statusReplyLocked() const {
    // Battery timer (2), seconds, minutes, hours/2, day of year low, day bit 8
    // and weekday mask, monitored house code and firmware revision, addressed
    // map (2), on map (2), dimmed map (2) of the monitored house A.
    QByteArray r(kStatusLength, '\0');
    if (m_lastClock.size() == 7)
        for (int i = 1; i <= 5; ++i) r[i + 1] = m_lastClock[i];
    r[7] = char((houseCode('A') << 4) | 0x01);
    quint16 on = 0, dimmed = 0;
    for (int unit = 1; unit <= 16; ++unit) {
        const ModuleTable::State s = m_modules.state('A', unit);
        if (s.on) on |= quint16(1u << (unit - 1));
        if (s.on && s.brightness < 100) dimmed |= quint16(1u << (unit - 1));
    }
    r[10] = char(on & 0xFF);
    r[11] = char(on >> 8);
    r[12] = char(dimmed & 0xFF);
    r[13] = char(dimmed >> 8);
    return r;
}

// ---- protocol (I/O thread) ----

uchar TwoWaySim::checksum(const QByteArray& frame) {
    uchar sum = 0;
    for (qsizetype i = frame.size() > 6 ? 1 : 0; i < frame.size(); ++i) sum += uchar(frame[i]);
    return sum;
}

TwoWaySim::Kind TwoWaySim::classify(const QByteArray& frame) {
    const uchar head = uchar(frame[0]);
    if (head == kClockHeader) return Kind::Clock;
    if (head == kDownloadHeader) return Kind::Download;
    if (head & 0x01) return Kind::Extended;
    if (!(head & 0x02)) return Kind::Address;
    const int fn = uchar(frame[1]) & 0x0F;
    return fn == PresetDim1 || fn == PresetDim2 ? Kind::PresetDim : Kind::Function;
}

void TwoWaySim::record(const QByteArray& bytes, Kind kind) {
    m_frames.append({monotonicMs(), bytes, kind});
    m_cv.notify_all();
}

void TwoWaySim::handleByte(uchar byte) {
    m_received.append(char(byte));
    // While a command goes out on the powerline the interface does not listen;
    // what arrives meanwhile is taken up once the ready byte went out.
    if (m_state == State::Transmitting) {
        m_backlog.append(char(byte));
        return;
    }
    parse(byte);
}

void TwoWaySim::parse(uchar byte) {
    switch (m_state) {
        case State::Receiving:
            m_frame.append(char(byte));
            if (m_frame.size() >= m_expect) {
                frameComplete();
            } else {
                m_stateDeadline = SimClock::now() + tolerance(kFrameTimeoutMs, 250);
            }
            return;
        case State::AwaitAck:
            if (byte == kAck) {
                record(QByteArray(1, char(kAck)), Kind::Ack);
                acknowledged();
                return;
            }
            // The computer did not like the checksum and starts over.
            m_state = State::Idle;
            m_frame.clear();
            startFrame(byte);
            return;
        case State::Idle:
            startFrame(byte);
            return;
        case State::Transmitting:
            m_backlog.append(char(byte));
            return;
    }
}

void TwoWaySim::startFrame(uchar byte) {
    const QByteArray one(1, char(byte));
    switch (byte) {
        case kAck:
            record(one, Kind::Ack);
            return;
        case kPollAnswer:
            record(one, Kind::PollAnswer);
            if (!m_silent && !m_uploads.empty() && m_pollsSent > 0) sendUpload();
            return;
        case kStatusRequest:
            record(one, Kind::StatusRequest);
            send(statusReplyLocked());
            return;
        case kClockHeader:
            m_expect = 7;
            break;
        case kDownloadHeader:
            m_expect = 19;
            break;
        default:
            if (!(byte & 0x04)) {
                record(one, Kind::Unknown);
                return;
            }
            m_expect = (byte & 0x01) ? 5 : 2;
            break;
    }
    m_frame = one;
    m_state = State::Receiving;
    m_stateDeadline = SimClock::now() + tolerance(kFrameTimeoutMs, 250);
}

void TwoWaySim::frameComplete() {
    const QByteArray frame = m_frame;
    m_frame.clear();
    m_state = State::Idle;
    const Kind kind = classify(frame);
    record(frame, kind);
    if (m_frameEcho) emitNote("frame: " + hex(frame));
    if (m_silent) return;

    if (kind == Kind::Clock) {
        m_lastClock = frame;
        m_powerFail = false;
        send(checksum(frame));
        return;
    }

    const bool pollFault = m_pollInstead > 0;
    if (pollFault) {
        --m_pollInstead;
        if (m_uploads.empty())
            m_uploads.push_back({m_lastUpload.isEmpty() ? kDefaultUpload : m_lastUpload, 0});
    }
    if (pollFault || (!m_uploads.empty() && m_pollsSent > 0)) {
        // The interface insists on its upload first; the frame is dropped.
        send(kPoll);
        ++m_pollsSent;
        m_nextPoll = SimClock::now() + logical(kPollIntervalMs);
        return;
    }

    uchar sum = checksum(frame);
    if (m_failChecksums > 0) {
        --m_failChecksums;
        sum = wrongChecksum(sum);
    }
    send(sum);
    m_frame = frame;
    m_state = State::AwaitAck;
    m_stateDeadline = SimClock::now() + tolerance(kAckTimeoutMs, 500);
}

void TwoWaySim::acknowledged() {
    const QByteArray frame = m_frame;
    m_frame.clear();
    if (m_silent) {
        m_state = State::Idle;
        return;
    }
    execute(frame);
    // Powerline time with pacing: two byte times per frame byte.
    m_state = State::Transmitting;
    m_stateDeadline = SimClock::now() + logical(m_readyDelayMs) + byteTime() * (2 * frame.size());
}

bool TwoWaySim::lineLoses(bool statusTraffic) {
    // One draw for every message, whatever the share, so that the pattern of
    // losses depends on the seed and the traffic only.
    const bool hit = m_lossRandom() % 100 < quint32(m_lossPercent);
    return hit && (m_statusLoss || !statusTraffic);
}

void TwoWaySim::execute(const QByteArray& frame) {
    const auto at = [&](int i) { return uchar(frame[i]); };
    const Kind kind = classify(frame);
    if (kind != Kind::Address && kind != Kind::Function && kind != Kind::PresetDim &&
        kind != Kind::Extended)
        return;  // downloads and the clock stay in the interface
    const bool statusTraffic = (kind == Kind::Function && (at(1) & 0x0F) == StatusRequest) ||
                               (kind == Kind::Extended && at(4) == kExtStatusRequest);
    ++m_stats.commands;
    // An address or a function alone is half a message; an extended message
    // a whole one.
    m_stats.lineMs += kind == Kind::Extended ? kLineMessageMs : kLineMessageMs / 2;
    if (lineLoses(statusTraffic)) {
        ++m_stats.lost;
        emitNote("lost on the powerline: " + hex(frame));
        return;
    }
    switch (kind) {
        case Kind::Address:
            m_modules.address(letterOfCode(at(1) >> 4), unitOfCode(at(1)));
            break;
        case Kind::Function: {
            const int fn = at(1) & 0x0F;
            const char house = letterOfCode(at(1) >> 4);
            const int percent = (fn == Dim || fn == Bright) ? stepsToPercent(at(0) >> 3) : 0;
            emitLines(m_modules.function(house, fn, percent));
            if (fn == StatusRequest) answerStandard(house);
            break;
        }
        case Kind::PresetDim: {
            const int level = reverseNibble(at(1) >> 4) + ((at(1) & 0x0F) == PresetDim2 ? 16 : 0);
            emitLines(m_modules.presetDim(level));
            break;
        }
        case Kind::Extended: {
            const char house = letterOfCode(at(1) >> 4);
            const int unit = unitOfCode(at(2));
            emitLines(m_modules.extended(house, unit, at(3), at(4)));
            if (at(4) == kExtStatusRequest) answerExtended(house, unit);
            break;
        }
        default:
            break;
    }
}

void TwoWaySim::answerStandard(char house) {
    for (int unit : m_modules.lastUnits(house)) {
        const std::optional<bool> on = m_modules.statusOn(house, unit);
        if (!on) continue;
        const int fn = *on ? StatusOn : StatusOff;
        QByteArray upload;
        upload.append(char(3));
        upload.append(char(0x02));
        upload.append(char((houseCode(house) << 4) | unitCode(unit)));
        upload.append(char((houseCode(house) << 4) | fn));
        scheduleReply(upload,
                      QString::fromLatin1("%1%2 %3").arg(house).arg(unit).arg(functionName(fn)));
    }
}

void TwoWaySim::answerExtended(char house, int unit) {
    const std::optional<uchar> data = m_modules.extendedStatus(house, unit);
    if (!data) return;
    QByteArray upload;
    upload.append(char(5));
    upload.append(char(0x01));
    upload.append(char((houseCode(house) << 4) | ExtendedCode));
    upload.append(char(unitCode(unit)));
    upload.append(char(*data));
    upload.append(char(kExtStatusReply));
    scheduleReply(
        upload, QString::asprintf("%c%d EXT %02X %02X", house, unit, kExtStatusReply, uint(*data)));
}

void TwoWaySim::scheduleReply(const QByteArray& upload, const QString& text) {
    // The request still travels for one message time, then the reply takes
    // one; replies of several modules follow one another.
    SimClock::time_point due = SimClock::now() + logical(2 * kLineMessageMs);
    if (!m_replies.empty()) due = std::max(due, m_replies.back().due + logical(kLineMessageMs));
    ++m_stats.replies;
    m_stats.lineMs += kLineMessageMs;
    const bool lost = lineLoses(true);
    if (lost) ++m_stats.repliesLost;
    m_replies.push_back({due, upload, text, lost});
}

void TwoWaySim::sendUpload() {
    const Upload u = m_uploads.front();
    m_uploads.pop_front();
    send(QByteArray(u.extraPolls, char(kPoll)));
    send(u.bytes);
    m_pollsSent = 0;
    m_nextPoll = SimClock::now() + logical(kPollIntervalMs);
}

void TwoWaySim::service(SimClock::time_point now) {
    if (m_state != State::Idle && now >= m_stateDeadline) {
        switch (m_state) {
            case State::Receiving:
                record(m_frame, Kind::Unknown);  // incomplete, given up
                break;
            case State::Transmitting:
                send(kReady);
                break;
            default:
                break;
        }
        m_state = State::Idle;
        m_frame.clear();
        while (!m_backlog.isEmpty() && m_state != State::Transmitting) {
            const uchar b = uchar(m_backlog[0]);
            m_backlog.remove(0, 1);
            parse(b);
        }
    }
    while (!m_replies.empty() && now >= m_replies.front().due) {
        const Reply r = m_replies.front();
        m_replies.pop_front();
        if (r.lost) {
            emitNote("reply lost on the powerline: " + r.text);
            continue;
        }
        if (m_silent) {
            emitNote("reply not heard, the interface is silent: " + r.text);
            continue;
        }
        emitNote("reply: " + r.text);
        if (m_uploads.empty()) m_nextPoll = now;
        m_uploads.push_back({r.upload, 0});
        ++m_repliesHeard;
        m_cv.notify_all();
    }
    if (m_silent || m_state != State::Idle) return;

    while (!m_macros.empty()) {
        const auto [b0, b1] = m_macros.front();
        m_macros.pop_front();
        const char report[3] = {char(kMacroReport), char(b0), char(b1)};
        send(QByteArray(report, 3));
    }
    if (!m_uploads.empty() && now >= m_nextPoll) {
        send(kPoll);
        ++m_pollsSent;
        m_nextPoll = now + logical(kPollIntervalMs);
    }
    if (m_powerFail && now >= m_nextPowerFail) {
        send(kPowerFail);
        m_nextPowerFail = now + logical(kPowerFailIntervalMs);
    }
}

void TwoWaySim::resetProtocol() {
    m_state = State::Idle;
    m_frame.clear();
    m_backlog.clear();
    m_pollsSent = 0;
    m_replies.clear();
}

SimClock::time_point TwoWaySim::nextDeadline() const {
    SimClock::time_point t =
        m_replies.empty() ? SimClock::time_point::max() : m_replies.front().due;
    if (m_state != State::Idle) return std::min(t, m_stateDeadline);
    if (m_silent) return t;
    if (!m_macros.empty()) t = SimClock::now();
    if (!m_uploads.empty()) t = std::min(t, m_nextPoll);
    if (m_powerFail) t = std::min(t, m_nextPowerFail);
    return t;
}

// ---- helpers ----

QString TwoWaySim::kindName(Kind kind) {
    static const std::array<const char*, 10> names = {
        "Address", "Function", "PresetDim",  "Extended",      "Download",
        "Clock",   "Ack",      "PollAnswer", "StatusRequest", "Unknown"};
    return QString::fromLatin1(names[size_t(kind)]);
}

std::optional<QByteArray> TwoWaySim::buildUpload(const QString& text, QString* error) {
    const auto fail = [&](const QString& why) -> std::optional<QByteArray> {
        if (error) *error = why;
        return std::nullopt;
    };
    const QStringList tokens =
        text.toUpper().split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    QByteArray data;
    uint mask = 0;
    for (qsizetype i = 0; i < tokens.size();) {
        const QString& t = tokens[i];
        const int position = housePosition(t);
        if (position == 0) return fail("not a house code: " + t);
        const char house = char('A' - 1 + position);
        if (t.size() > 1) {
            bool ok = false;
            const int unit = t.mid(1).toInt(&ok);
            if (!ok || unit < 1 || unit > 16) return fail("not an address: " + t);
            ++i;
            if (i < tokens.size() && tokens[i] == "EXT") {
                // An extended message: its function byte, unit, data, command.
                bool okCommand = false, okData = false;
                const uint command = tokens.value(i + 1).toUInt(&okCommand, 16);
                const uint value = tokens.value(i + 2).toUInt(&okData, 16);
                if (!okCommand || !okData || command > 0xFF || value > 0xFF)
                    return fail("EXT needs a command and a data byte in hex");
                i += 3;
                mask |= 1u << data.size();
                data.append(char((houseCode(house) << 4) | ExtendedCode));
                data.append(char(unitCode(unit)));
                data.append(char(value));
                data.append(char(command));
                continue;
            }
            data.append(char((houseCode(house) << 4) | unitCode(unit)));
            continue;
        }
        // A house letter alone: the function name follows, longest match wins.
        int best = -1, bestWords = 0;
        for (int fn = 0; fn < 16; ++fn) {
            const QStringList words = functionName(fn).split(' ');
            if (words.size() <= bestWords) continue;
            if (tokens.mid(i + 1, words.size()) == words) {
                best = fn;
                bestWords = int(words.size());
            }
        }
        if (best < 0) return fail("unknown function after " + t);
        if (best == ExtendedCode || best == PresetDim1 || best == PresetDim2 || best == XDataXfer)
            return fail(functionName(best) + " is not supported here");
        i += 1 + bestWords;
        mask |= 1u << data.size();
        data.append(char((houseCode(house) << 4) | best));
        if (best == Dim || best == Bright) {
            bool ok = false;
            const int percent = i < tokens.size() ? tokens[i].toInt(&ok) : -1;
            if (!ok || percent < 0 || percent > 100)
                return fail(functionName(best) + " needs a percentage 0..100");
            ++i;
            mask |= 1u << data.size();
            data.append(char(percentToAmount(percent)));
        }
    }
    if (data.isEmpty()) return fail("nothing to upload");
    if (data.size() > 8) return fail("too long: at most 8 data bytes");
    QByteArray out;
    out.append(char(data.size() + 1));
    out.append(char(mask));
    out.append(data);
    return out;
}

}  // namespace sim
