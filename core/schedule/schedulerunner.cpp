#include "schedulerunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>

#include "atomicfile.h"
#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "regularfile.h"
#include "schedulesource.h"
#include "timebase.h"

namespace core {

using schedule::Step;

// A scene, or the steps of one entry, on its way: the step to do next and
// the timer of its wait.
struct ScheduleRunner::Sequence {
    int line = 0;
    std::vector<Step> steps;
    size_t next = 0;
    Event event;
    QTimer wait;
};

// Commands held while the entries due in one wake start: each step with the
// firing (the entry, counted in the wake) that gave it, and for each module
// the steps of the latest firing that command it.
struct ScheduleRunner::Held {
    struct Command {
        size_t firing = 0;
        int line = 0;
        Step step;
    };
    std::vector<Command> steps;
    QHash<int, std::vector<size_t>> byModule;  // house * 32 + unit: indexes into steps
    size_t firing = 0;
};

namespace {

// The timer never looks further ahead than this, so that a clock change or
// a resume from sleep re-plans within a minute.
constexpr qint64 kLongestSleepMs = 60 * 1000;
// Errors of a refused file that are logged; the rest are counted.
constexpr int kLoggedErrors = 10;

QString stamp(const QDateTime& t) {
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

}  // namespace

ScheduleRunner::ScheduleRunner(CommandPath& commands, state::StateTable& states, EventLog& log,
                               QObject* parent)
    : QObject(parent),
      commands_(commands),
      states_(states),
      log_(log),
      throttle_([this](const QString& line) { log_.event(line); }) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &ScheduleRunner::wake);
    connect(&states_, &state::StateTable::heard, this, &ScheduleRunner::onHeard);
    quiet_.setSingleShot(true);
    connect(&quiet_, &QTimer::timeout, this, &ScheduleRunner::readSettled);
    const auto changed = [this] {
        // An editor may replace the file: watch it again, and read it when it differs.
        if (!path_.isEmpty() && QFileInfo::exists(path_) && !watcher_.files().contains(path_))
            watcher_.addPath(path_);
        // Read once the writing has stopped: `cp`, `>` and many editors
        // truncate first and write after.
        emptyChecked_ = false;
        platform::TimeBase::global().startTimer(quiet_, kQuietMs);
    };
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
}

ScheduleRunner::~ScheduleRunner() {
    remember();
}

QString ScheduleRunner::seenFilePath() {
    return QFileInfo(state::StateTable::defaultPath()).path() + QStringLiteral("/schedule.seen");
}

void ScheduleRunner::remember() {
    // The latest time seen, so that the next start knows what passed while
    // the service was not running and what already ran.
    if (!latest_.isValid()) return;
    QDir().mkpath(QFileInfo(seenFilePath()).path());
    QString error;
    if (!platform::writeFileAtomically(
            seenFilePath(), latest_.toUTC().toString(Qt::ISODateWithMs).toUtf8() + '\n', &error))
        log_.event(QStringLiteral("ERROR: Could not Write %1: %2").arg(seenFilePath(), error));
}

QDateTime ScheduleRunner::seenBefore() const {
    const platform::FileRead f = platform::readRegularFile(seenFilePath(), 64);
    if (f.status != platform::FileRead::Ok) return {};
    return QDateTime::fromString(QString::fromUtf8(f.data.trimmed()), Qt::ISODateWithMs);
}

bool ScheduleRunner::load(const QString& path) {
    if (path != path_) {
        if (!watcher_.files().isEmpty()) watcher_.removePaths(watcher_.files());
        if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
        path_ = path;
        loadedDigest_.clear();
        const QString dir = QFileInfo(path).absolutePath();
        if (QFileInfo(dir).isDir()) watcher_.addPath(dir);
        if (QFileInfo::exists(path)) watcher_.addPath(path);
    }
    return reload();
}

