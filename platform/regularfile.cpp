#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

}  // namespace

FileRead readRegularFile(const QString& path, qint64 maxBytes) {
    FileRead r;
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT) {
            r.status = FileRead::Missing;
            return r;
        }
        r.error = errnoText(e);
        return r;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        r.error = errnoText(errno);
    } else if (S_ISDIR(st.st_mode)) {
        r.error = errnoText(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        r.error = QStringLiteral("not a regular file");
    } else if (st.st_size > maxBytes) {
        r.error = QStringLiteral("larger than %1 bytes").arg(maxBytes);
    } else {
        // One byte more than allowed tells a file that grew past the bound
        // since fstat.
        QByteArray data(qsizetype(st.st_size) + 1, Qt::Uninitialized);
        qsizetype got = 0;
        for (;;) {
            if (got == data.size()) {
                if (data.size() > maxBytes) break;
                data.resize(std::min<qsizetype>(data.size() * 2, qsizetype(maxBytes) + 1));
            }
            const ssize_t n = ::read(fd, data.data() + got, size_t(data.size() - got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                r.error = errnoText(errno);
                break;
            }
            if (n == 0) break;
            got += n;
        }
        if (r.error.isEmpty() && got > maxBytes) {
            r.error = QStringLiteral("larger than %1 bytes").arg(maxBytes);
        } else if (r.error.isEmpty()) {
            data.truncate(got);
            r.data = std::move(data);
            r.status = FileRead::Ok;
        }
    }
    ::close(fd);
    return r;
}

}  // namespace platform
