#pragma once
// The home-automation bridge: publishes the state table and the traffic heard
// on the powerline to an MQTT broker, takes commands from there into the
// command path (the same queue as clicks and command words), and announces
// every module to Home Assistant through retained discovery configs.
//
// Topics (B = BaseTopic, ADDR = "A5"):
//   B/status                 online / offline, retained; the last will says offline
//   B/client                 the client id of the instance that holds B, retained
//   B/ADDR/state             ON / OFF, retained, for every listed module
//                            (motion and door sensors: what they sent last)
//   B/ADDR/brightness        0..100, retained, lamps
//   B/ADDR/event             {"event_type":"on"}, a remote's button heard
//   B/ADDR/set               ON / OFF (any case)
//   B/ADDR/brightness/set    0..100, lamps
//   B/HOUSE/all/set          ALL_LIGHTS_ON / ALL_LIGHTS_OFF / ALL_UNITS_OFF
//   B/event                  one JSON object for each event heard
//   B/schedule/state         ON / OFF, retained: the schedule switched on or off
//   B/schedule/set           ON / OFF (any case)
//   B/scene/NAME/set         ON: runs the schedule's scene NAME
// Nothing else is taken from the broker. Commands that arrive retained are
// stale (someone published them with the retain flag) and are ignored.
//
// On each connect the bridge first reads B/client and B/status: when another
// client id holds B and says online, two instances would act on each other's
// commands, so this one logs an error and leaves the broker.
//
// Each module is a device of its own in Home Assistant, linked to the
// bridge's device; the bridge's device has a connectivity sensor that is on
// while B/status is online (connected and the interface answering). With a
// schedule (setSchedule), the bridge's device also has a switch for it and a
// scene entity for each of its scenes; when the file is read again the scene
// entities follow it, those of removed scenes cleared.
//
// Discovery configs of modules that are no longer listed are found by
// subscribing to this node's own configs: a retained config the broker still
// holds for an address that is not listed any more gets an empty retained
// message, which removes the entity from the hub, and so do the retained
// state topics that config names. No list is kept on disk, so the broker
// stays the one place that knows what was announced. When Home Assistant
// says online on <prefix>/status, everything is announced again.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

#include "logthrottle.h"
#include "mqttclient.h"
#include "mqttsettings.h"
#include "state/statetable.h"

class CommandPath;

namespace core {
class ScheduleRunner;
}

namespace mqtt {

class Bridge : public QObject {
    Q_OBJECT
  public:
    using LogHook = platform::LogHook;

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
    // The schedule the switch and the scene entities stand for; without
    // one the bridge announces neither.
    void setSchedule(core::ScheduleRunner* schedule);
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

    // The moment the last config of an announcement went out (logical ms of
    // the time base), for the figures of a hub's restart.
    qint64 lastAnnouncedMs() const { return lastAnnouncedMs_; }
    // Off the broker because another instance holds the base topic.
    bool refused() const { return phase_ == Phase::Refused; }
    // Connected to the broker now.
    bool isConnected() const { return client_->isConnected(); }

  signals:
    // The connection to the broker came or went (front ends show it).
    void connectionChanged(bool connected);

  private:
    enum class Phase { Probing, Active, Refused };

    void onConnected();
    void activate();
    void publishAll();
    void onHeard(const state::HeardEvent& event);
    void publishSensor(state::Address a, bool on);
    void releaseHolds();
    // A stale config: cleared, with the retained state topics it names.
    void removeStale(const QString& topic, const QByteArray& config);
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    void publishStatus();
    void publishState(state::Address a);
    void publishDiscovery();
    void ignored(const QString& topic, const QByteArray& payload, const QString& why);
    void received(const QString& command);
    QString topic(const QString& rest) const { return settings_.baseTopic + u'/' + rest; }
    QJsonObject deviceBlock() const;
    QJsonObject moduleDevice(const state::Module& m) const;
    void addOrigin(QJsonObject& o) const;
    // Publishes the retained discovery config t of one of the bridge's own
    // entities (its device block added, and its availability, or for the
    // connectivity sensor, which is the status itself, only the origin) and
    // records it as announced.
    void announceBridgeEntity(const QString& t, QJsonObject& o, bool available);
    void addAvailability(QJsonObject& o) const;
    QString probeTopic() const;
    void publishScheduleState();
    // The switch and the scenes; clears the configs of scenes gone since the
    // last announcement.
    void publishScheduleDiscovery();

    Settings settings_;
    state::StateTable* table_;
    CommandPath* path_;
    int baseHouse_;
    LogHook log_;
    // Lines about what the broker sent: a flood of junk gives one line per
    // second and reason, with a count.
    platform::LogThrottle throttle_;
    std::unique_ptr<Client> client_;
    QSet<QString> announced_;     // discovery topics published on this connection
    QSet<QString> sceneConfigs_;  // of those, the scenes' ones
    QPointer<core::ScheduleRunner> schedule_;
    QString uniqueNode_;
    Phase phase_ = Phase::Probing;
    QByteArray holder_;        // B/client as the broker holds it
    QByteArray holderStatus_;  // B/status as the broker holds it
    qint64 lastAnnouncedMs_ = 0;
    // A lamp switched on at a level from off goes to full first and then
    // dims: its state is held back until it reaches the level (or the
    // deadline passes), so the hub does not show full brightness in between.
    struct Hold {
        int level;
        qint64 untilMs;
    };
    QHash<int, Hold> holds_;  // by address index
    QTimer holdTimer_;
    QHash<int, bool> sensors_;       // motion and door sensors: last state sent
    QHash<int, QTimer*> offTimers_;  // motion sensors: OffDelay running
};

}  // namespace mqtt
