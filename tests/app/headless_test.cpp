// veldrin --headless as a service runs it: the real program, no DISPLAY and
// no WAYLAND_DISPLAY, its own settings file, the password from a file, the
// two-way emulator on a pseudo-terminal, a real socket, and SIGTERM to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <functional>

#include "settingsstore.h"
#include "statequery.h"
#include "testenv.h"
#include "twowaysim.h"

namespace {

// The end of the first contact with the emulator: commands go out from here.
const QString kFound = QStringLiteral("Found Pandrel Interface on Com: 1 Connection Established");

// A notification socket of the test's own, as a service manager gives one
// (NOTIFY_SOCKET): the messages it receives are collected in heard.
struct NotifySocket {
    explicit NotifySocket(const QString& file) : path(file) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const QByteArray name = QFile::encodeName(path);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd < 0 || size_t(name.size()) >= sizeof addr.sun_path) return;
        std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket() {
        if (fd >= 0) ::close(fd);
    }
    void drain() {
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            heard << QString::fromUtf8(buf, int(n));
    }
    // Waits (running the event loop) until a message satisfies match.
    bool hear(const std::function<bool(const QString&)>& match) {
        return testenv::pumpUntil(
            [&] { return drain(), std::any_of(heard.begin(), heard.end(), match); }, 15000);
    }
    bool hear(const QString& message) {
        return hear([&](const QString& m) { return m == message; });
    }

    QString path;
    int fd = -1;
    bool bound = false;
    QStringList heard;
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class Headless : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(sim.start()) << sim.errorString().toStdString();
        port = freePort();
        config = dir.filePath("veldrin.conf");
        configText = "; the service's settings\n[Startup]\nHouseCode=C\nListenPort=" +
                     QByteArray::number(port) +
                     "\n\n[Ports]\nCOM1=" + sim.devicePath().toLocal8Bit() + "\n";
        writeFile(config, configText);
        password = dir.filePath("password");
        writeFile(password, "Open Sesame\n");
        QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner);
    }
    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            testenv::pumpUntil([this] { return program.state() == QProcess::NotRunning; });
        }
    }

    // The state folder of the instance that config makes.
    QString stateDir() const {
        return dir.filePath(
            "state/" +
            platform::instanceName(config, dir.filePath("config-home/veldrin/veldrin.conf")));
    }

    static QByteArray readFile(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeFile(const QString& path, const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

    // The environment of a service: no display server at all.
    QProcessEnvironment serviceEnvironment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.remove("STATE_DIRECTORY");  // that of a service manager keeps one folder
        env.insert("XDG_CONFIG_HOME", dir.filePath("config-home"));
        env.insert("XDG_STATE_HOME", dir.filePath("state"));
        env.insert("XDG_RUNTIME_DIR", dir.path());
        return env;
    }

    void start(QProcess& p, const QStringList& args, const QString& name = "veldrin",
               const QProcessEnvironment& env = {}) {
        p.setProcessEnvironment(env.isEmpty() ? serviceEnvironment() : env);
        p.start(testenv::binDir() + "/" + name, args);
        ASSERT_TRUE(testenv::pumpUntil([&p] { return p.state() != QProcess::Starting; }));
        ASSERT_NE(p.error(), QProcess::FailedToStart);
    }

    // Waits (running the event loop) until standard output holds text.
    bool waitForOutput(const QString& text, int realMs = 15000) {
        return testenv::pumpUntil(
            [&] {
                out += QString::fromUtf8(program.readAllStandardOutput());
                return out.contains(text);
            },
            realMs);
    }

    QByteArray exchange(QTcpSocket& s, const QByteArray& line) {
        s.write(line);
        testenv::pumpUntil([&] { return s.canReadLine(); }, 5000);
        return s.canReadLine() ? s.readLine().trimmed() : QByteArray();
    }
    void open(QTcpSocket& s) {
        s.connectToHost(QHostAddress::LocalHost, port);
        testenv::pumpUntil([&] { return s.state() == QAbstractSocket::ConnectedState; });
    }

    // A stream of the test's own that the program takes for the journal's:
    // JOURNAL_STREAM names its device and inode.
    struct JournalStream {
        int fds[2] = {-1, -1};
        QByteArray text;
        ~JournalStream() {
            for (int fd : fds)
                if (fd >= 0) ::close(fd);
        }
        bool open() { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }
        // Reads (running the event loop) until the stream holds what.
        bool read(const char* what) {
            return testenv::pumpUntil(
                [&] {
                    char buf[4096];
                    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
                    return text.contains(what);
                },
                15000);
        }
        QStringList lines() const {
            return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
        }
    };
    // Runs veldrind with the settings and password files, standard output on
    // the journal stream, until the stream holds `until`; then ends it by
    // SIGTERM and reads its last line.
    void runUnderJournal(JournalStream& journal, const char* until) {
        ASSERT_TRUE(journal.open());
        struct stat st {};
        ASSERT_EQ(::fstat(journal.fds[1], &st), 0);
        QProcessEnvironment env = serviceEnvironment();
        env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
        const int writeEnd = journal.fds[1];
        program.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
        start(program, {"--config", config, "--password-file", password}, "veldrind", env);
        ::close(journal.fds[1]);
        journal.fds[1] = -1;
        ASSERT_TRUE(journal.read(until)) << journal.text.toStdString();
        program.terminate();
        ASSERT_TRUE(journal.read("stopped (exit status 0)")) << journal.text.toStdString();
    }

    bool endBySigterm() {
        program.terminate();
        return testenv::pumpUntil([&] { return program.state() == QProcess::NotRunning; }, 10000);
    }

    QTemporaryDir dir;
    sim::TwoWaySim sim;
    quint16 port = 0;
    QString config, password, out;
    QByteArray configText;
    QProcess program;
};

}  // namespace

