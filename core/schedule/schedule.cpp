#include "schedule.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringTokenizer>
#include <algorithm>
#include <set>

namespace schedule {

namespace {

const char* const kDays[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const char* const kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                 "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Splits arguments on blanks; double quotes keep blanks inside one argument.
QStringList splitArguments(QStringView command) {
    QStringList args;
    QString arg;
    bool quoted = false, any = false;
    for (const QChar c : command) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c.isSpace() && !quoted) {
            if (any || !arg.isEmpty()) args << arg;
            arg.clear();
            any = false;
        } else {
            arg += c;
        }
    }
    if (any || !arg.isEmpty()) args << arg;
    return args;
}

QString simplified(const QString& s) {
    return s.simplified();
}

// Monday = 1 ... Sunday = 7; 0 for anything else ("Mon", "monday").
int dayOf(const QString& word) {
    const QString w = word.toLower();
    for (int i = 0; i < 7; ++i)
        if (w.size() >= 3 && QString::fromLatin1(kDays[i]) == w.left(3) &&
            (w.size() == 3 ||
             QStringLiteral("monday tuesday wednesday thursday friday saturday sunday")
                     .split(' ')
                     .at(i) == w))
            return i + 1;
    return 0;
}

int monthOf(const QString& word) {
    const QString w = word.toLower();
    for (int i = 0; i < 12; ++i)
        if (QString::fromLatin1(kMonths[i]) == w) return i + 1;
    return 0;
}

// "30m", "1h", "90s" (s only where allowSeconds), "1h30m"; milliseconds, -1 when not a duration.
qint64 durationMs(const QString& text, bool allowSeconds) {
    static const QRegularExpression re(QStringLiteral("^(?:(\\d+)h)?(?:(\\d+)m)?(?:(\\d+)s)?$"));
    const auto m = re.match(text.toLower());
    if (!m.hasMatch() || text.isEmpty()) return -1;
    if (!allowSeconds && !m.captured(3).isEmpty()) return -1;
    const qint64 h = m.captured(1).toLongLong(), mi = m.captured(2).toLongLong(),
                 s = m.captured(3).toLongLong();
    if (h > 24 || mi > 24 * 60 || s > 24 * 3600) return -1;
    return ((h * 60 + mi) * 60 + s) * 1000;
}

bool parseDays(const QString& field, DayFilter* days, QString* error) {
    // A date range: "Dec 1-Jan 6", "Jul 4", "Dec 24 - Dec 26".
    static const QRegularExpression range(
        QStringLiteral("^([A-Za-z]+)\\s+(\\d{1,2})(?:\\s*-\\s*([A-Za-z]+)\\s+(\\d{1,2}))?$"));
    const auto m = range.match(field);
    if (m.hasMatch() && monthOf(m.captured(1)) != 0) {
        const auto date = [&](int mi, int di, int* month, int* day) {
            *month = monthOf(m.captured(mi));
            *day = m.captured(di).toInt();
            if (*month == 0) {
                *error = QStringLiteral("unknown month '%1'").arg(m.captured(mi));
                return false;
            }
            if (*day < 1 || *day > kMonthDays[*month - 1]) {
                *error = QStringLiteral("no day %1 in %2").arg(*day).arg(m.captured(mi));
                return false;
            }
            return true;
        };
        days->hasRange = true;
        if (!date(1, 2, &days->fromMonth, &days->fromDay)) return false;
        if (m.captured(3).isEmpty()) {
            days->toMonth = days->fromMonth;
            days->toDay = days->fromDay;
            return true;
        }
        return date(3, 4, &days->toMonth, &days->toDay);
    }
    if (field.compare(QLatin1String("daily"), Qt::CaseInsensitive) == 0) {
        days->weekdays = 0x7F;
        return true;
    }
    // Weekdays: "Mon-Fri", "Sat,Sun", "Mon,Wed-Fri".
    unsigned mask = 0;
    for (const QString& part : field.split(',')) {
        const QStringList ends = part.split('-');
        if (ends.size() > 2) {
            *error = QStringLiteral("unknown day '%1'").arg(part);
            return false;
        }
        int d[2] = {0, 0};
        for (int i = 0; i < ends.size(); ++i) {
            d[i] = dayOf(ends[i].trimmed());
            if (d[i] == 0) {
                *error = QStringLiteral("unknown day '%1'").arg(ends[i].trimmed());
                return false;
            }
        }
        if (ends.size() == 1) d[1] = d[0];
        for (int x = d[0];; x = x % 7 + 1) {  // Fri-Mon wraps over the weekend
            mask |= 1u << (x - 1);
            if (x == d[1]) break;
        }
    }
    days->weekdays = mask;
    return true;
}

bool parseStep(const QString& raw, Step* step, QString* error) {
    const QString text = simplified(raw);
    step->text = text;
    const QString lower = text.toLower();
    if (text.isEmpty()) {
        *error = QStringLiteral("empty step");
        return false;
    }
    if (lower.startsWith(QLatin1String("wait ")) || lower == QLatin1String("wait")) {
        step->kind = Step::Kind::Wait;
        step->waitMs = durationMs(text.mid(5).trimmed(), true);
        if (step->waitMs <= 0) {
            *error = QStringLiteral("wait needs a duration like 10s, 2m or 1h: '%1'").arg(text);
            return false;
        }
        return true;
    }
    if (lower.startsWith(QLatin1String("scene ")) || lower == QLatin1String("scene")) {
        step->kind = Step::Kind::Scene;
        step->scene = text.mid(6).trimmed();
        if (step->scene.isEmpty() || step->scene.contains(' ')) {
            *error = QStringLiteral("scene needs one name: '%1'").arg(text);
            return false;
        }
        return true;
    }
    if (lower.startsWith(QLatin1String("run ")) || lower == QLatin1String("run")) {
        step->kind = Step::Kind::Run;
        step->argv = splitArguments(raw.trimmed().mid(3));
        if (step->argv.isEmpty()) {
            *error = QStringLiteral("run needs a program");
            return false;
        }
        if (!step->argv.front().startsWith('/')) {
            *error = QStringLiteral("run needs the program's absolute path: '%1'")
                         .arg(step->argv.front());
            return false;
        }
        return true;
    }
    step->kind = Step::Kind::Command;
    return parseCommand(text, &step->command, error);
}

bool parseSteps(const QString& text, std::vector<Step>* steps, QString* error) {
    for (const QString& part : text.split(';')) {
        Step step;
        if (!parseStep(part, &step, error)) return false;
        steps->push_back(std::move(step));
    }
    return true;
}

QString joinedText(const std::vector<Step>& steps) {
    QStringList parts;
    for (const Step& s : steps) parts << s.text;
    return parts.join(QStringLiteral("; "));
}

}  // namespace

