// The window's command path: sends through the interface in use and moves the
// state table once the interface confirmed a command.
#include "interfacecommands.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

#include "controlcm.h"
#include "mcp290.h"
#include "numtext.h"
#include "timebase.h"
#include "x10codes.h"

using state::Address;
using state::ModuleState;
using state::Power;
using state::Source;

namespace x10 = pandrel::x10;

namespace {
// The control holds at most this many queued commands; records beyond it
// belong to commands it dropped.
constexpr size_t kMaxPending = InterfaceCommands::kMaxWaiting;

// The pause after a CP290 exchange before the next waiting one: time for the
// event loop to serve logins and read what arrived meanwhile (more commands
// then wait or are refused here instead of piling up unread). Small beside
// an exchange, which takes at least the frame's 350 ms on the line.
constexpr qint64 kCp290PauseMs = 20;

const QString kQueueFullReason = QStringLiteral("Command queue full: command not sent");
const QString kQueueFullLine =
    QStringLiteral("Command queue full: commands are dropped until it drains");
const QString kUnavailableReason = QStringLiteral("Interface not available");
const QString kUnavailableLine = QStringLiteral("Interface not available: command not sent");
const QString kUnavailableMqttLine =
    QStringLiteral("Interface not available: MQTT command dropped");
const QString kCp290BusyLine =
    QStringLiteral("CP290 Busy Detecting the Interface: Command Not Sent");

QString describe(int house, const std::vector<int>& units, int function, int amount) {
    state::HeardEvent ev;
    ev.house = house;
    ev.units = units;
    ev.function = function;
    ev.amount = (function == x10::Dim || function == x10::Bright) ? amount : -1;
    return state::StateTable::describe(ev);
}
}  // namespace

InterfaceCommands::InterfaceCommands(controlcm& control, Cp290Link& link,
                                     std::function<bool()> useCp290, state::StateTable& table,
                                     std::function<void(const QString&)> log, QObject* parent)
    : CommandPath(parent),
      control_(control),
      link_(link),
      useCp290_(std::move(useCp290)),
      table_(table),
      log_(std::move(log)),
      throttle_([this](const QString& line) {
          if (log_) log_(line);
      }) {
    connect(&control_, &controlcm::CommandDone, this, &InterfaceCommands::commandDone);
    cp290LoopTurn_.setSingleShot(true);
    cp290LoopTurn_.setInterval(0);
    connect(&cp290LoopTurn_, &QTimer::timeout, this, [this] {
        // Fired inside the exchange: a nested event loop (a message box) has
        // served everyone meanwhile.
        if (cp290Running_) cp290Rested_ = true;
    });
    cp290Pause_.setSingleShot(true);
    cp290Pause_.setTimerType(Qt::PreciseTimer);
    connect(&cp290Pause_, &QTimer::timeout, this, [this] {
        cp290Rested_ = true;
        cp290Next();
    });
}

void InterfaceCommands::setInterfaceReady(bool ready) {
    // A new contact empties the control's queue: nothing recorded is coming.
    pending_.clear();
    queued_ = 0;
    if (ready == ready_) return;
    ready_ = ready;
    emit interfaceReadyChanged(ready);
}

// ---------------------------------------------------------------------------
// Sending

// A command that never reached the control: its labels show the tracked
// state again.
void InterfaceCommands::notSent(const QString& housecode, const QString& devicecode, int command) {
    const int house = x10::housePosition(housecode);
    if (house > 0)
        emit commandFailed(
            house, x10::isHouseFunction(command) ? std::vector<int>{} : x10::unitList(devicecode),
            command);
}

void InterfaceCommands::exec(const QString& housecode, const QString& devicecode, int command,
                             int brightness, Source source) {
    if (!ready_ && !useCp290_()) {
        // No two-way interface answers (lost, or not found yet): nothing goes
        // out, and no one is told it did.
        refuseUnavailable(source);
        notSent(housecode, devicecode, command);
        return;
    }
    // The control drops what arrives while its queue is full, without a word;
    // count what it holds (taken and not yet reported done) so that what goes
    // beyond its limit is refused here, and said in the event log instead.
    if (ready_ && !useCp290_()) {
        if (queued_ >= kMaxWaiting) {
            refuseFull();
            notSent(housecode, devicecode, command);
            return;
        }
        dropping_ = false;
        ++queued_;
    }
    control_.Exec(housecode, devicecode, command, brightness);
    // Only a command the control took will be reported done.
    const int house = x10::housePosition(housecode);
    if (!ready_ || useCp290_() || house == 0) return;
    Pending p;
    p.house = house;
    p.housecode = housecode;
    p.devicecode = devicecode;
    p.units = x10::isHouseFunction(command) ? std::vector<int>{} : x10::unitList(devicecode);
    p.function = command;
    p.amount = std::clamp(brightness, 0, 100);
    p.source = source;
    pending_.push_back(std::move(p));
    if (pending_.size() > kMaxPending) pending_.pop_front();
}

