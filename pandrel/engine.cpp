// The engine: properties, Init, the port notification and the receive ring.
#include "engine.h"

#include "engine_p.h"
#include "timebase.h"
#include "x10codes.h"

namespace {
constexpr qint64 kListenMs = 2000;        // Init's listen
constexpr qint64 kProbeSettleMs = 2000;   // after the status request
constexpr double kProbeReplySeconds = 2;  // then WaitForBytes(2, 14)
}  // namespace

namespace pandrel {

Engine::Private::Private(Engine* owner) : q(owner) {}

Engine::Engine(QObject* parent) : QObject(parent), d(new Private(this)) {
    // The serial component, created with the line settings of the interface.
    d->MSComm1 = new MSComm(this);
    d->MSComm1->setObjectName(QStringLiteral("MSComm1"));
    d->MSComm1->setSettings(QStringLiteral("4800,N,8,1"));
    connect(d->MSComm1, &MSComm::OnComm, this, [this] { d->OnComm(); });

    // Timer1: the time-out of GetEvent. Single-shot: a tick only has to
    // mark the time-out (or wake a waiting GetEvent); a 1 ms timer left
    // repeating would wake the process a thousand times a second.
    d->Timer1 = new QTimer(this);
    d->Timer1->setObjectName(QStringLiteral("Timer1"));
    d->Timer1->setSingleShot(true);
    d->Timer1->setTimerType(Qt::PreciseTimer);
    connect(d->Timer1, &QTimer::timeout, this, [this] { d->Timer1_Timer(); });

    // Timer2: 250 ms; drains the command queue. It runs only while commands
    // wait for it (see ArmQueueTimer): an idle line arms no timer, so an idle
    // program is not woken four times a second for nothing.
    d->Timer2 = new QTimer(this);
    d->Timer2->setObjectName(QStringLiteral("Timer2"));
    // Precise: a coarse timer may run up to 5 % late, and a queued command
    // must be on the line within one period of its Exec.
    d->Timer2->setTimerType(Qt::PreciseTimer);
    d->Timer2->setInterval(static_cast<int>(Private::kQueueTickMs));
    connect(d->Timer2, &QTimer::timeout, this, [this] { d->Timer2_Timer(); });
}

Engine::~Engine() {
    ResetCM();
    d->Timer1->stop();
    d->Timer2->stop();
    delete d;
    d = nullptr;
}

int16_t Engine::comport() const {
    return d->comport;
}
void Engine::setComport(int16_t port) {
    d->comport = port;
}
QString Engine::EventName() const {
    return d->EventName;
}
void Engine::setEventName(const QString& name) {
    d->EventName = name;
}
int16_t Engine::SendRetryCount() const {
    return d->SendRetryCount;
}
void Engine::setSendRetryCount(int16_t count) {
    d->SendRetryCount = count;
}

int16_t Engine::Init() {
    return d->OpenInterface();
}

// ---------------------------------------------------------------------------
// Init

int16_t Engine::Private::OpenInterface() {
    const uint32_t epoch = ++iEpoch;
    ExchangeScope exchange(this);
    bInitializing = true;
    if (EventName.isEmpty()) EventName = QString::fromLatin1(Engine::DefaultEventName);
    // Create or open the named event (manual reset, not signalled).
    hEvent.open(EventName);
    // The shared object outlives processes: a "set" left by an earlier run
    // would wake every waiter at once. The event says whether this control
    // has an event queued.
    if (iEvtCount > 0)
        hEvent.set();
    else
        hEvent.reset();
    // Commands still queued are dropped; with none waiting Timer2 stops.
    ReportDropped(TakeQueue(), QStringLiteral("dropped: the port was opened again"));
    // (The code tables are constants of x10codes.)

    // An error of the serial component ends Init with its number.
    auto fail = [&](int err) -> int16_t {
        hEvent.close();
        bReady = false;
        iLastInitStatus = static_cast<int16_t>(err);
        return iLastInitStatus;
    };
    // Having heard an interface counts for the port it was heard on, and only
    // while that port stays open: a new Init looks for it afresh.
    bHeard = false;
    if (int err = MSComm1->setCommPort(comport)) return fail(err);
    MSComm1->setRThreshold(1);
    MSComm1->setInputLen(0);
    if (int err = MSComm1->setPortOpen(true)) return fail(err);

    iMonitoredHouse = 0;
    bSending = bUploading = bClosing = false;
    bAwaitingReply = false;
    bSilentStep = bNotAnswering = false;
    PendingInput.clear();

    // Listen: polls, macro reports and clock requests are served at once.
    Listen(kListenMs);
    if (epoch != iEpoch) return iLastInitStatus;  // an Init ran inside the listen

    // Nothing heard: probe with the status request, twice at most.
    if (!bHeard) {
        bool found = ProbeInterface();
        if (epoch != iEpoch) return iLastInitStatus;
        if (!found) found = ProbeInterface();
        if (epoch != iEpoch) return iLastInitStatus;
        if (!found) {
            MSComm1->setPortOpen(false);
            bReady = false;
            iLastInitStatus = 1;
            return 1;
        }
    }
    ClearEventMembers();
    bInitializing = false;
    bReady = true;
    iLastInitStatus = 0;
    return 0;
}

void Engine::Private::Listen(qint64 logicalMs) {
    platform::waitFor(
        [this] {
            PumpInput();
            return false;
        },
        logicalMs);
}

bool Engine::Private::ProbeInterface() {
    const bool wasAwaiting = bAwaitingReply;
    bAwaitingReply = true;  // the status reply goes to the probe only
    Output(QByteArray(1, static_cast<char>(x10::kStatusRequest)));
    Listen(kProbeSettleMs);
    const bool got = WaitForBytes(kProbeReplySeconds, x10::kStatusReplyLength);
    bAwaitingReply = wasAwaiting;
    if (got) {
        ClearReceiveBuffer();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Port notification and receive ring

void Engine::Private::OnComm() {
    if (bClosing) return;
    if (MSComm1->CommEvent() == MSComm::EvDeviceLost && !MSComm1->PortOpen()) {
        DeviceLost();
        return;
    }
    // Read everything pending once. Input may return bytes that arrived after
    // the count was taken; they are kept too, not cut off at the count.
    if (MSComm1->InBufferCount() > 0) PendingInput.append(MSComm1->Input());
    // Store and hand on, one byte at a time, in order.
    PumpInput();
}

void Engine::Private::DeviceLost() {
    // Whatever was in flight is gone with the device. An exchange in progress
    // sees the epoch change and stops without touching the queue indices; an
    // Init in progress returns "not found".
    ++iEpoch;
    iLastInitStatus = 1;
    bHeard = false;
    if (bInitializing) bReady = false;
    const std::vector<quint64> dropped = TakeQueue();
    PendingInput.clear();
    ClearReceiveBuffer();
    bSending = bUploading = bAwaitingReply = false;
    bSilentStep = bNotAnswering = false;
    hEvent.close();
    emit q->PortLost(MSComm1->lastErrorText());
    ReportDropped(dropped, QStringLiteral("dropped: the port was lost"));
}

void Engine::Private::PumpInput() {
    // Each byte leaves PendingInput before it is handled, so a handler that
    // waits (and so pumps again) continues with the next byte: every byte is
    // stored exactly once and in order, however deep the nesting.
    while (!PendingInput.isEmpty()) {
        if (bClosing) {
            PendingInput.clear();
            return;
        }
        const auto b = static_cast<uint8_t>(PendingInput.front());
        PendingInput.remove(0, 1);
        if (iRxCount >= kRxSize) continue;  // ring full: dropped, not handled
        StoreByte(b);
        if (!bSending && !bUploading && !bAwaitingReply) {
            // Nobody waits on the ring: this byte, and whatever an exchange
            // that gave up left before it, is consumed here. Unsolicited bytes
            // would otherwise pile up until the ring is full and a poll that
            // follows is dropped unanswered. The reader a poll or macro
            // report starts sees exactly the bytes that follow it.
            ClearReceiveBuffer();
            HandleInterfaceByte(b);
        }
    }
}

void Engine::Private::StoreByte(uint8_t b) {
    RxRing[static_cast<size_t>(iRxWrite)] = b;
    iRxWrite = (iRxWrite + 1) % kRxSize;
    ++iRxCount;
}

uint8_t Engine::Private::ReadReceivedByte() {
    if (iRxCount <= 0) return 0;
    const uint8_t b = RxRing[static_cast<size_t>(iRxRead)];
    iRxRead = (iRxRead + 1) % kRxSize;
    --iRxCount;
    return b;
}

void Engine::Private::ClearReceiveBuffer() {
    iRxCount = 0;
    iRxWrite = 0;
    iRxRead = 0;
}

bool Engine::Private::WaitForBytes(double seconds, int count) {
    if (bClosing) return false;
    const qint64 ms = static_cast<qint64>(seconds * 1000.0);
    const uint32_t epoch = iEpoch;
    bool reached = false;
    platform::waitFor(
        [&] {
            if (bClosing || epoch != iEpoch) return true;  // leave the loop
            PumpInput();
            reached = iRxCount >= count;
            // With the port closed (never opened, or the device went away)
            // and nothing left to take from it, no byte can come: there is
            // nothing to wait for.
            return reached || (!MSComm1->PortOpen() && PendingInput.isEmpty() &&
                               MSComm1->InBufferCount() == 0);
        },
        ms);
    return reached && !bClosing && epoch == iEpoch;
}

void Engine::Private::Output(const QByteArray& bytes) {
    if (MSComm1->PortOpen()) MSComm1->Output(bytes);
}

}  // namespace pandrel
