// The listener on a real socket on 127.0.0.1 with an ephemeral port.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <optional>

#include "remoteserver.h"
#include "settingsfile.h"
#include "settingsstore.h"
#include "testenv.h"
#include "timebase.h"

namespace {

class Client {
  public:
    explicit Client(quint16 port) {
        s.connectToHost(QHostAddress::LocalHost, port);
        // A refused client may already be closed again when we look.
        testenv::pumpUntil([&] {
            return s.state() != QAbstractSocket::HostLookupState &&
                   s.state() != QAbstractSocket::ConnectingState;
        });
    }
    void send(const QByteArray& b) {
        s.write(b);
        s.flush();
    }
    // The next answer line, or "" when none arrives in time.
    QByteArray line(int ms = 3000) {
        testenv::pumpUntil([&] { return s.canReadLine(); }, ms);
        return s.canReadLine() ? s.readLine().trimmed() : QByteArray();
    }
    bool closedByServer(int ms = 3000) {
        return testenv::pumpUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; },
                                  ms);
    }
    QTcpSocket s;
};

class Listener : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoteServer::setTimeBaseForTests(true);
        RemoteServer::Hooks h;
        h.password = [this] { return password; };
        h.command = [this](const QString& c) {
            commands.append(c);
            return !refused.contains(c);
        };
        h.query = [this](const QString& q) -> std::optional<QStringList> {
            if (q != "?state" && q != "?schedule") return std::nullopt;
            return queryAnswer;
        };
        h.clientLog = [this](const QString& t, int) { clientLog.append(t); };
        h.eventLog = [this](const QString& t, platform::LogLevel level) {
            eventLog.append(t);
            eventLevels.append(level);
        };
        server = std::make_unique<RemoteServer>(h);
        QObject::connect(server.get(), &RemoteServer::clientCountChanged,
                         [this](int n) { counts.append(n); });
        ASSERT_TRUE(server->listen("127.0.0.1", 0));
        port = server->port();
    }
    void TearDown() override {
        platform::TimeBase::global().setScale(1.0);
        RemoteServer::setTimeBaseForTests(builtFollowsTimeBase);
    }
    const bool builtFollowsTimeBase = RemoteServer::followsTimeBase();

    QString password;
    QStringList commands, clientLog, eventLog;
    QList<platform::LogLevel> eventLevels;
    QStringList refused{"5off", "17on", "5di11",
                        "di05"};  // what the interpreter does not carry out
    QStringList queryAnswer{"line one", "line two"};
    QList<int> counts;
    std::unique_ptr<RemoteServer> server;
    quint16 port = 0;
};

// A client socket bound to a chosen loopback address (127.0.0.0/8 is all this
// computer), as a local process that wants to look like many would.
std::unique_ptr<QTcpSocket> connectFrom(const QString& address, quint16 port) {
    auto s = std::make_unique<QTcpSocket>();
    EXPECT_TRUE(s->bind(QHostAddress(address), 0)) << address.toStdString();
    s->connectToHost(QHostAddress::LocalHost, port);
    return s;
}

// Closes with a reset (SO_LINGER 0) instead of an orderly close.
void resetConnection(QTcpSocket& s) {
    const linger hard{1, 0};
    ::setsockopt(static_cast<int>(s.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    s.abort();
}

using testenv::makeCertificate;

// veldrin-cmd over TLS with password "pw", trusting ca: {exit code, output}.
std::pair<int, QString> runTls(quint16 port, const QStringList& args) {
    QProcess p;
    p.setEnvironment(QProcess::systemEnvironment() << "VELDRIN_PASSWORD=pw");
    p.start(testenv::binDir() + "/veldrin-cmd",
            QStringList{"--port", QString::number(port), "--tls"} + args);
    testenv::pumpUntil([&] { return p.state() == QProcess::NotRunning; }, 10000);
    return {p.exitCode(), QString::fromLatin1(p.readAllStandardOutput())};
}

struct CmdRun {
    int code = -1;
    QString out, err;
};

// veldrin-cmd with this password in the environment.
CmdRun runCmd(const QByteArray& password, const QStringList& args) {
    QProcess p;
    p.setEnvironment(QProcess::systemEnvironment() << "VELDRIN_PASSWORD=" + password);
    p.start(testenv::binDir() + "/veldrin-cmd", args);
    testenv::pumpUntil([&] { return p.state() == QProcess::NotRunning; }, 15000);
    return {p.exitCode(), QString::fromLatin1(p.readAllStandardOutput()),
            QString::fromLatin1(p.readAllStandardError())};
}

// A settings file of the service with these [Startup] lines.
QString serviceConfig(const QString& name, const QString& startup) {
    const QString path = testenv::configHome() + "/" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("; the service's settings\n[Startup]\n" + startup).toUtf8());
    return path;
}

}  // namespace

