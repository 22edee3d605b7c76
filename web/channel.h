#pragma once
// One page's WebSocket: JSON text frames in and out. A message over
// MaxMessage bytes, one that is not a JSON object with a "type", or a binary
// frame is answered with an "error" message and changes nothing; the
// connection stays. The socket is pinged every PingIntervalMs (time base)
// and dropped when no pong came within PongTimeoutMs.
//
// A page cannot grow the server: more than MaxMessagesPerSecond messages in
// a second, or more than MaxQueuedBytes sent to it and not yet taken by the
// peer, and the socket is closed with 1008 and the reason (cutOff() says
// why); what is still to be sent to it is then dropped.

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

class QSslSocket;
class QWebSocket;

namespace web {

class Channel : public QObject {
    Q_OBJECT
  public:
    static constexpr qint64 MaxMessage = 64 * 1024;
    // Beyond this Qt itself closes the socket (1009): nothing larger is
    // buffered. Between the two a message is refused and the socket stays.
    static constexpr qint64 MaxBuffered = 1024 * 1024;
    static constexpr qint64 PingIntervalMs = 30000;
    static constexpr qint64 PongTimeoutMs = 10000;
    static constexpr qint64 CloseWaitMs = 5000;
    // Far more than a page sends: a click is one message.
    static constexpr int MaxMessagesPerSecond = 50;
    // About 25 "hello" messages of a full house, thousands of updates: only a
    // peer that stopped reading gets there.
    static constexpr qint64 MaxQueuedBytes = 1024 * 1024;

    // Takes the socket over; session: the cookie it was opened with.
    Channel(QWebSocket* socket, QByteArray session, QObject* parent = nullptr);
    ~Channel() override;

    const QByteArray& session() const { return session_; }
    void send(const QJsonObject& message);
    // Answers a message that changes nothing.
    void sendError(const QJsonValue& id, const QString& error);
    // Sends {"type":"loggedOut"} and closes.
    void logOut();
    // Closes with 1008 before anything was said; why: the reason the page
    // may show.
    void refuse(const QString& why = QStringLiteral("Not allowed"));
    bool isOpen() const { return open_; }

  signals:
    // A JSON object with a string "type".
    void message(const QJsonObject& message);
    // The socket is gone (closed by either side or dropped); emitted once.
    // The channel then deletes itself once the socket has disconnected (a
    // closing handshake takes at most CloseWaitMs).
    void closed();
    // The socket is being closed for breaking a bound; why: for the log
    // ("more than 50 messages a second"). Emitted once, before closed().
    void cutOff(const QString& why);
    // The peer answered a ping: the page is still open.
    void alive();

  private:
    void onText(const QString& text);
    // Counts a message from the peer; false when it broke the rate (the
    // socket is then being closed).
    bool takeMessage();
    // Bytes sent to the peer that it has not taken yet (under TLS also those
    // already encrypted).
    qint64 queued() const;
    void cut(const QString& reason, const QString& why);
    void ping();
    void gone();

    QWebSocket* socket_;
    QSslSocket* tls_;  // the socket under socket_ when it is encrypted
    QByteArray session_;
    QTimer pingTimer_;
    QTimer pongTimer_;
    qint64 windowStartMs_ = 0;  // time base: the second being counted
    int messagesInWindow_ = 0;
    bool open_ = true;
};

}  // namespace web
