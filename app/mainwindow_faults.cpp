// Form1: faults of the serial line (a device that goes away, a device this
// user may not open).
#include "appstate.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "deviceaccess.h"
#include "interfacecommands.h"
#include "mainwindow.h"
#include "mscomm.h"
#include "twips.h"

void Form1::controlcm1_PortLost(const QString& reason) {
    if (bLogging)
        Log_Event(QStringLiteral("ERROR: Pandrel Interface Lost on Com: ") +
                  QString::number(controlcm1->comport()) + QStringLiteral(" - ") + reason);
    Label3->setBackColor(ui::kRed);
    path_->setInterfaceReady(false);
}

void Form1::reportPortAccess() {
    if (!bLogging) return;
    const QString device = MSComm::deviceForPort(appState().iComPort);
    const std::optional<QString> group = platform::deniedDeviceGroup(device);
    if (!group) return;
    Log_Event(QStringLiteral("ERROR: Permission denied opening ") + device +
              QStringLiteral(": the user must be a member of the group ") + *group +
              QStringLiteral(" that owns it"));
}
