#pragma once
// The remote query "?state": one line per module whose state is known, in
// address order ("A5 ON 100", "A6 OFF"); "?state A5" answers that one module
// ("A5 UNKNOWN" when nothing is known of it). A lamp that is on carries its
// level in percent when the level is known.

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "state/statetable.h"

namespace app {

using StateLookup = std::function<state::ModuleState(state::Address)>;

// The answer lines of a "?state" line (any letter case, blanks around the
// address allowed); nullopt for every other line. A bad address gives one
// line starting "ERROR".
std::optional<QStringList> answerStateQuery(const QString& line, const StateLookup& lookup);

// One module's line: "A5 ON 100", "A5 ON", "A6 OFF", "A7 UNKNOWN".
QString stateLine(state::Address a, const state::ModuleState& s);

}  // namespace app
