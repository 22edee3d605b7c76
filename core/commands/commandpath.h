#pragma once
// The one path for commands to any module, whoever gives them (the click pad,
// command words, the home-automation bridge, the page, the schedule): each
// goes to the interface in use, in order, never interleaved with another
// exchange, and the state table follows it once the interface has confirmed
// it. Callers never ask which interface is in use.
//
// Giving a command answers at once with a verdict: accepted, with the id its
// outcome is reported under (confirmed, or givenUp with the reason), or
// refused with a reason in the user's words. Module kinds are checked here
// for every front end: a motion sensor, a door or window sensor and a remote
// take no commands, an appliance module takes no DIM, BRIGHT or preset dim
// (addresses not listed in [Modules] take everything). Each accepted command
// from the bridge, the page or the schedule writes one event-log line naming
// where it came from ("Web: A5 ON"); every refusal writes one (throttled).

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

#include "state/address.h"
#include "state/statetable.h"

class CommandPath : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    struct Verdict {
        // Accepted: the id its outcome is reported under; 0 when nothing had
        // to be sent (the module is already so).
        quint64 id = 0;
        // Refused: why, in words a user understands; empty when accepted.
        QString refusal;
        bool accepted() const { return refusal.isEmpty(); }
    };

    // Switches one module on or off.
    virtual Verdict switchUnit(state::Address a, bool on, state::Source source) = 0;
    // Sets a lamp's level, 0..100 percent (0 = off). The request is rounded
    // to what the line can do (the two-way interface's 22 dim steps, the
    // CP290's eleven levels) and nothing is sent when that is the level the
    // lamp has already; the state table then shows the level the lamp really
    // reaches. A lamp that is off or whose level is unknown is switched on at
    // full brightness first.
    virtual Verdict setBrightness(state::Address a, int percent, state::Source source) = 0;
    // DIM or BRIGHT (x10::Function) by percent from the lamp's level;
    // a lamp that is off comes on at full brightness and then moves, as lamp
    // modules do.
    virtual Verdict stepLevel(state::Address a, int function, int percent,
                              state::Source source) = 0;
    // ALL UNITS OFF, ALL LIGHTS ON or ALL LIGHTS OFF (x10::Function)
    // for a house, position 1..16 (A = 1).
    virtual Verdict houseFunction(int house, int function, state::Source source) = 0;
    // The dim slider of the click pad moved from level `from` to `to` (0..10)
    // with unit a selected. Two-way interface: BRIGHT or DIM by the
    // difference times ten percent (DIM 0 when unchanged); CP290: its
    // absolute level `to`, also when unchanged.
    virtual Verdict sliderDim(state::Address a, int from, int to, state::Source source) = 0;

    // Why a module refuses function whatever the interface does (its kind);
    // "" when it takes it.
    virtual QString refusalFor(state::Address a, int function) const {
        (void)a;
        (void)function;
        return {};
    }

    // The levels a lamp can be set to, above off: 100 when any percent is
    // reached, 22 for the two-way interface's dim steps, 10 for the CP290's
    // levels, 63 for a two-way lamp that takes an absolute level. A level
    // given is rounded to the nearest of them.
    virtual int levelSteps(state::Address a) const {
        (void)a;
        return 100;
    }

    // The state a module will have once the commands still waiting for it
    // are done (the tracked state when none waits).
    virtual state::ModuleState expected(state::Address a) const {
        (void)a;
        return {};
    }

    // The interface was found and answers.
    virtual bool interfaceReady() const = 0;

    // The commands given by steps go out together or not at all: when one of
    // them is refused, those given before it are refused with it
    // (commandFailed each), so that the answer to the word or request that
    // gave them matches what reaches the line. One verdict answers for all of
    // them: the first refusal, or one id for their outcome. Nests; the
    // outermost sends when steps return.
    Verdict together(const std::function<void()>& steps) {
        beginGroup();
        steps();
        return endGroup();
    }

  protected:
    virtual void beginGroup() {}
    virtual Verdict endGroup() { return {}; }

  signals:
    void interfaceReadyChanged(bool ready);
    // A command was refused, or not sent or given up after its retries: its
    // labels show the tracked state again. house: position 1..16 (A = 1);
    // reason: why, as the verdict or givenUp says it.
    void commandFailed(int house, const std::vector<int>& units, int function,
                       const QString& reason);
    // The interface confirmed a command; the state table has followed it.
    // house: position 1..16 (A = 1); units empty for a whole house.
    void commandConfirmed(int house, const std::vector<int>& units, int function);
    // The outcome of an accepted command, by the id of its verdict: every
    // frame it took was confirmed, or it was given up (reason).
    void confirmed(quint64 id);
    void givenUp(quint64 id, const QString& reason);
};
