#pragma once
// What the hub shows about the bridge and its modules besides their state,
// all retained:
//   B/version          the program's version ("1.4.0")
//   B/interface        the interface's link in words: "found", "not found",
//                      "lost", "not answering"
//   B/given_up         the number of commands given up in the last hour
//   B/ADDR/heard       motion and door sensors and remotes: when they were
//                      last heard (ISO 8601, UTC)
//   B/ADDR/load        two-way modules: ON (a load is connected), OFF (none),
//                      None (not known)
//   B/ADDR/available   two-way modules: offline while the module does not
//                      answer, online otherwise (also while never asked)

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>

#include "bridgelink.h"
#include "state/statetable.h"

class CommandPath;

namespace mqtt {

class Diagnostics : public QObject {
    Q_OBJECT
  public:
    Diagnostics(Link& link, const state::StateTable* table, CommandPath* path,
                QObject* parent = nullptr);

    static constexpr qint64 kWindowMs = 3600 * 1000;  // "the last hour"

    // The interface's link in words. Until it is set: "found" while the
    // command path says the interface answers, else "not found".
    void setLink(const QString& text);
    // Everything known: on each new connection and when the hub starts.
    void publishAll();
    // Commands given up within the last hour.
    int givenUpLastHour() const { return int(givenUp_.size()); }

  private:
    QString linkText() const;
    void onHeard(const state::HeardEvent& event);
    void onGivenUp();
    void expire();
    void publishLink();
    void publishGivenUp();
    void publishTwoWay(state::Address a);

    Link& link_;
    const state::StateTable* table_;
    CommandPath* path_;
    QString linkText_;
    std::deque<qint64> givenUp_;  // when each was given up (logical ms), oldest first
    QTimer expiry_;
    QHash<int, QString> heard_;      // by address index: when last heard
    QHash<int, QByteArray> twoWay_;  // by address index: load and availability sent last
};

}  // namespace mqtt
