#pragma once
// The command lines of veldrin and of the daemon veldrind:
//   veldrin [--headless] [--config FILE] [--password-file FILE]
//   veldrind [--config FILE] [--password-file FILE]
//   veldrin|veldrind [--config FILE] --check-schedule [SCHEDULE]
//   veldrin|veldrind --help | --version
// --headless runs the program without a window and without a display
// server (it becomes veldrind, which accepts the option and ignores it);
// --config reads that settings file instead of the per-user one (the window
// also writes it, the daemon never does); --password-file takes the
// connection password from the first line of a file that only its owner may
// read; --check-schedule prints when the entries of the schedule file (that
// of the settings, or SCHEDULE) fire next, or its errors, and ends. Qt's own
// options (-platform, -style ...) pass through to the toolkit.

#include <QString>
#include <QStringList>
#include <optional>

namespace app {

struct StartOptions {
    bool headless = false;
    QString configFile;    // absolute; empty: the per-user settings file
    QString passwordFile;  // empty: none given
    bool checkSchedule = false;
    QString scheduleFile;  // with checkSchedule: absolute; empty: that of the settings
};

struct ParsedStart {
    std::optional<StartOptions> options;  // nullopt: print text and end with exitCode
    QString text;
    int exitCode = 0;
};

// Which program's command line: the window's or the daemon's (its own name,
// help and options).
enum class Program { Window, Daemon };

// Parses the arguments (argv[0] included). --help gives the help text and 0,
// --version the program's name and version and 0, a wrong option an error
// text with the usage and 2.
ParsedStart parseStartOptions(const QStringList& arguments, Program program = Program::Window);
// The same for main's arguments; when there is nothing to run, prints the
// text (help to standard output, an error to standard error), sets exitCode
// and gives nullopt.
std::optional<StartOptions> startOptions(int argc, char** argv, int* exitCode,
                                         Program program = Program::Window);

// The connection password from the first line of path (line end removed).
// Refuses a file that is not a regular file, one its group or others may
// use, one that cannot be read, an empty first line and one longer than a
// line of the remote protocol: then error holds the reason and the result is
// nullopt.
std::optional<QString> readPasswordFile(const QString& path, QString* error);

// Name of the single-instance lock: the default name without a settings
// file (or with the per-user one, defaultFile), otherwise one derived from
// the file's absolute path, so that each settings file has its own instance.
QString instanceLockName(const QString& configFile, const QString& defaultFile);

// The daemon veldrind beside the running program (the program's own folder,
// found through /proc/self/exe; argv0's folder when that cannot be read).
QString daemonPath(const QString& argv0);

// The settings file the packaged service reads (its unit names it).
inline const QString kServiceSettingsFile = QStringLiteral("/etc/veldrin/veldrin.conf");

// The first lines of --check-schedule's report: the settings file it read
// and, for root without --config where the service's settings file exists
// (serviceFileExists), the command that checks the service's schedule.
QString scheduleCheckPreamble(const QString& settingsFile, bool configGiven, bool root,
                              bool serviceFileExists);

// --check-schedule: prints the report of the schedule file after its
// preamble (errors to standard error) and gives the exit status, 1 on an error.
int runScheduleCheck(const StartOptions& options);

}  // namespace app
