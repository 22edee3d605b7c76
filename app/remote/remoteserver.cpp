#include "remoteserver.h"

#include <QCryptographicHash>
#include <QLibrary>
#include <QPointer>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>

#include "linereader.h"
#include "listener.h"
#include "logthrottle.h"
#include "regularfile.h"
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
    : QObject(parent), hooks_(std::move(hooks)) {
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
        const std::optional<QSslConfiguration> conf = tlsConfiguration(tls, &why);
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

// A certificate chain or a key is a few KiB; the bound keeps a wrong path
// (a large file, a device) from being read whole.
constexpr qint64 kMaxPemBytes = 1 << 20;

std::optional<QSslConfiguration> RemoteServer::tlsConfiguration(const Tls& tls, QString* why) {
    if (!QSslSocket::supportsSsl()) {
        *why = QStringLiteral("TLS is not available on this computer");
        return std::nullopt;
    }
    if (tls.certificateFile.isEmpty() || tls.keyFile.isEmpty()) {
        *why = QStringLiteral("TLS needs both TLSCertificate and TLSKey");
        return std::nullopt;
    }
    const platform::FileRead certificate =
        platform::readRegularFile(tls.certificateFile, kMaxPemBytes);
    if (certificate.status == platform::FileRead::Failed) {
        *why = QStringLiteral("cannot read the TLS certificate %1: %2")
                   .arg(tls.certificateFile, certificate.error);
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificate.data, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *why = QStringLiteral("no PEM certificate in %1").arg(tls.certificateFile);
        return std::nullopt;
    }
    const platform::FileRead keyFile = platform::readRegularFile(tls.keyFile, kMaxPemBytes);
    if (keyFile.status != platform::FileRead::Ok) {
        *why = QStringLiteral("cannot read the TLS key %1: %2")
                   .arg(tls.keyFile, keyFile.status == platform::FileRead::Missing
                                         ? platform::openErrorText(tls.keyFile, ENOENT)
                                         : keyFile.error);
        return std::nullopt;
    }
    const QByteArray& pem = keyFile.data;
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) break;
    }
    if (key.isNull()) {
        *why = QStringLiteral("no unencrypted PEM private key in %1").arg(tls.keyFile);
        return std::nullopt;
    }
    QString checkError;
    const std::optional<bool> match = keyMatches(chain.first(), key, &checkError);
    if (!match) {
        *why = QStringLiteral("cannot check that the TLS key %1 belongs to the certificate %2: %3")
                   .arg(tls.keyFile, tls.certificateFile, checkError);
        return std::nullopt;
    }
    if (!*match) {
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

namespace {

// The few OpenSSL functions that compare a certificate's public key with a
// private key. Qt's TLS backend has loaded the library already whenever TLS
// is available; it is resolved here rather than linked so that a program
// without TLS never maps it.
struct Crypto {
    using NewMemBuf = void* (*)(const void*, int);
    using FreeBio = int (*)(void*);
    using ReadKey = void* (*)(void*, void**, void*, void*);
    using FreeKey = void (*)(void*);
    using ReadX509 = void* (*)(void**, const unsigned char**, long);
    using FreeX509 = void (*)(void*);
    using CheckKey = int (*)(const void*, const void*);
    NewMemBuf newMemBuf = nullptr;
    FreeBio freeBio = nullptr;
    ReadKey readKey = nullptr;
    FreeKey freeKey = nullptr;
    ReadX509 readX509 = nullptr;
    FreeX509 freeX509 = nullptr;
    CheckKey checkKey = nullptr;
    QString error;
};

template <typename F>
void resolve(QLibrary& l, const char* name, F& f, QString& error) {
    f = reinterpret_cast<F>(l.resolve(name));
    if (!f && error.isEmpty()) error = l.fileName() + QStringLiteral(" has no ") + name;
}

const Crypto& crypto() {
    static const Crypto c = [] {
        Crypto r;
        static QLibrary l(QStringLiteral("crypto"), 3);  // never unloaded
        if (!l.load()) {
            r.error = l.errorString();
            return r;
        }
        resolve(l, "BIO_new_mem_buf", r.newMemBuf, r.error);
        resolve(l, "BIO_free", r.freeBio, r.error);
        resolve(l, "PEM_read_bio_PrivateKey", r.readKey, r.error);
        resolve(l, "EVP_PKEY_free", r.freeKey, r.error);
        resolve(l, "d2i_X509", r.readX509, r.error);
        resolve(l, "X509_free", r.freeX509, r.error);
        resolve(l, "X509_check_private_key", r.checkKey, r.error);
        return r;
    }();
    return c;
}

}  // namespace

std::optional<bool> RemoteServer::keyMatches(const QSslCertificate& certificate, const QSslKey& key,
                                             QString* why) {
    const Crypto& c = crypto();
    if (!c.error.isEmpty()) {
        *why = c.error;
        return std::nullopt;
    }
    const QByteArray der = certificate.toDer();
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    void* x509 = c.readX509(nullptr, &p, static_cast<long>(der.size()));
    const QByteArray pem = key.toPem();
    void* bio = c.newMemBuf(pem.constData(), static_cast<int>(pem.size()));
    void* pkey = bio ? c.readKey(bio, nullptr, nullptr, nullptr) : nullptr;
    std::optional<bool> result;
    if (!x509 || !pkey) {
        *why = QStringLiteral("the TLS library cannot read them");
    } else {
        // The certificate's public key against the public half of the key.
        result = c.checkKey(x509, pkey) == 1;
    }
    if (pkey) c.freeKey(pkey);
    if (bio) c.freeBio(bio);
    if (x509) c.freeX509(x509);
    return result;
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
        const qint64 wait = penaltyLeftMs(socket->peerAddress());
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
            addFailure(held->peer);  // waiting counts as a wrong guess
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
    return current.isEmpty() || !constantTimeEquals(digestOf(current), c->loginDigest);
}

void RemoteServer::endStaleSessions() {
    const QList<std::shared_ptr<Client>> all = clients_;  // held until the loop ends
    for (const std::shared_ptr<Client>& c : all) {
        if (!c->gone && c->authenticated && stale(c.get()))
            drop(c.get(), QStringLiteral("the connection password changed"));
    }
}

void RemoteServer::checkPassword(Client* c, const QByteArray& line) {
    // A connection opened before its address was penalised gets no guess.
    if (const qint64 wait = penaltyLeftMs(c->socket->peerAddress()); wait > 0) {
        answerAndDrop(c,
                      QStringLiteral("ERROR Too many wrong passwords, try again in %1 s")
                          .arg(secondsToWait(wait))
                          .toLatin1(),
                      QStringLiteral("wrong password tried too recently"));
        return;
    }
    // The budget is looked at before the comparison but spent only when the
    // password is wrong: a right one costs nothing, so logins in quick
    // succession keep working, while every wrong guess that is compared uses
    // a token. With the budget empty every line is refused without a
    // comparison, the right password too; that is what stops a guesser.
    if (!guesses().left()) {
        addFailure(c->peer);
        answerAndDrop(c,
                      QStringLiteral("ERROR Too many password attempts, try again in %1 s")
                          .arg(secondsToWait(guesses().waitMs()))
                          .toLatin1(),
                      QStringLiteral("too many password attempts"));
        return;
    }
    announce(c);
    ++comparisons_;
    const QByteArray expected = hooks_.password ? hooks_.password().toUtf8() : QByteArray();
    if (!expected.isEmpty() && constantTimeEquals(line, expected)) {
        c->authenticated = true;
        c->loginDigest = digestOf(expected);
        if (c->authTimer) c->authTimer->stop();
        penalties_.forget(c->peer);
        log(QStringLiteral("Client %1 authenticated").arg(c->id), c->id);
        if (c->socket) c->socket->write("OK\r\n");
        return;
    }
    guesses().spend();
    addFailure(c->peer);
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
