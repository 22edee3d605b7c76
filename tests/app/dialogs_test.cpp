// About box and password dialog.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include "appfixture.h"
#include "frmabout.h"
#include "frmlogin.h"
#include "optionsmenu.h"
#include "programinfo.h"

namespace {

class AboutBox : public AppTest {};

TEST_F(AboutBox, OneNonModalInstanceWithTitleAndVersion) {
    mapPort(1, "/nonexistent/tty");
    Form1& w = load();
    w.menu->mnuAbout->trigger();
    QPointer<frmAbout> box = w.aboutBox;
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->parentWidget(), nullptr);
    EXPECT_EQ(box->windowTitle(), "About Veldrin");
    EXPECT_EQ(box->lblTitle->text(), "Veldrin");
    EXPECT_EQ(box->lblVersion->text(), QStringLiteral("Version %1.%2.%3")
                                           .arg(programinfo::kVersionMajor)
                                           .arg(programinfo::kVersionMinor)
                                           .arg(programinfo::kVersionPatch));
    EXPECT_TRUE(box->lblDescription->text().startsWith('\n'));
    EXPECT_EQ(box->cmdOK->text(), "OK");
    EXPECT_EQ(box->cmdSysInfo->text(), "&System Info...");

    w.menu->mnuAbout->trigger();
    EXPECT_EQ(w.aboutBox, box);  // the same instance comes forward
    // The main window stays usable meanwhile.
    w.menu->mnuClrTopLog->trigger();
    EXPECT_EQ(w.lstEvents->count(), 0);

    box->cmdOK->click();
    testenv::pumpUntil([&] { return box.isNull(); }, 2000);
    EXPECT_TRUE(box.isNull());
    EXPECT_EQ(frmAbout::versionText(3, 1, 25), "Version 3.1.25");
}

TEST_F(AboutBox, SystemInformationIsStartedOrReportedUnavailable) {
    const QByteArray savedPath = qgetenv("PATH");
    QTemporaryDir bin;
    qputenv("PATH", bin.path().toLocal8Bit());
    frmAbout::StartSysInfo();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0].text, "System Information Is Unavailable At This Time");
    EXPECT_EQ(dialogs.messages[0].title, "");
    EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::None);

    // A stand-in system-information program on PATH is started.
    const QString marker = bin.path() + "/started";
    QFile script(bin.path() + "/kinfocenter");
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\n: > '%1'\n").arg(marker).toLocal8Bit());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    frmAbout box;
    box.cmdSysInfo->click();
    EXPECT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(testenv::pumpUntil([&] { return QFile::exists(marker); }, 5000));
    qputenv("PATH", savedPath);
}

class Login : public AppTest {};

TEST_F(Login, EqualEntriesSetThePasswordDifferentOnesAreRefused) {
    frmLogin dlg;
    QStringList chosen;
    QObject::connect(&dlg, &frmLogin::passwordChosen, [&](const QString& p) { chosen << p; });
    EXPECT_EQ(dlg.windowTitle(), "Login");
    EXPECT_EQ(dlg.lblLabels[0]->text(), "New Password:");
    EXPECT_EQ(dlg.lblLabels[1]->text(), "Confirmation:");
    EXPECT_EQ(dlg.txtPAS->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dlg.txtCon->echoMode(), QLineEdit::Password);
    dlg.show();

    // Differ only in case: refused, both emptied, focus on the first.
    dlg.txtPAS->setText("Secret");
    dlg.txtCon->setText("secret");
    dlg.txtCon->setFocus();
    dlg.cmdOK->click();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0].text, "Passwords Do Not Match, Please Try Again.");
    EXPECT_EQ(dialogs.messages[0].title, "");
    EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Critical);
    EXPECT_EQ(dlg.txtPAS->text(), "");
    EXPECT_EQ(dlg.txtCon->text(), "");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(chosen.isEmpty());
    QApplication::setActiveWindow(&dlg);
    EXPECT_EQ(dlg.focusWidget(), dlg.txtPAS);

    dlg.txtPAS->setText("Secret");
    dlg.txtCon->setText("Secret");
    dlg.cmdOK->click();
    EXPECT_EQ(chosen, QStringList{"Secret"});
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(Login, EmptyEntriesAndCancel) {
    QStringList chosen;
    {
        frmLogin dlg;
        QObject::connect(&dlg, &frmLogin::passwordChosen, [&](const QString& p) { chosen << p; });
        dlg.show();
        dlg.txtPAS->setText("new");
        dlg.txtCon->setText("new");
        dlg.cmdCancel->click();
        EXPECT_TRUE(chosen.isEmpty());
    }
    frmLogin dlg;
    QObject::connect(&dlg, &frmLogin::passwordChosen, [&](const QString& p) { chosen << p; });
    dlg.show();
    dlg.cmdOK->click();
    EXPECT_EQ(chosen, QStringList{""});
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(Login, MenuOpensItModalOverTheWindow) {
    mapPort(1, "/nonexistent/tty");
    Form1& w = load();
    w.menu->mnuPass->trigger();
    QPointer<frmLogin> dlg = w.loginBox;
    ASSERT_TRUE(dlg);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->isModal());
    EXPECT_EQ(dlg->parentWidget(), &w);
    dlg->txtPAS->setText("x");
    dlg->txtCon->setText("x");
    dlg->cmdOK->click();
    EXPECT_EQ(w.service().password(), "x");
    testenv::pumpUntil([&] { return dlg.isNull(); }, 2000);
    EXPECT_TRUE(dlg.isNull());  // each showing starts with empty boxes
}

}  // namespace
