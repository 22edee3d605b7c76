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

// A sink for a program without a window: every line of both kinds goes to
// standard output as "yyyy-MM-dd hh:mm:ss-->text" (the time base's clock),
// flushed at once, since a service manager keeps it.
void logToStandardOutput(EventLog& log);

}  // namespace core
