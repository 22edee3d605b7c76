#pragma once
// The per-user settings store: one INI file per application at
// $XDG_CONFIG_HOME/<app>/<app>.conf (~/.config when the variable is unset).
// Application, section and key names are case-insensitive; values are kept
// exactly as written. A missing or unreadable file reads as defaults (only a
// regular file of at most 1 MiB is read); a line
// that cannot be read is skipped and every other key still reads. Reading
// never changes the file; writing replaces it whole, atomically, keeping
// every section and key it held.

#include <QList>
#include <QPair>
#include <QString>

#include "inifile.h"

namespace platform {

struct FileRead;

// Path of the settings file of an application (its name lower-cased), or
// the file set with setSettingsFileOverride.
QString settingsFilePath(const QString& app = QStringLiteral("veldrin"));

// The per-user settings file, whatever setSettingsFileOverride says.
QString userSettingsFilePath(const QString& app = QStringLiteral("veldrin"));

// Makes every application's settings live in this one file (--config FILE);
// an empty path goes back to the per-user file.
void setSettingsFileOverride(const QString& path);

// The name of the instance a settings file makes: "veldrin" for the per-user
// file (defaultFile) or none, otherwise "veldrin-" and 16 hex digits of a
// hash of the file's absolute path. Its lock and its state folder carry it,
// so each settings file runs an instance of its own.
QString instanceName(const QString& settingsFile, const QString& defaultFile);

// This instance's state folder (the state file, runtime.conf, the schedule
// switch): $XDG_STATE_HOME (~/.local/state) and the instance name of
// settingsFilePath(). A service the service manager gave a state folder of
// its own ($STATE_DIRECTORY) keeps $XDG_STATE_HOME/veldrin whatever settings
// file it reads.
QString stateFolder();

// The settings file in use, read whole; how the read went in raw when given
// (a missing or unreadable file reads as empty).
IniFile readSettingsFile(FileRead* raw = nullptr);

// Reads a string; returns def when the key is absent or the file unreadable.
QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def = QString());

// Every key of a section with its value, keys spelled as stored, in the
// order they stand in the file; empty when the section or the file is missing.
QList<QPair<QString, QString>> GetSettingsSection(const QString& app, const QString& section);

// Number (from 1) of the first line of the settings file that the last read
// or write could not read, and skipped; 0 when every line was read.
int firstUnreadableSettingsLine();

// Why the settings file cannot be read (a folder or a FIFO at its path, no
// permission, larger than 1 MiB); empty when it reads or does not exist.
QString settingsFileError();

// Writes a string. Returns false when the file could not be written (the
// file then stays as it was), with the reason in error when given.
bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value, QString* error = nullptr);

}  // namespace platform
