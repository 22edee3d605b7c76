#pragma once
// Heard events as the engine reports them, for tests that feed the state
// table without an interface.

#include <QString>

#include "x10.h"

namespace testenv {

// The addresses heard ("A1 A5", any house), then function on house (1 ... 16)
// with its amount.
inline x10::HeardEvent heardEvent(const char* addresses, int house, int function, int amount = -1) {
    x10::HeardEvent e;
    for (const QString& a : QString::fromLatin1(addresses).split(u' ', Qt::SkipEmptyParts))
        e.addresses.push_back(*x10::Address::parse(a));
    e.house = house;
    e.function = static_cast<x10::Function>(function);
    e.amount = amount;
    return e;
}

// A macro report of the interface's two bytes (0x012F: 0x01 0x2F).
inline x10::HeardEvent heardMacro(int bytes) {
    x10::HeardEvent e;
    e.kind = x10::HeardEvent::Kind::Macro;
    e.macro = bytes;
    return e;
}

}  // namespace testenv
