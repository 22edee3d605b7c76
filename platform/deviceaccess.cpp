#include "deviceaccess.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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

QString userName(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buf(static_cast<size_t>(size));
    passwd pw{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE) {
        buf.resize(buf.size() * 2);
    }
    if (found && found->pw_name) return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

}  // namespace

std::optional<DeviceOwnership> deviceDenied(const QString& path) {
    const QByteArray p = path.toLocal8Bit();
    struct stat st {};
    if (p.isEmpty() || ::stat(p.constData(), &st) != 0) return std::nullopt;
    // The effective ids decide what open() allows.
    if (::faccessat(AT_FDCWD, p.constData(), R_OK | W_OK, AT_EACCESS) == 0) return std::nullopt;
    if (errno != EACCES) return std::nullopt;
    return DeviceOwnership{userName(st.st_uid), groupName(st.st_gid), unsigned(st.st_mode & 07777)};
}

QString deviceAccessAdvice(const DeviceOwnership& o) {
    if ((o.mode & 060) == 060)
        return QStringLiteral("the user must be a member of the group %1 that owns it")
            .arg(o.group);
    return QStringLiteral(
               "its group may not read and write it (owner %1, group %2, mode %3), so no group "
               "membership helps; a udev rule that gives it a group with read and write access "
               "(GROUP=\"dialout\", MODE=\"0660\") and a user in that group, or running as %1, "
               "would")
        .arg(o.owner, o.group)
        .arg(o.mode, 4, 8, QLatin1Char('0'));
}

}  // namespace platform
