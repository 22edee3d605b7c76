#include "secretfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "regularfile.h"

namespace platform {

namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::optional<QString> readPasswordFile(const QString& path, const PasswordFileLimits& limits,
                                        QString* error) {
    auto fail = [error](const QString& why) -> std::optional<QString> {
        if (error) *error = why;
        return std::nullopt;
    };
    const QByteArray native = QFile::encodeName(path);
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer. The type is checked right after, on the descriptor.
    const Fd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        const int err = errno;
        return fail(QStringLiteral("cannot read the password file %1: %2")
                        .arg(path, openErrorText(path, err)));
    }
    struct stat st = {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(QStringLiteral("the password file %1 is not a regular file").arg(path));
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return fail(QStringLiteral("the password file %1 may be read or written by others "
                                   "(mode %2; chmod 600 it)")
                        .arg(path)
                        .arg(int(st.st_mode & 07777), 4, 8, QLatin1Char('0')));
    if (st.st_size > limits.maxFileBytes)
        return fail(QStringLiteral("the password file %1 is larger than %2 bytes")
                        .arg(path)
                        .arg(limits.maxFileBytes));

    // Read up to the first line end; one byte over the bounds tells that the
    // file grew or the line is too long.
    QByteArray data;
    const qint64 want = std::min(limits.maxFileBytes, limits.maxLineBytes + 2) + 1;
    data.resize(want);
    qint64 have = 0;
    while (have < want) {
        const ssize_t n = ::read(fd.get(), data.data() + have, size_t(want - have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            return fail(QStringLiteral("cannot read the password file %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(err))));
        }
        if (n == 0) break;
        const bool lineEnd = std::memchr(data.constData() + have, '\n', size_t(n)) != nullptr;
        have += n;
        if (lineEnd) break;
    }
    data.truncate(have);
    const qsizetype nl = data.indexOf('\n');
    if (nl < 0 && have > limits.maxFileBytes)
        return fail(QStringLiteral("the password file %1 is larger than %2 bytes")
                        .arg(path)
                        .arg(limits.maxFileBytes));
    QByteArray line = nl < 0 ? data : data.left(nl);
    if (line.endsWith('\r')) line.chop(1);
    if (line.size() > limits.maxLineBytes)
        return fail(QStringLiteral("the first line of the password file %1 is longer than %2 "
                                   "bytes")
                        .arg(path)
                        .arg(limits.maxLineBytes));
    return QString::fromUtf8(line);
}

}  // namespace platform
