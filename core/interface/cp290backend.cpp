#include "cp290backend.h"

#include <QFileInfo>
#include <cmath>

#include "engine.h"
#include "mcp290.h"
#include "mscomm.h"
#include "timebase.h"
#include "x10.h"

namespace core {

namespace {
// The pause after an exchange before the next waiting one: time for the
// event loop to serve logins and read what arrived meanwhile (more commands
// then wait or are refused instead of piling up unread). Small beside an
// exchange, which takes at least the frame's 350 ms on the line.
constexpr qint64 kPauseMs = 20;

const QString kBusyLine = QStringLiteral("CP290 Busy Detecting the Interface: Command Not Sent");
}  // namespace

Cp290Backend::Cp290Backend(MSComm& port, pandrel::Engine& engine,
                           std::function<void(const QString&)> log,
                           std::function<void(const QString&)> notify, QObject* parent)
    : Backend(parent) {
    link_ = std::make_unique<Cp290Link>(Cp290Link{
        port,
        // Every exchange makes the two-way engine let the port go first.
        [&engine] { engine.ResetCM(); },
        [this] { return port_; },
        log,
        [this, log, notify](const QString& text) {
            // A retry in the background says nothing to the user: the
            // outage has its one line.
            if (background_) return;
            if (notify)
                notify(text);
            else if (log)
                log(text);
        },
    });
    loopTurn_.setSingleShot(true);
    loopTurn_.setInterval(0);
    connect(&loopTurn_, &QTimer::timeout, this, [this] {
        // Fired inside the exchange: a nested event loop (a message box) has
        // served everyone meanwhile.
        if (running_) rested_ = true;
    });
    pause_.setSingleShot(true);
    pause_.setTimerType(Qt::PreciseTimer);
    connect(&pause_, &QTimer::timeout, this, [this] {
        rested_ = true;
        next();
    });
}

Cp290Backend::~Cp290Backend() = default;

Backend::Contact Cp290Backend::contact(int16_t port, bool background) {
    port_ = port;
    background_ = background;
    const bool found = CP290Detect(*link_) == 0;
    background_ = false;
    const QString device = MSComm::deviceForPort(port);
    return Contact{found, QFileInfo::exists(device) ? QStringLiteral("No Answer on ") + device
                                                    : device + QStringLiteral(" Does Not Exist")};
}

void Cp290Backend::release() {
    pause_.stop();
    std::deque<LineCommand> dropped;
    dropped.swap(queue_);
    if (link_->MSComm1.PortOpen()) link_->MSComm1.setPortOpen(false);
    // Nothing waiting goes out after the port was let go.
    for (const LineCommand& c : dropped) emit done(c, false);
}

QString Cp290Backend::cannotCarry(int function) const {
    switch (function) {
        case x10::AllUnitsOff:
        case x10::AllLightsOn:
        case x10::On:
        case x10::Off:
        case x10::Dim:
            return {};
        default:
            return QStringLiteral("The CP290 Cannot Send ") + x10::functionName(function) +
                   QStringLiteral(": Command Not Sent");
    }
}

QString Cp290Backend::busy() const {
    // A detection or clock setting waits for its reply: its port must stay
    // alone.
    return CP290Busy() ? kBusyLine : QString();
}

void Cp290Backend::send(const LineCommand& c) {
    const bool fromNetwork = c.source != state::Source::Click;
    if (!running_ && queue_.empty() && (rested_ || !fromNetwork)) {
        run(c);
        return;
    }
    queue_.push_back(c);
    if (!running_ && !pause_.isActive()) platform::TimeBase::global().startTimer(pause_, kPauseMs);
}

void Cp290Backend::next() {
    if (running_ || queue_.empty()) return;
    if (CP290Busy()) {
        // A detection runs its wait: the waiting commands follow it.
        platform::TimeBase::global().startTimer(pause_, kPauseMs);
        return;
    }
    LineCommand c = std::move(queue_.front());
    queue_.pop_front();
    run(std::move(c));
}

void Cp290Backend::run(LineCommand c) {
    const bool fromNetwork = c.source != state::Source::Click;
    running_ = true;
    if (fromNetwork) {
        rested_ = false;
        loopTurn_.start();
    }
    QString house(QChar::fromLatin1(state::Address{c.house, 0}.letter()));
    bool replied = false;
    if (c.function == x10::Dim) {
        const int16_t unit = c.units.empty() ? int16_t{0} : static_cast<int16_t>(c.units.front());
        replied = CP290Dim(*link_, house, unit, c.level);
    } else {
        // The functions on a whole house name unit 2 in the frame.
        const int16_t unit = c.units.empty() ? int16_t{2} : static_cast<int16_t>(c.units.front());
        replied = CP290Command(*link_, house, unit, static_cast<int16_t>(c.function));
    }
    running_ = false;
    emit done(c, replied);
    if (fromNetwork || !queue_.empty()) platform::TimeBase::global().startTimer(pause_, kPauseMs);
}

}  // namespace core
