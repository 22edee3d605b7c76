#pragma once
// Emulator of the two-way interface (4800 baud 8N1).
//
// Handshake for address, function, preset dim, extended and download frames:
// the computer writes the frame, the interface answers the checksum, the
// computer confirms with 0x00 and the interface answers kReady once the
// command went out on the powerline. Anything other than 0x00 while waiting
// for the confirmation starts a new frame (the computer retries).
//
// Timing choices: the ready byte follows the confirmation after
// setReadyDelayMs() logical milliseconds; with pacing it also waits for the
// powerline time of the command, taken as frame length x 2 byte times.
// Uploads and the power-fail request are polled every kPollIntervalMs and
// kPowerFailIntervalMs logical milliseconds. A frame left incomplete for
// kFrameTimeoutMs, or a checksum left unconfirmed for kAckTimeoutMs, is
// dropped (never sooner than a few hundred real milliseconds, however fast
// the time scale, so a slow computer is not cut off).
//
// Modules on the powerline: every address holds a plain one-way module unless
// setModuleKind() says otherwise. Two-way modules answer status requests as a
// real module would, both kinds both forms: the extended status request
// (EXTENDED CODE, command 0x37) with an extended reply (command 0x38, data byte
// level | 0x40 for an appliance | 0x80 with a load), and the standard STATUS
// REQUEST function with their address and STATUS ON or STATUS OFF. A reply
// starts 2 x kLineMessageMs logical milliseconds after the request was
// confirmed (the request's own powerline time plus the reply's) and is
// uploaded like any heard traffic (kPoll, the computer's kPollAnswer, the
// upload). A reply due while the interface is silent is not heard.
//
// Loss: setLossPercent() loses that share of the commands put on the
// powerline, drawn from a generator seeded by setLossSeed(): one draw per
// frame confirmed (address, function, preset dim, extended code) and one per
// module reply, so the same traffic with the same seed loses the same
// commands. The computer still gets its checksum and ready byte; a lost
// command changes no module and gets no answer. Status requests and replies
// are lost like anything else unless setStatusLoss(false).

#include "ptysim.h"

#include <QList>
#include <deque>
#include <optional>
#include <random>
#include <utility>

namespace sim {

class TwoWaySim : public PtySim {
  public:
    enum class Kind {
        Address,
        Function,
        PresetDim,
        Extended,
        Download,
        Clock,
        Ack,
        PollAnswer,
        StatusRequest,
        Unknown
    };
    struct Frame {
        qint64 tMs = 0;  // monotonicMs() when the transmission was complete
        QByteArray bytes;
        Kind kind = Kind::Unknown;
    };

    static constexpr uchar kAck = 0x00;
    static constexpr uchar kReady = 0x55;
    static constexpr uchar kPoll = 0x5A;
    static constexpr uchar kMacroReport = 0x5B;
    static constexpr uchar kPowerFail = 0xA5;
    static constexpr uchar kPollAnswer = 0xC3;
    static constexpr uchar kStatusRequest = 0x8B;
    static constexpr uchar kClockHeader = 0x9B;
    static constexpr uchar kDownloadHeader = 0xFB;
    static constexpr int kStatusLength = 14;
    static constexpr int kPollIntervalMs = 250;
    static constexpr int kPowerFailIntervalMs = 1000;
    static constexpr int kFrameTimeoutMs = 1000;
    static constexpr int kAckTimeoutMs = 2000;

    // Powerline time of one message: an address with its function, or one
    // extended message (which carries its own unit), at 60 Hz.
    static constexpr int kLineMessageMs = 830;

    TwoWaySim();
    ~TwoWaySim() override;

    // Modules.
    void setModuleKind(char house, int unit, ModuleKind kind);
    ModuleKind moduleKind(char house, int unit) const;
    // Somebody set the module at the wall: percent 0 off, 100 fully on (an
    // appliance is on for anything above 0). Nothing reaches the computer.
    void changeAtWall(char house, int unit, int percent);
    // A lamp's bulb present (true) or missing / burnt out (false).
    void setLoad(char house, int unit, bool connected);

    // Powerline loss (see above). percent is clamped to 0..100.
    void setLossPercent(int percent);
    int lossPercent() const;
    // Restarts the loss generator from seed (default seed 1).
    void setLossSeed(quint32 seed);
    void setStatusLoss(bool on);

    // What went over the powerline since start (or clearRecords()).
    struct LineStats {
        int commands = 0;     // frames confirmed by the computer and put on the line
        int lost = 0;         // of those, lost before any module heard them
        int replies = 0;      // module replies put on the line
        int repliesLost = 0;  // of those, never heard by the interface
        qint64 lineMs = 0;    // logical powerline time of commands and replies
    };
    LineStats lineStats() const;
    // Blocks until at least count replies were heard and queued for upload,
    // or realMs pass.
    bool waitForReplies(int count, int realMs) const;