void InterfaceCommands::refuseFull() {
    refusal_ = kQueueFullReason;
    // One line per burst; a flood of bursts at most one line a second.
    if (!dropping_) throttle_.log(QStringLiteral("queue-full"), kQueueFullLine);
    dropping_ = true;
}

void InterfaceCommands::refuseUnavailable(Source source) {
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

void InterfaceCommands::cp290Command(QString& housecode, int unit, int function, Source source) {
    Cp290Job job;
    job.unit = unit;
    job.function = function;
    job.source = source;
    cp290Submit(housecode, std::move(job));
}

void InterfaceCommands::cp290Dim(QString& housecode, int unit, double level, Source source) {
    Cp290Job job;
    job.unit = unit;
    job.function = x10::Dim;
    job.dim = true;
    job.level = level;
    job.source = source;
    cp290Submit(housecode, std::move(job));
}

void InterfaceCommands::cp290Submit(QString& housecode, Cp290Job job) {
    const bool fromNetwork = job.source != Source::Click;
    if (CP290Busy() || cp290Queue_.size() >= size_t(kMaxWaiting)) {
        if (CP290Busy()) {
            // A detection or clock setting waits for its reply: its port must
            // stay alone.
            refusal_ = kCp290BusyLine;
            throttle_.log(QStringLiteral("cp290-busy"), kCp290BusyLine);
        } else {
            refuseFull();
        }
        // Its labels show the tracked state again.
        const int house = x10::housePosition(housecode);
        if (house > 0 && x10::isHouseFunction(job.function))
            emit commandFailed(house, {}, job.function);
        else if (house > 0 && job.unit >= 1 && job.unit <= 16)
            emit commandFailed(house, {job.unit}, job.function);
        return;
    }
    dropping_ = false;
    if (!cp290Running_ && cp290Queue_.empty() && (cp290Rested_ || !fromNetwork)) {
        cp290Run(std::move(job), housecode);
        return;
    }
    // Taken: the driver would have upper-cased the house code by now.
    housecode = housecode.toUpper();
    job.housecode = housecode;
    cp290Queue_.push_back(std::move(job));
    if (!cp290Running_ && !cp290Pause_.isActive())
        platform::TimeBase::global().startTimer(cp290Pause_, kCp290PauseMs);
}

void InterfaceCommands::cp290Next() {
    if (cp290Running_ || cp290Queue_.empty()) return;
    if (CP290Busy()) {
        // A detection runs its wait: the waiting commands follow it.
        platform::TimeBase::global().startTimer(cp290Pause_, kCp290PauseMs);
        return;
    }
    Cp290Job job = std::move(cp290Queue_.front());
    cp290Queue_.pop_front();
    QString house = job.housecode;
    cp290Run(std::move(job), house);
}

void InterfaceCommands::cp290Run(Cp290Job job, QString& housecode) {
    const bool fromNetwork = job.source != Source::Click;
    cp290Running_ = true;
    if (fromNetwork) {
        cp290Rested_ = false;
        cp290LoopTurn_.start();
    }
    const int16_t unit = static_cast<int16_t>(job.unit);
    if (job.dim) {
        const double level = job.level;
        const bool replied = CP290Dim(link_, housecode, unit, level);
        const int house = x10::housePosition(housecode);
        if (house > 0 && job.unit >= 1 && job.unit <= 16) {
            if (replied) {
                // Levels other than the whole numbers 0 to 10 go out as full brightness.
                const double whole = std::round(level);
                const int percent =
                    (whole == level && level >= 0 && level <= 10) ? int(whole) * 10 : 100;
                table_.setLevel(Address{house, job.unit}, percent, job.source);
            } else {
                givenUp(house, {job.unit}, x10::Dim, -1);
            }
        }
    } else {
        const bool replied =
            CP290Command(link_, housecode, unit, static_cast<int16_t>(job.function));
        const int house = x10::housePosition(housecode);
        if (house > 0) {
            // The all-units functions name unit 2 in the frame but act on the house.
            const std::vector<int> units = x10::isHouseFunction(job.function)
                                               ? std::vector<int>{}
                                               : std::vector<int>{job.unit};
            if (replied)
                confirmed(house, units, job.function, 0, job.source);
            else
                givenUp(house, units, job.function, 0);
        }
    }
    cp290Running_ = false;
    if (fromNetwork || !cp290Queue_.empty())
        platform::TimeBase::global().startTimer(cp290Pause_, kCp290PauseMs);
}

// ---------------------------------------------------------------------------
// The command path for any house

void InterfaceCommands::switchUnit(Address a, bool on, Source source) {
    QString house(QChar::fromLatin1(a.letter()));
    if (useCp290_())
        cp290Command(house, a.unit, on ? x10::On : x10::Off, source);
    else
        exec(house, platform::blankNumber(a.unit), on ? x10::On : x10::Off, 0, source);
}

void InterfaceCommands::setBrightness(Address a, int percent, Source source) {
    percent = std::clamp(percent, 0, 100);
    const state::Module* m = table_.modules().find(a);
    if (percent == 0 || (m && m->kind == state::Kind::Appliance)) {
        switchUnit(a, percent > 0, source);
        return;
    }
    QString house(QChar::fromLatin1(a.letter()));
    if (useCp290_()) {
        cp290Dim(house, a.unit, std::round(percent / 10.0), source);
        return;
    }
    const QString unit = platform::blankNumber(a.unit);
    const ModuleState e = expected(a);
    int from = e.level;
    if (e.power != Power::On || e.level < 0) {
        // Off or unknown: on at full brightness first, then down from there.
        exec(house, unit, x10::On, 0, source);
        from = 100;
    }
    if (percent < from) exec(house, unit, x10::Dim, from - percent, source);
    if (percent > from) exec(house, unit, x10::Bright, percent - from, source);
}

void InterfaceCommands::houseFunction(int house, int function, Source source) {
    if (house < 1 || house > 16 || !x10::isHouseFunction(function)) return;
    QString letter(QChar::fromLatin1(Address{house, 0}.letter()));
    if (useCp290_())
        cp290Command(letter, 2, function, source);
    else
        exec(letter, QStringLiteral("0"), function, 0, source);
}

void InterfaceCommands::sliderDim(Address a, int from, int to, Source source) {
    QString house(QChar::fromLatin1(a.letter()));
    if (useCp290_()) {
        // The CP290 takes the absolute level, also when it is unchanged.
        cp290Dim(house, a.unit, double(to), source);
        return;
    }
    const QString unit = platform::blankNumber(a.unit);
    if (to > from)
        exec(house, unit, x10::Bright, (to - from) * 10, source);
    else if (to < from)
        exec(house, unit, x10::Dim, (from - to) * 10, source);
    else
        exec(house, unit, x10::Dim, 0, source);
}

ModuleState InterfaceCommands::expected(Address a) const {
    ModuleState s = table_.state(a);
    const bool lamp = table_.modules().isLamp(a);
    const state::Module* m = table_.modules().find(a);
    const bool dims = !m || m->kind == state::Kind::Lamp;
    for (const Pending& p : pending_) {
        if (p.house != a.house) continue;
        if (!x10::isHouseFunction(p.function) &&
            std::find(p.units.begin(), p.units.end(), a.unit) == p.units.end())
            continue;
        s = state::StateTable::after(s, p.function, p.amount, lamp, dims);
    }
    return s;
}

// ---------------------------------------------------------------------------
// Outcomes

void InterfaceCommands::commandDone(const QString& housecode, const QString& devicecode,
                                    int16_t command, int16_t brightness, bool sent) {
    if (queued_ > 0) --queued_;
    const int house = x10::housePosition(housecode);
    // The record of this command: the oldest one that matches it. Records
    // before it belong to commands the control never took.
    Source source = current_;
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
        return p.house == house && p.devicecode == devicecode && p.function == command;
    });
    if (it != pending_.end()) {
        source = it->source;
        pending_.erase(pending_.begin(), it + 1);
    }
    if (house == 0 || command == x10::ClearMemory) return;  // nothing for a module
    const std::vector<int> units =
        x10::isHouseFunction(command) ? std::vector<int>{} : x10::unitList(devicecode);
    if (sent)
        confirmed(house, units, command, brightness, source);
    else
        givenUp(house, units, command, brightness);
}

void InterfaceCommands::confirmed(int house, const std::vector<int>& units, int function,
                                  int amount, Source source) {
    table_.apply(house, units, function, amount, source);
}

void InterfaceCommands::givenUp(int house, const std::vector<int>& units, int function,
                                int amount) {
    emit commandFailed(house, units, function);
    // A command cut short by a lost interface needs no line of its own: the
    // loss has one. The control reports the loss once its port notification
    // runs, after the queue drain that gave the commands up, so the line waits
    // for the next turn of the event loop.
    const QString text =
        QStringLiteral("ERROR: Command Not Confirmed by the Interface, Given Up: ") +
        describe(house, units, function, amount);
    QTimer::singleShot(0, this, [this, text] {
        if (log_ && ready_) log_(text);
    });
}
