#include "schedulerunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSaveFile>

#include "atomicfile.h"
#include "clock.h"
#include "commandpath.h"
#include "eventlog.h"
#include "regularfile.h"
#include "schedulesource.h"
#include "timebase.h"

namespace core {

namespace x10 = veldrin::x10;
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
    : QObject(parent), commands_(commands), states_(states), log_(log) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &ScheduleRunner::wake);
    connect(&states_, &state::StateTable::heard, this, &ScheduleRunner::onHeard);
    const auto changed = [this] {
        // An editor may replace the file: watch it again, and read it when it differs.
        if (!path_.isEmpty() && QFileInfo::exists(path_) && !watcher_.files().contains(path_))
            watcher_.addPath(path_);
        reload();
    };
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
}

ScheduleRunner::~ScheduleRunner() = default;

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

bool ScheduleRunner::reload(bool force) {
    if (!QFileInfo::exists(path_)) {
        if (!force && loadedDigest_ == "missing") return true;
        loadedDigest_ = "missing";
        if (!schedule_.empty())
            log_.event(QStringLiteral("Schedule %1 removed: nothing is scheduled").arg(path_));
        schedule_ = {};
        replan();
        emit reloaded();
        return true;
    }
    QFile f(path_);
    const QByteArray digest =
        f.open(QIODevice::ReadOnly)
            ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256)
            : QByteArray();
    if (!force && !digest.isEmpty() && digest == loadedDigest_)
        return true;  // a change of the folder, not of the file
    LoadedSchedule loaded = loadSchedule(path_);
    loadedDigest_ = digest;
    if (!loaded.ok()) {
        for (int i = 0; i < loaded.errors.size() && i < kLoggedErrors; ++i)
            log_.event(QStringLiteral(
                           "ERROR: Schedule %1 refused, the schedule before it stays in force: %2")
                           .arg(path_, loaded.errors[i]));
        if (loaded.errors.size() > kLoggedErrors)
            log_.event(QStringLiteral("ERROR: Schedule %1: %2 more errors")
                           .arg(path_)
                           .arg(loaded.errors.size() - kLoggedErrors));
        return false;
    }
    schedule_ = std::move(loaded.schedule);
    location_ = loaded.location;
    planner_ =
        std::make_unique<schedule::Planner>(location_, QRandomGenerator::global()->generate());
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
    return planner_->upcoming(schedule_, platform::Clock::global().now(), count);
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
    replan();
    emit enabledChanged(on);
}

bool ScheduleRunner::runScene(const QString& name) {
    const auto it = schedule_.scenes.find(name);
    if (it == schedule_.scenes.end()) return false;
    // A copy: starting it may replace the sequence that runs it now.
    const std::vector<schedule::Step> steps = it->second.steps;
    start(QStringLiteral("scene ") + name, it->second.line, steps, Event{});
    return true;
}

void ScheduleRunner::replan() {
    const QDateTime now = platform::Clock::global().now();
    lastWake_ = now;
    next_.assign(schedule_.timed.size(), QDateTime());
    if (planner_)
        for (size_t i = 0; i < schedule_.timed.size(); ++i) {
            QString why;
            next_[i] = planner_->next(schedule_.timed[i], now, &why);
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
    // The clock was set back: plan from the new time.
    if (now < lastWake_.addSecs(-60)) {
        replan();
        return;
    }
    lastWake_ = now;
    for (size_t i = 0; i < schedule_.timed.size(); ++i) {
        const schedule::TimedEntry& e = schedule_.timed[i];
        if (!next_[i].isValid() || next_[i] > now) continue;
        const qint64 late = next_[i].msecsTo(now);
        if (late > kMissedMs) {
            log_.event(
                QStringLiteral("Schedule line %1: %2 skipped: its time %3 passed %4 minutes ago")
                    .arg(e.line)
                    .arg(e.action, stamp(next_[i]))
                    .arg(late / 60000));
        } else {
            log_.event(QStringLiteral("Schedule line %1: %2").arg(e.line).arg(e.action));
            emit fired(e.line);
            start(QStringLiteral("line %1").arg(e.line), e.line, e.steps, Event{});
        }
        QString why;
        next_[i] = planner_->next(e, now, &why);
        if (!why.isEmpty()) log_.event(QStringLiteral("Schedule line %1: %2").arg(e.line).arg(why));
    }
    arm();
}

void ScheduleRunner::onHeard(const state::HeardEvent& ev) {
    if (!enabled_) return;
    for (const schedule::Trigger& t : schedule_.triggers) {
        if (!t.matches(ev.house, ev.units, ev.function, ev.amount)) continue;
        log_.event(QStringLiteral("Schedule line %1: %2").arg(t.line).arg(t.action));
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
    const x10::Command& c = step.command;
    commands_.clearRefusal();
    if (!commands_.interfaceReady()) {
        log_.event(QStringLiteral("Schedule line %1: %2 not sent: the interface is not available")
                       .arg(line)
                       .arg(step.text));
        return;
    }
    for (const x10::Address& a : c.addresses) {
        switch (c.function) {
            case x10::On:
            case x10::Off:
                commands_.switchUnit(a, c.function == x10::On, state::Source::Schedule);
                break;
            case x10::Dim:
            case x10::Bright: {
                // Relative to the tracked level; an unknown level counts as full,
                // as the command path first switches such a lamp on.
                const int level = states_.state(a).level;
                const int from = level < 0 ? 100 : level;
                const int to = c.function == x10::Dim ? std::max(1, from - c.amount)
                                                      : std::min(100, from + c.amount);
                commands_.setBrightness(a, to, state::Source::Schedule);
                break;
            }
            default:
                commands_.houseFunction(a.house, c.function, state::Source::Schedule);
                break;
        }
    }
    if (const QString refused = commands_.lastRefusal(); !refused.isEmpty())
        log_.event(
            QStringLiteral("Schedule line %1: %2 not sent: %3").arg(line).arg(step.text, refused));
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
        log_.event(QStringLiteral("Schedule line %1: %2 still runs after %3 s, ended")
                       .arg(line)
                       .arg(program)
                       .arg(kRunLimitMs / 1000));
        p->kill();
    });
    connect(p, &QProcess::errorOccurred, this,
            [this, p, line, program](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart) return;
                log_.event(QStringLiteral("ERROR: Schedule line %1: cannot run %2: %3")
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
                log_.event(text);
                emit programEnded(line, status == QProcess::CrashExit ? -1 : code);
                p->deleteLater();
            });
    platform::TimeBase::global().startTimer(*limit, kRunLimitMs);
    p->start();
}

}  // namespace core
