#pragma once
// Runs the schedule in the service: one timer armed for the next firing
// (at most a minute ahead, so that a clock change or a resume from sleep is
// noticed within a minute; nothing polls), each firing one log line
// "Schedule line 3: A5 ON" and its commands through the command path. Scenes
// run step by step, their waits on timers; a scene started again while it
// runs starts over. Triggers start on traffic heard on the powerline, never on
// the program's own commands. `run` starts a program without a shell, with
// the event in its environment, and ends it after 60 s.
//
// A time missed by more than 5 minutes (asleep, off, the clock jumped) is
// skipped and logged, never fired late; the entries missed by less fire once
// each, and where several of them command one module only the last command
// is sent. At start the same holds for the times that passed since the run
// before (up to a day back): the latest time seen is kept in the state
// folder. The clock set back does not repeat what already ran: the entries
// plan from the latest time the runner saw, so the first entry after it fires
// next. A file with an error is refused whole and the schedule that ran
// before keeps running (at start, or when none ran, no schedule runs until the
// file is fixed); a file that is no regular file or is too large is refused
// unread. A command to a module the settings do not list runs, with one
// warning per address when the file is read. Lines for single firings and steps are throttled per
// line of the schedule (one a second, with a count).

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

#include "logthrottle.h"
#include "planner.h"
#include "schedule.h"
#include "state/statetable.h"

class CommandPath;

namespace core {

class EventLog;

class ScheduleRunner : public QObject {
    Q_OBJECT
  public:
    ScheduleRunner(CommandPath& commands, state::StateTable& states, EventLog& log,
                   QObject* parent = nullptr);
    ~ScheduleRunner() override;

    // Reads the schedule file and watches it; reloads on a change once the
    // file has been quiet for kQuietMs (time base), and a file that went
    // empty or away is read again kEmptyAgainMs later before it is believed.
    // A missing file is an empty schedule. Gives false (and logs why) for a file with
    // an error; the schedule before it stays in force, and where there was
    // none, no schedule runs (refusal()).
    bool load(const QString& path);
    // Reads the same file again when it changed; with force, also when it
    // looks the same (SIGHUP: the location may have changed).
    bool reload(bool force = false);
    const QString& path() const { return path_; }
    // Whether a schedule file was read (false while there is none).
    bool hasFile() const { return !loadedDigest_.isEmpty() && loadedDigest_ != "missing"; }

    const schedule::Schedule& current() const { return schedule_; }
    // The file was refused and no schedule runs: its first problem ("line 6:
    // ..."); empty while a schedule runs or there is no file.
    QString refusal() const { return noneRuns_ ? fileProblem_ : QString(); }
    // The scenes the front ends show: those of the schedule in force and
    // those the file names, also a refused one (runScene says why one of
    // those cannot run), sorted.
    QStringList sceneNames() const;
    // False while the file exists but was never read (it cannot be): its
    // scenes are not known, so none known elsewhere is taken for gone.
    bool scenesKnown() const { return scenesKnown_; }
    // The next count firings from now.
    std::vector<schedule::Firing> upcoming(int count) const;

    // Away and holiday: off, nothing fires (triggers neither). Kept across
    // restarts in the state folder (stateFilePath).
    void setEnabled(bool on);
    // Takes on/off from the state folder (off while the file says so).
    void restoreEnabled();
    static QString stateFilePath();
    // The latest time the runner saw, kept across restarts (state folder).
    static QString seenFilePath();
    // The answer of the remote query "?schedule": "SCHEDULE ON path" (or
    // OFF), then the next 20 firings, "YYYY-MM-DD HH:MM line N: action".
    QStringList queryLines() const;
    bool enabled() const { return enabled_; }

    // Starts a scene of the schedule by its name, as a step "scene NAME"
    // would (from its first step when it runs already). Gives false for a
    // name the schedule has no scene of. Runs also while the schedule is off:
    // someone asked for it. With why, a name that cannot run gets the reason.
    bool runScene(const QString& name, QString* why = nullptr);

    // Longest time a run program may take.
    static constexpr qint64 kRunLimitMs = 60 * 1000;
    // A firing later than this is skipped.
    static constexpr qint64 kMissedMs = 5 * 60 * 1000;
    // A changed file is read once it has not changed for this long.
    static constexpr qint64 kQuietMs = 400;
    // A file that shrank to nothing is read again this much later.
    static constexpr qint64 kEmptyAgainMs = 1500;

  signals:
    // The schedule was switched on or off.
    void enabledChanged(bool on);
    // The schedule file was read again, also when it was refused (its scenes
    // or refusal() may have changed).
    void reloaded();
    // A firing or a trigger started (tests, front ends).
    void fired(int line);
    // A program of `run` ended (exit status, -1 when it did not start or was killed).
    void programEnded(int line, int status);

  private:
    struct Sequence;
    struct Event {
        QString address, function, amount;
    };
    // The commands of the entries due in one wake, held until all of them
    // have started (defined with the runner).
    struct Held;
    void readSettled();
    void replan();
    void remember();
    QDateTime seenBefore() const;
    void arm();
    void wake();
    void start(const QString& key, int line, const std::vector<schedule::Step>& steps,
               const Event& event);
    void step(Sequence& s);
    void command(int line, const schedule::Step& step);
    void hold(int line, const schedule::Step& step);
    void send(int line, const schedule::Step& step);
    void logFor(int line, const QString& kind, const QString& text);
    void runProgram(int line, const schedule::Step& step, const Event& event);
    void onHeard(const state::HeardEvent& ev);

    CommandPath& commands_;
    state::StateTable& states_;
    EventLog& log_;
    QString path_;
    QByteArray loadedDigest_;  // of the file last read; "missing" when there was none
    schedule::Schedule schedule_;
    QStringList fileScenes_;  // the scenes the file last read names
    bool scenesKnown_ = false;
    QString fileProblem_;    // its first problem when it was refused
    bool noneRuns_ = false;  // it was refused and no schedule was in force
    std::optional<schedule::Location> location_;
    std::unique_ptr<schedule::Planner> planner_;
    std::vector<QDateTime> next_;  // per timed entry
    // The latest local time seen: entries are planned after it, so time the
    // clock passes again after being set back fires nothing twice.
    QDateTime latest_;
    bool setBack_ = false;  // the clock is behind latest_ and that was logged
    // While the due entries of one wake start: their commands, held.
    Held* held_ = nullptr;
    platform::LogThrottle throttle_;
    bool enabled_ = true;
    QTimer timer_;
    QFileSystemWatcher watcher_;
    QTimer quiet_;               // the file has been quiet long enough
    bool emptyChecked_ = false;  // it was found empty once and is read again
    std::map<QString, std::unique_ptr<Sequence>> running_;
};

}  // namespace core