    // Faults.
    // The next n handshake frames get a wrong checksum.
    void failChecksums(int n);
    // The next n handshake frames get kPoll instead of their checksum and are
    // dropped; after the computer's kPollAnswer the interface uploads the last
    // injected upload (or a lone A1 address when there was none).
    void pollInsteadOfChecksum(int n);
    // Logical milliseconds between the confirmation and the ready byte.
    void setReadyDelayMs(int ms);
    // Each complete frame from the computer also goes to the line hook as
    // "frame: 04 61", before the module line it causes.
    void setFrameEcho(bool on);

    // Injections of traffic the interface sends of its own accord. Each waits
    // until a frame handshake in progress is done.
    // Powerline traffic to upload: size byte, mask, data. kPoll repeats until
    // the computer answers kPollAnswer; then `extraPolls` more kPoll bytes
    // (as if they crossed the answer on the line) and the upload.
    void injectUpload(const QByteArray& uploadWithSizeAndMask, int extraPolls = 0);
    // kPowerFail, repeated until a clock frame arrives.
    void injectPowerFail();
    // Macro report: kMacroReport, b0, b1.
    void injectMacro(uchar b0, uchar b1);
    // (injectRaw() of the base writes bytes at once, whatever the state.)

    bool isPolling() const;         // an upload is waiting for the computer
    bool powerFailPending() const;  // still asking for the clock

    // Records, oldest first.
    QList<Frame> frames() const;
    QList<Frame> framedOnly() const;  // address, function, preset, extended, download
    QList<Frame> clockFrames() const;
    QList<Frame> statusRequests() const;
    QByteArray received() const;  // every byte from the computer
    void clearRecords();
    // Hands out the records so far and forgets them in one step, so that a
    // long run can check them piece by piece without losing any in between.
    struct Records {
        QList<Frame> frames;
        QByteArray received;
    };
    Records takeRecords();
    // Blocks until at least `count` frames are recorded or realMs pass.
    bool waitForFrames(int count, int realMs) const;

    // The reply a status request gets now (deterministic: derived from the
    // last clock frame and the modules of house A).
    QByteArray statusReply() const;

    // Checksum the interface answers for a frame.
    static uchar checksum(const QByteArray& frame);
    static QString kindName(Kind kind);
    // Builds an upload (size, mask, data) from text such as "A1 A ON",
    // "A1 A2 A DIM 50" (percent), "A ALL UNITS OFF", "A1 A STATUS ON", and
    // an extended message with its unit, command and data byte in hex,
    // "A1 EXT 38 BF". nullopt and *error on bad input.
    static std::optional<QByteArray> buildUpload(const QString& text, QString* error = nullptr);

  protected:
    void handleByte(uchar byte) override;
    void service(SimClock::time_point now) override;
    SimClock::time_point nextDeadline() const override;
    void resetProtocol() override;

  private:
    enum class State { Idle, Receiving, AwaitAck, Transmitting };
    struct Upload {
        QByteArray bytes;
        int extraPolls = 0;
    };

    void parse(uchar byte);
    void startFrame(uchar byte);
    void frameComplete();
    void acknowledged();
    void execute(const QByteArray& frame);
    void record(const QByteArray& bytes, Kind kind);
    void sendUpload();
    bool lineLoses(bool statusTraffic);
    void answerStandard(char house);
    void answerExtended(char house, int unit);
    void scheduleReply(const QByteArray& upload, const QString& text);
    QByteArray statusReplyLocked() const;
    static Kind classify(const QByteArray& frame);

    State m_state = State::Idle;
    bool m_frameEcho = false;
    QByteArray m_frame;  // frame being received, or awaiting its confirmation
    int m_expect = 0;
    SimClock::time_point m_stateDeadline{};  // frame/ack time-out, or ready time
    QByteArray m_backlog;                    // bytes that arrived while a command was going out

    int m_failChecksums = 0;
    int m_pollInstead = 0;
    int m_readyDelayMs = 0;

    struct Reply {
        SimClock::time_point due;
        QByteArray upload;
        QString text;
        bool lost = false;
    };
    std::deque<Reply> m_replies;  // in order of their due times
    int m_repliesHeard = 0;
    int m_lossPercent = 0;
    bool m_statusLoss = true;
    std::mt19937 m_lossRandom{1};
    LineStats m_stats;

    std::deque<Upload> m_uploads;
    QByteArray m_lastUpload;
    int m_pollsSent = 0;
    SimClock::time_point m_nextPoll{};
    bool m_powerFail = false;
    SimClock::time_point m_nextPowerFail{};
    std::deque<std::pair<uchar, uchar>> m_macros;
    QByteArray m_lastClock;

    QList<Frame> m_frames;
    QByteArray m_received;
};

}  // namespace sim
