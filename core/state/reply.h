#pragma once
// What a module that answers says of itself on the powerline: a lamp's or
// appliance's reply to the extended status request (its level, its kind,
// whether a load is connected), or STATUS ON / STATUS OFF after its address.
// Decoded once here for the state table and the state checks.

#include <vector>

#include "address.h"
#include "x10.h"

namespace state {

struct ModuleReply {
    Address address;
    bool on = false;
    // Percent 0..100 of the extended reply's level; -1 when the reply gives
    // none (STATUS ON / STATUS OFF).
    int level = -1;
    // The extended reply's load bit for a lamp module: 1 a load is
    // connected, 0 none; -1 when the reply does not say (an appliance, a
    // standard reply).
    signed char load = -1;
};

// The replies one heard event carries: one for an extended status reply,
// one per unit of the function's house for STATUS ON / STATUS OFF, none for
// anything else.
std::vector<ModuleReply> moduleReplies(const x10::HeardEvent& event);

}  // namespace state
