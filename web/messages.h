#pragma once
// The JSON the page is sent: modules, the schedule, the addresses a command
// reached.

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <vector>

#include "state/statetable.h"

namespace core {
class ScheduleRunner;
}

namespace web {

// The modules the page shows: every listed module, then the other addresses
// whose state is known, in address order.
std::vector<state::Address> shownAddresses(const state::StateTable& table);

// {"address","house","unit","name","kind","listed","power","level","source","at"}.
QJsonObject moduleJson(const state::StateTable& table, state::Address a);

// {"enabled", "next":[{"at","text"}...]} (10 firings), "refused" with the first problem of a
// refused file while no schedule runs; null without a schedule file.
QJsonValue scheduleJson(const core::ScheduleRunner& schedule);

// The addresses a command to units of a house (position 1..16) reached; for
// a whole house (no units) the shown modules of that house.
QJsonArray addressesOf(const state::StateTable& table, int house, const std::vector<int>& units);

}  // namespace web
