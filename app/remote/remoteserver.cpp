#include "remoteserver.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "linereader.h"
#include "listener.h"
#include "logthrottle.h"
#include "timebase.h"

// A client lives in clients_ while it is connected. Every call into the server
// that works on a client (a signal of its socket, its timer, a loop over the
// clients) holds a strong reference for as long as it runs, so a client
// removed meanwhile (its connection reset inside a write, every client dropped
// in a nested event loop) is only marked gone, and freed when the last such
// call returns.
struct RemoteServer::Client {
    QPointer<QTcpSocket> socket;
    int id = 0;
    QString peer;
    LineReader reader{RemoteServer::MaxLine};
    bool authenticated = false;
    bool gone = false;           // removed from the server: nothing more is done with it
    QByteArray loginDigest;      // digest of the password it logged in with
    bool busy = false;           // a line of this client is being handled
    bool started = false;        // its first bytes have been looked at
    bool announced = false;      // "connected" was logged: it tried a password
    QPointer<QTimer> authTimer;  // a child of the socket, so it goes with it
};

using platform::secondsToWait;
using platform::startSecurityTimer;

void RemoteServer::setTimeBaseForTests(bool follow) {
    platform::setSecurityClockFollowsTimeBase(follow);
}

bool RemoteServer::followsTimeBase() {
    return platform::securityClockFollowsTimeBase();
}

RemoteServer::RemoteServer(Hooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), gate_(hooks_.guesses) {
    // Failed handshakes and refused logins come in floods (a port scanner,
    // a client without TLS, a guesser): at most one line a second per kind.
    throttle_ =
        new platform::LogThrottle([this](const QString& line) { log(line, 0); }, 1000, this);
}

RemoteServer::~RemoteServer() {
    close();
}

void RemoteServer::log(const QString& text, int idx) {
    if (hooks_.clientLog) hooks_.clientLog(text, idx);
}

bool RemoteServer::fail(const QString& why) {
    error_ = why;
    hooks_.eventLog(why, platform::LogLevel::Error);
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
        const std::optional<QSslConfiguration> conf = auth::tlsConfiguration(tls, &why);
        if (!conf) return fail(QStringLiteral("Remote control not started: ") + why);
        server_ = new TlsListener(
            *conf, MaxHandshakes, HandshakeTimeoutMs,
            [this](const QString& line) { throttle_->log(QStringLiteral("tls"), line); }, this);
        encrypted_ = true;
    } else {
        server_ = new Listener(this);
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
    if (!encrypted_ && !host.isLoopback()) {
        hooks_.eventLog(
            QStringLiteral("Warning: remote control listens on %1 without TLS: the password and "
                           "the commands cross the network in clear text")
                .arg(address),
            platform::LogLevel::Warning);
    }
    return true;
}

int RemoteServer::handshakeCount() const {
    const auto* tls = dynamic_cast<const TlsListener*>(server_);
    return tls ? tls->handshakes() : 0;
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
            refusal(peer, QStringLiteral("no connection password is set"));
            refuse(socket, "ERROR No connection password is set on this computer");
            continue;
        }
        const qint64 wait = gate_.waitMs(peer);
        if (wait > 0) {
            refusal(peer, QStringLiteral("wrong password tried too recently"));
            refuse(socket, QStringLiteral("ERROR Too many wrong passwords, try again in %1 s")
                               .arg(secondsToWait(wait))
                               .toLatin1());
            continue;
        }
        // Logins still waiting for their password hold at most MaxPending
        // slots, and never a slot a newcomer needs: the oldest makes room.
        // Authenticated clients keep theirs.
        std::shared_ptr<Client> oldestPending;
        int pending = 0;
        for (const std::shared_ptr<Client>& other : std::as_const(clients_)) {
            if (other->authenticated) continue;
            if (!oldestPending) oldestPending = other;
            ++pending;
        }
        if (oldestPending && (pending >= MaxPending || clients_.size() >= MaxClients)) {
            answerAndDrop(oldestPending.get(),
                          "ERROR No password yet, the slot went to a newer login",
                          QStringLiteral("no password yet, its slot went to a newer login"));
        }
        if (clients_.size() >= MaxClients) {
            refusal(peer, QStringLiteral("too many clients"));
            refuse(socket, "ERROR Too many clients");
            continue;
        }
        const auto c = std::make_shared<Client>();
        c->socket = socket;
        c->id = nextId_++;
        c->peer = peer;
        clients_.append(c);
        const std::weak_ptr<Client> weak = c;
        connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
            if (const auto held = weak.lock()) onReadyRead(held.get());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
            if (const auto held = weak.lock()) onDisconnected(held.get());
        });
        c->authTimer = new QTimer(socket);
        c->authTimer->setSingleShot(true);
        connect(c->authTimer, &QTimer::timeout, this, [this, weak] {
            const auto held = weak.lock();
            if (!held || held->gone) return;
            gate_.penalise(held->peer);  // waiting counts as a wrong guess
            answerAndDrop(held.get(), "ERROR No password within 10 seconds",
                          QStringLiteral("no password within 10 seconds"));
        });
        startSecurityTimer(*c->authTimer, AuthTimeoutMs);
        // "connected" is logged once the client tries a password: a
        // connection turned away before that writes one throttled line.
        emit clientCountChanged(clients_.size());
        // Bytes that came with the end of a TLS handshake were announced
        // before anyone listened.
        if (!c->gone && socket->bytesAvailable() > 0) {
            QTimer::singleShot(0, this, [this, weak] {
                if (const auto held = weak.lock()) onReadyRead(held.get());
            });
        }
    }
}

