#include "httpfront.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QHttpServerRouterRule>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QWebSocket>
#include <algorithm>
#include <array>
#include <memory>

#include "connectionguard.h"
#include "encoding.h"
#include "listener.h"
#include "logthrottle.h"

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

QByteArray headerOf(const QHttpServerRequest& request, const char* lowerName) {
    for (const auto& [name, value] : request.headers())
        if (name.compare(lowerName, Qt::CaseInsensitive) == 0) return value;
    return {};
}

bool hasToken(const QByteArray& list, const char* token) {
    const QList<QByteArray> tokens = list.split(',');
    return std::any_of(tokens.cbegin(), tokens.cend(), [token](const QByteArray& t) {
        return t.trimmed().compare(token, Qt::CaseInsensitive) == 0;
    });
}

// What Qt HTTP Server hands to its WebSocket server whenever a route takes
// it (and warns about, once per request, when none does).
bool isWebSocketUpgrade(const QHttpServerRequest& request) {
    return headerOf(request, "upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// A handshake the WebSocket server completes. It answers any other itself,
// without the safety headers, so those are answered here instead.
bool isFitHandshake(const QHttpServerRequest& request) {
    return request.method() == QHttpServerRequest::Method::Get &&
           hasToken(headerOf(request, "connection"), "upgrade") &&
           headerOf(request, "sec-websocket-version").trimmed() == "13" &&
           !headerOf(request, "sec-websocket-key").trimmed().isEmpty() &&
           !headerOf(request, "host").isEmpty();
}

// The WebSocket's own path, with a handshake the WebSocket server takes; the
// route must then answer nothing over HTTP.
class UpgradeRule : public QHttpServerRouterRule {
  public:
    using QHttpServerRouterRule::QHttpServerRouterRule;

  protected:
    bool matches(const QHttpServerRequest& request, QRegularExpressionMatch* match) const override {
        return isWebSocketUpgrade(request) && isFitHandshake(request) &&
               QHttpServerRouterRule::matches(request, match);
    }
};

// Every other request, any method and path. A WebSocket upgrade that no
// route takes goes to the missing handler, which answers it.
class NoUpgradeRule : public QHttpServerRouterRule {
  public:
    using QHttpServerRouterRule::QHttpServerRouterRule;

  protected:
    bool matches(const QHttpServerRequest& request, QRegularExpressionMatch* match) const override {
        return !isWebSocketUpgrade(request) && QHttpServerRouterRule::matches(request, match);
    }
};

const std::array<std::pair<const char*, const char*>, 3> kSafetyHeaders{{
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
}};

QByteArray tooLargeAnswer() {
    QByteArray a = "HTTP/1.1 413 Payload Too Large\r\n";
    for (const auto& [name, value] : kSafetyHeaders) a += QByteArray(name) + ": " + value + "\r\n";
    return a + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

// The page's listener, plain or TLS: every connection passes the guard, and
// the guard sees what each one reads and writes.
template <class Base>
class PageListener : public Base {
  public:
    template <class... Args>
    PageListener(ConnectionGuard& guard, QPointer<QTcpSocket>& reading, Args&&... args)
        : Base(std::forward<Args>(args)...), guard_(guard), reading_(reading) {}

    QTcpSocket* nextPendingConnection() override {
        QTcpSocket* socket = Base::nextPendingConnection();
        if (!socket) return nullptr;
        // Connected before the HTTP server's own reader, so they see each
        // arrival before the server takes it. A WebSocket upgrade takes the
        // socket away from the HTTP server, which ends these with the
        // socket's other connections.
        QObject::connect(socket, &QIODevice::bytesWritten, socket,
                         [this, socket](qint64) { guard_.answered(socket); });
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket] {
            reading_ = socket;
            // Qt HTTP Server 6.4 keeps a request's whole body in memory
            // (twice, while it is incomplete) with no limit of its own.
            if (!guard_.received(socket, socket->bytesAvailable())) return;
            socket->write(tooLargeAnswer());
            // Reads no more; the socket is gone (and the server's request
            // with it) once the answer is out.
            socket->disconnectFromHost();
        });
        // Bytes that came with the end of a TLS handshake were announced
        // before anyone listened.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(socket, &QIODevice::readyRead, Qt::QueuedConnection);
        return socket;
    }

  protected:
    bool admit(QTcpSocket* socket) override { return guard_.admit(socket); }

  private:
    ConnectionGuard& guard_;
    QPointer<QTcpSocket>& reading_;
};

// Qt HTTP Server warns once per WebSocket upgrade that no route takes; those
// are answered by the missing handler, so the warnings only flood the log.
QLoggingCategory::CategoryFilter previousFilter = nullptr;

void quietHttpServer(QLoggingCategory* category) {
    if (previousFilter) previousFilter(category);
    if (qstrcmp(category->categoryName(), "qt.httpserver") == 0)
        category->setEnabled(QtWarningMsg, false);
}

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

bool replyHas(const HttpReply& reply, const char* name, const char* token) {
    return std::any_of(
        reply.headers.cbegin(), reply.headers.cend(), [&](const QPair<QByteArray, QByteArray>& h) {
            return h.first.compare(name, Qt::CaseInsensitive) == 0 && h.second.contains(token);
        });
}

// Bodies smaller than this gain nothing from compression.
constexpr qsizetype kMinGzipBytes = 256;
// The compressed files kept, by their tag: the page's few files.
constexpr qsizetype kMaxGzipped = 64;

}  // namespace

