#include "diagnostics.h"

#include <QDateTime>

#include "commandpath.h"
#include "programinfo.h"
#include "timebase.h"

namespace mqtt {

namespace {

bool heardKind(state::Kind k) {
    return k == state::Kind::Motion || k == state::Kind::Sensor || k == state::Kind::Remote;
}

}  // namespace

Diagnostics::Diagnostics(Link& link, const state::StateTable* table, CommandPath* path,
                         QObject* parent)
    : QObject(parent), link_(link), table_(table), path_(path) {
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &Diagnostics::expire);
    connect(table_, &state::StateTable::heard, this, &Diagnostics::onHeard);
    connect(table_, &state::StateTable::changed, this, &Diagnostics::publishTwoWay);
    connect(path_, &CommandPath::givenUp, this, &Diagnostics::onGivenUp);
    connect(path_, &CommandPath::interfaceReadyChanged, this, [this] {
        if (linkText_.isEmpty()) publishLink();
    });
}

void Diagnostics::setLink(const QString& text) {
    if (text == linkText_) return;
    linkText_ = text;
    publishLink();
}

QString Diagnostics::linkText() const {
    if (!linkText_.isEmpty()) return linkText_;
    return path_->interfaceReady() ? QStringLiteral("found") : QStringLiteral("not found");
}

void Diagnostics::publishAll() {
    if (!link_.live()) return;
    link_.publish(link_.topic(QStringLiteral("version")),
                  QStringLiteral("%1.%2.%3")
                      .arg(programinfo::kVersionMajor)
                      .arg(programinfo::kVersionMinor)
                      .arg(programinfo::kVersionPatch)
                      .toUtf8(),
                  true);
    publishLink();
    publishGivenUp();
    for (auto it = heard_.cbegin(); it != heard_.cend(); ++it)
        link_.publish(link_.topic(state::addressAt(it.key()).text() + QStringLiteral("/heard")),
                      it->toUtf8(), true);
    twoWay_.clear();
    for (const state::Module& m : table_->modules().modules()) publishTwoWay(m.address);
}

void Diagnostics::publishLink() {
    if (!link_.live()) return;
    link_.publish(link_.topic(QStringLiteral("interface")), linkText().toUtf8(), true);
}

void Diagnostics::publishGivenUp() {
    if (!link_.live()) return;
    link_.publish(link_.topic(QStringLiteral("given_up")), QByteArray::number(givenUpLastHour()),
                  true);
}

void Diagnostics::onGivenUp() {
    const qint64 now = platform::TimeBase::global().nowMs();
    givenUp_.push_back(now);
    if (!expiry_.isActive()) platform::TimeBase::global().startTimer(expiry_, kWindowMs);
    publishGivenUp();
}

// Those given up more than an hour ago leave the count.
void Diagnostics::expire() {
    const qint64 now = platform::TimeBase::global().nowMs();
    const size_t before = givenUp_.size();
    while (!givenUp_.empty() && givenUp_.front() + kWindowMs <= now) givenUp_.pop_front();
    if (!givenUp_.empty())
        platform::TimeBase::global().startTimer(expiry_, givenUp_.front() + kWindowMs - now);
    if (givenUp_.size() != before) publishGivenUp();
}

void Diagnostics::onHeard(const state::HeardEvent& e) {
    if (e.house < 1 || e.house > 16) return;
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    for (int u : e.units) {
        const state::Address a{e.house, u};
        const state::Module* m = table_->modules().find(a);
        if (!m || !heardKind(m->kind)) continue;
        heard_.insert(state::indexOf(a), now);
        if (link_.live())
            link_.publish(link_.topic(a.text() + QStringLiteral("/heard")), now.toUtf8(), true);
    }
}

// A two-way module's load and whether it answers, when either changed.
void Diagnostics::publishTwoWay(state::Address a) {
    const state::Module* m = table_->modules().find(a);
    if (!m || !m->twoWay || !link_.live()) return;
    const state::ModuleState& s = table_->state(a);
    const QByteArray load = s.load < 0 ? "None" : (s.load > 0 ? "ON" : "OFF");
    const QByteArray available = s.answer == state::Answer::NotAnswering ? kOffline : kOnline;
    const QByteArray sent = load + ' ' + available;
    const int index = state::indexOf(a);
    if (twoWay_.value(index) == sent) return;
    twoWay_.insert(index, sent);
    link_.publish(link_.topic(a.text() + QStringLiteral("/load")), load, true);
    link_.publish(link_.topic(a.text() + QStringLiteral("/available")), available, true);
}

}  // namespace mqtt
