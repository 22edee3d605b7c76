#pragma once
// Private state and operations of the engine.
// Internal to the library; tests reach it through controlcmProbe.

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <vector>

#include "engine.h"
#include "mscomm.h"
#include "namedevent.h"

// One received event, waiting for GetEvent.
struct QueuedEvent {
    QString housecode;
    QString devices;
    int16_t command = 0;
    // The event's extra text as a number. A macro report keeps its two bytes
    // as one unsigned 16-bit number (0x01 0x2F -> 303), hence 32 bits here.
    int32_t extra = 0;
};

// One command for the line, from Exec, ExecWait or send. Exec's texts are
// read once, when the command is taken: the send path works on numbers.
struct QueuedCommand {
    // Exec's texts, for CommandDone.
    QString housecode;
    QString devicecode;
    int16_t command = 0;
    int16_t brightness = 0;
    int16_t data1 = 0;
    int16_t data2 = 0;
    // The house of the function frame, 1 ... 16; 0: nothing to send.
    int house = 0;
    // The units to address, in order (STATUS REQUEST: at most one).
    std::vector<::x10::Address> addresses;
    // From send(): its id goes to commandOutcome instead of CommandDone.
    bool typed = false;
    quint64 id = 0;
};

namespace pandrel {

struct Engine::Private {
    explicit Private(Engine* owner);

    Engine* q;

    // Components.
    MSComm* MSComm1 = nullptr;
    QTimer* Timer1 = nullptr;  // time-out of GetEvent
    QTimer* Timer2 = nullptr;  // drains the command queue; runs only while commands wait
    static constexpr qint64 kQueueTickMs = 250;

    // Properties.
    int16_t comport = 2;
    QString EventName = QString::fromLatin1(Engine::DefaultEventName);
    int16_t SendRetryCount = 4;

    // Flags.
    bool bReady = false;
    bool bInitializing = false;
    bool bClosing = false;
    bool bSending = false;
    bool bUploading = false;
    bool bHeard = false;
    bool bQueueBusy = false;
    bool bDrainPosted = false;  // a drain is queued for the next turn of the event loop

    platform::NamedEvent hEvent;
    int16_t iMonitoredHouse = 0;

    // Receive ring.
    static constexpr int kRxSize = 100;
    std::array<uint8_t, kRxSize> RxRing{};
    int iRxWrite = 0;
    int iRxRead = 0;
    int iRxCount = 0;

    // Command queue, filled by Exec and drained by Timer2.
    static constexpr int kCmdSize = 50;
    std::array<QueuedCommand, kCmdSize> CommandQueue{};
    int iCmdRead = 0;
    int iCmdWrite = 0;
    int iCmdCount = 0;

    // Event members: the arguments of X10Event, kept between events.
    QString sDevices;
    QString sHouse;
    int16_t iCommand = 0;
    QString sExtra;
    QString sData2;
    QString sLastDevices;

    // Received events for GetEvent; a full queue drops its oldest.
    static constexpr int kEvtSize = 50;
    std::array<QueuedEvent, kEvtSize> EventQueue{};
    int iEvtRead = 0;
    int iEvtWrite = 0;
    int iEvtCount = 0;
    bool bTimerFired = false;

    // --- Serialisation of exchanges ---
    // Depth of exchanges in progress on the line: Init from opening the port
    // to its result, ExecWait, a Timer2 drain, an upload until its bytes are
    // read, a macro report or clock answer until its reply is read. A Timer2
    // tick that finds one leaves the queue for the next tick; a nested
    // ExecWait is refused (result 1, nothing sent).
    int iExchange = 0;
    // True while an exchange waits for a reply of its own that is not guarded
    // by bSending or bUploading (the status probe, a macro report's two
    // bytes, the clock answer): such bytes go to the waiting reader only.
    bool bAwaitingReply = false;
    // Incremented by every Init: an exchange that finds it changed after a
    // wait (an Init ran nested inside it) stops without touching the line,
    // the ring or the queue indices.
    uint32_t iEpoch = 0;
    int16_t iLastInitStatus = 1;
    // Bytes taken from the port but not yet stored in the ring. The port
    // notification stores and hands on one byte at a time; a handler that
    // waits (an upload after 0x5A) takes the bytes that follow from here, in
    // order, through WaitForBytes.
    QByteArray PendingInput;