bool parseCommand(const QString& text, x10::Command* command, QString* error) {
    const QStringList words = simplified(text).split(' ', Qt::SkipEmptyParts);
    x10::Command c;
    int i = 0;
    for (; i < words.size(); ++i) {
        const auto a = x10::Address::parse(words[i]);
        if (!a || (words[i].size() > 1 && !words[i].at(1).isDigit())) break;
        c.addresses.push_back(*a);
    }
    if (c.addresses.empty()) {
        *error = QStringLiteral("a command starts with an address like A5: '%1'").arg(text);
        return false;
    }
    QStringList rest = words.mid(i);
    QString amount;
    if (!rest.isEmpty() && rest.back().endsWith('%')) {
        amount = rest.back();
        rest.removeLast();
    }
    const auto f = x10::functionFromName(rest.join(' '));
    const bool supported = f && (*f == x10::On || *f == x10::Off || *f == x10::Dim ||
                                 *f == x10::Bright || x10::isHouseFunction(*f));
    if (!supported) {
        *error = QStringLiteral("unknown command '%1'").arg(rest.join(' '));
        return false;
    }
    c.function = *f;
    const bool house = x10::isHouseFunction(*f);
    for (const auto& a : c.addresses) {
        if (house != (a.unit == 0)) {
            *error =
                house ? QStringLiteral("%1 acts on a whole house, like 'A %1'").arg(rest.join(' '))
                      : QStringLiteral("%1 needs a unit, like A5, not '%2'")
                            .arg(rest.join(' '), a.text());
            return false;
        }
    }
    if (house && c.addresses.size() != 1) {
        *error = QStringLiteral("%1 takes one house").arg(rest.join(' '));
        return false;
    }
    if (*f == x10::Dim || *f == x10::Bright) {
        bool ok = false;
        c.amount = amount.chopped(amount.isEmpty() ? 0 : 1).toInt(&ok);
        if (!ok || c.amount < 0 || c.amount > 100) {
            *error = QStringLiteral("%1 needs a percentage 0%-100%, like 40%").arg(rest.join(' '));
            return false;
        }
    } else if (!amount.isEmpty()) {
        *error = QStringLiteral("%1 takes no percentage").arg(rest.join(' '));
        return false;
    }
    *command = std::move(c);
    return true;
}

