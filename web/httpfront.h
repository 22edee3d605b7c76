#pragma once
// The HTTP side of the web page: routing, TLS and the hand-off of WebSocket
// upgrades. This is the only file that uses Qt HTTP Server, whose interface
// is still a technical preview (Qt 6.4) and changes in later versions; the
// rest of the server sees plain requests and replies.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QHttpServer;
class QWebSocket;

namespace web {

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

  signals:
    // A WebSocket upgrade was accepted; the receiver owns the socket.
    void webSocket(QWebSocket* socket);

  private:
    std::vector<Route> routes_;
    Handler fallback_;
    std::unique_ptr<QHttpServer> server_;
    quint16 port_ = 0;
};

}  // namespace web
