#include "httpfront.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QHttpServerRouterRule>
#include <QSslServer>
#include <QTcpServer>
#include <QWebSocket>
#include <memory>

namespace web {

namespace {

HttpRequest toRequest(const QHttpServerRequest& r) {
    HttpRequest out;
    out.method = r.method() == QHttpServerRequest::Method::Post  ? QByteArray("POST")
                 : r.method() == QHttpServerRequest::Method::Get ? QByteArray("GET")
                                                                 : QByteArray("OTHER");
    out.path = r.url().path();
    for (const auto& [name, value] : r.headers()) out.headers.insert(name.toLower(), value);
    out.body = r.body();
    out.peer = r.remoteAddress();
    return out;
}

QHttpServerResponse toResponse(const HttpReply& reply) {
    const auto status = static_cast<QHttpServerResponse::StatusCode>(reply.status);
    QHttpServerResponse response = reply.contentType.isEmpty()
                                       ? QHttpServerResponse(status)
                                       : QHttpServerResponse(reply.contentType, reply.body, status);
    for (const auto& [name, value] : reply.headers) response.addHeader(name, value);
    return response;
}

bool isUpgrade(const QHttpServerRequest& request) {
    return !request.value("upgrade").isEmpty() || !request.value("Upgrade").isEmpty();
}

// Qt HTTP Server 6.4 hands an upgrade to the WebSocket server only when a
// route took the request; the route must then answer nothing over HTTP.
class UpgradeRule : public QHttpServerRouterRule {
  public:
    using QHttpServerRouterRule::QHttpServerRouterRule;

  protected:
    bool matches(const QHttpServerRequest& request, QRegularExpressionMatch* match) const override {
        return isUpgrade(request) && QHttpServerRouterRule::matches(request, match);
    }
};

// Every other request, any method and path.
class NoUpgradeRule : public QHttpServerRouterRule {
  public:
    using QHttpServerRouterRule::QHttpServerRouterRule;

  protected:
    bool matches(const QHttpServerRequest& request, QRegularExpressionMatch* match) const override {
        return !isUpgrade(request) && QHttpServerRouterRule::matches(request, match);
    }
};

// Qt HTTP Server 6.4 keeps a request's whole body in memory (twice, while
// it is incomplete) with no limit of its own. Each connection may deliver
// at most MaxRequestBytes before the server has answered; beyond that it is
// answered 413 and closed. A WebSocket upgrade takes the socket away from
// the HTTP server, which ends this watch with the socket's other connections.
template <class Base>
class LimitedServer : public Base {
  public:
    using Base::Base;

    QTcpSocket* nextPendingConnection() override {
        QTcpSocket* socket = Base::nextPendingConnection();
        if (!socket) return nullptr;
        // Connected before the HTTP server's own reader, so it sees each
        // arrival before the server takes it.
        auto unanswered = std::make_shared<qint64>(0);
        QObject::connect(socket, &QIODevice::bytesWritten, socket, [unanswered](qint64) {
            if (*unanswered > 0) *unanswered = 0;
        });
        QObject::connect(socket, &QIODevice::readyRead, socket, [socket, unanswered] {
            if (*unanswered < 0) return;  // answered 413, closing
            *unanswered += socket->bytesAvailable();
            if (*unanswered <= HttpFront::MaxRequestBytes) return;
            *unanswered = -1;
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\n"
                "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
                "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
                "Content-Length: 0\r\nConnection: close\r\n\r\n");
            // Reads no more; the socket is gone (and the server's request
            // with it) once the answer is out.
            socket->disconnectFromHost();
        });
        return socket;
    }
};

// The connection under an upgraded WebSocket stays a child of the listener,
// out of the socket's reach; as the WebSocket's child its owner can see what
// is still queued on it (under TLS, in the encrypted socket's own buffer).
void adoptConnection(QHttpServer& server, QWebSocket& socket) {
    for (QTcpSocket* c : server.findChildren<QTcpSocket*>()) {
        if (c->peerPort() == socket.peerPort() && c->peerAddress() == socket.peerAddress() &&
            c->localPort() == socket.localPort()) {
            c->setParent(&socket);
            return;
        }
    }
}

}  // namespace

HttpFront::HttpFront(std::vector<Route> routes, Handler fallback, QObject* parent)
    : QObject(parent), routes_(std::move(routes)), fallback_(std::move(fallback)) {}

HttpFront::~HttpFront() = default;

void HttpFront::close() {
    server_.reset();
    port_ = 0;
}

bool HttpFront::listen(const QHostAddress& address, quint16 port,
                       const std::optional<QSslConfiguration>& tls, QString* why) {
    close();
    auto server = std::make_unique<QHttpServer>();
    for (const Route& route : routes_) {
        const auto method = route.method == "POST" ? QHttpServerRequest::Method::Post
                                                   : QHttpServerRequest::Method::Get;
        const Handler& handler = route.handler;
        server->route(route.path, method, [&handler](const QHttpServerRequest& request) {
            return toResponse(handler(toRequest(request)));
        });
    }
    server->route<UpgradeRule>(
        "/ws", [](const QHttpServerRequest&, QHttpServerResponder&&) { /* handed off */ });
    server->route<NoUpgradeRule>("/<arg>", [this](const QUrl&, const QHttpServerRequest& request) {
        return toResponse(fallback_(toRequest(request)));
    });
    // The hand-off: an upgrade becomes a QWebSocket only while this signal
    // has a receiver.
    QHttpServer* raw = server.get();
    connect(raw, &QHttpServer::newWebSocketConnection, this, [this, raw] {
        while (raw->hasPendingWebSocketConnections())
            if (std::unique_ptr<QWebSocket> s = raw->nextPendingWebSocketConnection()) {
                adoptConnection(*raw, *s);
                emit webSocket(s.release());
            }
    });
    // A server of our own, so that a failure keeps its reason; with TLS it
    // hands over connections once their handshake is done.
    QTcpServer* tcp = nullptr;
    if (tls) {
        auto* ssl = new LimitedServer<QSslServer>(raw);
        ssl->setSslConfiguration(*tls);
        tcp = ssl;
    } else {
        tcp = new LimitedServer<QTcpServer>(raw);
    }
    if (!tcp->listen(address, port)) {
        *why = tcp->errorString();
        return false;
    }
    raw->bind(tcp);
    port_ = tcp->serverPort();
    server_ = std::move(server);
    return true;
}

}  // namespace web
