#include "messages.h"

#include <QDateTime>
#include <algorithm>

#include "schedulerunner.h"

namespace web {

namespace {
QString kindName(state::Kind kind) {
    switch (kind) {
        case state::Kind::Lamp:
            return QStringLiteral("lamp");
        case state::Kind::Appliance:
            return QStringLiteral("appliance");
        case state::Kind::Motion:
            return QStringLiteral("motion");
        case state::Kind::Sensor:
            return QStringLiteral("sensor");
        case state::Kind::Remote:
            return QStringLiteral("remote");
    }
    return QStringLiteral("lamp");
}

QString answerName(state::Answer answer) {
    switch (answer) {
        case state::Answer::Confirmed:
            return QStringLiteral("confirmed");
        case state::Answer::NotAnswering:
            return QStringLiteral("not answering");
        case state::Answer::Unasked:
            break;
    }
    return QStringLiteral("unasked");
}
}  // namespace

std::vector<state::Address> shownAddresses(const state::StateTable& table) {
    std::vector<state::Address> out;
    for (const state::Module& m : table.modules().modules()) out.push_back(m.address);
    for (int i = 0; i < 256; ++i) {
        const state::Address a = state::addressAt(i);
        if (table.state(a).power != state::Power::Unknown && !table.modules().find(a))
            out.push_back(a);
    }
    return out;
}

QJsonObject moduleJson(const state::StateTable& table, state::Address a, int steps) {
    const state::ModuleState& s = table.state(a);
    const state::Module* m = table.modules().find(a);
    // An address that is not listed dims as lamps do.
    const state::Kind kind = m ? m->kind : state::Kind::Lamp;
    QString name;
    if (m && m->name != a.text()) name = m->name;
    QJsonObject out{
        {QStringLiteral("address"), a.text()},
        {QStringLiteral("house"), QString(QLatin1Char(a.letter()))},
        {QStringLiteral("unit"), a.unit},
        {QStringLiteral("name"), name},
        {QStringLiteral("kind"), kindName(kind)},
        {QStringLiteral("listed"), m != nullptr},
        {QStringLiteral("power"), s.power == state::Power::On    ? QStringLiteral("on")
                                  : s.power == state::Power::Off ? QStringLiteral("off")
                                                                 : QStringLiteral("unknown")},
        {QStringLiteral("level"), s.level >= 0 ? QJsonValue(s.level) : QJsonValue()},
        {QStringLiteral("source"), state::StateTable::sourceName(s.source)},
        {QStringLiteral("at"), QDateTime::currentMSecsSinceEpoch()},
        {QStringLiteral("steps"), steps},
        {QStringLiteral("room"), m ? m->room : QString()},
        {QStringLiteral("answer"), answerName(s.answer)},
        {QStringLiteral("load"), s.load >= 0 ? QJsonValue(int(s.load)) : QJsonValue()},
    };
    if (m && m->kind == state::Kind::Sensor && m->window)
        out.insert(QStringLiteral("window"), true);
    return out;
}

QJsonObject heardJson(const QString& line, qint64 atMs) {
    return {{QStringLiteral("line"), line}, {QStringLiteral("at"), atMs}};
}

QJsonValue scheduleJson(const core::ScheduleRunner& schedule) {
    if (!schedule.hasFile()) return QJsonValue();
    QJsonArray next;
    for (const schedule::Firing& f : schedule.upcoming(10)) {
        next.append(QJsonObject{
            {QStringLiteral("at"), f.at.toString(QStringLiteral("yyyy-MM-dd HH:mm"))},
            {QStringLiteral("text"), f.entry ? f.entry->action : QString()},
        });
    }
    const schedule::Schedule& current = schedule.current();
    QJsonArray scenes;
    for (const auto& [name, scene] : current.scenes) scenes.append(name);
    QJsonArray triggers;
    for (const schedule::Trigger& t : current.triggers)
        triggers.append(QJsonObject{{QStringLiteral("when"), t.heardText()},
                                    {QStringLiteral("action"), t.action}});
    QJsonObject o{{QStringLiteral("enabled"), schedule.enabled()},
                  {QStringLiteral("next"), next},
                  {QStringLiteral("scenes"), scenes},
                  {QStringLiteral("triggers"), triggers}};
    // The file was refused and nothing runs: the page says why.
    if (const QString why = schedule.refusal(); !why.isEmpty())
        o.insert(QStringLiteral("refused"), why);
    return o;
}

QJsonArray addressesOf(const state::StateTable& table, int house, const std::vector<int>& units) {
    QJsonArray out;
    if (!units.empty()) {
        for (int u : units) out.append(state::Address{house, u}.text());
        return out;
    }
    for (const state::Address& a : shownAddresses(table))
        if (a.house == house) out.append(a.text());
    return out;
}

}  // namespace web
