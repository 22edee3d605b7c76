#pragma once
// The one path for commands to any module, whoever gives them (command words,
// the home-automation bridge): each goes to whichever interface this run uses,
// in order, never interleaved with another exchange, and the state table
// follows it once the interface has confirmed it.

#include <QObject>

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

    // The interface was found and answers.
    virtual bool interfaceReady() const = 0;

  signals:
    void interfaceReadyChanged(bool ready);
};