void ScheduleRunner::readSettled() {
    // A file that went empty or away while a schedule with something in it
    // runs is most likely being written: looked at again before it is
    // believed, so that the scenes do not vanish and come back.
    const QFileInfo file(path_);
    const bool nothing = !file.exists() || (file.isFile() && file.size() == 0);
    if (nothing && !emptyChecked_ && hasFile() && !schedule_.empty()) {
        emptyChecked_ = true;
        platform::TimeBase::global().startTimer(quiet_, kEmptyAgainMs);
        return;
    }
    emptyChecked_ = false;
    reload();
}

bool ScheduleRunner::reload(bool force) {
    // Read once, within its bound and without waiting on a FIFO: what is
    // compared is what is parsed.
    const platform::FileRead file = readScheduleFile(path_);
    if (file.status == platform::FileRead::Missing) {
        if (!force && loadedDigest_ == "missing") return true;
        loadedDigest_ = "missing";
        if (!schedule_.empty())
            log_.event(QStringLiteral("Schedule %1 removed: nothing is scheduled").arg(path_));
        schedule_ = {};
        fileScenes_.clear();
        scenesKnown_ = true;
        fileProblem_.clear();
        noneRuns_ = false;
        replan();
        emit reloaded();
        return true;
    }
    const QByteArray digest = file.status == platform::FileRead::Ok
                                  ? QCryptographicHash::hash(file.data, QCryptographicHash::Sha256)
                                  : QByteArray();
    if (!force && !digest.isEmpty() && digest == loadedDigest_)
        return true;  // a change of the folder, not of the file
    LoadedSchedule loaded = parseSchedule(path_, file);
    loadedDigest_ = digest;
    for (int i = 0; i < loaded.warnings.size() && i < kLoggedErrors; ++i)
        log_.warning(QStringLiteral("WARNING: Schedule %1: %2").arg(path_, loaded.warnings[i]));
    if (loaded.warnings.size() > kLoggedErrors)
        log_.warning(
            QStringLiteral("WARNING: Schedule %1: %2 more addresses not in the module list")
                .arg(path_)
                .arg(loaded.warnings.size() - kLoggedErrors));
    // A file that could not be read says nothing about its scenes: those
    // known before stay.
    if (file.status == platform::FileRead::Ok) {
        fileScenes_ = loaded.sceneNames;
        scenesKnown_ = true;
    }
    if (!loaded.ok()) {
        // Only a schedule with something in it stays in force; an empty one
        // (none at start, a file that was missing or empty) is no schedule.
        const bool none = schedule_.empty();
        fileProblem_ = loaded.errors.front();
        noneRuns_ = none;
        const QString outcome = none ? QStringLiteral("no schedule runs")
                                     : QStringLiteral("the schedule before it stays in force");
        for (int i = 0; i < loaded.errors.size() && i < kLoggedErrors; ++i)
            log_.error(QStringLiteral("ERROR: Schedule %1 refused, %2: %3")
                           .arg(path_, outcome, loaded.errors[i]));
        if (loaded.errors.size() > kLoggedErrors)
            log_.error(QStringLiteral("ERROR: Schedule %1: %2 more errors")
                           .arg(path_)
                           .arg(loaded.errors.size() - kLoggedErrors));
        emit reloaded();
        return false;
    }
    fileProblem_.clear();
    noneRuns_ = false;
    schedule_ = std::move(loaded.schedule);
    location_ = loaded.location;
    planner_ = std::make_unique<schedule::Planner>(location_);
    log_.event(QStringLiteral("Schedule %1 loaded: %2 timed entries, %3 scenes, %4 triggers")
                   .arg(path_)
                   .arg(schedule_.timed.size())
                   .arg(schedule_.scenes.size())
                   .arg(schedule_.triggers.size()));
    // Sequences of the old schedule refer to its steps by copy; they finish.
    replan();
    emit reloaded();
    return true;
}

std::vector<schedule::Firing> ScheduleRunner::upcoming(int count) const {
    if (!planner_) return {};
    // From the times planned for each entry; only those that passed (the
    // schedule is off, or the entry is due this moment) are planned again.
    const QDateTime now = platform::Clock::global().now();
    const QDateTime from = latest_.isValid() && latest_ > now ? latest_ : now;
    std::vector<QDateTime> first = next_;
    first.resize(schedule_.timed.size());
    for (size_t i = 0; i < first.size(); ++i)
        if (i >= next_.size() || (first[i].isValid() && first[i] <= from))
            first[i] = planner_->next(schedule_.timed[i], from);
    return planner_->upcoming(schedule_, first, count);
}

