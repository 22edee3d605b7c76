#pragma once
// A module's address on the powerline: the X10 vocabulary's address (house
// position 1 to 16 for A to P, unit 1 to 16), with what the state table needs
// beside it: the strict reading of module addresses and the address order.

#include <QStringView>
#include <optional>

#include "x10.h"

namespace state {

using Address = x10::Address;

// "A5", "p16" (either case, no blanks, no leading zero, no whole house);
// nullopt for anything else.
std::optional<Address> parseModule(QStringView text);

// Position in address order: A1 A2 ... A16 B1 ... P16 are 0 to 255.
inline int indexOf(Address a) {
    return (a.house - 1) * 16 + a.unit - 1;
}
// The address at a position 0 to 255 (A1 outside that range).
Address addressAt(int index);

}  // namespace state