void RemoteServer::onReadyRead(Client* c) {
    if (c->gone || !c->socket || c->busy) return;
    c->busy = true;
    // A command may run a nested event loop (a message box, a detection's
    // wait). Bytes that arrive meanwhile are buffered without a second
    // readyRead, so read again until nothing is left: no line waits for the
    // client's next packet.
    while (c->socket && c->socket->bytesAvailable() > 0) {
        const QByteArray bytes = c->socket->readAll();
        if (!c->started && !bytes.isEmpty()) {
            c->started = true;
            // A TLS client on a listener without TLS: its ClientHello (a
            // handshake record, first byte 0x16) is no password.
            if (!encrypted_ && bytes.front() == '\x16') {
                drop(c, QStringLiteral("not a password: a TLS handshake on a listener without "
                                       "TLS"));
                return;
            }
        }
        if (!c->reader.feed(bytes)) {
            // An over-long line ends the client at once, with whatever else it sent.
            answerAndDrop(c,
                          QStringLiteral("ERROR Line longer than %1 bytes").arg(MaxLine).toLatin1(),
                          QStringLiteral("line longer than %1 bytes").arg(MaxLine));
            return;
        }
        const QList<QByteArray> lines = c->reader.takeLines();
        for (const QByteArray& line : lines) {
            // The client may disconnect, or every client be dropped, in a
            // nested event loop or a failed write of the line before.
            if (c->gone) return;
            handleLine(c, line);
        }
        if (c->gone) return;
    }
    c->busy = false;
}

void RemoteServer::handleLine(Client* c, const QByteArray& line) {
    if (!c->authenticated) {
        if (isHttpRequestLine(line)) {
            // A web browser or crawler: no guess, and no delay for its address.
            answerAndDrop(c, "ERROR This port takes remote-control commands, not HTTP",
                          QStringLiteral("not a password: an HTTP request"));
            return;
        }
        checkPassword(c, line);
        return;
    }
    if (stale(c)) {
        drop(c, QStringLiteral("the connection password changed"));
        return;
    }
    const QString text = QString::fromLatin1(line);
    log(QStringLiteral("Client %1: %2").arg(c->id).arg(text), c->id);
    if (text.startsWith(QLatin1Char('?'))) {
        const std::optional<QStringList> answer =
            hooks_.query ? hooks_.query(text) : std::optional<QStringList>();
        if (c->gone) return;
        if (!answer) {
            reply(c, "ERROR Unknown query");
            return;
        }
        for (const QString& l : *answer) {
            reply(c, l.toUtf8());
            if (c->gone) return;
        }
        if (answer->isEmpty() || !answer->constLast().startsWith(QLatin1String("ERROR")))
            reply(c, "OK");
        return;
    }
    const CommandResult result = hooks_.command ? hooks_.command(text) : CommandResult(false);
    // The interpreter may run nested event loops in which this client went.
    if (c->gone) return;
    if (result.done)
        reply(c, "OK");
    else if (result.reason.isEmpty())
        reply(c, "ERROR Unknown or malformed command");
    else
        reply(c, "ERROR " + result.reason.toUtf8());
}

void RemoteServer::reply(Client* c, const QByteArray& line) {
    if (c->gone || !c->socket || c->socket->state() != QAbstractSocket::ConnectedState) return;
    c->socket->write(line + "\r\n");
    // What the system takes leaves at once; what stays is what the client
    // has not read. A write that fails (the client reset the connection)
    // disconnects the socket inside flush(), and the client is gone.
    c->socket->flush();
    if (c->gone || !c->socket) return;
    if (c->socket->bytesToWrite() > MaxUnsent)
        drop(c, QStringLiteral("more than %1 bytes of replies unread").arg(MaxUnsent));
}

bool RemoteServer::stale(const Client* c) const {
    const QByteArray current = hooks_.password ? hooks_.password().toUtf8() : QByteArray();
    return current.isEmpty() || !auth::constantTimeEquals(digestOf(current), c->loginDigest);
}

