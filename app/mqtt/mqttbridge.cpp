#include "mqttbridge.h"

#include <QJsonArray>
#include <QJsonDocument>

#include "commandpath.h"
#include "programinfo.h"
#include "x10codes.h"

namespace mqtt {

namespace {

const QByteArray kOnline = "online";
const QByteArray kOffline = "offline";

namespace x10 = pandrel::x10;

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
    client_ = std::make_unique<Client>(std::move(o), log_);
    connect(client_.get(), &Client::connected, this, &Bridge::onConnected);
    connect(client_.get(), &Client::message, this, &Bridge::onMessage);
    connect(table_, &state::StateTable::changed, this, &Bridge::publishState);
    connect(table_, &state::StateTable::heard, this, [this](const state::HeardEvent& e) {
        client_->publish(topic(QStringLiteral("event")), eventJson(e), false);
    });
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
                log(QStringLiteral("MQTT: ") + error + QStringLiteral("; the bridge stays off"));
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

void Bridge::stop() {
    if (client_->isConnected()) client_->publish(topic(QStringLiteral("status")), kOffline, true);
    client_->stop();
    throttle_.flush();
}

void Bridge::onConnected() {
    publishStatus();
    client_->subscribe(topic(QStringLiteral("+/set")));
    client_->subscribe(topic(QStringLiteral("+/brightness/set")));
    client_->subscribe(topic(QStringLiteral("+/all/set")));
    if (settings_.discovery) publishDiscovery();
    for (const state::Module& m : table_->modules().modules()) publishState(m.address);
}

void Bridge::publishStatus() {
    const bool online = client_->isConnected() && path_->interfaceReady();
    client_->publish(topic(QStringLiteral("status")), online ? kOnline : kOffline, true);
}

void Bridge::publishState(state::Address a) {
    if (!client_->isConnected()) return;
    const state::Module* m = table_->modules().find(a);
    if (!m) return;
    const state::ModuleState& s = table_->state(a);
    if (s.power == state::Power::Unknown) return;
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

QJsonObject Bridge::deviceBlock() const {
    QJsonObject d;
    d.insert(QStringLiteral("identifiers"), QJsonArray{settings_.node()});
    d.insert(QStringLiteral("name"), settings_.device());
    d.insert(QStringLiteral("model"), programinfo::kTitle);
    d.insert(QStringLiteral("sw_version"), versionText());
    return d;
}

void Bridge::addAvailability(QJsonObject& o) const {
    o.insert(QStringLiteral("availability_topic"), topic(QStringLiteral("status")));
    o.insert(QStringLiteral("payload_available"), QString::fromLatin1(kOnline));
    o.insert(QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline));
    o.insert(QStringLiteral("device"), deviceBlock());
}

QString Bridge::discoveryTopic(const state::Module& m) const {
    const QString component =
        m.kind == state::Kind::Lamp ? QStringLiteral("light") : QStringLiteral("switch");
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(settings_.discoveryPrefix, component, settings_.node(), m.address.text());
}

QByteArray Bridge::discoveryConfig(const state::Module& m) const {
    const QString addr = m.address.text();
    QJsonObject o;
    o.insert(QStringLiteral("name"), m.name.isEmpty() ? addr : m.name);
    o.insert(QStringLiteral("unique_id"), settings_.node() + u'_' + addr);
    o.insert(QStringLiteral("command_topic"), topic(addr + QStringLiteral("/set")));
    o.insert(QStringLiteral("state_topic"), topic(addr + QStringLiteral("/state")));
    o.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
    o.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
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
    addAvailability(o);
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
                              .arg(settings_.discoveryPrefix, settings_.node(), object);
        QJsonObject o;
        o.insert(QStringLiteral("name"), house + u' ' + x10::functionName(f).toLower());
        o.insert(QStringLiteral("unique_id"), settings_.node() + u'_' + object);
        o.insert(QStringLiteral("command_topic"), topic(house + QStringLiteral("/all/set")));
        o.insert(QStringLiteral("payload_press"), payload);
        addAvailability(o);
        announced_.insert(t);
        client_->publish(t, QJsonDocument(o).toJson(QJsonDocument::Compact), true);
    }
    // The broker answers with every config of this node it still holds;
    // onMessage clears those not announced above.
    client_->subscribe(
        QStringLiteral("%1/+/%2/+/config").arg(settings_.discoveryPrefix, settings_.node()));
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
    const QString prefix = settings_.discoveryPrefix + u'/';
    if (t.startsWith(prefix) && t.endsWith(QStringLiteral("/config"))) {
        if (!settings_.discovery || payload.isEmpty() || announced_.contains(t)) return;
        client_->publish(t, QByteArray(), true);
        throttle_.log(QStringLiteral("mqtt-removed"),
                      QStringLiteral("MQTT: removed the discovery config ") + t);
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
    if (parts.size() == 2 && parts[1] == u"set") {
        const std::optional<state::Address> a = state::parseModule(parts[0]);
        if (!a) return ignored(t, payload, QStringLiteral("no such address"));
        if (word != "ON" && word != "OFF")
            return ignored(t, payload, QStringLiteral("not ON or OFF"));
        received(a->text() + u' ' + QString::fromLatin1(word));
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
