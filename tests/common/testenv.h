#pragma once
// Helpers shared by every test program.

#include <QString>
#include <functional>
#include <utility>

namespace testenv {

// The private configuration folder of this test process ($XDG_CONFIG_HOME).
QString configHome();

// Path of the program's settings file inside configHome().
QString settingsFile();

// Replaces the settings file with the given INI text (empty text removes it).
void writeSettings(const QString& iniText);

// Reads the settings file as text ("" when missing).
QString readSettings();

// Runs the event loop until cond() holds or realMs real milliseconds pass.
bool pumpUntil(const std::function<bool()>& cond, int realMs = 5000);

// Runs the event loop for realMs real milliseconds.
void pump(int realMs);

// Folder of the built executables (build/bin).
QString binDir();

// A self-signed certificate for 127.0.0.1 and its key, made by openssl in
// configHome(): {certificate, key} ({} when openssl failed).
std::pair<QString, QString> makeCertificate(const QString& name);

}  // namespace testenv