TEST_F(Headless, RunsWithoutDisplayAnswersStateAndSavesOnSigterm) {
    start(program, {"--headless", "--config", config, "--password-file", password});
    ASSERT_TRUE(waitForOutput(kFound)) << out.toStdString();
    // The program started as veldrin has become veldrind (same process).
    EXPECT_EQ(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(program.processId())),
              QFileInfo(testenv::binDir() + "/veldrind").canonicalFilePath());

    // Every line carries its date and time; the interface was found.
    static const QRegularExpression stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d-->)");
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    for (const QString& l : lines) EXPECT_TRUE(stamped.match(l).hasMatch()) << l.toStdString();
    EXPECT_TRUE(out.contains("-->Found Pandrel Interface on Com: 1 Connection Established"))
        << out.toStdString();

    // The same settings file cannot be served twice: the second start fails
    // and says why, with or without a window.
    for (const QStringList& args : {QStringList{"--headless", "--config", config},
                                    QStringList{"--config", config, "-platform", "offscreen"}}) {
        QProcess second;
        start(second, args);
        ASSERT_TRUE(testenv::pumpUntil([&] { return second.state() == QProcess::NotRunning; }));
        EXPECT_EQ(second.exitCode(), 1) << args.join(' ').toStdString();
        EXPECT_TRUE(second.readAllStandardError().contains("another instance already runs with " +
                                                           config.toLocal8Bit()));
    }

    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "Open Sesame\n"), "OK");
    EXPECT_EQ(exchange(s, "?state A5\n"), "A5 UNKNOWN");
    EXPECT_EQ(exchange(s, ""), "OK");
    EXPECT_EQ(exchange(s, "?state Q5\n"), "ERROR Not an address: Q5");
    EXPECT_EQ(exchange(s, "?state\n"), "OK");
    // A wall switch on the powerline: the state follows it and is kept.
    sim.injectUpload(*sim::TwoWaySim::buildUpload("C5 C ON"));
    ASSERT_TRUE(waitForOutput("-->Received C5 ON")) << out.toStdString();
    EXPECT_EQ(exchange(s, "?state\n"), "C5 ON 100");
    EXPECT_EQ(exchange(s, ""), "OK");
    EXPECT_EQ(exchange(s, "housecodechangeB\n"), "OK");

    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    // The settings file is the administrator's: not one byte changes. The
    // house code lives in the state folder and survives a restart.
    EXPECT_EQ(readFile(config), configText);
    EXPECT_FALSE(QFile::exists(dir.filePath("config-home/veldrin/veldrin.conf")));
    EXPECT_TRUE(readFile(stateDir() + "/state").contains("C5 ON 100"));
    EXPECT_TRUE(readFile(stateDir() + "/runtime.conf").contains("HouseCode=B"));

    out.clear();
    start(program, {"--config", config, "--password-file", password}, "veldrind");
    ASSERT_TRUE(waitForOutput(kFound)) << out.toStdString();
    EXPECT_TRUE(out.contains("House Code B Restored from")) << out.toStdString();
    QTcpSocket again;
    open(again);
    ASSERT_EQ(exchange(again, "Open Sesame\n"), "OK");
    EXPECT_EQ(exchange(again, "5on\n"), "OK");
    EXPECT_TRUE(testenv::pumpUntil([&] { return sim.moduleLines().contains("B5 ON"); }));
    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(readFile(config), configText);

    // An edit of the settings file made since wins over the kept change.
    configText.replace("HouseCode=C", "HouseCode=D");
    writeFile(config, configText);
    out.clear();
    start(program, {"--config", config}, "veldrind");
    ASSERT_TRUE(waitForOutput("Listening for a connection...")) << out.toStdString();
    EXPECT_FALSE(out.contains("Restored")) << out.toStdString();
    EXPECT_TRUE(out.contains("House Code D of the Settings File Applies")) << out.toStdString();
    ASSERT_TRUE(endBySigterm());
}

