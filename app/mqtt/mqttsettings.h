#pragma once
// The bridge's settings, group [MQTT] of the settings file:
//   Host             the broker; empty or missing: the bridge is off
//   Port             1883
//   User             user name; empty: none
//   PasswordFile     a file whose first line is the password (the password
//                    itself is never stored in the settings nor logged)
//   TLS              true: an encrypted connection
//   CAFile           certificate authority for TLS; else the system's
//   ClientId         veldrin-<host name>
//   BaseTopic        veldrin
//   Discovery        true: Home Assistant discovery configs
//   DiscoveryPrefix  homeassistant

#include <QString>
#include <functional>
#include <optional>

namespace mqtt {

struct Settings {
    QString host;
    int port = 1883;
    QString user;
    QString passwordFile;
    bool tls = false;
    QString caFile;
    QString clientId;
    QString baseTopic = QStringLiteral("veldrin");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");

    // nullopt when no host is set (the bridge stays off). Values that make
    // no sense are logged once and replaced by their defaults.
    static std::optional<Settings> read(const std::function<void(const QString&)>& log);

    // The client id with every character other than letters, digits, '_'
    // and '-' replaced by '_': the node of the discovery topics.
    QString node() const;
};

// The first line of a password file, without its line end. A file that
// others may read, or one that cannot be read, gives nullopt and the reason.
std::optional<QString> readPasswordFile(const QString& path, QString* error);

}  // namespace mqtt
