#pragma once
// The HTTP side of the web page: routing, TLS and the hand-off of WebSocket
// upgrades. This is the only file that uses Qt HTTP Server, whose interface
// is still a technical preview (Qt 6.4) and changes in later versions; the
// rest of the server sees plain requests and replies.
//
// Connections are bounded here (see ConnectionGuard): at most MaxConnections
// at once and MaxConnectionsPerAddress from one address, a complete request
// within RequestTimeoutMs, at most MaxHandshakes TLS handshakes in progress,
// each within the same time. A request that asks for it ("Connection:
// close") is closed after its answer. Every reply carries the safety headers
// (also those Qt would make itself: requests no route takes are answered by
// the fallback, WebSocket handshakes the WebSocket server would refuse
// here), and Strict-Transport-Security under TLS. Connections closed for
// these bounds and failed handshakes are logged, one line a second per kind.
//
// A GET answered 200 that may be kept (no "Cache-Control: no-store") carries
// an ETag of its content, and a request that names that tag in
// If-None-Match gets 304 without the body. Text of 256 bytes or more goes
// out gzip-compressed to a client that takes gzip.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QHttpServer;
class QHttpServerRequest;
class QTcpSocket;
class QWebSocket;
namespace platform {
class LogThrottle;
}

namespace web {

class ConnectionGuard;

struct HttpRequest {
    QByteArray method;  // "GET", "POST"
    QString path;
    QHash<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
    QHostAddress peer;

    QByteArray header(const QByteArray& lowerName) const { return headers.value(lowerName); }
};

struct HttpReply {
    int status = 200;
    QByteArray contentType;  // none for a reply without a body
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    void addHeader(const QByteArray& name, const QByteArray& value) {
        headers.append(qMakePair(name, value));
    }
};

class HttpFront : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    // What a connection may send before it has been answered: far more than
    // any request of the page (a login is a few hundred bytes).
    static constexpr qint64 MaxRequestBytes = 256 * 1024;
    // Each connection holds a descriptor, and the service has 1,024 under
    // its unit: these leave room for everything else it has open.
    static constexpr int MaxConnections = 512;
    // A browser opens six at once, and up to 16 pages of one session keep
    // a WebSocket each; a few browsers behind one address fit.
    static constexpr int MaxConnectionsPerAddress = 64;
    static constexpr int MaxHandshakes = 64;
    static constexpr qint64 RequestTimeoutMs = 10000;
    struct Route {
        QByteArray method;  // "GET" or "POST"
        QString path;       // exact
        Handler handler;
    };

    // Requests that match no route go to fallback.
    HttpFront(std::vector<Route> routes, Handler fallback, QObject* parent = nullptr);
    ~HttpFront() override;

    // Listens anew (what listened before is closed). False with why on failure.
    bool listen(const QHostAddress& address, quint16 port,
                const std::optional<QSslConfiguration>& tls, QString* why);
    void close();
    quint16 port() const { return port_; }
    // Connections open now (TLS handshakes and WebSockets included).
    int connectionCount() const;

  signals:
    // A WebSocket upgrade was accepted; the receiver owns the socket.
    void webSocket(QWebSocket* socket);
    // A line for the client log (already throttled).
    void logLine(const QString& line);

  private:
    // reply with the headers every reply carries; closes the connection
    // after it when the request asks.
    HttpReply finish(const QHttpServerRequest& request, HttpReply reply) const;
    // The reply's body compressed and tagged for this request (see above).
    void encode(const QHttpServerRequest& request, HttpReply& reply) const;
    // The answer to a request no route takes.
    HttpReply missing(const QHttpServerRequest& request) const;

    std::vector<Route> routes_;
    Handler fallback_;
    std::unique_ptr<QHttpServer> server_;
    ConnectionGuard* guard_ = nullptr;  // a child of server_
    platform::LogThrottle* throttle_ = nullptr;
    // The connection whose bytes the HTTP server is reading: it answers
    // requests while it reads, so the route that answers is this one's.
    QPointer<QTcpSocket> reading_;
    // Compressed bodies by their tag, so a file is compressed once.
    mutable QHash<QByteArray, QByteArray> gzipped_;
    bool tls_ = false;
    quint16 port_ = 0;
};

}  // namespace web