bool DayFilter::matches(int month, int day, int dayOfWeek) const {
    if (!(weekdays & (1u << (dayOfWeek - 1)))) return false;
    if (!hasRange) return true;
    const int d = month * 100 + day, from = fromMonth * 100 + fromDay, to = toMonth * 100 + toDay;
    return from <= to ? (d >= from && d <= to) : (d >= from || d <= to);  // across the year's end
}

bool Trigger::matches(int house, const std::vector<int>& units, int f, int heardAmount) const {
    if (house != address.house || f != function) return false;
    if (amount >= 0 && (heardAmount < 0 || x10::dimSteps(heardAmount) != x10::dimSteps(amount)))
        return false;
    if (address.unit == 0) return true;
    return std::find(units.begin(), units.end(), address.unit) != units.end();
}

QString Trigger::heardText() const {
    QString text = address.text() + u' ' + x10::functionName(function);
    if (amount >= 0) text += QStringLiteral(" %1%").arg(amount);
    return text;
}

bool Schedule::usesSun() const {
    for (const auto& e : timed)
        if (e.kind != TimeKind::Clock) return true;
    return false;
}

namespace {

// One "at" line without "at": "18:30 Mon-Fri A5 ON", "sunset +30m daily A5 OFF".
bool parseTimed(const QString& body, TimedEntry* e, QString* error) {
    QStringList words = body.split(' ', Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        *error = QStringLiteral("a time is missing");
        return false;
    }
    const QString t = words.takeFirst().toLower();
    static const QRegularExpression clock(QStringLiteral("^(\\d{1,2}):(\\d{2})$"));
    if (const auto m = clock.match(t); m.hasMatch()) {
        const int h = m.captured(1).toInt(), mi = m.captured(2).toInt();
        if (h > 23 || mi > 59) {
            *error = QStringLiteral("no time %1").arg(t);
            return false;
        }
        e->kind = TimeKind::Clock;
        e->minuteOfDay = h * 60 + mi;
    } else if (t == QLatin1String("sunrise") || t == QLatin1String("sunset")) {
        e->kind = t == QLatin1String("sunrise") ? TimeKind::Sunrise : TimeKind::Sunset;
        if (!words.isEmpty() && (words.front().startsWith('+') || words.front().startsWith('-'))) {
            QString off = words.takeFirst();
            if (off.size() == 1 && !words.isEmpty())  // "sunset + 30m"
                off += words.takeFirst();
            const qint64 ms = durationMs(off.mid(1), false);
            if (ms < 0 || ms > 12 * 3600 * 1000) {
                *error =
                    QStringLiteral("an offset is written like +30m or -1h15m, not '%1'").arg(off);
                return false;
            }
            e->offsetMinutes = static_cast<int>(ms / 60000) * (off.startsWith('-') ? -1 : 1);
        }
    } else {
        *error = QStringLiteral("unknown time '%1' (HH:MM, sunrise or sunset)").arg(t);
        return false;
    }
    if (!words.isEmpty() && words.front().startsWith('~')) {
        const QString r = words.takeFirst();
        const qint64 ms = durationMs(r.mid(1), false);
        if (ms <= 0 || ms > 12 * 3600 * 1000) {
            *error = QStringLiteral("a random shift is written like ~20m, not '%1'").arg(r);
            return false;
        }
        e->randomMinutes = static_cast<int>(ms / 60000);
    }
    if (words.isEmpty()) {
        *error = QStringLiteral("the days are missing (daily, Mon-Fri, Sat,Sun, Dec 1-Jan 6)");
        return false;
    }
    // The days: one word, or a date range of two to five words.
    static const QRegularExpression range(
        QStringLiteral("^([A-Za-z]+\\s+\\d{1,2}(?:\\s*-\\s*[A-Za-z]+\\s+\\d{1,2})?)\\s+(.*)$"));
    const QString rest = words.join(' ');
    QString daysField, action;
    if (const auto m = range.match(rest); m.hasMatch() && monthOf(words.front()) != 0) {
        daysField = m.captured(1);
        action = m.captured(2);
    } else {
        // "Dec 1-Jan": a range whose end lacks its day.
        static const QRegularExpression open(
            QStringLiteral("^([A-Za-z]+\\s+\\d{1,2}\\s*-\\s*[A-Za-z]+)(?:\\s|$)"));
        if (const auto o = open.match(rest); o.hasMatch() && monthOf(words.front()) != 0) {
            *error = QStringLiteral("the date range '%1' needs the day it ends on (Dec 1-Jan 6)")
                         .arg(o.captured(1));
            return false;
        }
        daysField = words.takeFirst();
        action = words.join(' ');
    }
    if (!parseDays(daysField, &e->days, error)) return false;
    if (action.trimmed().isEmpty()) {
        *error = QStringLiteral("nothing to do after the days");
        return false;
    }
    if (!parseSteps(action, &e->steps, error)) return false;
    e->action = joinedText(e->steps);
    return true;
}

}  // namespace

