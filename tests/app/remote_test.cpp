// The remote-control listener in the real window: a socket on 127.0.0.1 at
// the port the window bound, the control talking to the two-way emulator.
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include "appfixture.h"
#include "clicklabel.h"
#include "frmlogin.h"
#include "linecommands.h"
#include "remoteserver.h"

namespace {

class Remote : public AppTest {
  protected:
    // The refusal delays follow the fast time base here.
    void SetUp() override {
        AppTest::SetUp();
        RemoteServer::setTimeBaseForTests(true);
    }
    void TearDown() override {
        AppTest::TearDown();
        RemoteServer::setTimeBaseForTests(builtFollowsTimeBase);
    }
    const bool builtFollowsTimeBase = RemoteServer::followsTimeBase();
    QByteArray exchange(QTcpSocket& s, const QByteArray& line) {
        s.write(line);
        testenv::pumpUntil([&] { return s.canReadLine(); }, 3000);
        return s.canReadLine() ? s.readLine().trimmed() : QByteArray();
    }
    void open(QTcpSocket& s) {
        s.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(window->lLocalPort));
        testenv::pumpUntil([&] {
            return s.state() != QAbstractSocket::ConnectingState &&
                   s.state() != QAbstractSocket::HostLookupState;
        });
    }
    QStringList clientLog() const {
        QStringList out;
        for (int i = 0; i < window->lstClients->count(); ++i)
            out << window->lstClients->item(i)->text();
        return out;
    }
};

}  // namespace

TEST_F(Remote, PasswordThenCommandsSwitchTheHouseAndTheDisplaysFollow) {
    auto& sim = twoWayOn();
    load();
    ASSERT_GT(window->lLocalPort, 0);
    {
        QTcpSocket s;  // no password set yet: refused
        open(s);
        EXPECT_TRUE(exchange(s, "").startsWith("ERROR No connection password"));
    }
    window->service().setPassword("Open Sesame");
    {
        QTcpSocket s;
        open(s);
        EXPECT_EQ(exchange(s, "open sesame\n"), "ERROR Wrong password");
    }
    platform::TimeBase::global().setScale(1000);  // let the refusal delay run out
    testenv::pump(100);
    platform::TimeBase::global().setScale(kScale);
    sim.clearRecords();

    QTcpSocket s;
    open(s);
    ASSERT_TRUE(testenv::pumpUntil([&] { return window->iCClients == 1; }));
    EXPECT_TRUE(window->connected);
    EXPECT_EQ(window->l_con_status->text(), "Clients Connected: 1");
    EXPECT_TRUE(window->windowTitle().endsWith(") - 1"));
    EXPECT_EQ(exchange(s, "Open Sesame\r\n"), "OK");
    EXPECT_EQ(exchange(s, "5on\r\n"), "OK");
    ASSERT_TRUE(testenv::pumpUntil([&] { return sim.framedOnly().size() >= 2; }));
    const auto frames = sim.framedOnly();
    ASSERT_GE(frames.size(), 2);
    EXPECT_EQ(frames[0].bytes, QByteArray("\x04\x61", 2));
    EXPECT_EQ(frames[1].bytes, QByteArray("\x06\x62", 2));
    EXPECT_EQ(window->service().pad().selectedUnit(), 5);

    const QString log = clientLog().join('\n');
    EXPECT_TRUE(log.contains("-->Client 2: 5on")) << log.toStdString();
    EXPECT_FALSE(log.contains("Sesame")) << "the password must never be logged";

    // A click on the connection label drops everybody.
    window->endall();
    EXPECT_TRUE(testenv::pumpUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(window->iCClients, 0);
    EXPECT_FALSE(window->connected);
    EXPECT_EQ(window->l_con_status->text(), "No Clients Connected");
    EXPECT_TRUE(window->windowTitle().endsWith(") - 0"));
}

TEST_F(Remote, WordsNotCarriedOutAreErrorsAndANewPasswordEndsTheSession) {
    twoWayOn();
    load();
    window->service().setPassword("pw");
    QTcpSocket s;
    open(s);
    EXPECT_EQ(exchange(s, "pw\n"), "OK");
    for (const char* word : {"5off\n", "17on\n", "5di11\n", "di05\n", "housecodechangeZ\n"})
        EXPECT_TRUE(exchange(s, word).startsWith("ERROR")) << word;
    EXPECT_EQ(window->service().houseCode(), "A");
    EXPECT_EQ(exchange(s, "housecodechangeb\n"), "OK");
    EXPECT_EQ(window->service().houseCode(), "b");

    window->mnuPass_Click();
    ASSERT_TRUE(window->loginBox);
    window->loginBox->txtPAS->setText("new");
    window->loginBox->txtCon->setText("new");
    window->loginBox->cmdOK_Click();
    EXPECT_TRUE(testenv::pumpUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(window->iCClients, 0);
}

TEST_F(Remote, ALineBufferedDuringAMessageBoxIsAnsweredWithoutMoreBytes) {
    auto& cp = cp290On(1);
    setStartup("Interface", "True");
    load();
    cp.setSilent(true);  // every direct command ends in the "no reply" box
    window->service().setPassword("pw");
    QTcpSocket s;
    open(s);
    EXPECT_EQ(exchange(s, "pw\n"), "OK");
    bool sent = false;
    dialogs.onMessage = [&] {
        if (sent) return;
        sent = true;
        // The next line arrives while the box of the first command is open.
        s.write("6on\n");
        s.flush();
        testenv::pump(50);
    };
    EXPECT_EQ(exchange(s, "5on\n"), "OK");
    ASSERT_TRUE(sent);
    ASSERT_TRUE(testenv::pumpUntil([&] { return s.canReadLine(); }, 3000));
    EXPECT_EQ(s.readLine().trimmed(), "OK");
    EXPECT_EQ(dialogs.messages.size(), 2);
}

TEST_F(Remote, ExitSavesTheSettingsAndEnds) {
    twoWayOn();
    load();
    window->service().setPassword("pw");
    window->service().setHouseCode("F");
    QTcpSocket s;
    open(s);
    EXPECT_EQ(exchange(s, "pw\n"), "OK");
    s.write("EXIT\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return exits == 1; }));
    EXPECT_EQ(startup("HouseCode"), "F");
}

TEST_F(Remote, ListeningPortMenuValidatesSavesAndRestarts) {
    load();
    const int before = window->lLocalPort;
    dialogs.answers = QStringList{"0", "65536", "x"};
    for (int i = 0; i < 3; ++i) window->mnuServerPort_Click();
    ASSERT_EQ(dialogs.messages.size(), 3);
    EXPECT_EQ(dialogs.messages[0].text, "You Must Enter a Valid Port Number (1 to 65535)");
    EXPECT_EQ(dialogs.messages[0].title, "Error");
    EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Critical);
    EXPECT_EQ(window->lLocalPort, before);

    // A port another program holds: saved, the failure logged, still running.
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 0));
    dialogs.answers = QStringList{QString::number(busy.serverPort())};
    window->mnuServerPort_Click();
    EXPECT_EQ(startup("ListenPort"), QString::number(busy.serverPort()));
    EXPECT_EQ(window->lLocalPort, 0);
    EXPECT_TRUE(logTexts().value(0).startsWith("Remote control cannot listen on 127.0.0.1 port"));
    EXPECT_EQ(logTexts().value(1),
              "Changed Server Listening Port to: " + QString::number(busy.serverPort()));
}

