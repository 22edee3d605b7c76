#pragma once
// Keeps a flood from filling the log: per kind of line, at most one line per
// second. The first line of a burst goes out at once; lines that follow within
// the second are counted, and when the second ends one line (the newest, with
// the count) stands for them all. A quiet kind costs nothing.

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QTimer;

namespace platform {

class LogThrottle : public QObject {
  public:
    using Sink = std::function<void(const QString& line)>;
    // windowMs is logical time (the time base), so tests run it fast.
    explicit LogThrottle(Sink sink, qint64 windowMs = 1000, QObject* parent = nullptr);
    ~LogThrottle() override;

    // Logs line under kind (any stable name: "queue-full", "mqtt-junk" ...).
    void log(const QString& kind, const QString& line);

    // Writes out what is still counted (at exit).
    void flush();

  private:
    struct Kind;
    void windowEnded(Kind& k);

    Sink sink_;
    qint64 windowMs_;
    QHash<QString, std::shared_ptr<Kind>> kinds_;
};

}  // namespace platform
