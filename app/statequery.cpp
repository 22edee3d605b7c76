#include "statequery.h"

#include <QRegularExpression>

namespace app {

namespace {

QString addressText(state::Address a) {
    return QString(a.houseLetter()) + QString::number(a.unit);
}

// "A5", "p16": house A to P, unit 1 to 16.
std::optional<state::Address> parseAddress(const QString& text) {
    static const QRegularExpression re(QStringLiteral("^([A-Pa-p])([1-9]|1[0-6])$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) return std::nullopt;
    state::Address a;
    a.house = m.captured(1).toUpper().at(0).unicode() - u'A';
    a.unit = m.captured(2).toInt();
    return a;
}

}  // namespace

QString stateLine(state::Address a, const state::ModuleState& s) {
    switch (s.power) {
        case state::Power::On:
            return addressText(a) + QStringLiteral(" ON") +
                   (s.level >= 0 ? QLatin1Char(' ') + QString::number(s.level) : QString());
        case state::Power::Off:
            return addressText(a) + QStringLiteral(" OFF");
        case state::Power::Unknown:
            break;
    }
    return addressText(a) + QStringLiteral(" UNKNOWN");
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
        const std::optional<state::Address> a = parseAddress(arg);
        if (!a) return QStringList{QStringLiteral("ERROR Not an address: ") + arg};
        lines.append(stateLine(*a, lookup(*a)));
        return lines;
    }
    for (int i = 0; i < 256; ++i) {
        state::Address a;
        a.house = i / 16;
        a.unit = i % 16 + 1;
        const state::ModuleState s = lookup(a);
        if (s.power != state::Power::Unknown) lines.append(stateLine(a, s));
    }
    return lines;
}

}  // namespace app