TEST_F(Remote, ListeningIsLoggedOnlyWhenTheListenerListens) {
    load();
    EXPECT_EQ(logTexts().value(0), "Listening for a connection...");
    EXPECT_EQ(window->l_con_status->text(), "No Clients Connected");

    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 0));
    setStartup("ListenPort", QString::number(busy.serverPort()));
    load();
    EXPECT_FALSE(logTexts().contains("Listening for a connection..."));
    EXPECT_TRUE(logTexts().value(0).startsWith("Remote control cannot listen on 127.0.0.1 port"));
    EXPECT_EQ(window->l_con_status->text(), "Not Listening");
    EXPECT_TRUE(window->l_con_status->toolTip().startsWith("Remote control cannot listen"));

    // A TLS certificate that cannot be read: no listener, not even in clear text.
    setStartup("ListenPort", "0");
    setStartup("TLSCertificate", testenv::configHome() + "/missing.pem");
    setStartup("TLSKey", testenv::configHome() + "/missing.key");
    load();
    EXPECT_EQ(window->lLocalPort, 0);
    EXPECT_TRUE(logTexts().value(0).startsWith("Remote control not started: no PEM certificate"));
    EXPECT_EQ(window->l_con_status->text(), "Not Listening");
}

TEST_F(Remote, RandomBytesLeaveTheWindowRunningAndTheCountAtZero) {
    load();
    window->service().setPassword("pw");
    QRandomGenerator rng(99);
    for (int round = 0; round < 30; ++round) {
        QTcpSocket s;
        open(s);
        QByteArray junk(static_cast<int>(rng.bounded(400)), Qt::Uninitialized);
        for (auto& c : junk) c = static_cast<char>(rng.bounded(256));
        if (round % 2 == 0) junk.prepend("pw\n");
        s.write(junk);
        testenv::pump(5);
    }
    ASSERT_TRUE(testenv::pumpUntil([&] { return window->iCClients == 0; }));
    EXPECT_EQ(window->l_con_status->text(), "No Clients Connected");
    EXPECT_EQ(exits, 0);
}

namespace {

// Answer lines of a client until `count` have come (or none comes for a while).
QList<QByteArray> answers(QTcpSocket& s, int count) {
    QList<QByteArray> out;
    while (out.size() < count) {
        if (!s.canReadLine() && !testenv::pumpUntil([&] { return s.canReadLine(); }, 5000)) break;
        out << s.readLine().trimmed();
    }
    return out;
}

}  // namespace

