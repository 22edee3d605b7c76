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

namespace x10 = veldrin::x10;

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

LineCommands::LineCommands(Backend& backend, state::StateTable& table,
                           std::function<void(const QString&)> log, QObject* parent)
    : CommandPath(parent),
      backend_(backend),
      table_(table),
      log_(std::move(log)),
      throttle_([this](const QString& line) {
          if (log_) log_(line);
      }) {
    connect(&backend_, &Backend::done, this, [this](const LineCommand& c, bool sent) {
        done(c, sent);
        checkFinished();
    });
    finishLimit_.setSingleShot(true);
    connect(&finishLimit_, &QTimer::timeout, this, &LineCommands::endFinish);
}

void LineCommands::setInterfaceReady(bool ready, const QString& why) {
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

void LineCommands::give(LineCommand c) {
    // The group has one answer: once one of its commands was refused, the
    // rest is refused with it.
    if (groupDepth_ > 0 && groupRefused_) {
        refuse(c);
        return;
    }
    if (!admit(c)) {
        if (groupDepth_ > 0) {
            groupRefused_ = true;
            std::vector<LineCommand> held;
            held.swap(held_);
            for (const LineCommand& h : held) refuse(h);
        }
        refuse(c);
        return;
    }
    if (groupDepth_ > 0)
        held_.push_back(std::move(c));
    else
        take(std::move(c));
}

void LineCommands::endGroup() {
    if (groupDepth_ == 0 || --groupDepth_ > 0) return;
    groupRefused_ = false;
    std::vector<LineCommand> held;
    held.swap(held_);
    for (LineCommand& c : held) take(std::move(c));
}

// Whether the interface can take c now, the commands of the open group
// counted; if not, the refusal is recorded and logged.
bool LineCommands::admit(const LineCommand& c) {
    if (closed_) {
        refusal_ = kStoppingReason;
        throttle_.log(QStringLiteral("stopping"), kStoppingReason);
        return false;
    }
    if (const QString why = backend_.cannotCarry(c.function); !why.isEmpty()) {
        refusal_ = why;
        throttle_.log(QStringLiteral("cannot-carry-%1").arg(c.function), why);
        return false;
    }
    // A contact in progress (the CP290's detection waits for its reply) says
    // so, whether or not the interface answered before.
    if (const QString why = backend_.busy(); !why.isEmpty()) {
        refusal_ = why;
        throttle_.log(QStringLiteral("busy"), why);
        return false;
    }
    if (!ready_) {
        // No interface answers (lost, or not found yet): nothing goes out,
        // and no one is told it did.
        refuseUnavailable(c.source);
        return false;
    }
    if (backend_.waiting() + int(held_.size()) >= kMaxWaiting) {
        refuseFull();
        return false;
    }
    return true;
}

void LineCommands::take(LineCommand c) {
    dropping_ = false;
    c.id = nextId_++;
    // Recorded first: the backend may report the command before send returns.
    pending_.push_back(c);
    if (pending_.size() > size_t(kMaxWaiting) + 1) pending_.pop_front();
    backend_.send(c);
}

// A command that was not sent: its labels show the tracked state again.
void LineCommands::refuse(const LineCommand& c) {
    if (c.house >= 1 && c.house <= 16) emit commandFailed(c.house, c.units, c.function);
}

void LineCommands::refuseFull() {
    refusal_ = kQueueFullReason;
    // One line per burst; a flood of bursts at most one line a second.
    if (!dropping_) throttle_.log(QStringLiteral("queue-full"), kQueueFullLine);
    dropping_ = true;
}

void LineCommands::refuseUnavailable(Source source) {
    refusal_ = kUnavailableReason;
    // One line for what one click, word or message gave (a click may send
    // two commands); a flood at most one line a second.
    const bool mqtt = source == Source::Mqtt;
    const int kind = mqtt ? 2 : 1;
    if (unavailableLogged_ & kind) return;
    if (!unavailableLogged_) QTimer::singleShot(0, this, [this] { unavailableLogged_ = 0; });
    unavailableLogged_ |= kind;
    if (mqtt)
        throttle_.log(QStringLiteral("unavailable-mqtt"), kUnavailableMqttLine);
    else
        throttle_.log(QStringLiteral("unavailable"), kUnavailableLine);
}

void LineCommands::dimTo(Address a, double level, Source source) {
    LineCommand c = command(a, x10::Dim, 0, source);
    c.level = level;
    give(std::move(c));
}

// ---------------------------------------------------------------------------
// The command path for any house

void LineCommands::switchUnit(Address a, bool on, Source source) {
    give(command(a, on ? x10::On : x10::Off, 0, source));
}

void LineCommands::setBrightness(Address a, int percent, Source source) {
    // ON and then DIM: both go out, or neither does.
    const Group together(*this);
    percent = std::clamp(percent, 0, 100);
    const state::Module* m = table_.modules().find(a);
    if (percent == 0 || (m && m->kind == state::Kind::Appliance)) {
        switchUnit(a, percent > 0, source);
        return;
    }
    if (backend_.dimsToLevel()) {
        dimTo(a, std::round(percent / 10.0), source);
        return;
    }
    const ModuleState e = expected(a);
    int from = e.level;
    if (e.power != Power::On || e.level < 0) {
        // Off or unknown: on at full brightness first, then down from there.
        give(command(a, x10::On, 0, source));
        from = 100;
    }
    if (percent < from) give(command(a, x10::Dim, from - percent, source));
    if (percent > from) give(command(a, x10::Bright, percent - from, source));
}

void LineCommands::houseFunction(int house, int function, Source source) {
    if (house < 1 || house > 16 || !x10::isHouseFunction(function)) return;
    give(command(Address{house, 0}, function, 0, source));
}

void LineCommands::sliderDim(Address a, int from, int to, Source source) {
    if (backend_.dimsToLevel()) {
        // The absolute level, also when it is unchanged.
        dimTo(a, double(to), source);
        return;
    }
    if (to > from)
        give(command(a, x10::Bright, (to - from) * 10, source));
    else if (to < from)
        give(command(a, x10::Dim, (from - to) * 10, source));
    else
        give(command(a, x10::Dim, 0, source));
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
            s.power = Power::On;
            s.level = int(c.level) * 10;
            continue;
        }
        s = state::StateTable::after(s, c.function, c.amount, lamp, dims);
    }
    return s;
}

