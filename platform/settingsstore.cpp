#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <atomic>

#include "inifile.h"

namespace platform {

namespace {

QString configHome() {
    QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.config");
    return home;
}

QString& fileOverride() {
    static QString path;
    return path;
}

std::atomic<int> lastUnreadable{0};

// The file as it stands; empty when missing or unreadable. Reading never
// changes the file.
IniFile readFile(const QString& path) {
    QFile f(path);
    if (!QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly)) {
        lastUnreadable = 0;
        return IniFile();
    }
    IniFile ini(f.readAll());
    lastUnreadable = ini.firstUnreadableLine();
    return ini;
}

}  // namespace

void setSettingsFileOverride(const QString& path) {
    fileOverride() = path;
}

QString settingsFilePath(const QString& app) {
    if (!fileOverride().isEmpty()) return fileOverride();
    const QString name = app.toLower();
    return configHome() + QLatin1Char('/') + name + QLatin1Char('/') + name +
           QStringLiteral(".conf");
}

int firstUnreadableSettingsLine() {
    return lastUnreadable;
}

QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def) {
    return readFile(settingsFilePath(app)).value(section, key).value_or(def);
}

QList<QPair<QString, QString>> GetSettingsSection(const QString& app, const QString& section) {
    return readFile(settingsFilePath(app)).section(section);
}

bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value) {
    const QString path = settingsFilePath(app);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (QFileInfo::exists(path)) {
        // A file that is there but cannot be read would be replaced by one
        // holding this key alone: leave it untouched instead.
        QFile probe(path);
        if (!QFileInfo(path).isFile() || !probe.open(QIODevice::ReadOnly)) return false;
    }
    IniFile ini = readFile(path);
    ini.setValue(section, key, value);
    // The new text goes to a temporary file that then replaces the old one,
    // so a process killed while saving leaves the old file or the new one.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) return false;
    out.write(ini.toBytes());
    return out.commit();
}

}  // namespace platform
