#include "mscomm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <cerrno>
#include <cstring>

#include "settingsfile.h"
#include "timebase.h"

namespace {

struct LineSettings {
    speed_t speed = B9600;
    tcflag_t parity = 0;
    tcflag_t size = CS8;
    bool twoStop = false;
};

bool parseSettings(const QString& text, LineSettings* out) {
    const QStringList f = text.split(QLatin1Char(','));
    if (f.size() != 4) return false;
    static const struct {
        int baud;
        speed_t speed;
    } speeds[] = {{110, B110},     {300, B300},     {600, B600},      {1200, B1200},
                  {2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                  {38400, B38400}, {57600, B57600}, {115200, B115200}};
    bool ok = false;
    const int baud = f[0].trimmed().toInt(&ok);
    if (!ok) return false;
    bool found = false;
    for (const auto& s : speeds) {
        if (s.baud == baud) {
            out->speed = s.speed;
            found = true;
        }
    }
    if (!found) return false;
    const QString p = f[1].trimmed().toUpper();
    if (p == QLatin1String("N")) {
        out->parity = 0;
    } else if (p == QLatin1String("E")) {
        out->parity = PARENB;
    } else if (p == QLatin1String("O")) {
        out->parity = PARENB | PARODD;
    } else if (p == QLatin1String("M")) {
        out->parity = PARENB | PARODD | CMSPAR;
    } else if (p == QLatin1String("S")) {
        out->parity = PARENB | CMSPAR;
    } else {
        return false;
    }
    const int bits = f[2].trimmed().toInt(&ok);
    if (!ok) return false;
    switch (bits) {
        case 5:
            out->size = CS5;
            break;
        case 6:
            out->size = CS6;
            break;
        case 7:
            out->size = CS7;
            break;
        case 8:
            out->size = CS8;
            break;
        default:
            return false;
    }
    const QString stop = f[3].trimmed();
    if (stop == QLatin1String("1")) {
        out->twoStop = false;
    } else if (stop == QLatin1String("1.5") || stop == QLatin1String("2")) {
        out->twoStop = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

MSComm::MSComm(QObject* parent) : QObject(parent) {}

MSComm::~MSComm() {
    closePort();
}

QString MSComm::deviceForPort(int port) {
    return settings::File::read().portDevice(port);
}

int MSComm::fail(int code, const QString& text) {
    lastErrorText_ = text;
    return code;
}

int MSComm::setCommPort(int port) {
    if (port < 1 || port > 255) {
        return fail(InvalidPortNumber, QStringLiteral("Invalid port number %1").arg(port));
    }
    port_ = port;
    return NoError;
}

int MSComm::setSettings(const QString& text) {
    LineSettings ls;
    if (!parseSettings(text, &ls)) {
        return fail(InvalidPropertyValue, QStringLiteral("Invalid settings \"%1\"").arg(text));
    }
    settings_ = text;
    if (fd_ >= 0) return applySettings();
    return NoError;
}

int MSComm::applySettings() {
    LineSettings ls;
    parseSettings(settings_, &ls);
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        return fail(PortOpenFailed,
                    QStringLiteral("%1 is not a serial device: %2")
                        .arg(devicePath_, QString::fromLocal8Bit(std::strerror(errno))));
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= ls.size | ls.parity | CLOCAL | CREAD;
    if (ls.twoStop) t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, ls.speed);
    ::cfsetospeed(&t, ls.speed);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return fail(PortOpenFailed,
                    QStringLiteral("Cannot configure %1: %2")
                        .arg(devicePath_, QString::fromLocal8Bit(std::strerror(errno))));
    }
    return NoError;
}

int MSComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return NoError;
    }
    if (fd_ >= 0) return fail(PortAlreadyOpen, QStringLiteral("Port already open"));
    if (port_ < 1 || port_ > 255) {
        return fail(InvalidPortNumber, QStringLiteral("Invalid port number %1").arg(port_));
    }
    devicePath_ = deviceForPort(port_);
    const QByteArray path = devicePath_.toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        const QString why = QString::fromLocal8Bit(std::strerror(e));
        if (e == ENOENT || e == ENODEV || e == ENXIO || e == ENOTDIR) {
            return fail(InvalidPortNumber, QStringLiteral("%1: %2").arg(devicePath_, why));
        }
        if (e == EBUSY)
            return fail(PortAlreadyOpen, QStringLiteral("%1: %2").arg(devicePath_, why));
        return fail(PortOpenFailed, QStringLiteral("%1: %2").arg(devicePath_, why));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) {
            return fail(PortAlreadyOpen,
                        QStringLiteral("%1 is already open in another program").arg(devicePath_));
        }
        return fail(PortOpenFailed,
                    QStringLiteral("%1: cannot lock: %2")
                        .arg(devicePath_, QString::fromLocal8Bit(std::strerror(e))));
    }
    fd_ = fd;
    const int err = applySettings();
    if (err != NoError) {
        ::close(fd_);
        fd_ = -1;
        return err;
    }
    ::tcflush(fd_, TCIOFLUSH);
    rx_.clear();
    lastEvent_ = EvNone;
    lastErrorText_.clear();
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &MSComm::onReadable);
    return NoError;
}

