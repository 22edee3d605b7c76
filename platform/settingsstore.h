#pragma once
// The per-user settings store: one INI file per application at
// $XDG_CONFIG_HOME/<app>/<app>.conf (~/.config when the variable is unset).
// Application, section and key names are case-insensitive; values are kept
// exactly as written. A missing, unreadable or malformed file reads as
// defaults and is never fatal; a line holding a serialised Qt value, which
// the program never writes, is taken out of the file before it is read.

#include <QString>

namespace platform {

// Path of the settings file of an application (its name lower-cased).
QString settingsFilePath(const QString& app = QStringLiteral("veldrin"));

// Reads a string; returns def when the key is absent or the file unreadable.
QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def = QString());

// Writes a string. Returns false when the file could not be written.
bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value);

}  // namespace platform
