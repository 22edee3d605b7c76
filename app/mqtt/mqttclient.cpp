#include "mqttclient.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mqtt_protocol.h>

#include "mosquittolib.h"
#include "timebase.h"

namespace mqtt {

namespace {

constexpr qint64 kFirstRetryMs = 1000;
constexpr qint64 kLastRetryMs = 60000;
// A broker that accepts the socket but never answers is given up after this
// long (real time: it covers a TLS handshake on a slow link).
constexpr int kConnectTimeoutMs = 15000;
// libmosquitto needs its periodic call only for the keep-alive (a ping when
// nothing else went out, and the check that the broker answered it), so an
// idle bridge wakes the program at most every 5 s. A short keep-alive gets a
// quarter of it, so a late ping stays well inside the broker's 1.5 times.
constexpr int kMiscIntervalMs = 5000;
int miscIntervalMs(int keepAliveSeconds) {
    return std::clamp(keepAliveSeconds * 250, 1000, kMiscIntervalMs);
}
// A connection that ends sooner than this after the broker accepted it
// counts as one more failure in a row: a broker that drops every client at
// once is then tried ever more slowly instead of every second (two such in a
// row are taken for a session taken over, below). Logical time.
constexpr qint64 kStableConnectionMs = 10000;
// After connections dropped right after acceptance (most likely, not surely,
// a session taken over): one more try this much later, doubling each time up
// to kLongestTakeoverRetryMs, so that a broker that merely misbehaved for a
// while is used again, while two instances with one client id meet ever more
// rarely instead of in a loop. Logical time.
constexpr qint64 kUncertainTakeoverRetryMs = 30 * 60 * 1000;
constexpr qint64 kLongestTakeoverRetryMs = 8 * 60 * 60 * 1000;

// Called only once the library is loaded (a session exists).
const MosquittoLib& M() {
    return *mosquittoLib();
}

// The library's texts end with a full stop; the log lines carry their own.
QString errorText(int rc, int savedErrno) {
    QString t = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(savedErrno))
                                     : QString::fromUtf8(M().strerror(rc));
    while (t.endsWith(u'.')) t.chop(1);
    return t;
}

}  // namespace

Client::Client(ConnectOptions options, LogHook log, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      log_(std::move(log)),
      miscTimer_(new QTimer(this)),
      retryTimer_(new QTimer(this)),
      connectTimeout_(new QTimer(this)) {
    miscTimer_->setInterval(miscIntervalMs(options_.keepAliveSeconds));
    connect(miscTimer_, &QTimer::timeout, this, &Client::misc);
    retryTimer_->setSingleShot(true);
    connect(retryTimer_, &QTimer::timeout, this, &Client::attempt);
    connectTimeout_->setSingleShot(true);
    connectTimeout_->setInterval(kConnectTimeoutMs);
    connect(connectTimeout_, &QTimer::timeout, this,
            [this] { failed(QStringLiteral("no answer from the broker")); });
}

Client::~Client() {
    stop();
}

void Client::stop() {
    retryTimer_->stop();
    connectTimeout_->stop();
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    if (mosq_ && state_ == State::Connected) {
        // A clean goodbye: whatever is queued goes out first. The socket is
        // non-blocking; a few rounds suffice on any link that still works.
        M().disconnect(mosq_);
        for (int i = 0; i < 10 && M().want_write(mosq_); ++i)
            if (M().loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    }
    endSession();
    state_ = State::Idle;
    failures_ = 0;
    takeovers_ = 0;
    briefLosses_ = 0;
    problem_.clear();
}

QString Client::brokerName() const {
    return options_.host + u':' + QString::number(options_.port);
}

qint64 Client::retryDelayMs(int failures) {
    qint64 d = kFirstRetryMs;
    for (int i = 1; i < failures && d < kLastRetryMs; ++i) d *= 2;
    return std::min(d, kLastRetryMs);
}

void Client::start() {
    if (state_ != State::Idle) return;
    problem_.clear();
    attempt();
}

void Client::attempt() {
    state_ = State::Resolving;
    const QHostAddress literal(options_.host);
    if (!literal.isNull()) {
        connectTo(options_.host);
        return;
    }
    // The name is looked up without blocking. Without TLS the socket goes to
    // the address found; with TLS the library is given the name, which the
    // certificate check needs (its own look-up is then answered from the
    // resolver's cache on any usual system).
    lookupId_ = QHostInfo::lookupHost(options_.host, this, [this](const QHostInfo& info) {
        lookupId_ = -1;
        if (state_ != State::Resolving) return;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            failed(info.errorString());
            return;
        }
        connectTo(options_.tls ? options_.host : info.addresses().first().toString());
    });
}

bool Client::newSession() {
    mosq_ = M().new_(options_.clientId.toUtf8().constData(), true, this);
    if (!mosq_) return false;
    // MQTT 5 names the reason when the broker ends a connection.
    M().int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // Small messages leave at once: a state message must not wait for the
    // acknowledgement of the one before it (Nagle with delayed ACKs: 40 ms).
    M().int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!options_.user.isEmpty())
        M().username_pw_set(
            mosq_, options_.user.toUtf8().constData(),
            options_.password.isEmpty() ? nullptr : options_.password.toUtf8().constData());
    if (!options_.willTopic.isEmpty())
        M().will_set(mosq_, options_.willTopic.toUtf8().constData(),
                     int(options_.willPayload.size()), options_.willPayload.constData(), 1,
                     options_.willRetain);
    if (options_.tls) {
        if (!options_.caFile.isEmpty()) {
            const int rc = M().tls_set(mosq_, options_.caFile.toLocal8Bit().constData(), nullptr,
                                       nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                tlsError_ = errorText(rc, errno);
                return false;
            }
        } else {
            M().int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
    }
    M().connect_callback_set(mosq_, &Client::onConnect);
    M().message_callback_set(mosq_, &Client::onMessage);
    M().disconnect_callback_set(mosq_, &Client::onDisconnect);
    return true;
}

void Client::endSession() {
    detachSocket();
    connectTimeout_->stop();
    if (mosq_) M().destroy(mosq_);
    mosq_ = nullptr;
    connackRc_ = -1;
    disconnectRc_ = -1;
}

void Client::connectTo(const QString& address) {
    tlsError_.clear();
    QString libError;
    if (!mosquittoLib(&libError)) {
        failed(QStringLiteral("the MQTT client library cannot be loaded: ") + libError,
               platform::LogLevel::Error);
        return;
    }
    if (!newSession()) {
        failed(tlsError_.isEmpty() ? QStringLiteral("out of memory")
                                   : QStringLiteral("TLS settings: ") + tlsError_,
               platform::LogLevel::Error);
        return;
    }
    errno = 0;
    const int rc = M().connect_async(mosq_, address.toUtf8().constData(), options_.port,
                                     options_.keepAliveSeconds);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(errorText(rc, err));
        return;
    }
    state_ = State::Connecting;
    attachSocket();
    connectTimeout_->start();
    updateWriteNotifier();
}