namespace {

// A problem's text quotes what was written; a long word is cut, so that a
// file of long lines cannot make its error list large.
constexpr int kMaxProblemChars = 200;

// How far each step may reach: the steps it starts (a command once per
// address, a scene with everything that scene starts) and how deep its scenes
// nest. Counts stop just above their bound, so no count overflows.
struct Reach {
    int steps = 0;
    int depth = 0;   // scenes one inside the other, the scene itself counted
    bool ok = true;  // false: a loop or an unknown scene lies below; not counted
};

int capped(qint64 n) {
    return static_cast<int>(std::min<qint64>(n, kMaxStepsPerFiring + 1));
}

// The scenes' loops, chains and fan-out in one pass over the scene graph
// (Tarjan's strongly connected components, without recursion): a scene on a
// cycle starts itself; every other scene is finished after all scenes it
// starts, so its reach adds theirs up once.
class SceneGraph {
  public:
    explicit SceneGraph(const std::map<QString, Scene>& scenes) {
        for (const auto& [name, scene] : scenes) {
            index_.insert(name, static_cast<int>(scenes_.size()));
            scenes_.push_back(&scene);
        }
        const size_t n = scenes_.size();
        reach_.assign(n, Reach{});
        loops_.assign(n, false);
        order_.assign(n, -1);
        low_.assign(n, 0);
        onStack_.assign(n, false);
        for (size_t v = 0; v < n; ++v)
            if (order_[v] < 0) visit(static_cast<int>(v));
    }

    // The reach of a list of steps (an entry's, a trigger's or a scene's).
    Reach reach(const std::vector<Step>& steps) const {
        Reach r;
        qint64 total = 0;
        for (const Step& s : steps) {
            if (s.kind == Step::Kind::Command) {
                total += static_cast<qint64>(std::max<size_t>(1, s.command.addresses.size()));
            } else if (s.kind == Step::Kind::Scene) {
                const auto it = index_.constFind(s.scene);
                if (it == index_.cend() || loops_[*it] || !reach_[*it].ok) {
                    r.ok = false;
                    continue;
                }
                total += 1 + reach_[*it].steps;
                r.depth = std::max(r.depth, reach_[*it].depth);
            } else {
                total += 1;
            }
            total = capped(total);
        }
        r.steps = static_cast<int>(total);
        return r;
    }
    const std::vector<const Scene*>& scenes() const { return scenes_; }
    bool loops(size_t v) const { return loops_[v]; }
    const Reach& reachOf(size_t v) const { return reach_[v]; }
    // The scene a step starts, -1 for none or an unknown one.
    int target(const Step& s) const {
        return s.kind == Step::Kind::Scene ? index_.value(s.scene, -1) : -1;
    }

  private:
    void visit(int root) {
        struct Frame {
            int v;
            size_t next;
        };
        std::vector<Frame> calls{{root, 0}};
        enter(root);
        while (!calls.empty()) {
            Frame& f = calls.back();
            const std::vector<Step>& steps = scenes_[f.v]->steps;
            if (f.next < steps.size()) {
                const int w = target(steps[f.next++]);
                if (w < 0) continue;
                if (order_[w] < 0) {
                    enter(w);
                    calls.push_back({w, 0});
                } else if (onStack_[w]) {
                    low_[f.v] = std::min(low_[f.v], order_[w]);
                }
                continue;
            }
            const int v = f.v;
            calls.pop_back();
            if (!calls.empty()) low_[calls.back().v] = std::min(low_[calls.back().v], low_[v]);
            if (low_[v] == order_[v]) finish(v);
        }
    }
    void enter(int v) {
        order_[v] = low_[v] = next_++;
        stack_.push_back(v);
        onStack_[v] = true;
    }
    // v closes a component: the scenes on the stack down to v.
    void finish(int v) {
        std::vector<int> component;
        int w;
        do {
            w = stack_.back();
            stack_.pop_back();
            onStack_[w] = false;
            component.push_back(w);
        } while (w != v);
        bool selfStart = component.size() > 1;
        for (const Step& s : scenes_[v]->steps) selfStart = selfStart || target(s) == v;
        if (selfStart) {
            for (const int c : component) loops_[c] = true;
            return;
        }
        reach_[v] = reach(scenes_[v]->steps);
        reach_[v].depth = std::min(reach_[v].depth + 1, kMaxSceneDepth + 1);
    }

