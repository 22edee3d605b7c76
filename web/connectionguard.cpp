#include "connectionguard.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include "guessbudget.h"

namespace web {

// What the guard knows of one connection. A child of its socket, so it goes
// with the socket whoever deletes it (the HTTP server, the TLS listener, a
// WebSocket), and takes itself out of the guard then.
struct ConnectionGuard::Entry : QObject {
    Entry(ConnectionGuard* g, QTcpSocket* s) : QObject(s), guard(g), socket(s) {
        peer = s->peerAddress();
        timer.setSingleShot(true);
    }
    ~Entry() override {
        if (guard) guard->forget(this);
    }
    QPointer<ConnectionGuard> guard;  // none once the guard let it go
    QTcpSocket* socket;
    QHostAddress peer;
    QTimer timer;
    qint64 unanswered = 0;  // request bytes since the last answer
    bool answeredOnce = false;
    bool cutOff = false;  // beyond maxRequestBytes: closing
    bool handedOver = false;
};

ConnectionGuard::ConnectionGuard(Limits limits, Log log, QObject* parent)
    : QObject(parent), limits_(limits), log_(std::move(log)) {}

ConnectionGuard::~ConnectionGuard() {
    for (Entry* e : std::as_const(entries_)) {
        e->guard = nullptr;
        e->timer.stop();
    }
}

bool ConnectionGuard::admit(QTcpSocket* socket) {
    const QHostAddress peer = socket->peerAddress();
    const auto refuse = [&] {
        log_(QStringLiteral("crowded"),
             QStringLiteral("Web connection from %1 refused: too many connections")
                 .arg(peer.toString()));
        return false;
    };
    const auto fromPeer = std::count_if(entries_.cbegin(), entries_.cend(),
                                        [&](const Entry* e) { return e->peer == peer; });
    if (fromPeer >= limits_.perAddress) {
        Entry* v = victim(peer, true);
        if (!v) return refuse();
        evict(v);
    }
    if (entries_.size() >= limits_.total) {
        Entry* v = victim(peer, false);
        if (!v) return refuse();
        evict(v);
    }
    auto* e = new Entry(this, socket);
    entries_.append(e);
    bySocket_.insert(socket, e);
    connect(&e->timer, &QTimer::timeout, this, [this, e] { timedOut(e); });
    platform::startSecurityTimer(e->timer, limits_.requestTimeoutMs);
    return true;
}

bool ConnectionGuard::received(QTcpSocket* socket, qint64 bytes) {
    Entry* e = find(socket);
    if (!e || e->cutOff) return false;
    e->unanswered += bytes;
    e->cutOff = e->unanswered > limits_.maxRequestBytes;
    return e->cutOff;
}

void ConnectionGuard::answered(QTcpSocket* socket) {
    Entry* e = find(socket);
    if (!e || e->handedOver) return;
    if (!e->cutOff) e->unanswered = 0;
    e->answeredOnce = true;
    platform::startSecurityTimer(e->timer, limits_.requestTimeoutMs);
}

void ConnectionGuard::handedOver(QTcpSocket* socket) {
    if (Entry* e = find(socket)) {
        e->handedOver = true;
        e->timer.stop();
    }
}

ConnectionGuard::Entry* ConnectionGuard::victim(const QHostAddress& from,
                                                bool ownAddressOnly) const {
    QHash<QHostAddress, int> count;
    ++count[from];
    for (const Entry* e : entries_)
        if (!e->handedOver) ++count[e->peer];
    Entry* pick = nullptr;
    int most = 0;
    for (Entry* e : entries_) {  // oldest first: the first of the most wins
        if (e->handedOver || (ownAddressOnly && e->peer != from)) continue;
        if (const int n = count.value(e->peer); n > most) {
            most = n;
            pick = e;
        }
    }
    return pick;
}

void ConnectionGuard::evict(Entry* e) {
    log_(QStringLiteral("crowded"),
         QStringLiteral("Web connection from %1 closed: its place went to a newer connection")
             .arg(e->peer.toString()));
    drop(e);
}

void ConnectionGuard::drop(Entry* e) {
    QTcpSocket* socket = e->socket;
    forget(e);
    e->guard = nullptr;
    e->timer.stop();
    socket->abort();  // frees the descriptor now; the socket's owner deletes it
}

void ConnectionGuard::forget(Entry* e) {
    if (entries_.removeOne(e)) bySocket_.remove(e->socket);
}

void ConnectionGuard::timedOut(Entry* e) {
    if (e->handedOver) return;
    // An idle connection after an answer is closed without a word: browsers
    // keep them open on purpose. A silent or partial request is worth a line.
    if (!e->answeredOnce || e->unanswered > 0)
        log_(QStringLiteral("timeout"),
             QStringLiteral("Web connection from %1 closed: no complete request within %2 seconds")
                 .arg(e->peer.toString())
                 .arg(limits_.requestTimeoutMs / 1000));
    drop(e);
}

}  // namespace web
