#pragma once
// Where the schedule comes from: the file `schedule` beside the settings file
// ([Schedule] File= names another; a relative name is taken beside the
// settings file), the place for sunrise and sunset ([Location] Latitude and
// Longitude, decimal degrees), and the report of --check-schedule.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

#include "planner.h"
#include "regularfile.h"
#include "schedule.h"

namespace core {

// The schedule file the settings name.
QString scheduleFilePath();

// The location of the settings: nullopt when neither key is set; an error
// text when they are set but wrong (not a number, out of range, only one).
std::optional<schedule::Location> scheduleLocation(QString* error);

// The most a schedule file may hold: it is text typed by hand, and anything
// larger is a mistake (or a file that is no schedule).
constexpr qint64 kMaxScheduleBytes = 4 * 1024 * 1024;

struct LoadedSchedule {
    schedule::Schedule schedule;
    std::optional<schedule::Location> location;
    QStringList errors;      // "line N: problem", or a problem of the file or the location
    QStringList warnings;    // "line N: B1 is not in the module list"
    QStringList sceneNames;  // the scenes the file defines, also when it is refused
    bool ok() const { return errors.isEmpty(); }
};

// Reads a schedule file: only a regular file, and only up to
// kMaxScheduleBytes. Opening never blocks (a FIFO is refused, not waited on)
// and a larger file is refused before anything of it is read. A file that
// does not exist is Missing.
platform::FileRead readScheduleFile(const QString& path);

// Parses a schedule file read from path with the location of the settings,
// and checks its addresses against [Modules] where the settings have it. A
// file that does not exist (or could not be read) is an error here, named
// with the path; the caller decides whether a missing file is one.
LoadedSchedule parseSchedule(const QString& path, const platform::FileRead& file);

// Both: reads path and parses it.
LoadedSchedule loadSchedule(const QString& path);

struct ScheduleCheck {
    QString text;  // for standard output (entries) or standard error (errors)
    int exitCode = 0;
};

// --check-schedule: each timed entry's next three firing times after now as
// local "YYYY-MM-DD HH:MM" with its line number, scenes and triggers named
// by their line; or the errors with their line numbers and exit code 1.
// Warnings ("warning: line 6: B1 is not in the module list") follow the
// first line in both cases.
ScheduleCheck checkSchedule(const QString& path, const QDateTime& now);

}  // namespace core
