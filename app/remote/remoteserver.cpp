#include "remoteserver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

#include "linereader.h"
#include "timebase.h"

struct RemoteServer::Client {
    QPointer<QTcpSocket> socket;
    int id = 0;
    QString peer;
    LineReader reader{RemoteServer::MaxLine};
    bool authenticated = false;
    QByteArray loginDigest;  // digest of the password it logged in with
    bool busy = false;       // a line of this client is being handled
    QTimer authTimer;
};

RemoteServer::RemoteServer(Hooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)) {}

RemoteServer::~RemoteServer() {
    close();
}

void RemoteServer::log(const QString& text, int idx) {
    if (hooks_.clientLog) hooks_.clientLog(text, idx);
}

bool RemoteServer::fail(const QString& why) {
    error_ = why;
    if (hooks_.eventLog) hooks_.eventLog(why);
    return false;
}

bool RemoteServer::listen(const QString& address, quint16 port, const Tls& tls) {
    close();
    error_.clear();
    encrypted_ = false;
    QHostAddress host;
    if (!host.setAddress(address)) {
        return fail(
            QStringLiteral("Remote control not started: \"%1\" is not an address").arg(address));
    }
    if (tls.enabled()) {
        // A certificate or key that cannot be used stops the listener: it
        // never falls back to clear text.
        QString why;
        const std::optional<QSslConfiguration> conf = tlsConfiguration(tls, &why);
        if (!conf) return fail(QStringLiteral("Remote control not started: ") + why);
        auto* ssl = new QSslServer(this);
        ssl->setSslConfiguration(*conf);
        ssl->setHandshakeTimeout(
            static_cast<int>(platform::TimeBase::global().realMs(AuthTimeoutMs)));
        server_ = ssl;
        encrypted_ = true;
    } else {
        server_ = new QTcpServer(this);
    }
    server_->setMaxPendingConnections(MaxClients + 4);
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, &RemoteServer::onNewConnection);
    if (!server_->listen(host, port)) {
        const QString why = QStringLiteral("Remote control cannot listen on %1 port %2: %3")
                                .arg(address)
                                .arg(port)
                                .arg(server_->errorString());
        delete server_;
        server_ = nullptr;
        encrypted_ = false;
        return fail(why);
    }
    if (!encrypted_ && !host.isLoopback() && hooks_.eventLog) {
        hooks_.eventLog(
            QStringLiteral("Warning: remote control listens on %1 without TLS: the password and "
                           "the commands cross the network in clear text")
                .arg(address));
    }
    return true;
}

std::optional<QSslConfiguration> RemoteServer::tlsConfiguration(const Tls& tls, QString* why) {
    if (!QSslSocket::supportsSsl()) {
        *why = QStringLiteral("TLS is not available on this computer");
        return std::nullopt;
    }
    if (tls.certificateFile.isEmpty() || tls.keyFile.isEmpty()) {
        *why = QStringLiteral("TLS needs both TLSCertificate and TLSKey");
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(tls.certificateFile, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *why = QStringLiteral("no PEM certificate in %1").arg(tls.certificateFile);
        return std::nullopt;
    }
    QFile f(tls.keyFile);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read the TLS key %1").arg(tls.keyFile);
        return std::nullopt;
    }
    const QByteArray pem = f.readAll();
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) break;
    }
    if (key.isNull()) {
        *why = QStringLiteral("no unencrypted PEM private key in %1").arg(tls.keyFile);
        return std::nullopt;
    }
    if (key.algorithm() != chain.first().publicKey().algorithm()) {
        *why = QStringLiteral("the TLS key %1 does not belong to the certificate %2")
                   .arg(tls.keyFile, tls.certificateFile);
        return std::nullopt;
    }
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients prove themselves by the password
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    return conf;
}

