#include "statequery.h"

namespace app {

QString stateLine(state::Address a, const state::ModuleState& s) {
    switch (s.power) {
        case state::Power::On:
            return a.text() + QStringLiteral(" ON") +
                   (s.level >= 0 ? QLatin1Char(' ') + QString::number(s.level) : QString());
        case state::Power::Off:
            return a.text() + QStringLiteral(" OFF");
        case state::Power::Unknown:
            break;
    }
    return a.text() + QStringLiteral(" UNKNOWN");
}

std::optional<QStringList> answerStateQuery(const QString& line, const StateLookup& lookup) {
    const QString text = line.trimmed();
    const QString word = QStringLiteral("?state");
    if (!text.startsWith(word, Qt::CaseInsensitive)) return std::nullopt;
    const QString rest = text.mid(word.size());
    if (!rest.isEmpty() && !rest.front().isSpace()) return std::nullopt;
    const QString arg = rest.trimmed();
    QStringList lines;
    if (!arg.isEmpty()) {
        const std::optional<state::Address> a = state::parseModule(arg);
        if (!a) return QStringList{QStringLiteral("ERROR Not an address: ") + arg};
        lines.append(stateLine(*a, lookup(*a)));
        return lines;
    }
    for (int i = 0; i < 256; ++i) {
        const state::Address a = state::addressAt(i);
        const state::ModuleState s = lookup(a);
        if (s.power != state::Power::Unknown) lines.append(stateLine(a, s));
    }
    return lines;
}

}  // namespace app