    std::vector<const Scene*> scenes_;
    QHash<QString, int> index_;
    std::vector<Reach> reach_;
    std::vector<bool> loops_;
    std::vector<int> order_, low_, stack_;
    std::vector<bool> onStack_;
    int next_ = 0;
};

// Names, with report(line, problem), the scenes that start themselves, and
// the scenes, entries and triggers that reach too deep or too wide. Each
// problem is named where it arises: a scene over a bound is named, not every
// scene or entry that starts it. report gives false once the list is full.
template <class Report>
void checkReach(const Schedule& schedule, Report&& report) {
    const SceneGraph graph(schedule.scenes);
    const auto over = [](const Reach& r) { return r.ok && r.steps > kMaxStepsPerFiring; };
    // Whether a scene these steps start is over a bound already.
    const auto startsOver = [&](const std::vector<Step>& steps) {
        for (const Step& s : steps)
            if (const int t = graph.target(s); t >= 0 && !graph.loops(t)) {
                const Reach& r = graph.reachOf(t);
                if (over(r) || (r.ok && r.depth > kMaxSceneDepth)) return true;
            }
        return false;
    };
    const QString tooMany =
        QStringLiteral("one firing would start more than %1 steps").arg(kMaxStepsPerFiring);
    for (size_t v = 0; v < graph.scenes().size(); ++v) {
        const Scene& scene = *graph.scenes()[v];
        const Reach& r = graph.reachOf(v);
        QString problem;
        if (graph.loops(v))
            problem = QStringLiteral("scene '%1' starts itself").arg(scene.name);
        else if (startsOver(scene.steps))
            continue;
        else if (r.ok && r.depth > kMaxSceneDepth)
            problem = QStringLiteral("scene '%1' starts scenes more than %2 deep")
                          .arg(scene.name)
                          .arg(kMaxSceneDepth);
        else if (over(r))
            problem = QStringLiteral("scene '%1' would start more than %2 steps")
                          .arg(scene.name)
                          .arg(kMaxStepsPerFiring);
        if (!problem.isEmpty() && !report(scene.line, problem)) return;
    }
    for (const TimedEntry& e : schedule.timed)
        if (over(graph.reach(e.steps)) && !startsOver(e.steps) && !report(e.line, tooMany)) return;
    // One heard command matches, at most, every trigger on its house and function.
    std::map<std::pair<int, int>, int> heard;  // (house, function): steps started
    for (const Trigger& t : schedule.triggers) {
        const Reach r = graph.reach(t.steps);
        if (!r.ok || startsOver(t.steps)) continue;
        if (over(r)) {
            if (!report(t.line, tooMany)) return;
            continue;
        }
        int& sum = heard[{t.address.house, t.function}];
        if (sum > kMaxStepsPerFiring) continue;  // named already
        sum = capped(qint64(sum) + r.steps);
        if (sum > kMaxStepsPerFiring &&
            !report(t.line,
                    QStringLiteral("the triggers on %1 %2 would start more than %3 steps for one "
                                   "heard command")
                        .arg(x10::Address{t.address.house, 0}.text(), x10::functionName(t.function))
                        .arg(kMaxStepsPerFiring)))
            return;
    }
}

}  // namespace

