#pragma once
// The bridge's state publishing: each listed lamp's and appliance's state
// (B/ADDR/state, and B/ADDR/brightness for lamps) as the state table changes,
// motion and door sensors as heard (a motion sensor's ON ends after OffDelay),
// a remote's buttons as events of their own (B/ADDR/event), every event heard
// on B/event, and the schedule's switch (B/schedule/state).

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include "bridgelink.h"
#include "state/statetable.h"

namespace mqtt {

class StatePublisher : public QObject {
    Q_OBJECT
  public:
    StatePublisher(Link& link, state::StateTable* table, QObject* parent = nullptr);

    // Every state known: on each new connection and when the hub starts.
    void publishAll();
    void publishScheduleState();
    // A lamp asked to go to level, in the state it had before: when it was
    // off it goes to full first and then dims, so its state is held back
    // until it reaches the level (or the deadline passes) and the hub does
    // not show full brightness in between.
    void expectLevel(state::Address a, int level, const state::ModuleState& before);
    // A switch command ends any such wait.
    void forget(state::Address a) { holds_.remove(state::indexOf(a)); }

    // The payload of B/event for one heard event.
    static QByteArray eventJson(const state::HeardEvent& event);

    // One module's state as it is now (also after a command that had
    // nothing to send, so the hub drops the value it assumed).
    void publishState(state::Address a);

  private:
    void publishSensor(state::Address a, bool on);
    void onHeard(const state::HeardEvent& event);
    void startOffDelay(state::Address a);
    void releaseHolds();

    Link& link_;
    state::StateTable* table_;
    struct Hold {
        int level;
        qint64 untilMs;
    };
    QHash<int, Hold> holds_;  // by address index
    QTimer holdTimer_;
    QHash<int, bool> sensors_;       // motion and door sensors: last state sent
    QHash<int, QTimer*> offTimers_;  // motion sensors: OffDelay running
};

}  // namespace mqtt
