#pragma once
// The web port's connections, bounded: the page's listener asks the guard
// before it keeps a new connection and tells it what each one does.
//
// - At most `total` connections at once and `perAddress` from one address
//   (TLS handshakes in progress and WebSockets included: each holds a
//   descriptor). A newcomer beyond either bound closes the oldest connection
//   that is not a WebSocket, of its own address when that address is full,
//   otherwise of the address that holds the most (the newcomer counted), so a
//   flood only pushes out its own; with only WebSockets to close it is
//   refused.
// - A connection must bring a complete request within `requestTimeoutMs` of
//   being accepted or of the last byte of its previous answer leaving (an idle
//   keep-alive connection as well as a partial or silent one), or it is closed.
// - A connection that delivers more than `maxRequestBytes` before it is
//   answered is told so once (the caller answers and closes it).
// - Once handed over to the WebSocket server it has no time limit and is
//   never closed to make room; the WebSocket's own limits apply.
// Closing for the bounds and partial requests cut off are logged under
// kinds ("crowded", "timeout"); the receiver throttles them.

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <functional>

class QTcpSocket;

namespace web {

class ConnectionGuard : public QObject {
  public:
    struct Limits {
        int total = 0;
        int perAddress = 0;
        qint64 requestTimeoutMs = 0;
        qint64 maxRequestBytes = 0;
    };
    using Log = std::function<void(const QString& kind, const QString& line)>;

    ConnectionGuard(Limits limits, Log log, QObject* parent = nullptr);
    ~ConnectionGuard() override;

    // A new connection: whether it may stay (false: the caller closes it).
    bool admit(QTcpSocket* socket);
    // Bytes of a request arrived; true the one time they take the connection
    // beyond maxRequestBytes (what arrives after that is not counted).
    bool received(QTcpSocket* socket, qint64 bytes);
    // Bytes of an answer left: the time limit starts again.
    void answered(QTcpSocket* socket);
    // The connection became a WebSocket.
    void handedOver(QTcpSocket* socket);

    int count() const { return static_cast<int>(entries_.size()); }

  private:
    struct Entry;
    Entry* find(QTcpSocket* socket) const { return bySocket_.value(socket); }
    Entry* victim(const QHostAddress& from, bool ownAddressOnly) const;
    void evict(Entry* e);  // logged
    void drop(Entry* e);
    void forget(Entry* e);
    void timedOut(Entry* e);

    Limits limits_;
    Log log_;
    QList<Entry*> entries_;  // oldest first
    QHash<QTcpSocket*, Entry*> bySocket_;
};

}  // namespace web
