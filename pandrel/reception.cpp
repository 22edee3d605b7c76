// Reception: unsolicited bytes of the interface (poll, macro report, clock
// request), uploads and their decoding, the events, the event queue with
// GetEvent, and the named event other processes wait on.
#include <algorithm>
#include <cmath>

#include "engine_p.h"
#include "numtext.h"
#include "timebase.h"
#include "x10codes.h"

namespace {
// Mask byte and 20 data bytes.
constexpr int kUploadBuffer = 21;
// An interface repeats its poll until it is answered; a few that crossed the
// answer on the line are skipped. A line that sends nothing but polls must
// not hold the reader for ever.
constexpr int kMaxSkippedPolls = 255;

QString hexByte(uint8_t b) {
    return QString::number(b, 16).toUpper();
}

// The number an event's extra text stands for (rounded half to even,
// clamped to 16 bits; an empty text gives 0).
int32_t extraValue(const QString& text) {
    return platform::clampToInt16(platform::roundHalfEven(platform::leadingNumber(text)));
}
}  // namespace

void pandrel::Engine::Private::HandleInterfaceByte(uint8_t b) {
    switch (b) {
        case x10::kPoll:
            ReadUpload();
            break;
        case x10::kMacroReport:
            ReadMacroReport();
            break;
        case x10::kPowerFail:
            SendClock();
            break;
        default:
            break;  // only shows that an interface is there
    }
    bHeard = true;
}

// ---------------------------------------------------------------------------
// Upload (the answer to a poll)

void pandrel::Engine::Private::ReadUpload() {
    if (bClosing) return;
    const uint32_t epoch = iEpoch;
    uint8_t buf[kUploadBuffer + 3] = {};  // + 3: bytes a last function would take
    int n = 0;
    {
        ExchangeScope exchange(this);
        bUploading = true;
        ClearReceiveBuffer();
        Output(QByteArray(1, static_cast<char>(x10::kPollAnswer)));
        // Size byte; polls that crossed the answer are skipped.
        int size = -1;
        for (int skipped = 0; skipped <= kMaxSkippedPolls; ++skipped) {
            if (!WaitForBytes(1, 1)) break;
            const uint8_t b = ReadReceivedByte();
            if (b != x10::kPoll) {
                size = b;
                break;
            }
        }
        if (size < 0) {
            if (epoch == iEpoch) bUploading = false;
            return;
        }
        // The mask and the data bytes. A size beyond the working buffer is
        // read whole (as far as the ring holds it) and cut to the buffer.
        const int wanted = std::min(size, static_cast<int>(kRxSize));
        if (!WaitForBytes(2, wanted)) {
            if (epoch == iEpoch) bUploading = false;
            return;
        }
        n = std::min(size, kUploadBuffer);
        for (int i = 0; i < wanted; ++i) {
            const uint8_t b = ReadReceivedByte();
            if (i < n) buf[i] = b;
        }
    }
    // The line is free again: a handler of the events below may send.
    DecodeUpload(buf, n);
    sExtra.clear();
    if (epoch == iEpoch) bUploading = false;
}

void pandrel::Engine::Private::DecodeUpload(const uint8_t* buf, int n) {
    // buf[0] is the mask, buf[1] ... buf[n - 1] the data; the buffer holds
    // three zero bytes beyond the last one.
    const uint8_t mask = n > 0 ? buf[0] : 0;
    int pos = 1;
    uint32_t bit = 1;
    while (pos < n) {
        if (mask & bit) {
            const uint8_t f = buf[pos];
            sHouse = x10::houseLetter(f);
            iCommand = static_cast<int16_t>(f & 0x0F);
            x10::HeardEvent heard;
            heard.function = static_cast<x10::Function>(iCommand);
            heard.house = x10::positionOf(f >> 4);
            heard.addresses = std::move(HeardAddresses);
            HeardAddresses.clear();
            switch (iCommand) {
                case x10::Dim:
                case x10::Bright:
                    heard.amount = x10::dimPercent(buf[pos + 1]);
                    sExtra = platform::blankNumber(heard.amount);
                    pos += 1;
                    bit <<= 1;
                    break;
                case x10::PresetDim1:
                case x10::PresetDim2:
                    // The high nibble holds the level: the house is that of
                    // the first address heard.
                    sHouse = sDevices.left(1);
                    heard.house = heard.addresses.empty() ? 0 : heard.addresses.front().house;
                    heard.amount = x10::presetDimValue(f);
                    sExtra = platform::blankNumber(heard.amount);
                    break;
                case x10::ExtendedCode:
                    // The unit code sits in the low four bits; higher bits are
                    // ignored rather than read past the table.
                    sDevices = sHouse + x10::unitText(buf[pos + 1]);
                    heard.addresses = {{heard.house, x10::positionOf(buf[pos + 1])}};
                    heard.amount = buf[pos + 2];
                    heard.extendedCommand = buf[pos + 3];
                    sExtra = platform::blankNumber(heard.amount);
                    sData2 = platform::blankNumber(heard.extendedCommand);
                    pos += 3;
                    bit <<= 3;
                    break;
                default:
                    break;
            }
            if (!bInitializing) {
                emit q->X10Event(sDevices, sHouse, iCommand, sExtra, sData2);
                QueueEvent(sHouse, sDevices, iCommand, extraValue(sExtra));
                SignalEvent();
                emit q->heard(heard);
            }
            sDevices.clear();
        } else {
            HeardAddresses.push_back(x10::Address::fromByte(buf[pos]));
            const QString unit = x10::addressText(buf[pos]);
            sDevices += unit + QLatin1Char(' ');
            sLastDevices = sDevices;
            QString devices = unit;
            int16_t command = -1;
            QString extra;
            QString data2;
            emit q->X10SingleEvent(devices, sHouse, command, extra, data2);
        }
        pos += 1;
        bit <<= 1;
    }
}

