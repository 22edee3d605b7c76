#pragma once
// Reading a small file of the program's own (settings, module states) that
// something else may have put at its path: only a regular file is read, and
// only up to a bound. Opening never blocks (a FIFO there does not hang the
// program) and the checks run on the opened descriptor, so the file checked
// is the file read.

#include <QByteArray>
#include <QString>

namespace platform {

struct FileRead {
    enum Status { Ok, Missing, Failed };
    Status status = Failed;
    QByteArray data;  // Ok: the whole file
    QString error;    // Failed: why, for a log line ("Permission denied")
};

// The whole file at path, at most maxBytes long. A path that does not exist
// is Missing; a folder, a FIFO, a device, a file over maxBytes or one that
// cannot be opened or read is Failed.
FileRead readRegularFile(const QString& path, qint64 maxBytes);

// Why opening path failed with errno err, for a message: the system's text,
// and for a permission refusal who owns what refused it and its mode -- the
// file itself, or the first folder on the way that the caller may not enter:
//   "Permission denied (owner root, group veldrin, mode 0640)"
//   "Permission denied (folder /etc/veldrin: owner root, group root, mode 0700)"
QString openErrorText(const QString& path, int err);

// Whether nothing is at path. A path the caller may not look at (a folder on
// the way closed to it) is not missing: opening it says why.
bool pathMissing(const QString& path);

}  // namespace platform
