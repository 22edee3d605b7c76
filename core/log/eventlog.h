#pragma once
// The program's log: event lines (the interface, the modules, the listener)
// and client lines (what remote clients do), each with its level. The log
// keeps nothing itself; its sinks connect to its signals: the window's
// lists, standard output (the journal's priority follows the level).

#include <QObject>
#include <QString>

#include "loglevel.h"

namespace core {

using platform::LogLevel;

class EventLog : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // An event line with the level given where it is made.
    void add(LogLevel level, const QString& text) { emit eventLine(text, level); }
    void error(const QString& text) { add(LogLevel::Error, text); }
    void warning(const QString& text) { add(LogLevel::Warning, text); }
    void notice(const QString& text) { add(LogLevel::Notice, text); }
    void info(const QString& text) { add(LogLevel::Info, text); }
    // An event line whose maker gave no level: one that begins "ERROR" is an
    // error, "WARNING" a warning, any other information.
    void event(const QString& text) { add(levelOfText(text), text); }
    void client(const QString& text) { emit clientLine(text, LogLevel::Info); }

    // A hook for the parts below the core (listeners, the bridge) that
    // writes their lines here as event lines with their levels.
    platform::LogHook hook() {
        return [this](const QString& text, LogLevel level) { add(level, text); };
    }

    static LogLevel levelOfText(const QString& text);

  signals:
    void eventLine(const QString& text, platform::LogLevel level);
    void clientLine(const QString& text, platform::LogLevel level);
};

// Whether standard output is the journal's stream: JOURNAL_STREAM names the
// device and inode ("dev:ino") of the stream the service manager connected,
// and fd 1 is still that stream (not redirected by a child or a shell).
bool standardOutputIsJournal();

// A log line as standard output shows it, with its newline. To the journal:
// "<N>text", N the level's priority as the journal reads it, and no time
// (the journal has its own). Elsewhere: "yyyy-MM-dd hh:mm:ss-->text" (the
// time base's clock).
QString standardOutputLine(const QString& text, LogLevel level, bool journal);

// A sink for a program without a window: every line of both kinds goes to
// standard output as standardOutputLine shows it (whether it is the journal
// is decided here, once), flushed at once, since a service manager keeps it.
void logToStandardOutput(EventLog& log);

}  // namespace core