QString ScheduleRunner::stateFilePath() {
    return QFileInfo(state::StateTable::defaultPath()).path() + QStringLiteral("/schedule.state");
}

void ScheduleRunner::restoreEnabled() {
    // Only a small regular file: a FIFO there must not hang the start.
    const platform::FileRead f = platform::readRegularFile(stateFilePath(), 16);
    if (f.status == platform::FileRead::Failed)
        log_.event(QStringLiteral("ERROR: Could not Read %1: %2").arg(stateFilePath(), f.error));
    enabled_ = f.data.trimmed() != "off";
    if (!enabled_) log_.event(QStringLiteral("Schedule off (switched off before the restart)"));
    arm();
}

QStringList ScheduleRunner::queryLines() const {
    QStringList out{QStringLiteral("SCHEDULE %1 %2")
                        .arg(enabled_ ? QStringLiteral("ON") : QStringLiteral("OFF"), path_)};
    for (const schedule::Firing& f : upcoming(20))
        out << QStringLiteral("%1 line %2: %3").arg(stamp(f.at)).arg(f.line).arg(f.entry->action);
    return out;
}

void ScheduleRunner::setEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    // The choice outlives a restart: written beside the state file.
    QDir().mkpath(QFileInfo(stateFilePath()).path());
    QString error;
    if (!platform::writeFileAtomically(stateFilePath(), QByteArray(on ? "on\n" : "off\n"), &error))
        log_.event(QStringLiteral("ERROR: Could not Write %1: %2").arg(stateFilePath(), error));
    log_.event(on ? QStringLiteral("Schedule on") : QStringLiteral("Schedule off"));
    if (!on) running_.clear();
    // Off, nothing was due: switched on, it plans from now.
    const QDateTime now = platform::Clock::global().now();
    if (on && latest_.isValid() && now > latest_) latest_ = now;
    replan();
    emit enabledChanged(on);
}

QStringList ScheduleRunner::sceneNames() const {
    QStringList names = fileScenes_;
    for (const auto& [name, scene] : schedule_.scenes) names << name;
    names.removeDuplicates();
    names.sort();
    return names;
}

bool ScheduleRunner::runScene(const QString& name, QString* why) {
    const auto it = schedule_.scenes.find(name);
    if (it == schedule_.scenes.end()) {
        if (why)
            *why = fileProblem_.isEmpty() || !fileScenes_.contains(name)
                       ? QStringLiteral("no such scene")
                       : QStringLiteral("the schedule file was refused (%1); %2")
                             .arg(fileProblem_, noneRuns_
                                                    ? QStringLiteral("no schedule runs")
                                                    : QStringLiteral("the schedule in force has no "
                                                                     "such scene"));
        return false;
    }
    // A copy: starting it may replace the sequence that runs it now.
    const std::vector<schedule::Step> steps = it->second.steps;
    start(QStringLiteral("scene ") + name, it->second.line, steps, Event{});
    return true;
}

void ScheduleRunner::replan() {
    // Never from before the latest time seen: after the clock was set back,
    // what already ran does not run again.
    const QDateTime now = platform::Clock::global().now();
    // From the latest time a wake saw: what passed since is due (a reload
    // just after a time passed does not lose it).
    QDateTime from = latest_;
    if (!latest_.isValid() && enabled_ && planner_) {
        // The first plan of this run: what passed since the time the run
        // before saw last (up to a day back) is due now, so that each entry
        // missed gets its line and one missed by moments fires. A time seen
        // later than now (the clock was set back meanwhile, by at most a
        // day) ran already.
        const QDateTime seen = seenBefore();
        if (seen.isValid() && seen <= now.addDays(1)) {
            if (seen > now)
                latest_ = seen;
            else
                from = std::max(seen, now.addDays(-1));
        }
    }
    if (!latest_.isValid() || now > latest_) latest_ = now;
    if (!from.isValid() || from > latest_) from = latest_;
    next_.assign(schedule_.timed.size(), QDateTime());
    if (planner_)
        for (size_t i = 0; i < schedule_.timed.size(); ++i) {
            QString why;
            next_[i] = planner_->next(schedule_.timed[i], from, &why);
            if (!why.isEmpty())
                log_.event(
                    QStringLiteral("Schedule line %1: %2").arg(schedule_.timed[i].line).arg(why));
        }
    arm();
}

