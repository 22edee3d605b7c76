// Command transmission and queue: FrameChecksum, SendFrame,
// SendCommand, ExecWait, Exec and the Timer2 drain.
#include <algorithm>

#include "engine_p.h"
#include "timebase.h"
#include "x10codes.h"

namespace {
constexpr double kHandshakeSeconds = 8;  // each step of the handshake
// After a silent handshake step: the wait for the interface's status reply.
// The reply takes about 30 ms at 4800 baud; a second leaves room for an
// interface that is busy on the powerline.
constexpr double kAnswerCheckSeconds = 1;
const QString kNotAnswering = QStringLiteral("Interface not answering");
}  // namespace

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
    // A step that draws no byte at all on an open port is silence, not noise.
    auto silent = [&] {
        if (epoch != iEpoch) return false;
        bSending = false;
        bSilentStep = !bClosing && MSComm1->PortOpen();
        return false;
    };
    // The checksum.
    if (!WaitForBytes(kHandshakeSeconds, 1)) return silent();
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
    if (!WaitForBytes(kHandshakeSeconds, 1)) return silent();
    // Any byte ends the transmission.
    ReadReceivedByte();
    bSending = false;
    return true;
}

QueuedCommand pandrel::Engine::Private::FromTexts(const QString& housecode,
                                                  const QString& devicecode, int16_t command,
                                                  int16_t brightness, int16_t data1,
                                                  int16_t data2) {
    QueuedCommand e;
    e.housecode = housecode;
    e.devicecode = devicecode;
    e.command = command;
    e.brightness = brightness;
    e.data1 = data1;
    e.data2 = data2;
    // An empty or invalid house code sends nothing.
    e.house = x10::housePosition(housecode);
    if (e.house == 0) return e;
    if (command == x10::StatusRequest) {
        // One address for the whole text read as one number; none when it
        // does not read as 1 ... 16.
        if (const int u = x10::singleUnit(devicecode)) e.addresses.push_back({e.house, u});
    } else {
        for (int u : x10::unitList(devicecode)) e.addresses.push_back({e.house, u});
    }
    return e;
}

bool pandrel::Engine::Private::SendAddressPhase(const QueuedCommand& e) {
    // One address frame per unit of the list; the phase fails at the first
    // failed frame. With no unit nothing is sent and it succeeds (there is
    // no frame to fail).
    for (const x10::Address& a : e.addresses) {
        if (!SendFrame(x10::addressFrame(a.house, a.unit))) return false;
    }
    return true;
}

bool pandrel::Engine::Private::SendAttempt(QueuedCommand& e) {
    switch (e.command) {
        case x10::AddressOnly:
            if (e.addresses.empty()) return false;
            return SendAddressPhase(e);
        case x10::AllUnitsOff:
        case x10::AllLightsOn:
        case x10::AllLightsOff:
            return SendFrame(x10::functionFrame(e.house, e.command));
        case x10::On:
        case x10::Off:
            if (!SendAddressPhase(e)) return false;
            return SendFrame(x10::functionFrame(e.house, e.command));
        case x10::Dim:
        case x10::Bright: {
            const int steps = x10::dimSteps(e.brightness);
            if (!SendAddressPhase(e)) return false;
            return SendFrame(x10::functionFrame(e.house, e.command, steps));
        }
        case x10::ExtendedCode: {
            // data1 and data2 are masked to 8 bits.
            if (e.addresses.empty()) return false;
            for (const x10::Address& a : e.addresses) {
                if (!SendFrame(x10::extendedFrame(a.house, a.unit, e.data1, e.data2))) return false;
            }
            return true;
        }
        case x10::PresetDim1:
        case x10::PresetDim2: {
            if (e.brightness > 31) e.brightness = 31;
            const x10::PresetLevel p = x10::presetLevel(e.brightness);
            e.command = static_cast<int16_t>(p.function);
            if (!SendAddressPhase(e)) return false;
            return SendFrame(x10::presetDimFrame(p.level, p.function));
        }
        case x10::StatusRequest: {
            // The outcome of the address frame is not used, unless the
            // interface fell silent on it.
            if (!e.addresses.empty()) {
                const x10::Address& a = e.addresses.front();
                if (!SendFrame(x10::addressFrame(a.house, a.unit)) && bSilentStep) return false;
            }
            return SendFrame(x10::functionFrame(e.house, e.command));
        }
        default:
            return false;  // nothing is sent; the attempt fails
    }
}