void HttpFront::encode(const QHttpServerRequest& request, HttpReply& reply) const {
    if (request.method() != QHttpServerRequest::Method::Get || reply.status != 200 ||
        reply.body.isEmpty())
        return;
    // What may be kept gets a tag to revalidate it by; what must not be
    // kept (the session, the login) gets none.
    const bool kept = !replyHas(reply, "cache-control", "no-store");
    const bool compressible =
        isCompressible(reply.contentType) && reply.body.size() >= kMinGzipBytes;
    if (compressible) reply.addHeader("Vary", "Accept-Encoding");
    const bool packed = compressible && acceptsGzip(headerOf(request, "accept-encoding"));
    QByteArray tag;
    if (kept) {
        tag = entityTag(reply.body);
        if (tagMatches(headerOf(request, "if-none-match"), tag)) {
            reply.status = 304;
            reply.body.clear();
            reply.contentType.clear();
            reply.addHeader("ETag", packed ? gzipTag(tag) : tag);
            return;
        }
    }
    if (packed) {
        QByteArray body = kept ? gzipped_.value(tag) : QByteArray();
        if (body.isEmpty()) {
            body = gzip(reply.body);
            if (kept && !body.isEmpty()) {
                if (gzipped_.size() >= kMaxGzipped) gzipped_.clear();
                gzipped_.insert(tag, body);
            }
        }
        if (!body.isEmpty()) {
            reply.body = body;
            reply.addHeader("Content-Encoding", "gzip");
            if (kept) tag = gzipTag(tag);
        }
    }
    if (kept) reply.addHeader("ETag", tag);
}

HttpFront::HttpFront(std::vector<Route> routes, Handler fallback, QObject* parent)
    : QObject(parent), routes_(std::move(routes)), fallback_(std::move(fallback)) {
    static const bool quiet = [] {
        previousFilter = QLoggingCategory::installFilter(quietHttpServer);
        return true;
    }();
    Q_UNUSED(quiet);
    throttle_ =
        new platform::LogThrottle([this](const QString& line) { emit logLine(line); }, 1000, this);
}

HttpFront::~HttpFront() = default;

void HttpFront::close() {
    guard_ = nullptr;  // goes with the server
    server_.reset();
    tls_ = false;
    port_ = 0;
}

int HttpFront::connectionCount() const {
    return guard_ ? guard_->count() : 0;
}

