#pragma once
// Listeners that stay open whatever their clients do, shared by the remote
// listener and the web page.
//
// Listener: a TCP listener that never stops accepting. Qt stops a listener
// for good after an accept error other than a temporary one (no descriptor
// left, a connection reset before it was taken); this one says why through
// its log hook and takes connections again after AcceptPauseMs. Each new
// connection passes admit() before anything is read from it.
//
// TlsListener: the same with TLS. It runs the handshakes itself, so that
// handshakes in progress have a bound and a time limit of their own: one that
// fails or closes frees its place at once, one that stays silent is dropped
// after the time limit, and while the most are in progress a newcomer drops
// the oldest of the address that holds the most (a flood from one address
// only pushes out its own). Only a connection whose handshake has finished
// becomes a pending connection of the server, so the pending-connection
// limit never counts handshakes and the backlog is always drained.

#include <QSslConfiguration>
#include <QTcpServer>
#include <functional>

class QSslSocket;

class Listener : public QTcpServer {
  public:
    using Log = std::function<void(const QString& line)>;
    static constexpr qint64 AcceptPauseMs = 100;

    explicit Listener(QObject* parent = nullptr) : Listener(Log(), parent) {}
    Listener(Log sink, QObject* parent);

  protected:
    void incomingConnection(qintptr fd) override;
    // A new connection, nothing read from it yet: false closes it.
    virtual bool admit(QTcpSocket* socket);
    // s on fd when admit() lets it in; otherwise nothing (s deleted, fd closed).
    QTcpSocket* adopt(QTcpSocket* s, qintptr fd);
    void log(const QString& line) const {
        if (log_) log_(line);
    }

  private:
    Log log_;
};

class TlsListener : public Listener {
  public:
    // failed: one line per handshake that did not finish (they come in
    // floods: the receiver throttles them).
    TlsListener(const QSslConfiguration& conf, int maxHandshakes, qint64 timeoutMs, Log failed,
                QObject* parent);

    int handshakes() const { return static_cast<int>(handshaking_.size()); }

  protected:
    void incomingConnection(qintptr fd) override;

  private:
    QSslSocket* crowdedOldest(const QHostAddress& from) const;
    void abandon(QSslSocket* s, const QString& why);

    QSslConfiguration conf_;
    int maxHandshakes_;
    qint64 timeoutMs_;
    QList<QSslSocket*> handshaking_;  // oldest first
};