void RemoteServer::close() {
    dropAll();
    if (server_) {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
}

bool RemoteServer::isListening() const {
    return server_ && server_->isListening();
}

quint16 RemoteServer::port() const {
    return server_ ? server_->serverPort() : 0;
}

namespace {
QByteArray digestOf(const QByteArray& password) {
    return QCryptographicHash::hash(password, QCryptographicHash::Sha256);
}
}  // namespace

bool RemoteServer::constantTimeEquals(const QByteArray& a, const QByteArray& b) {
    const qsizetype n = std::max(a.size(), b.size());
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

bool RemoteServer::takeGuess() {
    // One token every GuessIntervalMs, at most GuessBurst saved up: never more
    // than 5 comparisons in a second nor 60 in a minute, and a burst that has
    // stopped leaves a token again within about a second.
    const qint64 now = platform::TimeBase::global().nowMs();
    const qint64 due = std::max(guessDueMs_, now);
    if (due - now > (GuessBurst - 1) * GuessIntervalMs) return false;
    guessDueMs_ = due + GuessIntervalMs;
    return true;
}

void RemoteServer::prunePenalties(qint64 now) {
    // Forget addresses whose delay has long run out.
    for (auto it = penalties_.begin(); it != penalties_.end();) {
        if (it->untilMs + MaxPenaltyMs * 10 < now) {
            it = penalties_.erase(it);
        } else {
            ++it;
        }
    }
}

void RemoteServer::addFailure(const QString& peer) {
    const qint64 now = platform::TimeBase::global().nowMs();
    if (!penalties_.contains(peer)) {
        prunePenalties(now);
        // Many addresses at once: the one whose delay ends first makes room.
        if (penalties_.size() >= MaxPenalties) {
            auto oldest = penalties_.begin();
            for (auto it = penalties_.begin(); it != penalties_.end(); ++it)
                if (it->untilMs < oldest->untilMs) oldest = it;
            penalties_.erase(oldest);
        }
    }
    Penalty& p = penalties_[peer];
    p.failures = std::min(p.failures + 1, 30);
    const qint64 delay = std::min<qint64>(MaxPenaltyMs, 1000LL << std::min(p.failures - 1, 16));
    p.untilMs = now + delay;
}

qint64 RemoteServer::penaltyLeftMs(const QHostAddress& address) {
    const qint64 now = platform::TimeBase::global().nowMs();
    prunePenalties(now);
    const auto it = penalties_.constFind(address.toString());
    if (it == penalties_.constEnd()) return 0;
    return std::max<qint64>(0, it->untilMs - now);
}

void RemoteServer::refuse(QTcpSocket* socket, const QByteArray& line) {
    socket->write(line + "\r\n");
    socket->flush();
    socket->disconnectFromHost();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
}

void RemoteServer::onNewConnection() {
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket* socket = server_->nextPendingConnection();
        const QString peer = socket->peerAddress().toString();
        if (!hooks_.password || hooks_.password().isEmpty()) {
            log(QStringLiteral("Refused %1: no connection password is set").arg(peer), 0);
            refuse(socket, "ERROR No connection password is set on this computer");
            continue;
        }
        const qint64 wait = penaltyLeftMs(socket->peerAddress());
        if (wait > 0) {
            log(QStringLiteral("Refused %1: wrong password tried too recently").arg(peer), 0);
            refuse(socket, QStringLiteral("ERROR Too many wrong passwords, try again in %1 s")
                               .arg((wait + 999) / 1000)
                               .toLatin1());
            continue;
        }
        // Logins still waiting for their password hold at most MaxPending
        // slots, and never a slot a newcomer needs: the oldest makes room.
        // Authenticated clients keep theirs.
        Client* oldestPending = nullptr;
        int pending = 0;
        for (Client* other : std::as_const(clients_)) {
            if (other->authenticated) continue;
            if (!oldestPending) oldestPending = other;
            ++pending;
        }
        if (oldestPending && (pending >= MaxPending || clients_.size() >= MaxClients)) {
            answerAndDrop(oldestPending, "ERROR No password yet, the slot went to a newer login",
                          QStringLiteral("no password yet, its slot went to a newer login"));
        }
        if (clients_.size() >= MaxClients) {
            log(QStringLiteral("Refused %1: too many clients").arg(peer), 0);
            refuse(socket, "ERROR Too many clients");
            continue;
        }
        auto* c = new Client;
        c->socket = socket;
        c->id = nextId_++;
        c->peer = peer;
        clients_.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { onDisconnected(c); });
        c->authTimer.setSingleShot(true);
        connect(&c->authTimer, &QTimer::timeout, this, [this, c] {
            addFailure(c->peer);  // waiting counts as a wrong guess
            answerAndDrop(c, "ERROR No password within 10 seconds",
                          QStringLiteral("no password within 10 seconds"));
        });
        platform::TimeBase::global().startTimer(c->authTimer, AuthTimeoutMs);
        log(QStringLiteral("Client %1 connected from %2").arg(c->id).arg(peer), c->id);
        emit clientCountChanged(clients_.size());
    }
}

void RemoteServer::onReadyRead(Client* c) {
    if (!clients_.contains(c) || !c->socket || c->busy) return;
    const int id = c->id;
    const auto gone = [&] { return !clients_.contains(c) || c->id != id; };
    c->busy = true;
    // A command may run a nested event loop (a message box, a detection's
    // wait). Bytes that arrive meanwhile are buffered without a second
    // readyRead, so read again until nothing is left: no line waits for the
    // client's next packet.
    while (c->socket && c->socket->bytesAvailable() > 0) {
        if (!c->reader.feed(c->socket->readAll())) {
            // An over-long line drops the client at once, with whatever else it sent.
            drop(c, QStringLiteral("line longer than %1 bytes").arg(MaxLine));
            return;
        }
        const QList<QByteArray> lines = c->reader.takeLines();
        for (const QByteArray& line : lines) {
            // The client may disconnect, or every client be dropped, in a
            // nested event loop of the line before.
            if (gone()) return;
            handleLine(c, line);
        }
        if (gone()) return;
    }
    c->busy = false;
}