// SIGTERM gave up the commands still waiting, answered OK and never sent,
// without a line (30 of 30 in one test).
TEST_F(Headless, SigtermSendsTheCommandsAnsweredOkOrNamesThoseItDrops) {
    sim.setReadyDelayMs(100);  // about 200 ms a command: more than the stop waits for 30
    start(program, {"--config", config, "--password-file", password}, "veldrind");
    ASSERT_TRUE(waitForOutput(kFound)) << out.toStdString();
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "Open Sesame\n"), "OK");
    QByteArray words;
    for (int i = 0; i < 30; ++i) words += i % 2 ? "3of\n" : "3on\n";
    s.write(words);
    int ok = 0;
    ASSERT_TRUE(testenv::pumpUntil(
        [&] {
            while (s.canReadLine()) ok += s.readLine().trimmed() == "OK";
            return ok == 30;
        },
        10000));
    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(program.exitCode(), 0);
    out += QString::fromUtf8(program.readAllStandardOutput());
    const auto sent = sim.moduleLines().filter(QRegularExpression("^C3 O")).size();
    static const QRegularExpression dropped(R"(ERROR: (\d+) Commands? Not Sent \(Stopping\))");
    const QRegularExpressionMatch m = dropped.match(out);
    const int named = m.hasMatch() ? m.captured(1).toInt() : 0;
    // The one on the line when the time ran out may have reached it as well.
    EXPECT_GE(sent + named, 30) << out.toStdString();
    EXPECT_LE(sent + named, 31) << out.toStdString();
}

// veldrind needs no Qt platform plugin: with none to be found and a platform
// name that does not exist, it still starts, serves and ends on SIGTERM.
TEST_F(Headless, DaemonRunsWithoutAnyQtPlatformPlugin) {
    QTemporaryDir empty;
    QProcessEnvironment env = serviceEnvironment();
    env.insert("QT_PLUGIN_PATH", empty.path());
    env.insert("QT_QPA_PLATFORM_PLUGIN_PATH", empty.path());
    env.insert("QT_QPA_PLATFORM", "no-such-platform");
    start(program, {"--config", config, "--password-file", password}, "veldrind", env);
    ASSERT_TRUE(waitForOutput(kFound)) << out.toStdString();
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "Open Sesame\n"), "OK");
    EXPECT_EQ(exchange(s, "5on\n"), "OK");
    EXPECT_TRUE(testenv::pumpUntil([&] { return sim.moduleLines().contains("C5 ON"); }));
    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

