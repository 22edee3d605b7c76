#pragma once
// The command path of the window: every command to a module, from the click
// pad, the all-units strip, the dim slider, remote command words or the
// home-automation bridge, goes to the interface in use through here. The two-
// way interface queues it (controlcm Exec) and reports it done; the CP290
// runs one exchange at a time and answers with its reply byte. The state
// table follows a command only once the interface confirmed it; a command
// given up changes nothing and writes one event-log line (none when the
// interface was lost meanwhile: the loss has a line of its own).
//
// Both interfaces hold at most kMaxWaiting commands waiting. A command beyond
// that, or one the CP290 refuses while it is busy detecting, is not sent: it
// is recorded as the last refusal (which a command word answers with
// "ERROR <reason>") and logged once per burst, at most once a second.
//
// The CP290 blocks the program for each exchange (up to 3 s), so commands
// from the network do not run back to back inside one handler: a remote word
// or a bridge message runs at once only when nothing waits and the event loop
// has had its turn since the last such exchange; otherwise it waits in a
// queue that runs one exchange at a time from the event loop, a short pause
// apart, so that logins and other clients are served in between. The
// window's own clicks run at once whenever nothing waits, as they always did.

#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

#include "commandpath.h"
#include "logthrottle.h"
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
    void sliderDim(state::Address a, int from, int to, state::Source source) override;
    bool interfaceReady() const override { return ready_; }

    // The result of contacting the interface (the status strip's colour).
    void setInterfaceReady(bool ready);

    // The sending steps of the click pad, the strip and the slider: the same
    // calls, and so the same bytes, as before, recorded for the state.
    // Two-way interface: queues with Exec; the state follows at CommandDone.
    void exec(const QString& housecode, const QString& devicecode, int command, int brightness,
              state::Source source);
    // CP290: one exchange each, at once or queued (see above); the state
    // follows when the reply byte came. Like the driver, they upper-case the
    // caller's house code when the command is taken.
    void cp290Command(QString& housecode, int unit, int function, state::Source source);
    void cp290Dim(QString& housecode, int unit, double level, state::Source source);

    // Commands waiting at most (the two-way control's own queue holds as many).
    static constexpr int kMaxWaiting = 50;
    // Why the last command given here was not sent ("" when none was refused
    // since clearRefusal): "Command queue full: command not sent", the
    // CP290's busy refusal, or "Interface not available" while no two-way
    // interface answers (lost or not found; nothing is sent then). The
    // command interpreter clears it before a word.
    QString lastRefusal() const override { return refusal_; }
    void clearRefusal() override { refusal_.clear(); }
    // CP290 commands waiting for their exchange.
    int cp290Waiting() const { return static_cast<int>(cp290Queue_.size()); }

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

  private:
    struct Pending {
        int house = 0;  // position 1..16
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

    // One CP290 command: a direct command, or a dim to a level.
    struct Cp290Job {
        QString housecode;
        int unit = 0;
        int function = 0;
        bool dim = false;
        double level = 0;
        state::Source source = state::Source::None;
    };
    void cp290Submit(QString& housecode, Cp290Job job);
    void cp290Run(Cp290Job job, QString& housecode);
    void cp290Next();
    void refuseFull();
    void notSent(const QString& housecode, const QString& devicecode, int command);
    void refuseUnavailable(state::Source source);

    controlcm& control_;
    Cp290Link& link_;
    std::function<bool()> useCp290_;
    state::StateTable& table_;
    std::function<void(const QString&)> log_;
    std::deque<Pending> pending_;
    bool ready_ = false;
    int queued_ = 0;             // commands the control holds (two-way interface)
    bool dropping_ = false;      // the full queue was logged
    int unavailableLogged_ = 0;  // kinds logged in this turn of the event loop
    state::Source current_ = state::Source::Click;
    QString refusal_;
    platform::LogThrottle throttle_;

    std::deque<Cp290Job> cp290Queue_;
    bool cp290Running_ = false;  // an exchange is in progress
    // The event loop has had its turn since the last exchange for the network
    // began (during that exchange, or in the pause after it).
    bool cp290Rested_ = true;
    QTimer cp290LoopTurn_;  // zero time: fires once the event loop runs
    QTimer cp290Pause_;     // the pause after an exchange; then the next one
};
