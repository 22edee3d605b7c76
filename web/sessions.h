#pragma once
// The logged-in browsers: each session is a random 128-bit identifier (the
// cookie) with a separate anti-forgery token of the same strength, both from
// the system's random generator. At most MaxSessions at once: a login beyond
// that ends the session used least recently. A session ends LifetimeMs after
// its login whatever happens, and IdleMs after it was last used (a request
// with its cookie, a message or a ping answered by one of its pages).

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <functional>
#include <vector>

namespace web {

class Sessions : public QObject {
    Q_OBJECT
  public:
    static constexpr int MaxSessions = 32;
    // A week: a phone logs in once a week at most.
    static constexpr qint64 LifetimeMs = 7 * 24 * 3600 * 1000LL;
    // A day without any page of the session open.
    static constexpr qint64 IdleMs = 24 * 3600 * 1000LL;
    // How often ended sessions are looked for, so that their pages are logged
    // out even when they stay quiet.
    static constexpr qint64 ExpiryCheckMs = 60 * 1000;
    static inline const QByteArray CookieName = QByteArrayLiteral("veldrin_session");

    struct Session {
        QByteArray id;         // 32 hex digits
        QByteArray token;      // 32 hex digits
        quint64 used = 0;      // order of last use
        qint64 startedMs = 0;  // clock of the sessions
        qint64 usedMs = 0;
    };
    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    // On the time base.
    explicit Sessions(QObject* parent = nullptr);
    Sessions(qint64 lifetimeMs, qint64 idleMs, Clock clock, QObject* parent = nullptr);

    // A new session.
    Session start();
    // The session of a cookie value, marked as used; nullptr when there is
    // none (an expired one ends here).
    const Session* find(const QByteArray& id);
    // The session whose cookie is in a Cookie header ("a=b; veldrin_session=...").
    const Session* fromCookieHeader(const QByteArray& header);
    bool end(const QByteArray& id);
    void endAll();
    // Ends every session past its lifetime or idle time (every ExpiryCheckMs).
    void expire();
    int count() const { return static_cast<int>(sessions_.size()); }

    // Compares two texts in time that depends only on their lengths.
    static bool sameText(const QByteArray& a, const QByteArray& b);

  signals:
    void ended(const QByteArray& id);

  private:
    bool expired(const Session& s, qint64 now) const;

    std::vector<Session> sessions_;
    quint64 uses_ = 0;
    qint64 lifetimeMs_;
    qint64 idleMs_;
    Clock clock_;
    QTimer expiry_;
};

}  // namespace web
