#pragma once
// One kind of powerline interface behind core::Interface: how to contact it,
// how to let its port go, and how one command goes out. The interface and
// its command path never ask which kind they drive; what differs is said
// here (the name in log lines, whether it dims to an absolute level, which
// functions it carries, what it refuses while it is busy).
//
// A command handed to send() is reported by done() at most once, when the
// backend knows its outcome (possibly before send() returns); one the
// interface dropped before it reached the line is not reported.

#include <QObject>
#include <QString>
#include <cstdint>
#include <vector>

#include "interfacesupervisor.h"
#include "state/statetable.h"

namespace core {

struct LineCommand {
    quint64 id = 0;          // 0: not given through the command path
    int house = 0;           // position 1..16 (A = 1)
    std::vector<int> units;  // 1..16; none for a function on the whole house
    int function = 0;
    // DIM and BRIGHT on the two-way interface: the step in percent; the data
    // byte of an EXTENDED CODE.
    int amount = 0;
    // EXTENDED CODE: its command byte (x10::kExtPresetLevel, ...).
    int extendedCommand = 0;
    // The absolute dim level 0..10 (backends that dim to a level), -1 none.
    double level = -1;
    state::Source source = state::Source::None;
    // In done() when it was not sent: why, in words ("" when not known).
    QString reason;
    // Given by the state checks (a status request, or a command sent once
    // more): no line of its own, and no commandConfirmed or commandFailed.
    bool check = false;
};

class Backend : public QObject {
    Q_OBJECT
  public:
    using Contact = InterfaceSupervisor::Contact;

    using QObject::QObject;

    // The interface's name in the event-log lines ("Pandrel", "CP290").
    virtual QString name() const = 0;
    // The line for a contact that found the interface on port, "" when the
    // backend has logged what it found itself.
    virtual QString foundLine(int16_t port) const = 0;

    // Tries once to reach the interface on port. background: a retry of the
    // supervisor; messages meant for the user are kept back (the supervisor
    // reports the outage once). May run the event loop.
    virtual Contact contact(int16_t port, bool background) = 0;
    // Lets the port go; commands not yet reported are forgotten.
    virtual void release() = 0;

    // Whether a lamp's level is set absolutely (0..10) rather than by
    // relative DIM and BRIGHT steps.
    virtual bool dimsToLevel() const = 0;
    // Why function can never be sent on this interface; "" when it can.
    virtual QString cannotCarry(int function) const = 0;
    // Why no command can be taken right now; "" when one can.
    virtual QString busy() const = 0;
    // Commands taken and not yet reported.
    virtual int waiting() const = 0;
    virtual void send(const LineCommand& c) = 0;

  signals:
    // The outcome of a command: sent is true once the interface confirmed it.
    void done(const core::LineCommand& c, bool sent);
    // The interface went away (its device was removed); reason names it.
    void lost(const QString& reason);
    // The interface's port is still there but the interface stopped
    // answering; the commands it held are given up (done, not sent) with
    // reason. The port stays open until the next contact.
    void stoppedAnswering(const QString& reason);
};

}  // namespace core
