#pragma once
// Why a serial device cannot be opened: the permission check the kernel makes
// on open, done ahead with this process's effective user and groups, and the
// group that owns the device (membership in it is the usual way to get
// access, e.g. "dialout" for USB adapters).

#include <QString>
#include <optional>

namespace platform {

// The name of the group owning the device at path when this process may not
// open it for reading and writing; nullopt when it may, or when the device
// does not exist (that is another error). A group without a name in the group
// database is given as its number.
std::optional<QString> deniedDeviceGroup(const QString& path);

}  // namespace platform
