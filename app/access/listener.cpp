#include "listener.h"

#include <unistd.h>

#include <QHash>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>

#include "guessbudget.h"

Listener::Listener(Log sink, QObject* parent) : QTcpServer(parent), log_(std::move(sink)) {
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        // Qt has paused the listener; the connections still waiting stay in
        // the backlog until it takes them again.
        log(QStringLiteral("Cannot take a new connection: %1; trying again").arg(errorString()));
        QTimer::singleShot(AcceptPauseMs, this, [this] {
            if (isListening()) resumeAccepting();
        });
    });
}

bool Listener::admit(QTcpSocket*) {
    return true;
}

QTcpSocket* Listener::adopt(QTcpSocket* s, qintptr fd) {
    if (!s->setSocketDescriptor(fd)) {
        ::close(static_cast<int>(fd));
        delete s;
        return nullptr;
    }
    if (!admit(s)) {
        s->abort();
        delete s;
        return nullptr;
    }
    return s;
}

void Listener::incomingConnection(qintptr fd) {
    if (QTcpSocket* s = adopt(new QTcpSocket(this), fd)) addPendingConnection(s);
}

TlsListener::TlsListener(const QSslConfiguration& conf, int maxHandshakes, qint64 timeoutMs,
                         Log failed, QObject* parent)
    : Listener(std::move(failed), parent),
      conf_(conf),
      maxHandshakes_(maxHandshakes),
      timeoutMs_(timeoutMs) {}

void TlsListener::incomingConnection(qintptr fd) {
    auto* s = static_cast<QSslSocket*>(adopt(new QSslSocket(this), fd));
    if (!s) return;
    if (handshaking_.size() >= maxHandshakes_)
        abandon(crowdedOldest(s->peerAddress()),
                QStringLiteral("its place went to a newer connection"));
    handshaking_.append(s);
    s->setSslConfiguration(conf_);
    auto* timer = new QTimer(s);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, s] {
        abandon(s, QStringLiteral("no TLS handshake within %1 seconds").arg(timeoutMs_ / 1000));
    });
    connect(s, &QSslSocket::encrypted, this, [this, s, timer] {
        if (!handshaking_.removeOne(s)) return;
        s->disconnect(this);
        timer->stop();
        timer->deleteLater();
        addPendingConnection(s);
    });
    connect(s, &QSslSocket::errorOccurred, this, [this, s] { abandon(s, s->errorString()); });
    connect(s, &QSslSocket::disconnected, this,
            [this, s] { abandon(s, QStringLiteral("closed during the TLS handshake")); });
    platform::startSecurityTimer(*timer, timeoutMs_);
    s->startServerEncryption();
}

QSslSocket* TlsListener::crowdedOldest(const QHostAddress& from) const {
    QHash<QHostAddress, int> count;
    ++count[from];
    for (QSslSocket* h : handshaking_) ++count[h->peerAddress()];
    QSslSocket* pick = handshaking_.first();
    int most = 0;
    for (QSslSocket* h : handshaking_) {  // oldest first: the first of the most wins
        if (const int n = count.value(h->peerAddress()); n > most) {
            most = n;
            pick = h;
        }
    }
    return pick;
}

void TlsListener::abandon(QSslSocket* s, const QString& why) {
    if (!handshaking_.removeOne(s)) return;
    s->disconnect(this);
    log(QStringLiteral("TLS handshake with %1 failed: %2").arg(s->peerAddress().toString(), why));
    s->abort();
    s->deleteLater();
}
