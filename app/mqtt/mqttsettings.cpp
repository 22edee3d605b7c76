#include "mqttsettings.h"

#include <sys/stat.h>

#include <QFile>
#include <QSysInfo>

#include "settingsstore.h"

namespace mqtt {

namespace {

const QString kApp = QStringLiteral("veldrin");
const QString kGroup = QStringLiteral("MQTT");

QString value(const QString& key) {
    return platform::GetSetting(kApp, kGroup, key).trimmed();
}

// "true"/"false" in any case, or 1/0; anything else keeps the default.
bool readFlag(const QString& key, bool def, const std::function<void(const QString&)>& log) {
    const QString v = value(key).toLower();
    if (v.isEmpty()) return def;
    if (v == u"true" || v == u"1" || v == u"yes") return true;
    if (v == u"false" || v == u"0" || v == u"no") return false;
    if (log)
        log(QStringLiteral("MQTT: setting %1=%2 is not true or false; using %3")
                .arg(key, value(key), def ? QStringLiteral("true") : QStringLiteral("false")));
    return def;
}

// A topic level set by the user: no wildcards, no empty text; the slashes
// at either end are dropped.
QString readTopic(const QString& key, const QString& def,
                  const std::function<void(const QString&)>& log) {
    QString v = value(key);
    while (v.startsWith(u'/')) v.remove(0, 1);
    while (v.endsWith(u'/')) v.chop(1);
    if (v.isEmpty()) return def;
    if (v.contains(u'#') || v.contains(u'+')) {
        if (log)
            log(QStringLiteral("MQTT: setting %1=%2 holds a wildcard; using %3").arg(key, v, def));
        return def;
    }
    return v;
}

}  // namespace

std::optional<Settings> Settings::read(const std::function<void(const QString&)>& log) {
    Settings s;
    s.host = value(QStringLiteral("Host"));
    if (s.host.isEmpty()) return std::nullopt;
    const QString port = value(QStringLiteral("Port"));
    if (!port.isEmpty()) {
        bool ok = false;
        const int p = port.toInt(&ok);
        if (ok && p >= 1 && p <= 65535)
            s.port = p;
        else if (log)
            log(QStringLiteral("MQTT: setting Port=%1 is not a port number; using 1883").arg(port));
    }
    s.user = value(QStringLiteral("User"));
    s.passwordFile = value(QStringLiteral("PasswordFile"));
    s.tls = readFlag(QStringLiteral("TLS"), false, log);
    s.caFile = value(QStringLiteral("CAFile"));
    s.clientId = value(QStringLiteral("ClientId"));
    if (s.clientId.isEmpty()) s.clientId = QStringLiteral("veldrin-") + QSysInfo::machineHostName();
    s.baseTopic = readTopic(QStringLiteral("BaseTopic"), s.baseTopic, log);
    s.discovery = readFlag(QStringLiteral("Discovery"), true, log);
    s.discoveryPrefix = readTopic(QStringLiteral("DiscoveryPrefix"), s.discoveryPrefix, log);
    return s;
}

QString Settings::node() const {
    QString n = clientId;
    for (QChar& c : n) {
        const char16_t u = c.unicode();
        const bool keep = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                          (u >= u'0' && u <= u'9') || u == u'_' || u == u'-';
        if (!keep) c = u'_';
    }
    return n;
}

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0) {
        if (error) *error = QStringLiteral("cannot read the password file %1").arg(path);
        return std::nullopt;
    }
    if (st.st_mode & S_IROTH) {
        if (error)
            *error = QStringLiteral(
                         "the password file %1 can be read by others; "
                         "allow only its owner (chmod 600)")
                         .arg(path);
        return std::nullopt;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("cannot read the password file %1").arg(path);
        return std::nullopt;
    }
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    return QString::fromUtf8(line);
}

}  // namespace mqtt
