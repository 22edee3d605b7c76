#include "deviceaccess.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

namespace {

QString groupName(gid_t gid) {
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buf(static_cast<size_t>(size));
    group g{};
    group* found = nullptr;
    while (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == ERANGE) {
        buf.resize(buf.size() * 2);
    }
    if (found && found->gr_name) return QString::fromLocal8Bit(found->gr_name);
    return QString::number(gid);
}

}  // namespace

std::optional<QString> deniedDeviceGroup(const QString& path) {
    const QByteArray p = path.toLocal8Bit();
    struct stat st {};
    if (p.isEmpty() || ::stat(p.constData(), &st) != 0) return std::nullopt;
    // The effective ids decide what open() allows.
    if (::faccessat(AT_FDCWD, p.constData(), R_OK | W_OK, AT_EACCESS) == 0) return std::nullopt;
    if (errno != EACCES) return std::nullopt;
    return groupName(st.st_gid);
}

}  // namespace platform
