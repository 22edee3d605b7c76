#include "mqttbridge.h"

#include <QJsonArray>
#include <QJsonDocument>

#include "commandpath.h"
#include "programinfo.h"
#include "schedulerunner.h"
#include "timebase.h"
#include "x10.h"

namespace mqtt {

namespace {

const QByteArray kOnline = "online";
const QByteArray kOffline = "offline";

namespace x10 = veldrin::x10;

// A function as the bridge names it: the event log's name, blanks as "_"
// ("ALL_LIGHTS_ON").
QString payloadName(int function) {
    return x10::functionName(function).replace(u' ', u'_');
}

// The house function (ALL LIGHTS ON, ALL LIGHTS OFF, ALL UNITS OFF) a
// payload names exactly, upper case; nothing for any other payload.
std::optional<x10::Function> houseFunctionOf(const QByteArray& word) {
    for (int f = 0; f < x10::kFunctionCount; ++f)
        if (x10::isHouseFunction(f) && word == payloadName(f).toLatin1())
            return static_cast<x10::Function>(f);
    return std::nullopt;
}

// How long a lamp's state may be held back while it goes from full to its
// level: the longest DIM sequence takes a few seconds on the line.
constexpr qint64 kHoldMs = 15000;

bool isSensor(state::Kind k) {
    return k == state::Kind::Motion || k == state::Kind::Sensor;
}

QString versionText() {
    return QStringLiteral("%1.%2.%3")
        .arg(programinfo::kVersionMajor)
        .arg(programinfo::kVersionMinor)
        .arg(programinfo::kVersionPatch);
}

// A payload as a log line shows it: printable, short.
QString shown(const QByteArray& payload) {
    QString s;
    for (char c : payload.left(40)) s += (c >= 0x20 && c < 0x7f) ? QChar(c) : QChar(u'?');
    if (payload.size() > 40) s += QStringLiteral("...");
    return s;
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

Bridge::Bridge(Settings settings, QString password, state::StateTable* table, CommandPath* path,
               int baseHouse, LogHook log, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      table_(table),
      path_(path),
      baseHouse_(baseHouse),
      log_(std::move(log)),
      throttle_([this](const QString& line) {
          if (log_) log_(line);
      }) {
    ConnectOptions o;
    o.host = settings_.host;
    o.port = settings_.port;
    o.user = settings_.user;
    o.password = std::move(password);
    o.tls = settings_.tls;
    o.caFile = settings_.caFile;
    o.clientId = settings_.clientId;
    o.willTopic = topic(QStringLiteral("status"));
    o.willPayload = kOffline;
    o.willRetain = true;
    uniqueNode_ = settings_.uniqueNode();
    client_ = std::make_unique<Client>(std::move(o), log_);
    connect(client_.get(), &Client::connected, this, &Bridge::onConnected);
    connect(client_.get(), &Client::connected, this, [this] { emit connectionChanged(true); });
    connect(client_.get(), &Client::disconnected, this, [this] { emit connectionChanged(false); });
    connect(client_.get(), &Client::message, this, &Bridge::onMessage);
    connect(table_, &state::StateTable::changed, this, &Bridge::publishState);
    connect(table_, &state::StateTable::heard, this, &Bridge::onHeard);
    holdTimer_.setSingleShot(true);
    connect(&holdTimer_, &QTimer::timeout, this, &Bridge::releaseHolds);
    connect(path_, &CommandPath::interfaceReadyChanged, this, [this] { publishStatus(); });
}

Bridge::~Bridge() {
    stop();
}

std::unique_ptr<Bridge> Bridge::fromSettings(state::StateTable* table, CommandPath* path,
                                             int baseHouse, const LogHook& log, QObject* parent) {
    std::optional<Settings> s = Settings::read(log);
    if (!s) return nullptr;
    QString password;
    if (!s->passwordFile.isEmpty()) {
        QString error;
        std::optional<QString> p = readPasswordFile(s->passwordFile, &error);
        if (!p) {
            if (log)
                log(QStringLiteral("MQTT: ") + error + QStringLiteral("; the bridge stays off"),
                    platform::LogLevel::Error);
            return nullptr;
        }
        password = *p;
    }
    auto bridge = std::make_unique<Bridge>(std::move(*s), std::move(password), table, path,
                                           baseHouse, log, parent);
    bridge->start();
    return bridge;
}

void Bridge::start() {
    client_->start();
}

void Bridge::setSchedule(core::ScheduleRunner* schedule) {
    if (schedule_) disconnect(schedule_, nullptr, this, nullptr);
    schedule_ = schedule;
    if (!schedule_) return;
    connect(schedule_, &core::ScheduleRunner::enabledChanged, this, &Bridge::publishScheduleState);
    connect(schedule_, &core::ScheduleRunner::reloaded, this, [this] {
        if (phase_ == Phase::Active && settings_.discovery) publishScheduleDiscovery();
    });
    if (phase_ != Phase::Active) return;
    publishScheduleState();
    if (settings_.discovery) publishScheduleDiscovery();
}

void Bridge::stop() {
    if (client_->isConnected() && phase_ == Phase::Active)
        client_->publish(topic(QStringLiteral("status")), kOffline, true);
    client_->stop();
    throttle_.flush();
}

QString Bridge::probeTopic() const {
    return topic(QStringLiteral("probe/") + uniqueNode_);
}

// First who holds the base topic: the broker hands out the retained B/client
// and B/status on subscribing, before the probe sent after them comes back.
void Bridge::onConnected() {
    phase_ = Phase::Probing;
    holder_.clear();
    holderStatus_.clear();
    client_->subscribe(topic(QStringLiteral("client")));
    client_->subscribe(topic(QStringLiteral("status")));
    client_->subscribe(probeTopic());
    client_->publish(probeTopic(), settings_.clientId.toUtf8(), false);
}

void Bridge::activate() {
    const QByteArray self = settings_.clientId.toUtf8();
    if (!holder_.isEmpty() && holder_ != self && holderStatus_ == kOnline) {
        phase_ = Phase::Refused;
        if (log_)
            log_(QStringLiteral("MQTT: the base topic %1 is in use by client %2; the bridge "
                                "stays off the broker")
                     .arg(settings_.baseTopic, shown(holder_)),
                 platform::LogLevel::Error);
        client_->stop();
        return;
    }
    phase_ = Phase::Active;
    client_->publish(topic(QStringLiteral("client")), self, true);
    client_->subscribe(topic(QStringLiteral("+/set")));
    client_->subscribe(topic(QStringLiteral("+/brightness/set")));
    client_->subscribe(topic(QStringLiteral("+/all/set")));
    // B/schedule/set comes through +/set.
    client_->subscribe(topic(QStringLiteral("scene/+/set")));
    if (settings_.discovery)
        client_->subscribe(settings_.discoveryPrefix + QStringLiteral("/status"));
    publishAll();
}

void Bridge::publishAll() {
    publishStatus();
    publishScheduleState();
    if (settings_.discovery) publishDiscovery();
    for (const state::Module& m : table_->modules().modules()) {
        if (isSensor(m.kind)) {
            const auto s = sensors_.constFind(state::indexOf(m.address));
            if (s != sensors_.constEnd()) publishSensor(m.address, *s);
        } else {
            publishState(m.address);
        }
    }
}

void Bridge::publishStatus() {
    if (phase_ != Phase::Active) return;
    const bool online = client_->isConnected() && path_->interfaceReady();
    client_->publish(topic(QStringLiteral("status")), online ? kOnline : kOffline, true);
}

void Bridge::publishScheduleState() {
    if (!schedule_ || !client_->isConnected() || phase_ != Phase::Active) return;
    client_->publish(topic(QStringLiteral("schedule/state")), schedule_->enabled() ? "ON" : "OFF",
                     true);
}

void Bridge::publishState(state::Address a) {
    if (!client_->isConnected() || phase_ != Phase::Active) return;
    const state::Module* m = table_->modules().find(a);
    if (!m || (m->kind != state::Kind::Lamp && m->kind != state::Kind::Appliance)) return;
    const state::ModuleState& s = table_->state(a);
    if (s.power == state::Power::Unknown) return;
    const auto hold = holds_.constFind(state::indexOf(a));
    if (hold != holds_.constEnd()) {
        const bool between = s.power == state::Power::On && s.level != hold->level;
        if (between && platform::TimeBase::global().nowMs() < hold->untilMs) return;
        holds_.erase(hold);
    }
    const bool on = s.power == state::Power::On;
    client_->publish(topic(a.text() + QStringLiteral("/state")), on ? "ON" : "OFF", true);
    if (m->kind != state::Kind::Lamp) return;
    const int level = on ? s.level : 0;
    if (level >= 0)
        client_->publish(topic(a.text() + QStringLiteral("/brightness")), QByteArray::number(level),
                         true);
}

QByteArray Bridge::eventJson(const state::HeardEvent& e) {
    QJsonObject o;
    if (e.function == x10::MacroReport) {
        o.insert(QStringLiteral("function"), QStringLiteral("MACRO"));
        o.insert(QStringLiteral("macro"), e.macro);
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
    if (e.house >= 1 && e.house <= 16)
        o.insert(QStringLiteral("house"), state::Address{e.house, 0}.text());
    QJsonArray units;
    for (int u : e.units) units.append(u);
    o.insert(QStringLiteral("units"), units);
    // A function is named as the event log names it, blanks as "_".
    if (e.function >= 0 && e.function < x10::kFunctionCount)
        o.insert(QStringLiteral("function"), payloadName(e.function));
    if (e.amount >= 0) o.insert(QStringLiteral("amount"), e.amount);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Heard traffic: motion and door sensors move their binary sensors, a
// remote's buttons become events of its own; everything also goes to B/event.
void Bridge::onHeard(const state::HeardEvent& e) {
    if (phase_ != Phase::Active) return;
    client_->publish(topic(QStringLiteral("event")), eventJson(e), false);
    if (e.house < 1 || e.house > 16) return;
    const bool onOff = e.function == x10::On || e.function == x10::Off;
    const bool dims = e.function == x10::Dim || e.function == x10::Bright;
    if (!onOff && !dims) return;
    for (int u : e.units) {
        const state::Address a{e.house, u};
        const state::Module* m = table_->modules().find(a);
        if (!m) continue;
        if (m->kind == state::Kind::Remote) {
            QJsonObject o;
            o.insert(QStringLiteral("event_type"), payloadName(e.function).toLower());
            if (e.amount >= 0) o.insert(QStringLiteral("amount"), e.amount);
            client_->publish(topic(a.text() + QStringLiteral("/event")),
                             QJsonDocument(o).toJson(QJsonDocument::Compact), false);
            continue;
        }
        if (!isSensor(m->kind) || !onOff) continue;
        const bool on = e.function == x10::On;
        const int index = state::indexOf(a);
        sensors_[index] = on;
        publishSensor(a, on);
        QTimer* t = offTimers_.value(index);
        if (!on || m->kind != state::Kind::Motion || settings_.offDelaySeconds <= 0) {
            if (t) t->stop();
            continue;
        }
        if (!t) {
            t = new QTimer(this);
            t->setSingleShot(true);
            connect(t, &QTimer::timeout, this, [this, a, index] {
                sensors_[index] = false;
                publishSensor(a, false);
            });
            offTimers_.insert(index, t);
        }
        platform::TimeBase::global().startTimer(*t, qint64(settings_.offDelaySeconds) * 1000);
    }
}

void Bridge::publishSensor(state::Address a, bool on) {
    if (!client_->isConnected() || phase_ != Phase::Active) return;
    client_->publish(topic(a.text() + QStringLiteral("/state")), on ? "ON" : "OFF", true);
}

void Bridge::releaseHolds() {
    const qint64 now = platform::TimeBase::global().nowMs();
    qint64 next = -1;
    QList<int> due;
    for (auto it = holds_.cbegin(); it != holds_.cend(); ++it) {
        if (it->untilMs <= now)
            due << it.key();
        else if (next < 0 || it->untilMs < next)
            next = it->untilMs;
    }
    for (int index : due) {
        holds_.remove(index);
        publishState(state::addressAt(index));
    }
    if (next >= 0) platform::TimeBase::global().startTimer(holdTimer_, next - now);
}

QJsonObject Bridge::deviceBlock() const {
    QJsonObject d;
    d.insert(QStringLiteral("identifiers"), QJsonArray{uniqueNode_});
    d.insert(QStringLiteral("name"), settings_.device());
    d.insert(QStringLiteral("manufacturer"), programinfo::kTitle);
    d.insert(QStringLiteral("model"), programinfo::kTitle);
    d.insert(QStringLiteral("sw_version"), versionText());
    return d;
}

namespace {
// How Home Assistant sees each kind of module: the device's model and the
// entity's component.
struct KindView {
    const char* model;
    const char* component;
};
KindView kindView(state::Kind kind) {
    switch (kind) {
        case state::Kind::Lamp:
            return {"Lamp module", "light"};
        case state::Kind::Appliance:
            return {"Appliance module", "switch"};
        case state::Kind::Motion:
            return {"Motion sensor", "binary_sensor"};
        case state::Kind::Sensor:
            return {"Door and window sensor", "binary_sensor"};
        case state::Kind::Remote:
            return {"Remote", "event"};
    }
    return {"", ""};
}
}  // namespace

QJsonObject Bridge::moduleDevice(const state::Module& m) const {
    const QString model = QString::fromLatin1(kindView(m.kind).model);
    QJsonObject d;
    d.insert(QStringLiteral("identifiers"), QJsonArray{uniqueNode_ + u'_' + m.address.text()});
    d.insert(QStringLiteral("name"), m.name.isEmpty() ? m.address.text() : m.name);
    d.insert(QStringLiteral("model"), model);
    d.insert(QStringLiteral("via_device"), uniqueNode_);
    return d;
}

void Bridge::addOrigin(QJsonObject& o) const {
    QJsonObject origin;
    origin.insert(QStringLiteral("name"), programinfo::kTitle);
    origin.insert(QStringLiteral("sw"), versionText());
    origin.insert(QStringLiteral("url"), programinfo::kUrl);
    o.insert(QStringLiteral("origin"), origin);
}

void Bridge::addAvailability(QJsonObject& o) const {
    o.insert(QStringLiteral("availability_topic"), topic(QStringLiteral("status")));
    o.insert(QStringLiteral("payload_available"), QString::fromLatin1(kOnline));
    o.insert(QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline));
    addOrigin(o);
}

void Bridge::announceBridgeEntity(const QString& t, QJsonObject& o, bool available) {
    o.insert(QStringLiteral("device"), deviceBlock());
    if (available)
        addAvailability(o);
    else
        addOrigin(o);
    announced_.insert(t);
    client_->publish(t, QJsonDocument(o).toJson(QJsonDocument::Compact), true);
}

QString Bridge::discoveryTopic(const state::Module& m) const {
    const QString component = QString::fromLatin1(kindView(m.kind).component);
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(settings_.discoveryPrefix, component, uniqueNode_, m.address.text());
}

QByteArray Bridge::discoveryConfig(const state::Module& m) const {
    const QString addr = m.address.text();
    QJsonObject o;
    // The entity is its device's main one and takes the device's name.
    o.insert(QStringLiteral("name"), QJsonValue::Null);
    o.insert(QStringLiteral("unique_id"), uniqueNode_ + u'_' + addr);
    o.insert(QStringLiteral("device"), moduleDevice(m));
    addAvailability(o);
    if (m.kind == state::Kind::Remote) {
        o.insert(QStringLiteral("state_topic"), topic(addr + QStringLiteral("/event")));
        o.insert(QStringLiteral("event_types"),
                 QJsonArray{QStringLiteral("on"), QStringLiteral("off"), QStringLiteral("dim"),
                            QStringLiteral("bright")});
        o.insert(QStringLiteral("device_class"), QStringLiteral("button"));
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
    o.insert(QStringLiteral("state_topic"), topic(addr + QStringLiteral("/state")));
    o.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
    o.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
    if (isSensor(m.kind)) {
        if (m.kind == state::Kind::Motion)
            o.insert(QStringLiteral("device_class"), QStringLiteral("motion"));
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
    o.insert(QStringLiteral("command_topic"), topic(addr + QStringLiteral("/set")));
    if (m.kind == state::Kind::Lamp) {
        o.insert(QStringLiteral("brightness_command_topic"),
                 topic(addr + QStringLiteral("/brightness/set")));
        o.insert(QStringLiteral("brightness_state_topic"),
                 topic(addr + QStringLiteral("/brightness")));
        o.insert(QStringLiteral("brightness_scale"), 100);
        // A level is reached from the tracked one; an ON before it would
        // first send the lamp to full brightness.
        o.insert(QStringLiteral("on_command_type"), QStringLiteral("brightness"));
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void Bridge::publishDiscovery() {
    announced_.clear();
    for (const state::Module& m : table_->modules().modules()) {
        const QString t = discoveryTopic(m);
        announced_.insert(t);
        client_->publish(t, discoveryConfig(m), true);
    }
    const QString house = state::Address{baseHouse_, 0}.text();
    // Two buttons: "A all lights on" and "A all units off".
    for (const x10::Function f : {x10::AllLightsOn, x10::AllUnitsOff}) {
        const QString payload = payloadName(f);
        const QString object = house + u'_' + payload.toLower();
        const QString t = QStringLiteral("%1/button/%2/%3/config")
                              .arg(settings_.discoveryPrefix, uniqueNode_, object);
        QJsonObject o;
        o.insert(QStringLiteral("name"), house + u' ' + x10::functionName(f).toLower());
        o.insert(QStringLiteral("unique_id"), uniqueNode_ + u'_' + object);
        o.insert(QStringLiteral("command_topic"), topic(house + QStringLiteral("/all/set")));
        o.insert(QStringLiteral("payload_press"), payload);
        announceBridgeEntity(t, o, true);
    }
    // The connectivity of the interface: B/status itself, which the broker
    // sets offline when the bridge dies, so it needs no availability.
    {
        const QString t = QStringLiteral("%1/binary_sensor/%2/interface/config")
                              .arg(settings_.discoveryPrefix, uniqueNode_);
        QJsonObject o;
        o.insert(QStringLiteral("name"), QStringLiteral("Interface"));
        o.insert(QStringLiteral("unique_id"), uniqueNode_ + QStringLiteral("_interface"));
        o.insert(QStringLiteral("device_class"), QStringLiteral("connectivity"));
        o.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
        o.insert(QStringLiteral("state_topic"), topic(QStringLiteral("status")));
        o.insert(QStringLiteral("payload_on"), QString::fromLatin1(kOnline));
        o.insert(QStringLiteral("payload_off"), QString::fromLatin1(kOffline));
        announceBridgeEntity(t, o, false);
    }
    sceneConfigs_.clear();
    publishScheduleDiscovery();
    lastAnnouncedMs_ = platform::TimeBase::global().nowMs();
    // The broker answers with every config of this node it still holds;
    // onMessage clears those not announced above. The configs under the
    // node's name alone are those of versions before the hash was added.
    client_->subscribe(
        QStringLiteral("%1/+/%2/+/config").arg(settings_.discoveryPrefix, uniqueNode_));
    client_->subscribe(
        QStringLiteral("%1/+/%2/+/config").arg(settings_.discoveryPrefix, settings_.node()));
}

void Bridge::publishScheduleDiscovery() {
    if (!schedule_) return;
    {
        const QString t = QStringLiteral("%1/switch/%2/schedule/config")
                              .arg(settings_.discoveryPrefix, uniqueNode_);
        QJsonObject o;
        o.insert(QStringLiteral("name"), QStringLiteral("Schedule"));
        o.insert(QStringLiteral("unique_id"), uniqueNode_ + QStringLiteral("_schedule"));
        o.insert(QStringLiteral("icon"), QStringLiteral("mdi:calendar-clock"));
        o.insert(QStringLiteral("command_topic"), topic(QStringLiteral("schedule/set")));
        o.insert(QStringLiteral("state_topic"), topic(QStringLiteral("schedule/state")));
        o.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        o.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
        announceBridgeEntity(t, o, true);
    }
    QSet<QString> now;
    for (const auto& [name, scene] : schedule_->current().scenes) {
        const QString object = sceneObjectId(name);
        const QString t = QStringLiteral("%1/scene/%2/%3/config")
                              .arg(settings_.discoveryPrefix, uniqueNode_, object);
        QJsonObject o;
        o.insert(QStringLiteral("name"), name);
        o.insert(QStringLiteral("unique_id"), uniqueNode_ + u'_' + object);
        o.insert(QStringLiteral("command_topic"), topic(QStringLiteral("scene/%1/set").arg(name)));
        o.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        now.insert(t);
        announceBridgeEntity(t, o, true);
    }
    // Scenes taken out of the file since the last announcement.
    for (const QString& t : std::as_const(sceneConfigs_)) {
        if (now.contains(t)) continue;
        announced_.remove(t);
        client_->publish(t, QByteArray(), true);
        throttle_.log(QStringLiteral("mqtt-removed"),
                      QStringLiteral("MQTT: removed the discovery config ") + t);
    }
    sceneConfigs_ = now;
}

void Bridge::removeStale(const QString& t, const QByteArray& config) {
    client_->publish(t, QByteArray(), true);
    throttle_.log(QStringLiteral("mqtt-removed"),
                  QStringLiteral("MQTT: removed the discovery config ") + t);
    // The retained topics of a module taken out of the list; not those of a
    // module that is still listed under another kind.
    const QJsonObject o = QJsonDocument::fromJson(config).object();
    const QString base = settings_.baseTopic + u'/';
    for (const char* key : {"state_topic", "brightness_state_topic"}) {
        const QString st = o.value(QLatin1String(key)).toString();
        if (!st.startsWith(base)) continue;
        const QStringList parts = st.mid(base.size()).split(u'/');
        const std::optional<state::Address> a = state::parseModule(parts.value(0));
        if (!a || a->unit == 0 || table_->modules().find(*a)) continue;
        if (parts.size() == 2 && (parts[1] == u"state" || parts[1] == u"brightness"))
            client_->publish(st, QByteArray(), true);
    }
}

void Bridge::ignored(const QString& t, const QByteArray& payload, const QString& why) {
    throttle_.log(QStringLiteral("mqtt-ignored ") + why,
                  QStringLiteral("MQTT: ignored '%1' on %2 (%3)").arg(shown(payload), t, why));
}

// A command taken, in the form the remote clients' lines have: who sent it,
// then what ("MQTT: A5 ON").
void Bridge::received(const QString& command) {
    if (log_) log_(QStringLiteral("MQTT: ") + command);
}

void Bridge::onMessage(const QString& t, const QByteArray& payload, bool retained) {
    if (t == probeTopic()) {
        if (phase_ == Phase::Probing) activate();
        return;
    }
    if (t == topic(QStringLiteral("client")) || t == topic(QStringLiteral("status"))) {
        if (phase_ != Phase::Probing) return;  // our own, or the start is over
        (t.endsWith(QStringLiteral("/client")) ? holder_ : holderStatus_) = payload;
        return;
    }
    if (phase_ != Phase::Active) return;
    const QString prefix = settings_.discoveryPrefix + u'/';
    if (settings_.discovery && t == prefix + QStringLiteral("status")) {
        // Home Assistant started again and forgot what it was told (without
        // a persistent broker nothing retained survives either).
        if (!retained && payload.trimmed() == kOnline) {
            if (log_) log_(QStringLiteral("MQTT: Home Assistant is online; announcing again"));
            publishAll();
        }
        return;
    }
    if (t.startsWith(prefix) && t.endsWith(QStringLiteral("/config"))) {
        if (!settings_.discovery || payload.isEmpty() || announced_.contains(t)) return;
        removeStale(t, payload);
        return;
    }
    const QString base = settings_.baseTopic + u'/';
    if (!t.startsWith(base)) return;  // not subscribed: nothing to do with us
    const QStringList parts = t.mid(base.size()).split(u'/');
    if (retained) {
        ignored(t, payload, QStringLiteral("a retained command is stale"));
        return;
    }
    const QByteArray word = payload.trimmed().toUpper();
    if (parts.size() == 2 && parts[0] == u"schedule" && parts[1] == u"set") {
        if (!schedule_) return ignored(t, payload, QStringLiteral("no schedule"));
        if (word != "ON" && word != "OFF")
            return ignored(t, payload, QStringLiteral("not ON or OFF"));
        received(QStringLiteral("schedule ") + QString::fromLatin1(word));
        const bool on = word == "ON";
        // Already so: no signal comes, but the hub waits for the state.
        if (schedule_->enabled() == on) publishScheduleState();
        schedule_->setEnabled(on);
        return;
    }
    if (parts.size() == 3 && parts[0] == u"scene" && parts[2] == u"set") {
        if (!schedule_ || !schedule_->current().scenes.count(parts[1]))
            return ignored(t, payload, QStringLiteral("no such scene"));
        if (word != "ON") return ignored(t, payload, QStringLiteral("not ON"));
        received(QStringLiteral("scene ") + parts[1]);
        schedule_->runScene(parts[1]);
        return;
    }
    if (parts.size() == 2 && parts[1] == u"set") {
        const std::optional<state::Address> a = state::parseModule(parts[0]);
        if (!a) return ignored(t, payload, QStringLiteral("no such address"));
        if (word != "ON" && word != "OFF")
            return ignored(t, payload, QStringLiteral("not ON or OFF"));
        const state::Module* m = table_->modules().find(*a);
        if (m && m->kind != state::Kind::Lamp && m->kind != state::Kind::Appliance)
            return ignored(t, payload, QStringLiteral("a sensor or remote takes no commands"));
        received(a->text() + u' ' + QString::fromLatin1(word));
        holds_.remove(state::indexOf(*a));
        path_->switchUnit(*a, word == "ON", state::Source::Mqtt);
        return;
    }
    if (parts.size() == 3 && parts[1] == u"brightness" && parts[2] == u"set") {
        const std::optional<state::Address> a = state::parseModule(parts[0]);
        if (!a) return ignored(t, payload, QStringLiteral("no such address"));
        const state::Module* m = table_->modules().find(*a);
        if (m && m->kind != state::Kind::Lamp)
            return ignored(t, payload, QStringLiteral("an appliance does not dim"));
        bool ok = false;
        const QByteArray digits = payload.trimmed();
        const int level = digits.toInt(&ok);
        bool plain = !digits.isEmpty();
        for (char c : digits) plain = plain && c >= '0' && c <= '9';
        if (!ok || !plain || level < 0 || level > 100)
            return ignored(t, payload, QStringLiteral("not a level from 0 to 100"));
        received(QStringLiteral("%1 BRIGHTNESS %2").arg(a->text()).arg(level));
        const state::ModuleState& now = table_->state(*a);
        if (m && level > 0 && (now.power != state::Power::On || now.level < 0)) {
            // On from off goes through full brightness: one state at the end.
            holds_.insert(state::indexOf(*a),
                          Hold{level, platform::TimeBase::global().nowMs() + kHoldMs});
            if (!holdTimer_.isActive())
                platform::TimeBase::global().startTimer(holdTimer_, kHoldMs);
        }
        path_->setBrightness(*a, level, state::Source::Mqtt);
        return;
    }
    if (parts.size() == 3 && parts[1] == u"all" && parts[2] == u"set") {
        const int house = parts[0].size() == 1 ? x10::housePosition(parts[0]) : 0;
        if (house == 0) return ignored(t, payload, QStringLiteral("no such house code"));
        const std::optional<x10::Function> f = houseFunctionOf(word);
        if (!f) return ignored(t, payload, QStringLiteral("not a house function"));
        received(state::Address{house, 0}.text() + u' ' + QString::fromLatin1(word));
        path_->houseFunction(house, *f, state::Source::Mqtt);
        return;
    }
    ignored(t, payload, QStringLiteral("not a command topic"));
}

}  // namespace mqtt
