// veldrin-cmd: sends command words to a running Veldrin, or asks it for the
// state of the modules.
//   veldrin-cmd [--host H] [--port P] [--password-file F] [--tls [--ca FILE]]
//               COMMAND...
//   veldrin-cmd [--host H] [--port P] [--password-file F] [--tls [--ca FILE]]
//               state [ADDRESS]
// The password comes from the first line of F, or from the environment
// variable VELDRIN_PASSWORD. With --tls the connection is encrypted and the
// server's certificate is verified against the CA certificates in FILE (PEM),
// or against the system's. Prints one line per answer; exits 0 when every
// command was answered "OK", 1 on an error answer, a refusal or a connection
// failure, 2 on wrong usage.
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <cstdio>

#include "remoteserver.h"
#include "settingsstore.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: veldrin-cmd [--host H] [--port P] [--password-file F] [--tls [--ca "
                 "FILE]] COMMAND...\n"
                 "       veldrin-cmd [--host H] [--port P] [--password-file F] [--tls [--ca "
                 "FILE]] state [ADDRESS]\n"
                 "  commands: 5on, 5of, 5di07, allo, allf, alluf, housecodechangeB, COFF, "
                 "ABORT, EXIT\n");
    return 2;
}

QByteArray readAnswer(QTcpSocket& s, int timeoutMs) {
    while (!s.canReadLine()) {
        if (s.state() != QAbstractSocket::ConnectedState && s.bytesAvailable() == 0) return {};
        if (!s.waitForReadyRead(timeoutMs)) {
            if (s.canReadLine()) break;
            const QByteArray rest = s.readAll();
            return rest.trimmed();
        }
    }
    return s.readLine().trimmed();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString host = QStringLiteral("127.0.0.1");
    const QString storedPort = platform::GetSetting(
        QStringLiteral("veldrin"), QStringLiteral("Startup"), QStringLiteral("ListenPort"));
    quint16 port = RemoteServer::DefaultPort;
    if (const uint p = storedPort.trimmed().toUInt(); p >= 1 && p <= 65535) port = p;
    QString passwordFile;
    QString caFile;
    bool tls = false;
    QStringList commands;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--tls")) {
            tls = true;
        } else if ((a == QLatin1String("--host") || a == QLatin1String("--port") ||
                    a == QLatin1String("--password-file") || a == QLatin1String("--ca")) &&
                   i + 1 < args.size()) {
            const QString v = args[++i];
            if (a == QLatin1String("--ca")) {
                caFile = v;
            } else if (a == QLatin1String("--host")) {
                host = v;
            } else if (a == QLatin1String("--port")) {
                bool ok = false;
                const uint p = v.toUInt(&ok);
                if (!ok || p < 1 || p > 65535) return usage();
                port = static_cast<quint16>(p);
            } else {
                passwordFile = v;
            }
        } else if (a.startsWith(QLatin1String("--"))) {
            return usage();
        } else {
            commands.append(a);
        }
    }
    if (commands.isEmpty() || (!caFile.isEmpty() && !tls)) return usage();
    const bool stateQuery = commands.constFirst() == QLatin1String("state");
    if (stateQuery && commands.size() > 2) return usage();

    QByteArray password = qgetenv("VELDRIN_PASSWORD");
    if (!passwordFile.isEmpty()) {
        QFile f(passwordFile);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "veldrin-cmd: cannot read %s\n", qPrintable(passwordFile));
            return 1;
        }
        password = f.readLine();
        while (password.endsWith('\n') || password.endsWith('\r')) password.chop(1);
    }
    if (password.isEmpty()) {
        std::fprintf(stderr,
                     "veldrin-cmd: no password (use --password-file or VELDRIN_PASSWORD)\n");
        return 2;
    }

    QSslSocket s;
    if (tls) {
        if (!QSslSocket::supportsSsl()) {
            std::fprintf(stderr, "veldrin-cmd: TLS is not available on this computer\n");
            return 1;
        }
        if (!caFile.isEmpty()) {
            const QList<QSslCertificate> cas = QSslCertificate::fromPath(caFile, QSsl::Pem);
            if (cas.isEmpty()) {
                std::fprintf(stderr, "veldrin-cmd: no PEM certificate in %s\n", qPrintable(caFile));
                return 1;
            }
            QSslConfiguration conf = s.sslConfiguration();
            conf.setCaCertificates(cas);
            s.setSslConfiguration(conf);
        }
        s.connectToHostEncrypted(host, port);
        if (!s.waitForEncrypted(5000)) {
            QStringList why;
            for (const QSslError& e : s.sslHandshakeErrors()) why << e.errorString();
            if (why.isEmpty()) why << s.errorString();
            std::fprintf(stderr, "veldrin-cmd: no TLS connection to %s port %u: %s\n",
                         qPrintable(host), port, qPrintable(why.join(QStringLiteral("; "))));
            return 1;
        }
    } else {
        s.connectToHost(host, port);
        if (!s.waitForConnected(5000)) {
            std::fprintf(stderr, "veldrin-cmd: cannot connect to %s port %u: %s\n",
                         qPrintable(host), port, qPrintable(s.errorString()));
            return 1;
        }
    }
    s.write(password + "\n");
    QByteArray answer = readAnswer(s, 5000);
    if (answer != "OK") {
        std::printf("%s\n", answer.isEmpty() ? "ERROR No answer" : answer.constData());
        return 1;
    }
    int result = 0;
    if (stateQuery) {
        // One line per module, then "OK"; an error line ends the answer.
        s.write((QStringLiteral("?state ") + commands.value(1)).trimmed().toLatin1() + "\n");
        for (;;) {
            answer = readAnswer(s, 10000);
            if (answer == "OK") break;
            if (answer.isEmpty() || answer.startsWith("ERROR")) {
                std::printf("%s\n", answer.isEmpty() ? "ERROR No answer" : answer.constData());
                result = 1;
                break;
            }
            std::printf("%s\n", answer.constData());
        }
        commands.clear();
    }
    for (const QString& c : commands) {
        s.write(c.toLatin1() + "\n");
        answer = readAnswer(s, 10000);
        // EXIT ends the program before it can answer.
        if (answer.isEmpty() && c == QLatin1String("EXIT")) answer = "OK (program ended)";
        std::printf("%s: %s\n", qPrintable(c),
                    answer.isEmpty() ? "ERROR No answer" : answer.constData());
        if (!answer.startsWith("OK")) result = 1;
    }
    std::fflush(stdout);
    s.disconnectFromHost();
    return result;
}
