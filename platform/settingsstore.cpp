#include "settingsstore.h"

#include "iniscreen.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace platform {

namespace {

QString configHome() {
    QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.config");
    return home;
}

// The spelling under which a name is already stored, compared without regard
// to case; the name itself when none is stored yet.
QString storedSpelling(const QStringList& existing, const QString& name) {
    for (const QString& e : existing) {
        if (e.compare(name, Qt::CaseInsensitive) == 0) return e;
    }
    return name;
}

QString& fileOverride() {
    static QString path;
    return path;
}

QString toText(const QVariant& v) {
    // A hand-written value with commas reads back as a list.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
    return v.toString();
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

QString GetSetting(const QString& app, const QString& section, const QString& key,
                   const QString& def) {
    const QString path = settingsFilePath(app);
    QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) return def;
    if (!screenSettingsFile(path)) return def;
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) return def;
    const QString group = storedSpelling(s.childGroups(), section);
    if (!s.childGroups().contains(group)) return def;
    s.beginGroup(group);
    const QStringList keys = s.childKeys();
    const QString k = storedSpelling(keys, key);
    if (!keys.contains(k)) return def;
    const QVariant v = s.value(k);
    if (!v.isValid()) return def;
    return toText(v);
}

QList<QPair<QString, QString>> GetSettingsSection(const QString& app, const QString& section) {
    QList<QPair<QString, QString>> out;
    const QString path = settingsFilePath(app);
    QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) return out;
    if (!screenSettingsFile(path)) return out;
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) return out;
    const QString group = storedSpelling(s.childGroups(), section);
    if (!s.childGroups().contains(group)) return out;
    s.beginGroup(group);
    for (const QString& k : s.childKeys()) out.append({k, toText(s.value(k))});
    return out;
}

bool SaveSetting(const QString& app, const QString& section, const QString& key,
                 const QString& value) {
    const QString path = settingsFilePath(app);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!screenSettingsFile(path)) return false;
    QSettings s(path, QSettings::IniFormat);
    const QString group = storedSpelling(s.childGroups(), section);
    s.beginGroup(group);
    s.setValue(storedSpelling(s.childKeys(), key), value);
    s.endGroup();
    s.sync();
    return s.status() == QSettings::NoError;
}

}  // namespace platform
