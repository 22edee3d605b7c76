#pragma once
// The logged-in browsers. A login gives the browser a random 128-bit cookie
// from the system's random generator; its anti-forgery token is derived from
// the cookie (an HMAC of it), so that only the holder of the cookie knows it.
// The server keeps neither: a session is known by its key, an HMAC-SHA-256 of
// the connection password under the cookie. That key is all the sessions
// file holds, so a copy of the file gives no login, and a session made under
// another password never matches again.
//
// At most MaxSessions at once: a login beyond that ends the session used
// least recently. A session ends IdleMs after it was last used (a request
// with its cookie, a message or a ping answered by one of its pages) and
// LifetimeMs after its login whatever happens.
//
// With a file (setFile), the sessions outlive the process: the file is
// rewritten atomically, mode 0600, when a session starts or ends, and when
// one has been used again after SaveUseAfterMs.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

namespace web {

class Sessions : public QObject {
    Q_OBJECT
  public:
    static constexpr int MaxSessions = 32;
    // A phone on which the page is kept logs in once a year at most...
    static constexpr qint64 LifetimeMs = 365 * 24 * 3600 * 1000LL;
    // ...and after a month without any use of it.
    static constexpr qint64 IdleMs = 30 * 24 * 3600 * 1000LL;
    // How often ended sessions are looked for, so that their pages are logged
    // out even when they stay quiet.
    static constexpr qint64 ExpiryCheckMs = 60 * 1000;
    // A use is written to the file when the last one written is this old:
    // the idle limit is kept to within this much across a restart.
    static constexpr qint64 SaveUseAfterMs = 3600 * 1000;
    // What a sessions file may hold; a longer one is not read.
    static constexpr qint64 MaxFileBytes = 16 * 1024;
    static inline const QByteArray CookieName = QByteArrayLiteral("veldrin_session");

    struct Session {
        QByteArray id;         // the key: 64 hex digits, never the cookie
        QByteArray cookie;     // 32 hex digits; only in what start() returns
        QByteArray token;      // 32 hex digits, once the cookie was shown
        quint64 used = 0;      // order of last use
        qint64 startedMs = 0;  // clock of the sessions
        qint64 usedMs = 0;
        qint64 writtenUsedMs = 0;  // usedMs as the file has it
    };
    // Milliseconds since the epoch: the times outlive the process.
    using Clock = std::function<qint64()>;

    // On the system's clock.
    explicit Sessions(QObject* parent = nullptr);
    Sessions(qint64 lifetimeMs, qint64 idleMs, Clock clock, QObject* parent = nullptr);
    ~Sessions() override;

    // Where this instance keeps its sessions: "web-sessions" in its state folder.
    static QString defaultPath();
    // Reads the sessions of path (those still valid) and keeps them there
    // from now on. A missing, damaged or oversized file reads as no sessions.
    void setFile(const QString& path);
    // The connection password, part of every key. Setting another one while
    // one was set ends every session; the first one (at start-up) ends none.
    void setPassword(const QByteArray& password);

    // A new session.
    Session start();
    // The session of a key, marked as used; nullptr when there is none (an
    // expired one ends here).
    const Session* find(const QByteArray& id);
    // The session whose cookie is in a Cookie header ("a=b; veldrin_session=..."),
    // marked as used, with its token.
    const Session* fromCookieHeader(const QByteArray& header);
    bool end(const QByteArray& id);
    void endAll();
    // Ends every session past its lifetime or idle time (every ExpiryCheckMs).
    void expire();
    int count() const { return static_cast<int>(sessions_.size()); }
    // Writes the file now when something is not in it yet.
    void flush();

    // Compares two texts in time that depends only on their lengths.
    static bool sameText(const QByteArray& a, const QByteArray& b);

  signals:
    void ended(const QByteArray& id);

  private:
    bool expired(const Session& s, qint64 now) const;
    // find(), for changing what it finds.
    Session* use(const QByteArray& id);
    QByteArray keyOf(const QByteArray& cookie) const;
    void load();
    void saveSoon();
    void armExpiry();

    std::vector<Session> sessions_;
    quint64 uses_ = 0;
    qint64 lifetimeMs_;
    qint64 idleMs_;
    Clock clock_;
    QTimer expiry_;
    QTimer save_;
    QString path_;
    QByteArray password_;
    bool dirty_ = false;
};

}  // namespace web
