// Form1: settings menus, about box, password dialog and service host menu.
#include <QAction>

#include "dialogs.h"
#include "frmabout.h"
#include "frmlogin.h"
#include "interface.h"
#include "mainwindow.h"
#include "numtext.h"
#include "optionsmenu.h"
#include "programinfo.h"
#include "schedulerunner.h"
#include "service.h"
#include "servicehost.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "x10.h"

void Form1::mnuCHC_Click() {
    const QString answer = platform::Dialogs::current()
                               .inputText(QStringLiteral("Enter New Housecode (A-P): "),
                                          QStringLiteral("Change X-10 Housecode"))
                               .toUpper();
    if (answer.isEmpty()) return;
    if (x10::housePosition(answer) == 0) {
        platform::Dialogs::current().message(
            QStringLiteral("You Must Enter a Valid Housecode (A-P)"), QStringLiteral("Error"),
            platform::MsgIcon::Critical);
        return;
    }
    service_->setHouseCode(answer);  // the caption follows
}

std::optional<double> Form1::askPortNumber(const QString& prompt, const QString& title,
                                           double highest, const QString& errorText) {
    const QString answer = platform::Dialogs::current().inputText(prompt, title);
    if (answer.isEmpty()) return std::nullopt;
    const double number = platform::leadingNumber(answer);
    if (number < 1 || number > highest) {
        platform::Dialogs::current().message(errorText, QStringLiteral("Error"),
                                             platform::MsgIcon::Critical);
        return std::nullopt;
    }
    return number;
}

void Form1::mnuComCh_Click() {
    const std::optional<double> number = askPortNumber(
        QStringLiteral("Enter New Com Port Number: "), QStringLiteral("Change Communications Port"),
        3, QStringLiteral("You Must Enter a Valid Com Port Number (1, 2, or 3)"));
    if (!number) return;
    // This contact replaces any retry in the background.
    service_->changeComPort(static_cast<int16_t>(platform::roundHalfEven(*number)));
    setStatusStrip(service_->interface().ready());
    UpdateStatusLabel();
}

void Form1::mnuIntPandrel_Click() {
    menu->mnuIntCP290->setChecked(false);
    menu->mnuIntPandrel->setChecked(true);
    platform::SaveSetting(settings::kAppCapitalised, settings::kSection, settings::kInterface,
                          QStringLiteral("False"));
    MsgReStart();
}

void Form1::mnuIntCP290_Click() {
    menu->mnuIntCP290->setChecked(true);
    menu->mnuIntPandrel->setChecked(false);
    platform::SaveSetting(settings::kAppCapitalised, settings::kSection, settings::kInterface,
                          QStringLiteral("True"));
    MsgReStart();
}

void Form1::MsgReStart() {
    platform::Dialogs::current().message(
        QStringLiteral("You will need to ReStart this Veldrin for the changes to take effect."),
        programinfo::kTitle, platform::MsgIcon::None);
}

void Form1::mnuAbout_Click() {
    if (!aboutBox) aboutBox = new frmAbout(nullptr);
    aboutBox->show();
    aboutBox->raise();
    aboutBox->activateWindow();
}

void Form1::mnuPass_Click() {
    // Modal over the main window, without blocking the caller: the dialog
    // confirms or cancels by itself.
    if (!loginBox) {
        loginBox = new frmLogin(this);
        // Sessions that logged in with the old password end with it.
        connect(loginBox, &frmLogin::passwordChosen, service_, &core::Service::setPassword);
        loginBox->setAttribute(Qt::WA_DeleteOnClose);
        loginBox->setWindowModality(Qt::ApplicationModal);
    }
    loginBox->show();
    loginBox->raise();
    loginBox->activateWindow();
}

void Form1::mnuISvc_Click() {
    serviceHost_->install();
}
void Form1::mnuSSvc_Click() {
    serviceHost_->start();
}
void Form1::mnuPSvc_Click() {
    serviceHost_->stop();
}
void Form1::mnuRSvc_Click() {
    serviceHost_->remove();
}
void Form1::mnuSvcLog_Click() {
    serviceHost_->showLog();
}

void Form1::mnuSchedRun_Click(bool on) {
    service_->schedule().setEnabled(on);
    // The entry shows what holds, also should the switch not have taken.
    menu->mnuSchedRun->setChecked(service_->schedule().enabled());
}

void Form1::mnuSchedShow_Click() {
    // The answer of the query "?schedule": on or off with the file's path,
    // then the next firings.
    QStringList lines = service_->schedule().queryLines();
    if (const QString why = service_->schedule().refusal(); !why.isEmpty())
        lines << QStringLiteral("No schedule runs: the file was refused (%1).").arg(why);
    else if (lines.size() == 1)
        lines << QStringLiteral("Nothing is scheduled to fire.");
    platform::Dialogs::current().message(lines.join(QLatin1Char('\n')), QStringLiteral("Schedule"),
                                         platform::MsgIcon::Information);
}
