#include "channel.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QSslSocket>
#include <QWebSocket>

#include "timebase.h"

namespace web {

Channel::Channel(QWebSocket* socket, QByteArray session, QObject* parent)
    : QObject(parent),
      socket_(socket),
      tls_(socket->findChild<QSslSocket*>()),
      session_(std::move(session)) {
    socket_->setParent(this);
    socket_->setMaxAllowedIncomingFrameSize(MaxBuffered);
    socket_->setMaxAllowedIncomingMessageSize(MaxBuffered);
    connect(socket_, &QWebSocket::textMessageReceived, this, &Channel::onText);
    connect(socket_, &QWebSocket::binaryMessageReceived, this, [this] {
        if (open_ && takeMessage())
            sendError(QJsonValue::Null, QStringLiteral("Binary messages are not taken"));
    });
    connect(socket_, &QWebSocket::disconnected, this, [this] {
        gone();
        deleteLater();
    });
    connect(socket_, &QWebSocket::pong, this, [this] {
        pongTimer_.stop();
        if (open_) emit alive();
    });
    pongTimer_.setSingleShot(true);
    connect(&pongTimer_, &QTimer::timeout, this, [this] {
        socket_->abort();
        gone();
    });
    connect(&pingTimer_, &QTimer::timeout, this, &Channel::ping);
    platform::TimeBase::global().startTimer(pingTimer_, PingIntervalMs);
}

Channel::~Channel() {
    socket_->disconnect(this);
}

void Channel::ping() {
    if (!open_) return;
    if (!pongTimer_.isActive()) platform::TimeBase::global().startTimer(pongTimer_, PongTimeoutMs);
    socket_->ping();
}

void Channel::gone() {
    if (!open_) return;
    open_ = false;
    pingTimer_.stop();
    pongTimer_.stop();
    // A peer that never finishes the closing handshake is cut off.
    auto* wait = new QTimer(this);
    wait->setSingleShot(true);
    connect(wait, &QTimer::timeout, this, [this] {
        socket_->abort();
        deleteLater();
    });
    platform::TimeBase::global().startTimer(*wait, CloseWaitMs);
    emit closed();
}

void Channel::send(const QJsonObject& message) {
    if (!open_) return;
    socket_->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    // Qt keeps whatever the peer does not take, without limit.
    if (queued() > MaxQueuedBytes)
        cut(QStringLiteral("Messages not read"),
            QStringLiteral("more than %1 bytes not read").arg(MaxQueuedBytes));
}

qint64 Channel::queued() const {
    qint64 n = socket_->bytesToWrite();
    // Under TLS the socket encrypts what it can at once and keeps the result
    // in a buffer of its own, which bytesToWrite() does not count.
    if (tls_) n += tls_->encryptedBytesToWrite();
    return n;
}

bool Channel::takeMessage() {
    const qint64 now = platform::TimeBase::global().nowMs();
    if (messagesInWindow_ == 0 || now - windowStartMs_ >= 1000) {
        windowStartMs_ = now;
        messagesInWindow_ = 0;
    }
    if (++messagesInWindow_ <= MaxMessagesPerSecond) return true;
    cut(QStringLiteral("Too many messages"),
        QStringLiteral("more than %1 messages a second").arg(MaxMessagesPerSecond));
    return false;
}

void Channel::cut(const QString& reason, const QString& why) {
    if (!open_) return;
    emit cutOff(why);
    socket_->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
    gone();
}

void Channel::sendError(const QJsonValue& id, const QString& error) {
    send({{QStringLiteral("type"), QStringLiteral("error")},
          {QStringLiteral("id"), id},
          {QStringLiteral("error"), error}});
}

void Channel::logOut() {
    send({{QStringLiteral("type"), QStringLiteral("loggedOut")}});
    if (open_) socket_->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("Logged out"));
    gone();
}

void Channel::refuse(const QString& why) {
    socket_->close(QWebSocketProtocol::CloseCodePolicyViolated, why);
    gone();
}

void Channel::onText(const QString& text) {
    if (!open_ || !takeMessage()) return;
    // UTF-8 takes at least a byte for each UTF-16 unit: the cheap test first.
    const QByteArray utf8 = text.size() > MaxMessage ? QByteArray() : text.toUtf8();
    if (text.size() > MaxMessage || utf8.size() > MaxMessage) {
        sendError(QJsonValue::Null, QStringLiteral("Message longer than %1 bytes").arg(MaxMessage));
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        sendError(QJsonValue::Null, QStringLiteral("Not a JSON object"));
        return;
    }
    const QJsonObject o = doc.object();
    if (!o.value(QStringLiteral("type")).isString()) {
        sendError(o.value(QStringLiteral("id")).isDouble() ? o.value(QStringLiteral("id"))
                                                           : QJsonValue(QJsonValue::Null),
                  QStringLiteral("A message needs a type"));
        return;
    }
    emit message(o);
}

}  // namespace web
