#pragma once
// The bridge's settings, group [MQTT] of the settings file:
//   Host             the broker; empty or missing: the bridge is off
//   Port             1883
//   User             user name; empty: none
//   PasswordFile     a file whose first line is the password (the password
//                    itself is never stored in the settings nor logged)
//   TLS              true: an encrypted connection
//   CAFile           certificate authority for TLS; else the system's
//   ClientId         veldrin-<host name>-<6 hex digits of a hash of the
//                    settings file's absolute path>: each settings file on a
//                    host has its own id, so two instances do not make the
//                    broker drop one another
//   BaseTopic        veldrin
//   Discovery        true: Home Assistant discovery configs
//   DiscoveryPrefix  homeassistant
//   OffDelay         seconds after a motion sensor's last ON at which its
//                    binary sensor goes OFF by itself; 0: only a heard OFF

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
    // The name the hub knows this program by (the discovery node and
    // device): the ClientId when one is set, else veldrin-<host name>, as
    // before the default client id carried a hash, so an upgrade does not
    // duplicate the hub's entities. Empty: the client id.
    QString deviceName;
    QString baseTopic = QStringLiteral("veldrin");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    int offDelaySeconds = 0;

    // nullopt when no host is set (the bridge stays off). Values that make
    // no sense are logged once and replaced by their defaults.
    static std::optional<Settings> read(const std::function<void(const QString&)>& log);

    // The device name with every character other than letters, digits, '_'
    // and '-' replaced by '_': the node of the discovery topics.
    QString node() const;
    QString device() const { return deviceName.isEmpty() ? clientId : deviceName; }
    // The node followed by 8 hex digits of a hash of the device name and the
    // base topic: the discovery node and the prefix of every unique_id, so
    // that names differing only in punctuation ("a.b", "a_b") or instances
    // on other base topics never share an entity.
    QString uniqueNode() const;

    // The client id used when none is set: veldrin-<host>-<hash of the
    // settings file's absolute path, 6 hex digits>.
    static QString defaultClientId(const QString& hostName, const QString& settingsFile);
};

// The first line of the password file: a regular file that only its owner
// may use, at most 64 KiB. nullopt and the reason when it is refused.
std::optional<QString> readPasswordFile(const QString& path, QString* error);

}  // namespace mqtt
