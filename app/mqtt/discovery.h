#pragma once
// The bridge's Home Assistant discovery: retained configs under
// <prefix>/<component>/<node>/<object>/config, made from a table of entities.
//
// Each module is a device of its own, linked to the bridge's device; the
// bridge's device has a button for "all lights on" and one for "all units
// off" of the base house, and a connectivity sensor that is on while
// B/status is online (connected and the interface answering). With a
// schedule, the bridge's device also has a switch for it and a scene entity
// for each of its scenes; when the file is read again the scene entities
// follow it, those of scenes it no longer names cleared (a refused file keeps
// the ones it names).
//
// Configs of modules that are no longer listed are found by subscribing to
// this node's own configs: a retained config the broker still holds that was
// not announced on this connection gets an empty retained message, which
// removes the entity from the hub, and so do the retained state topics of a
// module it names that is not listed any more. No list is kept on disk, so
// the broker stays the one place that knows what was announced.

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QSet>
#include <QString>

#include "bridgelink.h"
#include "state/statetable.h"

namespace mqtt {

class Discovery {
  public:
    // baseHouse: position 1..16 (A = 1), the house of the two buttons.
    Discovery(Link& link, const state::StateTable* table, int baseHouse);

    // One entity of the hub.
    struct Entity {
        QString component;      // "light", "switch", "button" ...
        QString object;         // last level of the topic; the unique id is node_object
        QJsonValue name;        // null: the entity takes its device's name
        QJsonObject device;     // the module's device or the bridge's
        QJsonObject fields;     // its own keys (topics, payloads, classes)
        bool available = true;  // follows B/status (all but the connectivity sensor)
    };
    Entity moduleEntity(const state::Module& module) const;
    QString topic(const Entity& entity) const;
    QByteArray config(const Entity& entity) const;

    // Every config: the modules', the bridge's own, the schedule's; then
    // asks the broker for the configs of this node it holds.
    void announce();
    // The schedule's switch and scenes; clears the configs of scenes gone
    // since the last announcement.
    void announceSchedule();
    // A message on a config topic of the discovery prefix (false for any
    // other topic): a config of this node not announced on this connection
    // is stale and cleared.
    bool takeConfig(const QString& topic, const QByteArray& payload);
    // The moment the last config of an announcement went out (logical ms of
    // the time base).
    qint64 lastAnnouncedMs() const { return lastAnnouncedMs_; }

  private:
    QList<Entity> ownEntities() const;
    QJsonObject bridgeDevice() const;
    void publish(const Entity& entity);
    void clear(const QString& topic);
    void removeStale(const QString& topic, const QByteArray& config);

    Link& link_;
    const state::StateTable* table_;
    int baseHouse_;
    QString node_;                // the unique node name
    QSet<QString> announced_;     // config topics published on this connection
    QSet<QString> sceneConfigs_;  // of those, the scenes' ones
    qint64 lastAnnouncedMs_ = 0;
};

}  // namespace mqtt
