#include "discovery.h"

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
        // State and level in one JSON message ({"state":"ON","brightness":40}),
        // commands the same way on B/ADDR/set.
        {state::Kind::Lamp,
         "Lamp module",
         "light",
         {{"schema", QStringLiteral("json")},
          {"command_topic", QStringLiteral("~/set")},
          {"state_topic", QStringLiteral("~/state")},
          {"supported_color_modes", QJsonArray{QStringLiteral("brightness")}},
          {"brightness_scale", 100}}},
        {state::Kind::Appliance, "Appliance module", "switch",
         onOff({{"command_topic", QStringLiteral("~/set")}})},
        {state::Kind::Motion, "Motion sensor", "binary_sensor",
         onOff({{"device_class", QStringLiteral("motion")}})},
        // The device class (door or window) follows the module's option.
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

// The manufacturer of every module's device: the modules are of many makes
// and none is known, so it names what they are.
const QString kManufacturer = QStringLiteral("X10 powerline module");

// A remote's buttons as device triggers: the button (the event type on
// B/ADDR/event) and the subtype the hub names it by.
const std::vector<std::pair<const char*, const char*>> kRemoteButtons = {
    {"on", "turn_on"}, {"off", "turn_off"}, {"dim", "dim_down"}, {"bright", "dim_up"}};

const Fields kLastHeard = {{"state_topic", QStringLiteral("~/heard")},
                           {"device_class", QStringLiteral("timestamp")},
                           {"entity_category", QStringLiteral("diagnostic")},
                           {"enabled_by_default", false}};

const Fields kLoad = {{"state_topic", QStringLiteral("~/load")},
                      {"payload_on", QStringLiteral("ON")},
                      {"payload_off", QStringLiteral("OFF")},
                      {"entity_category", QStringLiteral("diagnostic")}};

// The connectivity of the interface: B/status itself, which the broker sets
// offline when the bridge dies, so it has no availability.
const Fields kInterface = {{"device_class", QStringLiteral("connectivity")},
                           {"entity_category", QStringLiteral("diagnostic")},
                           {"state_topic", QStringLiteral("~/status")},
                           {"payload_on", QString::fromLatin1(kOnline)},
                           {"payload_off", QString::fromLatin1(kOffline)}};

// The bridge's diagnostics stay available while the interface is away
// (B/status offline): that is when they matter.
const Fields kVersion = {{"state_topic", QStringLiteral("~/version")},
                         {"entity_category", QStringLiteral("diagnostic")},
                         {"icon", QStringLiteral("mdi:information-outline")}};

const Fields kLink = {
    {"state_topic", QStringLiteral("~/interface")},
    {"device_class", QStringLiteral("enum")},
    {"options", QJsonArray{QStringLiteral("found"), QStringLiteral("not found"),
                           QStringLiteral("lost"), QStringLiteral("not answering")}},
    {"entity_category", QStringLiteral("diagnostic")}};

const Fields kGivenUp = {{"state_topic", QStringLiteral("~/given_up")},
                         {"state_class", QStringLiteral("measurement")},
                         {"entity_category", QStringLiteral("diagnostic")},
                         {"icon", QStringLiteral("mdi:alert-circle-outline")}};

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

// The object of a config topic (<prefix>/<component>/<node>/<object>/config).
QString objectOf(const QString& topic) {
    const QStringList parts = topic.split(u'/');
    return parts.value(parts.size() - 2);
}

// A config at the same topic that stands for another entity: another unique
// id, or another light schema (the hub keeps an entity's schema until it is
// removed).
bool replaces(const QByteArray& held, const QByteArray& wanted) {
    const QJsonObject a = QJsonDocument::fromJson(held).object();
    const QJsonObject b = QJsonDocument::fromJson(wanted).object();
    for (const char* key : {"unique_id", "schema", "automation_type"})
        if (a.value(QLatin1String(key)) != b.value(QLatin1String(key))) return true;
    return false;
}

}  // namespace

Discovery::Discovery(Link& link, const state::StateTable* table, int baseHouse)
    : link_(link), table_(table), baseHouse_(baseHouse), node_(link.settings.uniqueNode()) {
    pause_.setSingleShot(true);
    QObject::connect(&pause_, &QTimer::timeout, [this] { publishWanted(); });
}