// The two-way control holds 50 commands; words beyond them were answered "OK"
// and dropped without a word, and a flood wrote a log line per drained slot.
TEST_F(Remote, AFullQueueAnswersErrorAndIsLoggedOncePerBurstAtMostOnceASecond) {
    twoWayOn();
    load();
    window->service().setPassword("pw");
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "pw\n"), "OK");
    const auto fullLines = [&] {
        return logTexts().filter(QStringLiteral("Command queue full")).size();
    };

    QByteArray burst;
    for (int i = 0; i < 80; ++i) burst += i % 2 ? "3on\n" : "3of\n";
    s.write(burst);
    const QList<QByteArray> first = answers(s, 80);
    ASSERT_EQ(first.size(), 80);
    EXPECT_LE(first.count("OK"), 50);
    EXPECT_EQ(first.count("OK") + first.count("ERROR Command queue full: command not sent"), 80);
    EXPECT_EQ(first.back(), "ERROR Command queue full: command not sent");
    EXPECT_EQ(fullLines(), 1);

    // A client that keeps the queue full: each slot that drains starts a new
    // burst, and the log still gets at most one line a second.
    // Real time, so that the rounds come faster than one a second.
    platform::TimeBase::global().setScale(1);
    const qint64 start = platform::TimeBase::global().nowMs();
    int refused = 0;
    for (int round = 0; round < 10; ++round) {
        s.write(burst);
        const QList<QByteArray> got = answers(s, 80);
        ASSERT_EQ(got.size(), 80);
        refused += int(got.count("ERROR Command queue full: command not sent"));
    }
    const qint64 seconds = (platform::TimeBase::global().nowMs() - start) / 1000;
    EXPECT_GE(refused, 10 * 30);
    EXPECT_LE(fullLines(), seconds + 3) << logTexts().join('\n').toStdString();
}

// "1on" with the slider elsewhere is ON and then BRIGHT: with one slot left
// the word was answered ERROR while A1 ON went out.
TEST_F(Remote, AWordThatNeedsTwoSlotsWithOneLeftIsRefusedWholeAndSendsNothing) {
    auto& sim = twoWayOn();
    load();
    window->service().setPassword("pw");
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "pw\n"), "OK");
    sim.clearRecords();
    QByteArray burst = "3di05\n";  // the slider to 5: DIM A3
    for (int i = 0; i < core::LineCommands::kMaxWaiting - 2; ++i) burst += "3of\n";
    burst += "1on\n";  // ON A1 and BRIGHT A1 back to 10: two commands, one slot
    s.write(burst);
    const QList<QByteArray> got = answers(s, core::LineCommands::kMaxWaiting);
    ASSERT_EQ(got.size(), core::LineCommands::kMaxWaiting);
    EXPECT_EQ(got.count("OK"), core::LineCommands::kMaxWaiting - 1);
    EXPECT_EQ(got.back(), "ERROR Command queue full: command not sent");
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return window->service().interface().commandsWaiting() == 0; }, 30000));
    for (const auto& f : sim.framedOnly())
        EXPECT_NE(f.bytes, QByteArray("\x04\x66", 2)) << "A1 was addressed";
}

class RemoteCp290 : public Remote {
  protected:
    int directFrames() const {
        int n = 0;
        for (const auto& f : cp290->frames())
            if (f.kind == sim::Cp290Sim::Kind::Direct) ++n;
        return n;
    }
};

// Each CP290 exchange blocks; 200 words in one write ran back to back inside
// the server's handler while a new login waited for all of them.
TEST_F(RemoteCp290, CommandsWaitInABoundedQueueAndALoginIsAnsweredMeanwhile) {
    cp290On(1);
    setStartup("Interface", "True");
    load();
    cp290->clearRecords();
    window->service().setPassword("pw");
    QTcpSocket a;
    open(a);
    ASSERT_EQ(exchange(a, "pw\n"), "OK");

    QByteArray words;
    for (int i = 0; i < 200; ++i) words += "4of\n";
    a.write(words);
    a.flush();
    // A second client logs in while the commands are pending.
    QTcpSocket b;
    open(b);
    b.write("pw\n");
    ASSERT_TRUE(testenv::pumpUntil([&] { return b.canReadLine(); }, 5000));
    EXPECT_EQ(b.readLine().trimmed(), "OK");
    EXPECT_LT(directFrames(), 20) << "the login waited behind the queued commands";

    const QList<QByteArray> got = answers(a, 200);
    ASSERT_EQ(got.size(), 200);
    const int ok = int(got.count("OK"));
    EXPECT_LE(ok, 1 + core::LineCommands::kMaxWaiting);
    EXPECT_EQ(got.count("ERROR Command queue full: command not sent"), 200 - ok);
    EXPECT_EQ(logTexts().filter(QStringLiteral("Command queue full")).size(), 1);
    // Every command answered "OK" goes out, one exchange after the other.
    ASSERT_TRUE(testenv::pumpUntil([&] { return directFrames() >= ok; }, 20000));
    testenv::pump(50);
    EXPECT_EQ(directFrames(), ok);
    EXPECT_EQ(window->service().interface().commandsWaiting(), 0);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}
