#pragma once
// The home-automation bridge: publishes the state table and the traffic heard
// on the powerline to an MQTT broker, takes commands from there into the
// command path (the same queue as clicks and command words), and announces
// every module to Home Assistant through retained discovery configs. The
// bridge holds the connection; its parts do the rest: state publishing
// (statepublisher.h), the diagnostics (diagnostics.h), the command topics
// (commandtopics.h), discovery (discovery.h).
//
// Topics (B = BaseTopic, ADDR = "A5"):
//   B/status                 online / offline, retained; the last will says offline
//   B/client                 the client id of the instance that holds B, retained
//   B/ADDR/state             retained, for every listed module: a lamp's
//                            {"state":"ON","brightness":40}, else ON / OFF
//                            (motion and door sensors: what they sent last)
//   B/ADDR/event             {"event_type":"on"}, a remote's button heard
//   B/event                  one JSON object for each event heard
//   B/schedule/state         ON / OFF, retained: the schedule switched on or off
//   B/version, B/interface, B/given_up, B/ADDR/heard, B/ADDR/load,
//   B/ADDR/available         diagnostics, retained (diagnostics.h)
//   B/.../set                commands (commandtopics.h)
//
// On each connect the bridge first reads B/client and B/status: when another
// client id holds B and says online, two instances would act on each other's
// commands, so this one logs an error and leaves the broker. When Home
// Assistant says online on <prefix>/status, everything is announced again.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

#include "bridgelink.h"
#include "commandtopics.h"
#include "diagnostics.h"
#include "discovery.h"
#include "mqttclient.h"
#include "mqttsettings.h"
#include "state/statetable.h"
#include "statepublisher.h"

class CommandPath;

namespace core {
class ScheduleRunner;
}

namespace mqtt {

class Bridge : public QObject {
    Q_OBJECT
  public:
    using LogHook = platform::LogHook;

    // baseHouse: position 1..16 (A = 1), the house of the two discovery buttons.
    Bridge(Settings settings, QString password, state::StateTable* table, CommandPath* path,
           int baseHouse, LogHook log, QObject* parent = nullptr);
    ~Bridge() override;

    // From the settings group [MQTT]: nullptr when the bridge is off (no
    // host) or its password file cannot be used (logged). Starts connecting.
    static std::unique_ptr<Bridge> fromSettings(state::StateTable* table, CommandPath* path,
                                                int baseHouse, const LogHook& log,
                                                QObject* parent = nullptr);

    void start();
    // The schedule the switch and the scene entities stand for; without
    // one the bridge announces neither.
    void setSchedule(core::ScheduleRunner* schedule);
    // Where the phone page is reached; every device of the hub links to it.
    // Empty: the page is off.
    void setPageUrl(const QString& url);
    const QString& pageUrl() const { return link_.pageUrl; }
    // The interface's link in words ("found", "lost" ...), for the hub's
    // diagnostics.
    void setInterfaceLink(const QString& text) { diagnostics_.setLink(text); }
    // Publishes offline and ends the connection cleanly; writes out the log
    // lines still held back.
    void stop();

    Client& client() { return *client_; }
    const Settings& settings() const { return settings_; }

    // The payload of B/event for one heard event.
    static QByteArray eventJson(const state::HeardEvent& event) {
        return StatePublisher::eventJson(event);
    }
    // The moment the last config of an announcement went out (logical ms of
    // the time base), for the figures of a hub's restart.
    qint64 lastAnnouncedMs() const { return discovery_.lastAnnouncedMs(); }
    // Off the broker because another instance holds the base topic.
    bool refused() const { return phase_ == Phase::Refused; }
    // Connected to the broker now.
    bool isConnected() const { return client_->isConnected(); }

  signals:
    // The connection to the broker came or went (front ends show it).
    void connectionChanged(bool connected);

  private:
    enum class Phase { Probing, Active, Refused };

    void setPhase(Phase phase);
    void onConnected();
    void activate();
    void publishAll();
    void publishStatus();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);

    Settings settings_;
    CommandPath* path_;
    std::unique_ptr<Client> client_;
    Link link_;
    StatePublisher states_;
    Diagnostics diagnostics_;
    Discovery discovery_;
    CommandTopics commands_;
    const QString probeTopic_;  // B/probe/NODE: the probe of who holds B
    Phase phase_ = Phase::Probing;
    QByteArray holder_;        // B/client as the broker holds it
    QByteArray holderStatus_;  // B/status as the broker holds it
};

}  // namespace mqtt
