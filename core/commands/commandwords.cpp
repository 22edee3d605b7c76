#include "commandwords.h"

#include "x10.h"

namespace commands {

namespace {

// A field of one or two decimal digits; -1 for anything else.
int digits(const QString& field) {
    if (field.isEmpty() || field.size() > 2) return -1;
    int v = 0;
    for (QChar c : field) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return -1;
        v = v * 10 + (c.unicode() - '0');
    }
    return v;
}

int16_t unitOf(const QString& command) {
    const int u = digits(unitText(command));
    return (u >= 1 && u <= 16) ? static_cast<int16_t>(u) : 0;
}

}  // namespace

QString unitText(const QString& command) {
    const qsizetype n = command.size();
    if (n == 5) return command.left(1);
    if (n > 5) return command.left(2);
    return command.left(std::max<qsizetype>(0, n - 2));
}

Command parseWord(const QString& c) {
    Command out;
    const qsizetype n = c.size();
    const QString last2 = n >= 2 ? c.right(2) : QString();
    // Before the unit forms: "scheduleon" ends like "5on".
    if (c == QLatin1String("scheduleon") || c == QLatin1String("scheduleoff")) {
        out.kind = c.endsWith(QLatin1String("on")) ? Command::ScheduleOn : Command::ScheduleOff;
        return out;
    }
    if (last2 == QLatin1String("on") || last2 == QLatin1String("of")) {
        out.unit = unitOf(c);
        if (out.unit) out.kind = last2 == QLatin1String("on") ? Command::UnitOn : Command::UnitOff;
        return out;
    }
    if (n >= 4 && c.mid(n - 4, 2) == QLatin1String("di")) {
        out.unit = unitOf(c);
        const int level = digits(last2);
        if (out.unit && level >= 0 && level <= 10) {
            out.kind = Command::UnitDim;
            out.level = static_cast<int16_t>(level);
        }
        return out;
    }
    if (n >= 1 && c.left(n - 1) == QLatin1String("housecodechange")) {
        // Only a letter that names a house (A to P, either case); it is kept
        // as written.
        if (x10::housePosition(c.right(1)) != 0) {
            out.kind = Command::HouseCode;
            out.text = c.right(1);
        }
        return out;
    }
    static const struct {
        const char* word;
        Command::Kind kind;
    } kWords[] = {
        {"allo", Command::AllLightsOn},    {"allf", Command::AllUnitsOff},
        {"alluf", Command::AllLightsOff},  {"COFF", Command::Shutdown},
        {"ABORT", Command::AbortShutdown}, {"EXIT", Command::Exit},
    };
    for (const auto& w : kWords) {
        if (c == QLatin1String(w.word)) {
            out.kind = w.kind;
            return out;
        }
    }
    return out;
}

}  // namespace commands