TEST_F(Listener, RefusesEveryoneWhileNoPasswordIsSet) {
    Client c(port);
    EXPECT_TRUE(c.line().startsWith("ERROR No connection password"));
    EXPECT_TRUE(c.closedByServer());
    EXPECT_EQ(server->clientCount(), 0);
    EXPECT_TRUE(counts.isEmpty());
    EXPECT_TRUE(commands.isEmpty());
}

TEST_F(Listener, GoodPasswordThenCommandsAreHandedOverUnchanged) {
    password = "s3cret";
    Client c(port);
    ASSERT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 1; }));
    c.send("s3cret\r\n");
    EXPECT_EQ(c.line(), "OK");
    c.send("5on\r\n 7of\nEXIT \n");
    EXPECT_EQ(c.line(), "OK");
    EXPECT_EQ(c.line(), "OK");
    EXPECT_EQ(c.line(), "OK");
    EXPECT_EQ(commands, QStringList({"5on", " 7of", "EXIT "}));
    EXPECT_FALSE(clientLog.join('\n').contains("s3cret")) << "the password must never be logged";
    EXPECT_TRUE(clientLog.join('\n').contains("authenticated"));
    c.s.disconnectFromHost();
    ASSERT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 0; }));
    EXPECT_EQ(counts, QList<int>({1, 0}));
}

TEST_F(Listener, WrongPasswordRefusesAndTheDelayGrows) {
    password = "right";
    platform::TimeBase::global().setScale(4.0);  // a logical second is 250 ms
    {
        Client c(port);
        c.send("wrong\n");
        EXPECT_EQ(c.line(), "ERROR Wrong password");
        EXPECT_TRUE(c.closedByServer());
    }
    {
        Client c(port);  // at once: refused without a chance to try
        EXPECT_TRUE(c.line().startsWith("ERROR Too many wrong passwords"));
        EXPECT_TRUE(c.closedByServer());
    }
    testenv::pump(300);  // the first delay is one (logical) second
    {
        Client c(port);
        c.send("Right\n");  // case matters
        EXPECT_EQ(c.line(), "ERROR Wrong password");
    }
    testenv::pump(300);  // the second delay is two seconds: still waiting
    {
        Client c(port);
        EXPECT_TRUE(c.line().startsWith("ERROR Too many wrong passwords"));
    }
    testenv::pump(250);
    {
        Client c(port);
        c.send("right\n");
        EXPECT_EQ(c.line(), "OK");
    }
    EXPECT_TRUE(commands.isEmpty());
    EXPECT_FALSE(clientLog.join('\n').contains("wrong\n"));
}

TEST_F(Listener, PasswordGuessesShareOneBudgetWhateverTheAddressOrConnection) {
    password = "right";
    // Logical time all but stands still during the burst: the budget cannot refill.
    platform::TimeBase::global().setScale(0.001);
    std::vector<std::unique_ptr<QTcpSocket>> guessers;
    for (int i = 0; i < 20; ++i) guessers.push_back(connectFrom("127.0.0.41", port));
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return std::all_of(guessers.begin(), guessers.end(), [](const auto& s) {
            return s->state() != QAbstractSocket::ConnectingState;
        });
    }));
    for (int a = 2; a <= 40; ++a) {
        guessers.push_back(connectFrom(QStringLiteral("127.0.0.%1").arg(a), port));
        guessers.back()->write("guess\n");
    }
    for (int i = 0; i < 20; ++i) guessers[i]->write("guess\n");
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return std::all_of(guessers.begin(), guessers.end(), [](const auto& s) {
            return s->state() == QAbstractSocket::UnconnectedState;
        });
    }));
    for (const auto& s : guessers) EXPECT_TRUE(s->readLine().startsWith("ERROR"));
    EXPECT_GE(server->passwordComparisons(), 1);
    EXPECT_LE(server->passwordComparisons(), RemoteServer::GuessBurst);

    // The burst is over: a few logical seconds later the right password works.
    platform::TimeBase::global().setScale(50);
    testenv::pump(100);
    Client c(port);
    c.send("right\n");
    EXPECT_EQ(c.line(), "OK");
}

