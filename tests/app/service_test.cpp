// The service host menu against a stand-in Grelmond in a temporary program
// folder: the stand-in writes its arguments, one per line, to a file.
#include <unistd.h>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "appfixture.h"
#include "optionsmenu.h"
#include "servicehost.h"
#include "shell.h"

namespace {

class Service : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        platform::setProgramFolder(folder.path());
        platform::ShellLauncher l = platform::defaultShellLauncher();
        l.openDocument = [this](const QString& path) {
            documents << path;
            return true;
        };
        platform::setShellLauncher(l);
        mapPort(1, "/nonexistent/tty");
        load();
        dialogs.messages.clear();
    }
    void TearDown() override {
        platform::setProgramFolder({});
        platform::setShellLauncher({});
        AppTest::TearDown();
    }
    void installHost(const QString& name) {
        QFile f(folder.path() + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            // Written aside and renamed, so the test never reads a half-written file.
            QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1.tmp'\n"
                           "mv '%1.tmp' '%1'\n")
                .arg(argsFile())
                .toLocal8Bit());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString argsFile() const { return folder.path() + "/args.txt"; }
    QStringList hostArgs() {
        testenv::pumpUntil([this] { return QFile::exists(argsFile()); }, 5000);
        QFile f(argsFile());
        if (!f.open(QIODevice::ReadOnly)) return {"<not started>"};
        QStringList out = QString::fromUtf8(f.readAll()).split('\n');
        out.removeLast();
        f.close();
        QFile::remove(argsFile());
        return out;
    }

    QTemporaryDir folder;
    QStringList documents;
};

TEST_F(Service, MissingHostIsReportedAndChangesNothing) {
    Form1& w = *window;
    for (QAction* a : {w.menu->mnuISvc, w.menu->mnuSSvc, w.menu->mnuPSvc, w.menu->mnuRSvc}) {
        dialogs.messages.clear();
        a->trigger();
        ASSERT_EQ(dialogs.messages.size(), 1) << a->objectName().toStdString();
        EXPECT_EQ(dialogs.messages[0].text, "The Program was not found in: " + folder.path());
        EXPECT_EQ(dialogs.messages[0].title, "Veldrin Pro");
        EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Exclamation);
    }
    dialogs.messages.clear();
    w.menu->mnuSvcLog->trigger();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0].text, "The Grelmond.txt file was not found in: " + folder.path());
    EXPECT_EQ(dialogs.messages[0].title, "Veldrin Pro");
    EXPECT_EQ(startup("Service"), "<absent>");
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(documents.isEmpty());
}

TEST_F(Service, EachItemPassesItsCommandLine) {
    installHost("Grelmond");  // without ".exe": the same file for install
    Form1& w = *window;
    struct Case {
        QAction* item;
        QStringList args;
        QString message;
    };
    const QString crlf2 = "\r\n\r\n";
    for (const Case& c : std::initializer_list<Case>{
             {w.menu->mnuSSvc, {"-r", "Veldrin Service"}, "Service Started"},
             {w.menu->mnuPSvc, {"-k", "Veldrin Service"}, "Service Stopped"},
             {w.menu->mnuRSvc,
              {"-u"},
              "Service Removed." + crlf2 + "You Do Not Reboot your Machine." + crlf2 +
                  "Veldrin will now resume minimizing to the System Tray in this Mode."}}) {
        dialogs.messages.clear();
        c.item->trigger();
        EXPECT_EQ(hostArgs(), c.args) << c.item->objectName().toStdString();
        ASSERT_EQ(dialogs.messages.size(), 1);
        EXPECT_EQ(dialogs.messages[0].text, c.message);
        EXPECT_EQ(dialogs.messages[0].title, "");
        EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::None);
    }
    EXPECT_EQ(startup("Service"), "0");
    EXPECT_EQ(exits, 0);
}

