// veldrin-cmd: sends command words to a running Veldrin, or asks it for the
// state of the modules.
//   veldrin-cmd [--config FILE] [--host H] [--port P] [--password-file F]
//               [--tls [--ca FILE]] [--wait SECONDS]
//               [COMMAND...] [state [ADDRESS]] [schedule [on|off]]
// The command words go first, in their order, then the questions, over one
// connection: "state" lists the modules' states (or one module's),
// "schedule" lists the next firings of the schedule, and "schedule on|off"
// switches it on or off (the words "scheduleon", "scheduleoff").
// The listener's port comes from the calling user's settings, or with
// --config from the service's settings file, which gives its address, port
// and TLS too ([Startup] ListenAddress, ListenPort, TLSCertificate); --host,
// --port and --tls given as well win. The password comes from the first line
// of F, or from the environment variable VELDRIN_PASSWORD. With --tls the
// connection is encrypted and the server's certificate is verified against
// the CA certificates in FILE (PEM), or against the system's (and the
// service's own certificate when --config names one). Prints one line per
// answer; exits 0 when every command was answered "OK", 1 on an error answer,
// a refusal or a connection failure, 2 on wrong usage or a settings file
// that cannot be read. The password file is refused, as the service refuses
// it, when others may read it. --help prints the usage and exits 0.
// --wait SECONDS gives a service that is still starting that long: a
// listener that refuses the connection is tried again, and so is a command
// word answered "ERROR Interface not available" (the interface's first
// contact has not ended yet, or it is lost) or "ERROR Interface not
// answering", every half second.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>
#include <cstdio>
#include <optional>

#include "regularfile.h"
#include "remoteserver.h"
#include "secretfile.h"
#include "settingsfile.h"
#include "settingsstore.h"

