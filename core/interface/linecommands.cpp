#include "linecommands.h"

#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <utility>

#include "timebase.h"
#include "x10.h"

using state::Address;
using state::ModuleState;
using state::Power;
using state::Source;

namespace core {

namespace {
const QString kQueueFullReason = QStringLiteral("Command queue full: command not sent");
const QString kQueueFullLine =
    QStringLiteral("Command queue full: commands are dropped until it drains");
const QString kUnavailableReason = QStringLiteral("Interface not available");
const QString kUnavailableLine = QStringLiteral("Interface not available: command not sent");
const QString kUnavailableMqttLine =
    QStringLiteral("Interface not available: MQTT command dropped");
const QString kStoppingReason = QStringLiteral("Stopping: command not sent");
const QString kGivenUpReason = QStringLiteral("Not confirmed by the interface, given up");

// The CP290's level (0 ... 10) for percent: the nearest tenth, and a low
// level above 0 is at least 1 (a lamp asked for a low level is on).
double tenths(int percent) {
    return percent > 0 ? std::max(1.0, std::round(percent / 10.0)) : 0.0;
}

// Who gave a command, as its event-log lines name it.
QString origin(Source source) {
    switch (source) {
        case Source::Mqtt:
            return QStringLiteral("MQTT");
        case Source::Web:
            return QStringLiteral("Web");
        case Source::Schedule:
            return QStringLiteral("Schedule");
        case Source::Remote:
            return QStringLiteral("Remote");
        default:
            return QStringLiteral("Window");
    }
}

QString describe(const LineCommand& c) {
    state::HeardEvent ev;
    ev.house = c.house;
    ev.units = c.units;
    ev.function = c.function;
    ev.amount =
        (c.level < 0 && (c.function == x10::Dim || c.function == x10::Bright)) ? c.amount : -1;
    return state::StateTable::describe(ev);
}

LineCommand command(Address a, int function, int amount, Source source) {
    LineCommand c;
    c.house = a.house;
    if (a.unit > 0) c.units = {a.unit};
    c.function = function;
    c.amount = std::clamp(amount, 0, 100);
    c.source = source;
    return c;
}
}  // namespace

LineCommands::LineCommands(Backend& backend, state::StateTable& table, platform::LogHook log,
                           QObject* parent)
    : CommandPath(parent),
      backend_(backend),
      table_(table),
      log_(std::move(log)),
      // Every throttled line is a command refused to its client.
      throttle_([this](const QString& line) { log_(line, platform::LogLevel::Warning); }) {
    connect(&backend_, &Backend::done, this, [this](const LineCommand& c, bool sent) {
        done(c, sent);
        checkFinished();
    });
    finishLimit_.setSingleShot(true);
    connect(&finishLimit_, &QTimer::timeout, this, &LineCommands::endFinish);
}

void LineCommands::setInterfaceReady(bool ready, const QString& why, const QString& refusal) {
    refusal_ = ready ? QString() : refusal;
    // What still waited is not coming: the interface went away or was let
    // go, or a new contact emptied its queue.
    reportUnsent(std::exchange(pending_, {}), why);
    if (ready == ready_) return;
    ready_ = ready;
    emit interfaceReadyChanged(ready);
    checkFinished();
}

// ---------------------------------------------------------------------------
// Giving commands

CommandPath::Verdict LineCommands::give(LineCommand c) {
    // The group has one answer: once one of its commands was refused, the
    // rest is refused with it.
    if (groupDepth_ > 0 && !groupRefusal_.isEmpty()) {
        refuse(c, groupRefusal_);
        return {0, groupRefusal_};
    }
    if (const QString why = admit(c); !why.isEmpty()) {
        if (groupDepth_ > 0) {
            groupRefusal_ = why;
            std::vector<LineCommand> held;
            held.swap(held_);
            for (const LineCommand& h : held) refuse(h, why);
        }
        refuse(c, why);
        return {0, why};
    }
    if (groupDepth_ > 0) {
        held_.push_back(std::move(c));
        return {groupVerdict_, {}};
    }
    const quint64 v = nextVerdict_++;
    outcomes_[v].left = 1;
    take(std::move(c), v);
    return {v, {}};
}

void LineCommands::beginGroup() {
    if (groupDepth_++ > 0) return;
    groupVerdict_ = nextVerdict_++;
    groupRefusal_.clear();
}

CommandPath::Verdict LineCommands::endGroup() {
    if (groupDepth_ == 0) return {};
    if (--groupDepth_ > 0) return {groupRefusal_.isEmpty() ? groupVerdict_ : 0, groupRefusal_};
    const QString refusal = std::exchange(groupRefusal_, {});
    const quint64 v = std::exchange(groupVerdict_, 0);
    std::vector<LineCommand> held;
    held.swap(held_);
    if (!refusal.isEmpty()) return {0, refusal};
    if (held.empty()) return {};
    // All of them counted before the first is sent: the backend may report
    // one before send returns.
    outcomes_[v].left = held.size();
    for (LineCommand& c : held) take(std::move(c), v);
    return {v, {}};
}

// Why the interface cannot take c now, the commands of the open group
// counted ("" when it can); a refusal is logged.
QString LineCommands::admit(const LineCommand& c) {
    if (closed_) {
        throttle_.log(QStringLiteral("stopping"), kStoppingReason);
        return kStoppingReason;
    }
    for (int u : c.units) {
        const int function = c.level >= 0 ? int(x10::Dim) : c.function;
        if (const QString why = refusalFor(Address{c.house, u}, function); !why.isEmpty()) {
            // The schedule's own line names its entry and the reason.
            if (c.source != Source::Schedule)
                throttle_.log(QStringLiteral("kind ") + why,
                              QStringLiteral("%1 command not sent: %2").arg(origin(c.source), why));
            return why;
        }
    }
    if (const QString why = backend_.cannotCarry(c.function); !why.isEmpty()) {
        throttle_.log(QStringLiteral("cannot-carry-%1").arg(c.function), why);
        return why;
    }
    if (!ready_) {
        // No interface answers (lost, or not found yet, also while the first
        // contact runs): nothing goes out, and no one is told it did.
        refuseUnavailable(c.source);
        return refusal_.isEmpty() ? kUnavailableReason : refusal_;
    }
    // A new contact with an interface that answered before (the CP290's
    // detection waits for its reply) says so.
    if (const QString why = backend_.busy(); !why.isEmpty()) {
        throttle_.log(QStringLiteral("busy"), why);
        return why;
    }
    if (backend_.waiting() + int(held_.size()) >= kMaxWaiting) {
        refuseFull();
        return kQueueFullReason;
    }
    return {};
}

QString LineCommands::refusalFor(Address a, int function) const {
    const state::Module* m = a.unit > 0 ? table_.modules().find(a) : nullptr;
    if (!m) return {};
    const QString name = a.text();
    switch (m->kind) {
        case state::Kind::Motion:
            return QStringLiteral("%1 is a motion sensor and takes no commands").arg(name);
        case state::Kind::Sensor:
            return QStringLiteral("%1 is a door or window sensor and takes no commands").arg(name);
        case state::Kind::Remote:
            return QStringLiteral("%1 is a remote and takes no commands").arg(name);
        case state::Kind::Appliance:
            if (function == x10::Dim || function == x10::Bright || function == x10::PresetDim1 ||
                function == x10::PresetDim2)
                return QStringLiteral("%1 is an appliance module and does not dim").arg(name);
            return {};
        case state::Kind::Lamp:
            return {};
    }
    return {};
}

int LineCommands::levelSteps(Address a) const {
    if (backend_.dimsToLevel()) return 10;
    if (takesExtLevel(a)) return x10::kExtTopLevel;
    return 22;
}

bool LineCommands::takesExtLevel(Address a) const {
    if (backend_.dimsToLevel() || a.unit == 0) return false;
    const state::Module* m = table_.modules().find(a);
    return m && m->twoWay && m->kind == state::Kind::Lamp;
}

CommandPath::Verdict LineCommands::sendCheck(LineCommand c) {
    c.check = true;
    if (closed_) return {0, kStoppingReason};
    if (!ready_) return {0, kUnavailableReason};
    // Refused here, where nothing is logged: no user gave it.
    if (const QString why = backend_.busy(); !why.isEmpty()) return {0, why};
    if (backend_.waiting() >= kMaxWaiting) return {0, kQueueFullReason};
    return give(std::move(c));
}

void LineCommands::take(LineCommand c, quint64 verdict) {
    dropping_ = false;
    c.id = nextId_++;
    verdictOf_[c.id] = verdict;
    // Recorded first: the backend may report the command before send returns.
    pending_.push_back(c);
    if (pending_.size() > size_t(kMaxWaiting) + 1) {
        settle(pending_.front().id, false, QStringLiteral("Dropped by the Interface"));
        pending_.pop_front();
    }
    backend_.send(c);
}

// The outcome of one command taken, for the verdict it answers to: given up
// at its first failure, confirmed once all of its commands were. The signals
// come from the event loop, after the verdict reached its caller.
void LineCommands::settle(quint64 lineId, bool sent, const QString& why) {
    const auto it = verdictOf_.find(lineId);
    if (it == verdictOf_.end()) return;
    const quint64 v = it->second;
    verdictOf_.erase(it);
    const auto o = outcomes_.find(v);
    if (o == outcomes_.end()) return;
    if (!sent && !o->second.failed) {
        o->second.failed = true;
        QTimer::singleShot(0, this, [this, v, why] { emit givenUp(v, why); });
    }
    if (--o->second.left > 0) return;
    if (!o->second.failed) QTimer::singleShot(0, this, [this, v] { emit confirmed(v); });
    outcomes_.erase(o);
}

// A command that was not sent: its labels show the tracked state again.
void LineCommands::refuse(const LineCommand& c, const QString& why) {
    if (c.house >= 1 && c.house <= 16) emit commandFailed(c.house, c.units, c.function, why);
}

void LineCommands::refuseFull() {
    // One line per burst; a flood of bursts at most one line a second.
    if (!dropping_) throttle_.log(QStringLiteral("queue-full"), kQueueFullLine);
    dropping_ = true;
}

void LineCommands::refuseUnavailable(Source source) {
    // One line for what one click, word or message gave (a click may send
    // two commands); a flood at most one line a second.
    const bool mqtt = source == Source::Mqtt;
    const int kind = mqtt ? 2 : 1;
    if (unavailableLogged_ & kind) return;
    if (!unavailableLogged_) QTimer::singleShot(0, this, [this] { unavailableLogged_ = 0; });
    unavailableLogged_ |= kind;
    // The reason for refusing (when it is not the usual one) names the line.
    if (mqtt)
        throttle_.log(QStringLiteral("unavailable-mqtt"),
                      refusal_.isEmpty() ? kUnavailableMqttLine
                                         : refusal_ + QStringLiteral(": MQTT command dropped"));
    else
        throttle_.log(QStringLiteral("unavailable"),
                      refusal_.isEmpty() ? kUnavailableLine
                                         : refusal_ + QStringLiteral(": command not sent"));
}

CommandPath::Verdict LineCommands::dimTo(Address a, double level, Source source) {
    LineCommand c = command(a, x10::Dim, 0, source);
    c.level = level;
    return give(std::move(c));
}

// The level a lamp moves by for a DIM or BRIGHT of amount percent: the
// two-way line carries whole dim steps.
int LineCommands::reached(int function, int amount) const {
    if (backend_.dimsToLevel() || (function != x10::Dim && function != x10::Bright)) return amount;
    return x10::stepsToPercent(x10::dimSteps(amount));
}

// One line for an accepted command of the bridge, the page or the schedule,
// as the remote clients' words have theirs: who, then what ("Web: A5 ON").
// Written from the event loop, after the engine's turn that puts the first
// frame on the line: the line costs the command no time.
CommandPath::Verdict LineCommands::noted(const Verdict& v, Source source, const QString& what) {
    if (v.accepted() && log_ &&
        (source == Source::Mqtt || source == Source::Web || source == Source::Schedule)) {
        const QString line = origin(source) + QStringLiteral(": ") + what;
        QMetaObject::invokeMethod(
            this, [this, line] { log_(line, platform::LogLevel::Info); }, Qt::QueuedConnection);
    }
    return v;
}

// ---------------------------------------------------------------------------
// The command path for any house

CommandPath::Verdict LineCommands::switchUnit(Address a, bool on, Source source) {
    return noted(switchTo(a, on, source), source,
                 a.text() + (on ? QStringLiteral(" ON") : QStringLiteral(" OFF")));
}

CommandPath::Verdict LineCommands::switchTo(Address a, bool on, Source source) {
    return give(command(a, on ? x10::On : x10::Off, 0, source));
}

CommandPath::Verdict LineCommands::setBrightness(Address a, int percent, Source source) {
    percent = std::clamp(percent, 0, 100);
    return noted(levelTo(a, percent, source), source,
                 QStringLiteral("%1 BRIGHTNESS %2").arg(a.text()).arg(percent));
}

CommandPath::Verdict LineCommands::levelTo(Address a, int percent, Source source) {
    // A level is a dim, also 0: a module that does not dim refuses it.
    if (!refusalFor(a, x10::Dim).isEmpty()) return give(command(a, x10::Dim, 0, source));
    if (percent == 0) return switchTo(a, false, source);
    const ModuleState e = expected(a);
    const bool known = e.power == Power::On && e.level >= 0;
    if (backend_.dimsToLevel()) {
        const double level = tenths(percent);
        if (known && e.level == int(level) * 10) return {};
        return dimTo(a, level, source);
    }
    if (takesExtLevel(a)) {
        // One preset-level command: the lamp ramps to it, from fully dimmed
        // when it is off, without going to full brightness first.
        const int level = x10::extLevel(percent);
        if (known && x10::extLevel(e.level) == level) return {};
        LineCommand c = command(a, x10::ExtendedCode, level, source);
        c.extendedCommand = x10::kExtPresetLevel;
        return give(std::move(c));
    }
    // Off or unknown: on at full brightness first, then down from there, by
    // whole steps of the line.
    const int from = known ? e.level : 100;
    const int steps = x10::dimSteps(std::abs(percent - from));
    if (known && steps == 0) return {};
    return together([&] {
        if (!known) give(command(a, x10::On, 0, source));
        if (steps > 0)
            give(command(a, percent < from ? x10::Dim : x10::Bright, x10::stepsToPercent(steps),
                         source));
    });
}

CommandPath::Verdict LineCommands::stepLevel(Address a, int function, int percent, Source source) {
    if (function != x10::Dim && function != x10::Bright)
        return {0, QStringLiteral("Not a dim or bright command")};
    percent = std::clamp(percent, 0, 100);
    LineCommand c = command(a, function, percent, source);
    const QString what = describe(c);
    if (!refusalFor(a, function).isEmpty()) return give(std::move(c));
    const ModuleState e = expected(a);
    const bool known = e.power == Power::On && e.level >= 0;
    if (backend_.dimsToLevel()) {
        // Off or unknown: the lamp comes on at full brightness and moves.
        const int from = known ? e.level : 100;
        const int to = std::clamp(function == x10::Dim ? from - percent : from + percent, 0, 100);
        const double level = tenths(to);
        if (known && e.level == int(level) * 10) return noted({}, source, what);
        return noted(dimTo(a, level, source), source, what);
    }
    // A step that cannot move the lamp (a BRIGHT at full brightness) is not
    // sent.
    if (known) {
        const int step = reached(function, percent);
        if (std::clamp(function == x10::Dim ? e.level - step : e.level + step, 0, 100) == e.level)
            return noted({}, source, what);
    }
    return noted(give(std::move(c)), source, what);
}

CommandPath::Verdict LineCommands::houseFunction(int house, int function, Source source) {
    if (house < 1 || house > 16) return {0, QStringLiteral("No such house code")};
    if (!x10::isHouseFunction(function)) return {0, QStringLiteral("Not a house-wide command")};
    LineCommand c = command(Address{house, 0}, function, 0, source);
    const QString what = describe(c);
    return noted(give(std::move(c)), source, what);
}

CommandPath::Verdict LineCommands::sliderDim(Address a, int from, int to, Source source) {
    if (backend_.dimsToLevel()) {
        // The absolute level, also when it is unchanged.
        return dimTo(a, double(to), source);
    }
    if (to > from) return give(command(a, x10::Bright, (to - from) * 10, source));
    if (to < from) return give(command(a, x10::Dim, (from - to) * 10, source));
    return give(command(a, x10::Dim, 0, source));
}

ModuleState LineCommands::expected(Address a) const {
    ModuleState s = table_.state(a);
    const bool lamp = table_.modules().isLamp(a);
    const state::Module* m = table_.modules().find(a);
    const bool dims = !m || m->kind == state::Kind::Lamp;
    std::vector<const LineCommand*> waiting;
    for (const LineCommand& c : pending_) waiting.push_back(&c);
    for (const LineCommand& c : held_) waiting.push_back(&c);
    for (const LineCommand* w : waiting) {
        const LineCommand& c = *w;
        if (c.house != a.house) continue;
        if (!x10::isHouseFunction(c.function) &&
            std::find(c.units.begin(), c.units.end(), a.unit) == c.units.end())
            continue;
        if (c.level >= 0) {
            // As done() records it: level 0 is off.
            s.power = c.level > 0 ? Power::On : Power::Off;
            s.level = int(c.level) * 10;
            continue;
        }
        if (c.function == x10::ExtendedCode) {
            if (c.extendedCommand == x10::kExtPresetLevel) {
                s.level = x10::extPercent(c.amount);
                s.power = s.level > 0 ? Power::On : Power::Off;
            }
            continue;
        }
        s = state::StateTable::after(s, c.function, reached(c.function, c.amount), lamp, dims);
    }
    return s;
}

// ---------------------------------------------------------------------------
// Outcomes

void LineCommands::done(const LineCommand& c, bool sent) {
    // The backend's own reason (its retries, a cut-short send) says more
    // than the fixed text.
    const QString why = c.reason.isEmpty() ? kGivenUpReason : c.reason;
    settle(c.id, sent, why);
    if (c.id != 0) {
        // Commands given before this one and still recorded were dropped.
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [&](const LineCommand& p) { return p.id == c.id; });
        if (it != pending_.end()) {
            // Those given before it that the backend never reported did not
            // go out.
            std::deque<LineCommand> skipped(pending_.begin(), it);
            pending_.erase(pending_.begin(), it + 1);
            reportUnsent(std::move(skipped), QStringLiteral("Dropped by the Interface"));
        }
    }
    if (c.house < 1 || c.house > 16) return;
    if (c.check) {
        // The checks' own: the state follows a command sent again, and
        // the checks hear of it; no one else does.
        if (sent) follow(c);
        emit lineDone(c, sent);
        return;
    }
    if (sent) {
        follow(c);
        emit commandConfirmed(c.house, c.units, c.function);
        emit lineDone(c, sent);
        return;
    }
    emit commandFailed(c.house, c.units, c.function, why);
    emit lineDone(c, sent);
    // A command cut short by a lost interface needs no line of its own: the
    // loss has one. The engine reports the loss once its port notification
    // runs, after the queue drain that gave the commands up, so the line waits
    // for the next turn of the event loop.
    const QString text =
        QStringLiteral("ERROR: Command Not Confirmed by the Interface, Given Up: ") + describe(c);
    QTimer::singleShot(0, this, [this, text] {
        if (ready_) log_(text, platform::LogLevel::Error);
    });
}

