#pragma once
// The bridge's state publishing: each listed lamp's and appliance's state
// as the state table changes (B/ADDR/state: a lamp's as one JSON message,
// {"state":"ON","brightness":40}, an appliance's ON / OFF), motion and door
// sensors as heard (a motion sensor's ON ends after OffDelay), a remote's
// buttons as events of their own (B/ADDR/event), every event heard on
// B/event, and the schedule's switch (B/schedule/state).
//
// One message per change the hub sees: while commands still wait for a
// module (a level reached by ON and then DIM, a scene, the page's slider),
// its state is held back and published once, at the state those commands
// lead to, when it is reached, when the rest of them failed, or after a
// while at the latest. A lamp that is off keeps the last level it had on,
// so the hub does not think it comes back at 0 or full brightness; after a
// restart, the level the run before left retained.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include "bridgelink.h"
#include "state/statetable.h"

class CommandPath;

namespace mqtt {

class StatePublisher : public QObject {
    Q_OBJECT
  public:
    StatePublisher(Link& link, state::StateTable* table, CommandPath* path,
                   QObject* parent = nullptr);

    // How long a module's state may be held back for the commands that
    // still wait for it (logical ms): the longest DIM sequence takes a few
    // seconds on the line.
    static constexpr qint64 kHoldMs = 15000;

    // Every state known: on each new connection and when the hub starts.
    void publishAll();
    void publishScheduleState();

    // The payload of B/event for one heard event.
    static QByteArray eventJson(const state::HeardEvent& event);
    // A lamp's state message; level -1: none known (left out).
    static QByteArray lampJson(bool on, int level);

    // One module's state as it is now, unless commands still wait for it;
    // also after a command that had nothing to send, so the hub drops the
    // value it assumed.
    void publishState(state::Address a);
    // A lamp's state the broker held at connecting (B/ADDR/state): its
    // level is the lamp's last level unless one is known since.
    void takeRetained(const QString& topic, const QByteArray& payload);

  private:
    void publishNow(state::Address a);
    void publishSensor(state::Address a, bool on);
    void onHeard(const state::HeardEvent& event);
    void startOffDelay(state::Address a);
    void releaseHolds();
    void recheckHolds();

    Link& link_;
    state::StateTable* table_;
    CommandPath* path_;
    QHash<int, qint64> holds_;  // by address index: held back until (logical ms)
    QTimer holdTimer_;
    QHash<int, int> lastLevel_;      // lamps: the last level they had on
    QHash<int, bool> sensors_;       // motion and door sensors: last state sent
    QHash<int, QTimer*> offTimers_;  // motion sensors: OffDelay running
};

}  // namespace mqtt
