#include "statepublisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "schedulerunner.h"
#include "timebase.h"

namespace mqtt {

namespace {

// How long a lamp's state may be held back while it goes from full to its
// level: the longest DIM sequence takes a few seconds on the line.
constexpr qint64 kHoldMs = 15000;

bool isSensor(state::Kind k) {
    return k == state::Kind::Motion || k == state::Kind::Sensor;
}

}  // namespace

StatePublisher::StatePublisher(Link& link, state::StateTable* table, QObject* parent)
    : QObject(parent), link_(link), table_(table) {
    connect(table_, &state::StateTable::changed, this, &StatePublisher::publishState);
    connect(table_, &state::StateTable::heard, this, &StatePublisher::onHeard);
    holdTimer_.setSingleShot(true);
    connect(&holdTimer_, &QTimer::timeout, this, &StatePublisher::releaseHolds);
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

void StatePublisher::publishState(state::Address a) {
    if (!link_.live()) return;
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
    link_.publish(link_.topic(a.text() + QStringLiteral("/state")), on ? "ON" : "OFF", true);
    if (m->kind != state::Kind::Lamp) return;
    const int level = on ? s.level : 0;
    if (level >= 0)
        link_.publish(link_.topic(a.text() + QStringLiteral("/brightness")),
                      QByteArray::number(level), true);
}

void StatePublisher::expectLevel(state::Address a, int level, const state::ModuleState& before) {
    if (!table_->modules().find(a) || level <= 0 ||
        (before.power == state::Power::On && before.level >= 0))
        return;
    holds_.insert(state::indexOf(a), Hold{level, platform::TimeBase::global().nowMs() + kHoldMs});
    if (!holdTimer_.isActive()) platform::TimeBase::global().startTimer(holdTimer_, kHoldMs);
}

void StatePublisher::releaseHolds() {
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
