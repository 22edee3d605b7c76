#pragma once
// The schedule: timed entries ("at 18:30 Mon-Fri A5 ON"), scenes ("scene
// morning: A5 ON; wait 10s; B1 ON") and triggers on heard traffic ("when A1 ON
// heard: B3 ON"), read from a plain text file, one entry a line, "#" starting
// a comment. A file with any error is refused as a whole: the parser gives
// every problem as "line N: problem" (the first kMaxErrors of them) and no
// schedule.
//
// A file is read in time linear in its size: nothing it holds makes the
// service wait long before it listens. Scenes may start scenes only so deep,
// and one firing may start only so many steps (a scene chain or a wide
// fan-out is refused with its line, as a loop is).
//
// Qt Core only.

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

#include "x10.h"

namespace schedule {

// One step of an entry, a scene or a trigger.
struct Step {
    enum class Kind { Command, Wait, Scene, Run };
    Kind kind = Kind::Command;
    x10::Command command;  // Command: addresses, function, percent for DIM/BRIGHT
    qint64 waitMs = 0;     // Wait
    QString scene;         // Scene: its name
    QStringList argv;      // Run: program and arguments
    QString text;          // as written, blanks collapsed ("A5 ON")
};

enum class TimeKind { Clock, Sunrise, Sunset };

// Which days an entry fires on.
struct DayFilter {
    unsigned weekdays = 0x7F;  // bit d-1 for Qt's day of week d (Monday = 1)
    bool hasRange = false;     // a date range "Dec 1-Jan 6", both ends included
    int fromMonth = 1, fromDay = 1, toMonth = 12, toDay = 31;

    bool matches(int month, int day, int dayOfWeek) const;
};

struct TimedEntry {
    int line = 0;
    TimeKind kind = TimeKind::Clock;
    int minuteOfDay = 0;    // Clock: hour * 60 + minute
    int offsetMinutes = 0;  // Sunrise/Sunset: + later, - earlier
    int randomMinutes = 0;  // ~N: a shift of up to N minutes either way
    DayFilter days;
    std::vector<Step> steps;
    QString action;  // the steps as written, for the log line
};

struct Trigger {
    int line = 0;
    x10::Address address;  // a unit, or a whole house (unit 0)
    x10::Function function = x10::On;
    // DIM and BRIGHT: the percent waited for ("when A1 DIM 40% heard"); -1
    // for any amount ("when A1 DIM heard").
    int amount = -1;
    std::vector<Step> steps;
    QString action;

    // The heard traffic (house 1..16, its addressed units, function, percent
    // of a DIM or BRIGHT or -1) matches. An amount matches when it comes to
    // the same number of dim steps on the line as the one waited for, since
    // the line cannot tell them apart (it carries a DIM as 0 ... 22 steps).
    bool matches(int house, const std::vector<int>& units, int function,
                 int heardAmount = -1) const;
    // The heard traffic waited for, as written: "A1 ON", "A1 DIM 40%".
    QString heardText() const;
};

struct Scene {
    int line = 0;
    QString name;
    std::vector<Step> steps;
};

struct Schedule {
    std::vector<TimedEntry> timed;
    std::vector<Trigger> triggers;
    std::map<QString, Scene> scenes;  // by name, as written

    bool usesSun() const;
    bool empty() const { return timed.empty() && triggers.empty() && scenes.empty(); }
};

// Scenes starting scenes: at most this many, one inside the other.
constexpr int kMaxSceneDepth = 16;
// What one firing may start: an entry or a trigger with its scenes, and all
// triggers one heard command matches. A command counts once per address.
constexpr int kMaxStepsPerFiring = 1000;
// Problems listed for a refused file; the check stops after them.
constexpr int kMaxErrors = 100;
// Entries (timed entries, scenes and triggers) in one file: each costs some
// time to read and plan at start-up, and a house has at most 256 modules.
constexpr int kMaxEntries = 10000;

struct ParseOptions {
    // [Location] is set: sunrise and sunset may be used.
    bool hasLocation = false;
    // When set, an address it refuses gets a warning (the module list).
    std::function<bool(const x10::Address&)> knownModule;
};

struct ParseResult {
    Schedule schedule;
    // "line 7: unknown day 'Mnd'"; empty: accepted. At most kMaxErrors, and
    // one more that says where the check stopped.
    QStringList errors;
    // "line 6: B1 is not in the module list", once per address, in both cases.
    QStringList warnings;
    // The scenes the file defines, also when it is refused: the front ends
    // keep what the file still names while it is being fixed.
    QStringList sceneNames;
    bool ok() const { return errors.isEmpty(); }
};

ParseResult parseText(const QString& text, const ParseOptions& options = {});

// A command in the event-log form: "A5 ON", "A1 A2 DIM 40%", "A ALL UNITS
// OFF", "A5 BRIGHT 20%". Gives false with the problem in error.
bool parseCommand(const QString& text, x10::Command* command, QString* error);

}  // namespace schedule
