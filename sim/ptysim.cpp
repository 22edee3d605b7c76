#include "ptysim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sim {

qint64 monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

namespace {

speed_t speedFor(int baud) {
    switch (baud) {
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        default:
            return B9600;
    }
}

QString errnoText(const char* what) {
    return QString::fromLatin1("%1: %2").arg(QLatin1String(what),
                                             QString::fromLocal8Bit(std::strerror(errno)));
}

}  // namespace

PtySim::PtySim(int baud) : m_baud(baud) {}

PtySim::~PtySim() {
    shutdown();
    closeFds();
}

bool PtySim::start() {
    std::lock_guard lk(m_mutex);
    if (m_thread.joinable()) return true;
    closeFds();

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        m_error = errnoText("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        m_error = errnoText("pty setup");
        ::close(master);
        return false;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        m_error = errnoText("open slave");
        ::close(master);
        return false;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        cfsetispeed(&tio, speedFor(m_baud));
        cfsetospeed(&tio, speedFor(m_baud));
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        m_error = errnoText("eventfd");
        ::close(slave);
        ::close(master);
        return false;
    }

    m_master = master;
    m_slave = slave;
    m_wakeFd = wakeFd;
    m_path = QString::fromLocal8Bit(name);
    m_error.clear();
    m_stopping = false;
    m_outBlocked = false;
    m_in.clear();
    m_out.clear();
    resetProtocol();
    m_running = true;
    m_thread = std::thread([this] { run(); });
    return true;
}

bool PtySim::isRunning() const {
    std::lock_guard lk(m_mutex);
    return m_running;
}

QString PtySim::devicePath() const {
    std::lock_guard lk(m_mutex);
    return m_path;
}

QString PtySim::errorString() const {
    std::lock_guard lk(m_mutex);
    return m_error;
}

void PtySim::shutdown() {
    {
        std::lock_guard lk(m_mutex);
        m_stopping = true;
        m_running = false;
        wake();
    }
    if (m_thread.joinable()) m_thread.join();
}

void PtySim::unplug() {
    shutdown();
    std::lock_guard lk(m_mutex);
    closeFds();
}