HttpReply HttpFront::finish(const QHttpServerRequest& request, HttpReply reply) const {
    for (const auto& [name, value] : kSafetyHeaders) {
        const bool has = std::any_of(reply.headers.cbegin(), reply.headers.cend(),
                                     [name = name](const QPair<QByteArray, QByteArray>& h) {
                                         return h.first.compare(name, Qt::CaseInsensitive) == 0;
                                     });
        if (!has) reply.addHeader(name, value);
    }
    if (tls_) reply.addHeader("Strict-Transport-Security", "max-age=31536000");
    if (hasToken(headerOf(request, "connection"), "close") && reading_) {
        reply.addHeader("Connection", "close");
        // After the answer, which the server writes once this returns;
        // what is still unsent goes out first.
        QTcpSocket* socket = reading_;
        QMetaObject::invokeMethod(
            socket, [socket] { socket->disconnectFromHost(); }, Qt::QueuedConnection);
    }
    encode(request, reply);
    return reply;
}

HttpReply HttpFront::missing(const QHttpServerRequest& request) const {
    if (!isWebSocketUpgrade(request) || request.url().path() != QLatin1String("/ws") ||
        isFitHandshake(request))
        return fallback_(toRequest(request));
    // A WebSocket handshake the WebSocket server would refuse.
    HttpReply reply;
    if (headerOf(request, "sec-websocket-version").trimmed() != "13") {
        reply.status = 426;
        reply.addHeader("Sec-WebSocket-Version", "13");
    } else {
        reply.status = 400;
    }
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = "Not a WebSocket handshake this server takes\n";
    return reply;
}

bool HttpFront::listen(const QHostAddress& address, quint16 port,
                       const std::optional<QSslConfiguration>& tls, QString* why) {
    close();
    auto server = std::make_unique<QHttpServer>();
    const auto answer = [this](const Handler& handler, const QHttpServerRequest& request) {
        return toResponse(finish(request, handler(toRequest(request))));
    };
    for (const Route& route : routes_) {
        const auto method = route.method == "POST" ? QHttpServerRequest::Method::Post
                                                   : QHttpServerRequest::Method::Get;
        const Handler& handler = route.handler;
        server->route(route.path, method, [answer, &handler](const QHttpServerRequest& request) {
            return answer(handler, request);
        });
    }
    // The hand-off: the WebSocket server takes the connection from here.
    server->route<UpgradeRule>("/ws", [this](const QHttpServerRequest&, QHttpServerResponder&&) {
        if (guard_ && reading_) guard_->handedOver(reading_);
    });
    server->route<NoUpgradeRule>("/<arg>",
                                 [this, answer](const QUrl&, const QHttpServerRequest& request) {
                                     return answer(fallback_, request);
                                 });
    // What no route takes ("*", WebSocket upgrades of other paths or
    // versions) would get Qt's own bare 404.
    server->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            toResponse(finish(request, missing(request))).write(std::move(responder));
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
    auto* guard = new ConnectionGuard(
        {MaxConnections, MaxConnectionsPerAddress, RequestTimeoutMs, MaxRequestBytes},
        [this](const QString& kind, const QString& line) { throttle_->log(kind, line); }, raw);
    const Listener::Log log = [this](const QString& line) {
        throttle_->log(QStringLiteral("listener"), QStringLiteral("Web page: ") + line);
    };
    // A server of our own, so that a failure keeps its reason; with TLS it
    // hands over connections once their handshake is done.
    QTcpServer* tcp = nullptr;
    if (tls)
        tcp = new PageListener<TlsListener>(*guard, reading_, *tls, MaxHandshakes, RequestTimeoutMs,
                                            log, raw);
    else
        tcp = new PageListener<Listener>(*guard, reading_, log, raw);
    // Room for a burst of connections while the ones before are taken.
    tcp->setListenBacklogSize(MaxConnections);
    if (!tcp->listen(address, port)) {
        *why = tcp->errorString();
        return false;
    }
    raw->bind(tcp);
    port_ = tcp->serverPort();
    tls_ = tls.has_value();
    guard_ = guard;
    server_ = std::move(server);
    return true;
}

}  // namespace web
