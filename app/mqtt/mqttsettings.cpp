#include "mqttsettings.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSysInfo>

#include "secretfile.h"
#include "settingsfile.h"
#include "settingsstore.h"

namespace mqtt {

namespace {

const QString kGroup = QStringLiteral("MQTT");

// "true"/"false" in any case, or 1/0; anything else keeps the default.
bool readFlag(const settings::Section& section, const QString& key, bool def,
              const std::function<void(const QString&)>& log) {
    const QString v = section.text(key).toLower();
    if (v.isEmpty()) return def;
    if (v == u"true" || v == u"1" || v == u"yes") return true;
    if (v == u"false" || v == u"0" || v == u"no") return false;
    if (log)
        log(QStringLiteral("MQTT: setting %1=%2 is not true or false; using %3")
                .arg(key, section.text(key),
                     def ? QStringLiteral("true") : QStringLiteral("false")));
    return def;
}

// A topic level set by the user: no wildcards, no empty text; the slashes
// at either end are dropped.
QString readTopic(const settings::Section& section, const QString& key, const QString& def,
                  const std::function<void(const QString&)>& log) {
    QString v = section.text(key);
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
    const settings::Section section = settings::File::read().section(kGroup);
    const auto value = [&section](const QString& key) { return section.text(key); };
    Settings s;
    s.host = value(QStringLiteral("Host"));
    if (s.host.isEmpty()) return std::nullopt;
    const QString port = value(QStringLiteral("Port"));
    if (!port.isEmpty()) {
        if (const std::optional<int> p = section.port(QStringLiteral("Port")); p && *p != 0)
            s.port = *p;
        else if (log)
            log(QStringLiteral("MQTT: setting Port=%1 is not a port number; using 1883").arg(port));
    }
    s.user = value(QStringLiteral("User"));
    s.passwordFile = value(QStringLiteral("PasswordFile"));
    s.tls = readFlag(section, QStringLiteral("TLS"), false, log);
    s.caFile = value(QStringLiteral("CAFile"));
    s.clientId = value(QStringLiteral("ClientId"));
    if (s.clientId.isEmpty()) {
        const QString host = QSysInfo::machineHostName();
        s.clientId = defaultClientId(host, platform::settingsFilePath());
        s.deviceName = QStringLiteral("veldrin-") + host;
    }
    s.baseTopic = readTopic(section, QStringLiteral("BaseTopic"), s.baseTopic, log);
    s.discovery = readFlag(section, QStringLiteral("Discovery"), true, log);
    s.discoveryPrefix =
        readTopic(section, QStringLiteral("DiscoveryPrefix"), s.discoveryPrefix, log);
    const QString delay = value(QStringLiteral("OffDelay"));
    if (!delay.isEmpty()) {
        bool ok = false;
        const int d = delay.toInt(&ok);
        if (ok && d >= 0 && d <= 86400)
            s.offDelaySeconds = d;
        else if (log)
            log(QStringLiteral("MQTT: setting OffDelay=%1 is not a number of seconds from 0 to "
                               "86400; using 0")
                    .arg(delay));
    }
    return s;
}

QString Settings::defaultClientId(const QString& hostName, const QString& settingsFile) {
    const QString path = QFileInfo(settingsFile).absoluteFilePath();
    const QByteArray hash =
        QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(6);
    return QStringLiteral("veldrin-%1-%2").arg(hostName, QString::fromLatin1(hash));
}

QString Settings::node() const {
    QString n = device();
    for (QChar& c : n) {
        const char16_t u = c.unicode();
        const bool keep = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                          (u >= u'0' && u <= u'9') || u == u'_' || u == u'-';
        if (!keep) c = u'_';
    }
    return n;
}

QString Settings::uniqueNode() const {
    const QByteArray key = device().toUtf8() + '\0' + baseTopic.toUtf8();
    const QByteArray hash =
        QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(8);
    return node() + u'_' + QString::fromLatin1(hash);
}

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    return platform::readPasswordFile(path, platform::PasswordFileLimits{}, error);
}

}  // namespace mqtt
