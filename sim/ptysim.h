#pragma once
// Base of the interface emulators: a pseudo-terminal whose slave side the code
// under test opens as if it were a serial port, and one I/O thread that reads
// the master, feeds the bytes to the protocol, runs its timers and writes the
// replies. The thread sleeps in ppoll() on the master and an eventfd, so the
// emulator answers even while the code under test blocks its own thread.
//
// Time: a time scale s (logical seconds per real second) divides every delay
// of the emulator. Pacing simulates the line speed: each byte takes 10 bit
// times in either direction; without pacing bytes pass instantly.

#include "moduletable.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

using SimClock = std::chrono::steady_clock;

// Milliseconds of the monotonic clock (CLOCK_MONOTONIC, the same reference as
// QElapsedTimer::msecsSinceReference()), used for all record time stamps.
qint64 monotonicMs();

class PtySim {
  public:
    virtual ~PtySim();
    PtySim(const PtySim&) = delete;
    PtySim& operator=(const PtySim&) = delete;

    // Opens a new pseudo-terminal and starts the I/O thread. After unplug()
    // a second start() creates a fresh device (with a new path).
    bool start();
    bool isRunning() const;
    // Slave path (/dev/pts/N) for the code under test; empty before start().
    QString devicePath() const;
    QString errorString() const;
    // Closes the master and the kept slave: the device vanishes, reads on the
    // client side return 0 or fail with EIO. Records stay readable.
    void unplug();

    void setTimeScale(double scale);
    double timeScale() const;
    void setPacing(bool on);
    // A silent interface records what it receives but answers nothing and
    // sends nothing of its own.
    void setSilent(bool on);
    // Silent for logicalMs logical milliseconds, then answering again by
    // itself; setSilent() ends or replaces the timed form.
    void setSilentForMs(int logicalMs);
    bool isSilent() const;
    // Writes bytes to the computer as they are, whatever the protocol state
    // (dropped while silent).
    void injectRaw(const QByteArray& bytes);

    // Lines of the module model ("A5 ON"), oldest first.
    QStringList moduleLines() const;
    void clearModuleLines();
    bool waitForModuleLines(int count, int realMs) const;
    ModuleTable::State moduleState(char house, int unit) const;
    // Current state of every known module, one line each ("A5 ON 100%").
    QStringList moduleTable() const;
    // Called on the I/O thread (without the internal lock held) for each new
    // module line, before the interface's answer to that command is written.
    // Must not call unplug() or the destructor.
    void setLineHook(std::function<void(const QString&)> hook);

  protected:
    explicit PtySim(int baud);
    // Stops the I/O thread; derived destructors call it before their members go.
    void shutdown();

    // Protocol hooks, all called on the I/O thread with m_mutex held.
    // One byte from the computer, at the moment it has fully arrived on the line.
    virtual void handleByte(uchar byte) = 0;
    // Called on every pass of the loop; runs whatever is due at `now`.
    virtual void service(SimClock::time_point now) = 0;
    // Earliest moment service() has something to do (time_point::max() when idle).
    virtual SimClock::time_point nextDeadline() const = 0;
    // Forgets a half-received frame or handshake; called by start().
    virtual void resetProtocol() {}

    // Helpers; call with m_mutex held.
    // Queues bytes for the computer, not before `earliest` and in order after
    // everything queued before. Dropped when silent.
    void send(const QByteArray& bytes, SimClock::time_point earliest);
    void send(const QByteArray& bytes) { send(bytes, SimClock::now()); }
    void send(uchar byte) { send(QByteArray(1, char(byte))); }
    // A logical delay in milliseconds as a real duration.
    SimClock::duration logical(double ms) const;
    // Like logical(), but never shorter than floorMs real milliseconds: for
    // tolerance time-outs that must not fire while the computer is merely slow.
    SimClock::duration tolerance(double ms, int floorMs) const;
    // Line time of one byte (zero without pacing).
    SimClock::duration byteTime() const;
    bool outputPending() const { return !m_out.empty(); }
    void emitLines(const QStringList& lines);
    // Hands a line to the line hook only (not a module line, not waited on).
    void emitNote(const QString& line);
    // Wakes the I/O thread so it re-reads state changed from another thread.
    void wake();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;  // notified on every new record or line
    ModuleTable m_modules;
    bool m_silent = false;
    bool m_pacing = false;

  private:
    struct Timed {
        SimClock::time_point due;
        uchar byte;
    };
    void run();
    void readMaster(SimClock::time_point now);
    void writeDue(SimClock::time_point now);
    void closeFds();

    const int m_baud;
    double m_scale = 1.0;
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees a hang-up
    int m_wakeFd = -1;
    QString m_path;
    QString m_error;
    bool m_stopping = false;
    bool m_running = false;
    bool m_outBlocked = false;
    SimClock::time_point m_inFree{};
    SimClock::time_point m_outFree{};
    SimClock::time_point m_silentUntil = SimClock::time_point::max();
    std::deque<Timed> m_in;
    std::deque<Timed> m_out;
    QStringList m_lines;
    QStringList m_hookQueue;
    std::function<void(const QString&)> m_hook;
    std::thread m_thread;
};

// Copies handed out to other threads get buffers of their own, so that the
// I/O thread appending to the original never writes memory that a reader's
// implicitly shared copy still uses.
template <typename List>
List detachedCopy(const List& list) {
    return List(list.cbegin(), list.cend());
}
inline QByteArray detachedCopy(const QByteArray& bytes) {
    return QByteArray(bytes.constData(), bytes.size());
}

// Hex dump "04 66" for diagnostics and tests.
QString hex(const QByteArray& bytes);

}  // namespace sim
