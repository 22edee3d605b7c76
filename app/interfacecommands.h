#pragma once
// The command path of the window: every command to a module, from the click
// pad, the all-units strip, the dim slider, remote command words or the
// home-automation bridge, goes to the interface in use through here. The two-
// way interface queues it (controlcm Exec) and reports it done; the CP290
// runs it at once and answers with its reply byte. The state table follows a
// command only once the interface confirmed it; a command given up changes
// nothing and writes one event-log line (none when the interface was lost
// meanwhile: the loss has a line of its own).

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "commandpath.h"
#include "state/statetable.h"

class controlcm;
struct Cp290Link;

class InterfaceCommands : public CommandPath {
    Q_OBJECT
  public:
    // useCp290: whether this run drives the CP290 (fixed at start-up).
    // log: one event-log line.
    InterfaceCommands(controlcm& control, Cp290Link& link, std::function<bool()> useCp290,
                      state::StateTable& table, std::function<void(const QString&)> log,
                      QObject* parent = nullptr);

    void switchUnit(state::Address a, bool on, state::Source source) override;
    void setBrightness(state::Address a, int percent, state::Source source) override;
    void houseFunction(int house, int function, state::Source source) override;
    bool interfaceReady() const override { return ready_; }

    // The result of contacting the interface (the status strip's colour).
    void setInterfaceReady(bool ready);

    // The sending steps of the click pad, the strip and the slider: the same
    // calls, and so the same bytes, as before, recorded for the state.
    // Two-way interface: queues with Exec; the state follows at CommandDone.
    void exec(const QString& housecode, const QString& devicecode, int command, int brightness,
              state::Source source);
    // CP290: one exchange each; the state follows when the reply byte came.
    // Return whether it came.
    bool cp290Command(QString& housecode, int unit, int function, state::Source source);
    bool cp290Dim(QString& housecode, int unit, double level, state::Source source);

    // Where commands given by the window's own handlers come from: Click,
    // or what a SourceScope set (Remote while a command word runs).
    state::Source currentSource() const { return current_; }
    class SourceScope {
      public:
        SourceScope(InterfaceCommands& path, state::Source s) : path_(path), saved_(path.current_) {
            path_.current_ = s;
        }
        ~SourceScope() { path_.current_ = saved_; }
        SourceScope(const SourceScope&) = delete;
        SourceScope& operator=(const SourceScope&) = delete;

      private:
        InterfaceCommands& path_;
        state::Source saved_;
    };

    // The state a module will have once the commands still queued for it are
    // done (the tracked state when none is queued).
    state::ModuleState expected(state::Address a) const;

  signals:
    // A command was given up after its retries (or the CP290 did not reply).
    void commandFailed(int house, const std::vector<int>& units, int function);

  private:
    struct Pending {
        int house = 0;
        QString housecode;
        QString devicecode;
        std::vector<int> units;
        int function = 0;
        int amount = 0;
        state::Source source = state::Source::None;
    };
    void commandDone(const QString& housecode, const QString& devicecode, int16_t command,
                     int16_t brightness, bool sent);
    void confirmed(int house, const std::vector<int>& units, int function, int amount,
                   state::Source source);
    void givenUp(int house, const std::vector<int>& units, int function, int amount);

    controlcm& control_;
    Cp290Link& link_;
    std::function<bool()> useCp290_;
    state::StateTable& table_;
    std::function<void(const QString&)> log_;
    std::deque<Pending> pending_;
    bool ready_ = false;
    int queued_ = 0;         // commands the control holds (two-way interface)
    bool dropping_ = false;  // the full queue was logged
    state::Source current_ = state::Source::Click;
};
