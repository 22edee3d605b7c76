#pragma once
// Replacing a file of the program's own (settings, module states, the
// house code of a run) whole or not at all. The new text goes to a fresh
// file in the same folder, is written, synced and closed with every step
// checked, and only then renamed over the old one; on any failure the
// temporary file goes and the old file stays as it was. A full disk, a
// size limit or too many open files therefore never leave an empty or
// shortened file behind, and the caller gets the reason in words
// ("No space left on device").

#include <QByteArray>
#include <QString>

namespace platform {

// What stands at the path when it is a symbolic link.
enum class LinkAtPath {
    // Refused: the program's own state files are never written through a
    // link that someone else may have pointed anywhere.
    Refuse,
    // Followed to the file it names, which is then replaced the same way
    // beside itself (a user's settings file kept in another folder through
    // a link stays there, and the link stays a link).
    Follow,
};

// Writes data to path. A missing path is created (mode 0666 less the
// umask, as a plain open would); an existing file keeps its permission
// bits. A folder, a FIFO, a device or (with LinkAtPath::Refuse) a link at
// path is refused without writing anything. Returns false with one line
// saying why in error (when given).
bool writeFileAtomically(const QString& path, const QByteArray& data, QString* error,
                         LinkAtPath links = LinkAtPath::Refuse);

}  // namespace platform
