#pragma once
// Why a serial device cannot be opened: the permission check the kernel makes
// on open, done ahead with this process's effective user and groups, and what
// would help. Membership in the group that owns the device is the usual way
// (e.g. "dialout" for USB adapters), but only when that group may read and
// write it.

#include <QString>
#include <optional>

namespace platform {

// A device node's owner, group (names, or numbers without a name) and mode.
struct DeviceOwnership {
    QString owner;
    QString group;
    unsigned mode = 0;
};

// The node's ownership when this process may not open the device at path for
// reading and writing (EACCES); nullopt when it may, or when the device does
// not exist (that is another error).
std::optional<DeviceOwnership> deviceDenied(const QString& path);

// What would let the user open a device denied with this ownership: the group
// to join when that group may read and write it; otherwise why joining a
// group would not help, and what would.
QString deviceAccessAdvice(const DeviceOwnership& o);

}  // namespace platform
