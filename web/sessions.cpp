#include "sessions.h"

#include <QRandomGenerator>
#include <algorithm>

#include "access.h"
#include "timebase.h"

namespace web {

namespace {
QByteArray random128() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}
}  // namespace

Sessions::Sessions(QObject* parent)
    : Sessions(
          LifetimeMs, IdleMs, [] { return platform::TimeBase::global().nowMs(); }, parent) {}

Sessions::Sessions(qint64 lifetimeMs, qint64 idleMs, Clock clock, QObject* parent)
    : QObject(parent), lifetimeMs_(lifetimeMs), idleMs_(idleMs), clock_(std::move(clock)) {
    connect(&expiry_, &QTimer::timeout, this, &Sessions::expire);
}

bool Sessions::expired(const Session& s, qint64 now) const {
    return now - s.startedMs >= lifetimeMs_ || now - s.usedMs >= idleMs_;
}

void Sessions::expire() {
    const qint64 now = clock_();
    std::vector<QByteArray> over;
    for (const Session& s : sessions_)
        if (expired(s, now)) over.push_back(s.id);
    for (const QByteArray& id : over) end(id);
}

bool Sessions::sameText(const QByteArray& a, const QByteArray& b) {
    return auth::constantTimeEquals(a, b);
}

Sessions::Session Sessions::start() {
    if (sessions_.size() >= size_t(MaxSessions)) {
        const auto oldest =
            std::min_element(sessions_.begin(), sessions_.end(),
                             [](const Session& a, const Session& b) { return a.used < b.used; });
        end(QByteArray(oldest->id));
    }
    const qint64 now = clock_();
    Session s{random128(), random128(), ++uses_, now, now};
    sessions_.push_back(s);
    if (!expiry_.isActive()) platform::TimeBase::global().startTimer(expiry_, ExpiryCheckMs);
    return s;
}

const Sessions::Session* Sessions::find(const QByteArray& id) {
    if (id.size() != 32) return nullptr;
    for (Session& s : sessions_) {
        if (sameText(s.id, id)) {
            const qint64 now = clock_();
            if (expired(s, now)) {
                end(QByteArray(s.id));
                return nullptr;
            }
            s.used = ++uses_;
            s.usedMs = now;
            return &s;
        }
    }
    return nullptr;
}

const Sessions::Session* Sessions::fromCookieHeader(const QByteArray& header) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith(CookieName + '=')) return find(p.mid(CookieName.size() + 1));
    }
    return nullptr;
}

bool Sessions::end(const QByteArray& id) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const Session& s) { return s.id == id; });
    if (it == sessions_.end()) return false;
    sessions_.erase(it);
    if (sessions_.empty()) expiry_.stop();
    emit ended(id);
    return true;
}

void Sessions::endAll() {
    while (!sessions_.empty()) end(QByteArray(sessions_.back().id));
}

}  // namespace web
