#pragma once
// Keeps serialised Qt values out of the settings file before QSettings reads it.
//
// QSettings reads a value whose text starts with "@Variant(" or "@DateTime("
// back through QDataStream, which takes string and container sizes from the
// file: a few damaged bytes can make it allocate gigabytes. The program only
// stores texts, and QSettings writes a text that starts with "@" as "@@...",
// so a line that decodes to such a value was never written by the program.
// Lines are split and values decoded the way QSettings' INI reader does it,
// so that nothing it would deserialise slips through and nothing it would
// read as a text is taken away.

#include <QByteArray>

namespace platform {

// data without the lines whose value (or one of whose list elements) decodes
// to a serialised value; every other byte is kept. *removed tells whether any
// line was taken out.
QByteArray withoutSerialisedValues(const QByteArray& data, bool* removed = nullptr);

// Takes such lines out of the file at path, in place. True when the file is
// safe to hand to QSettings: missing, unreadable, clean, or cleaned.
bool screenSettingsFile(const QString& path);

}  // namespace platform
