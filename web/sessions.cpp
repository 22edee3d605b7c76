#include "sessions.h"

#include <QRandomGenerator>
#include <algorithm>

#include "remoteserver.h"

namespace web {

namespace {
QByteArray random128() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}
}  // namespace

bool Sessions::sameText(const QByteArray& a, const QByteArray& b) {
    return RemoteServer::constantTimeEquals(a, b);
}

Sessions::Session Sessions::start() {
    if (sessions_.size() >= size_t(MaxSessions)) {
        const auto oldest =
            std::min_element(sessions_.begin(), sessions_.end(),
                             [](const Session& a, const Session& b) { return a.used < b.used; });
        end(QByteArray(oldest->id));
    }
    Session s{random128(), random128(), ++uses_};
    sessions_.push_back(s);
    return s;
}

const Sessions::Session* Sessions::find(const QByteArray& id) {
    if (id.size() != 32) return nullptr;
    for (Session& s : sessions_) {
        if (sameText(s.id, id)) {
            s.used = ++uses_;
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
    emit ended(id);
    return true;
}

void Sessions::endAll() {
    while (!sessions_.empty()) end(QByteArray(sessions_.back().id));
}

}  // namespace web
