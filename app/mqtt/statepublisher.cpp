#include "statepublisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "commandpath.h"
#include "schedulerunner.h"
#include "timebase.h"

namespace mqtt {

namespace {

bool isSensor(state::Kind k) {
    return k == state::Kind::Motion || k == state::Kind::Sensor;
}

}  // namespace

StatePublisher::StatePublisher(Link& link, state::StateTable* table, CommandPath* path,
                               QObject* parent)
    : QObject(parent), link_(link), table_(table), path_(path) {
    connect(table_, &state::StateTable::changed, this, &StatePublisher::publishState);
    connect(table_, &state::StateTable::heard, this, &StatePublisher::onHeard);
    holdTimer_.setSingleShot(true);
    connect(&holdTimer_, &QTimer::timeout, this, &StatePublisher::releaseHolds);
    // A command that failed leaves its module where it is: what was held
    // back for it goes out now.
    if (path_) {
        connect(path_, &CommandPath::commandFailed, this, &StatePublisher::recheckHolds);
        connect(path_, &CommandPath::givenUp, this, &StatePublisher::recheckHolds);
    }
}

void StatePublisher::publishAll() {
    for (const state::Module& m : table_->modules().modules()) {
        if (isSensor(m.kind)) {
            const auto s = sensors_.constFind(state::indexOf(m.address));
            if (s != sensors_.constEnd()) publishSensor(m.address, *s);
        } else {
            publishState(m.address);
        }
    }
}

void StatePublisher::publishScheduleState() {
    if (!link_.schedule || !link_.live()) return;
    // A refused file with no schedule in force: nothing runs, so OFF.
    const bool runs = link_.schedule->enabled() && link_.schedule->refusal().isEmpty();
    link_.publish(link_.topic(QStringLiteral("schedule/state")), runs ? "ON" : "OFF", true);
}

QByteArray StatePublisher::lampJson(bool on, int level) {
    QJsonObject o;
    o.insert(QStringLiteral("state"), on ? QStringLiteral("ON") : QStringLiteral("OFF"));
    if (level > 0) o.insert(QStringLiteral("brightness"), level);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void StatePublisher::publishState(state::Address a) {
    const state::Module* m = table_->modules().find(a);
    if (!m || (m->kind != state::Kind::Lamp && m->kind != state::Kind::Appliance)) return;
    const state::ModuleState& s = table_->state(a);
    const int index = state::indexOf(a);
    if (m->kind == state::Kind::Lamp && s.power == state::Power::On && s.level > 0)
        lastLevel_.insert(index, s.level);
    if (!link_.live() || s.power == state::Power::Unknown) return;
    const state::ModuleState e = path_ ? path_->expected(a) : s;
    const bool reached = e.power == s.power && (m->kind != state::Kind::Lamp || e.level == s.level);
    if (!reached) {
        const qint64 now = platform::TimeBase::global().nowMs();
        auto hold = holds_.find(index);
        if (hold == holds_.end()) hold = holds_.insert(index, now + kHoldMs);
        if (now < *hold) {
            if (!holdTimer_.isActive())
                platform::TimeBase::global().startTimer(holdTimer_, *hold - now);
            return;
        }
    }
    holds_.remove(index);
    publishNow(a);
}

void StatePublisher::publishNow(state::Address a) {
    const state::Module* m = table_->modules().find(a);
    const state::ModuleState& s = table_->state(a);
    if (!m || !link_.live() || s.power == state::Power::Unknown) return;
    const bool on = s.power == state::Power::On;
    const QByteArray payload =
        m->kind != state::Kind::Lamp
            ? QByteArray(on ? "ON" : "OFF")
            : lampJson(on, on ? s.level : lastLevel_.value(state::indexOf(a), -1));
    link_.publish(link_.topic(a.text() + QStringLiteral("/state")), payload, true);
}

void StatePublisher::takeRetained(const QString& t, const QByteArray& payload) {
    const QStringList parts = t.mid(link_.topic(QString()).size()).split(u'/');
    if (parts.size() != 2) return;
    const std::optional<state::Address> a = state::parseModule(parts[0]);
    if (!a) return;
    const state::Module* m = table_->modules().find(*a);
    if (!m || m->kind != state::Kind::Lamp || lastLevel_.contains(state::indexOf(*a))) return;
    const int level = QJsonDocument::fromJson(payload).object().value(u"brightness").toInt(-1);
    if (level > 0 && level <= 100) lastLevel_.insert(state::indexOf(*a), level);
}

void StatePublisher::recheckHolds() {
    const QList<int> held = holds_.keys();
    for (int index : held) publishState(state::addressAt(index));
}

void StatePublisher::releaseHolds() {
    const qint64 now = platform::TimeBase::global().nowMs();
    qint64 next = -1;
    QList<int> due;
    for (auto it = holds_.cbegin(); it != holds_.cend(); ++it) {
        if (*it <= now)
            due << it.key();
        else if (next < 0 || *it < next)
            next = *it;
    }
    for (int index : due) {
        holds_.remove(index);
        publishNow(state::addressAt(index));
    }
    if (next >= 0) platform::TimeBase::global().startTimer(holdTimer_, next - now);
}

QByteArray StatePublisher::eventJson(const state::HeardEvent& e) {
    QJsonObject o;
    if (e.kind == state::HeardEvent::Kind::Macro) {
        o.insert(QStringLiteral("function"), QStringLiteral("MACRO"));
        o.insert(QStringLiteral("macro"), state::StateTable::macroText(e.macro));
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
void StatePublisher::onHeard(const state::HeardEvent& e) {
    if (!link_.active()) return;
    link_.publish(link_.topic(QStringLiteral("event")), eventJson(e), false);
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
            link_.publish(link_.topic(a.text() + QStringLiteral("/event")),
                          QJsonDocument(o).toJson(QJsonDocument::Compact), false);
            continue;
        }
        if (!isSensor(m->kind) || !onOff) continue;
        const bool on = e.function == x10::On;
        sensors_[state::indexOf(a)] = on;
        publishSensor(a, on);
        QTimer* t = offTimers_.value(state::indexOf(a));
        if (on && m->kind == state::Kind::Motion && link_.settings.offDelaySeconds > 0)
            startOffDelay(a);
        else if (t)
            t->stop();
    }
}

// A motion sensor says nothing when the motion ends: its ON ends after
// OffDelay, counted again from each ON.
void StatePublisher::startOffDelay(state::Address a) {
    const int index = state::indexOf(a);
    QTimer* t = offTimers_.value(index);
    if (!t) {
        t = new QTimer(this);
        t->setSingleShot(true);
        connect(t, &QTimer::timeout, this, [this, a, index] {
            sensors_[index] = false;
            publishSensor(a, false);
        });
        offTimers_.insert(index, t);
    }
    platform::TimeBase::global().startTimer(*t, qint64(link_.settings.offDelaySeconds) * 1000);
}

void StatePublisher::publishSensor(state::Address a, bool on) {
    if (!link_.live()) return;
    link_.publish(link_.topic(a.text() + QStringLiteral("/state")), on ? "ON" : "OFF", true);
}

}  // namespace mqtt
