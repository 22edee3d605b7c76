#pragma once
// The logged-in browsers: each session is a random 128-bit identifier (the
// cookie) with a separate anti-forgery token of the same strength, both from
// the system's random generator. At most MaxSessions at once: a login beyond
// that ends the session used least recently.

#include <QByteArray>
#include <QObject>
#include <vector>

namespace web {

class Sessions : public QObject {
    Q_OBJECT
  public:
    static constexpr int MaxSessions = 32;
    static inline const QByteArray CookieName = QByteArrayLiteral("veldrin_session");

    struct Session {
        QByteArray id;     // 32 hex digits
        QByteArray token;  // 32 hex digits
        quint64 used = 0;  // order of last use
    };

    using QObject::QObject;

    // A new session.
    Session start();
    // The session of a cookie value, marked as used; nullptr when there is none.
    const Session* find(const QByteArray& id);
    // The session whose cookie is in a Cookie header ("a=b; veldrin_session=...").
    const Session* fromCookieHeader(const QByteArray& header);
    bool end(const QByteArray& id);
    void endAll();
    int count() const { return static_cast<int>(sessions_.size()); }

    // Compares two texts in time that depends only on their lengths.
    static bool sameText(const QByteArray& a, const QByteArray& b);

  signals:
    void ended(const QByteArray& id);

  private:
    std::vector<Session> sessions_;
    quint64 uses_ = 0;
};

}  // namespace web
