// The README's "Try the service" recipe, as a user runs it: veldrin-sim in
// the background with standard input from /dev/null, veldrind against its
// device through a settings file and a password file, and veldrin-cmd 5on
// (here through --config, since the test picks a free port).
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include "testenv.h"

namespace {

QString readLines(QProcess& p, QString& seen) {
    seen += QString::fromLocal8Bit(p.readAllStandardOutput());
    return seen;
}

void stop(QProcess& p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!testenv::pumpUntil([&] { return p.state() == QProcess::NotRunning; }, 10000)) p.kill();
}

}  // namespace

TEST(TryTheService, EmulatorInTheBackgroundThenTheDaemonThenVeldrinCmd) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config-home"));
    env.insert("XDG_STATE_HOME", dir.filePath("state"));
    env.insert("XDG_RUNTIME_DIR", dir.path());

    // 1. The emulator, its standard input at its end from the start.
    QProcess sim;
    sim.setProcessEnvironment(env);
    sim.setStandardInputFile(QProcess::nullDevice());
    const QString link = dir.filePath("x10");
    sim.start(testenv::binDir() + "/veldrin-sim", {"--link", link});
    QString simOut;
    ASSERT_TRUE(testenv::pumpUntil([&] {
        return readLines(sim, simOut).contains('\n') || sim.state() == QProcess::NotRunning;
    }));
    ASSERT_TRUE(simOut.startsWith("device: /dev/pts/")) << simOut.toStdString();

    // 2. The daemon against it.
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    const QString config = dir.filePath("veldrin.conf"), password = dir.filePath("password");
    QFile c(config), pw(password);
    ASSERT_TRUE(c.open(QIODevice::WriteOnly) && pw.open(QIODevice::WriteOnly));
    c.write(QString("[Ports]\nCOM1=%1\n[Startup]\nListenPort=%2\n").arg(link).arg(port).toUtf8());
    c.close();
    pw.write("try me\n");
    pw.close();
    ASSERT_TRUE(QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner));
    QProcess daemon;
    daemon.setProcessEnvironment(env);
    daemon.start(testenv::binDir() + "/veldrind",
                 {"--config", config, "--password-file", password});
    QString daemonOut;

    // 3. veldrin-cmd 5on at once, waiting for the service as the README's
    // trial does: answered, and the module on the emulator's powerline goes on.
    QProcess cmd;
    QProcessEnvironment cmdEnv = env;
    cmdEnv.insert("VELDRIN_PASSWORD", "try me");
    cmd.setProcessEnvironment(cmdEnv);
    cmd.start(testenv::binDir() + "/veldrin-cmd", {"--wait", "30", "--config", config, "5on"});
    ASSERT_TRUE(testenv::pumpUntil([&] { return cmd.state() == QProcess::NotRunning; }, 45000));
    EXPECT_EQ(cmd.readAllStandardOutput(), "5on: OK\n") << cmd.readAllStandardError().toStdString();
    EXPECT_EQ(cmd.exitCode(), 0);
    EXPECT_EQ(daemon.state(), QProcess::Running) << readLines(daemon, daemonOut).toStdString();
    EXPECT_TRUE(testenv::pumpUntil([&] { return readLines(sim, simOut).contains("A5 ON\n"); }))
        << simOut.toStdString();
    EXPECT_EQ(sim.state(), QProcess::Running);

    stop(daemon);
    stop(sim);
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(link));
    // The trial's states are its own: nothing waits for the user's instance.
    EXPECT_FALSE(QFile::exists(dir.filePath("state/veldrin")));
}
