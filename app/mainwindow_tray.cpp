// Form1: the notification-area icon, window modes and where the popup menu
// opens.
#include <QAction>
#include <QCursor>

#include "appstate.h"
#include "dialogs.h"
#include "mainwindow.h"
#include "notifyicon.h"
#include "optionsmenu.h"
#include "programinfo.h"
#include "settingsfile.h"
#include "windowkeys.h"

void Form1::ShowProgramInTray() {
    appState().bInTray = true;
    trayIcon->add();
}

void Form1::RemoveProgramFromTray() {
    appState().bInTray = false;
    trayIcon->remove();
}

void Form1::NoSysIcon(bool maxIcon) {
    const QString service = settings::File::read()
                                .section(settings::kSection)
                                .value(settings::kService)
                                .value_or(QStringLiteral("0"));
    if (service != QLatin1String("0")) {
        platform::Dialogs::current().message(
            QStringLiteral("Minimize will not work when Veldrin is Installed as a Service."),
            programinfo::kTitle, platform::MsgIcon::None);
        return;
    }
    if (maxIcon) {
        RemoveProgramFromTray();
        menu->mnuCTRL->setText(QStringLiteral("Minimize Veldrin to System Tray"));
        setWindowState(windowState() & ~Qt::WindowMinimized);
        bringToFront();
        show();
        return;
    }
    // Without a notification area a hidden window could never come back:
    // it stays on the task bar instead.
    if (!NotifyIcon::available()) {
        if (bLogging)
            Log_Event(
                QStringLiteral("No System Tray on this Desktop: Veldrin stays on the Task Bar"));
        return;
    }
    ShowProgramInTray();
    menu->mnuCTRL->setText(QStringLiteral("E&xpand Veldrin"));
    hide();
}

void Form1::mnuCTRL_Click() {
    NoSysIcon(appState().bInTray);
}

void Form1::Form_Resize() {
    if (isMinimized() && isVisible()) NoSysIcon(false);
}

void Form1::TrayIcon_MouseMove(int message) {
    switch (message) {
        case NotifyIcon::WM_LBUTTONUP:
        case NotifyIcon::WM_LBUTTONDBLCLK:
            NoSysIcon(true);
            break;
        case NotifyIcon::WM_RBUTTONUP:
            bringToFront();
            menu->popup(QCursor::pos());
            break;
        default:
            break;
    }
}

void Form1::l_ClickPad_MouseUp(int Button, const QPoint& globalPos) {
    if (Button != 2) return;
    bringToFront();
    menu->popup(globalPos);
}

void Form1::Form_MouseUp(int Button, const QPoint& globalPos) {
    if (Button != 2) return;
    menu->popup(globalPos);
}
