#pragma once
// Emulator of the CP290 interface (600 baud 8N1).
//
// Every frame from the computer starts with a sync run of sixteen 0xFF, then a
// command byte: 0x04 status request (17 bytes; answered with a 12-byte status
// reply), 0x02 set clock (minute, hour, day bit, checksum; 21 bytes; no
// reply), 0x01 direct command (function, house, units 9-16, units 1-8,
// checksum; 22 bytes; answered with one byte). Anything outside a frame is
// recorded as Unknown and skipped until the next sync run.
//
// The clock does not run by itself: status replies report the last clock set,
// which keeps tests deterministic.

#include "ptysim.h"

#include <QList>

namespace sim {

class Cp290Sim : public PtySim {
  public:
    enum class Kind { StatusRequest, SetClock, Direct, Unknown };
    struct Frame {
        qint64 tMs = 0;    // monotonicMs() when the frame was complete
        QByteArray bytes;  // including the sync run
        Kind kind = Kind::Unknown;
    };

    static constexpr int kSyncLength = 16;
    static constexpr uchar kCmdDirect = 0x01;
    static constexpr uchar kCmdSetClock = 0x02;
    static constexpr uchar kCmdStatus = 0x04;
    static constexpr int kStatusLength = 12;
    // Bytes outside a frame are reported as Unknown after this long without
    // more input; an incomplete frame is given up after kFrameTimeoutMs.
    static constexpr int kGarbageTimeoutMs = 200;
    static constexpr int kFrameTimeoutMs = 1000;

    Cp290Sim();
    ~Cp290Sim() override;

    void setClock(int minute, int hour, uchar dayBit);
    int minute() const;
    int hour() const;
    uchar dayBit() const;
    // House byte reported as base house (4-bit code << 4; A = 0x60).
    void setBaseHouse(uchar houseByte);
    uchar baseHouse() const;
    // Keep the clock when the computer sets it (an interface that keeps
    // reporting weekday 0, say).
    void setIgnoreClockSet(bool on);
    // Replaces the status reply wholesale (any length); empty restores the
    // computed 12-byte reply.
    void setStatusReply(const QByteArray& reply);
    // Cuts or pads (with 0x00) the computed reply to n bytes; 0 restores 12.
    void setStatusReplyLength(int n);
    // Answer to a direct command (default one byte 0x00).
    void setDirectReply(const QByteArray& reply);
    // Extra logical delay before any reply.
    void setReplyDelayMs(int ms);

    // What a status request gets now.
    QByteArray statusReply() const;

    QList<Frame> frames() const;
    QByteArray received() const;
    void clearRecords();
    bool waitForFrames(int count, int realMs) const;

    // Sum of the data bytes mod 256.
    static uchar checksum(const QByteArray& data);
    // Dim code 0 (full) .. 15 (dimmest) as percent.
    static int dimPercent(int code);
    static QString kindName(Kind kind);

  protected:
    void handleByte(uchar byte) override;
    void service(SimClock::time_point now) override;
    SimClock::time_point nextDeadline() const override;
    void resetProtocol() override;

  private:
    void frameComplete();
    void flushGarbage(qsizetype keep);
    void execute(const QByteArray& frame);
    void record(const QByteArray& bytes, Kind kind);
    QByteArray statusReplyLocked() const;

    int m_minute = 0;
    int m_hour = 0;
    uchar m_dayBit = 0;
    uchar m_baseHouse = 0x60;
    bool m_ignoreClockSet = false;
    QByteArray m_statusOverride;
    int m_statusLength = kStatusLength;
    QByteArray m_directReply = QByteArray(1, '\0');
    int m_replyDelayMs = 0;

    QByteArray m_hunt;   // bytes outside a frame, possibly ending in a sync run
    int m_ffRun = 0;     // length of the 0xFF run at the end of m_hunt
    QByteArray m_frame;  // frame being received (sync run included)
    int m_bodyLeft = 0;  // bytes still missing from m_frame
    SimClock::time_point m_deadline{};

    QList<Frame> m_frames;
    QByteArray m_received;
};

}  // namespace sim
