#include "statecheck.h"

#include <QTimer>
#include <algorithm>
#include <utility>

#include "linecommands.h"
#include "timebase.h"
#include "x10.h"

using state::Address;
using state::ModuleReply;
using state::ModuleState;
using state::Power;

namespace core {

namespace {
// A request for a's state: the extended status request for a lamp, STATUS
// REQUEST for an appliance.
LineCommand request(Address a, bool lamp) {
    LineCommand c;
    c.house = a.house;
    c.units = {a.unit};
    if (lamp) {
        c.function = x10::ExtendedCode;
        c.extendedCommand = x10::kExtStatusRequest;
    } else {
        c.function = x10::StatusRequest;
    }
    return c;
}

bool isRequest(const LineCommand& c) {
    return c.function == x10::StatusRequest ||
           (c.function == x10::ExtendedCode && c.extendedCommand == x10::kExtStatusRequest);
}

size_t slot(Address a) {
    return size_t(state::indexOf(a));
}
}  // namespace

StateCheck::StateCheck(LineCommands& lines, state::StateTable& table, platform::LogHook log,
                       QObject* parent)
    : QObject(parent), lines_(lines), table_(table), log_(std::move(log)) {
    replyTimer_.setSingleShot(true);
    settleTimer_.setSingleShot(true);
    connect(&settleTimer_, &QTimer::timeout, this, &StateCheck::schedulePump);
    connect(&replyTimer_, &QTimer::timeout, this, &StateCheck::timedOut);
    connect(&roundTimer_, &QTimer::timeout, this, &StateCheck::askAll);
    connect(&lines_, &LineCommands::lineDone, this, &StateCheck::lineDone);
}

std::vector<Address> StateCheck::twoWayModules(int house) const {
    std::vector<Address> found;
    for (const state::Module& m : table_.modules().modules())
        if (m.twoWay && (house == 0 || m.address.house == house)) found.push_back(m.address);
    return found;
}

void StateCheck::interfaceFound() {
    found_ = true;
    askAll();
    const int minutes = table_.modules().pollMinutes();
    if (minutes > 0 && !twoWayModules(0).empty())
        platform::TimeBase::global().startTimer(roundTimer_, qint64(minutes) * 60 * 1000);
}

void StateCheck::interfaceGone() {
    found_ = false;
    roundTimer_.stop();
    replyTimer_.stop();
    settleTimer_.stop();
    current_.reset();
    due_.clear();
    word_.fill(std::nullopt);
}

void StateCheck::askAll() {
    for (Address a : twoWayModules(0)) due(a, false);
    schedulePump();
}

// ---------------------------------------------------------------------------
// What goes out

void StateCheck::lineDone(const LineCommand& c, bool sent) {
    // A command whose address frame was lost on the powerline acts on the
    // modules addressed before it: those of the standard command before,
    // suspects of the check that finds the loss.
    std::vector<int> before;
    if (sent && c.house >= 1 && c.house <= 16 && !c.units.empty() &&
        c.function != x10::ExtendedCode) {
        before = std::exchange(lastUnits_[size_t(c.house - 1)], c.units);
        std::erase_if(before, [&](int u) { return u == c.units.front(); });
    }
    if (c.check) {
        if (current_ && !isRequest(c)) {
            suspect(*current_, before);
            if (sent) word_[slot(current_->address)].reset();
        }
        if (current_ && isRequest(c) && c.house == current_->address.house &&
            c.units == std::vector<int>{current_->address.unit}) {
            if (sent) {
                current_->waitingReply = true;
                platform::TimeBase::global().startTimer(replyTimer_, kReplyMs);
            } else {
                // The interface did not put the request on the line: it says
                // nothing of the module. The next round asks again.
                replyTimer_.stop();
                current_.reset();
            }
        }
    } else if (sent) {
        const bool level =
            c.function == x10::ExtendedCode && c.extendedCommand == x10::kExtPresetLevel;
        // Had its address frame been lost, the function would have reached
        // the modules addressed before: their word no longer holds where the
        // function would change it.
        for (int u : before) {
            const Address a{c.house, u};
            if (!leavesWord(c, a)) word_[slot(a)].reset();
        }
        if (c.units.empty()) {
            for (Address a : twoWayModules(c.house)) {
                word_[slot(a)].reset();
                due(a, true).intent = table_.state(a);
            }
        } else {
            for (int u : c.units) {
                const Address a{c.house, u};
                if (!table_.modules().isTwoWay(a)) continue;
                // Lost or not, the command leaves the module as it last
                // answered: nothing to ask.
                if (leavesWord(c, a)) continue;
                word_[slot(a)].reset();
                Check& d = due(a, true, level);
                d.intent = table_.state(a);
                suspect(d, before);
            }
        }
    }
    schedulePump();
}

StateCheck::Check& StateCheck::due(Address a, bool afterCommand, bool levelMeant) {
    if (afterCommand && current_ && current_->address == a) current_->superseded = true;
    const qint64 settled =
        afterCommand ? platform::TimeBase::global().nowMs() + kSettleMs : qint64(0);
    for (Check& d : due_) {
        if (d.address != a) continue;
        if (afterCommand) {
            d.afterCommand = true;
            d.levelMeant = levelMeant;
            d.notBefore = settled;
        }
        return d;
    }
    Check c;
    c.address = a;
    c.afterCommand = afterCommand;
    c.levelMeant = levelMeant;
    c.notBefore = settled;
    // The check it overtakes found nothing yet.
    if (afterCommand && current_ && current_->address == a) c.suspects = current_->suspects;
    due_.push_back(c);
    return due_.back();
}

void StateCheck::suspect(Check& c, const std::vector<int>& units) {
    for (int u : units)
        if (std::find(c.suspects.begin(), c.suspects.end(), u) == c.suspects.end())
            c.suspects.push_back(u);
}

// A command to c's module was lost: the two-way modules it may have reached
// instead are asked too.
void StateCheck::askSuspects(const Check& c) {
    for (int u : c.suspects) {
        const Address a{c.address.house, u};
        if (table_.modules().isTwoWay(a)) due(a, false);
    }
}

void StateCheck::schedulePump() {
    // From the event loop: lineDone is raised inside the interface's drain,
    // and a command given there would wait for its next tick.
    if (pumpPosted_) return;
    pumpPosted_ = true;
    QTimer::singleShot(0, this, [this] {
        pumpPosted_ = false;
        pump();
    });
}

void StateCheck::pump() {
    if (!found_ || current_ || due_.empty()) return;
    // Behind every command a user gave: asked again once the last is done.
    if (!lines_.interfaceReady() || lines_.waiting() > 0) return;
    // The first, oldest, whose module had no command for the settle time.
    const platform::TimeBase& time = platform::TimeBase::global();
    const qint64 now = time.nowMs();
    auto it =
        std::find_if(due_.begin(), due_.end(), [&](const Check& d) { return d.notBefore <= now; });
    if (it == due_.end()) {
        qint64 next = due_.front().notBefore;
        for (const Check& d : due_) next = std::min(next, d.notBefore);
        time.startTimer(settleTimer_, next - now);
        return;
    }
    Check c = *it;
    due_.erase(it);
    const state::Module* m = table_.modules().find(c.address);
    if (!m || !m->twoWay) {
        schedulePump();
        return;
    }
    // What the commands left, as the table tracks it now.
    c.intent = table_.state(c.address);
    // A module already not answering is asked once in a round.
    if (!c.afterCommand && silent_[slot(c.address)]) c.asked = 1;
    current_ = c;
    ask();
}

void StateCheck::ask() {
    const state::Module* m = table_.modules().find(current_->address);
    ++current_->asked;
    current_->waitingReply = false;
    const bool lamp = m && m->kind == state::Kind::Lamp;
    if (!lines_.sendCheck(request(current_->address, lamp)).accepted()) current_.reset();
}

// The command once more, as the state it was meant to leave: a level, ON or
// OFF, each as harmless sent twice.
bool StateCheck::sendAgain(const Check& c) {
    if (c.intent.power == Power::Unknown) return false;
    LineCommand cmd;
    cmd.house = c.address.house;
    cmd.units = {c.address.unit};
    // The state it leaves has the source of the command it repeats.
    cmd.source = c.intent.source;
    if (c.intent.power == Power::Off) {
        cmd.function = x10::Off;
    } else if (c.levelMeant && lines_.takesExtLevel(c.address) && c.intent.level > 0) {
        cmd.function = x10::ExtendedCode;
        cmd.extendedCommand = x10::kExtPresetLevel;
        cmd.amount = x10::extLevel(c.intent.level);
    } else {
        cmd.function = x10::On;
    }
    return lines_.sendCheck(cmd).accepted();
}

// ---------------------------------------------------------------------------
// What comes back

void StateCheck::heard(const x10::HeardEvent& event) {
    for (const ModuleReply& r : state::moduleReplies(event)) answered(r);
}

// Whether c leaves a as its last reply gave it, whether or not c reaches it.
bool StateCheck::leavesWord(const LineCommand& c, Address a) const {
    const std::optional<Word>& w = word_[slot(a)];
    if (!w) return false;
    const state::Module* m = table_.modules().find(a);
    const bool lamp = m && m->kind == state::Kind::Lamp;
    const auto atSteps = [&](int steps) {
        return w->on && w->level >= 0 && x10::extLevel(w->level) == steps;
    };
    switch (c.function) {
        case x10::Off:
            return !w->on;
        case x10::On:
            // A lamp comes on at full brightness.
            return lamp ? atSteps(x10::kExtTopLevel) : w->on;
        case x10::ExtendedCode:
            if (c.extendedCommand != x10::kExtPresetLevel) return false;
            return c.amount <= 0 ? !w->on : atSteps(c.amount);
        default:
            return false;
    }
}

// A reply not asked for by the current check (another controller asked, or
// the module speaks for itself): heard after the commands went out, it is the
// module's word on what they left.
void StateCheck::heardElsewhere(const ModuleReply& reply) {
    const Address a = reply.address;
    const auto it =
        std::find_if(due_.begin(), due_.end(), [&](const Check& d) { return d.address == a; });
    if (it != due_.end()) {
        // A reply that differs leaves the check to find the loss.
        if (it->afterCommand && !matches(*it, reply)) return;
        due_.erase(it);
    }
    word_[slot(a)] = Word{reply.on, reply.level};
}

bool StateCheck::matches(const Check& c, const ModuleReply& reply) const {
    const ModuleState& intent = c.intent;
    if (intent.power == Power::Unknown) return true;
    if ((intent.power == Power::On) != reply.on) return false;
    if (!c.levelMeant || !reply.on || reply.level < 0 || intent.level < 0) return true;
    return x10::extLevel(intent.level) == x10::extLevel(reply.level);
}

void StateCheck::answered(const ModuleReply& reply) {
    const Address a = reply.address;
    const size_t i = slot(a);
    if (silent_[i]) {
        silent_[i] = false;
        log_(a.text() + QStringLiteral(" answers again"), platform::LogLevel::Info);
    }
    if (reply.load == 0 && !noLoad_[i]) {
        noLoad_[i] = true;
        log_(a.text() + QStringLiteral(": no load (bulb missing or burnt out)"),
             platform::LogLevel::Warning);
    } else if (reply.load == 1) {
        noLoad_[i] = false;
    }
    if (!current_ || current_->address != a) {
        heardElsewhere(reply);
        return;
    }
    replyTimer_.stop();
    // Not what the command was to leave: it was lost on the powerline (the
    // module answers what it had). Sent once more, then the module's word
    // stands.
    if (current_->afterCommand && !current_->superseded && !matches(*current_, reply)) {
        askSuspects(*current_);
        current_->suspects.clear();
        if (current_->asked < 2) {
            sendAgain(*current_);
            ask();
            return;
        }
    }
    // A newer command went out after the request: the reply may predate it.
    if (!current_->superseded) word_[slot(a)] = Word{reply.on, reply.level};
    finish();
}

void StateCheck::timedOut() {
    if (!current_) return;
    // A newer command to the module has a check of its own waiting.
    if (current_->superseded) {
        finish();
        return;
    }
    if (current_->asked < 2) {
        if (current_->afterCommand) sendAgain(*current_);
        ask();
        return;
    }
    const Address a = current_->address;
    table_.setAnswer(a, state::Answer::NotAnswering);
    word_[slot(a)].reset();
    if (!silent_[slot(a)]) {
        silent_[slot(a)] = true;
        log_(a.text() + QStringLiteral(" not answering"), platform::LogLevel::Warning);
    }
    finish();
}

void StateCheck::finish() {
    current_.reset();
    schedulePump();
}

}  // namespace core
