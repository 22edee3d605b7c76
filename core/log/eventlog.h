#pragma once
// The program's log: event lines (the interface, the modules, the listener)
// and client lines (what remote clients do). The log keeps nothing itself;
// its sinks connect to its signals: the window's lists, standard output.

#include <QObject>
#include <QString>

namespace core {

class EventLog : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    void event(const QString& text) { emit eventLine(text); }
    void client(const QString& text) { emit clientLine(text); }

  signals:
    void eventLine(const QString& text);
    void clientLine(const QString& text);
};

// The syslog priority of a line, by its first word: "ERROR..." is an error
// (3), "WARNING..." a warning (4), anything else information (6).
int linePriority(const QString& text);

// Whether standard output is the journal's stream: JOURNAL_STREAM names the
// device and inode ("dev:ino") of the stream the service manager connected,
// and fd 1 is still that stream (not redirected by a child or a shell).
bool standardOutputIsJournal();

// A log line as standard output shows it, with its newline. To the journal:
// "<N>text", the priority as the journal reads it and no time (the journal
// has its own). Elsewhere: "yyyy-MM-dd hh:mm:ss-->text" (the time base's clock).
QString standardOutputLine(const QString& text, bool journal);

// A sink for a program without a window: every line of both kinds goes to
// standard output as standardOutputLine shows it (whether it is the journal
// is decided here, once), flushed at once, since a service manager keeps it.
void logToStandardOutput(EventLog& log);

}  // namespace core
