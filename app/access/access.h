#pragma once
// Who may use a listener that takes the connection password: the remote
// listener and the web page share these rules.
//
// Passwords are compared in constant time. A LoginGate holds the delays of
// one listener's addresses (a wrong password, a refused guess or a login
// left without a password costs the address 1 s, 2 s, 4 s ... up to 60 s
// before it may try again) and spends the guess budget, which every listener
// that takes the same password shares: wrong passwords compared, all
// addresses together, at most 5 at once and 55 in any 60 s. The budget is
// looked at before a comparison and spent only on a wrong password: a right
// one costs nothing, and with the budget spent every password is refused
// without being compared, the right one too.
//
// TLS: the server side of a listener from PEM files, refused (with why) when
// they cannot be used, the key not belonging to the certificate included.

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <optional>

#include "guessbudget.h"

namespace auth {

// Compares two texts in time that depends only on their lengths.
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);

// PEM files that switch a listener to TLS; both empty: clear text.
struct Tls {
    QString certificateFile;
    QString keyFile;
    bool enabled() const { return !certificateFile.isEmpty() || !keyFile.isEmpty(); }
};

// The server side of TLS from PEM files; nothing (with why) when they cannot
// be used.
std::optional<QSslConfiguration> tlsConfiguration(const Tls& tls, QString* why);

class LoginGate {
  public:
    // budget: shared with the other listeners that take the same password
    // (it must outlive the gate); none: a budget of the gate's own.
    explicit LoginGate(platform::GuessBudget* budget = nullptr) : shared_(budget) {}

    enum class Verdict {
        Admitted,  // the right password
        Delayed,   // the address must wait (waitMs): nothing compared
        NoBudget,  // the budget is spent: nothing compared, the address delayed
        Wrong,     // compared and wrong: a guess spent, the address delayed
    };
    struct Result {
        Verdict verdict;
        qint64 waitMs = 0;  // Delayed, NoBudget: how long to wait before trying again
        bool compared() const { return verdict == Verdict::Admitted || verdict == Verdict::Wrong; }
    };

    // A password given by peer against the one in force (empty: none is
    // set, and nothing is admitted).
    Result check(const QString& peer, const QByteArray& given, const QByteArray& expected);

    // How long peer must still wait before it may try (0: it may).
    qint64 waitMs(const QString& peer) { return delays_.leftMs(peer); }
    // peer failed without a comparison (it sent no password in time).
    void penalise(const QString& peer) { delays_.addFailure(peer); }
    // Addresses that the delays remember now.
    int penalised() const { return delays_.count(); }

  private:
    platform::GuessBudget& budget() { return shared_ ? *shared_ : own_; }

    platform::GuessBudget* shared_;
    platform::GuessBudget own_;
    platform::AddressDelays delays_;
};

}  // namespace auth