TEST_F(Headless, RefusesAPasswordFileOthersMayReadAndKeepsTheServerClosed) {
    QFile::setPermissions(
        password, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    start(program, {"--headless", "--config", config, "--password-file", password});
    ASSERT_TRUE(waitForOutput("remote control stays closed")) << out.toStdString();
    EXPECT_TRUE(
        out.contains("-->ERROR: No connection password is set, remote control stays "
                     "closed: the password file " +
                     password + " may be read or written by others"))
        << out.toStdString();
    EXPECT_TRUE(program.readAllStandardError().contains("chmod 600"));
    QTcpSocket s;
    open(s);
    EXPECT_TRUE(exchange(s, "Open Sesame\n").startsWith("ERROR No connection password"));
    ASSERT_TRUE(endBySigterm());
}

// The reader of standard output goes away (a closed terminal, a log pipe
// that ended): the log lines after it are lost, the service is not.
TEST_F(Headless, KeepsRunningAndSavesWhenStandardOutputHasNoReader) {
    // Standard output is a pipe of the test's own, whose reading end it
    // closes once start-up is done.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    program.setChildProcessModifier([fds] { ::dup2(fds[1], STDOUT_FILENO); });
    start(program, {"--headless", "--config", config, "--password-file", password});
    ::close(fds[1]);
    QByteArray early;
    ASSERT_TRUE(testenv::pumpUntil(
        [&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) early.append(buf, n);
            return early.contains(kFound.toUtf8());
        },
        15000))
        << early.toStdString();
    ::close(fds[0]);

    // The login and the heard event each log lines into the broken pipe.
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "Open Sesame\n"), "OK");
    sim.injectUpload(*sim::TwoWaySim::buildUpload("C5 C ON"));
    ASSERT_TRUE(
        testenv::pumpUntil([&] { return exchange(s, "?state C5\n") == "C5 ON 100"; }, 10000));
    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    QFile stateFile(stateDir() + "/state");
    ASSERT_TRUE(stateFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stateFile.readAll().contains("C5 ON 100"));
}

// A settings file that is there but cannot be read, or one named on the
// command line that is not there, is not served on the defaults: the service
// does not start and says why. Without --config, a missing per-user file is
// a first start.
TEST_F(Headless, RefusesASettingsFileItCannotRead) {
    // program (veldrin by default) started with its options and then
    // --config path, as runAs says.
    auto refused = [this](const QString& path, const QString& why, const QString& runAs = {},
                          const QStringList& command = {"veldrin", "--headless"},
                          const QString& self = "veldrin") {
        QProcess p;
        p.setProcessEnvironment(serviceEnvironment());
        const QString program = testenv::binDir() + "/" + command.constFirst();
        const QStringList args = command.mid(1) + QStringList{"--config", path};
        if (runAs.isEmpty()) {
            p.start(program, args);
        } else {
            p.start(
                runAs,
                QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + args);
        }
        EXPECT_TRUE(testenv::pumpUntil([&p] { return p.state() == QProcess::NotRunning; }, 10000));
        EXPECT_EQ(p.exitCode(), 2) << command.join(' ').toStdString();
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_EQ(err, self + ": cannot read the settings file " + path + ": " + why + "\n");
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
    };
    const QString folder = dir.filePath("folder.conf");
    ASSERT_TRUE(QDir().mkpath(folder));
    refused(folder, "Is a directory");

    // A mistyped --config path is not a first start: no service on the
    // defaults, no file created there.
    const QString missing = dir.filePath("mistyped.conf");
    QProcess p;
    p.setProcessEnvironment(serviceEnvironment());
    p.start(testenv::binDir() + "/veldrind", {"--config", missing});
    EXPECT_TRUE(testenv::pumpUntil([&p] { return p.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardError()),
              "veldrind: the settings file " + missing + " does not exist\n");
    EXPECT_FALSE(QFile::exists(missing));

    // A file of root's that the user the service runs as may not read.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty()) GTEST_SKIP() << "setpriv is not installed";
    // Its folder closed to that user: not "does not exist" (what the user
    // can see) but the folder that refused, from the daemon, the client and
    // the schedule check alike.
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0700), 0);
    const QString closed =
        QString("Permission denied (folder %1: owner root, group root, mode 0700)").arg(dir.path());
    refused(config, closed, setpriv, {"veldrind"}, "veldrind");
    refused(config, closed, setpriv, {"veldrin-cmd", "5on"}, "veldrin-cmd");
    refused(config, closed, setpriv, {"veldrind", "--check-schedule"});
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(config).constData(), 0600), 0);
    refused(config, "Permission denied (owner root, group root, mode 0600)", setpriv);
}