// The state table follows a command the interface confirmed.
void LineCommands::follow(const LineCommand& c) {
    if (c.level >= 0) {
        // Levels other than the whole numbers 0 to 10 go out as full
        // brightness.
        const double whole = std::round(c.level);
        const int percent =
            (whole == c.level && c.level >= 0 && c.level <= 10) ? int(whole) * 10 : 100;
        for (int u : c.units) table_.setLevel(Address{c.house, u}, percent, c.source);
    } else if (c.function == x10::ExtendedCode) {
        // A preset level; other extended commands (a status request) change
        // nothing.
        if (c.extendedCommand == x10::kExtPresetLevel)
            for (int u : c.units)
                table_.setLevel(Address{c.house, u}, x10::extPercent(c.amount), c.source);
    } else {
        table_.apply(c.house, c.units, c.function, reached(c.function, c.amount), c.source);
    }
}

// ---------------------------------------------------------------------------
// The end of the run

void LineCommands::finish(qint64 maxMs, std::function<void()> then) {
    closed_ = true;
    thens_.push_back(std::move(then));
    if (thens_.size() > 1 || !ready_ || pending_.empty()) {
        endFinish();
        return;
    }
    platform::TimeBase::global().startTimer(finishLimit_, maxMs);
}

void LineCommands::checkFinished() {
    if (thens_.empty() || (ready_ && !pending_.empty())) return;
    // Out of the backend's report: what runs next may end the process.
    QTimer::singleShot(0, this, &LineCommands::endFinish);
}

void LineCommands::endFinish() {
    finishLimit_.stop();
    if (thens_.empty()) return;
    reportUnsent(std::exchange(pending_, {}), QStringLiteral("Stopping"));
    std::vector<std::function<void()>> thens;
    thens.swap(thens_);
    for (const auto& then : thens)
        if (then) then();
}

// One line naming commands that were taken and will not go out.
void LineCommands::reportUnsent(const std::deque<LineCommand>& unsent, const QString& why) {
    if (unsent.empty()) return;
    QStringList names;
    for (const LineCommand& c : unsent) {
        settle(c.id, false, why);
        emit lineDone(c, false);
        // The checks' requests are theirs to repeat, not the user's.
        if (!c.check) names << describe(c);
    }
    if (names.isEmpty()) return;
    const auto n = names.size();
    log_(QStringLiteral("ERROR: %1 %2 Not Sent (%3): %4")
             .arg(n)
             .arg(n == 1 ? QStringLiteral("Command") : QStringLiteral("Commands"), why,
                  names.join(QStringLiteral(", "))),
         platform::LogLevel::Error);
}

}  // namespace core
