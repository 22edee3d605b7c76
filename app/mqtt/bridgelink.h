#pragma once
// What the parts of the bridge share (discovery, state publishing, command
// topics): the client, the settings, the log and its throttle, the schedule,
// and whether this instance holds the base topic now.

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <functional>

#include "loglevel.h"
#include "logthrottle.h"
#include "mqttclient.h"
#include "mqttsettings.h"
#include "x10.h"

namespace core {
class ScheduleRunner;
}

namespace mqtt {

inline const QByteArray kOnline = "online";
inline const QByteArray kOffline = "offline";

class Link {
  public:
    using LogHook = platform::LogHook;

    Link(Client& client, const Settings& settings, LogHook log)
        : client(client),
          settings(settings),
          log(std::move(log)),
          throttle([this](const QString& line) { this->line(line); }) {}

    // A topic under the base topic ("veldrin/" + rest).
    QString topic(const QString& rest) const { return settings.baseTopic + u'/' + rest; }
    // This instance holds the base topic (it may have lost the connection
    // since); publishing waits for it.
    bool active() const { return active_; }
    // Holds the base topic and is connected.
    bool live() const { return active_ && client.isConnected(); }
    void setActive(bool on) { active_ = on; }
    void publish(const QString& t, const QByteArray& payload, bool retain) {
        client.publish(t, payload, retain);
    }
    void line(const QString& text, platform::LogLevel level = platform::LogLevel::Info) const {
        log(text, level);
    }

    Client& client;
    const Settings& settings;
    const LogHook log;
    // Lines about what the broker sent: a flood of junk gives one line per
    // second and reason, with a count.
    platform::LogThrottle throttle;
    // The schedule the switch and the scene entities stand for; none: neither.
    QPointer<core::ScheduleRunner> schedule;
    // Where the phone page is reached (every device links to it); empty
    // while the page is off.
    QString pageUrl;

  private:
    bool active_ = false;
};

// A function as the bridge names it: the event log's name, blanks as "_"
// ("ALL_LIGHTS_ON").
inline QString payloadName(int function) {
    return x10::functionName(function).replace(u' ', u'_');
}

// A payload as a log line shows it: printable, short.
inline QString shown(const QByteArray& payload) {
    QString s;
    for (char c : payload.left(40)) s += (c >= 0x20 && c < 0x7f) ? QChar(c) : QChar(u'?');
    if (payload.size() > 40) s += QStringLiteral("...");
    return s;
}

}  // namespace mqtt
