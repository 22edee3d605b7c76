// The veldrin-sim program: device line, live module lines, stdin commands,
// link handling and clean exits.

#include "rawclient.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// Starts the tool and returns the device path from its first line.
QString startTool(QProcess& p, const QStringList& args) {
    p.start(testenv::binDir() + "/veldrin-sim", args);
    if (!p.waitForStarted(5000)) return {};
    while (!p.canReadLine())
        if (!p.waitForReadyRead(5000)) return {};
    const QString line = QString::fromLocal8Bit(p.readLine()).trimmed();
    return line.startsWith("device: ") ? line.mid(8) : QString();
}

QString nextLine(QProcess& p) {
    while (!p.canReadLine())
        if (!p.waitForReadyRead(5000)) return {};
    return QString::fromLocal8Bit(p.readLine()).trimmed();
}

TEST(SimTool, TwoWayUploadFromStdinKeepsServingAfterItsEndAndRemovesTheLinkAtSigterm) {
    QTemporaryDir dir;
    const QString link = dir.path() + "/x10";
    QProcess p;
    const QString device = startTool(p, {"--link", link, "--time-scale", "10"});
    ASSERT_TRUE(device.startsWith("/dev/pts/")) << p.readAllStandardError().toStdString();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);

    RawClient client(link);
    ASSERT_TRUE(client.isOpen());
    p.write("bogus\nrecv A1 A ON\n");
    p.waitForBytesWritten(1000);
    EXPECT_EQ(client.read(1, 3000), bytes("5A"));
    client.write(bytes("C3"));
    QByteArray upload = client.read(4, 2000);
    while (upload.startsWith(char(0x5A))) upload = upload.mid(1) + client.read(1, 1000);
    EXPECT_EQ(upload, bytes("03026662"));

    // A command from the computer shows up as a module line.
    client.write(bytes("0466"));
    EXPECT_EQ(client.read(1, 2000), bytes("6A"));
    client.write(bytes("00"));
    client.write(bytes("0662"));
    EXPECT_EQ(client.read(2, 2000), bytes("5568"));
    client.write(bytes("00"));
    EXPECT_EQ(nextLine(p), "A1 ON");

    // Standard input ends with an unterminated command: that still runs, and
    // the emulator goes on serving (as in the background with </dev/null).
    p.write("silent off");
    p.closeWriteChannel();
    EXPECT_FALSE(p.waitForFinished(300));
    EXPECT_EQ(client.read(1, 2000), bytes("55"));  // ready after the last command
    client.write(bytes("0466"));
    EXPECT_EQ(client.read(1, 2000), bytes("6A"));
    client.write(bytes("00"));
    client.write(bytes("0663"));
    EXPECT_EQ(client.read(2, 2000), bytes("5569"));
    client.write(bytes("00"));
    EXPECT_EQ(nextLine(p), "A1 OFF");

    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    const QByteArray errors = p.readAllStandardError();
    EXPECT_TRUE(errors.contains("error: unknown command or bad arguments: bogus")) << errors.data();
    EXPECT_FALSE(errors.contains("silent off")) << "the unterminated last line ran";
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(SimTool, FramesOptionPrintsEachFrameBeforeItsModuleLine) {
    QProcess p;
    const QString device = startTool(p, {"--frames", "--time-scale", "10"});
    ASSERT_TRUE(device.startsWith("/dev/pts/")) << p.readAllStandardError().toStdString();
    RawClient client(device);
    ASSERT_TRUE(client.isOpen());
    client.write(bytes("0466"));
    EXPECT_EQ(client.read(1, 2000), bytes("6A"));
    client.write(bytes("00"));
    client.write(bytes("0662"));
    EXPECT_EQ(client.read(2, 2000), bytes("5568"));
    client.write(bytes("00"));
    EXPECT_EQ(nextLine(p), "frame: 04 66");
    EXPECT_EQ(nextLine(p), "frame: 06 62");
    EXPECT_EQ(nextLine(p), "A1 ON");
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
}

TEST(SimTool, ModulesFromTheCommandLineAndStdinAnswerAndChangeAtTheWall) {
    QProcess p;
    const QString device =
        startTool(p, {"--modules", "A1=twoway-lamp", "--lose", "0", "--time-scale", "20"});
    ASSERT_TRUE(device.startsWith("/dev/pts/")) << p.readAllStandardError().toStdString();
    RawClient client(device);
    ASSERT_TRUE(client.isOpen());
    p.write("module A2 twoway-appliance\nwall A1 40\nload A2 off\nmodule A3 dimmer\nstatus\n");
    EXPECT_EQ(nextLine(p), "A1 ON 40% (level 25)");
    EXPECT_EQ(nextLine(p), "A2 OFF (no load)");

    client.write(bytes("0767060037"));  // A1 extended status request
    EXPECT_EQ(client.read(1, 2000), bytes("AB"));
    client.write(bytes("00"));
    EXPECT_EQ(client.read(1, 2000), bytes("55"));
    EXPECT_EQ(nextLine(p), "A1 EXTENDED 37 DATA 00");
    EXPECT_EQ(nextLine(p), "reply: A1 EXT 38 99");
    EXPECT_EQ(client.read(1, 5000), bytes("5A"));
    client.write(bytes("C3"));
    QByteArray upload = client.read(6, 2000);
    while (upload.startsWith(char(0x5A))) upload = upload.mid(1) + client.read(1, 1000);
    EXPECT_EQ(upload, bytes("050167069938"));

    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    const QByteArray errors = p.readAllStandardError();
    EXPECT_TRUE(errors.contains("error: not ADDRESS=KIND")) << errors.data();
}

TEST(SimTool, BadModuleListIsRefused) {
    QProcess p;
    p.start(testenv::binDir() + "/veldrin-sim", {"--modules", "A1=dimmer"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("--modules"));
}

TEST(SimTool, Cp290LinesAndStatusThenSigterm) {
    QTemporaryDir dir;
    const QString link = dir.path() + "/cp290";
    QFile::link("/nonexistent", link);  // a stale link is replaced
    QProcess p;
    const QString device = startTool(p, {"--cp290", "--link", link});
    ASSERT_TRUE(device.startsWith("/dev/pts/"));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);

    RawClient client(device);
    ASSERT_TRUE(client.isOpen());
    p.write("clock 05 14 01\nhouse B\n");
    p.waitForBytesWritten(1000);
    client.write(synced("01026000086A"));
    EXPECT_EQ(client.read(1, 2000), bytes("00"));
    EXPECT_EQ(nextLine(p), "A5 ON");
    p.write("status\n");
    EXPECT_EQ(nextLine(p), "clock 14:05 day bit 01, base house B");
    EXPECT_EQ(nextLine(p), "A5 ON 100%");

    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

}  // namespace