QList<Discovery::Entity> Discovery::moduleEntities(const state::Module& m) const {
    const KindEntity& kind = kindEntity(m.kind);
    const QString addr = m.address.text();
    const QString base = link_.topic(addr);
    QJsonObject device;
    device.insert(QStringLiteral("identifiers"), QJsonArray{node_ + u'_' + addr});
    device.insert(QStringLiteral("name"), m.name.isEmpty() ? addr : m.name);
    device.insert(QStringLiteral("model"), QString::fromLatin1(kind.model));
    device.insert(QStringLiteral("model_id"), addr);
    device.insert(QStringLiteral("manufacturer"), kManufacturer);
    device.insert(QStringLiteral("via_device"), node_);
    if (!m.room.isEmpty()) device.insert(QStringLiteral("suggested_area"), m.room);
    if (!link_.pageUrl.isEmpty()) device.insert(QStringLiteral("configuration_url"), link_.pageUrl);

    Entity main{QString::fromLatin1(kind.component), addr, QJsonValue::Null, device,
                expanded(kind.fields, base)};
    if (m.kind == state::Kind::Sensor)
        main.fields.insert(QStringLiteral("device_class"),
                           m.window ? QStringLiteral("window") : QStringLiteral("door"));
    const bool answers =
        m.twoWay && (m.kind == state::Kind::Lamp || m.kind == state::Kind::Appliance);
    if (answers) main.alsoAvailable = base + QStringLiteral("/available");
    QList<Entity> out{main};
    if (answers)
        out.append({QStringLiteral("binary_sensor"), addr + QStringLiteral("_load"),
                    QStringLiteral("Load connected"), device, expanded(kLoad, base)});
    if (m.kind == state::Kind::Motion || m.kind == state::Kind::Sensor ||
        m.kind == state::Kind::Remote)
        out.append({QStringLiteral("sensor"), addr + QStringLiteral("_heard"),
                    QStringLiteral("Last heard"), device, expanded(kLastHeard, base)});
    if (m.kind == state::Kind::Remote) {
        for (const auto& [button, subtype] : kRemoteButtons) {
            QJsonObject f;
            f.insert(QStringLiteral("automation_type"), QStringLiteral("trigger"));
            f.insert(QStringLiteral("topic"), base + QStringLiteral("/event"));
            f.insert(QStringLiteral("type"), QStringLiteral("button_short_press"));
            f.insert(QStringLiteral("subtype"), QLatin1String(subtype));
            f.insert(QStringLiteral("value_template"),
                     QStringLiteral("{{ value_json.event_type }}"));
            f.insert(QStringLiteral("payload"), QLatin1String(button));
            Entity e{QStringLiteral("device_automation"),
                     addr + u'_' + QLatin1String(button),
                     QJsonValue::Null,
                     device,
                     f,
                     false};
            e.trigger = true;
            out.append(e);
        }
    }
    return out;
}

QJsonObject Discovery::bridgeDevice() const {
    QJsonObject d;
    d.insert(QStringLiteral("identifiers"), QJsonArray{node_});
    d.insert(QStringLiteral("name"), link_.settings.device());
    d.insert(QStringLiteral("manufacturer"), programinfo::kTitle);
    d.insert(QStringLiteral("model"), programinfo::kTitle);
    d.insert(QStringLiteral("sw_version"), versionText());
    if (!link_.pageUrl.isEmpty()) d.insert(QStringLiteral("configuration_url"), link_.pageUrl);
    return d;
}