// A FIFO at the state path: start-up goes on with every module unknown and
// says why, and SIGTERM still ends the program.
TEST_F(Headless, FifoAtTheStatePathIsNotReadAndStartUpFinishes) {
    ASSERT_TRUE(QDir().mkpath(stateDir()));
    const QString fifo = stateDir() + "/state";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    start(program, {"--headless", "--config", config, "--password-file", password});
    ASSERT_TRUE(waitForOutput("Listening for a connection...")) << out.toStdString();
    EXPECT_TRUE(out.contains("-->ERROR: Could not Read the State File " + fifo +
                             ": not a regular file; Every Module Starts Unknown"))
        << out.toStdString();
    ASSERT_TRUE(endBySigterm());
    EXPECT_EQ(program.exitCode(), 0);
}

// Under systemd: the notification socket (a datagram socket of the test's
// own) hears READY=1 once start-up is done, STATUS= lines that follow the
// interface, WATCHDOG=1 at half of WATCHDOG_USEC, and STOPPING=1 at the end.
TEST_F(Headless, NotifiesTheServiceManager) {
    NotifySocket notify(dir.filePath("notify"));
    ASSERT_TRUE(notify.bound);
    QStringList& heard = notify.heard;
    const auto drain = [&] { notify.drain(); };
    const auto hear = [&](const QString& what) { return notify.hear(what); };

    QProcessEnvironment env = serviceEnvironment();
    env.insert("NOTIFY_SOCKET", notify.path);
    env.insert("WATCHDOG_USEC", "200000");
    start(program, {"--config", config, "--password-file", password}, "veldrind", env);
    ASSERT_TRUE(hear("READY=1\nSTATUS=Interface found on " + sim.devicePath()))
        << heard.join('|').toStdString();
    // The listener started before.
    EXPECT_TRUE(waitForOutput("Listening for a connection... on 127.0.0.1 port " +
                              QString::number(port) + " without TLS"))
        << out.toStdString();
    EXPECT_TRUE(testenv::pumpUntil([&] { return drain(), heard.count("WATCHDOG=1") >= 3; }, 5000));
    sim.unplug();
    EXPECT_TRUE(hear("STATUS=Interface lost, trying again")) << heard.join('|').toStdString();
    program.terminate();
    EXPECT_TRUE(hear("STOPPING=1")) << heard.join('|').toStdString();
    ASSERT_TRUE(testenv::pumpUntil([&] { return program.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(program.exitCode(), 0);
}

// The listener and the page are there before the interface's first contact
// ends (it takes the engine a few seconds): commands meanwhile are refused as
// while the interface is lost, and READY=1 comes once the contact has ended.
TEST_F(Headless, ListensBeforeTheFirstContactEndsAndIsReadyAfterIt) {
    NotifySocket notify(dir.filePath("notify"));
    ASSERT_TRUE(notify.bound);
    const quint16 webPort = freePort();
    writeFile(config,
              configText + "[Web]\nEnabled=true\nPort=" + QByteArray::number(webPort) + "\n");
    QProcessEnvironment env = serviceEnvironment();
    env.insert("NOTIFY_SOCKET", notify.path);
    start(program, {"--config", config, "--password-file", password}, "veldrind", env);
    ASSERT_TRUE(waitForOutput("Web page at")) << out.toStdString();
    QTcpSocket s;
    open(s);
    ASSERT_EQ(exchange(s, "Open Sesame\n"), "OK");
    EXPECT_EQ(exchange(s, "5on\n"), "ERROR Interface not available");
    notify.drain();
    EXPECT_FALSE(notify.heard.join('|').contains("READY=1")) << out.toStdString();

    ASSERT_TRUE(notify.hear("READY=1\nSTATUS=Interface found on " + sim.devicePath()))
        << notify.heard.join('|').toStdString();
    EXPECT_TRUE(waitForOutput(kFound)) << out.toStdString();
    EXPECT_EQ(exchange(s, "5on\n"), "OK");
    EXPECT_TRUE(testenv::pumpUntil([&] { return sim.moduleLines().contains("C5 ON"); }));
    ASSERT_TRUE(endBySigterm());
    // A clean stop lets the interface go: it is not reported lost.
    notify.drain();
    EXPECT_EQ(notify.heard.mid(notify.heard.size() - 2),
              QStringList({"STATUS=Stopping", "STOPPING=1"}))
        << notify.heard.join('|').toStdString();
    EXPECT_FALSE(notify.heard.join('|').contains("Interface lost"))
        << notify.heard.join('|').toStdString();
}

// A front end that cannot start is named in the service manager's status
// line, after where the interface is.
TEST_F(Headless, StatusNamesAFrontEndThatDidNotStart) {
    NotifySocket notify(dir.filePath("notify"));
    ASSERT_TRUE(notify.bound);
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, port));
    const QString device = dir.filePath("no-such-device");
    writeFile(config, "[Startup]\nListenPort=" + QByteArray::number(port) +
                          "\n[Ports]\nCOM1=" + QFile::encodeName(device) + "\n");
    QProcessEnvironment env = serviceEnvironment();
    env.insert("NOTIFY_SOCKET", notify.path);
    start(program, {"--config", config, "--password-file", password}, "veldrind", env);
    const QString expected =
        QStringLiteral(
            "READY=1\nSTATUS=Interface not found on %1, trying again; Remote control "
            "cannot listen on 127.0.0.1 port %2: ")
            .arg(device)
            .arg(port);
    EXPECT_TRUE(notify.hear([&](const QString& m) {
        return m.startsWith(expected) && m.endsWith("in use");
    })) << notify.heard.join('|').toStdString();
    ASSERT_TRUE(endBySigterm());
}

// With standard output on the journal's stream (JOURNAL_STREAM names its
// device and inode), every line carries its priority and no time of its
// own; the first line names the version and the settings file, the last one
// says the program stopped.
TEST_F(Headless, JournalLinesCarryTheirPriority) {
    writeFile(config, "[Startup]\nListenPort=" + QByteArray::number(port) + "\n[Ports]\nCOM1=" +
                          QFile::encodeName(dir.filePath("no-such-device")) + "\n");
    ASSERT_TRUE(QDir().mkpath(stateDir()));
    writeFile(stateDir() + "/state", "not a state file\n");
    JournalStream journal;
    ASSERT_NO_FATAL_FAILURE(runUnderJournal(journal, "Listening for a connection"));

    const QStringList lines = journal.lines();
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(
        QRegularExpression(R"(^<6>veldrind \d+\.\d+\.\d+ starting with the settings file )" +
                           QRegularExpression::escape(config) + "$")
            .match(lines.first())
            .hasMatch())
        << lines.first().toStdString();
    EXPECT_EQ(lines.last(), "<6>veldrind stopped (exit status 0)");
    static const QRegularExpression prefixed(R"(^<([346])>(.*)$)");
    int errors = 0, warnings = 0;
    for (const QString& l : lines) {
        const QRegularExpressionMatch m = prefixed.match(l);
        ASSERT_TRUE(m.hasMatch()) << l.toStdString();
        const QString priority = m.captured(1), text = m.captured(2);
        EXPECT_EQ(priority == "3", text.startsWith("ERROR")) << l.toStdString();
        EXPECT_EQ(priority == "4", text.startsWith("WARNING")) << l.toStdString();
        EXPECT_FALSE(text.contains("-->")) << l.toStdString();
        errors += priority == "3";
        warnings += priority == "4";
    }
    EXPECT_TRUE(lines.contains("<3>ERROR: Pandrel Interface Not Found on Com: 1"))
        << journal.text.toStdString();
    EXPECT_GE(errors, 1);
    EXPECT_EQ(warnings, 1) << journal.text.toStdString();
}

// Each front end that cannot start says so at error priority, whatever the
// words of its line: the remote listener and the page on a port in use, the
// bridge with a password file others may read.
TEST_F(Headless, FrontEndsThatCannotStartAreErrorsInTheJournal) {
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, port));
    const QString mqttPassword = dir.filePath("mqtt-password");
    writeFile(mqttPassword, "secret\n");
    writeFile(config, configText + "\n[Web]\nEnabled=true\nPort=" + QByteArray::number(port) +
                          "\n\n[MQTT]\nHost=127.0.0.1\nPasswordFile=" +
                          QFile::encodeName(mqttPassword) + "\n");
    JournalStream journal;
    ASSERT_NO_FATAL_FAILURE(runUnderJournal(journal, "Web page not served"));
    const QStringList lines = journal.lines();
    for (const char* start :
         {"<3>Remote control cannot listen on 127.0.0.1 port ",
          "<3>Web page not served: cannot listen on ", "<3>MQTT: the password file "})
        EXPECT_EQ(lines.filter(QRegularExpression("^" + QRegularExpression::escape(start))).size(),
                  1)
            << start << "\n"
            << journal.text.toStdString();
}