namespace {

const char kUsage[] =
    "usage: veldrin-cmd [--config FILE] [--host H] [--port P] [--password-file F]\n"
    "                   [--tls [--ca FILE]] [--wait SECONDS]\n"
    "                   [COMMAND...] [state [ADDRESS]] [schedule [on|off]]\n"
    "  commands: 5on, 5of (unit 1 to 16 on, off), 5di07 (unit dimmed to level 00 to 10),\n"
    "            allo (all lights on), allf (all units off), alluf (all lights off),\n"
    "            housecodechangeB (house code A to P), scheduleon, scheduleoff, COFF,\n"
    "            ABORT, EXIT\n"
    "  state [ADDRESS]     the modules' states, or that of one module (A5)\n"
    "  schedule            the next firings of the schedule\n"
    "  schedule on|off     switches the schedule on or off\n"
    "  --wait SECONDS      tries the connection and commands the interface could not\n"
    "                      take yet again, for up to SECONDS\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// One thing to do on the connection: a command word, or a question ("?state
// A5", "?schedule") whose answer is lines up to "OK".
struct Step {
    QString word;
    bool question = false;
};

// The steps of the words after the options: command words first, then the
// questions (and "schedule on|off"); nullopt on wrong usage.
std::optional<QList<Step>> stepsOf(const QStringList& words) {
    QList<Step> steps;
    qsizetype i = 0;
    for (; i < words.size(); ++i) {
        if (words[i] == QLatin1String("state") || words[i] == QLatin1String("schedule")) break;
        steps.append({words[i], false});
    }
    while (i < words.size()) {
        const QString& w = words[i++];
        const QString next = i < words.size() ? words[i] : QString();
        const bool endsHere =
            next.isEmpty() || next == QLatin1String("state") || next == QLatin1String("schedule");
        if (w == QLatin1String("state")) {
            steps.append(
                {(QStringLiteral("?state ") + (endsHere ? QString() : next)).trimmed(), true});
        } else if (w == QLatin1String("schedule")) {
            if (!endsHere && next != QLatin1String("on") && next != QLatin1String("off"))
                return std::nullopt;
            steps.append(endsHere ? Step{QStringLiteral("?schedule"), true}
                                  : Step{QStringLiteral("schedule") + next, false});
        } else {
            return std::nullopt;  // a command word after a question
        }
        if (!endsHere) ++i;
    }
    if (steps.isEmpty()) return std::nullopt;
    return steps;
}

// The answer of a listener to a word its interpreter does not know.
const QByteArray kUnknownWord = "ERROR Unknown or malformed command";
// The answer to a command word while no interface answers.
const QByteArray kNoInterface = "ERROR Interface not available";
const QByteArray kNotAnswering = "ERROR Interface not answering";
// Between two tries of --wait: a connection costs the service nothing, a
// word it refuses costs a client line in its log.
constexpr unsigned long kConnectRetryMs = 100;
constexpr unsigned long kWordRetryMs = 500;

// Whether a word has one of the forms the interpreter knows (letter case and
// blanks count): unit 1 to 16 on, off or dimmed to level 00 to 10, a house
// code change to A to P, or one of the whole words.
bool knownForm(const QString& word) {
    static const QRegularExpression form(QStringLiteral(
        "^(?:(?:0?[1-9]|1[0-6])(?:on|of|di(?:0[0-9]|10))|housecodechange[A-Pa-p]|allo|allf|"
        "alluf|COFF|ABORT|EXIT|scheduleon|scheduleoff)$"));
    return form.match(word).hasMatch();
}

// The known word that a word not understood was most likely meant to be
// ("5of" for "5off", "allo" for "ALLO", "COFF" for "coff"); empty when none.
QString likelyMeant(const QString& word) {
    const QString w = word.trimmed();
    QStringList tries{w, w.toLower(), w.toUpper()};
    for (const QString& t : QStringList(tries))
        if (t.endsWith(QLatin1String("off"))) tries << t.chopped(1);
    for (const QString& t : std::as_const(tries))
        if (t != word && knownForm(t)) return t;
    return {};
}

// Says on standard error which forms exist, after a word the service did not know.
void explainForms(const QString& word) {
    const QString meant = likelyMeant(word);
    if (!meant.isEmpty())
        std::fprintf(stderr, "veldrin-cmd: did you mean \"%s\"?\n", qPrintable(meant));
    std::fprintf(stderr,
                 "veldrin-cmd: the command words are 5on and 5of (unit 1 to 16 on and off), "
                 "5di07 (unit 5 dimmed to level 00 to 10), allo (all lights on), allf (all "
                 "units off), alluf (all lights off), housecodechangeB (house code A to P), "
                 "scheduleon, scheduleoff, COFF, ABORT and EXIT; letter case counts\n");
}

// The first bytes of a TLS record (a handshake or an alert): what a TLS
// listener sends back to a client that speaks clear text.
bool looksLikeTls(const QByteArray& bytes) {
    return bytes.size() >= 2 && (bytes[0] == '\x15' || bytes[0] == '\x16') && bytes[1] == '\x03';
}

// Whether the listener at host:port answers a TLS handshake (with any
// certificate: only the protocol matters here).
bool speaksTls(const QString& host, quint16 port) {
    if (!QSslSocket::supportsSsl()) return false;
    QSslSocket probe;
    QSslConfiguration conf = probe.sslConfiguration();
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    probe.setSslConfiguration(conf);
    probe.connectToHostEncrypted(host, port);
    const bool encrypted = probe.waitForEncrypted(3000);
    probe.abort();
    return encrypted;
}

// What --config gives: the listener of the service that reads that file.
struct ServiceListener {
    QString host;
    std::optional<quint16> port;
    QString certificateFile;  // TLS when not empty
};

// Reads the listener's settings from the service's settings file; nothing
// (and a line on standard error) when the file is missing or cannot be read.
std::optional<ServiceListener> readServiceListener(const QString& path) {
    const QFileInfo info(path);
    if (platform::pathMissing(path)) {
        std::fprintf(stderr, "veldrin-cmd: the settings file %s does not exist\n",
                     qPrintable(path));
        return std::nullopt;
    }
    platform::setSettingsFileOverride(info.absoluteFilePath());
    if (const QString why = platform::settingsFileError(); !why.isEmpty()) {
        std::fprintf(stderr, "veldrin-cmd: cannot read the settings file %s: %s\n",
                     qPrintable(path), qPrintable(why));
        return std::nullopt;
    }
    // The listener's settings as the service reads them.
    const settings::Startup startup = settings::File::read().startup();
    ServiceListener l;
    // A listener on every address is reached on this computer's own.
    const QString& address = startup.listenAddress;
    const QHostAddress a(address);
    if (address.isEmpty() || a == QHostAddress::AnyIPv4 || a == QHostAddress::Any) {
        l.host = QStringLiteral("127.0.0.1");
    } else if (a == QHostAddress::AnyIPv6) {
        l.host = QStringLiteral("::1");
    } else {
        l.host = address;
    }
    // Port 0 is one the system picked: nothing here can tell which.
    if (startup.listenPort != 0) l.port = static_cast<quint16>(startup.listenPort);
    l.certificateFile = startup.tlsCertificate;
    platform::setSettingsFileOverride({});
    return l;
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

// Whether the listener at host:port speaks clear text: it answers an HTTP
// request line with a line of its own ("ERROR This port takes ..."), which
// it never counts as a password.
bool speaksClearText(const QString& host, quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(host, port);
    if (!probe.waitForConnected(3000)) return false;
    probe.write("GET / HTTP/1.0\r\n");
    const QByteArray answer = readAnswer(probe, 3000);
    probe.abort();
    return answer.startsWith("ERROR");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    std::optional<QString> host;
    std::optional<quint16> port;
    QString configFile;
    QString passwordFile;
    QString caFile;
    bool tls = false;
    int waitSeconds = 0;
    QStringList words;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == QLatin1String("--tls")) {
            tls = true;
        } else if ((a == QLatin1String("--host") || a == QLatin1String("--port") ||
                    a == QLatin1String("--password-file") || a == QLatin1String("--ca") ||
                    a == QLatin1String("--config") || a == QLatin1String("--wait")) &&
                   i + 1 < args.size()) {
            const QString v = args[++i];
            if (a == QLatin1String("--ca")) {
                caFile = v;
            } else if (a == QLatin1String("--config")) {
                configFile = v;
            } else if (a == QLatin1String("--host")) {
                host = v;
            } else if (a == QLatin1String("--wait")) {
                bool ok = false;
                waitSeconds = v.toInt(&ok);
                if (!ok || waitSeconds < 0 || waitSeconds > 3600) return usage();
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
            words.append(a);
        }
    }
    const std::optional<QList<Step>> steps = stepsOf(words);
    if (!steps || (!caFile.isEmpty() && !tls)) return usage();

    // Where the service listens: what the command line says, else the
    // service's settings file (--config), else the calling user's settings.
    QString serviceCertificate;
    if (!configFile.isEmpty()) {
        const std::optional<ServiceListener> l = readServiceListener(configFile);
        if (!l) return 2;
        if (!host) host = l->host;
        if (!port) port = l->port.value_or(RemoteServer::DefaultPort);
        if (!l->certificateFile.isEmpty()) {
            tls = true;
            serviceCertificate = l->certificateFile;
        }
    }
    if (!port) {
        const int stored = settings::File::read().startup().listenPort;
        port = stored != 0 ? static_cast<quint16>(stored) : RemoteServer::DefaultPort;
    }
    const QString hostName = host.value_or(QStringLiteral("127.0.0.1"));
    const quint16 portNumber = *port;

    QByteArray password = qgetenv("VELDRIN_PASSWORD");
    if (!passwordFile.isEmpty()) {
        // The service's own rules: a file only its owner may use, one line
        // the listener can take.
        platform::PasswordFileLimits limits;
        limits.maxLineBytes = RemoteServer::MaxLine;
        QString why;
        const std::optional<QString> line = platform::readPasswordFile(passwordFile, limits, &why);
        if (!line) {
            std::fprintf(stderr, "veldrin-cmd: %s\n", qPrintable(why));
            return 1;
        }
        password = line->toUtf8();
    }
    if (password.isEmpty()) {
        std::fprintf(stderr,
                     "veldrin-cmd: no password (use --password-file or VELDRIN_PASSWORD)\n");
        return 2;
    }

    const QDeadlineTimer waitEnds(waitSeconds * 1000LL);
    // A listener that refuses the connection is not there yet: with --wait
    // it is tried again until the time is up.
    const auto tryAgain = [&waitEnds](QSslSocket& socket) {
        if (socket.error() != QAbstractSocket::ConnectionRefusedError || waitEnds.hasExpired())
            return false;
        socket.abort();
        QThread::msleep(kConnectRetryMs);
        return true;
    };
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
        } else if (!serviceCertificate.isEmpty()) {
            // The service's own certificate is trusted besides the system's CAs,
            // so that a self-signed one works; one that cannot be read is skipped.
            const QList<QSslCertificate> own =
                QSslCertificate::fromPath(serviceCertificate, QSsl::Pem);
            QSslConfiguration conf = s.sslConfiguration();
            conf.addCaCertificates(own);
            s.setSslConfiguration(conf);
        }
        s.connectToHostEncrypted(hostName, portNumber);
        while (!s.waitForEncrypted(5000) && tryAgain(s))
            s.connectToHostEncrypted(hostName, portNumber);
        if (!s.isEncrypted()) {
            QStringList why;
            for (const QSslError& e : s.sslHandshakeErrors()) why << e.errorString();
            if (why.isEmpty() && speaksClearText(hostName, portNumber)) {
                std::fprintf(stderr, "veldrin-cmd: the server does not speak TLS: drop --tls\n");
                return 1;
            }
            if (why.isEmpty()) why << s.errorString();
            std::fprintf(stderr, "veldrin-cmd: no TLS connection to %s port %u: %s\n",
                         qPrintable(hostName), portNumber,
                         qPrintable(why.join(QStringLiteral("; "))));
            return 1;
        }
    } else {
        s.connectToHost(hostName, portNumber);
        while (!s.waitForConnected(5000) && tryAgain(s)) s.connectToHost(hostName, portNumber);
        if (s.state() != QAbstractSocket::ConnectedState) {
            std::fprintf(stderr, "veldrin-cmd: cannot connect to %s port %u: %s\n",
                         qPrintable(hostName), portNumber, qPrintable(s.errorString()));
            return 1;
        }
    }
    s.write(password + "\n");
    QByteArray answer = readAnswer(s, 5000);
    if (answer != "OK") {
        // A TLS listener answers clear text with a TLS alert, or with nothing
        // at all while it waits for the rest of a handshake.
        if (!tls &&
            (looksLikeTls(answer) || (answer.isEmpty() && speaksTls(hostName, portNumber)))) {
            std::fprintf(stderr, "veldrin-cmd: the server speaks TLS: add --tls\n");
            return 1;
        }
        std::printf("%s\n", answer.isEmpty() ? "ERROR No answer" : answer.constData());
        return 1;
    }
    int result = 0;
    for (const Step& step : *steps) {
        const QString& c = step.word;
        if (step.question) {
            // One line each, then "OK"; an error line ends the answer.
            s.write(c.toLatin1() + "\n");
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
            continue;
        }
        s.write(c.toLatin1() + "\n");
        answer = readAnswer(s, 10000);
        // Nothing was sent: with --wait the word is given again.
        while ((answer == kNoInterface || answer == kNotAnswering) && !waitEnds.hasExpired()) {
            QThread::msleep(kWordRetryMs);
            s.write(c.toLatin1() + "\n");
            answer = readAnswer(s, 10000);
        }
        // EXIT ends the program before it can answer.
        if (answer.isEmpty() && c == QLatin1String("EXIT")) answer = "OK (program ended)";
        std::printf("%s: %s\n", qPrintable(c),
                    answer.isEmpty() ? "ERROR No answer" : answer.constData());
        if (!answer.startsWith("OK")) result = 1;
        if (answer == kUnknownWord) explainForms(c);
    }
    std::fflush(stdout);
    s.disconnectFromHost();
    return result;
}