// The two buttons of the base house, the connectivity sensor and the
// bridge's diagnostics.
QList<Discovery::Entity> Discovery::ownEntities() const {
    const QString base = link_.settings.baseTopic;
    const QString house = state::Address{baseHouse_, 0}.text();
    const QJsonObject device = bridgeDevice();
    QList<Entity> out;
    for (const x10::Function f : {x10::AllLightsOn, x10::AllUnitsOff}) {
        const QString payload = payloadName(f);
        const Fields fields = {{"command_topic", QStringLiteral("~/%1/all/set").arg(house)},
                               {"payload_press", payload}};
        out.append({QStringLiteral("button"), house + u'_' + payload.toLower(),
                    house + u' ' + x10::functionName(f).toLower(), device, expanded(fields, base),
                    true});
    }
    out.append({QStringLiteral("binary_sensor"), QStringLiteral("interface"),
                QStringLiteral("Interface"), device, expanded(kInterface, base), false});
    out.append({QStringLiteral("sensor"), QStringLiteral("interface_link"),
                QStringLiteral("Interface link"), device, expanded(kLink, base), false});
    out.append({QStringLiteral("sensor"), QStringLiteral("version"), QStringLiteral("Version"),
                device, expanded(kVersion, base), false});
    out.append({QStringLiteral("sensor"), QStringLiteral("given_up"),
                QStringLiteral("Commands given up in the last hour"), device,
                expanded(kGivenUp, base), false});
    return out;
}

QList<Discovery::Entity> Discovery::scheduleEntities() const {
    QList<Entity> out;
    if (!link_.schedule) return out;
    const QString base = link_.settings.baseTopic;
    out.append({QStringLiteral("switch"), QStringLiteral("schedule"), QStringLiteral("Schedule"),
                bridgeDevice(), expanded(kScheduleSwitch, base), true});
    // Also the scenes of a refused file: their entities (and what the hub's
    // users made of them) stay while the file is being fixed.
    for (const QString& name : link_.schedule->sceneNames()) {
        const Fields fields = {{"command_topic", QStringLiteral("~/scene/%1/set").arg(name)},
                               {"payload_on", QStringLiteral("ON")}};
        out.append({QStringLiteral("scene"), sceneObjectId(name), name, bridgeDevice(),
                    expanded(fields, base), true});
    }
    return out;
}

QList<Discovery::Entity> Discovery::wanted() const {
    QList<Entity> out;
    for (const state::Module& m : table_->modules().modules()) out += moduleEntities(m);
    out += ownEntities();
    out += scheduleEntities();
    return out;
}

QString Discovery::topic(const Entity& e) const {
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(link_.settings.discoveryPrefix, e.component, node_, e.object);
}

QByteArray Discovery::config(const Entity& e) const {
    QJsonObject o = e.fields;
    o.insert(QStringLiteral("device"), e.device);
    if (e.trigger) return QJsonDocument(o).toJson(QJsonDocument::Compact);
    o.insert(QStringLiteral("name"), e.name);
    o.insert(QStringLiteral("unique_id"), node_ + u'_' + e.object);
    const QString status = link_.topic(QStringLiteral("status"));
    if (e.available && !e.alsoAvailable.isEmpty()) {
        // Available while the bridge is and the module answers.
        QJsonArray list;
        for (const QString& t : {status, e.alsoAvailable}) {
            QJsonObject a;
            a.insert(QStringLiteral("topic"), t);
            a.insert(QStringLiteral("payload_available"), QString::fromLatin1(kOnline));
            a.insert(QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline));
            list.append(a);
        }
        o.insert(QStringLiteral("availability"), list);
        o.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
    } else if (e.available) {
        o.insert(QStringLiteral("availability_topic"), status);
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

void Discovery::subscribe() {
    held_.clear();
    announced_.clear();
    settled_ = false;
    pause_.stop();
    const QString prefix = link_.settings.discoveryPrefix;
    link_.client.subscribe(QStringLiteral("%1/+/%2/+/config").arg(prefix, node_));
    link_.client.subscribe(QStringLiteral("%1/+/%2/+/config").arg(prefix, link_.settings.node()));
}

void Discovery::announce() {
    // Replaced configs are still leaving the hub: everything goes out when
    // the pause ends.
    if (pause_.isActive()) return;
    QHash<QString, QByteArray> want;
    QSet<QString> objects;
    for (const Entity& e : wanted()) {
        want.insert(topic(e), config(e));
        objects.insert(e.object);
    }
    // What the broker holds and is not wanted as it is goes first.
    bool replaced = false;
    const QHash<QString, QByteArray> held = held_;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        const auto w = want.constFind(it.key());
        const bool gone = w == want.cend();
        if (gone && keepsScene(it.key())) continue;
        if (!gone && !replaces(*it, *w)) continue;
        replaced = replaced || !gone || objects.contains(objectOf(it.key()));
        held_.remove(it.key());
        removeStale(it.key(), *it);
    }
    settled_ = true;
    if (!replaced) return publishWanted();
    link_.line(QStringLiteral("MQTT: replaced entities cleared in Home Assistant; their "
                              "successors follow in %1 s")
                   .arg(double(kReplacePauseMs) / 1000.0));
    platform::TimeBase::global().startTimer(pause_, kReplacePauseMs);
}