// The daemon's command line is its own; both programs name their version.
TEST(HeadlessOptions, DaemonHasItsOwnHelpAndBothAnswerVersion) {
    QProcess p;
    const auto run = [&p](const QString& program, const QStringList& args) {
        p.start(testenv::binDir() + "/" + program, args);
        EXPECT_TRUE(testenv::pumpUntil([&p] { return p.state() == QProcess::NotRunning; }, 10000));
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    };
    const QString help = run("veldrind", {"--help"});
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(help.startsWith("Usage: veldrind ")) << help.toStdString();
    EXPECT_TRUE(help.contains("Reads the settings file FILE")) << help.toStdString();
    for (const char* other : {"--headless", "writes the settings"})
        EXPECT_FALSE(help.contains(other)) << help.toStdString();
    static const QRegularExpression version(R"(^\d+\.\d+\.\d+\n$)");
    for (const QString program : {"veldrind", "veldrin"}) {
        const QString text = run(program, {"--version"});
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_TRUE(text.startsWith(program + " ") &&
                    version.match(text.mid(program.size() + 1)).hasMatch())
            << text.toStdString();
    }
    run("veldrind", {"--bogus"});
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().startsWith("veldrind: Unknown option 'bogus'."));
}

TEST(HeadlessOptions, HelpAndWrongOptions) {
    QProcess p;
    auto ended = [&p] { return p.state() == QProcess::NotRunning; };
    p.start(testenv::binDir() + "/veldrin", {"--help"});
    ASSERT_TRUE(testenv::pumpUntil(ended, 10000));
    EXPECT_EQ(p.exitCode(), 0);
    const QByteArray help = p.readAllStandardOutput();
    for (const char* option : {"--headless", "--config <FILE>", "--password-file <FILE>"})
        EXPECT_TRUE(help.contains(option)) << help.toStdString();

    for (const QStringList& wrong :
         {QStringList{"--bogus"}, QStringList{"--config"}, QStringList{"--headless", "extra"}}) {
        p.start(testenv::binDir() + "/veldrin", wrong);
        ASSERT_TRUE(testenv::pumpUntil(ended, 10000));
        EXPECT_EQ(p.exitCode(), 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().contains("Usage: veldrin"));
    }
}

