// Form1: the remote-control listener. Remote clients present the connection
// password set through the password dialog, then send command words that the
// service carries out as the click pad's own steps. The client count drives
// the caption and the connection label.
#include "clicklabel.h"
#include "dialogs.h"
#include "host.h"
#include "mainwindow.h"
#include "numtext.h"
#include "remoteserver.h"
#include "service.h"
#include "serviceremote.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "twips.h"

RemoteServer* Form1::server() const {
    return &host_->remote().server();
}

mqtt::Bridge* Form1::mqttBridge() const {
    return host_->bridge();
}

bool Form1::StartListening() {
    lLocalPort = host_->listenRemote() ? server()->port() : 0;
    if (lLocalPort == 0) {
        l_con_status->setText(QStringLiteral("Not Listening"));
        l_con_status->setForeColor(ui::kRed);
        l_con_status->setToolTip(server()->errorString());
        return false;
    }
    ConStatus(connected ? 1 : 0);
    return true;
}

void Form1::clientCountChanged(int count) {
    iCClients = static_cast<int16_t>(count);
    connected = count > 0;
    ConStatus(connected ? 1 : 0);
    UpdateFormCap();
}

void Form1::mnuServerPort_Click() {
    const std::optional<double> number =
        askPortNumber(QStringLiteral("Enter New Server Listening Port (1-65535): "),
                      QStringLiteral("Change Server Listening Port"), 65535,
                      QStringLiteral("You Must Enter a Valid Port Number (1 to 65535)"));
    if (!number) return;
    const int port = static_cast<int>(platform::roundHalfEven(*number));
    platform::SaveSetting(settings::kApp, settings::kSection, settings::kListenPort,
                          QString::number(port));
    if (bLogging)
        Log_Event(QStringLiteral("Changed Server Listening Port to: ") + QString::number(port));
    StartListening();
}
