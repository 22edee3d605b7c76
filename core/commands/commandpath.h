#pragma once
// The one path for commands to any module, whoever gives them (the click pad,
// command words, the home-automation bridge): each goes to the interface in
// use, in order, never interleaved with another exchange, and the state table
// follows it once the interface has confirmed it. Callers never ask which
// interface is in use.

#include <QObject>
#include <QString>
#include <vector>

#include "state/address.h"
#include "state/statetable.h"

class CommandPath : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Switches one module on or off.
    virtual void switchUnit(state::Address a, bool on, state::Source source) = 0;
    // Sets a lamp's level, 0..100 percent (0 = off; a level on a lamp that is
    // off turns it on at that level). Two-way interface: relative DIM and
    // BRIGHT from the tracked level (first ON at full brightness when the
    // level is unknown); CP290: its absolute dim level.
    virtual void setBrightness(state::Address a, int percent, state::Source source) = 0;
    // ALL UNITS OFF, ALL LIGHTS ON or ALL LIGHTS OFF (veldrin::x10::Function)
    // for a house, position 1..16 (A = 1).
    virtual void houseFunction(int house, int function, state::Source source) = 0;
    // The dim slider of the click pad moved from level `from` to `to` (0..10)
    // with unit a selected. Two-way interface: BRIGHT or DIM by the
    // difference times ten percent (DIM 0 when unchanged); CP290: its
    // absolute level `to`, also when unchanged.
    virtual void sliderDim(state::Address a, int from, int to, state::Source source) = 0;

    // The interface was found and answers.
    virtual bool interfaceReady() const = 0;

    // Why the last command given was not sent ("" when none was refused since
    // clearRefusal): the queue was full, the interface is not available, the
    // CP290 was busy detecting. A command word is answered "ERROR <reason>".
    virtual QString lastRefusal() const = 0;
    virtual void clearRefusal() = 0;

    // The commands given while a Group lives go out together or not at all:
    // when one of them is refused, those given before it in the group are
    // refused with it (commandFailed each), so that the answer to the word or
    // request that gave them matches what reaches the line. Groups nest; the
    // outermost one sends when it ends.
    class Group {
      public:
        explicit Group(CommandPath& path) : path_(path) { path_.beginGroup(); }
        ~Group() { path_.endGroup(); }
        Group(const Group&) = delete;
        Group& operator=(const Group&) = delete;

      private:
        CommandPath& path_;
    };

  protected:
    virtual void beginGroup() {}
    virtual void endGroup() {}

  signals:
    void interfaceReadyChanged(bool ready);
    // A command was not sent or was given up after its retries: its labels
    // show the tracked state again. house: position 1..16 (A = 1).
    void commandFailed(int house, const std::vector<int>& units, int function);
    // The interface confirmed a command; the state table has followed it.
    // house: position 1..16 (A = 1); units empty for a whole house.
    void commandConfirmed(int house, const std::vector<int>& units, int function);
};
