// The TLS listener under silent connections: 100 TCP connections that never
// start their handshake are held open (each one the server drops is opened
// again at once), and for 10 s prompt TLS clients connect one after another
// from their own addresses, send the password and wait for the answer.
//   bench_remote_tls [silent] [seconds]   (defaults 100 and 10)
// Prints the handshakes completed and the logins answered "OK" (the guess
// budget, 5 then one every 1.2 s, bounds the latter).
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "remoteserver.h"
#include "timebase.h"

namespace {

bool pumpUntil(const std::function<bool()>& cond, int ms) {
    return platform::waitFor(cond, ms);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int silentCount = argc > 1 ? std::max(0, atoi(argv[1])) : 100;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    QTemporaryDir dir;
    const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                   "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0) {
        std::fprintf(stderr, "openssl failed\n");
        return 1;
    }
    RemoteServer::Hooks hooks;
    hooks.password = [] { return QStringLiteral("bench"); };
    hooks.command = [](const QString&) { return true; };
    RemoteServer server(hooks);
    if (!server.listen("127.0.0.1", 0, {cert, key})) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorString()));
        return 1;
    }
    const quint16 port = server.port();

    // The silent connections, each opened again when the server drops it.
    std::vector<std::unique_ptr<QTcpSocket>> silent(static_cast<size_t>(silentCount));
    int reopened = 0;
    std::function<void(size_t)> open = [&](size_t i) {
        auto s = std::make_unique<QTcpSocket>();
        s->bind(QHostAddress(QStringLiteral("127.0.0.200")), 0);
        QObject::connect(s.get(), &QTcpSocket::disconnected, s.get(), [&, i] {
            silent[i].release()->deleteLater();
            ++reopened;
            QTimer::singleShot(0, [&, i] { open(i); });
        });
        s->connectToHost(QHostAddress::LocalHost, port);
        silent[i] = std::move(s);
    };
    for (size_t i = 0; i < silent.size(); ++i) open(i);
    pumpUntil([] { return false; }, 500);

    QList<QSslCertificate> ca = QSslCertificate::fromPath(cert);
    int handshakes = 0, logins = 0, attempts = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000LL) {
        ++attempts;
        QSslSocket c;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(ca);
        c.setSslConfiguration(conf);
        // Each client its own address: a refused guess delays only its own.
        c.bind(QHostAddress(
                   QStringLiteral("127.0.%1.%2").arg(1 + attempts / 250).arg(1 + attempts % 250)),
               0);
        c.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        if (!pumpUntil(
                [&] { return c.isEncrypted() || c.state() == QAbstractSocket::UnconnectedState; },
                15000) ||
            !c.isEncrypted())
            continue;
        ++handshakes;
        c.write("bench\n");
        pumpUntil([&] { return c.canReadLine() || c.state() == QAbstractSocket::UnconnectedState; },
                  5000);
        if (c.canReadLine() && c.readLine().trimmed() == "OK") ++logins;
        c.abort();
    }
    const double s = t.elapsed() / 1000.0;
    std::printf("TLS listener with %d silent connections held open (%d reopened after a drop)\n",
                silentCount, reopened);
    std::printf("  in %.1f s: %d attempts, %d handshakes completed, %d logins answered OK\n", s,
                attempts, handshakes, logins);
    std::printf("FIGURE remote_tls_handshakes_10s %d\nFIGURE remote_tls_logins_10s %d\n",
                handshakes, logins);
    std::fflush(stdout);
    ::_exit(handshakes > 0 ? 0 : 1);
}