    // --- Port, receive ring, Init ---
    void OnComm();
    void DeviceLost();
    void PumpInput();
    bool WaitForBytes(double seconds, int count);
    uint8_t ReadReceivedByte();
    void ClearReceiveBuffer();
    void StoreByte(uint8_t b);
    int16_t OpenInterface();
    bool ProbeInterface();
    void Listen(qint64 logicalMs);

    // --- Reception ---
    void HandleInterfaceByte(uint8_t b);
    void ReadUpload();
    void DecodeUpload(const uint8_t* buf, int n);
    void ReadMacroReport();
    void QueueEvent(const QString& housecode, const QString& devices, int16_t command,
                    int32_t extra);
    void SignalEvent();
    QString GetEvent(int32_t& timeout);
    void Timer1_Timer();
    void ClearEventMembers();
    // The addresses heard since the last function, for the typed event.
    std::vector<::x10::Address> HeardAddresses;

    // --- Maintenance ---
    void ResetCM();
    QVariant ClearMem();
    void SendClock();

    // --- Send path ---
    static uint8_t FrameChecksum(const uint8_t* frame, int length);
    bool SendFrame(const uint8_t* frame, int length);
    bool SendFrame(const QByteArray& frame);
    // Exec's arguments as a command for the line.
    static QueuedCommand FromTexts(const QString& housecode, const QString& devicecode,
                                   int16_t command, int16_t brightness, int16_t data1,
                                   int16_t data2);
    // 0 when sent (or nothing to send), 1 when every attempt failed; the
    // entry takes the write-backs (brightness clamped, a preset dim's
    // function).
    int16_t SendCommand(QueuedCommand& e);
    bool SendAttempt(QueuedCommand& e);
    // Whether the interface answers a status request within a short wait
    // (asked after a handshake step that drew no byte at all).
    bool StillAnswers();
    // Gives up every queued command because the interface stopped answering:
    // empties the queue (the command a drain holds stays with the drain),
    // raises stoppedAnswering and reports each one dropped. Called with no
    // exchange in progress.
    void ReportNotAnswering();
    bool SendAddressPhase(const QueuedCommand& e);
    // Takes a command into the queue; false when it is not taken (not
    // ready, full), with why.
    bool Enqueue(QueuedCommand e, QString* why);
    // Empties the queue (Init, a lost port) and returns the ids of the typed
    // commands it held; the one a drain is sending stays with the drain.
    std::vector<quint64> TakeQueue();
    // Empties the queue and returns its entries (but the one a drain holds).
    std::vector<QueuedCommand> TakeEntries();
    void ReportDropped(const std::vector<quint64>& ids, const QString& reason);
    void Timer2_Timer();
    void DrainQueue();
    // Runs Timer2 while queued commands wait for a tick and stops it when
    // none do. A running timer is left alone, so its ticks keep their pace.
    void ArmQueueTimer();

    // Silence: a handshake step of the attempt in progress drew no byte at
    // all within its limit (the port still open, nothing cut it short).
    bool bSilentStep = false;
    // A send found the interface silent and not answering a status request
    // either; the queue is given up once the exchange is over.
    bool bNotAnswering = false;

    // Writes bytes to the port (nothing when it is closed).
    void Output(const QByteArray& bytes);

    // Marks an exchange in progress for its scope.
    struct ExchangeScope {
        explicit ExchangeScope(Private* p) : d(p) { ++d->iExchange; }
        ~ExchangeScope() {
            if (d->iExchange > 0) --d->iExchange;
        }
        ExchangeScope(const ExchangeScope&) = delete;
        ExchangeScope& operator=(const ExchangeScope&) = delete;
        Private* d;
    };
};

}  // namespace pandrel
