// Command transmission and queue: FrameChecksum, SendFrame,
// SendCommand, ExecWait, Exec and the Timer2 drain.
#include <algorithm>

#include "engine_p.h"
#include "timebase.h"
#include "x10codes.h"

namespace x10 = pandrel::x10;

namespace {
constexpr double kHandshakeSeconds = 8;  // each step of the handshake
}

uint8_t pandrel::Engine::Private::FrameChecksum(const uint8_t* frame, int length) {
    return x10::frameChecksum(frame, length);
}

bool pandrel::Engine::Private::SendFrame(const QByteArray& frame) {
    return SendFrame(reinterpret_cast<const uint8_t*>(frame.constData()),
                     static_cast<int>(frame.size()));
}

bool pandrel::Engine::Private::SendFrame(const uint8_t* frame, int length) {
    if (bClosing) return true;
    const uint32_t epoch = iEpoch;
    ClearReceiveBuffer();
    bSending = true;
    const uint8_t c = FrameChecksum(frame, length);
    Output(QByteArray(reinterpret_cast<const char*>(frame), length));
    // The checksum.
    if (!WaitForBytes(kHandshakeSeconds, 1)) {
        if (epoch == iEpoch) bSending = false;
        return false;
    }
    // Not the checksum: an unsolicited byte of the interface.
    const uint8_t b = ReadReceivedByte();
    if (b != c) {
        HandleInterfaceByte(b);  // bSending still true while it runs
        if (epoch == iEpoch) bSending = false;
        return false;
    }
    // Confirm.
    Output(QByteArray(1, static_cast<char>(x10::kAck)));
    // The interface reports the command sent.
    if (!WaitForBytes(kHandshakeSeconds, 1)) {
        if (epoch == iEpoch) bSending = false;
        return false;
    }
    // Any byte ends the transmission.
    ReadReceivedByte();
    bSending = false;
    return true;
}

bool pandrel::Engine::Private::SendAddressPhase(int house, const QString& devicecode) {
    // One address frame per unit of the list; the phase fails at the first
    // failed frame. With no valid unit nothing is sent and it succeeds
    // (there is no frame to fail); -1 checks the list itself.
    for (int u : x10::unitList(devicecode)) {
        if (!SendFrame(x10::addressFrame(house, u))) return false;
    }
    return true;
}

bool pandrel::Engine::Private::SendAttempt(int house, const QString& devicecode, int16_t& command,
                                           int16_t& brightness, int16_t data1, int16_t data2) {
    switch (command) {
        case x10::AddressOnly: {
            const std::vector<int> units = x10::unitList(devicecode);
            if (units.empty()) return false;
            for (int u : units) {
                if (!SendFrame(x10::addressFrame(house, u))) return false;
            }
            return true;
        }
        case x10::AllUnitsOff:
        case x10::AllLightsOn:
        case x10::AllLightsOff:
            return SendFrame(x10::functionFrame(house, command));
        case x10::On:
        case x10::Off:
            if (!SendAddressPhase(house, devicecode)) return false;
            return SendFrame(x10::functionFrame(house, command));
        case x10::Dim:
        case x10::Bright: {
            const int steps = x10::dimSteps(brightness);
            if (!SendAddressPhase(house, devicecode)) return false;
            return SendFrame(x10::functionFrame(house, command, steps));
        }
        case x10::ExtendedCode: {
            // data1 and data2 are masked to 8 bits.
            const std::vector<int> units = x10::unitList(devicecode);
            if (units.empty()) return false;
            for (int u : units) {
                if (!SendFrame(x10::extendedFrame(house, u, data1, data2))) return false;
            }
            return true;
        }
        case x10::PresetDim1:
        case x10::PresetDim2: {
            if (brightness > 31) brightness = 31;
            const x10::PresetLevel p = x10::presetLevel(brightness);
            command = static_cast<int16_t>(p.function);
            if (!SendAddressPhase(house, devicecode)) return false;
            return SendFrame(x10::presetDimFrame(p.level, p.function));
        }
        case x10::StatusRequest: {
            // One address frame for the whole text read as one number; its
            // outcome is not used. A text that does not read as 1 ... 16
            // sends no address frame.
            const int u = x10::singleUnit(devicecode);
            if (u != 0) SendFrame(x10::addressFrame(house, u));
            return SendFrame(x10::functionFrame(house, command));
        }
        default:
            return false;  // nothing is sent; the attempt fails
    }
}

