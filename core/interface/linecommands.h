#pragma once
// The command path over the interface of a run: every command to a module,
// from the click pad, command words, the home-automation bridge, the page or
// the schedule, goes to the backend in use through here. The state table
// follows a command only once the interface confirmed it; a command given up
// changes nothing and writes one event-log line (none when the interface was
// lost meanwhile: the loss has a line of its own).
//
// At most kMaxWaiting commands wait for the interface. A command beyond that,
// one given while no interface answers, one the interface is too busy to
// take, one with a function the interface cannot send, or one the module's
// kind does not take is not sent: its verdict says why (a command word is
// answered "ERROR <reason>"), and it is logged once per burst, at most once
// a second.
//
// Every command taken either reaches the interface or is named in a line
// that says why it did not: given up after its retries, cut short by a lost
// interface or a new contact, or still waiting when the run ends (finish).

#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "commandpath.h"
#include "loglevel.h"
#include "logthrottle.h"
#include "state/statetable.h"

namespace core {

class LineCommands : public CommandPath {
    Q_OBJECT
  public:
    // log: the event-log lines, each with its level (a refusal to a client
    // is a warning, a command given up or not sent an error).
    LineCommands(Backend& backend, state::StateTable& table, platform::LogHook log,
                 QObject* parent = nullptr);

    Verdict switchUnit(state::Address a, bool on, state::Source source) override;
    Verdict setBrightness(state::Address a, int percent, state::Source source) override;
    Verdict stepLevel(state::Address a, int function, int percent, state::Source source) override;
    Verdict houseFunction(int house, int function, state::Source source) override;
    Verdict sliderDim(state::Address a, int from, int to, state::Source source) override;
    QString refusalFor(state::Address a, int function) const override;
    int levelSteps(state::Address a) const override;
    bool interfaceReady() const override { return ready_; }

    // The result of contacting the interface. A new contact empties the
    // interface's queue: nothing recorded is coming, and why names the
    // occasion in the line that lists what was waiting. refusal: while not
    // ready, why a command is refused ("" for "Interface not available").
    void setInterfaceReady(bool ready, const QString& why, const QString& refusal = {});

    // The state a module will have once the commands still waiting for it
    // are done (the tracked state when none waits).
    state::ModuleState expected(state::Address a) const override;

    // A command of the state checks (c.check is set): it waits in the same
    // queue as every other, and its refusal is not logged. lineDone reports
    // its outcome.
    Verdict sendCheck(LineCommand c);
    // Commands given and not yet reported by the interface.
    int waiting() const { return int(pending_.size()); }
    // Whether a lamp takes an absolute level in one extended command: a
    // two-way lamp on the two-way interface.
    bool takesExtLevel(state::Address a) const;

    // The end of the run: no more commands are taken (each is refused,
    // "Stopping: command not sent"); the ones taken go out for at most
    // maxMs (time base), those still waiting then are named in one line,
    // and then runs: at once when nothing waits, otherwise from the event
    // loop. A second call ends the wait at once.
    void finish(qint64 maxMs, std::function<void()> then);
    bool finishing() const { return closed_; }

    // Commands waiting at most.
    static constexpr int kMaxWaiting = 50;

  signals:
    // Every command taken, when the interface reported it: sent is true once
    // it confirmed it (the state table has followed it).
    void lineDone(const core::LineCommand& c, bool sent);

  protected:
    void beginGroup() override;
    Verdict endGroup() override;

  private:
    Verdict give(LineCommand c);
    QString admit(const LineCommand& c);
    void take(LineCommand c, quint64 verdict);
    void settle(quint64 lineId, bool sent, const QString& why);
    void reportUnsent(const std::deque<LineCommand>& unsent, const QString& why);
    void checkFinished();
    void endFinish();
    Verdict switchTo(state::Address a, bool on, state::Source source);
    Verdict levelTo(state::Address a, int percent, state::Source source);
    Verdict dimTo(state::Address a, double level, state::Source source);
    Verdict noted(const Verdict& v, state::Source source, const QString& what);
    int reached(int function, int amount) const;
    void refuse(const LineCommand& c, const QString& why);
    void refuseFull();
    void refuseUnavailable(state::Source source);
    void done(const LineCommand& c, bool sent);
    void follow(const LineCommand& c);

    Backend& backend_;
    state::StateTable& table_;
    platform::LogHook log_;
    std::deque<LineCommand> pending_;  // given and not yet reported, oldest first
    quint64 nextId_ = 1;
    bool ready_ = false;
    QString refusal_;            // why commands are refused while not ready ("": the usual)
    bool dropping_ = false;      // the full queue was logged
    int unavailableLogged_ = 0;  // kinds logged in this turn of the event loop
    platform::LogThrottle throttle_;
    int groupDepth_ = 0;
    quint64 groupVerdict_ = 0;  // the verdict id of the open group
    QString groupRefusal_;      // why the open group was refused
    quint64 nextVerdict_ = 1;
    // The verdict each command taken answers to, and per verdict the commands
    // not yet reported and whether one of them was given up.
    std::unordered_map<quint64, quint64> verdictOf_;
    struct Outcome {
        size_t left = 0;
        bool failed = false;
    };
    std::unordered_map<quint64, Outcome> outcomes_;
    std::vector<LineCommand> held_;             // taken in the open group, sent when it ends
    bool closed_ = false;                       // finish was called: nothing more is taken
    std::vector<std::function<void()>> thens_;  // what runs once finish ends
    QTimer finishLimit_;
};

}  // namespace core