TEST_F(Service, InstallWritesTheModeAfterTheMessageThenUnloads) {
    installHost("Grelmond.exe");
    Form1& w = *window;
    w.service().setHouseCode("D");
    QString serviceWhileBoxOpen;
    dialogs.onMessage = [&] { serviceWhileBoxOpen = startup("Service"); };
    w.menu->mnuISvc->trigger();
    EXPECT_EQ(hostArgs(), QStringList{"-i"});
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0].text,
              "Service Installed.\r\n\r\nThis Program will Exit Now.  Reboot your Machine and the "
              "Service will Start Automatically.\r\n\r\nVeldrin will NOT minimize to the System "
              "Tray in this Mode.");
    EXPECT_EQ(serviceWhileBoxOpen, "<absent>");
    EXPECT_EQ(startup("Service"), "1");
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(startup("HouseCode"), "D");  // the unload step saved the settings
}

// What the file is decides "run it" or "show it", not its execute bit; a
// host that cannot run is an error and nothing is recorded as installed.
TEST_F(Service, TheHostIsRunOrShownByWhatItIsNotByItsExecuteBit) {
    const QString host = folder.path() + "/Grelmond.exe";
    const auto rw = QFile::ReadOwner | QFile::WriteOwner;
    for (const bool script : {false, true}) {
        if (script) {
            installHost("Grelmond.exe");  // a program, but not allowed to run
            QFile::setPermissions(host, rw);
        } else {
            QFile f(host);  // a text document marked executable
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("Install notes\n");
            f.close();
            f.setPermissions(rw | QFile::ExeOwner);
        }
        dialogs.messages.clear();
        window->menu->mnuISvc->trigger();
        ASSERT_EQ(dialogs.messages.size(), 1) << script;
        EXPECT_EQ(dialogs.messages[0].text, "The Program could not be Run: " + host);
        EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Exclamation);
        EXPECT_EQ(startup("Service"), "<absent>");
        EXPECT_EQ(exits, 0);
        QFile::remove(host);
    }
    // A log marked executable is still a document: shown, not run.
    QFile log(folder.path() + "/Grelmond.txt");
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("started\n");
    log.close();
    log.setPermissions(rw | QFile::ExeOwner);
    dialogs.messages.clear();
    window->menu->mnuSvcLog->trigger();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(documents, QStringList{folder.path() + "/Grelmond.txt"});
}

TEST_F(Service, LogIsHandedToTheDesktop) {
    QFile log(folder.path() + "/Grelmond.txt");
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.close();
    window->menu->mnuSvcLog->trigger();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(documents, QStringList{folder.path() + "/Grelmond.txt"});
}

TEST_F(Service, LogInTheStateFolderWhenNotBesideTheProgram) {
    // The test process has a private XDG_STATE_HOME.
    ASSERT_TRUE(QDir().mkpath(qEnvironmentVariable("XDG_STATE_HOME") + "/veldrin"));
    QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/veldrin/Grelmond.txt");
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.close();
    window->menu->mnuSvcLog->trigger();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(documents, QStringList{log.fileName()});

    // A log beside the program is the one shown.
    QFile beside(folder.path() + "/Grelmond.txt");
    ASSERT_TRUE(beside.open(QIODevice::WriteOnly));
    beside.close();
    documents.clear();
    window->menu->mnuSvcLog->trigger();
    EXPECT_EQ(documents, QStringList{beside.fileName()});
    log.remove();
}

// Root may write a system folder, but no package owns a file written there:
// the host's log, and "Service Log" with it, goes to the state folder.
TEST(ServiceHostLog, RootWritesNoLogIntoASystemFolder) {
    QTemporaryDir own;
    EXPECT_EQ(ServiceHost::logFile(own.path()), own.path() + "/Grelmond.txt");
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    EXPECT_EQ(ServiceHost::logFile("/usr/bin"), ServiceHost::fallbackLogFile());
}

}  // namespace
