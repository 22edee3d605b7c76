#include "deviceaccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <cerrno>

namespace platform {

std::optional<DeviceOwnership> deviceDenied(const QString& path) {
    const QByteArray p = path.toLocal8Bit();
    struct stat st {};
    if (p.isEmpty() || ::stat(p.constData(), &st) != 0) return std::nullopt;
    // The effective ids decide what open() allows.
    if (::faccessat(AT_FDCWD, p.constData(), R_OK | W_OK, AT_EACCESS) == 0) return std::nullopt;
    if (errno != EACCES) return std::nullopt;
    // Names from the user and group databases; numbers for ids without one.
    const QFileInfo info(path);
    const QString owner = info.owner(), group = info.group();
    return DeviceOwnership{owner.isEmpty() ? QString::number(st.st_uid) : owner,
                           group.isEmpty() ? QString::number(st.st_gid) : group,
                           unsigned(st.st_mode & 07777)};
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