// ---------------------------------------------------------------------------
// Outcomes

void LineCommands::done(const LineCommand& c, bool sent) {
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
    if (sent) {
        if (c.level >= 0) {
            // Levels other than the whole numbers 0 to 10 go out as full
            // brightness.
            const double whole = std::round(c.level);
            const int percent =
                (whole == c.level && c.level >= 0 && c.level <= 10) ? int(whole) * 10 : 100;
            for (int u : c.units) table_.setLevel(Address{c.house, u}, percent, c.source);
        } else {
            table_.apply(c.house, c.units, c.function, c.amount, c.source);
        }
        emit commandConfirmed(c.house, c.units, c.function);
        return;
    }
    emit commandFailed(c.house, c.units, c.function);
    // A command cut short by a lost interface needs no line of its own: the
    // loss has one. The engine reports the loss once its port notification
    // runs, after the queue drain that gave the commands up, so the line waits
    // for the next turn of the event loop.
    const QString text =
        QStringLiteral("ERROR: Command Not Confirmed by the Interface, Given Up: ") + describe(c);
    QTimer::singleShot(0, this, [this, text] {
        if (log_ && ready_) log_(text);
    });
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
    for (const LineCommand& c : unsent) names << describe(c);
    const auto n = unsent.size();
    if (log_)
        log_(QStringLiteral("ERROR: %1 %2 Not Sent (%3): %4")
                 .arg(n)
                 .arg(n == 1 ? QStringLiteral("Command") : QStringLiteral("Commands"), why,
                      names.join(QStringLiteral(", "))));
}

}  // namespace core
