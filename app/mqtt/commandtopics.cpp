#include "commandtopics.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "commandpath.h"
#include "schedulerunner.h"
#include "statepublisher.h"

namespace mqtt {

namespace {

// The house function (ALL LIGHTS ON, ALL LIGHTS OFF, ALL UNITS OFF) a
// payload names exactly, upper case; nothing for any other payload.
std::optional<x10::Function> houseFunctionOf(const QByteArray& word) {
    for (int f = 0; f < x10::kFunctionCount; ++f)
        if (x10::isHouseFunction(f) && word == payloadName(f).toLatin1())
            return static_cast<x10::Function>(f);
    return std::nullopt;
}

bool matches(const QStringList& parts, const char* pattern) {
    const QStringList levels = QString::fromLatin1(pattern).split(u'/');
    if (levels.size() != parts.size()) return false;
    for (qsizetype i = 0; i < levels.size(); ++i)
        if (levels[i] != u"+" && levels[i] != parts[i]) return false;
    return true;
}

}  // namespace

// Tried in this order: the first pattern that matches takes the message.
const std::vector<CommandTopics::Route>& CommandTopics::routes() {
    static const std::vector<Route> table = {
        {"schedule/set", false, &CommandTopics::schedule},  // subscribed as +/set
        {"scene/+/set", true, &CommandTopics::scene},
        {"+/set", true, &CommandTopics::switchUnit},
        {"+/brightness/set", true, &CommandTopics::brightness},
        {"+/all/set", true, &CommandTopics::house},
    };
    return table;
}

CommandTopics::CommandTopics(Link& link, const state::StateTable* table, CommandPath* path,
                             StatePublisher& states)
    : link_(link), table_(table), path_(path), states_(states) {}

void CommandTopics::subscribe() {
    for (const Route& r : routes())
        if (r.subscribe) link_.client.subscribe(link_.topic(QString::fromLatin1(r.pattern)));
}

void CommandTopics::take(const QString& t, const QByteArray& payload, bool retained) {
    const QString base = link_.settings.baseTopic + u'/';
    if (!t.startsWith(base)) return;  // not subscribed: nothing to do with us
    const QStringList parts = t.mid(base.size()).split(u'/');
    if (retained) {
        ignored(t, payload, QStringLiteral("a retained command is stale"));
        return;
    }
    const Message m{t, parts, payload, payload.trimmed().toUpper()};
    for (const Route& r : routes())
        if (matches(parts, r.pattern)) return (this->*r.handle)(m);
    ignored(t, payload, QStringLiteral("not a command topic"));
}

void CommandTopics::ignored(const QString& t, const QByteArray& payload, const QString& why) {
    link_.throttle.log(QStringLiteral("mqtt-ignored ") + why,
                       QStringLiteral("MQTT: ignored '%1' on %2 (%3)").arg(shown(payload), t, why));
}

// A command taken, in the form the remote clients' lines have: who sent it,
// then what ("MQTT: A5 ON").
void CommandTopics::received(const QString& command) {
    link_.line(QStringLiteral("MQTT: ") + command);
}

void CommandTopics::schedule(const Message& m) {
    core::ScheduleRunner* schedule = link_.schedule;
    if (!schedule) return ignored(m.topic, m.payload, QStringLiteral("no schedule"));
    if (m.word != "ON" && m.word != "OFF")
        return ignored(m.topic, m.payload, QStringLiteral("not ON or OFF"));
    received(QStringLiteral("schedule ") + QString::fromLatin1(m.word));
    const bool on = m.word == "ON";
    // Already so: no signal comes, but the hub waits for the state.
    if (schedule->enabled() == on) states_.publishScheduleState();
    schedule->setEnabled(on);
}

void CommandTopics::scene(const Message& m) {
    core::ScheduleRunner* schedule = link_.schedule;
    if (!schedule || !schedule->sceneNames().contains(m.parts[1]))
        return ignored(m.topic, m.payload, QStringLiteral("no such scene"));
    if (m.word != "ON") return ignored(m.topic, m.payload, QStringLiteral("not ON"));
    QString why;
    if (!schedule->current().scenes.count(m.parts[1])) {
        schedule->runScene(m.parts[1], &why);
        return ignored(m.topic, m.payload, why);
    }
    received(QStringLiteral("scene ") + m.parts[1]);
    schedule->runScene(m.parts[1]);
}

void CommandTopics::switchUnit(const Message& m) {
    const std::optional<state::Address> a = state::parseModule(m.parts[0]);
    if (!a) return ignored(m.topic, m.payload, QStringLiteral("no such address"));
    if (m.word.startsWith('{')) return lightCommand(m, *a);
    if (m.word != "ON" && m.word != "OFF")
        return ignored(m.topic, m.payload, QStringLiteral("not ON or OFF"));
    // The command path logs the command, or why it refused it.
    const CommandPath::Verdict v = path_->switchUnit(*a, m.word == "ON", state::Source::Mqtt);
    // Nothing to send: the module is already so; the hub hears it again.
    if (v.accepted() && v.id == 0) states_.publishState(*a);
}

// A lamp's command as the hub's JSON light sends it: {"state":"ON"},
// {"state":"OFF"}, {"state":"ON","brightness":40} (0..100). Other keys
// (transition, flash) are not for these modules and are let be.
void CommandTopics::lightCommand(const Message& m, state::Address a) {
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(m.payload, &error).object();
    const QString word = o.value(QStringLiteral("state")).toString().toUpper();
    const QJsonValue brightness = o.value(QStringLiteral("brightness"));
    const double level = brightness.toDouble(-1);
    const bool hasLevel = !brightness.isUndefined();
    const bool known = word == u"ON" || word == u"OFF" || (word.isEmpty() && hasLevel);
    if (error.error != QJsonParseError::NoError || !known)
        return ignored(m.topic, m.payload, QStringLiteral("not a light command"));
    if (hasLevel && word != u"OFF" && (level < 0 || level > 100 || level != int(level)))
        return ignored(m.topic, m.payload, QStringLiteral("not a level from 0 to 100"));
    const CommandPath::Verdict v = hasLevel && word != u"OFF"
                                       ? path_->setBrightness(a, int(level), state::Source::Mqtt)
                                       : path_->switchUnit(a, word == u"ON", state::Source::Mqtt);
    if (v.accepted() && v.id == 0) states_.publishState(a);
}

void CommandTopics::brightness(const Message& m) {
    const std::optional<state::Address> a = state::parseModule(m.parts[0]);
    if (!a) return ignored(m.topic, m.payload, QStringLiteral("no such address"));
    bool ok = false;
    const QByteArray digits = m.payload.trimmed();
    const int level = digits.toInt(&ok);
    bool plain = !digits.isEmpty();
    for (char c : digits) plain = plain && c >= '0' && c <= '9';
    if (!ok || !plain || level < 0 || level > 100)
        return ignored(m.topic, m.payload, QStringLiteral("not a level from 0 to 100"));
    const CommandPath::Verdict v = path_->setBrightness(*a, level, state::Source::Mqtt);
    if (v.accepted() && v.id == 0) states_.publishState(*a);
}

void CommandTopics::house(const Message& m) {
    const int house = m.parts[0].size() == 1 ? x10::housePosition(m.parts[0]) : 0;
    if (house == 0) return ignored(m.topic, m.payload, QStringLiteral("no such house code"));
    const std::optional<x10::Function> f = houseFunctionOf(m.word);
    if (!f) return ignored(m.topic, m.payload, QStringLiteral("not a house function"));
    path_->houseFunction(house, *f, state::Source::Mqtt);
}

}  // namespace mqtt
