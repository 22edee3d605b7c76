// Platform adapters the main window relies on: single-instance lock, the
// shell's "open", privileges.
#include <gtest/gtest.h>

#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "privileges.h"
#include "shell.h"
#include "singleinstance.h"

namespace {

TEST(SingleInstanceLock, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquire());
    EXPECT_TRUE(first.path().endsWith("/veldrin.lock"));
    EXPECT_TRUE(first.path().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR")));
    {
        platform::SingleInstance second;
        EXPECT_FALSE(second.acquire());
    }
    first.release();
    platform::SingleInstance third;
    EXPECT_TRUE(third.acquire());
}

TEST(SingleInstanceLock, LockOfAKilledProcessDoesNotStopTheNextStart) {
    const pid_t child = ::fork();
    if (child == 0) {
        platform::SingleInstance held;
        ::_exit(held.acquire() ? 0 : 1);  // dies holding the lock file
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    platform::SingleInstance next;
    ASSERT_TRUE(QFile::exists(next.path()));
    EXPECT_TRUE(next.acquire());
}

TEST(ShellOpen, ExeAndBareNameAreTheSameFile) {
    QTemporaryDir dir;
    const QString bare = dir.path() + "/Host";
    EXPECT_EQ(platform::resolveShellFile(bare), "");
    EXPECT_EQ(platform::shellOpen(bare, {}, platform::SW_HIDE), platform::kShellNotFound);
    QFile f(bare);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(platform::resolveShellFile(bare + ".exe"), bare);
    EXPECT_EQ(platform::resolveShellFile(bare), bare);
    QFile::rename(bare, bare + ".exe");
    EXPECT_EQ(platform::resolveShellFile(bare), bare + ".exe");
    EXPECT_EQ(platform::resolveShellFile(dir.path()), "");  // a folder is no file
}

TEST(ShellOpen, ProgramsStartWithSplitArgumentsDocumentsGoToTheDesktop) {
    QTemporaryDir dir;
    QString program;
    QStringList args;
    QString document;
    bool succeed = true;
    platform::setShellLauncher({[&](const QString& p, const QStringList& a) {
                                    program = p;
                                    args = a;
                                    return succeed;
                                },
                                [&](const QString& d) {
                                    document = d;
                                    return succeed;
                                }});
    QFile exe(dir.path() + "/tool");  // a program by its first bytes
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    exe.write("#!/bin/sh\n");
    exe.close();
    exe.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    EXPECT_GT(platform::shellOpen(dir.path() + "/tool.exe", "-r \"Veldrin Service\"", 0), 32);
    EXPECT_EQ(program, dir.path() + "/tool");
    EXPECT_EQ(args, QStringList({"-r", "Veldrin Service"}));

    QFile doc(dir.path() + "/notes.txt");
    ASSERT_TRUE(doc.open(QIODevice::WriteOnly));
    doc.close();
    EXPECT_GT(platform::shellOpen(dir.path() + "/notes.txt", {}, 1), 32);
    EXPECT_EQ(document, dir.path() + "/notes.txt");

    succeed = false;
    EXPECT_EQ(platform::shellOpen(dir.path() + "/notes.txt", {}, 1), platform::kShellFailed);
    platform::setShellLauncher({});
}

TEST(Privileges, NamesMapToTheBootCapability) {
    EXPECT_EQ(platform::capabilityForPrivilege("SeShutdownPrivilege"), CAP_SYS_BOOT);
    EXPECT_EQ(platform::capabilityForPrivilege("SeRemoteShutdownPrivilege"), CAP_SYS_BOOT);
    EXPECT_EQ(platform::capabilityForPrivilege("SeDebugPrivilege"), -1);
    EXPECT_EQ(platform::capabilityForPrivilege("seshutdownprivilege"), -1);
}

TEST(Privileges, ShutdownCommandLines) {
    QList<QStringList> runs;
    platform::setCommandRunner([&](const QString& p, const QStringList& a) {
        runs << (QStringList{p} + a);
        return true;
    });
    platform::shutdownComputer("bye", 180, false);
    platform::shutdownComputer("bye", 61, true);
    platform::shutdownComputer("now", 0, false);
    platform::abortShutdown();
    platform::setCommandRunner({});
    EXPECT_EQ(runs, (QList<QStringList>{{"shutdown", "-P", "+3", "bye"},
                                        {"shutdown", "-r", "+2", "bye"},
                                        {"shutdown", "-P", "+0", "now"},
                                        {"shutdown", "-c"}}));
}

// A service or a reduced session may run without the system folders on PATH;
// a shutdown that could not be started is reported to the caller.
TEST(Privileges, ShutdownIsFoundOffPathAndAFailedStartIsReported) {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", "/nonexistent-veldrin");
    QStringList programs;
    bool starts = true;
    platform::setCommandRunner([&](const QString& p, const QStringList&) {
        programs << p;
        return starts;
    });
    const bool present =
        QFileInfo::exists("/sbin/shutdown") || QFileInfo::exists("/usr/sbin/shutdown");
    EXPECT_EQ(platform::shutdownComputer("bye", 180, false), present);
    EXPECT_EQ(platform::abortShutdown(), present);
    starts = false;
    EXPECT_FALSE(platform::shutdownComputer("bye", 180, false));
    platform::setCommandRunner({});
    qputenv("PATH", path);
    EXPECT_EQ(programs.size(), present ? 3 : 0);
    for (const QString& p : programs)
        EXPECT_TRUE(p == "/sbin/shutdown" || p == "/usr/sbin/shutdown") << p.toStdString();
}

}  // namespace
