#pragma once
// The bridge's Home Assistant discovery: retained configs under
// <prefix>/<component>/<node>/<object>/config, made from a table of entities.
//
// Each module is a device of its own (its X10 address as model_id, its room
// as suggested_area), linked to the bridge's device; the bridge's device has
// a button for "all lights on" and one for "all units off" of the base
// house, a connectivity sensor that is on while B/status is online
// (connected and the interface answering), and diagnostics: the version, the
// interface's link in words and the commands given up in the last hour.
// Sensors and remotes have a "last heard" timestamp (disabled by default), a
// remote's buttons are device triggers as well as events, and a two-way
// module has a "load connected" sensor and is unavailable while it does not
// answer. With the page on, every device links to it (configuration_url).
// With a schedule, the bridge's device also has a switch for it and a scene
// entity for each of its scenes; when the file is read again the scene
// entities follow it, those of scenes it no longer names cleared (a refused file keeps
// the ones it names).
//
// Configs of this node that the broker holds are read before anything is
// announced (subscribe() on connecting, takeConfig() for what comes back):
// one no longer wanted is cleared with an empty retained message, and so are
// the retained state topics of a module it names that is not listed any
// more. When such a config is replaced by another one for the same object
// (a kind changed in [Modules], the node's name of older versions, the light
// schema of older versions), the new configs go out only after a pause in
// which the hub drops the old entities, so the new ones take over their
// entity ids. No list is kept on disk: the broker stays the one place that
// knows what was announced.

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>
#include <utility>

#include "bridgelink.h"
#include "state/statetable.h"

namespace mqtt {

class Discovery {
  public:
    // baseHouse: position 1..16 (A = 1), the house of the two buttons.
    Discovery(Link& link, const state::StateTable* table, int baseHouse);

    // How long replaced configs are given to leave the hub before their
    // successors are announced (logical ms of the time base). The hub
    // removes an entity whose config was cleared in the background; a
    // config for the same object that arrives before it is done is given a
    // new entity id ("light.hall_lamp_2"). A second and a half is several
    // times what a busy hub takes.
    static constexpr qint64 kReplacePauseMs = 1500;

    // One entity of the hub.
    struct Entity {
        Entity(QString component, QString object, QJsonValue name, QJsonObject device,
               QJsonObject fields, bool available = true)
            : component(std::move(component)),
              object(std::move(object)),
              name(std::move(name)),
              device(std::move(device)),
              fields(std::move(fields)),
              available(available) {}
        QString component;      // "light", "switch", "button" ...
        QString object;         // last level of the topic; the unique id is node_object
        QJsonValue name;        // null: the entity takes its device's name
        QJsonObject device;     // the module's device or the bridge's
        QJsonObject fields;     // its own keys (topics, payloads, classes)
        bool available = true;  // follows B/status (all but the bridge's diagnostics)
        // Also follows this topic (a two-way module's B/ADDR/available).
        QString alsoAvailable;
        // A device trigger: no unique id, name, origin nor availability.
        bool trigger = false;
    };
    // Every entity of one module: its own, its diagnostics, its triggers.
    QList<Entity> moduleEntities(const state::Module& module) const;
    QString topic(const Entity& entity) const;
    QByteArray config(const Entity& entity) const;

    // Subscribes to this node's configs (those under the node's name alone
    // are of versions before the hash was added): on connecting, before
    // announce().
    void subscribe();
    // Every config: the modules', the bridge's own, the schedule's. Clears
    // first what the broker holds and is not wanted; after a pause when
    // that replaced anything.
    void announce();
    // The schedule's switch and scenes; clears the configs of scenes gone
    // since the last announcement.
    void announceSchedule();
    // A message on a config topic of the discovery prefix (false for any
    // other topic). Before announce() it is recorded; after it, a config of
    // this node that was not announced is stale and cleared.
    bool takeConfig(const QString& topic, const QByteArray& payload);
    // The moment the last config of an announcement went out (logical ms of
    // the time base).
    qint64 lastAnnouncedMs() const { return lastAnnouncedMs_; }
    // The configs wait for replaced ones to leave the hub.
    bool pausing() const { return pause_.isActive(); }

  private:
    QList<Entity> wanted() const;
    QList<Entity> ownEntities() const;
    QList<Entity> scheduleEntities() const;
    QJsonObject bridgeDevice() const;
    void publishWanted();
    void publish(const Entity& entity);
    void clear(const QString& topic);
    void removeStale(const QString& topic, const QByteArray& config);
    // A scene config the broker holds that stays: the schedule file exists
    // but its scenes are not known (it could never be read).
    bool keepsScene(const QString& topic) const;

    Link& link_;
    const state::StateTable* table_;
    int baseHouse_;
    QString node_;                     // the unique node name
    QHash<QString, QByteArray> held_;  // configs of this node the broker holds
    bool settled_ = false;             // announce() ran on this connection
    QSet<QString> announced_;          // config topics published on this connection
    QSet<QString> sceneConfigs_;       // of those, the scenes' ones
    QTimer pause_;
    qint64 lastAnnouncedMs_ = 0;
};

}  // namespace mqtt