void Client::attachSocket() {
    socket_ = M().socket(mosq_);
    if (socket_ < 0) return;
    readNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &Client::readReady);
    writeNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Write);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, &Client::writeReady);
    miscTimer_->start();
}

void Client::detachSocket() {
    // The notifiers go before the socket is closed or its number reused.
    readNotifier_.reset();
    writeNotifier_.reset();
    miscTimer_->stop();
    socket_ = -1;
}

void Client::updateWriteNotifier() {
    if (writeNotifier_) writeNotifier_->setEnabled(mosq_ && M().want_write(mosq_));
}

void Client::readReady() {
    if (inLoop_ || !mosq_) return;
    inLoop_ = true;
    errno = 0;
    const int rc = M().loop_read(mosq_, 1);
    const int err = errno;
    inLoop_ = false;
    afterLoop(rc, err);
}

void Client::writeReady() {
    if (inLoop_ || !mosq_) return;
    inLoop_ = true;
    errno = 0;
    const int rc = M().loop_write(mosq_, 1);
    const int err = errno;
    inLoop_ = false;
    afterLoop(rc, err);
}

void Client::misc() {
    if (inLoop_ || !mosq_) return;
    inLoop_ = true;
    errno = 0;
    const int rc = M().loop_misc(mosq_);
    const int err = errno;
    inLoop_ = false;
    afterLoop(rc, err);
}

void Client::afterLoop(int rc, int err) {
    QPointer<Client> self(this);
    if (connackRc_ >= 0) {
        const int answer = connackRc_;
        connackRc_ = -1;
        if (answer == 0) {
            connectTimeout_->stop();
            state_ = State::Connected;
            connectedAtMs_ = platform::TimeBase::global().nowMs();
            if (log_) log_(QStringLiteral("MQTT: connected to ") + brokerName());
            emit connected();
            if (!self) return;
        } else if (v5_ && answer == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
            fallBack();
            return;
        } else {
            QString why =
                QString::fromUtf8(v5_ ? M().reason_string(answer) : M().connack_string(answer));
            while (why.endsWith(u'.')) why.chop(1);
            failed(QStringLiteral("refused: ") + why, platform::LogLevel::Error);
            return;
        }
    }
    if (mosq_ && M().socket(mosq_) < 0) {
        const QString why = errorText(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc, err);
        if (state_ == State::Connected)
            lost(why);
        else if (v5_ && (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET))
            fallBack();  // an answer in an older protocol's form
        else
            failed(why);
    }
    dispatchInbox();
    if (self) updateWriteNotifier();
}

void Client::dispatchInbox() {
    if (dispatching_) return;  // the outer dispatch carries on in order
    QPointer<Client> self(this);
    dispatching_ = true;
    while (!inbox_.empty()) {
        Incoming m = std::move(inbox_.front());
        inbox_.pop_front();
        emit message(m.topic, m.payload, m.retained);
        if (!self) return;
    }
    dispatching_ = false;
}

