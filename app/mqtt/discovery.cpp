#include "discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <utility>
#include <vector>

#include "programinfo.h"
#include "schedulerunner.h"
#include "timebase.h"

namespace mqtt {

namespace {

// An entity's own keys. A text value "~/rest" names a topic: below the
// module's topic (B/ADDR/rest) for a module, below the base topic (B/rest)
// for the bridge's own entities.
using Fields = std::vector<std::pair<const char*, QJsonValue>>;

// An entity whose state is ON / OFF on B/ADDR/state, with more keys.
Fields onOff(Fields more) {
    Fields f = {{"state_topic", QStringLiteral("~/state")},
                {"payload_on", QStringLiteral("ON")},
                {"payload_off", QStringLiteral("OFF")}};
    f.insert(f.end(), more.begin(), more.end());
    return f;
}

// How Home Assistant sees each kind of module: the device's model, the
// entity's component, its keys.
struct KindEntity {
    state::Kind kind;
    const char* model;
    const char* component;
    Fields fields;
};

const std::vector<KindEntity>& kindTable() {
    static const std::vector<KindEntity> table = {
        {state::Kind::Lamp, "Lamp module", "light",
         onOff({{"command_topic", QStringLiteral("~/set")},
                {"brightness_command_topic", QStringLiteral("~/brightness/set")},
                {"brightness_state_topic", QStringLiteral("~/brightness")},
                {"brightness_scale", 100},
                // A level is reached from the tracked one; an ON before it
                // would first send the lamp to full brightness.
                {"on_command_type", QStringLiteral("brightness")}})},
        {state::Kind::Appliance, "Appliance module", "switch",
         onOff({{"command_topic", QStringLiteral("~/set")}})},
        {state::Kind::Motion, "Motion sensor", "binary_sensor",
         onOff({{"device_class", QStringLiteral("motion")}})},
        {state::Kind::Sensor, "Door and window sensor", "binary_sensor", onOff({})},
        {state::Kind::Remote,
         "Remote",
         "event",
         {{"state_topic", QStringLiteral("~/event")},
          {"event_types", QJsonArray{QStringLiteral("on"), QStringLiteral("off"),
                                     QStringLiteral("dim"), QStringLiteral("bright")}},
          {"device_class", QStringLiteral("button")}}},
    };
    return table;
}

const KindEntity& kindEntity(state::Kind kind) {
    for (const KindEntity& k : kindTable())
        if (k.kind == kind) return k;
    return kindTable().front();
}

// The connectivity of the interface: B/status itself, which the broker sets
// offline when the bridge dies, so it has no availability.
const Fields kInterface = {{"device_class", QStringLiteral("connectivity")},
                           {"entity_category", QStringLiteral("diagnostic")},
                           {"state_topic", QStringLiteral("~/status")},
                           {"payload_on", QString::fromLatin1(kOnline)},
                           {"payload_off", QString::fromLatin1(kOffline)}};

const Fields kScheduleSwitch = {{"icon", QStringLiteral("mdi:calendar-clock")},
                                {"command_topic", QStringLiteral("~/schedule/set")},
                                {"state_topic", QStringLiteral("~/schedule/state")},
                                {"payload_on", QStringLiteral("ON")},
                                {"payload_off", QStringLiteral("OFF")}};

QJsonObject expanded(const Fields& fields, const QString& topicBase) {
    QJsonObject o;
    for (const auto& [key, value] : fields) {
        const QString text = value.toString();
        o.insert(QLatin1String(key), text.startsWith(QStringLiteral("~/"))
                                         ? QJsonValue(topicBase + text.mid(1))
                                         : value);
    }
    return o;
}

QString versionText() {
    return QStringLiteral("%1.%2.%3")
        .arg(programinfo::kVersionMajor)
        .arg(programinfo::kVersionMinor)
        .arg(programinfo::kVersionPatch);
}

// A scene's name as a discovery object id takes only letters, digits, "_"
// and "-": "_" is written "__" and "." "_d", so two names never meet.
QString sceneObjectId(const QString& name) {
    QString id = QStringLiteral("scene_");
    for (QChar c : name) {
        if (c == u'_')
            id += QStringLiteral("__");
        else if (c == u'.')
            id += QStringLiteral("_d");
        else
            id += c;
    }
    return id;
}

}  // namespace

Discovery::Discovery(Link& link, const state::StateTable* table, int baseHouse)
    : link_(link), table_(table), baseHouse_(baseHouse), node_(link.settings.uniqueNode()) {}

Discovery::Entity Discovery::moduleEntity(const state::Module& m) const {
    const KindEntity& kind = kindEntity(m.kind);
    const QString addr = m.address.text();
    QJsonObject device;
    device.insert(QStringLiteral("identifiers"), QJsonArray{node_ + u'_' + addr});
    device.insert(QStringLiteral("name"), m.name.isEmpty() ? addr : m.name);
    device.insert(QStringLiteral("model"), QString::fromLatin1(kind.model));
    device.insert(QStringLiteral("via_device"), node_);
    return {QString::fromLatin1(kind.component),      addr, QJsonValue::Null, device,
            expanded(kind.fields, link_.topic(addr)), true};
}

QJsonObject Discovery::bridgeDevice() const {
    QJsonObject d;
    d.insert(QStringLiteral("identifiers"), QJsonArray{node_});
    d.insert(QStringLiteral("name"), link_.settings.device());
    d.insert(QStringLiteral("manufacturer"), programinfo::kTitle);
    d.insert(QStringLiteral("model"), programinfo::kTitle);
    d.insert(QStringLiteral("sw_version"), versionText());
    return d;
}

// The two buttons of the base house and the connectivity sensor.
QList<Discovery::Entity> Discovery::ownEntities() const {
    const QString base = link_.settings.baseTopic;
    const QString house = state::Address{baseHouse_, 0}.text();
    QList<Entity> out;
    for (const x10::Function f : {x10::AllLightsOn, x10::AllUnitsOff}) {
        const QString payload = payloadName(f);
        const Fields fields = {{"command_topic", QStringLiteral("~/%1/all/set").arg(house)},
                               {"payload_press", payload}};
        out.append({QStringLiteral("button"), house + u'_' + payload.toLower(),
                    house + u' ' + x10::functionName(f).toLower(), bridgeDevice(),
                    expanded(fields, base), true});
    }
    out.append({QStringLiteral("binary_sensor"), QStringLiteral("interface"),
                QStringLiteral("Interface"), bridgeDevice(), expanded(kInterface, base), false});
    return out;
}

QString Discovery::topic(const Entity& e) const {
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(link_.settings.discoveryPrefix, e.component, node_, e.object);
}

QByteArray Discovery::config(const Entity& e) const {
    QJsonObject o = e.fields;
    o.insert(QStringLiteral("name"), e.name);
    o.insert(QStringLiteral("unique_id"), node_ + u'_' + e.object);
    o.insert(QStringLiteral("device"), e.device);
    if (e.available) {
        o.insert(QStringLiteral("availability_topic"), link_.topic(QStringLiteral("status")));
        o.insert(QStringLiteral("payload_available"), QString::fromLatin1(kOnline));
        o.insert(QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline));
    }
    QJsonObject origin;
    origin.insert(QStringLiteral("name"), programinfo::kTitle);
    origin.insert(QStringLiteral("sw"), versionText());
    origin.insert(QStringLiteral("url"), programinfo::kUrl);
    o.insert(QStringLiteral("origin"), origin);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void Discovery::publish(const Entity& e) {
    const QString t = topic(e);
    announced_.insert(t);
    link_.publish(t, config(e), true);
}

void Discovery::announce() {
    announced_.clear();
    for (const state::Module& m : table_->modules().modules()) publish(moduleEntity(m));
    for (const Entity& e : ownEntities()) publish(e);
    sceneConfigs_.clear();
    announceSchedule();
    lastAnnouncedMs_ = platform::TimeBase::global().nowMs();
    // The broker answers with every config of this node it still holds;
    // takeConfig clears those not announced above. The configs under the
    // node's name alone are those of versions before the hash was added.
    const QString prefix = link_.settings.discoveryPrefix;
    link_.client.subscribe(QStringLiteral("%1/+/%2/+/config").arg(prefix, node_));
    link_.client.subscribe(QStringLiteral("%1/+/%2/+/config").arg(prefix, link_.settings.node()));
}

void Discovery::announceSchedule() {
    if (!link_.schedule) return;
    const QString base = link_.settings.baseTopic;
    publish({QStringLiteral("switch"), QStringLiteral("schedule"), QStringLiteral("Schedule"),
             bridgeDevice(), expanded(kScheduleSwitch, base), true});
    QSet<QString> now;
    // Also the scenes of a refused file: their entities (and what the hub's
    // users made of them) stay while the file is being fixed.
    for (const QString& name : link_.schedule->sceneNames()) {
        const Fields fields = {{"command_topic", QStringLiteral("~/scene/%1/set").arg(name)},
                               {"payload_on", QStringLiteral("ON")}};
        const Entity e{QStringLiteral("scene"), sceneObjectId(name),    name,
                       bridgeDevice(),          expanded(fields, base), true};
        now.insert(topic(e));
        publish(e);
    }
    // Scenes the file no longer names since the last announcement.
    for (const QString& t : std::as_const(sceneConfigs_)) {
        if (now.contains(t)) continue;
        announced_.remove(t);
        clear(t);
    }
    sceneConfigs_ = now;
}

void Discovery::clear(const QString& t) {
    link_.publish(t, QByteArray(), true);
    link_.throttle.log(QStringLiteral("mqtt-removed"),
                       QStringLiteral("MQTT: removed the discovery config ") + t);
}

bool Discovery::takeConfig(const QString& t, const QByteArray& payload) {
    if (!t.startsWith(link_.settings.discoveryPrefix + u'/') ||
        !t.endsWith(QStringLiteral("/config")))
        return false;
    if (link_.settings.discovery && !payload.isEmpty() && !announced_.contains(t))
        removeStale(t, payload);
    return true;
}

// A stale config: cleared, with the retained topics of a module taken out
// of the list; not those of a module that is still listed under another kind.
void Discovery::removeStale(const QString& t, const QByteArray& config) {
    clear(t);
    const QJsonObject o = QJsonDocument::fromJson(config).object();
    const QString base = link_.settings.baseTopic + u'/';
    for (const char* key : {"state_topic", "brightness_state_topic"}) {
        const QString st = o.value(QLatin1String(key)).toString();
        if (!st.startsWith(base)) continue;
        const QStringList parts = st.mid(base.size()).split(u'/');
        const std::optional<state::Address> a = state::parseModule(parts.value(0));
        if (!a || a->unit == 0 || table_->modules().find(*a)) continue;
        if (parts.size() == 2 && (parts[1] == u"state" || parts[1] == u"brightness"))
            link_.publish(st, QByteArray(), true);
    }
}

}  // namespace mqtt