void Discovery::publishWanted() {
    pause_.stop();
    if (!link_.live()) return;
    announced_.clear();
    for (const state::Module& m : table_->modules().modules())
        for (const Entity& e : moduleEntities(m)) publish(e);
    for (const Entity& e : ownEntities()) publish(e);
    sceneConfigs_.clear();
    announceSchedule();
    lastAnnouncedMs_ = platform::TimeBase::global().nowMs();
}

void Discovery::announceSchedule() {
    // Replaced configs are still leaving the hub: publishWanted() announces
    // the schedule's when the pause ends.
    if (!link_.schedule || pause_.isActive()) return;
    QSet<QString> now;
    for (const Entity& e : scheduleEntities()) {
        publish(e);
        if (e.component == u"scene") now.insert(topic(e));
    }
    // Scenes of a file that cannot be read stay as the broker holds them
    // until the file says which are gone.
    for (auto it = held_.cbegin(); it != held_.cend(); ++it)
        if (keepsScene(it.key())) now.insert(it.key());
    // Scenes the file no longer names since the last announcement.
    for (const QString& t : std::as_const(sceneConfigs_)) {
        if (now.contains(t)) continue;
        announced_.remove(t);
        clear(t);
    }
    sceneConfigs_ = now;
}

bool Discovery::keepsScene(const QString& t) const {
    if (!link_.schedule || link_.schedule->scenesKnown()) return false;
    // prefix/scene/NODE/OBJECT/config
    const QStringList parts = t.split(u'/');
    const qsizetype n = parts.size();
    return n >= 5 && parts[n - 4] == u"scene" && parts[n - 3] == node_;
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
    if (!link_.settings.discovery) return true;
    if (payload.isEmpty()) {
        held_.remove(t);
        return true;
    }
    held_.insert(t, payload);
    if (settled_ && !announced_.contains(t) && !pause_.isActive() && !keepsScene(t)) {
        held_.remove(t);
        removeStale(t, payload);
    }
    return true;
}

// A config that goes: cleared, with the retained topics of a module taken
// out of the list (not those of a module that is still listed under another
// kind), and the level topic of the lamps of older versions, which carry
// their level in their state now.
void Discovery::removeStale(const QString& t, const QByteArray& config) {
    clear(t);
    const QJsonObject o = QJsonDocument::fromJson(config).object();
    QStringList topics;
    for (const char* key : {"state_topic", "brightness_state_topic"})
        topics << o.value(QLatin1String(key)).toString();
    for (const QJsonValue& a : o.value(QStringLiteral("availability")).toArray())
        topics << a.toObject().value(QStringLiteral("topic")).toString();
    const QString base = link_.settings.baseTopic + u'/';
    static const QStringList kModuleTopics = {QStringLiteral("state"), QStringLiteral("brightness"),
                                              QStringLiteral("heard"), QStringLiteral("load"),
                                              QStringLiteral("available")};
    for (const QString& st : std::as_const(topics)) {
        if (!st.startsWith(base)) continue;
        const QStringList parts = st.mid(base.size()).split(u'/');
        const std::optional<state::Address> a = state::parseModule(parts.value(0));
        if (!a || a->unit == 0 || parts.size() != 2 || !kModuleTopics.contains(parts[1])) continue;
        if (parts[1] == u"brightness" || !table_->modules().find(*a))
            link_.publish(st, QByteArray(), true);
    }
}

}  // namespace mqtt