void RemoteServer::handleLine(Client* c, const QByteArray& line) {
    if (!c->authenticated) {
        checkPassword(c, line);
        return;
    }
    if (stale(c)) {
        drop(c, QStringLiteral("the connection password changed"));
        return;
    }
    const QString text = QString::fromLatin1(line);
    log(QStringLiteral("Client %1: %2").arg(c->id).arg(text), c->id);
    const int id = c->id;
    if (text.startsWith(QLatin1Char('?'))) {
        const std::optional<QStringList> answer =
            hooks_.query ? hooks_.query(text) : std::optional<QStringList>();
        if (!clients_.contains(c) || c->id != id) return;
        if (!answer) {
            reply(c, "ERROR Unknown query");
            return;
        }
        for (const QString& l : *answer) {
            reply(c, l.toUtf8());
            if (!clients_.contains(c) || c->id != id) return;
        }
        if (answer->isEmpty() || !answer->constLast().startsWith(QLatin1String("ERROR")))
            reply(c, "OK");
        return;
    }
    const CommandResult result = hooks_.command ? hooks_.command(text) : CommandResult(false);
    // The interpreter may run nested event loops in which this client went.
    if (!clients_.contains(c) || c->id != id) return;
    if (result.done)
        reply(c, "OK");
    else if (result.reason.isEmpty())
        reply(c, "ERROR Unknown or malformed command");
    else
        reply(c, "ERROR " + result.reason.toUtf8());
}

void RemoteServer::reply(Client* c, const QByteArray& line) {
    if (!c->socket || c->socket->state() != QAbstractSocket::ConnectedState) return;
    c->socket->write(line + "\r\n");
    // What the system takes leaves at once; what stays is what the client
    // has not read.
    c->socket->flush();
    if (c->socket->bytesToWrite() > MaxUnsent)
        drop(c, QStringLiteral("more than %1 bytes of replies unread").arg(MaxUnsent));
}

bool RemoteServer::stale(const Client* c) const {
    const QByteArray current = hooks_.password ? hooks_.password().toUtf8() : QByteArray();
    return current.isEmpty() || !constantTimeEquals(digestOf(current), c->loginDigest);
}

void RemoteServer::endStaleSessions() {
    const QList<Client*> all = clients_;
    for (Client* c : all) {
        if (clients_.contains(c) && c->authenticated && stale(c))
            drop(c, QStringLiteral("the connection password changed"));
    }
}

void RemoteServer::checkPassword(Client* c, const QByteArray& line) {
    // A connection opened before its address was penalised gets no guess.
    if (const qint64 wait = penaltyLeftMs(c->socket->peerAddress()); wait > 0) {
        answerAndDrop(c,
                      QStringLiteral("ERROR Too many wrong passwords, try again in %1 s")
                          .arg((wait + 999) / 1000)
                          .toLatin1(),
                      QStringLiteral("wrong password tried too recently"));
        return;
    }
    if (!takeGuess()) {
        addFailure(c->peer);
        answerAndDrop(c, "ERROR Too many password attempts, try again in a few seconds",
                      QStringLiteral("too many password attempts"));
        return;
    }
    ++comparisons_;
    const QByteArray expected = hooks_.password ? hooks_.password().toUtf8() : QByteArray();
    if (!expected.isEmpty() && constantTimeEquals(line, expected)) {
        c->authenticated = true;
        c->loginDigest = digestOf(expected);
        c->authTimer.stop();
        penalties_.remove(c->peer);
        log(QStringLiteral("Client %1 authenticated").arg(c->id), c->id);
        c->socket->write("OK\r\n");
        return;
    }
    addFailure(c->peer);
    answerAndDrop(c, "ERROR Wrong password", QStringLiteral("wrong password"));
}

void RemoteServer::answerAndDrop(Client* c, const QByteArray& line, const QString& why) {
    if (c->socket) {
        c->socket->write(line + "\r\n");
        c->socket->flush();
    }
    drop(c, why);
}

void RemoteServer::drop(Client* c, const QString& why) {
    if (!clients_.contains(c)) return;
    log(QStringLiteral("Client %1 dropped: %2").arg(c->id).arg(why), c->id);
    clients_.removeOne(c);
    if (c->socket) {
        c->socket->disconnect(this);
        c->socket->disconnectFromHost();
        c->socket->deleteLater();
    }
    delete c;
    emit clientCountChanged(clients_.size());
}

void RemoteServer::onDisconnected(Client* c) {
    if (!clients_.contains(c)) return;
    log(QStringLiteral("Client %1 disconnected").arg(c->id), c->id);
    clients_.removeOne(c);
    if (c->socket) {
        c->socket->disconnect(this);
        c->socket->deleteLater();
    }
    delete c;
    emit clientCountChanged(clients_.size());
}

void RemoteServer::dropAll() {
    if (clients_.isEmpty()) return;
    const QList<Client*> all = clients_;
    clients_.clear();
    for (Client* c : all) {
        if (c->socket) {
            c->socket->disconnect(this);
            c->socket->abort();
            c->socket->deleteLater();
        }
        delete c;
    }
    emit clientCountChanged(0);
}
