// Form1: the remote command interpreter. Each command drives the same
// handlers as the user's clicks, so a remote command has exactly their effect.
// A word whose command the interface path refused (its queue full, the CP290
// busy) is not carried out; the path keeps the reason for the reply.
#include <QSlider>

#include "appstate.h"
#include "clsntprivileges.h"
#include "commandwords.h"
#include "controlcm.h"
#include "interfacecommands.h"
#include "mainwindow.h"
#include "x10.h"

namespace {
const QString kShutdownMessage = QStringLiteral(
    "Windows Shutdown Initiated by an Corvex Client - To Abort, Please choose the Abort "
    "Shutdown Computer option");
}  // namespace

bool Form1::ProcessCommand(const QString& scommand) {
    using commands::Command;
    const Command cmd = commands::parse(scommand);
    AppState& st = appState();
    path_->clearRefusal();
    commandError_.clear();
    const auto sent = [this] {
        commandError_ = path_->lastRefusal();
        return commandError_.isEmpty();
    };
    switch (cmd.kind) {
        case Command::Ignored:
            return false;
        case Command::UnitOn:
            Label1_MouseDown(cmd.unit - 1, 1, 0, 0, 0);
            return sent();
        case Command::UnitOff:
            Label1_MouseDown(cmd.unit - 1, 2, 0, 0, 0);
            return sent();
        case Command::UnitDim:
            st.iLastUnit = cmd.unit;
            Slider1->setVisible(true);
            // A change of position runs the dim handling at once; iDimUnit is
            // read only afterwards, so it is not run twice.
            Slider1->setValue(cmd.level);
            if (cmd.unit != st.iDimUnit) Slider1_Change();
            return sent();
        case Command::HouseCode:
            st.sHouseCode = cmd.text;
            UpdateFormCap();
            if (bLogging) Log_Event(QStringLiteral("House Code Changed to ") + st.sHouseCode);
            return true;
        case Command::AllLightsOn:
            Label3_MouseDown(1, 0, 0, 0);
            return sent();
        case Command::AllUnitsOff:
            Label3_MouseDown(2, 0, 0, 0);
            return sent();
        case Command::AllLightsOff:
            // Through the two-way control whichever interface is in use.
            path_->exec(st.sHouseCode, QStringLiteral("0"), veldrin::x10::AllLightsOff, 0,
                        path_->currentSource());
            return sent();
        case Command::Shutdown:
            if (!NTPrivilege) NTPrivilege = std::make_unique<clsNTPrivileges>();
            // Only a shutdown that was really started is logged as initiated;
            // the client hears of a failure through its reply.
            if (!NTPrivilege->ShutDown(QString(), kShutdownMessage, 180, true, false)) {
                if (bLogging)
                    Log_Event(QStringLiteral("ERROR: Computer Shutdown could not be Started"));
                commandError_ = QStringLiteral("Computer Shutdown could not be Started");
                return false;
            }
            if (bLogging)
                Log_Event(QStringLiteral("Computer Shutdown Initiated by an Corvex Client"));
            return true;
        case Command::AbortShutdown:
            if (!NTPrivilege) NTPrivilege = std::make_unique<clsNTPrivileges>();
            if (!NTPrivilege->AbortShutDown(QString())) {
                if (bLogging)
                    Log_Event(QStringLiteral("ERROR: Computer Shutdown could not be Aborted"));
                commandError_ = QStringLiteral("Computer Shutdown could not be Aborted");
                return false;
            }
            if (bLogging)
                Log_Event(QStringLiteral("Computer Shutdown Aborted by an Corvex Client"));
            return true;
        case Command::Exit: {
            int cancel = 0;
            Form_Unload(cancel);  // ends the program; nothing runs after it
            return true;
        }
    }
    return false;
}