void RemoteServer::endStaleSessions() {
    const QList<std::shared_ptr<Client>> all = clients_;  // held until the loop ends
    for (const std::shared_ptr<Client>& c : all) {
        if (!c->gone && c->authenticated && stale(c.get()))
            drop(c.get(), QStringLiteral("the connection password changed"));
    }
}

void RemoteServer::checkPassword(Client* c, const QByteArray& line) {
    const QByteArray expected = hooks_.password ? hooks_.password().toUtf8() : QByteArray();
    const auth::LoginGate::Result result = gate_.check(c->peer, line, expected);
    using Verdict = auth::LoginGate::Verdict;
    if (result.verdict == Verdict::Delayed) {
        answerAndDrop(c,
                      QStringLiteral("ERROR Too many wrong passwords, try again in %1 s")
                          .arg(platform::secondsToWait(result.waitMs))
                          .toLatin1(),
                      QStringLiteral("wrong password tried too recently"));
        return;
    }
    if (result.verdict == Verdict::NoBudget) {
        answerAndDrop(c,
                      QStringLiteral("ERROR Too many password attempts, try again in %1 s")
                          .arg(platform::secondsToWait(result.waitMs))
                          .toLatin1(),
                      QStringLiteral("too many password attempts"));
        return;
    }
    announce(c);
    ++comparisons_;
    if (result.verdict == Verdict::Admitted) {
        c->authenticated = true;
        c->loginDigest = digestOf(expected);
        if (c->authTimer) c->authTimer->stop();
        log(QStringLiteral("Client %1 authenticated").arg(c->id), c->id);
        if (c->socket) c->socket->write("OK\r\n");
        return;
    }
    answerAndDrop(c, "ERROR Wrong password", QStringLiteral("wrong password"));
}

void RemoteServer::answerAndDrop(Client* c, const QByteArray& line, const QString& why) {
    if (c->gone) return;
    if (c->socket) {
        c->socket->write(line + "\r\n");
        c->socket->flush();  // may find the connection reset: the client is then gone
    }
    drop(c, why);
}

void RemoteServer::forget(Client* c) {
    c->gone = true;
    clients_.removeIf([c](const std::shared_ptr<Client>& p) { return p.get() == c; });
    if (c->authTimer) c->authTimer->stop();
    if (c->socket) c->socket->disconnect(this);
}

void RemoteServer::announce(Client* c) {
    if (c->announced) return;
    c->announced = true;
    log(QStringLiteral("Client %1 connected from %2").arg(c->id).arg(c->peer), c->id);
}

void RemoteServer::refusal(const QString& peer, const QString& why) {
    throttle_->log(QStringLiteral("refused: ") + why,
                   QStringLiteral("Refused %1: %2").arg(peer, why));
}

bool RemoteServer::isHttpRequestLine(const QByteArray& line) {
    // METHOD target HTTP/version, as every HTTP/1 client starts.
    static const QRegularExpression request(
        QStringLiteral("^[A-Z]{3,10} [^ ]+ HTTP/[0-9](\\.[0-9])?$"));
    return request.match(QString::fromLatin1(line)).hasMatch();
}

void RemoteServer::drop(Client* c, const QString& why) {
    if (c->gone) return;
    // A login refused (a wrong password, silence, a line that is no
    // password) comes in floods: one line a second per reason. A session
    // that ends is logged as it happens.
    if (c->authenticated)
        log(QStringLiteral("Client %1 dropped: %2").arg(c->id).arg(why), c->id);
    else if (c->announced)
        throttle_->log(QStringLiteral("dropped: ") + why,
                       QStringLiteral("Client %1 dropped: %2").arg(c->id).arg(why));
    else
        refusal(c->peer, why);
    forget(c);
    if (c->socket) {
        c->socket->disconnectFromHost();
        c->socket->deleteLater();
    }
    emit clientCountChanged(clients_.size());
}

void RemoteServer::onDisconnected(Client* c) {
    if (c->gone) return;
    if (c->announced)
        log(QStringLiteral("Client %1 disconnected").arg(c->id), c->id);
    else
        throttle_->log(QStringLiteral("closed before a password"),
                       QStringLiteral("Connection from %1 closed before a password").arg(c->peer));
    forget(c);
    if (c->socket) c->socket->deleteLater();
    emit clientCountChanged(clients_.size());
}

void RemoteServer::dropAll() {
    if (clients_.isEmpty()) return;
    const QList<std::shared_ptr<Client>> all = clients_;  // held until the loop ends
    for (const std::shared_ptr<Client>& c : all) {
        forget(c.get());
        if (c->socket) {
            c->socket->abort();
            c->socket->deleteLater();
        }
    }
    emit clientCountChanged(0);
}
