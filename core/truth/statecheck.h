#pragma once
// core::StateCheck: the modules that can answer (twoway-lamp,
// twoway-appliance) are asked for their state instead of trusted. After a
// command to one of them the interface confirmed, and in rounds (once the
// interface is found, found again, and every [Modules] PollMinutes), each is
// asked: a two-way lamp by the extended status request, a two-way appliance
// by STATUS REQUEST. The state table records what it answers.
//
// After a command, an answer that differs from what was sent, or none within
// kReplyMs, sends the command once more (as the state it was meant to leave,
// so that sending it twice does no harm) and asks again. A module that still
// does not answer is marked not answering (its last known power and level
// stay) with one warning line, until it answers again (one line). A lamp
// that says it has no load is named in one line.
//
// One request at a time, and only while no other command waits for the
// interface: the checks never hold up what a user asked for. A module is
// asked only once it had no command for kSettleMs, so a burst of commands to
// one module is checked once, at its end. No request goes out when the
// module's own word already says what the commands left: a command that
// leaves the state its last reply gave, or a reply heard (asked by another
// controller) that shows what the command meant. Their commands go through
// the one command path, without lines of their own.
//
// Qt Core only; every wait runs on the time base.

#include <QObject>
#include <QTimer>
#include <array>
#include <deque>
#include <optional>
#include <vector>

#include "backend.h"
#include "loglevel.h"
#include "state/statetable.h"

namespace core {

class LineCommands;

class StateCheck : public QObject {
    Q_OBJECT
  public:
    StateCheck(LineCommands& lines, state::StateTable& table, platform::LogHook log,
               QObject* parent = nullptr);

    // The interface was found (at start, or again): every two-way module is
    // asked, and the rounds every PollMinutes begin.
    void interfaceFound();
    // The interface is gone: nothing is asked until it is found again.
    void interfaceGone();
    // What the interface heard (after the state table applied it).
    void heard(const x10::HeardEvent& event);

    // Asks every two-way module (a round); the periodic rounds call it.
    void askAll();
    // Nothing is being asked and nothing waits to be.
    bool idle() const { return !current_ && due_.empty(); }

    // How long an answer may take once the interface confirmed the request.
    // The module answers once the request has passed on the powerline (the
    // interface confirms when it sent it, yet may confirm early) and its
    // reply takes another ~0.83 s at 60 Hz; one command of ours may take the
    // line before it (~0.83 s); the interface then polls and uploads it, a
    // few bytes at 4800 baud. About 2.5 s in all; 4 s leaves room for a
    // loaded line without letting a silent module hold the checks long.
    static constexpr qint64 kReplyMs = 4000;
    // How long a module must have had no command before it is asked. A
    // slider dragged or a scene gives one module several commands in a row,
    // about one powerline message (~0.83 s) apart, with a user's pauses
    // between drags a little longer; 3 s of quiet (over three message times)
    // lets such a run end before the one request for it, yet finds a lost
    // command within seconds.
    static constexpr qint64 kSettleMs = 3000;

  private:
    struct Check {
        state::Address address;
        // Asked after a command: what it was meant to leave, sent once more
        // when the module does not answer or answers otherwise.
        bool afterCommand = false;
        // The last command set a level (a preset level); after ON, DIM or
        // BRIGHT only the power is known: the module's own level stands.
        bool levelMeant = false;
        state::ModuleState intent;
        // Units of its house addressed by the standard command before one
        // to it: a lost address frame leaves them addressed.
        std::vector<int> suspects;
        int asked = 0;            // requests sent so far
        bool superseded = false;  // a newer command to it came meanwhile
        bool waitingReply = false;
        qint64 notBefore = 0;  // time base: asked from then on
    };
    // What a module last answered, while no command since changed it.
    struct Word {
        bool on = false;
        int level = -1;  // percent, -1 when the reply has none
    };

    void lineDone(const LineCommand& c, bool sent);
    Check& due(state::Address a, bool afterCommand, bool levelMeant = false);
    static void suspect(Check& c, const std::vector<int>& units);
    void askSuspects(const Check& c);
    void schedulePump();
    void pump();
    void ask();
    void answered(const state::ModuleReply& reply);
    void timedOut();
    void finish();
    bool sendAgain(const Check& c);
    bool matches(const Check& c, const state::ModuleReply& reply) const;
    bool leavesWord(const LineCommand& c, state::Address a) const;
    void heardElsewhere(const state::ModuleReply& reply);
    std::vector<state::Address> twoWayModules(int house) const;

    LineCommands& lines_;
    state::StateTable& table_;
    platform::LogHook log_;
    std::deque<Check> due_;         // waiting to be asked, oldest first
    std::optional<Check> current_;  // being asked
    bool found_ = false;
    bool pumpPosted_ = false;
    QTimer replyTimer_;
    QTimer roundTimer_;
    QTimer settleTimer_;
    // Per house: the units of the last standard command sent.
    std::array<std::vector<int>, 16> lastUnits_{};
    std::array<bool, 256> silent_{};  // logged as not answering
    std::array<bool, 256> noLoad_{};  // logged as without load
    std::array<std::optional<Word>, 256> word_{};
};

}  // namespace core
