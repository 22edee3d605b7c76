#include "mqttbridge.h"

#include "commandpath.h"
#include "schedulerunner.h"

namespace mqtt {

namespace {

ConnectOptions connectOptions(const Settings& s, QString password, const QString& willTopic) {
    ConnectOptions o;
    o.host = s.host;
    o.port = s.port;
    o.user = s.user;
    o.password = std::move(password);
    o.tls = s.tls;
    o.caFile = s.caFile;
    o.clientId = s.clientId;
    o.willTopic = willTopic;
    o.willPayload = kOffline;
    o.willRetain = true;
    return o;
}

}  // namespace

Bridge::Bridge(Settings settings, QString password, state::StateTable* table, CommandPath* path,
               int baseHouse, LogHook log, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      path_(path),
      client_(
          std::make_unique<Client>(connectOptions(settings_, std::move(password),
                                                  settings_.baseTopic + QStringLiteral("/status")),
                                   log)),
      link_(*client_, settings_, std::move(log)),
      states_(link_, table, path),
      diagnostics_(link_, table, path),
      discovery_(link_, table, baseHouse),
      commands_(link_, table, path, states_),
      probeTopic_(link_.topic(QStringLiteral("probe/") + settings_.uniqueNode())) {
    connect(client_.get(), &Client::connected, this, &Bridge::onConnected);
    connect(client_.get(), &Client::connected, this, [this] { emit connectionChanged(true); });
    connect(client_.get(), &Client::disconnected, this, [this] { emit connectionChanged(false); });
    connect(client_.get(), &Client::message, this, &Bridge::onMessage);
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
    if (link_.schedule) disconnect(link_.schedule, nullptr, this, nullptr);
    link_.schedule = schedule;
    if (!schedule) return;
    connect(schedule, &core::ScheduleRunner::enabledChanged, this,
            [this] { states_.publishScheduleState(); });
    connect(schedule, &core::ScheduleRunner::reloaded, this, [this] {
        states_.publishScheduleState();  // a refused file switches it off, a good one on
        if (phase_ == Phase::Active && settings_.discovery) discovery_.announceSchedule();
    });
    if (phase_ != Phase::Active) return;
    states_.publishScheduleState();
    if (settings_.discovery) discovery_.announceSchedule();
}

void Bridge::setPageUrl(const QString& url) {
    if (url == link_.pageUrl) return;
    link_.pageUrl = url;
    if (phase_ == Phase::Active && settings_.discovery) discovery_.announce();
}

void Bridge::stop() {
    if (client_->isConnected() && phase_ == Phase::Active)
        client_->publish(link_.topic(QStringLiteral("status")), kOffline, true);
    client_->stop();
    link_.throttle.flush();
}

void Bridge::setPhase(Phase phase) {
    phase_ = phase;
    link_.setActive(phase == Phase::Active);
}

// First who holds the base topic: the broker hands out the retained B/client
// and B/status on subscribing, before the probe sent after them comes back.
void Bridge::onConnected() {
    setPhase(Phase::Probing);
    holder_.clear();
    holderStatus_.clear();
    client_->subscribe(link_.topic(QStringLiteral("client")));
    client_->subscribe(link_.topic(QStringLiteral("status")));
    // The configs the broker holds for this node come back before the
    // probe: they are known when the announcement starts.
    if (settings_.discovery) discovery_.subscribe();
    // The lamps' states left retained by the run before: an off lamp's
    // last level lives there only.
    client_->subscribe(link_.topic(QStringLiteral("+/state")));
    client_->subscribe(probeTopic_);
    client_->publish(probeTopic_, settings_.clientId.toUtf8(), false);
}

void Bridge::activate() {
    const QByteArray self = settings_.clientId.toUtf8();
    if (!holder_.isEmpty() && holder_ != self && holderStatus_ == kOnline) {
        setPhase(Phase::Refused);
        link_.line(QStringLiteral("MQTT: the base topic %1 is in use by client %2; the bridge "
                                  "stays off the broker")
                       .arg(settings_.baseTopic, shown(holder_)),
                   platform::LogLevel::Error);
        client_->stop();
        return;
    }
    setPhase(Phase::Active);
    client_->unsubscribe(link_.topic(QStringLiteral("+/state")));
    client_->publish(link_.topic(QStringLiteral("client")), self, true);
    commands_.subscribe();
    if (settings_.discovery)
        client_->subscribe(settings_.discoveryPrefix + QStringLiteral("/status"));
    publishAll();
}

void Bridge::publishAll() {
    publishStatus();
    states_.publishScheduleState();
    // Replaced configs are cleared first; the states follow at once, so the
    // new configs (perhaps after a pause) find them retained.
    if (settings_.discovery) discovery_.announce();
    states_.publishAll();
    diagnostics_.publishAll();
}

void Bridge::publishStatus() {
    if (phase_ != Phase::Active) return;
    const bool online = client_->isConnected() && path_->interfaceReady();
    client_->publish(link_.topic(QStringLiteral("status")), online ? kOnline : kOffline, true);
}

void Bridge::onMessage(const QString& t, const QByteArray& payload, bool retained) {
    if (t == probeTopic_) {
        if (phase_ == Phase::Probing) activate();
        return;
    }
    if (t == link_.topic(QStringLiteral("client")) || t == link_.topic(QStringLiteral("status"))) {
        if (phase_ != Phase::Probing) return;  // our own, or the start is over
        (t.endsWith(QStringLiteral("/client")) ? holder_ : holderStatus_) = payload;
        return;
    }
    const bool state = t.startsWith(link_.topic(QString())) && t.endsWith(QStringLiteral("/state"));
    if (phase_ == Phase::Probing) {
        if (state && retained) states_.takeRetained(t, payload);
        discovery_.takeConfig(t, payload);
        return;
    }
    // Our own states, until the broker took the unsubscription.
    if (phase_ != Phase::Active || state) return;
    if (settings_.discovery && t == settings_.discoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant started again and forgot what it was told (without
        // a persistent broker nothing retained survives either).
        if (!retained && payload.trimmed() == kOnline) {
            link_.line(QStringLiteral("MQTT: Home Assistant is online; announcing again"));
            publishAll();
        }
        return;
    }
    if (discovery_.takeConfig(t, payload)) return;
    commands_.take(t, payload, retained);
}

}  // namespace mqtt
