#pragma once
// The topics the bridge takes commands from, a table of topic patterns
// below the base topic (B) and their handlers:
//   B/ADDR/set               ON / OFF (any case), or a lamp's JSON command
//                            ({"state":"ON","brightness":40})
//   B/ADDR/brightness/set    0..100, lamps
//   B/HOUSE/all/set          ALL_LIGHTS_ON / ALL_LIGHTS_OFF / ALL_UNITS_OFF
//   B/schedule/set           ON / OFF (any case)
//   B/scene/NAME/set         ON: runs the schedule's scene NAME
// Nothing else is taken from the broker. Commands that arrive retained are
// stale (someone published them with the retain flag) and are ignored. Each
// command taken writes a line ("MQTT: A5 ON"); each one ignored a line that
// says why, throttled per reason.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "bridgelink.h"
#include "state/statetable.h"

class CommandPath;

namespace mqtt {

class StatePublisher;

class CommandTopics {
  public:
    CommandTopics(Link& link, const state::StateTable* table, CommandPath* path,
                  StatePublisher& states);

    // Subscribes to the command topics (on each connection).
    void subscribe();
    // A message on a topic below the base topic.
    void take(const QString& topic, const QByteArray& payload, bool retained);

  private:
    struct Message {
        const QString& topic;
        const QStringList& parts;  // the levels below the base topic
        const QByteArray& payload;
        QByteArray word;  // the payload trimmed, upper case
    };
    struct Route {
        const char* pattern;  // below the base topic; "+" is any one level
        bool subscribe;       // false: its messages come through another route's pattern
        void (CommandTopics::*handle)(const Message&);
    };
    static const std::vector<Route>& routes();

    void schedule(const Message& m);
    void scene(const Message& m);
    void switchUnit(const Message& m);
    void lightCommand(const Message& m, state::Address a);
    void brightness(const Message& m);
    void house(const Message& m);
    void ignored(const QString& topic, const QByteArray& payload, const QString& why);
    void received(const QString& command);

    Link& link_;
    const state::StateTable* table_;
    CommandPath* path_;
    StatePublisher& states_;
};

}  // namespace mqtt
