#pragma once
// The command path over the interface of a run: every command to a module,
// from the click pad, command words or the home-automation bridge, goes to
// the backend in use through here. The state table follows a command only
// once the interface confirmed it; a command given up changes nothing and
// writes one event-log line (none when the interface was lost meanwhile: the
// loss has a line of its own).
//
// At most kMaxWaiting commands wait for the interface. A command beyond that,
// one given while no interface answers, one the interface is too busy to
// take, or one with a function the interface cannot send is not sent: it is
// recorded as the last refusal (which a command word answers with
// "ERROR <reason>") and logged once per burst, at most once a second.

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "backend.h"
#include "commandpath.h"
#include "logthrottle.h"
#include "state/statetable.h"

namespace core {

class LineCommands : public CommandPath {
    Q_OBJECT
  public:
    // log: one event-log line.
    LineCommands(Backend& backend, state::StateTable& table,
                 std::function<void(const QString&)> log, QObject* parent = nullptr);

    void switchUnit(state::Address a, bool on, state::Source source) override;
    void setBrightness(state::Address a, int percent, state::Source source) override;
    void houseFunction(int house, int function, state::Source source) override;
    void sliderDim(state::Address a, int from, int to, state::Source source) override;
    bool interfaceReady() const override { return ready_; }
    QString lastRefusal() const override { return refusal_; }
    void clearRefusal() override { refusal_.clear(); }

    // The result of contacting the interface. A new contact empties the
    // interface's queue: nothing recorded is coming.
    void setInterfaceReady(bool ready);

    // The state a module will have once the commands still waiting for it
    // are done (the tracked state when none waits).
    state::ModuleState expected(state::Address a) const;

    // Commands waiting at most.
    static constexpr int kMaxWaiting = 50;

  private:
    void give(LineCommand c);
    void dimTo(state::Address a, double level, state::Source source);
    void refuse(const LineCommand& c);
    void refuseFull();
    void refuseUnavailable(state::Source source);
    void done(const LineCommand& c, bool sent);

    Backend& backend_;
    state::StateTable& table_;
    std::function<void(const QString&)> log_;
    std::deque<LineCommand> pending_;  // given and not yet reported, oldest first
    quint64 nextId_ = 1;
    bool ready_ = false;
    bool dropping_ = false;      // the full queue was logged
    int unavailableLogged_ = 0;  // kinds logged in this turn of the event loop
    QString refusal_;
    platform::LogThrottle throttle_;
};

}  // namespace core