void PtySim::closeFds() {
    for (int* fd : {&m_master, &m_slave, &m_wakeFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    m_in.clear();
    m_out.clear();
}

void PtySim::setTimeScale(double scale) {
    std::lock_guard lk(m_mutex);
    m_scale = scale > 0 ? scale : 1.0;
    wake();
}

double PtySim::timeScale() const {
    std::lock_guard lk(m_mutex);
    return m_scale;
}

void PtySim::setPacing(bool on) {
    std::lock_guard lk(m_mutex);
    m_pacing = on;
    wake();
}

void PtySim::setSilent(bool on) {
    std::lock_guard lk(m_mutex);
    m_silent = on;
    m_silentUntil = SimClock::time_point::max();
    wake();
}

void PtySim::setSilentForMs(int logicalMs) {
    std::lock_guard lk(m_mutex);
    m_silent = true;
    m_silentUntil = SimClock::now() + logical(std::max(0, logicalMs));
    wake();
}

void PtySim::injectRaw(const QByteArray& bytes) {
    std::lock_guard lk(m_mutex);
    send(bytes);
    wake();
}

bool PtySim::isSilent() const {
    std::lock_guard lk(m_mutex);
    return m_silent;
}

QStringList PtySim::moduleLines() const {
    std::lock_guard lk(m_mutex);
    return detachedCopy(m_lines);
}

void PtySim::clearModuleLines() {
    std::lock_guard lk(m_mutex);
    m_lines.clear();
}

bool PtySim::waitForModuleLines(int count, int realMs) const {
    std::unique_lock lk(m_mutex);
    return m_cv.wait_for(lk, std::chrono::milliseconds(realMs),
                         [&] { return m_lines.size() >= count; });
}

ModuleTable::State PtySim::moduleState(char house, int unit) const {
    std::lock_guard lk(m_mutex);
    return m_modules.state(house, unit);
}

QStringList PtySim::moduleTable() const {
    std::lock_guard lk(m_mutex);
    return m_modules.table();
}

void PtySim::setLineHook(std::function<void(const QString&)> hook) {
    std::lock_guard lk(m_mutex);
    m_hook = std::move(hook);
}

void PtySim::send(const QByteArray& bytes, SimClock::time_point earliest) {
    if (m_silent || m_master < 0) return;
    SimClock::time_point t = earliest;
    if (!m_out.empty()) t = std::max(t, m_out.back().due);
    for (char c : bytes) {
        if (m_pacing) {
            t = std::max(t, m_outFree) + byteTime();
            m_outFree = t;
        }
        m_out.push_back({t, uchar(c)});
    }
}

SimClock::duration PtySim::logical(double ms) const {
    return std::chrono::duration_cast<SimClock::duration>(
        std::chrono::duration<double, std::milli>(ms / m_scale));
}

SimClock::duration PtySim::tolerance(double ms, int floorMs) const {
    return std::max<SimClock::duration>(logical(ms), std::chrono::milliseconds(floorMs));
}

SimClock::duration PtySim::byteTime() const {
    return m_pacing ? logical(10000.0 / m_baud) : SimClock::duration::zero();
}

void PtySim::emitLines(const QStringList& lines) {
    if (lines.isEmpty()) return;
    m_lines += lines;
    if (m_hook) m_hookQueue += lines;
    m_cv.notify_all();
}

void PtySim::emitNote(const QString& line) {
    if (m_hook) m_hookQueue += line;
}

void PtySim::wake() {
    if (m_wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void PtySim::readMaster(SimClock::time_point now) {
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            // With pacing a byte is only complete one byte time after the line
            // became free for it; without, it is there at once.
            SimClock::time_point due = now;
            if (m_pacing) {
                due = std::max(now, m_inFree) + byteTime();
                m_inFree = due;
            }
            m_in.push_back({due, uchar(buf[i])});
        }
        if (n < ssize_t(sizeof buf)) return;
    }
}

void PtySim::writeDue(SimClock::time_point now) {
    while (!m_out.empty() && !m_outBlocked) {
        QByteArray chunk;
        for (const Timed& t : m_out) {
            if (t.due > now) break;
            chunk.append(char(t.byte));
        }
        if (chunk.isEmpty()) return;
        const ssize_t n = ::write(m_master, chunk.constData(), size_t(chunk.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_outBlocked = true;  // the client is not reading; wait for POLLOUT
            } else {
                m_out.clear();
            }
            return;
        }
        m_out.erase(m_out.begin(), m_out.begin() + n);
    }
}

void PtySim::run() {
    std::unique_lock lk(m_mutex);
    SimClock::time_point masterQuietUntil{};
    while (!m_stopping) {
        const SimClock::time_point now = SimClock::now();
        if (m_silent && now >= m_silentUntil) {
            m_silent = false;
            m_silentUntil = SimClock::time_point::max();
        }
        while (!m_in.empty() && m_in.front().due <= now) {
            const uchar b = m_in.front().byte;
            m_in.pop_front();
            handleByte(b);
        }
        service(now);
        // Module lines go to the hook before the answers that follow them are
        // written, so a listener has seen the line once the computer has its reply.
        if (!m_hookQueue.isEmpty()) {
            const QStringList lines = std::move(m_hookQueue);
            m_hookQueue.clear();
            const auto hook = m_hook;
            lk.unlock();
            if (hook)
                for (const QString& l : lines) hook(l);
            lk.lock();
            if (m_stopping) break;
        }
        writeDue(SimClock::now());

        SimClock::time_point deadline = nextDeadline();
        if (m_silent) deadline = std::min(deadline, m_silentUntil);
        if (!m_in.empty()) deadline = std::min(deadline, m_in.front().due);
        if (!m_out.empty() && !m_outBlocked) deadline = std::min(deadline, m_out.front().due);
        const bool masterQuiet = SimClock::now() < masterQuietUntil;
        if (masterQuiet) deadline = std::min(deadline, masterQuietUntil);

        pollfd fds[2] = {
            {m_wakeFd, POLLIN, 0},
            {masterQuiet ? -1 : m_master, short(POLLIN | (m_outBlocked ? POLLOUT : 0)), 0}};
        timespec ts{};
        timespec* tsp = nullptr;
        if (deadline != SimClock::time_point::max()) {
            const auto left = std::max(SimClock::duration::zero(), deadline - SimClock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = time_t(ns / 1000000000);
            ts.tv_nsec = long(ns % 1000000000);
            tsp = &ts;
        }
        lk.unlock();
        const int n = ::ppoll(fds, 2, tsp, nullptr);
        lk.lock();
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t v = 0;
            [[maybe_unused]] ssize_t r = ::read(m_wakeFd, &v, sizeof v);
        }
        if (fds[1].revents & POLLOUT) m_outBlocked = false;
        if (fds[1].revents & POLLIN) readMaster(SimClock::now());
        // A hang-up cannot happen while the kept slave is open; should it
        // happen anyway, look again later instead of spinning on it.
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN))
            masterQuietUntil = SimClock::now() + std::chrono::milliseconds(50);
    }
}

}  // namespace sim
