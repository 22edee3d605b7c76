#pragma once
// Reads a password from the first line of a file, for every part of the
// program that takes one (the remote server's --password-file, the bridge's
// PasswordFile). The file must be a regular file that only its owner may
// use (no permission bits for group or others) and not larger than a bound;
// everything is checked on the file as opened, so the file read is the file
// checked. A FIFO, a device or a link to one is refused at once instead of
// blocking or reading without end.

#include <QString>
#include <optional>

namespace platform {

struct PasswordFileLimits {
    qint64 maxFileBytes = 64 * 1024;
    qint64 maxLineBytes = 64 * 1024;  // the first line, without its line end
};

// The first line of path, without its line end ("\n" or "\r\n"), decoded as
// UTF-8. On refusal: nullopt, and error (when given) holds one sentence that
// names the file and the reason.
std::optional<QString> readPasswordFile(const QString& path, const PasswordFileLimits& limits,
                                        QString* error);

}  // namespace platform
