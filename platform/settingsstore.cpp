#include "settingsstore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <atomic>

#include "atomicfile.h"
#include "inifile.h"
#include "regularfile.h"

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

// A settings file is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxSettingsBytes = 1024 * 1024;

// The file as it stands; empty when missing or unreadable. Reading never
// changes the file.
IniFile readFile(const QString& path, FileRead* raw = nullptr) {
    FileRead r = readRegularFile(path, kMaxSettingsBytes);
    IniFile ini(r.data);
    lastUnreadable = ini.firstUnreadableLine();
    if (raw) *raw = std::move(r);
    return ini;
}

}  // namespace

void setSettingsFileOverride(const QString& path) {
    fileOverride() = path;
}

QString settingsFilePath(const QString& app) {
    if (!fileOverride().isEmpty()) return fileOverride();
    return userSettingsFilePath(app);
}

QString instanceName(const QString& settingsFile, const QString& defaultFile) {
    const QString path = QFileInfo(settingsFile).absoluteFilePath();
    if (settingsFile.isEmpty() || path == QFileInfo(defaultFile).absoluteFilePath())
        return QStringLiteral("veldrin");
    const QByteArray hash =
        QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("veldrin-") + QString::fromLatin1(hash);
}

QString stateFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    // The packaged service reads /etc/veldrin/veldrin.conf and keeps its
    // states where it always has: its state folder is its own already.
    if (!qEnvironmentVariable("STATE_DIRECTORY").isEmpty())
        return base + QStringLiteral("/veldrin");
    return base + QLatin1Char('/') + instanceName(settingsFilePath(), userSettingsFilePath());
}

QString userSettingsFilePath(const QString& app) {
    const QString name = app.toLower();
    return configHome() + QLatin1Char('/') + name + QLatin1Char('/') + name +
           QStringLiteral(".conf");
}

int firstUnreadableSettingsLine() {
    return lastUnreadable;
}

QString settingsFileError() {
    FileRead r;
    readFile(settingsFilePath(), &r);
    return r.status == FileRead::Failed ? r.error : QString();
}

IniFile readSettingsFile(FileRead* raw) {
    return readFile(settingsFilePath(), raw);
}

QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def) {
    return readFile(settingsFilePath(app)).value(section, key).value_or(def);
}

QList<QPair<QString, QString>> GetSettingsSection(const QString& app, const QString& section) {
    return readFile(settingsFilePath(app)).section(section);
}

bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value, QString* error) {
    const QString path = settingsFilePath(app);
    QDir().mkpath(QFileInfo(path).absolutePath());
    // A file that is there but cannot be read (or is no regular file) would
    // be replaced by one holding this key alone: leave it untouched instead.
    FileRead r;
    IniFile ini = readFile(path, &r);
    if (r.status == FileRead::Failed) {
        if (error) *error = r.error;
        return false;
    }
    ini.setValue(section, key, value);
    // The new text replaces the old file whole or not at all, so a process
    // killed while saving, or a full disk, leaves the old file or the new
    // one. A settings file that is a link (kept with the user's other
    // files elsewhere) is replaced where the link points, and stays linked.
    return writeFileAtomically(path, ini.toBytes(), error, LinkAtPath::Follow);
}

}  // namespace platform