void ScheduleRunner::arm() {
    timer_.stop();
    if (!enabled_ || !planner_) return;
    QDateTime first;
    for (const QDateTime& t : next_)
        if (t.isValid() && (!first.isValid() || t < first)) first = t;
    if (!first.isValid()) return;
    const qint64 ms =
        std::clamp<qint64>(platform::Clock::global().now().msecsTo(first), 0, kLongestSleepMs);
    platform::TimeBase::global().startTimer(timer_, ms);
}

void ScheduleRunner::wake() {
    const QDateTime now = platform::Clock::global().now();
    if (now < latest_.addDays(-1)) {
        // Set back by more than a day: the time seen before was wrong (a
        // clock that ran ahead, then corrected), and waiting for it again
        // would stop the schedule for as long. Plan from now.
        log_.event(QStringLiteral("Schedule: the clock was set back from %1 to %2, more than a "
                                  "day; the schedule runs from %2")
                       .arg(stamp(latest_), stamp(now)));
        setBack_ = false;
        latest_ = now;
        replan();
        return;
    }
    if (now < latest_) {
        // The clock was set back: each entry's next time still lies after the
        // latest time seen, so the span the clock passes again fires nothing
        // twice and the first entry after it fires at its time.
        if (!setBack_ && now < latest_.addSecs(-60)) {
            setBack_ = true;
            log_.event(QStringLiteral("Schedule: the clock was set back from %1 to %2; entries "
                                      "up to %1 ran already and do not run again")
                           .arg(stamp(latest_), stamp(now)));
        }
        arm();
        return;
    }
    setBack_ = false;
    latest_ = now;
    // The entries due, oldest first: after the clock jumped forward several
    // may be; each fires once, and their commands are held until all have
    // started, so that only the last one for a module is sent. Of an entry
    // due several times (a long sleep), its latest time up to a day back
    // counts: the one just missed may still fire.
    std::vector<std::pair<QDateTime, size_t>> due;
    const QDateTime dayBack = now.addDays(-1);
    for (size_t i = 0; i < schedule_.timed.size(); ++i) {
        if (!next_[i].isValid() || next_[i] > now) continue;
        QDateTime last = next_[i];
        for (QDateTime t = planner_->next(schedule_.timed[i], std::max(next_[i], dayBack));
             t.isValid() && t <= now; t = planner_->next(schedule_.timed[i], t))
            last = t;
        due.emplace_back(last, i);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Held held;
    held_ = &held;
    for (const auto& [when, i] : due) {
        const schedule::TimedEntry& e = schedule_.timed[i];
        const qint64 late = when.msecsTo(now);
        if (late > kMissedMs) {
            throttle_.log(QStringLiteral("skipped"),
                          QStringLiteral("Schedule line %1: %2 skipped: its time %3 passed %4 "
                                         "minutes ago")
                              .arg(e.line)
                              .arg(e.action, stamp(when))
                              .arg(late / 60000));
        } else {
            ++held.firing;
            logFor(e.line, QStringLiteral("fired"),
                   QStringLiteral("Schedule line %1: %2").arg(e.line).arg(e.action));
            emit fired(e.line);
            start(QStringLiteral("line %1").arg(e.line), e.line, e.steps, Event{});
        }
        QString why;
        next_[i] = planner_->next(e, now, &why);
        if (!why.isEmpty()) log_.event(QStringLiteral("Schedule line %1: %2").arg(e.line).arg(why));
    }
    held_ = nullptr;
    for (const Held::Command& h : held.steps)
        if (!h.step.command.addresses.empty()) send(h.line, h.step);
    if (!due.empty()) remember();
    arm();
}

void ScheduleRunner::onHeard(const state::HeardEvent& ev) {
    if (!enabled_ || ev.kind != state::HeardEvent::Kind::Function) return;
    for (const schedule::Trigger& t : schedule_.triggers) {
        if (!t.matches(ev.house, ev.units, ev.function, ev.amount)) continue;
        logFor(t.line, QStringLiteral("fired"),
               QStringLiteral("Schedule line %1: %2").arg(t.line).arg(t.action));
        emit fired(t.line);
        Event event;
        event.address = t.address.unit ? t.address.text() : x10::Address{ev.house, 0}.text();
        event.function = x10::functionName(ev.function);
        event.amount = ev.amount >= 0 ? QString::number(ev.amount) : QString();
        start(QStringLiteral("line %1").arg(t.line), t.line, t.steps, event);
    }
}

void ScheduleRunner::start(const QString& key, int line, const std::vector<Step>& steps,
                           const Event& event) {
    auto& slot = running_[key];
    if (!slot) {
        slot = std::make_unique<Sequence>();
        slot->wait.setSingleShot(true);
        Sequence* s = slot.get();
        connect(&slot->wait, &QTimer::timeout, this, [this, s] { step(*s); });
    }
    // Started again while it runs: from its first step.
    slot->wait.stop();
    slot->line = line;
    slot->steps = steps;
    slot->next = 0;
    slot->event = event;
    step(*slot);
}

void ScheduleRunner::step(Sequence& s) {
    while (s.next < s.steps.size()) {
        const Step& st = s.steps[s.next++];
        switch (st.kind) {
            case Step::Kind::Command:
                command(s.line, st);
                break;
            case Step::Kind::Wait:
                platform::TimeBase::global().startTimer(s.wait, st.waitMs);
                return;
            case Step::Kind::Scene: {
                const auto it = schedule_.scenes.find(st.scene);
                if (it != schedule_.scenes.end()) {
                    // A copy: starting it may replace the sequence s belongs to.
                    const std::vector<Step> steps = it->second.steps;
                    const Event event = s.event;
                    const int line = it->second.line;
                    start(QStringLiteral("scene ") + st.scene, line, steps, event);
                }
                break;
            }
            case Step::Kind::Run:
                runProgram(s.line, st, s.event);
                break;
        }
    }
}

void ScheduleRunner::command(int line, const Step& step) {
    if (held_)
        hold(line, step);
    else
        send(line, step);
}

// A command of an entry due together with others: for each module it
// commands, what earlier entries (not its own) held for it is dropped.
void ScheduleRunner::hold(int line, const Step& step) {
    Held& held = *held_;
    const size_t self = held.steps.size();
    const x10::Command& c = step.command;
    if (!x10::isHouseFunction(c.function))
        for (const x10::Address& a : c.addresses) {
            std::vector<size_t>& holders = held.byModule[a.house * 32 + a.unit];
            if (!holders.empty() && held.steps[holders.front()].firing != held.firing) {
                for (const size_t i : holders) {
                    Held::Command& h = held.steps[i];
                    auto& earlier = h.step.command.addresses;
                    earlier.erase(std::remove(earlier.begin(), earlier.end(), a), earlier.end());
                    logFor(h.line, QStringLiteral("replaced"),
                           QStringLiteral("Schedule line %1: %2 not sent: line %3 was due with it "
                                          "and sets %4 after it")
                               .arg(h.line)
                               .arg(h.step.text)
                               .arg(line)
                               .arg(a.text()));
                }
                holders.clear();
            }
            if (holders.empty() || holders.back() != self) holders.push_back(self);
        }
    held.steps.push_back({held.firing, line, step});
}

void ScheduleRunner::send(int line, const Step& step) {
    const x10::Command& c = step.command;
    if (!commands_.interfaceReady()) {
        logFor(line, QStringLiteral("not sent"),
               QStringLiteral("Schedule line %1: %2 not sent: the interface is not available")
                   .arg(line)
                   .arg(step.text));
        return;
    }
    QString refused;
    for (const x10::Address& a : c.addresses) {
        CommandPath::Verdict v;
        switch (c.function) {
            case x10::On:
            case x10::Off:
                v = commands_.switchUnit(a, c.function == x10::On, state::Source::Schedule);
                break;
            case x10::Dim:
            case x10::Bright:
                // From the lamp's level; a lamp that is off comes on at full
                // brightness and moves from there.
                v = commands_.stepLevel(a, c.function, c.amount, state::Source::Schedule);
                break;
            default:
                v = commands_.houseFunction(a.house, c.function, state::Source::Schedule);
                break;
        }
        if (refused.isEmpty()) refused = v.refusal;
    }
    if (!refused.isEmpty())
        logFor(
            line, QStringLiteral("not sent"),
            QStringLiteral("Schedule line %1: %2 not sent: %3").arg(line).arg(step.text, refused));
}

void ScheduleRunner::logFor(int line, const QString& kind, const QString& text) {
    throttle_.log(kind + u' ' + QString::number(line), text);
}

void ScheduleRunner::runProgram(int line, const Step& step, const Event& event) {
    auto* p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELDRIN_ADDRESS"), event.address);
    env.insert(QStringLiteral("VELDRIN_FUNCTION"), event.function);
    env.insert(QStringLiteral("VELDRIN_AMOUNT"), event.amount);
    p->setProcessEnvironment(env);
    p->setProgram(step.argv.front());
    p->setArguments(step.argv.mid(1));
    p->setStandardInputFile(QProcess::nullDevice());
    p->setStandardOutputFile(QProcess::nullDevice());
    // Only the first line of its error output is kept; the rest is read and
    // dropped, so that the program never blocks on a full pipe.
    auto firstLine = std::make_shared<QByteArray>();
    connect(p, &QProcess::readyReadStandardError, p, [p, firstLine] {
        const QByteArray more = p->readAllStandardError();
        if (!firstLine->contains('\n') && firstLine->size() < 4096)
            firstLine->append(more.left(4096));
    });
    auto* limit = new QTimer(p);
    limit->setSingleShot(true);
    const QString program = step.argv.front();
    connect(limit, &QTimer::timeout, p, [this, p, line, program] {
        logFor(line, QStringLiteral("run limit"),
               QStringLiteral("Schedule line %1: %2 still runs after %3 s, ended")
                   .arg(line)
                   .arg(program)
                   .arg(kRunLimitMs / 1000));
        p->kill();
    });
    connect(p, &QProcess::errorOccurred, this,
            [this, p, line, program](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart) return;
                logFor(line, QStringLiteral("run failed"),
                       QStringLiteral("ERROR: Schedule line %1: cannot run %2: %3")
                           .arg(line)
                           .arg(program, p->errorString()));
                emit programEnded(line, -1);
                p->deleteLater();
            });
    connect(p, &QProcess::finished, this,
            [this, p, line, program, firstLine](int code, QProcess::ExitStatus status) {
                firstLine->append(p->readAllStandardError().left(4096));
                const QString err =
                    QString::fromLocal8Bit(*firstLine).section(QLatin1Char('\n'), 0, 0).trimmed();
                QString text =
                    status == QProcess::CrashExit
                        ? QStringLiteral("Schedule line %1: %2 ended by a signal")
                              .arg(line)
                              .arg(program)
                        : QStringLiteral("Schedule line %1: %2 ended with exit status %3")
                              .arg(line)
                              .arg(program)
                              .arg(code);
                if (!err.isEmpty()) text += QStringLiteral(": ") + err;
                logFor(line, QStringLiteral("run ended"), text);
                emit programEnded(line, status == QProcess::CrashExit ? -1 : code);
                p->deleteLater();
            });
    platform::TimeBase::global().startTimer(*limit, kRunLimitMs);
    p->start();
}

}  // namespace core