TEST_F(Listener, RightPasswordsCostNothingButAnEmptyBudgetRefusesThemUncompared) {
    password = "right";
    platform::TimeBase::global().setScale(0.001);  // the budget cannot refill meanwhile
    for (int i = 0; i < 20; ++i) {
        Client c(port);
        c.send("right\n");
        ASSERT_EQ(c.line(), "OK") << "login " << i + 1;
    }
    // Wrong guesses from fresh addresses still spend the whole burst ...
    for (int i = 0; i < RemoteServer::GuessBurst; ++i) {
        const auto s = connectFrom(QStringLiteral("127.0.0.%1").arg(50 + i), port);
        s->write("guess\n");
        ASSERT_TRUE(testenv::pumpUntil([&] { return s->canReadLine(); }));
        EXPECT_EQ(s->readLine().trimmed(), "ERROR Wrong password");
    }
    // ... after which even the right password is refused, and not compared.
    const qint64 compared = server->passwordComparisons();
    EXPECT_EQ(compared, 20 + RemoteServer::GuessBurst);
    const auto late = connectFrom("127.0.0.60", port);
    late->write("right\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return late->canReadLine(); }));
    EXPECT_TRUE(late->readLine().startsWith("ERROR Too many password attempts"));
    EXPECT_EQ(server->passwordComparisons(), compared);
}

TEST_F(Listener, NoSixtySecondWindowComparesMoreThanFiftyFivePasswords) {
    password = "right";
    platform::TimeBase& tb = platform::TimeBase::global();
    tb.setScale(60.0);
    // A fresh address for every guess, as fast as the server answers, for
    // two logical minutes; the logical time of every comparison.
    QList<qint64> compared;
    const qint64 start = tb.nowMs();
    for (int n = 0; tb.nowMs() - start < 125000; ++n) {
        const qint64 before = server->passwordComparisons();
        const auto s =
            connectFrom(QStringLiteral("127.1.%1.%2").arg(n / 250).arg(1 + n % 250), port);
        s->write("guess\n");
        ASSERT_TRUE(testenv::pumpUntil([&] { return s->canReadLine(); }));
        if (server->passwordComparisons() > before) compared.append(tb.nowMs());
    }
    int most = 0;
    for (qsizetype i = 0; i < compared.size(); ++i) {
        qsizetype j = i;
        while (j < compared.size() && compared[j] - compared[i] <= 60000) ++j;
        most = std::max(most, static_cast<int>(j - i));
    }
    EXPECT_LE(most, 55);
    EXPECT_GE(most, 50);  // the guesses did use the budget
}

TEST_F(Listener, ReleaseBuildsKeepPenaltiesInRealTimeWhateverTheTimeScale) {
#ifdef NDEBUG
    EXPECT_FALSE(builtFollowsTimeBase);
#endif
    RemoteServer::setTimeBaseForTests(false);
    password = "right";
    platform::TimeBase::global().setScale(1000.0);  // a logical second lasts a millisecond
    {
        Client c(port);
        c.send("wrong\n");
        EXPECT_EQ(c.line(), "ERROR Wrong password");
    }
    testenv::pump(100);  // far less than the one-second delay
    Client c(port);
    EXPECT_TRUE(c.line().startsWith("ERROR Too many wrong passwords"));
}

TEST_F(Listener, ThePenaltyTableStaysBounded) {
    password = "right";
    const int addresses = RemoteServer::MaxPenalties + 40;
    QString last;
    for (int i = 0; i < addresses; ++i) {
        last = QStringLiteral("127.0.%1.%2").arg(1 + i / 200).arg(1 + i % 200);
        const auto s = connectFrom(last, port);
        s->write("guess\n");
        ASSERT_TRUE(
            testenv::pumpUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; }));
    }
    EXPECT_EQ(server->penaltyCount(), RemoteServer::MaxPenalties);
    // The newest address is still remembered.
    const auto again = connectFrom(last, port);
    ASSERT_TRUE(testenv::pumpUntil([&] { return again->canReadLine(); }));
    EXPECT_TRUE(again->readLine().startsWith("ERROR Too many wrong passwords"));
}

