#pragma once
// The CP290 through its driver. The driver blocks for each exchange (up to
// 3 s), so commands from the network do not run back to back inside one
// handler: a remote word or a bridge message runs at once only when nothing
// waits and the event loop has had its turn since the last such exchange;
// otherwise it waits in a queue that runs one exchange at a time from the
// event loop, a short pause apart, so that logins and other clients are
// served in between. The window's own clicks run at once whenever nothing
// waits, as they always did.
//
// The CP290 carries ALL UNITS OFF, ALL LIGHTS ON, ON, OFF and its own dim to
// a level; anything else is refused before it is queued.

#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "backend.h"

class MSComm;
struct Cp290Link;
namespace pandrel {
class Engine;
}

namespace core {

class Cp290Backend : public Backend {
    Q_OBJECT
  public:
    // port: the CP290's serial component. log: one event-log line. notify:
    // a message the user must see (no reply, port in use, invalid port).
    Cp290Backend(MSComm& port, pandrel::Engine& engine, std::function<void(const QString&)> log,
                 std::function<void(const QString&)> notify, QObject* parent = nullptr);
    ~Cp290Backend() override;

    QString name() const override { return QStringLiteral("CP290"); }
    // The driver logs what it found ("Found CP290 Connected to Com: N" and
    // the interface's clock).
    QString foundLine(int16_t) const override { return {}; }
    Contact contact(int16_t port, bool background) override;
    void release() override;
    bool dimsToLevel() const override { return true; }
    QString cannotCarry(int function) const override;
    QString busy() const override;
    int waiting() const override { return static_cast<int>(queue_.size()); }
    void send(const LineCommand& c) override;

  private:
    void run(LineCommand c);
    void next();

    std::unique_ptr<Cp290Link> link_;
    int16_t port_ = 0;
    bool background_ = false;  // a retry of the supervisor runs: keep messages back

    std::deque<LineCommand> queue_;
    bool running_ = false;  // an exchange is in progress
    // The event loop has had its turn since the last exchange for the network
    // began (during that exchange, or in the pause after it).
    bool rested_ = true;
    QTimer loopTurn_;  // zero time: fires once the event loop runs
    QTimer pause_;     // the pause after an exchange; then the next one
};

}  // namespace core
