#pragma once
// core::Service: the one object that owns the house, below every front end.
// It reads the settings once at start, and owns the interface (and with it
// the command path), the module list and state table, the click pad, the
// event log, the command-word interpreter and the base house code. The
// window, the daemon veldrind, the remote server and the home-automation
// bridge talk to it and follow its signals; none of them reaches into
// another.
//
// Qt Core only: the daemon runs it under QCoreApplication.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "guessbudget.h"
#include "state/statetable.h"

class CommandPath;
class clsNTPrivileges;

namespace core {

class EventLog;
class Interface;
class Pad;
class ScheduleRunner;
class StateCheck;

// The settings the service reads at start.
struct ServiceSettings {
    QString houseCode = QStringLiteral("A");  // as stored (either case)
    bool cp290 = false;                       // the interface kind
    int16_t comPort = 1;
    // The first line of the settings file that could not be read (0: none).
    int unreadableLine = 0;

    // From the settings file in use.
    static ServiceSettings read();
};

class Service : public QObject {
    Q_OBJECT
  public:
    // What a command word did: done, or refused with the reason the client
    // hears ("ERROR <reason>"; empty for a word that fits no form).
    struct WordResult {
        bool done = false;
        QString reason;
    };

    explicit Service(const ServiceSettings& settings, QObject* parent = nullptr);
    ~Service() override;

    // Loads the module list and the state file, and sets the click pad to its
    // start. Run once, after the front end connected its log sinks.
    void load();
    // Contacts the interface: "Attempting to Contact Computer Interface..."
    // and what was found (a window shows itself between load and start, so
    // that it repaints while the contact waits).
    void start();
    // Writes what changed at run time (house code, port) to the settings and
    // the module states to the state file; with keepChangesIn, the house code
    // goes to that file instead and the settings file is never written.
    void save();
    // For a service whose settings file belongs to the administrator: what
    // changes at run time (the house code of "housecodechangeX") is written
    // to this file whenever it changes, and restored from it now, unless the
    // settings file names another house code than the one it replaced (the
    // administrator's later edit wins). Call before load().
    void keepChangesIn(const QString& path);
    // The daemon's file for keepChangesIn: beside the state file.
    static QString runtimeChangesPath();
    // The end of a run, before save(): takes no more commands, gives those
    // already taken up to kFinishMs (time base) to go out, logs one line
    // naming any it drops, then runs then (at once when nothing waits).
    void finishCommands(std::function<void()> then);
    static constexpr qint64 kFinishMs = 5000;
    // Releases the interface's port (at exit).
    void stop();

    EventLog& log();
    Interface& interface();
    CommandPath& commands();
    state::StateTable& states();
    Pad& pad();
    // The schedule: loaded by load() from the file the settings name.
    ScheduleRunner& schedule();
    // The checks of the two-way modules' state; none for the CP290, which
    // hears nothing.
    StateCheck* stateCheck();

    // The base house code (the click pad's house), as written.
    const QString& houseCode() const { return houseCode_; }
    // Its position 1..16, 0 when it names no house.
    int basePosition() const;
    // Changes it and logs "House Code Changed to X".
    void setHouseCode(const QString& code);

    // The port the interface uses; changing it contacts the interface there.
    int16_t comPort() const { return comPort_; }
    void changeComPort(int16_t port);

    // The connection password of remote clients; kept in memory only.
    const QString& password() const { return password_; }
    void setPassword(const QString& password);
    // The one budget of wrong passwords for every listener that takes it
    // (the remote-control listener, the web login).
    platform::GuessBudget& guesses() { return guesses_; }

    // Carries out one command word of a remote client (without its line
    // terminator): "5on", "5of", "5di07", "housecodechangeC", "allo", "allf",
    // "alluf", "COFF", "ABORT", "EXIT", "scheduleon", "scheduleoff".
    WordResult runWord(const QString& word, state::Source source = state::Source::Remote);

  signals:
    void houseCodeChanged(const QString& code);
    void passwordChanged();
    // The word "EXIT": the front end saves and ends the program.
    void exitRequested();

  private:
    bool shutdown(bool abort, QString* reason);
    void writeChanges();

    ServiceSettings settings_;
    QString houseCode_;
    int16_t comPort_ = 1;
    QString password_;
    platform::GuessBudget guesses_;
    QString changesPath_;  // keepChangesIn; empty: the settings file is written
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<state::StateTable> states_;
    std::unique_ptr<Interface> interface_;
    std::unique_ptr<Pad> pad_;
    std::unique_ptr<ScheduleRunner> schedule_;
    std::unique_ptr<StateCheck> check_;
    std::unique_ptr<clsNTPrivileges> privileges_;
};

}  // namespace core
