#include "regularfile.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

// "owner NAME, group NAME, mode 0640"; numbers for ids without a name.
QString ownerAndMode(const struct stat& st) {
    char buf[4096];
    QString owner = QString::number(st.st_uid), group = QString::number(st.st_gid);
    struct passwd pw = {}, *pwp = nullptr;
    if (::getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &pwp) == 0 && pwp)
        owner = QString::fromLocal8Bit(pwp->pw_name);
    struct group gr = {}, *grp = nullptr;
    if (::getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &grp) == 0 && grp)
        group = QString::fromLocal8Bit(grp->gr_name);
    return QStringLiteral("owner %1, group %2, mode %3")
        .arg(owner, group)
        .arg(uint(st.st_mode & 07777), 4, 8, QLatin1Char('0'));
}

}  // namespace

QString openErrorText(const QString& path, int err) {
    QString text = errnoText(err);
    if (err != EACCES && err != EPERM) return text;
    // The first folder on the way that the caller may not enter refuses
    // before the file does.
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString folder;
    struct stat st = {};
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        folder += QLatin1Char('/') + parts[i];
        const QByteArray name = QFile::encodeName(folder);
        if (::access(name.constData(), X_OK) != 0 && ::stat(name.constData(), &st) == 0)
            return text + QStringLiteral(" (folder %1: %2)").arg(folder, ownerAndMode(st));
    }
    if (::stat(QFile::encodeName(absolute).constData(), &st) == 0)
        text += QStringLiteral(" (%1)").arg(ownerAndMode(st));
    return text;
}

bool pathMissing(const QString& path) {
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
}

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
        r.error = openErrorText(path, e);
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