TEST_F(Listener, LimitsDropOverlongLinesAndTheSeventeenthClient) {
    password = "pw";
    platform::TimeBase::global().setScale(50.0);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < RemoteServer::MaxClients; ++i) {
        testenv::pump(25);  // leave the password budget a token for each
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->send("pw\n");
        ASSERT_EQ(clients.back()->line(), "OK") << i;
    }
    Client extra(port);  // every slot is held by a logged-in client
    EXPECT_EQ(extra.line(), "ERROR Too many clients");
    EXPECT_TRUE(extra.closedByServer());
    EXPECT_EQ(server->clientCount(), 16);

    clients[0]->send(QByteArray(300, 'x') + "\n");
    EXPECT_EQ(clients[0]->line(), "ERROR Line longer than 256 bytes");
    EXPECT_TRUE(clients[0]->closedByServer());
    EXPECT_EQ(server->clientCount(), 15);
    EXPECT_TRUE(commands.isEmpty());
}

// A web page fetching http://host:7410/ once a second, or a TLS client on the
// plain port, spent the password budget and locked the address out.
TEST_F(Listener, OnlyALoginIsAGuessNotAnHttpRequestOrATlsHello) {
    password = "pw";
    platform::TimeBase::global().setScale(0.001);  // no timeout fires; one log window
    for (int i = 0; i < 5; ++i) {
        Client http(port);
        http.send("GET / HTTP/1.1\r\nHost: 127.0.0.1:7410\r\n\r\n");
        EXPECT_TRUE(http.line().startsWith("ERROR")) << i;
        EXPECT_TRUE(http.closedByServer()) << i;
        Client tls(port);
        tls.send(QByteArray::fromHex("16030100a5010000a10303"));  // a ClientHello begins
        EXPECT_TRUE(tls.closedByServer()) << i;
    }
    EXPECT_EQ(server->passwordComparisons(), 0);
    EXPECT_EQ(server->penaltyCount(), 0);
    Client login(port);
    login.send("pw\n");
    EXPECT_EQ(login.line(), "OK");
    EXPECT_EQ(clientLog.filter("HTTP").size(), 1) << clientLog.join('\n').toStdString();
    EXPECT_EQ(clientLog.filter("TLS handshake").size(), 1);
}

// Every refused login wrote a line: thousands a second under a flood.
TEST_F(Listener, RefusalsWriteOneLineASecondPerReason) {
    platform::TimeBase::global().setScale(0.001);  // the whole burst falls in one second
    for (int i = 0; i < 10; ++i) {
        Client c(port);
        EXPECT_TRUE(c.line().startsWith("ERROR No connection password"));
    }
    password = "right";
    for (int i = 0; i < 10; ++i) {
        Client c(port);
        c.send("wrong\n");
        EXPECT_TRUE(c.line().startsWith("ERROR")) << i;
    }
    EXPECT_EQ(clientLog.filter("no connection password").size(), 1);
    EXPECT_EQ(clientLog.filter("dropped: wrong password").size(), 1);
    EXPECT_EQ(clientLog.filter("wrong password tried too recently").size(), 1);
}

TEST_F(Listener, IdleConnectionsCannotLockOutAPromptClient) {
    password = "pw";
    Client a(port), b(port);
    a.send("pw\n");
    b.send("pw\n");
    EXPECT_EQ(a.line(), "OK");
    EXPECT_EQ(b.line(), "OK");
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 20; ++i) idle.push_back(connectFrom("127.0.0.50", port));
    testenv::pump(100);
    EXPECT_LE(server->clientCount(), 2 + RemoteServer::MaxPending);
    Client prompt(port);
    prompt.send("pw\n");
    EXPECT_EQ(prompt.line(), "OK");
    EXPECT_EQ(a.s.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(b.s.state(), QAbstractSocket::ConnectedState);
}

