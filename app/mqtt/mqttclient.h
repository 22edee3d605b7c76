#pragma once
// An MQTT client over libmosquitto that lives in the program's own event
// loop: socket notifiers for reading and writing and a timer for the
// keep-alive, no thread of its own. Connecting never blocks (the host name is
// looked up asynchronously, the socket connects in the background) and a lost
// or failed connection is tried again by itself after a growing delay, 1 s
// doubling up to 60 s, measured on the time base; a connection that ends
// within 10 s of being accepted does not reset the delay. Each connect, loss
// and failure writes one line through the log hook.
//
// It speaks MQTT 5, and 3.1.1 with a broker that does not know 5. When the
// broker hands the session to another client that connected with the same
// client id (MQTT 5 may say so: "session taken over"; otherwise it shows as
// a connection ended right after it was accepted, twice in a row), one error
// line names the cause and the client does not connect again until it is
// started anew: two instances with one id never take the session from each
// other in a loop, the one that came first gives way.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

#include "loglevel.h"

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

namespace mqtt {

struct ConnectOptions {
    QString host;
    int port = 1883;
    QString user;      // empty: no user name
    QString password;  // kept in memory only
    bool tls = false;
    QString caFile;  // empty: the system's certificates
    QString clientId;
    int keepAliveSeconds = 30;
    // Last will: published by the broker when the connection dies.
    QString willTopic;
    QByteArray willPayload;
    bool willRetain = true;
};

class Client : public QObject {
    Q_OBJECT
  public:
    using LogHook = platform::LogHook;

    Client(ConnectOptions options, LogHook log, QObject* parent = nullptr);
    ~Client() override;

    // Starts connecting; from then on the client reconnects by itself.
    void start();
    // Says goodbye to the broker (a clean end: no last will) and stops
    // reconnecting. The destructor does the same.
    void stop();
    bool isConnected() const { return state_ == State::Connected; }

    // Queue a message or a subscription; false while not connected (nothing
    // is kept for later: the owner publishes its state again on connect).
    bool publish(const QString& topic, const QByteArray& payload, bool retain, int qos = 1);
    bool subscribe(const QString& pattern, int qos = 1);
    bool unsubscribe(const QString& pattern);

    // Logical milliseconds before attempt number `failures` + 1 after that
    // many failures in a row: 1 s, 2 s, 4 s ... at most 60 s.
    static qint64 retryDelayMs(int failures);
    // Sessions taken over since the client was started.
    int takeovers() const { return takeovers_; }
    // Off the broker for good after a take-over: "another client connected
    // with the client id X"; empty otherwise.
    QString problem() const { return state_ == State::Connected ? QString() : problem_; }

    // "host:port" as the log lines name the broker.
    QString brokerName() const;

  signals:
    void connected();
    void disconnected();
    void message(const QString& topic, const QByteArray& payload, bool retained);

  private:
    enum class State { Idle, Resolving, Connecting, Connected, Waiting };

    struct Incoming {
        QString topic;
        QByteArray payload;
        bool retained = false;
    };

    void attempt();
    bool newSession();
    void endSession();
    void connectTo(const QString& address);
    void attachSocket();
    void detachSocket();
    void updateWriteNotifier();
    void readReady();
    void writeReady();
    void misc();
    // After a loop call: a closed socket means the connection ended.
    void afterLoop(int rc, int savedErrno);
    // Hands the received messages on, outside any library call.
    void dispatchInbox();
    // A broker that cannot be reached is a warning; one that refuses us, or
    // settings that cannot work (TLS, the library), an error.
    void failed(const QString& reason, platform::LogLevel level = platform::LogLevel::Warning);
    void lost(const QString& reason);
    // The session went to another client with this id (certain: the broker
    // said so); the client stops until started again.
    void takenOver(bool certain);
    // The broker does not speak MQTT 5: the next attempt, at once, uses 3.1.1.
    void fallBack();

    static void onConnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* msg);
    static void onDisconnect(mosquitto*, void* self, int rc);

    ConnectOptions options_;
    LogHook log_;
    mosquitto* mosq_ = nullptr;
    State state_ = State::Idle;
    int failures_ = 0;          // in a row; a connection that lasted reset it
    qint64 connectedAtMs_ = 0;  // logical time the broker last accepted us
    int socket_ = -1;
    int connackRc_ = -1;     // set by onConnect during a loop call
    int disconnectRc_ = -1;  // set by onDisconnect: the broker's reason (MQTT 5)
    bool v5_ = true;         // MQTT 5; false once the broker turned it down
    int takeovers_ = 0;      // sessions taken over since started
    int briefLosses_ = 0;    // connections in a row that ended right after acceptance
    QString problem_;
    int lookupId_ = -1;
    bool inLoop_ = false;
    bool dispatching_ = false;
    QString tlsError_;
    std::deque<Incoming> inbox_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    QTimer* miscTimer_;
    QTimer* retryTimer_;
    QTimer* connectTimeout_;
};

}  // namespace mqtt
