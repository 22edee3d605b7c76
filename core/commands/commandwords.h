#pragma once
// The command words of remote clients, recognised by the ordered tests of
// the interpreter: unit on ("5on"), unit off ("5of"), unit dim ("5di07"),
// house-code change ("housecodechangeC") and the whole words "allo", "allf",
// "alluf", "COFF", "ABORT", "EXIT", and "scheduleon" / "scheduleoff" that
// switch the schedule on and off. Comparison is exact: case, blanks and
// line terminators all count.

#include <QString>
#include <cstdint>

namespace commands {

struct Command {
    enum Kind {
        Ignored,  // fits no form, or a malformed unit or level
        UnitOn,
        UnitOff,
        UnitDim,
        HouseCode,      // text: the new house code (A to P, either case, as written)
        AllLightsOn,    // "allo"
        AllUnitsOff,    // "allf"
        AllLightsOff,   // "alluf"
        Shutdown,       // "COFF"
        AbortShutdown,  // "ABORT"
        Exit,           // "EXIT"
        ScheduleOn,     // "scheduleon"
        ScheduleOff,    // "scheduleoff"
    };
    Kind kind = Ignored;
    int16_t unit = 0;   // 1..16 for the unit forms
    int16_t level = 0;  // 0..10 for the dim form
    QString text;
};

// The unit text of an on, off or dim command: the first character for five
// characters, the first two for more, all but the last two for fewer.
QString unitText(const QString& command);

Command parseWord(const QString& command);

}  // namespace commands
