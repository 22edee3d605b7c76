// Form1: faults of the serial line (a device that goes away, a device this
// user may not open) and the background search for a two-way interface that
// was lost or not found.
#include "appstate.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "deviceaccess.h"
#include "interfacecommands.h"
#include "interfacesupervisor.h"
#include "mainwindow.h"
#include "mscomm.h"
#include "twips.h"

void Form1::controlcm1_PortLost(const QString& reason) {
    if (bLogging)
        Log_Event(QStringLiteral("ERROR: Pandrel Interface Lost on Com: ") +
                  QString::number(controlcm1->comport()) + QStringLiteral(" - ") + reason);
    Label3->setBackColor(ui::kRed);
    path_->setInterfaceReady(false);
    interfaceSupervisor()->supervise(MSComm::deviceForPort(controlcm1->comport()));
}

namespace {
// Why a contact found nothing, from the status of Init.
QString contactFailure(int16_t status, const QString& device) {
    switch (status) {
        case 1:
            return QStringLiteral("No Answer on ") + device;
        case MSComm::InvalidPortNumber:
            return device + QStringLiteral(" Does Not Exist");
        case MSComm::PortAlreadyOpen:
            return device + QStringLiteral(" Is in Use");
        default:
            return device + QStringLiteral(" Could Not Be Opened (Error %1)").arg(status);
    }
}
}  // namespace

core::InterfaceSupervisor* Form1::interfaceSupervisor() {
    if (supervisor_) return supervisor_;
    supervisor_ = new core::InterfaceSupervisor(
        [this] {
            const int16_t status = controlcm1->Init();
            return core::InterfaceSupervisor::Contact{
                status == 0, contactFailure(status, MSComm::deviceForPort(controlcm1->comport()))};
        },
        this);
    connect(supervisor_, &core::InterfaceSupervisor::stillMissing, this,
            [this](const QString& reason) {
                if (bLogging)
                    Log_Event(QStringLiteral("ERROR: Pandrel Interface Still Not Found on Com: ") +
                              QString::number(controlcm1->comport()) + QStringLiteral(" - ") +
                              reason + QStringLiteral(" - Retrying in the Background"));
            });
    connect(supervisor_, &core::InterfaceSupervisor::found, this, [this] {
        if (bLogging)
            Log_Event(QStringLiteral("Found Pandrel Interface on Com: ") +
                      QString::number(controlcm1->comport()) +
                      QStringLiteral(" Connection Established"));
        setStatusStrip(true);
    });
    return supervisor_;
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