int16_t pandrel::Engine::Private::SendCommand(QString& housecode, QString& devicecode,
                                              int16_t& command, int16_t& brightness, int16_t& data1,
                                              int16_t& data2) {
    if (brightness > 100) brightness = 100;
    if (brightness < 0) brightness = 0;
    // An empty or invalid house code sends nothing.
    if (housecode.isEmpty()) return 0;
    const int h = x10::housePosition(housecode);
    if (h == 0) return 0;
    // Attempts: the first and SendRetryCount repetitions.
    const uint32_t epoch = iEpoch;
    int r = 0;
    bool ok = false;
    for (;;) {
        ok = SendAttempt(h, devicecode, command, brightness, data1, data2);
        if (epoch != iEpoch) return 1;  // an Init ran inside: stop at once
        if (ok || r >= SendRetryCount) break;
        ++r;
    }
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Public send methods

int16_t pandrel::Engine::ExecWait(QString& housecode, QString& devicecode, int16_t& command,
                                  int16_t& brightness, int16_t& data1, int16_t& data2) {
    if (!d->bReady) return 0;
    // Exchanges are serialised: an ExecWait called from inside another
    // exchange's wait (a handler run nested in it) would interleave its bytes
    // with that exchange's. It is refused: nothing is sent, result 1.
    if (d->iExchange > 0) return 1;
    Private::ExchangeScope exchange(d);
    return d->SendCommand(housecode, devicecode, command, brightness, data1, data2);
}

namespace {
// The value overloads take plain ints; the command body works on 16-bit values.
int16_t to16(int v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}
}  // namespace

int16_t pandrel::Engine::ExecWait(const QString& housecode, const QString& devicecode, int command,
                                  int brightness, int data1, int data2) {
    QString h = housecode;
    QString u = devicecode;
    int16_t c = to16(command), b = to16(brightness), d1 = to16(data1), d2 = to16(data2);
    return ExecWait(h, u, c, b, d1, d2);
}

void pandrel::Engine::Exec(QString& housecode, QString& devicecode, int16_t& command,
                           int16_t& brightness, int16_t& data1, int16_t& data2) {
    if (!d->bReady || d->iCmdCount >= Private::kCmdSize) return;
    QueuedCommand& e = d->CommandQueue[static_cast<size_t>(d->iCmdWrite)];
    e.housecode = housecode;
    e.devicecode = devicecode;
    e.command = command;
    e.brightness = brightness;
    e.data1 = data1;
    e.data2 = data2;
    d->iCmdWrite = (d->iCmdWrite + 1) % Private::kCmdSize;
    ++d->iCmdCount;
    // Exec only queues and returns at once. With the line idle the queue is
    // served at the next turn of the event loop rather than at the next
    // Timer2 tick (the drain arms Timer2 if it has to leave work behind); a
    // backlog, or a command queued while another exchange runs, keeps the
    // tick's pacing.
    if (d->iExchange == 0 && !d->bQueueBusy && !d->bDrainPosted) {
        d->bDrainPosted = true;
        QMetaObject::invokeMethod(
            this,
            [p = d] {
                p->bDrainPosted = false;
                p->Timer2_Timer();
            },
            Qt::QueuedConnection);
    } else if (!d->bDrainPosted) {
        d->ArmQueueTimer();
    }
}

void pandrel::Engine::Exec(const QString& housecode, const QString& devicecode, int command,
                           int brightness, int data1, int data2) {
    QString h = housecode;
    QString u = devicecode;
    int16_t c = to16(command), b = to16(brightness), d1 = to16(data1), d2 = to16(data2);
    Exec(h, u, c, b, d1, d2);
}

// ---------------------------------------------------------------------------
// Timer2: drains the queue every 250 ms while commands wait (and once right
// after an Exec on an idle line)

void pandrel::Engine::Private::ArmQueueTimer() {
    if (iCmdCount <= 0 || bClosing)
        Timer2->stop();
    else if (!Timer2->isActive())
        platform::TimeBase::global().startTimer(*Timer2, kQueueTickMs);
}

void pandrel::Engine::Private::Timer2_Timer() {
    DrainQueue();
    // Whatever the drain could not send (another exchange held the line)
    // waits for the next tick; an empty queue needs no timer.
    ArmQueueTimer();
}

void pandrel::Engine::Private::DrainQueue() {
    // No nested draining; and another exchange in progress (Init's
    // listen or probe, ExecWait, an upload, ...) keeps the queue for the
    // next tick.
    if (bQueueBusy || iExchange > 0) return;
    if (iCmdCount <= 0 || bClosing) return;
    bQueueBusy = true;
    ExchangeScope exchange(this);
    const uint32_t epoch = iEpoch;
    while (iCmdCount > 0 && !bClosing) {
        const int slot = iCmdRead;
        QueuedCommand e = CommandQueue[static_cast<size_t>(slot)];
        bool sent = false;
        if (e.command == x10::ClearMemory) {
            ClearMem();  // the other arguments are not used
            sent = true;
        } else {
            // Result 0 also stands for "nothing to send" (an invalid house
            // code); only a valid one reached the line.
            sent = SendCommand(e.housecode, e.devicecode, e.command, e.brightness, e.data1,
                               e.data2) == 0 &&
                   x10::housePosition(e.housecode) != 0;
        }
        if (epoch != iEpoch) sent = false;  // an Init or a lost port cut it short
        // The one place that reports a queued command's outcome.
        emit q->CommandDone(e.housecode, e.devicecode, e.command, e.brightness, sent);
        if (epoch != iEpoch) break;                   // an Init emptied the queue meanwhile
        CommandQueue[static_cast<size_t>(slot)] = e;  // write-backs land in the entry
        iCmdRead = (iCmdRead + 1) % kCmdSize;
        --iCmdCount;
    }
    bQueueBusy = false;
}
