#include "rawclient.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <cerrno>

RawClient::RawClient(const QString& path) {
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return;
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tcsetattr(m_fd, TCSANOW, &tio);
    tcflush(m_fd, TCIOFLUSH);
}

RawClient::~RawClient() {
    if (m_fd >= 0) ::close(m_fd);
}

bool RawClient::write(const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_fd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

QByteArray RawClient::read(int n, int timeoutMs) {
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n) {
        const qint64 left = timeoutMs - t.elapsed();
        if (left <= 0) break;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0) continue;
        char buf[256];
        const ssize_t got = ::read(m_fd, buf, size_t(std::min<qsizetype>(n - out.size(), 256)));
        if (got > 0)
            out.append(buf, got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

QByteArray RawClient::readFor(int ms) {
    return read(1 << 20, ms);
}

ssize_t RawClient::readOnce(int timeoutMs, int* error) {
    pollfd p{m_fd, POLLIN, 0};
    ::poll(&p, 1, timeoutMs);
    char c;
    const ssize_t n = ::read(m_fd, &c, 1);
    *error = n < 0 ? errno : 0;
    return n;
}

QByteArray bytes(const char* hexText) {
    return QByteArray::fromHex(hexText);
}

QByteArray synced(const char* hexText) {
    return QByteArray(16, char(0xFF)) + QByteArray::fromHex(hexText);
}
