// Form1: start-up, unload and exit.
#include <QAction>
#include <QSlider>

#include "appstate.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "interfacecommands.h"
#include "interfacesupervisor.h"
#include "mainwindow.h"
#include "mscomm.h"
#include "numtext.h"
#include "optionsmenu.h"
#include "processexit.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "twips.h"

using platform::GetSetting;
using platform::SaveSetting;

void Form1::Form_Load() {
    AppState& st = appState();
    // The single-instance check runs in main() before the window exists.
    st.iHeightContracted = 990;
    st.iHeightExpanded = 3960;
    iWSControl = 0;
    TrayIcon->move(TrayIcon->x(), ui::px(Height() + 1000));
    app_tit = QStringLiteral("Veldrin Pro");
    setHeight(st.iHeightContracted);

    bLogging = true;
    connected = false;
    Slider1->setValue(10);  // runs the dim handling once; no unit is selected yet

    st.sHouseCode =
        GetSetting(settings::kApp, settings::kSection, settings::kHouseCode, QStringLiteral("A"));
    st.bCP290 = settings::readBool(GetSetting(settings::kAppCapitalised, settings::kSection,
                                              settings::kInterface, QStringLiteral("False")));
    menu->mnuIntCP290->setChecked(st.bCP290);
    menu->mnuIntPandrel->setChecked(!st.bCP290);

    // The modules this installation has and their last known states.
    table_->setModules(state::ModuleList::fromSettings(st.sHouseCode, [this](const QString& t) {
        if (bLogging) Log_Event(t);
    }));
    table_->load(state::StateTable::defaultPath());
    table_->setAutosave(state::StateTable::defaultPath());

    setWindowTitle(windowTitle() + QStringLiteral(" (HouseCode: ") + st.sHouseCode +
                   QStringLiteral(") - ") + QString::number(iCClients));

    // Positions below 0 (stored while minimised) start at 0; positions past
    // the right or bottom edge are left alone.
    setTop(settings::readPosition(
        GetSetting(settings::kApp, settings::kSection, settings::kTop, QStringLiteral("0"))));
    setLeft(settings::readPosition(
        GetSetting(settings::kApp, settings::kSection, settings::kLeft, QStringLiteral("0"))));

    RemoveProgramFromTray();
    menu->mnuCTRL->setText(QStringLiteral("Minimize Veldrin to System Tray"));

    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    if (!headless_) {
        bringToFront();
        show();
        bringToFront();
    }

    if (bLogging) Log_Event(QStringLiteral("Attempting to Contact Computer Interface..."));

    st.iComPort = settings::readPort(
        GetSetting(settings::kApp, settings::kSection, settings::kComPort, QStringLiteral("1")));
    // A damaged line is skipped (the other keys still read) and dropped when
    // the settings are saved; say so once.
    if (const int line = platform::firstUnreadableSettingsLine(); line > 0 && bLogging)
        Log_Event(QStringLiteral("WARNING: Could not Read Line %1 of the Settings File").arg(line));
    controlcm1->setComport(st.iComPort);

    // Contact the interface once; the window is already visible and keeps
    // repainting while the contact waits.
    if (!st.bCP290) {
        const int16_t status = controlcm1->Init();
        if (status != 0) {
            if (bLogging)
                Log_Event(QStringLiteral("ERROR: Pandrel Interface Not Found on Com: ") +
                          QString::number(st.iComPort));
            setStatusStrip(false);
        } else {
            if (bLogging)
                Log_Event(QStringLiteral("Found Pandrel Interface on Com: ") +
                          QString::number(controlcm1->comport()) +
                          QStringLiteral(" Connection Established"));
            setStatusStrip(true);
        }
    } else {
        contactCp290();
    }

    startBridge();

    iCClients = 0;
    UpdateStatusLabel();
    ConStatus(0);
    // A listener that could not start has said why in the log and the
    // connection label instead.
    if (StartListening() && bLogging) Log_Event(QStringLiteral("Listening for a connection..."));
}

void Form1::contactCp290() {
    // The detection logs what it found; only the failure is logged here.
    if (CP290Detect(*link_) != 0) {
        if (bLogging)
            Log_Event(QStringLiteral("ERROR: CP290 Interface Not Found on Com: ") +
                      QString::number(appState().iComPort));
        setStatusStrip(false);
    } else {
        setStatusStrip(true);
    }
}

void Form1::setStatusStrip(bool found) {
    Label3->setBackColor(found ? ui::kGreen : ui::kRed);
    path_->setInterfaceReady(found);
    if (!found) reportPortAccess();
    // A two-way interface that did not answer is looked for again until it
    // does. (The CP290 is looked for at each exchange.)
    if (appState().bCP290) return;
    if (found)
        interfaceSupervisor()->stop();
    else
        interfaceSupervisor()->supervise(MSComm::deviceForPort(controlcm1->comport()));
}

void Form1::Form_Unload(int& Cancel) {
    Q_UNUSED(Cancel);  // never set: unloading always goes through
    const AppState& st = appState();
    SaveSetting(settings::kApp, settings::kSection, settings::kHouseCode, st.sHouseCode);
    SaveSetting(settings::kApp, settings::kSection, settings::kComPort,
                QString::number(st.iComPort));
    SaveSetting(settings::kApp, settings::kSection, settings::kTop, platform::blankNumber(Top()));
    SaveSetting(settings::kApp, settings::kSection, settings::kLeft, platform::blankNumber(Left()));
    table_->flush();
    stopBridge();
    app::endProcess(0);
}

void Form1::mnuExit_Click() {
    RemoveProgramFromTray();
    int cancel = 0;
    Form_Unload(cancel);
}
