#include "twowaybackend.h"

#include <algorithm>

#include "mscomm.h"
#include "x10.h"

namespace core {

namespace {
// The engine holds at most this many queued commands; records beyond it
// belong to commands it dropped (and reported so).
constexpr size_t kMaxRecords = 50;

// Why a contact found nothing, from the status of Init.
QString contactFailure(int16_t status, const QString& device) {
    switch (status) {
        case 1:
            return QStringLiteral("No Answer on ") + device;
        case MSComm::InvalidPortNumber:
            return device + QStringLiteral(" Does Not Exist");
        case MSComm::PortAlreadyOpen:
            return device + QStringLiteral(" Is in Use");
        default:
            return device + QStringLiteral(" Could Not Be Opened (Error %1)").arg(status);
    }
}
}  // namespace

TwoWayBackend::TwoWayBackend(pandrel::Engine& engine, QObject* parent)
    : Backend(parent), engine_(engine) {
    connect(&engine_, &pandrel::Engine::commandOutcome, this, &TwoWayBackend::outcome);
    connect(&engine_, &pandrel::Engine::PortLost, this, &Backend::lost);
    connect(&engine_, &pandrel::Engine::stoppedAnswering, this, &Backend::stoppedAnswering);
}

QString TwoWayBackend::foundLine(int16_t port) const {
    return QStringLiteral("Found Pandrel Interface on Com: ") + QString::number(port) +
           QStringLiteral(" Connection Established");
}

Backend::Contact TwoWayBackend::contact(int16_t port, bool) {
    // Init empties the engine's queue: nothing recorded is coming.
    records_.clear();
    queued_ = 0;
    engine_.setComport(port);
    // An interface that stopped answering left its port open: Init opens it
    // afresh.
    engine_.ResetCM();
    const int16_t status = engine_.Init();
    records_.clear();
    queued_ = 0;
    return Contact{status == 0, contactFailure(status, MSComm::deviceForPort(port))};
}

void TwoWayBackend::release() {
    engine_.ResetCM();
    records_.clear();
    queued_ = 0;
}

void TwoWayBackend::send(const LineCommand& c) {
    // The command path names one unit, or none for a function on the house
    // (its address then names the house alone).
    x10::Command command;
    command.function = static_cast<x10::Function>(c.function);
    command.amount = c.amount;
    command.extendedCommand = c.extendedCommand;
    if (c.units.empty()) command.addresses.push_back({c.house, 0});
    for (int u : c.units) command.addresses.push_back({c.house, u});
    // Recorded first: the engine may report the command before send returns.
    records_.push_back(c);
    if (records_.size() > kMaxRecords) records_.pop_front();
    ++queued_;
    engine_.send(c.id, command);
}

void TwoWayBackend::outcome(quint64 id, pandrel::Outcome outcome, const QString& reason) {
    auto it = std::find_if(records_.begin(), records_.end(),
                           [&](const LineCommand& r) { return r.id == id; });
    if (it == records_.end()) return;  // forgotten by a new contact or a release
    LineCommand c = std::move(*it);
    records_.erase(it);
    if (queued_ > 0) --queued_;
    // A command that never reached the line is given up with the engine's
    // reason, so its verdict gets an outcome.
    c.reason = reason;
    if (outcome == pandrel::Outcome::Dropped && c.reason.isEmpty())
        c.reason = QStringLiteral("Dropped by the Interface");
    emit done(c, outcome == pandrel::Outcome::Sent);
}

}  // namespace core
