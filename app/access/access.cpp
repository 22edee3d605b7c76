#include "access.h"

#include <QLibrary>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <algorithm>
#include <cerrno>

#include "regularfile.h"

namespace auth {

namespace {
// Whether the key is the private half of the certificate's public key;
// nothing when that cannot be found out (why says why).
std::optional<bool> keyMatches(const QSslCertificate& certificate, const QSslKey& key,
                               QString* why);
}  // namespace

bool constantTimeEquals(const QByteArray& a, const QByteArray& b) {
    const qsizetype n = std::max(a.size(), b.size());
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

// A certificate chain or a key is a few KiB; the bound keeps a wrong path
// (a large file, a device) from being read whole.
constexpr qint64 kMaxPemBytes = 1 << 20;

std::optional<QSslConfiguration> tlsConfiguration(const Tls& tls, QString* why) {
    if (!QSslSocket::supportsSsl()) {
        *why = QStringLiteral("TLS is not available on this computer");
        return std::nullopt;
    }
    if (tls.certificateFile.isEmpty() || tls.keyFile.isEmpty()) {
        *why = QStringLiteral("TLS needs both TLSCertificate and TLSKey");
        return std::nullopt;
    }
    const platform::FileRead certificate =
        platform::readRegularFile(tls.certificateFile, kMaxPemBytes);
    if (certificate.status == platform::FileRead::Failed) {
        *why = QStringLiteral("cannot read the TLS certificate %1: %2")
                   .arg(tls.certificateFile, certificate.error);
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificate.data, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *why = QStringLiteral("no PEM certificate in %1").arg(tls.certificateFile);
        return std::nullopt;
    }
    const platform::FileRead keyFile = platform::readRegularFile(tls.keyFile, kMaxPemBytes);
    if (keyFile.status != platform::FileRead::Ok) {
        *why = QStringLiteral("cannot read the TLS key %1: %2")
                   .arg(tls.keyFile, keyFile.status == platform::FileRead::Missing
                                         ? platform::openErrorText(tls.keyFile, ENOENT)
                                         : keyFile.error);
        return std::nullopt;
    }
    const QByteArray& pem = keyFile.data;
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) break;
    }
    if (key.isNull()) {
        *why = QStringLiteral("no unencrypted PEM private key in %1").arg(tls.keyFile);
        return std::nullopt;
    }
    QString checkError;
    const std::optional<bool> match = keyMatches(chain.first(), key, &checkError);
    if (!match) {
        *why = QStringLiteral("cannot check that the TLS key %1 belongs to the certificate %2: %3")
                   .arg(tls.keyFile, tls.certificateFile, checkError);
        return std::nullopt;
    }
    if (!*match) {
        *why = QStringLiteral("the TLS key %1 does not belong to the certificate %2")
                   .arg(tls.keyFile, tls.certificateFile);
        return std::nullopt;
    }
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients prove themselves by the password
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    return conf;
}

namespace {

// The few OpenSSL functions that compare a certificate's public key with a
// private key. Qt's TLS backend has loaded the library already whenever TLS
// is available; it is resolved here rather than linked so that a program
// without TLS never maps it.
struct Crypto {
    using NewMemBuf = void* (*)(const void*, int);
    using FreeBio = int (*)(void*);
    using ReadKey = void* (*)(void*, void**, void*, void*);
    using FreeKey = void (*)(void*);
    using ReadX509 = void* (*)(void**, const unsigned char**, long);
    using FreeX509 = void (*)(void*);
    using CheckKey = int (*)(const void*, const void*);
    NewMemBuf newMemBuf = nullptr;
    FreeBio freeBio = nullptr;
    ReadKey readKey = nullptr;
    FreeKey freeKey = nullptr;
    ReadX509 readX509 = nullptr;
    FreeX509 freeX509 = nullptr;
    CheckKey checkKey = nullptr;
    QString error;
};

template <typename F>
void resolve(QLibrary& l, const char* name, F& f, QString& error) {
    f = reinterpret_cast<F>(l.resolve(name));
    if (!f && error.isEmpty()) error = l.fileName() + QStringLiteral(" has no ") + name;
}

const Crypto& crypto() {
    static const Crypto c = [] {
        Crypto r;
        static QLibrary l(QStringLiteral("crypto"), 3);  // never unloaded
        if (!l.load()) {
            r.error = l.errorString();
            return r;
        }
        resolve(l, "BIO_new_mem_buf", r.newMemBuf, r.error);
        resolve(l, "BIO_free", r.freeBio, r.error);
        resolve(l, "PEM_read_bio_PrivateKey", r.readKey, r.error);
        resolve(l, "EVP_PKEY_free", r.freeKey, r.error);
        resolve(l, "d2i_X509", r.readX509, r.error);
        resolve(l, "X509_free", r.freeX509, r.error);
        resolve(l, "X509_check_private_key", r.checkKey, r.error);
        return r;
    }();
    return c;
}

std::optional<bool> keyMatches(const QSslCertificate& certificate, const QSslKey& key,
                               QString* why) {
    const Crypto& c = crypto();
    if (!c.error.isEmpty()) {
        *why = c.error;
        return std::nullopt;
    }
    const QByteArray der = certificate.toDer();
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    void* x509 = c.readX509(nullptr, &p, static_cast<long>(der.size()));
    const QByteArray pem = key.toPem();
    void* bio = c.newMemBuf(pem.constData(), static_cast<int>(pem.size()));
    void* pkey = bio ? c.readKey(bio, nullptr, nullptr, nullptr) : nullptr;
    std::optional<bool> result;
    if (!x509 || !pkey) {
        *why = QStringLiteral("the TLS library cannot read them");
    } else {
        // The certificate's public key against the public half of the key.
        result = c.checkKey(x509, pkey) == 1;
    }
    if (pkey) c.freeKey(pkey);
    if (bio) c.freeBio(bio);
    if (x509) c.freeX509(x509);
    return result;
}

}  // namespace

LoginGate::Result LoginGate::check(const QString& peer, const QByteArray& given,
                                   const QByteArray& expected) {
    // A connection opened before its address was penalised gets no guess.
    if (const qint64 wait = delays_.leftMs(peer); wait > 0) return {Verdict::Delayed, wait};
    // The budget is looked at before the comparison but spent only when the
    // password is wrong: a right one costs nothing, so logins in quick
    // succession keep working, while every wrong guess that is compared uses
    // a token. With the budget empty every line is refused without a
    // comparison, the right password too; that is what stops a guesser.
    if (!budget().left()) {
        delays_.addFailure(peer);
        return {Verdict::NoBudget, budget().waitMs()};
    }
    if (!expected.isEmpty() && constantTimeEquals(given, expected)) {
        delays_.forget(peer);
        return {Verdict::Admitted};
    }
    budget().spend();
    delays_.addFailure(peer);
    return {Verdict::Wrong};
}

}  // namespace auth