ParseResult parseText(const QString& text, const ParseOptions& options) {
    ParseResult r;
    std::vector<std::pair<int, QString>> sceneRefs;  // line, name
    bool stopped = false;
    // Gives false once the list is full: the check stops there.
    const auto lineError = [&](int n, QString what) {
        if (r.errors.size() >= kMaxErrors) {
            if (!stopped)
                r.errors << QStringLiteral("line %1: more problems; the check stopped after %2")
                                .arg(n)
                                .arg(kMaxErrors);
            stopped = true;
            return false;
        }
        if (what.size() > kMaxProblemChars)
            what = what.left(kMaxProblemChars) + QStringLiteral("...");
        r.errors << QStringLiteral("line %1: %2").arg(n).arg(what);
        return true;
    };
    static const QRegularExpression sceneDef(
        QStringLiteral("^scene\\s+([A-Za-z0-9_.-]+)\\s*:(.*)$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression when(QStringLiteral("^when\\s+(.+?)\\s+heard\\s*:(.*)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    int n = 0, entries = 0;
    std::set<QString> unlisted;  // addresses warned about
    for (const QStringView written : QStringTokenizer(text, u'\n')) {
        if (stopped) break;
        ++n;
        QString line = written.toString();
        if (const int hash = line.indexOf('#'); hash >= 0) line.truncate(hash);
        line = simplified(line);
        if (line.isEmpty()) continue;
        if (++entries > kMaxEntries) {
            r.errors << QStringLiteral(
                            "line %1: more than %2 entries, the most a schedule may hold")
                            .arg(n)
                            .arg(kMaxEntries);
            stopped = true;
            break;
        }
        QString error;
        std::vector<Step>* steps = nullptr;
        const QString lower = line.toLower();
        if (lower.startsWith(QLatin1String("at "))) {
            TimedEntry e;
            e.line = n;
            if (!parseTimed(line.mid(3), &e, &error)) {
                lineError(n, error);
                continue;
            }
            if (e.kind != TimeKind::Clock && !options.hasLocation) {
                lineError(n, QStringLiteral("sunrise and sunset need [Location] Latitude and "
                                            "Longitude in the settings"));
                continue;
            }
            r.schedule.timed.push_back(std::move(e));
            steps = &r.schedule.timed.back().steps;
        } else if (const auto m = sceneDef.match(line); m.hasMatch()) {
            Scene s;
            s.line = n;
            s.name = m.captured(1);
            r.sceneNames << s.name;  // a name defined twice is dropped below
            if (r.schedule.scenes.count(s.name)) {
                lineError(n, QStringLiteral("scene '%1' is defined twice (first on line %2)")
                                 .arg(s.name)
                                 .arg(r.schedule.scenes[s.name].line));
                continue;
            }
            if (!parseSteps(m.captured(2), &s.steps, &error)) {
                lineError(n, error);
                continue;
            }
            steps = &r.schedule.scenes.emplace(s.name, std::move(s)).first->second.steps;
        } else if (const auto w = when.match(line); w.hasMatch()) {
            Trigger t;
            t.line = n;
            x10::Command c;
            // "A1 DIM" without an amount waits for any DIM; the command form
            // needs one, so it is read with a stand-in that is dropped again.
            const QString heard = simplified(w.captured(1));
            const QString last = heard.section(' ', -1).toUpper();
            const bool anyAmount = last == QLatin1String("DIM") || last == QLatin1String("BRIGHT");
            if (!parseCommand(anyAmount ? heard + QStringLiteral(" 0%") : heard, &c, &error)) {
                lineError(n, error);
                continue;
            }
            if (c.addresses.size() != 1) {
                lineError(n, QStringLiteral("a trigger waits for one address"));
                continue;
            }
            t.address = c.addresses.front();
            t.function = c.function;
            if (!anyAmount && (c.function == x10::Dim || c.function == x10::Bright))
                t.amount = c.amount;
            if (!parseSteps(w.captured(2), &t.steps, &error)) {
                lineError(n, error);
                continue;
            }
            t.action = joinedText(t.steps);
            r.schedule.triggers.push_back(std::move(t));
            steps = &r.schedule.triggers.back().steps;
        } else {
            lineError(n, QStringLiteral("unknown entry '%1' (at, scene NAME:, when ... heard:)")
                             .arg(line.section(' ', 0, 0)));
            continue;
        }
        for (const Step& s : *steps) {
            if (s.kind == Step::Kind::Scene) sceneRefs.emplace_back(n, s.scene);
            if (s.kind == Step::Kind::Command && options.knownModule)
                for (const auto& a : s.command.addresses)
                    if (a.unit != 0 && !options.knownModule(a) && unlisted.insert(a.text()).second)
                        r.warnings << QStringLiteral("line %1: %2 is not in the module list")
                                          .arg(n)
                                          .arg(a.text());
        }
    }
    r.sceneNames.removeDuplicates();
    if (stopped) {
        r.schedule = Schedule();
        return r;
    }
    for (const auto& [line, name] : sceneRefs)
        if (!r.schedule.scenes.count(name) &&
            !lineError(line, QStringLiteral("unknown scene '%1'").arg(name)))
            break;
    checkReach(r.schedule, lineError);
    if (!r.ok()) r.schedule = Schedule();
    return r;
}

}  // namespace schedule
