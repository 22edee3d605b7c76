#include "twowaybackend.h"

#include <algorithm>

#include "engine.h"
#include "mscomm.h"
#include "numtext.h"
#include "x10codes.h"

namespace x10 = pandrel::x10;

namespace core {

namespace {
// The engine holds at most this many queued commands; records beyond it
// belong to commands it dropped.
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
    connect(&engine_, &pandrel::Engine::CommandDone, this, &TwoWayBackend::commandDone);
    connect(&engine_, &pandrel::Engine::PortLost, this, &Backend::lost);
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
    Record r;
    r.command = c;
    // The command path names one unit, or none for a function on the house.
    r.devicecode = c.units.empty() ? QStringLiteral("0") : platform::blankNumber(c.units.front());
    const QString house(QChar::fromLatin1(state::Address{c.house, 0}.letter()));
    // Recorded first: the engine may report the command before Exec returns.
    records_.push_back(r);
    if (records_.size() > kMaxRecords) records_.pop_front();
    ++queued_;
    engine_.Exec(house, r.devicecode, c.function, c.amount);
}

void TwoWayBackend::commandDone(const QString& housecode, const QString& devicecode,
                                int16_t command, int16_t brightness, bool sent) {
    if (queued_ > 0) --queued_;
    const int house = x10::housePosition(housecode);
    // The record of this command: the oldest one that matches it. Records
    // before it belong to commands the engine never took.
    LineCommand c;
    auto it = std::find_if(records_.begin(), records_.end(), [&](const Record& r) {
        return r.command.house == house && r.devicecode == devicecode &&
               r.command.function == command;
    });
    if (it != records_.end()) {
        c = it->command;
        records_.erase(records_.begin(), it + 1);
    } else {
        // Queued on the engine directly (the window's control): the window's.
        c.source = state::Source::Click;
    }
    if (house == 0 || command == x10::ClearMemory) return;  // nothing for a module
    c.house = house;
    c.units = x10::isHouseFunction(command) ? std::vector<int>{} : x10::unitList(devicecode);
    c.function = command;
    c.amount = brightness;
    emit done(c, sent);
}

}  // namespace core