TEST(StateQuery, KnownModulesInAddressOrderWithTheLevelOfLampsThatAreOn) {
    // house 0 = A
    auto at = [](int house, int unit) { return state::Address{house + 1, unit}; };
    const auto lookup = [&](state::Address a) {
        state::ModuleState s;
        if (a == at(0, 5)) s = {state::Power::On, 100, {}, state::Source::Powerline};
        if (a == at(0, 6)) s = {state::Power::Off, 0, {}, state::Source::Click};
        if (a == at(15, 16)) s = {state::Power::On, -1, {}, state::Source::Remote};
        if (a == at(1, 2)) s = {state::Power::On, 30, {}, state::Source::Powerline};
        return s;
    };
    EXPECT_EQ(app::answerStateQuery("?state", lookup),
              QStringList({"A5 ON 100", "A6 OFF", "B2 ON 30", "P16 ON"}));
    EXPECT_EQ(app::answerStateQuery(" ?STATE  b2 ", lookup), QStringList({"B2 ON 30"}));
    EXPECT_EQ(app::answerStateQuery("?state a7", lookup), QStringList({"A7 UNKNOWN"}));
    EXPECT_EQ(app::answerStateQuery("?state A17", lookup),
              QStringList({"ERROR Not an address: A17"}));
    for (const char* other : {"5on", "?stateA5", "state", ""})
        EXPECT_FALSE(app::answerStateQuery(other, lookup)) << other;
}
