#pragma once
// The per-user settings store: one INI file per application at
// $XDG_CONFIG_HOME/<app>/<app>.conf (~/.config when the variable is unset).
// Application, section and key names are case-insensitive; values are kept
// exactly as written. A missing, unreadable or malformed file reads as
// defaults and is never fatal; a line holding a serialised Qt value, which
// the program never writes, is taken out of the file before it is read.

#include <QList>
#include <QPair>
#include <QString>

namespace platform {

// Path of the settings file of an application (its name lower-cased), or
// the file set with setSettingsFileOverride.
QString settingsFilePath(const QString& app = QStringLiteral("veldrin"));

// Makes every application's settings live in this one file (--config FILE);
// an empty path goes back to the per-user file.
void setSettingsFileOverride(const QString& path);

// Reads a string; returns def when the key is absent or the file unreadable.
QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def = QString());

// Every key of a section with its value, keys spelled as stored, in the
// order QSettings lists them; empty when the section or the file is missing.
QList<QPair<QString, QString>> GetSettingsSection(const QString& app, const QString& section);

// Writes a string. Returns false when the file could not be written.
bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value);

}  // namespace platform