void Client::failed(const QString& reason, platform::LogLevel level) {
    endSession();
    state_ = State::Waiting;
    ++failures_;
    const qint64 delay = retryDelayMs(failures_);
    if (log_)
        log_(QStringLiteral("MQTT: cannot connect to %1 (%2); trying again in %3 s")
                 .arg(brokerName(), reason)
                 .arg(delay / 1000),
             level);
    platform::TimeBase::global().startTimer(*retryTimer_, delay);
}

void Client::fallBack() {
    endSession();
    v5_ = false;
    if (log_)
        log_(QStringLiteral("MQTT: the broker %1 does not take MQTT 5; using MQTT 3.1.1")
                 .arg(brokerName()));
    attempt();
}

void Client::lost(const QString& reason) {
    const bool takenOverSaid = disconnectRc_ == MQTT_RC_SESSION_TAKEN_OVER;
    endSession();
    state_ = State::Waiting;
    const qint64 lasted = platform::TimeBase::global().nowMs() - connectedAtMs_;
    const bool brief = lasted < kStableConnectionMs;
    briefLosses_ = brief ? briefLosses_ + 1 : 0;
    // Without the reason (3.1.1, or a broker that closes the old connection
    // without a word): the session went to another client when connections
    // end right after they were accepted, twice in a row.
    if (takenOverSaid || briefLosses_ >= 2) {
        takenOver(takenOverSaid);
        return;
    }
    failures_ = brief ? failures_ + 1 : 1;
    const qint64 delay = retryDelayMs(failures_);
    if (log_)
        log_(QStringLiteral("MQTT: connection to %1 lost (%2); trying again in %3 s")
                 .arg(brokerName(), reason)
                 .arg(delay / 1000),
             platform::LogLevel::Warning);
    platform::TimeBase::global().startTimer(*retryTimer_, delay);
    emit disconnected();
}

void Client::takenOver(bool certain) {
    // The broker said the session went to another client: whatever wait came
    // next, the other instance would be back within it and the two would take
    // the session from each other for ever, so this one gives way for good.
    // Without that word it tries again half an hour later, then ever more
    // rarely, and says the cause only the first time.
    ++takeovers_;
    failures_ = 0;
    briefLosses_ = 0;
    problem_ =
        QStringLiteral("another client connected with the client id %1").arg(options_.clientId);
    const QString next = certain
                             ? QStringLiteral("not connecting again until the program is restarted")
                             : QStringLiteral("trying again in 30 minutes, then ever more rarely");
    if (log_ && (certain || takeovers_ == 1)) {
        const QString cause =
            certain
                ? QStringLiteral("MQTT: %1, and the broker %2 gave it this connection's session")
                      .arg(problem_, brokerName())
                : QStringLiteral(
                      "MQTT: the broker %1 ended the connection right after "
                      "accepting it, twice; most likely %2")
                      .arg(brokerName(), problem_);
        log_(cause + QStringLiteral("; give each instance its own ClientId in [MQTT]; ") + next,
             platform::LogLevel::Error);
    }
    if (certain) {
        state_ = State::Idle;
    } else {
        state_ = State::Waiting;
        qint64 delay = kUncertainTakeoverRetryMs;
        for (int i = 1; i < takeovers_ && delay < kLongestTakeoverRetryMs; ++i) delay *= 2;
        platform::TimeBase::global().startTimer(*retryTimer_,
                                                std::min(delay, kLongestTakeoverRetryMs));
    }
    emit disconnected();
}

bool Client::publish(const QString& topic, const QByteArray& payload, bool retain, int qos) {
    if (state_ != State::Connected || !mosq_) return false;
    const int rc = M().publish(mosq_, nullptr, topic.toUtf8().constData(), int(payload.size()),
                               payload.constData(), qos, retain);
    if (!inLoop_) updateWriteNotifier();
    return rc == MOSQ_ERR_SUCCESS;
}

bool Client::subscribe(const QString& pattern, int qos) {
    if (state_ != State::Connected || !mosq_) return false;
    const int rc = M().subscribe(mosq_, nullptr, pattern.toUtf8().constData(), qos);
    if (!inLoop_) updateWriteNotifier();
    return rc == MOSQ_ERR_SUCCESS;
}

bool Client::unsubscribe(const QString& pattern) {
    if (state_ != State::Connected || !mosq_) return false;
    const int rc = M().unsubscribe(mosq_, nullptr, pattern.toUtf8().constData());
    if (!inLoop_) updateWriteNotifier();
    return rc == MOSQ_ERR_SUCCESS;
}

void Client::onConnect(mosquitto*, void* self, int rc) {
    static_cast<Client*>(self)->connackRc_ = rc;
}

void Client::onDisconnect(mosquitto*, void* self, int rc) {
    static_cast<Client*>(self)->disconnectRc_ = rc;
}

void Client::onMessage(mosquitto*, void* self, const mosquitto_message* msg) {
    auto* c = static_cast<Client*>(self);
    c->inbox_.push_back({QString::fromUtf8(msg->topic),
                         QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen),
                         msg->retain});
}

}  // namespace mqtt
