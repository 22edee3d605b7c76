#pragma once
// RemoteServer: the TCP listener through which remote clients send command
// words. Line based (LF or CR LF). The first line of a client is the
// connection password; after it every line is handed to the command
// interpreter unchanged and answered with "OK" when the interpreter carried
// it out, or with a line starting "ERROR" when it did not (the client stays).
// A line starting "?" is a query: answered by the query hook with its lines
// and then "OK", it never reaches the interpreter. A refused login and a
// protocol violation are answered with a line starting "ERROR" and the
// client is disconnected.
//
// Safety limits: no client is accepted while no password is set; wrong
// passwords are compared at most 5 times in any second and 55 times in any
// minute, all addresses and connections together (a right password costs
// nothing), and while that budget is spent every password, right or wrong,
// is refused without being compared; a wrong password, a refused guess or no password
// within AuthTimeoutMs costs the address a growing delay (1 s, 2 s, 4 s ...
// up to 60 s) before it may try again; passwords are compared in constant time and never
// logged; at most MaxClients at once, of which at most MaxPending wait for
// their password (a newcomer drops the oldest of those); a line longer than MaxLine bytes is
// answered with "ERROR" and drops the client; a client that has not authenticated within
// AuthTimeoutMs is dropped; a client that lets more than MaxUnsent bytes of replies pile up
// unread is dropped; once the password changes, the sessions that logged in
// with the old one end. A client may vanish at any moment (a reset inside a
// write included): it is dropped and the server goes on.
//
// Only a login is a guess: a first line that is an HTTP request line, or
// first bytes that open a TLS handshake on a listener without TLS, close the
// connection without using the budget or delaying the address. Refusals and
// logins turned away write at most one line a second per reason (with a
// count); "Client N connected" is written once a client tries a password.
//
// With TLS, handshakes in progress are bounded apart from the clients: at
// most MaxHandshakes at once (a newcomer drops the oldest handshake of the
// address that holds the most, so a flood from one address only pushes out
// its own), each at most
// HandshakeTimeoutMs; one that fails or closes frees its place at once, so
// plain or silent connections never keep a prompt TLS client out.
//
// Clock: the guess budget, the penalties and the timeouts run on real time in
// a release build (NDEBUG), whatever VELDRIN_TIME_SCALE says, so that the
// variable cannot weaken them. A debug build follows the time base, and a
// test may make any build follow it with setTimeBaseForTests(true).

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

#include "access.h"
#include "loglevel.h"

class QTcpServer;
class QTcpSocket;
namespace platform {
class LogThrottle;
}

class RemoteServer : public QObject {
    Q_OBJECT
  public:
    static constexpr int MaxClients = 16;
    static constexpr int MaxPending = MaxClients / 2;  // logins waiting for their password
    static constexpr int MaxLine = 256;
    static constexpr qint64 AuthTimeoutMs = 10000;
    static constexpr qint64 MaxPenaltyMs = platform::AddressDelays::MaxDelayMs;
    static constexpr int MaxPenalties = platform::AddressDelays::MaxAddresses;
    // Comparisons of wrong passwords, all clients together (and every other
    // listener that shares the budget): a burst of GuessBurst, then one every
    // GuessIntervalMs: at most 5 + 60000 / 1200 = 55 in any 60 s.
    static constexpr int GuessBurst = platform::GuessBudget::Burst;
    static constexpr qint64 GuessIntervalMs = platform::GuessBudget::IntervalMs;
    static constexpr int MaxHandshakes = 2 * MaxClients;  // TLS handshakes in progress
    static constexpr qint64 HandshakeTimeoutMs = 10000;
    static constexpr quint16 DefaultPort = 7410;
    static constexpr qint64 MaxUnsent = 64 * 1024;

    // What the command interpreter made of a word. A plain true or false
    // converts to it (false: the word fits no command).
    struct CommandResult {
        CommandResult(bool carriedOut) : done(carriedOut) {}  // NOLINT(google-explicit-constructor)
        static CommandResult refused(const QString& why) {
            CommandResult r(false);
            r.reason = why;
            return r;
        }
        bool done = false;
        QString reason;
    };

    struct Hooks {
        std::function<QString()> password;  // the password in force
        // The command interpreter: whether it carried the word out, and if
        // not why (answered "ERROR <reason>"; no reason: a word it does not know).
        std::function<CommandResult(const QString&)> command;
        // Answers a query line (one starting "?", "?state A5"): its lines,
        // sent followed by "OK" (or alone when the last starts with "ERROR"),
        // or nothing for a query it does not know. Optional.
        std::function<std::optional<QStringList>(const QString&)> query;
        std::function<void(const QString&, int)> clientLog;  // one client-log line, client index
        platform::LogHook eventLog;                          // one event-log line, its level
        // The guess budget shared with the other listeners that take the
        // same password (it must outlive the server); none: a budget of the
        // server's own.
        platform::GuessBudget* guesses = nullptr;
    };

    explicit RemoteServer(Hooks hooks, QObject* parent = nullptr);
    ~RemoteServer() override;

    // PEM files that switch the listener to TLS; both empty: clear text.
    using Tls = auth::Tls;

    // Starts listening (closing any earlier listener and its clients).
    // Returns false and writes an event-log line with the reason on failure;
    // a TLS certificate or key that cannot be used is such a failure (the
    // listener never falls back to clear text). Listening beyond loopback in
    // clear text works but writes a warning line to the event log.
    bool listen(const QString& address, quint16 port, const Tls& tls = {});
    void close();
    bool isListening() const;
    bool isEncrypted() const { return encrypted_; }
    quint16 port() const;  // the bound port (useful with port 0)
    // Why the last listen() failed ("" after a success).
    QString errorString() const { return error_; }

    int clientCount() const { return clients_.size(); }
    // Passwords compared since the start.
    qint64 passwordComparisons() const { return comparisons_; }
    // Addresses that the delay after wrong passwords remembers now.
    int penaltyCount() const { return gate_.penalised(); }
    // TLS handshakes in progress.
    int handshakeCount() const;

    // Closes every connection.
    void dropAll();

    // Ends the sessions that logged in with another password than the one in
    // force now (call after the password changed).
    void endStaleSessions();

    // Whether the security timings follow the time base (see the clock above).
    static void setTimeBaseForTests(bool follow);
    static bool followsTimeBase();

  signals:
    void clientCountChanged(int count);

  private:
    struct Client;
    void onNewConnection();
    void onReadyRead(Client* c);
    void onDisconnected(Client* c);
    void refuse(QTcpSocket* socket, const QByteArray& line);
    void drop(Client* c, const QString& why);
    void forget(Client* c);  // marks it gone and takes it out of clients_
    void handleLine(Client* c, const QByteArray& line);
    void reply(Client* c, const QByteArray& line);
    bool stale(const Client* c) const;
    void checkPassword(Client* c, const QByteArray& line);
    void answerAndDrop(Client* c, const QByteArray& line, const QString& why);
    void log(const QString& text, int idx);
    void announce(Client* c);  // logs "connected" once it tries a password
    void refusal(const QString& peer, const QString& why);  // one throttled line
    static bool isHttpRequestLine(const QByteArray& line);
    bool fail(const QString& why);

    Hooks hooks_;
    QTcpServer* server_ = nullptr;
    QList<std::shared_ptr<Client>> clients_;
    platform::LogThrottle* throttle_ = nullptr;
    auth::LoginGate gate_;
    QString error_;
    bool encrypted_ = false;
    int nextId_ = 1;
    qint64 comparisons_ = 0;
};