int16_t pandrel::Engine::Private::SendCommand(QueuedCommand& e) {
    if (e.brightness > 100) e.brightness = 100;
    if (e.brightness < 0) e.brightness = 0;
    if (e.house == 0) return 0;  // nothing to send
    // Attempts: the first and SendRetryCount repetitions.
    const uint32_t epoch = iEpoch;
    int r = 0;
    bool ok = false;
    for (;;) {
        bSilentStep = false;
        ok = SendAttempt(e);
        if (epoch != iEpoch) return 1;  // an Init ran inside: stop at once
        if (ok) break;
        // Silence is not a garbled exchange: retrying into it would hold this
        // command and every one behind it for all the attempts. The retries
        // go on only when the interface still answers a status request.
        if (bSilentStep) {
            const bool answers = StillAnswers();
            if (epoch != iEpoch) return 1;
            if (!answers) {
                bNotAnswering = true;
                return 1;
            }
        }
        if (r >= SendRetryCount) break;
        ++r;
    }
    return ok ? 0 : 1;
}

bool pandrel::Engine::Private::StillAnswers() {
    const uint32_t epoch = iEpoch;
    const bool wasAwaiting = bAwaitingReply;
    bAwaitingReply = true;  // the reply goes to this check only
    ClearReceiveBuffer();
    Output(QByteArray(1, static_cast<char>(x10::kStatusRequest)));
    WaitForBytes(kAnswerCheckSeconds, x10::kStatusReplyLength);
    if (epoch != iEpoch) return false;
    // Any byte shows an interface that is there (a poll it insists on, a
    // late checksum); it repeats whatever it still wants to say.
    const bool answered = iRxCount > 0;
    bAwaitingReply = wasAwaiting;
    ClearReceiveBuffer();
    return answered;
}

void pandrel::Engine::Private::ReportNotAnswering() {
    bNotAnswering = false;
    const std::vector<QueuedCommand> dropped = TakeEntries();
    emit q->stoppedAnswering(kNotAnswering);
    for (const QueuedCommand& e : dropped) {
        if (e.typed)
            emit q->commandOutcome(e.id, Outcome::Dropped, kNotAnswering);
        else
            emit q->CommandDone(e.housecode, e.devicecode, e.command, e.brightness, false);
    }
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
    int16_t result = 0;
    {
        Private::ExchangeScope exchange(d);
        QueuedCommand e =
            Private::FromTexts(housecode, devicecode, command, brightness, data1, data2);
        result = d->SendCommand(e);
        command = e.command;
        brightness = e.brightness;
    }
    if (d->bNotAnswering) d->ReportNotAnswering();
    return result;
}

