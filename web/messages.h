#pragma once
// The JSON the page is sent: modules, the schedule, the addresses a command
// reached, heard lines.

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <vector>

#include "state/statetable.h"

namespace core {
class ScheduleRunner;
}

namespace web {

// The modules the page knows of: every listed module, then the other
// addresses whose state is known, in address order. The page draws cards for
// the listed ones and for the addresses its user chose to show.
std::vector<state::Address> shownAddresses(const state::StateTable& table);

// {"address","house","unit","name","kind","listed","power","level","source",
// "at","steps","room","answer","load"}, and "window" for a window contact.
// steps: the levels above off the lamp can be set to (CommandPath::levelSteps);
// answer: "unasked", "confirmed" or "not answering"; load: 1, 0 (no load) or
// null when not known.
QJsonObject moduleJson(const state::StateTable& table, state::Address a, int steps);

// {"enabled", "next":[{"at","text"}...] (10 firings), "scenes":[names],
// "triggers":[{"when","action"}...], "refused" with the first problem of a refused file while
// no schedule runs}; null without a schedule file.
QJsonValue scheduleJson(const core::ScheduleRunner& schedule);

// A heard line with the time it was heard: {"line","at"} (ms since the epoch).
QJsonObject heardJson(const QString& line, qint64 atMs);

// The addresses a command to units of a house (position 1..16) reached; for
// a whole house (no units) the shown modules of that house.
QJsonArray addressesOf(const state::StateTable& table, int house, const std::vector<int>& units);

}  // namespace web
