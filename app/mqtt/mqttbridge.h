#pragma once
// The home-automation bridge: publishes the state table and the traffic heard
// on the powerline to an MQTT broker, takes commands from there into the
// command path (the same queue as clicks and command words), and announces
// every module to Home Assistant through retained discovery configs.
//
// Topics (B = BaseTopic, ADDR = "A5"):
//   B/status                 online / offline, retained; the last will says offline
//   B/ADDR/state             ON / OFF, retained, for every listed module
//   B/ADDR/brightness        0..100, retained, lamps
//   B/ADDR/set               ON / OFF (any case)
//   B/ADDR/brightness/set    0..100, lamps
//   B/HOUSE/all/set          ALL_LIGHTS_ON / ALL_LIGHTS_OFF / ALL_UNITS_OFF
//   B/event                  one JSON object for each event heard
// Nothing else is taken from the broker. Commands that arrive retained are
// stale (someone published them with the retain flag) and are ignored.
//
// Discovery configs of modules that are no longer listed are found by
// subscribing to this node's own configs: a retained config the broker still
// holds for an address that is not listed any more gets an empty retained
// message, which removes the entity from the hub. No list is kept on disk, so
// the broker stays the one place that knows what was announced.

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>

#include "logthrottle.h"
#include "mqttclient.h"
#include "mqttsettings.h"
#include "state/statetable.h"

class CommandPath;

namespace mqtt {

class Bridge : public QObject {
    Q_OBJECT
  public:
    using LogHook = std::function<void(const QString&)>;

    // baseHouse: position 1..16 (A = 1), the house of the two discovery buttons.
    Bridge(Settings settings, QString password, state::StateTable* table, CommandPath* path,
           int baseHouse, LogHook log, QObject* parent = nullptr);
    ~Bridge() override;

    // From the settings group [MQTT]: nullptr when the bridge is off (no
    // host) or its password file cannot be used (logged). Starts connecting.
    static std::unique_ptr<Bridge> fromSettings(state::StateTable* table, CommandPath* path,
                                                int baseHouse, const LogHook& log,
                                                QObject* parent = nullptr);

    void start();
    // Publishes offline and ends the connection cleanly; writes out the log
    // lines still held back.
    void stop();

    Client& client() { return *client_; }
    const Settings& settings() const { return settings_; }

    // The payload of B/event for one heard event.
    static QByteArray eventJson(const state::HeardEvent& event);
    // The discovery topic and config of one module.
    QString discoveryTopic(const state::Module& module) const;
    QByteArray discoveryConfig(const state::Module& module) const;

  private:
    void onConnected();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    void publishStatus();
    void publishState(state::Address a);
    void publishDiscovery();
    void ignored(const QString& topic, const QByteArray& payload, const QString& why);
    void received(const QString& command);
    QString topic(const QString& rest) const { return settings_.baseTopic + u'/' + rest; }
    QJsonObject deviceBlock() const;
    void addAvailability(QJsonObject& o) const;

    Settings settings_;
    state::StateTable* table_;
    CommandPath* path_;
    int baseHouse_;
    LogHook log_;
    // Lines about what the broker sent: a flood of junk gives one line per
    // second and reason, with a count.
    platform::LogThrottle throttle_;
    std::unique_ptr<Client> client_;
    QSet<QString> announced_;  // discovery topics published on this connection
};

}  // namespace mqtt
