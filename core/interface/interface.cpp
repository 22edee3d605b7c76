#include "interface.h"

#include "cp290backend.h"
#include "deviceaccess.h"
#include "engine.h"
#include "interfacesupervisor.h"
#include "linecommands.h"
#include "mscomm.h"
#include "state/statetable.h"
#include "twowaybackend.h"

namespace core {

struct Interface::Private {
    Kind kind;
    platform::LogHook log;
    std::function<void(const QString&)> notify;
    // Declared in the order they are built; destroyed in reverse.
    std::unique_ptr<pandrel::Engine> engine;
    std::unique_ptr<MSComm> cp290Port;
    std::unique_ptr<Backend> backend;
    std::unique_ptr<LineCommands> commands;
    std::unique_ptr<InterfaceSupervisor> supervisor;
    int16_t port = 0;
    bool ready = false;
    Link link = Link::NotFound;

    void logLine(const QString& text, platform::LogLevel level = platform::LogLevel::Info) const {
        log(text, level);
    }
    QString com() const { return QStringLiteral(" on Com: ") + QString::number(port); }
};

Interface::Interface(Kind kind, state::StateTable& table, platform::LogHook log, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {
    d->kind = kind;
    d->log = std::move(log);
    d->engine = std::make_unique<pandrel::Engine>();
    d->cp290Port = std::make_unique<MSComm>();
    d->cp290Port->setObjectName(QStringLiteral("MSComm1"));
    if (kind == Kind::Cp290)
        d->backend = std::make_unique<Cp290Backend>(
            *d->cp290Port, *d->engine, [this](const QString& t) { d->logLine(t); },
            [this](const QString& t) {
                if (d->notify)
                    d->notify(t);
                else
                    d->logLine(t);
            });
    else
        d->backend = std::make_unique<TwoWayBackend>(*d->engine);
    d->commands = std::make_unique<LineCommands>(
        *d->backend, table, [this](const QString& t, platform::LogLevel l) { d->logLine(t, l); });

    // What the two-way interface hears on the powerline moves the state table.
    connect(d->engine.get(), &pandrel::Engine::heard, &table, &state::StateTable::applyHeard);

    d->supervisor = std::make_unique<InterfaceSupervisor>([this] {
        const Backend::Contact c = d->backend->contact(d->port, true);
        return InterfaceSupervisor::Contact{c.found, c.reason};
    });
    connect(d->supervisor.get(), &InterfaceSupervisor::stillMissing, this,
            [this](const QString& reason) {
                d->logLine(QStringLiteral("ERROR: ") + d->backend->name() +
                               QStringLiteral(" Interface Still Not Found") + d->com() +
                               QStringLiteral(" - ") + reason +
                               QStringLiteral(" - Retrying in the Background"),
                           platform::LogLevel::Error);
            });
    connect(d->supervisor.get(), &InterfaceSupervisor::found, this, [this] {
        if (const QString line = d->backend->foundLine(d->port); !line.isEmpty()) d->logLine(line);
        setReady(true, QStringLiteral("Interface Found Again"));
        setLink(Link::Found);
    });
    connect(d->backend.get(), &Backend::lost, this, [this](const QString& reason) {
        d->logLine(QStringLiteral("ERROR: ") + d->backend->name() +
                       QStringLiteral(" Interface Lost") + d->com() + QStringLiteral(" - ") +
                       reason,
                   platform::LogLevel::Error);
        setReady(false, QStringLiteral("Interface Lost"));
        setLink(Link::Lost);
        d->supervisor->supervise(MSComm::deviceForPort(d->port));
    });
    // Its port is there and it stopped answering: treated as lost, and looked
    // for again through its port as after an unplug. Commands are refused
    // with the reason until it answers.
    connect(d->backend.get(), &Backend::stoppedAnswering, this, [this](const QString& reason) {
        if (d->link == Link::NotAnswering) return;
        d->logLine(QStringLiteral("ERROR: ") + d->backend->name() +
                       QStringLiteral(" Interface Lost") + d->com() + QStringLiteral(" - ") +
                       reason,
                   platform::LogLevel::Error);
        setLink(Link::NotAnswering);
        setReady(false, reason, reason);
        d->supervisor->supervise(MSComm::deviceForPort(d->port));
    });
}

Interface::~Interface() {
    // The window may be going away: no one is told, not even of the
    // commands the release gives up.
    blockSignals(true);
    d->commands->blockSignals(true);
    d->supervisor->stop();
    d->backend->release();
}

Interface::Kind Interface::kind() const {
    return d->kind;
}

int16_t Interface::port() const {
    return d->port;
}

bool Interface::contact(int16_t port, Occasion occasion) {
    // This contact replaces any retry in the background.
    d->supervisor->stop();
    d->backend->release();
    d->port = port;
    d->engine->setComport(port);
    const bool found = d->backend->contact(port, false).found;
    const bool quiet = occasion == Occasion::PortChanged && d->kind == Kind::TwoWay;
    if (!quiet && found) {
        if (const QString line = d->backend->foundLine(port); !line.isEmpty()) d->logLine(line);
    } else if (!quiet) {
        d->logLine(QStringLiteral("ERROR: ") + d->backend->name() +
                       QStringLiteral(" Interface Not Found") + d->com(),
                   platform::LogLevel::Error);
    }
    setReady(found, QStringLiteral("Interface Contacted Again"));
    setLink(found ? Link::Found : Link::NotFound);
    if (!found) {
        reportPortAccess();
        d->supervisor->supervise(MSComm::deviceForPort(port));
    }
    return found;
}

void Interface::release() {
    d->supervisor->stop();
    d->backend->release();
    setReady(false, QStringLiteral("Port Released"));
    setLink(Link::NotFound);
}

bool Interface::ready() const {
    return d->ready;
}

Interface::Link Interface::link() const {
    return d->link;
}

QString Interface::linkText(Link link) {
    switch (link) {
        case Link::Found:
            return QStringLiteral("found");
        case Link::Lost:
            return QStringLiteral("lost");
        case Link::NotAnswering:
            return QStringLiteral("not answering");
        case Link::NotFound:
            break;
    }
    return QStringLiteral("not found");
}

void Interface::setLink(Link link) {
    if (link == d->link) return;
    d->link = link;
    emit linkChanged(link);
}

int Interface::retries() const {
    return d->supervisor->attempts();
}

bool Interface::supervising() const {
    return d->supervisor->supervising();
}

CommandPath& Interface::commands() {
    return *d->commands;
}

LineCommands& Interface::lines() {
    return *d->commands;
}

pandrel::Engine& Interface::engine() {
    return *d->engine;
}

int Interface::commandsWaiting() const {
    return d->backend->waiting();
}

void Interface::finish(qint64 maxMs, std::function<void()> then) {
    d->commands->finish(maxMs, std::move(then));
}

MSComm& Interface::cp290Port() {
    return *d->cp290Port;
}

void Interface::setNotify(std::function<void(const QString&)> notify) {
    d->notify = std::move(notify);
}

void Interface::setReady(bool ready, const QString& why, const QString& refusal) {
    // Also on an unchanged state: a new contact empties the queue.
    d->commands->setInterfaceReady(ready, why, refusal);
    if (ready == d->ready) return;
    d->ready = ready;
    emit readyChanged(ready);
}

// One line saying why this user may not open the port's device, and what
// would help.
void Interface::reportPortAccess() {
    const QString device = MSComm::deviceForPort(d->port);
    const std::optional<platform::DeviceOwnership> denied = platform::deviceDenied(device);
    if (!denied) return;
    d->logLine(QStringLiteral("ERROR: Permission denied opening ") + device + QStringLiteral(": ") +
                   platform::deviceAccessAdvice(*denied),
               platform::LogLevel::Error);
}

}  // namespace core