TEST_F(Listener, ClientsWithoutAPasswordAreDroppedAfterTenSeconds) {
    password = "pw";
    platform::TimeBase::global().setScale(50.0);
    const auto idle = connectFrom("127.0.0.9", port);
    Client active(port);
    active.send("pw\n");
    EXPECT_EQ(active.line(), "OK");
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return idle->state() == QAbstractSocket::UnconnectedState; }, 3000));
    EXPECT_EQ(server->clientCount(), 1);
    // The silence counted as a wrong guess for that address.
    platform::TimeBase::global().setScale(0.001);
    const auto again = connectFrom("127.0.0.9", port);
    ASSERT_TRUE(testenv::pumpUntil([&] { return again->canReadLine(); }));
    EXPECT_TRUE(again->readLine().startsWith("ERROR Too many wrong passwords"));

    platform::TimeBase::global().setScale(50.0);
    testenv::pump(300);  // an authenticated client stays however long it is idle
    EXPECT_EQ(active.s.state(), QAbstractSocket::ConnectedState);
}

TEST_F(Listener, DropAllClosesEveryConnection) {
    password = "pw";
    Client a(port), b(port);
    a.send("pw\n");
    EXPECT_EQ(a.line(), "OK");
    ASSERT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 2; }));
    server->dropAll();
    EXPECT_EQ(server->clientCount(), 0);
    EXPECT_EQ(counts.last(), 0);
    EXPECT_TRUE(a.closedByServer());
    EXPECT_TRUE(b.closedByServer());
    // Still listening afterwards.
    Client c(port);
    c.send("pw\n");
    EXPECT_EQ(c.line(), "OK");
}

TEST_F(Listener, PortInUseOrBadAddressIsLoggedWithTheReason) {
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 0));
    EXPECT_FALSE(server->listen("127.0.0.1", busy.serverPort()));
    ASSERT_EQ(eventLog.size(), 1);
    EXPECT_TRUE(eventLog[0].contains(QString::number(busy.serverPort())));
    EXPECT_FALSE(server->isListening());
    EXPECT_FALSE(server->listen("not an address", 7410));
    EXPECT_EQ(eventLog.size(), 2);
}

TEST_F(Listener, RandomBytesNeverLeaveClientsBehind) {
    password = "pw";
    QRandomGenerator rng(4242);
    for (int round = 0; round < 40; ++round) {
        Client c(port);
        QByteArray junk(static_cast<int>(rng.bounded(600)), Qt::Uninitialized);
        for (auto& ch : junk) ch = static_cast<char>(rng.bounded(256));
        if (round % 3 == 0) junk.prepend("pw\n");
        c.send(junk);
        testenv::pump(5);
    }
    // Every client has gone (each closed its end); the count follows.
    ASSERT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 0; }));
    EXPECT_EQ(counts.last(), 0);
    EXPECT_TRUE(server->isListening());
}

TEST_F(Listener, CommandLineClientSendsPasswordAndCommands) {
    password = "pw file";
    const QString pwFile = testenv::configHome() + "/pw.txt";
    QFile f(pwFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("pw file\n");
    f.close();
    const QStringList args{"--port", QString::number(port), "--password-file", pwFile, "5on",
                           "allo"};
    // A file others may read is refused, as the service refuses it.
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    const CmdRun open = runCmd("", args);
    EXPECT_EQ(open.code, 1);
    EXPECT_TRUE(open.err.contains("may be read or written by others")) << open.err.toStdString();
    EXPECT_TRUE(commands.isEmpty());

    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    const CmdRun r = runCmd("", args);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "5on: OK\nallo: OK\n");
    EXPECT_EQ(commands, QStringList({"5on", "allo"}));
}