void MSComm::closePort() {
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);  // also releases the lock
        fd_ = -1;
    }
    rx_.clear();
}

void MSComm::readAvailable() {
    if (fd_ < 0) return;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            rx_.append(buf, n);
            continue;
        }
        if (n == 0) {
            deviceLost(QStringLiteral("the device was closed (end of file)"));
            return;
        }
        const int e = errno;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) return;
        deviceLost(QString::fromLocal8Bit(std::strerror(e)));
        return;
    }
}

void MSComm::deviceLost(const QString& reason) {
    // Keep what was already received; the holder reads it on the notification.
    const QByteArray pending = rx_;
    lastErrorText_ = QStringLiteral("%1: %2").arg(devicePath_, reason);
    closePort();
    rx_ = pending;
    lastEvent_ = EvDeviceLost;
    // Raised from the event loop, never from inside a read or write call of
    // the holder, so that its handler does not run nested in its own call.
    QMetaObject::invokeMethod(this, &MSComm::OnComm, Qt::QueuedConnection);
}

void MSComm::onReadable() {
    const qsizetype before = rx_.size();
    readAvailable();
    if (fd_ < 0) return;  // device lost: already notified
    if (rx_.size() > before && rThreshold_ > 0 && rx_.size() >= rThreshold_) {
        lastEvent_ = EvReceive;
        emit OnComm();
    }
}

int MSComm::InBufferCount() {
    readAvailable();
    return static_cast<int>(std::min<qsizetype>(rx_.size(), 32767));
}

void MSComm::setInBufferCount(int count) {
    if (count != 0) return;
    rx_.clear();
    if (fd_ >= 0) {
        ::tcflush(fd_, TCIFLUSH);
        readAvailable();
        rx_.clear();
    }
}

QByteArray MSComm::Input() {
    readAvailable();
    QByteArray out;
    if (inputLen_ == 0 || inputLen_ >= rx_.size()) {
        out.swap(rx_);
    } else {
        out = rx_.left(inputLen_);
        rx_.remove(0, inputLen_);
    }
    return out;
}

QString MSComm::InputText() {
    return QString::fromLatin1(Input());
}

void MSComm::Output(const QByteArray& bytes) {
    if (fd_ < 0) return;
    qsizetype off = 0;
    while (off < bytes.size() && fd_ >= 0) {
        const ssize_t n = ::write(fd_, bytes.constData() + off, bytes.size() - off);
        if (n > 0) {
            off += n;
            continue;
        }
        const int e = errno;
        if (n < 0 && e == EINTR) continue;
        if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
            // Output queue full: sleep until the device drains (bounded).
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 2000) <= 0) return;
            continue;
        }
        deviceLost(QString::fromLocal8Bit(std::strerror(n < 0 ? e : EIO)));
        return;
    }
}

void MSComm::OutputText(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) bytes.append(static_cast<char>(c.unicode() & 0xFF));
    Output(bytes);
}

int MSComm::waitForBytes(int count, qint64 logicalMs) {
    platform::TimeBase& tb = platform::TimeBase::global();
    const qint64 deadline = tb.nowMs() + logicalMs;
    for (;;) {
        const int have = InBufferCount();
        if (have >= count || fd_ < 0) return have;
        const qint64 left = deadline - tb.nowMs();
        if (left <= 0) return have;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<qint64>(tb.realMs(left), 60000)));
    }
}
