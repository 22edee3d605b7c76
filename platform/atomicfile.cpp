#include "atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

bool fail(QString* error, const QString& text) {
    if (error) *error = text;
    return false;
}

// Where a chain of links starting at path ends (the path itself when it is
// no link, or the first name that does not exist); empty with the reason
// in why when the chain does not end.
QByteArray resolveLinks(const QByteArray& path, QString* why) {
    QByteArray at = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st = {};
        if (::lstat(at.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t n = ::readlink(at.constData(), target.data(), size_t(target.size()));
        if (n < 0 || n >= target.size()) {
            *why = errnoText(n < 0 ? errno : ENAMETOOLONG);
            return {};
        }
        target.truncate(n);
        if (!target.startsWith('/')) {
            const qsizetype slash = at.lastIndexOf('/');
            target = (slash < 0 ? QByteArray() : at.left(slash + 1)) + target;
        }
        at = target;
    }
    *why = errnoText(ELOOP);
    return {};
}

// Whether fd took all of data; false with errno set when it did not.
bool writeAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// A fresh file beside target, open for writing; -1 with errno set when none
// could be made.
int createBeside(const QByteArray& target, QByteArray* name) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : target.left(slash + 1);
    const QByteArray base = target.mid(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = folder + '.' + base + ".new-" +
                QByteArray::number(QRandomGenerator::global()->generate(), 36);
        int fd;
        do {
            fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

bool writeFileAtomically(const QString& path, const QByteArray& data, QString* error,
                         LinkAtPath links) {
    if (path.isEmpty()) return fail(error, QStringLiteral("no file name"));
    QByteArray target = QFile::encodeName(path);
    QString why;
    if (links == LinkAtPath::Follow) {
        target = resolveLinks(target, &why);
        if (target.isEmpty()) return fail(error, why);
    }

    // What stands there now: only a regular file is replaced.
    struct stat old = {};
    const bool exists = ::lstat(target.constData(), &old) == 0;
    if (!exists && errno != ENOENT) return fail(error, errnoText(errno));
    if (exists) {
        if (S_ISLNK(old.st_mode)) return fail(error, QStringLiteral("it is a symbolic link"));
        if (S_ISDIR(old.st_mode)) return fail(error, errnoText(EISDIR));
        if (S_ISFIFO(old.st_mode)) return fail(error, QStringLiteral("it is a FIFO"));
        if (!S_ISREG(old.st_mode)) return fail(error, QStringLiteral("not a regular file"));
    }

    QByteArray temp;
    const int fd = createBeside(target, &temp);
    if (fd < 0) return fail(error, errnoText(errno));
    int e = 0;
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0) e = errno;
    if (!e && !writeAll(fd, data)) e = errno;
    if (!e && ::fsync(fd) != 0) e = errno;
    // A failed close may be the first report of a failed write (NFS, quota).
    if (::close(fd) != 0 && !e && errno != EINTR) e = errno;
    if (!e && ::rename(temp.constData(), target.constData()) != 0) e = errno;
    if (e) {
        ::unlink(temp.constData());
        return fail(error, errnoText(e));
    }
    // The rename itself reaches the disk with the folder. The new file is in
    // place whatever this says, so a failure here is not one of the write.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace platform