// --help lists every word; several words and questions go in one call, the
// words first.
TEST_F(Listener, CommandLineClientHelpAndSeveralWordsInOneCall) {
    const CmdRun help = runCmd("", {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* word :
         {"5on", "5of", "5di07", "allo", "allf", "alluf", "housecodechangeB", "scheduleon",
          "scheduleoff", "COFF", "ABORT", "EXIT", "state", "schedule [on|off]"})
        EXPECT_TRUE(help.out.contains(word)) << word;

    password = "pw";
    const QString p = QString::number(port);
    const CmdRun r = runCmd("pw", {"--port", p, "5on", "allo", "state", "schedule", "off"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "5on: OK\nallo: OK\nline one\nline two\nscheduleoff: OK\n");
    EXPECT_EQ(commands, QStringList({"5on", "allo", "scheduleoff"}));
    EXPECT_EQ(runCmd("pw", {"--port", p, "state", "A5", "6on"}).code, 2);
}

TEST_F(Listener, CommandLineClientSwitchesAndListsTheSchedule) {
    password = "pw";
    const QString p = QString::number(port);
    CmdRun r = runCmd("pw", {"--port", p, "schedule", "off"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "scheduleoff: OK\n");
    r = runCmd("pw", {"--port", p, "schedule"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "line one\nline two\n");
    for (const QStringList& wrong :
         {QStringList{"schedule", "maybe"}, QStringList{"schedule", "on", "now"}})
        EXPECT_EQ(runCmd("pw", QStringList{"--port", p} + wrong).code, 2);
    EXPECT_EQ(commands, QStringList({"scheduleoff"}));
}

TEST_F(Listener, WordsNotCarriedOutAreErrorsAndTheClientStays) {
    password = "pw";
    Client c(port);
    c.send("pw\n");
    EXPECT_EQ(c.line(), "OK");
    c.send("5off\n17on\n5di11\ndi05\n5on\n");
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(c.line().startsWith("ERROR")) << i;
    EXPECT_EQ(c.line(), "OK");
    // A query never reaches the interpreter: its lines, then OK.
    c.send("?state\n?other\n");
    EXPECT_EQ(c.line(), "line one");
    EXPECT_EQ(c.line(), "line two");
    EXPECT_EQ(c.line(), "OK");
    EXPECT_TRUE(c.line().startsWith("ERROR"));
    EXPECT_EQ(c.s.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(commands, QStringList({"5off", "17on", "5di11", "di05", "5on"}));

    // The command-line client reports the refusal and exits non-zero.
    const QString pwFile = testenv::configHome() + "/pw2.txt";
    QFile f(pwFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("pw\n");
    f.close();
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    QProcess p;
    p.start(testenv::binDir() + "/veldrin-cmd",
            {"--port", QString::number(port), "--password-file", pwFile, "5off", "5on"});
    ASSERT_TRUE(testenv::pumpUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(p.exitCode(), 1);
    const QString out = QString::fromLatin1(p.readAllStandardOutput());
    EXPECT_TRUE(out.startsWith("5off: ERROR")) << out.toStdString();
    EXPECT_TRUE(out.endsWith("5on: OK\n")) << out.toStdString();
    // The client says which forms exist, and what the word was likely meant to be.
    const QString err = QString::fromLatin1(p.readAllStandardError());
    EXPECT_TRUE(err.startsWith("veldrin-cmd: did you mean \"5of\"?\n")) << err.toStdString();
    EXPECT_TRUE(err.contains("5di07")) << err.toStdString();
}

TEST_F(Listener, PasswordChangeEndsOldSessionsAndUnreadRepliesAreBounded) {
    password = "old";
    Client a(port), b(port);
    a.send("old\n");
    b.send("old\n");
    EXPECT_EQ(a.line(), "OK");
    EXPECT_EQ(b.line(), "OK");
    password = "new";
    b.send("5on\n");  // before anyone said the password changed
    EXPECT_TRUE(b.closedByServer());
    EXPECT_FALSE(commands.contains("5on"));
    server->endStaleSessions();
    EXPECT_TRUE(a.closedByServer());
    Client c(port);
    c.send("new\n");
    EXPECT_EQ(c.line(), "OK");
    server->endStaleSessions();
    EXPECT_EQ(server->clientCount(), 1);

    // A client that asks and never reads: dropped once its replies pile up.
    queryAnswer = QStringList(100, QString(1000, 'x'));
    c.s.setReadBufferSize(1);  // this end stops reading
    QByteArray asks;
    for (int i = 0; i < 400; ++i) asks += "?state\n";
    c.send(asks);
    EXPECT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 0; }, 10000));
    EXPECT_TRUE(clientLog.join('\n').contains("unread")) << clientLog.join('\n').toStdString();
}

TEST_F(Listener, TlsWithACertificateTheTestMakes) {
    const QString dir = testenv::configHome();
    const auto [cert, key] = makeCertificate("tls");

    password = "pw";
    ASSERT_TRUE(server->listen("127.0.0.1", 0, {cert, key}));
    EXPECT_TRUE(server->isEncrypted());
    port = server->port();
    EXPECT_EQ(runTls(port, {"--ca", cert, "5on"}), std::make_pair(0, QString("5on: OK\n")));
    EXPECT_EQ(runTls(port, {"6on"}).first, 1);  // not signed by a CA this computer trusts
    {
        Client plain(port);  // clear text gets no session
        plain.send("pw\n7on\n");
        EXPECT_NE(plain.line(1000), "OK");
    }
    EXPECT_EQ(commands, QStringList{"5on"});
    EXPECT_TRUE(eventLog.isEmpty());

    // Beyond loopback: clear text warns once, TLS does not.
    ASSERT_TRUE(server->listen("0.0.0.0", 0));
    ASSERT_EQ(eventLog.size(), 1);
    EXPECT_TRUE(eventLog[0].contains("without TLS"));
    EXPECT_EQ(eventLevels[0], platform::LogLevel::Warning);
    ASSERT_TRUE(server->listen("0.0.0.0", 0, {cert, key}));
    EXPECT_EQ(eventLog.size(), 1);

    // A key that cannot be used: a clear line, and no listener at all.
    EXPECT_FALSE(server->listen("127.0.0.1", 0, {cert, cert}));
    EXPECT_FALSE(server->isListening());
    ASSERT_EQ(eventLog.size(), 2);
    EXPECT_TRUE(
        eventLog[1].startsWith("Remote control not started: no unencrypted PEM private key"))
        << eventLog[1].toStdString();
    EXPECT_FALSE(server->listen("127.0.0.1", 0, {dir + "/missing.pem", key}));
    EXPECT_TRUE(eventLog.last().contains("no PEM certificate"));

    // The key of another certificate of the same kind: refused in one line.
    const auto [otherCert, otherKey] = makeCertificate("other");
    eventLog.clear();
    EXPECT_FALSE(server->listen("127.0.0.1", 0, {cert, otherKey}));
    EXPECT_FALSE(server->isListening());
    ASSERT_EQ(eventLog.size(), 1);
    EXPECT_EQ(eventLog[0], QString("Remote control not started: the TLS key %1 does not belong to "
                                   "the certificate %2")
                               .arg(otherKey, cert));
    EXPECT_EQ(eventLevels.last(), platform::LogLevel::Error);
    EXPECT_TRUE(server->listen("127.0.0.1", 0, {otherCert, otherKey}));
}

TEST_F(Listener, CommandLineClientFindsTheServiceThroughItsSettingsFile) {
    password = "a longer password";
    // Every address and a port of its own: the client goes to loopback on that port.
    const QString plain =
        serviceConfig("plain.conf", QString("ListenAddress=0.0.0.0\nListenPort=%1\n").arg(port));
    const CmdRun a = runCmd(password.toUtf8(), {"--config", plain, "5on"});
    EXPECT_EQ(a.code, 0) << a.err.toStdString();
    EXPECT_EQ(a.out, "5on: OK\n");
    const CmdRun missing = runCmd("x", {"--config", plain + ".missing", "5on"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains(plain + ".missing")) << missing.err.toStdString();

    // A certificate in the file means TLS, and that certificate is trusted.
    const auto [cert, key] = makeCertificate("cmd");
    platform::TimeBase::global().setScale(10.0);  // the handshake timeout is a second
    ASSERT_TRUE(server->listen("127.0.0.1", 0, {cert, key}));
    const QString tls = serviceConfig("tls.conf", QString("ListenPort=%1\nTLSCertificate=%2\n"
                                                          "TLSKey=%3\n")
                                                      .arg(server->port())
                                                      .arg(cert, key));
    const CmdRun b = runCmd(password.toUtf8(), {"--config", tls, "6on"});
    EXPECT_EQ(b.code, 0) << b.err.toStdString();
    EXPECT_EQ(b.out, "6on: OK\n");

    // Clear text against it, whether the listener answers with a TLS alert
    // (a long password) or waits for the rest of a handshake (a short one).
    const qint64 compared = server->passwordComparisons();
    for (const QByteArray& pw : {password.toUtf8(), QByteArray("pw")}) {
        const CmdRun c = runCmd(pw, {"--port", QString::number(server->port()), "7on"});
        EXPECT_EQ(c.code, 1);
        EXPECT_EQ(c.err, "veldrin-cmd: the server speaks TLS: add --tls\n") << pw.constData();
        EXPECT_EQ(c.out, "");
    }
    // A handshake that failed before any password spent no guess.
    EXPECT_EQ(server->penaltyCount(), 0);
    EXPECT_EQ(server->passwordComparisons(), compared);
    EXPECT_EQ(commands, QStringList({"5on", "6on"}));
}

TEST_F(Listener, CommandLineClientReadsTheListenPortAsTheServiceDoes) {
    password = "pw";
    const QString config = serviceConfig("fraction.conf", QString("ListenPort=%1.0\n").arg(port));
    platform::setSettingsFileOverride(config);
    const int servicePort = settings::File::read().startup().listenPort;  // what the service binds
    platform::setSettingsFileOverride({});
    EXPECT_EQ(servicePort, port);
    const CmdRun r = runCmd("pw", {"--config", config, "5on"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(commands, QStringList{"5on"});
}

// --tls against a listener without TLS: the client says so, and its
// handshake spent no guess (the right password works at once after it).
TEST_F(Listener, CommandLineClientWithTlsAgainstAPlainListenerIsToldToDropIt) {
    password = "pw";
    const CmdRun r = runCmd("pw", {"--port", QString::number(port), "--tls", "5on"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "veldrin-cmd: the server does not speak TLS: drop --tls\n");
    EXPECT_EQ(server->passwordComparisons(), 0);
    EXPECT_EQ(server->penaltyCount(), 0);
    EXPECT_EQ(runCmd("pw", {"--port", QString::number(port), "5on"}).out, "5on: OK\n");
}

TEST_F(Listener, PlainAndSilentConnectionsNeverStallTheTlsListener) {
    const auto [cert, key] = makeCertificate("stall");
    password = "pw";
    platform::TimeBase::global().setScale(10.0);  // the handshake timeout is a second
    ASSERT_TRUE(server->listen("127.0.0.1", 0, {cert, key}));
    port = server->port();
    // Plain connections that sit in their handshake a moment, then close or
    // send clear text.
    std::vector<std::unique_ptr<QTcpSocket>> plain;
    for (int i = 0; i < 25; ++i) {
        plain.push_back(connectFrom("127.0.0.60", port));
        ASSERT_TRUE(testenv::pumpUntil(
            [&] { return plain.back()->state() == QAbstractSocket::ConnectedState; }, 3000));
    }
    testenv::pump(200);
    for (size_t i = 0; i < plain.size(); ++i) {
        if (i % 2 == 0) {
            plain[i]->abort();
        } else {
            plain[i]->write("pw\n7on\n");  // a client without TLS
            plain[i]->flush();
        }
    }
    testenv::pump(200);
    EXPECT_EQ(server->handshakeCount(), 0);  // each failure freed its place at once
    EXPECT_EQ(runTls(port, {"--ca", cert, "5on"}), std::make_pair(0, QString("5on: OK\n")));
    EXPECT_TRUE(clientLog.join('\n').contains("TLS handshake with 127.0.0.60 failed"));

    // More silent handshakes than the bound: the oldest make room, a prompt
    // client gets in at once, and the rest go at their timeout.
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < RemoteServer::MaxHandshakes + 10; ++i)
        silent.push_back(connectFrom("127.0.0.61", port));
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return server->handshakeCount() == RemoteServer::MaxHandshakes; }, 3000));
    EXPECT_EQ(runTls(port, {"--ca", cert, "6on"}), std::make_pair(0, QString("6on: OK\n")));
    EXPECT_TRUE(testenv::pumpUntil([&] { return server->handshakeCount() == 0; }, 3000));
    EXPECT_EQ(commands, QStringList({"5on", "6on"}));
}

TEST_F(Listener, AClientResetWhileItsAnswersAreWrittenIsDroppedAndTheServerGoesOn) {
    password = "pw";
    QByteArray asks;
    for (int i = 0; i < 20000; ++i) asks += "?state\n";
    for (int round = 0; round < 3; ++round) {
        Client c(port);
        c.send("pw\n");
        ASSERT_EQ(c.line(), "OK");
        c.send(asks);
        resetConnection(c.s);
        ASSERT_TRUE(testenv::pumpUntil([&] { return server->clientCount() == 0; }, 10000));
    }
    Client next(port);
    next.send("pw\n?state\n");
    EXPECT_EQ(next.line(), "OK");
    EXPECT_EQ(next.line(), "line one");
    EXPECT_EQ(next.line(), "line two");
    EXPECT_EQ(next.line(), "OK");
}