// ---------------------------------------------------------------------------
// Macro report

void pandrel::Engine::Private::ReadMacroReport() {
    uint8_t b0 = 0;
    uint8_t b1 = 0;
    {
        ExchangeScope exchange(this);
        const bool wasAwaiting = bAwaitingReply;
        bAwaitingReply = true;  // the two bytes are data, not unsolicited bytes
        const bool got = WaitForBytes(2, 2);
        bAwaitingReply = wasAwaiting;
        if (!got) return;
        b0 = ReadReceivedByte();
        b1 = ReadReceivedByte();
    }
    iCommand = x10::MacroReport;
    sExtra = hexByte(b0) + hexByte(b1);
    emit q->X10Event(sDevices, sHouse, iCommand, sExtra, sData2);
    // The hexadecimal text does not read as a decimal number; the queue keeps
    // the two bytes as one unsigned 16-bit number.
    QueueEvent(QString(), QString(), x10::MacroReport, b0 << 8 | b1);
    SignalEvent();
    x10::HeardEvent heard;
    heard.kind = x10::HeardEvent::Kind::Macro;
    heard.macro = b0 << 8 | b1;
    emit q->heard(heard);
}

// ---------------------------------------------------------------------------
// Event queue, named event, GetEvent

void pandrel::Engine::Private::QueueEvent(const QString& housecode, const QString& devices,
                                          int16_t command, int32_t extra) {
    if (iEvtCount >= kEvtSize) {  // full: the oldest is dropped
        iEvtRead = (iEvtRead + 1) % kEvtSize;
        --iEvtCount;
    }
    QueuedEvent& e = EventQueue[static_cast<size_t>(iEvtWrite)];
    e.housecode = housecode;
    e.devices = devices;
    e.command = command;
    e.extra = extra;
    iEvtWrite = (iEvtWrite + 1) % kEvtSize;
    ++iEvtCount;
}

void pandrel::Engine::Private::SignalEvent() {
    if (hEvent.isOpen()) hEvent.set();
    // Wake a waiting GetEvent at once.
    if (!bTimerFired) {
        Timer1->stop();
        platform::TimeBase::global().startTimer(*Timer1, 1);
    }
}

void pandrel::Engine::Private::Timer1_Timer() {
    bTimerFired = true;
}

QString pandrel::Engine::Private::GetEvent(int32_t& timeout) {
    for (;;) {
        if (iEvtCount > 0) {
            const QueuedEvent& e = EventQueue[static_cast<size_t>(iEvtRead)];
            QString text = e.devices + QLatin1Char(':') + QString::number(e.command) +
                           QLatin1Char(':') + QString::number(e.extra);
            if (e.devices.isEmpty()) text.prepend(sLastDevices);
            iEvtRead = (iEvtRead + 1) % kEvtSize;
            --iEvtCount;
            return text;
        }
        if (hEvent.isOpen()) hEvent.reset();
        if (timeout <= 0) return QString();

        Timer1->stop();
        bTimerFired = false;
        platform::TimeBase::global().startTimer(*Timer1, timeout);
        // Serve notifications and timers until Timer1 fires: at the time-out,
        // or 1 ms after an event was queued. (The wait's own limit is only a
        // safety net should another GetEvent nested in a handler take the
        // timer away.)
        platform::waitFor([this] { return bTimerFired; }, static_cast<qint64>(timeout) + 1000);
        Timer1->stop();
        if (iEvtCount < 1) return QString();
        timeout = 0;
    }
}

void pandrel::Engine::Private::ClearEventMembers() {
    sDevices.clear();
    sHouse.clear();
    HeardAddresses.clear();
}

QString pandrel::Engine::GetEvent(int32_t& timeout) {
    return d->GetEvent(timeout);
}

QString pandrel::Engine::GetEvent(const int32_t& timeout) {
    int32_t t = timeout;
    return d->GetEvent(t);
}
