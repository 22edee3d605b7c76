// Form1: start-up, unload and exit.
#include <QAction>
#include <QSlider>

#include "appstate.h"
#include "clicklabel.h"
#include "host.h"
#include "interface.h"
#include "mainwindow.h"
#include "numtext.h"
#include "optionsmenu.h"
#include "schedulerunner.h"
#include "service.h"
#include "settingsfile.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "twips.h"
#include "windowkeys.h"

using platform::SaveSetting;

void Form1::Form_Load() {
    AppState& st = appState();
    // The single-instance check runs in main() before the window exists.
    st.iHeightContracted = 990;
    st.iHeightExpanded = 3960;
    TrayIcon->move(TrayIcon->x(), ui::px(Height() + 1000));
    app_tit = QStringLiteral("Veldrin Pro");
    setHeight(st.iHeightContracted);

    bLogging = true;
    connected = false;

    const bool cp290 = service_->interface().kind() == core::Interface::Kind::Cp290;
    menu->mnuIntCP290->setChecked(cp290);
    menu->mnuIntPandrel->setChecked(!cp290);

    // The modules this installation has and their last known states; the
    // slider starts at full brightness with no unit selected.
    service_->load();
    menu->mnuSchedRun->setChecked(service_->schedule().enabled());

    setWindowTitle(windowTitle() + QStringLiteral(" (HouseCode: ") + service_->houseCode() +
                   QStringLiteral(") - ") + QString::number(iCClients));

    // Positions below 0 (stored while minimised) start at 0; positions past
    // the right or bottom edge are left alone.
    const settings::Section stored = settings::File::read().section(settings::kSection);
    setTop(settings::readPosition(stored.value(settings::kTop).value_or(QStringLiteral("0"))));
    setLeft(settings::readPosition(stored.value(settings::kLeft).value_or(QStringLiteral("0"))));

    RemoveProgramFromTray();
    menu->mnuCTRL->setText(QStringLiteral("Minimize Veldrin to System Tray"));

    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    bringToFront();
    show();
    bringToFront();

    // Contact the interface once; the window is already visible and keeps
    // repainting while the contact waits. One that does not answer is
    // looked for again in the background.
    setStatusStrip(host_->contact());

    host_->startBridge();

    iCClients = 0;
    UpdateStatusLabel();
    ConStatus(0);
    // A listener that could not start has said why in the log and the
    // connection label instead.
    if (StartListening() && bLogging) Log_Event(QStringLiteral("Listening for a connection..."));
    host_->startPage();
}

void Form1::setStatusStrip(bool found) {
    Label3->setBackColor(found ? ui::kGreen : ui::kRed);
    const QString state =
        QStringLiteral("Interface ") + core::Interface::linkText(service_->interface().link());
    Label3->setToolTip(state + QStringLiteral(". Click Left Mouse Button for Base HouseCode All "
                                              "Lights On, Right for All Units Off"));
}

void Form1::Form_Unload(int& Cancel) {
    Q_UNUSED(Cancel);  // never set: unloading always goes through
    // Commands already taken go out first (a few seconds at most), or are
    // named as dropped; with none waiting the program ends at once.
    host_->end([this] {
        SaveSetting(settings::kApp, settings::kSection, settings::kTop,
                    platform::blankNumber(Top()));
        SaveSetting(settings::kApp, settings::kSection, settings::kLeft,
                    platform::blankNumber(Left()));
    });
}

void Form1::mnuExit_Click() {
    RemoveProgramFromTray();
    int cancel = 0;
    Form_Unload(cancel);
}
