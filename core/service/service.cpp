// The service: settings read once, the interface, the state, the click pad,
// the log and the command words in one place.
#include "service.h"

#include <QDir>
#include <QFileInfo>

#include "atomicfile.h"
#include "clsntprivileges.h"
#include "commandpath.h"
#include "commandwords.h"
#include "engine.h"
#include "eventlog.h"
#include "inifile.h"
#include "interface.h"
#include "pad.h"
#include "regularfile.h"
#include "schedulerunner.h"
#include "schedulesource.h"
#include "settingsfile.h"
#include "settingsstore.h"
#include "state/modules.h"
#include "statecheck.h"
#include "x10.h"

using platform::SaveSetting;

namespace core {

namespace {
const QString kShutdownMessage = QStringLiteral(
    "Windows Shutdown Initiated by an Corvex Client - To Abort, Please choose the Abort "
    "Shutdown Computer option");
}  // namespace

ServiceSettings ServiceSettings::read() {
    const settings::File file = settings::File::read();
    const settings::Startup startup = file.startup();
    ServiceSettings s;
    s.houseCode = startup.houseCode;
    s.cp290 = startup.cp290;
    s.comPort = startup.comPort;
    s.unreadableLine = file.unreadableLine();
    return s;
}

Service::Service(const ServiceSettings& settings, QObject* parent)
    : QObject(parent),
      settings_(settings),
      houseCode_(settings.houseCode),
      comPort_(settings.comPort),
      log_(std::make_unique<EventLog>()),
      states_(std::make_unique<state::StateTable>()) {
    interface_ = std::make_unique<Interface>(
        settings.cp290 ? Interface::Kind::Cp290 : Interface::Kind::TwoWay, *states_, log_->hook());
    pad_ = std::make_unique<Pad>(interface_->commands(), [this] { return basePosition(); });
    connect(states_.get(), &state::StateTable::heard, this,
            [this](const state::HeardEvent& ev) { log_->event(state::StateTable::heardLine(ev)); });
    connect(states_.get(), &state::StateTable::problem, log_.get(), &EventLog::event);
    schedule_ = std::make_unique<ScheduleRunner>(interface_->commands(), *states_, *log_);
    if (!settings.cp290) {
        // Connected after the state table: a reply is recorded before the
        // checks weigh it.
        check_ = std::make_unique<StateCheck>(interface_->lines(), *states_, log_->hook());
        connect(&interface_->engine(), &pandrel::Engine::heard, check_.get(), &StateCheck::heard);
        connect(interface_.get(), &Interface::linkChanged, check_.get(),
                [this](Interface::Link link) {
                    if (link == Interface::Link::Found)
                        check_->interfaceFound();
                    else
                        check_->interfaceGone();
                });
    }
}

Service::~Service() {
    check_.reset();
    schedule_.reset();
    // The pad and the interface refer to the state table.
    pad_.reset();
    interface_.reset();
}

void Service::load() {
    pad_->reset();
    // The modules this installation has and their last known states.
    states_->setModules(state::ModuleList::fromSettings(
        houseCode_, [this](const QString& text) { log_->event(text); }));
    states_->load(state::StateTable::defaultPath());
    states_->setAutosave(state::StateTable::defaultPath());
    schedule_->restoreEnabled();
    schedule_->load(scheduleFilePath());
}

void Service::start() {
    log_->event(QStringLiteral("Attempting to Contact Computer Interface..."));
    // A damaged line is skipped (the other keys still read) and dropped when
    // the settings are saved; say so once.
    if (settings_.unreadableLine > 0)
        log_->event(QStringLiteral("WARNING: Could not Read Line %1 of the Settings File")
                        .arg(settings_.unreadableLine));
    interface_->contact(comPort_);
}

void Service::save() {
    if (changesPath_.isEmpty()) {
        QString error;
        if (!SaveSetting(settings::kApp, settings::kSection, settings::kHouseCode, houseCode_,
                         &error) ||
            !SaveSetting(settings::kApp, settings::kSection, settings::kComPort,
                         QString::number(comPort_), &error))
            log_->event(QStringLiteral("ERROR: Could not Save the Settings File %1: %2")
                            .arg(platform::settingsFilePath(), error));
    } else {
        writeChanges();
    }
    states_->flush();
}

// The changes file: the house code in use and the one of the settings file
// it replaced, so that an edit of the settings file made since is noticed.
namespace {
const QString kConfiguredHouseCode = QStringLiteral("ConfiguredHouseCode");
constexpr qint64 kMaxChangesBytes = 64 * 1024;
}  // namespace

QString Service::runtimeChangesPath() {
    return QFileInfo(state::StateTable::defaultPath()).path() + QStringLiteral("/runtime.conf");
}

void Service::keepChangesIn(const QString& path) {
    changesPath_ = path;
    connect(this, &Service::houseCodeChanged, this, &Service::writeChanges, Qt::UniqueConnection);
    const platform::FileRead file = platform::readRegularFile(path, kMaxChangesBytes);
    if (file.status == platform::FileRead::Missing) return;
    if (file.status == platform::FileRead::Failed) {
        log_->event(QStringLiteral("ERROR: Could not Read %1: %2; the House Code of the Settings "
                                   "File Applies")
                        .arg(path, file.error));
        return;
    }
    const platform::IniFile changes(file.data);
    const auto code = changes.value(settings::kSection, settings::kHouseCode);
    const auto replaced = changes.value(settings::kSection, kConfiguredHouseCode);
    if (!code) return;
    // Only what a remote command may set: one letter that names a house.
    if (code->size() != 1 || x10::housePosition(*code) == 0) {
        log_->event(QStringLiteral("ERROR: The House Code in %1 is not a Letter A to P; the House "
                                   "Code of the Settings File Applies")
                        .arg(path));
        return;
    }
    if (*code == houseCode_) return;
    if (!replaced || *replaced != settings_.houseCode) {
        log_->event(QStringLiteral("House Code %1 of the Settings File Applies (it was edited "
                                   "since a remote command set %2)")
                        .arg(settings_.houseCode, *code));
        return;
    }
    houseCode_ = *code;
    log_->event(QStringLiteral("House Code %1 Restored from %2").arg(houseCode_, path));
}

void Service::writeChanges() {
    if (changesPath_.isEmpty()) return;
    platform::IniFile changes;
    changes.setValue(settings::kSection, settings::kHouseCode, houseCode_);
    changes.setValue(settings::kSection, kConfiguredHouseCode, settings_.houseCode);
    QDir().mkpath(QFileInfo(changesPath_).path());
    QString error;
    if (platform::writeFileAtomically(changesPath_, changes.toBytes(), &error)) return;
    log_->event(
        QStringLiteral("ERROR: Could not Save the House Code to %1: %2").arg(changesPath_, error));
}

void Service::finishCommands(std::function<void()> then) {
    interface_->finish(kFinishMs, std::move(then));
}

void Service::stop() {
    interface_->release();
}

EventLog& Service::log() {
    return *log_;
}
Interface& Service::interface() {
    return *interface_;
}
CommandPath& Service::commands() {
    return interface_->commands();
}
state::StateTable& Service::states() {
    return *states_;
}
ScheduleRunner& Service::schedule() {
    return *schedule_;
}
StateCheck* Service::stateCheck() {
    return check_.get();
}

Pad& Service::pad() {
    return *pad_;
}

int Service::basePosition() const {
    return x10::housePosition(houseCode_);
}

void Service::setHouseCode(const QString& code) {
    houseCode_ = code;
    emit houseCodeChanged(houseCode_);
    log_->event(QStringLiteral("House Code Changed to ") + houseCode_);
}

void Service::changeComPort(int16_t port) {
    comPort_ = port;
    interface_->contact(port, Interface::Occasion::PortChanged);
    log_->event(QStringLiteral("Changed Server Com Port to: ") + QStringLiteral(" Com: ") +
                QString::number(port));
}

void Service::setPassword(const QString& password) {
    password_ = password;
    emit passwordChanged();
}

Service::WordResult Service::runWord(const QString& word, state::Source source) {
    using commands::Command;
    const Command cmd = commands::parseWord(word);
    CommandPath& path = commands();
    // The commands of one word (ON and the slider's BRIGHT for "5on") go
    // out together or not at all, so that the answer matches the line.
    const auto sent = [&path](const std::function<void()>& step) {
        const CommandPath::Verdict v = path.together(step);
        return WordResult{v.accepted(), v.refusal};
    };
    switch (cmd.kind) {
        case Command::Ignored:
            return {};
        case Command::UnitOn:
            return sent([&] { pad_->unitOn(cmd.unit, source); });
        case Command::UnitOff:
            return sent([&] { pad_->unitOff(cmd.unit, source); });
        case Command::UnitDim:
            return sent([&] { pad_->dimUnit(cmd.unit, cmd.level, source); });
        case Command::HouseCode:
            setHouseCode(cmd.text);
            return {true, {}};
        case Command::AllLightsOn:
            return sent([&] { pad_->houseFunction(x10::AllLightsOn, source); });
        case Command::AllUnitsOff:
            return sent([&] { pad_->houseFunction(x10::AllUnitsOff, source); });
        case Command::AllLightsOff:
            return sent([&] { pad_->houseFunction(x10::AllLightsOff, source); });
        case Command::Shutdown:
        case Command::AbortShutdown: {
            QString reason;
            if (!shutdown(cmd.kind == Command::AbortShutdown, &reason)) return {false, reason};
            return {true, {}};
        }
        case Command::Exit:
            emit exitRequested();
            return {true, {}};
        case Command::ScheduleOn:
        case Command::ScheduleOff:
            schedule_->setEnabled(cmd.kind == Command::ScheduleOn);
            return {true, {}};
    }
    return {};
}

bool Service::shutdown(bool abort, QString* reason) {
    if (!privileges_) privileges_ = std::make_unique<clsNTPrivileges>();
    // Only a shutdown command that ended with success is logged as initiated;
    // the client hears of a failure, and why, through its reply.
    const bool ok = abort ? privileges_->AbortShutDown(QString())
                          : privileges_->ShutDown(QString(), kShutdownMessage, 180, true, false);
    const QString what = abort ? QStringLiteral("Aborted") : QStringLiteral("Started");
    if (!ok) {
        *reason = QStringLiteral("Computer Shutdown could not be ") + what;
        if (!privileges_->lastError().isEmpty())
            *reason += QStringLiteral(": ") + privileges_->lastError();
        log_->event(QStringLiteral("ERROR: ") + *reason);
        return false;
    }
    log_->event(abort ? QStringLiteral("Computer Shutdown Aborted by an Corvex Client")
                      : QStringLiteral("Computer Shutdown Initiated by an Corvex Client"));
    return true;
}

}  // namespace core