namespace {
// The value overloads take plain ints; the command body works on 16-bit values.
int16_t to16(int v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

// The functions the send path puts on the line.
bool carried(int function) {
    switch (function) {
        case x10::HailRequest:
        case x10::HailAck:
        case x10::XDataXfer:
        case x10::StatusOn:
        case x10::StatusOff:
            return false;
        default:
            return function >= 0 && function < x10::kFunctionCount;
    }
}
}  // namespace

int16_t pandrel::Engine::ExecWait(const QString& housecode, const QString& devicecode, int command,
                                  int brightness, int data1, int data2) {
    QString h = housecode;
    QString u = devicecode;
    int16_t c = to16(command), b = to16(brightness), d1 = to16(data1), d2 = to16(data2);
    return ExecWait(h, u, c, b, d1, d2);
}

bool pandrel::Engine::Private::Enqueue(QueuedCommand e, QString* why) {
    if (!bReady) {
        *why = QStringLiteral("the interface is not open");
        return false;
    }
    if (iCmdCount >= kCmdSize) {
        *why = QStringLiteral("%1 commands wait already").arg(kCmdSize);
        return false;
    }
    CommandQueue[static_cast<size_t>(iCmdWrite)] = std::move(e);
    iCmdWrite = (iCmdWrite + 1) % kCmdSize;
    ++iCmdCount;
    // A queued command only waits and returns at once. With the line idle
    // the queue is served at the next turn of the event loop rather than at
    // the next Timer2 tick (the drain arms Timer2 if it has to leave work
    // behind); a backlog, or a command queued while another exchange runs,
    // keeps the tick's pacing.
    if (iExchange == 0 && !bQueueBusy && !bDrainPosted) {
        bDrainPosted = true;
        QMetaObject::invokeMethod(
            q,
            [p = this] {
                p->bDrainPosted = false;
                p->Timer2_Timer();
            },
            Qt::QueuedConnection);
    } else if (!bDrainPosted) {
        ArmQueueTimer();
    }
    return true;
}

void pandrel::Engine::Exec(QString& housecode, QString& devicecode, int16_t& command,
                           int16_t& brightness, int16_t& data1, int16_t& data2) {
    // A command that is not taken is dropped without a word.
    QString why;
    d->Enqueue(Private::FromTexts(housecode, devicecode, command, brightness, data1, data2), &why);
}

void pandrel::Engine::Exec(const QString& housecode, const QString& devicecode, int command,
                           int brightness, int data1, int data2) {
    QString h = housecode;
    QString u = devicecode;
    int16_t c = to16(command), b = to16(brightness), d1 = to16(data1), d2 = to16(data2);
    Exec(h, u, c, b, d1, d2);
}

void pandrel::Engine::send(quint64 id, const x10::Command& command) {
    QueuedCommand e;
    e.typed = true;
    e.id = id;
    e.command = static_cast<int16_t>(command.function);
    e.brightness = to16(command.amount);
    e.data1 = to16(command.amount);
    e.data2 = to16(command.extendedCommand);
    // The first valid address names the house; the units go to the line.
    for (const x10::Address& a : command.addresses) {
        if (!a.valid()) continue;
        if (e.house == 0) e.house = a.house;
        if (a.unit != 0) e.addresses.push_back(a);
    }
    if (e.command == x10::StatusRequest && e.addresses.size() > 1) e.addresses.resize(1);
    QString why;
    if (e.house == 0)
        why = QStringLiteral("no house to send to");
    else if (!carried(e.command))
        why = x10::functionName(e.command) + QStringLiteral(" is not sent by the interface");
    else if (d->Enqueue(std::move(e), &why))
        return;
    emit commandOutcome(id, Outcome::Dropped, why);
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
    // A drain that found the interface silent gives up the rest here, once
    // its exchange is over.
    if (bNotAnswering && iExchange == 0) ReportNotAnswering();
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
        QString reason;
        if (e.command == x10::ClearMemory && !e.typed) {
            ClearMem();  // the other arguments are not used
            sent = true;
        } else {
            // Result 0 also stands for "nothing to send" (an invalid house
            // code); only a valid one reached the line.
            sent = SendCommand(e) == 0 && e.house != 0;
            if (!sent && bNotAnswering)
                reason = kNotAnswering;
            else if (!sent)
                reason = QStringLiteral("not confirmed by the interface after %1 attempts")
                             .arg(SendRetryCount + 1);
        }
        if (epoch != iEpoch) {  // an Init or a lost port cut it short
            sent = false;
            reason = QStringLiteral("cut short: the port was lost or opened again");
        }
        // The one place that reports a queued command's outcome.
        if (e.typed)
            emit q->commandOutcome(e.id, sent ? Outcome::Sent : Outcome::GivenUp, reason);
        else
            emit q->CommandDone(e.housecode, e.devicecode, e.command, e.brightness, sent);
        if (epoch != iEpoch) break;  // an Init emptied the queue meanwhile
        CommandQueue[static_cast<size_t>(slot)] = std::move(e);  // write-backs land in the entry
        iCmdRead = (iCmdRead + 1) % kCmdSize;
        --iCmdCount;
        if (bNotAnswering) break;  // the rest is given up after the drain
    }
    bQueueBusy = false;
}

std::vector<QueuedCommand> pandrel::Engine::Private::TakeEntries() {
    std::vector<QueuedCommand> taken;
    for (int i = bQueueBusy ? 1 : 0; i < iCmdCount; ++i)
        taken.push_back(CommandQueue[static_cast<size_t>((iCmdRead + i) % kCmdSize)]);
    iCmdRead = iCmdWrite = iCmdCount = 0;
    ArmQueueTimer();
    return taken;
}

std::vector<quint64> pandrel::Engine::Private::TakeQueue() {
    std::vector<quint64> ids;
    for (const QueuedCommand& e : TakeEntries())
        if (e.typed) ids.push_back(e.id);
    return ids;
}

void pandrel::Engine::Private::ReportDropped(const std::vector<quint64>& ids,
                                             const QString& reason) {
    for (quint64 id : ids) emit q->commandOutcome(id, Outcome::Dropped, reason);
}
