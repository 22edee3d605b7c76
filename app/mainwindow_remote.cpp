// Form1: the remote-control listener. Remote clients present the connection
// password set through the password dialog, then send command words that go
// to ProcessCommand exactly as the click pad's own actions do. The client
// count drives the caption and the connection label. The query "?state"
// is answered from the module states and never reaches ProcessCommand. A
// word whose command was not sent is answered "ERROR" with the reason.
#include "appstate.h"
#include "clicklabel.h"
#include "dialogs.h"
#include "interfacecommands.h"
#include "mainwindow.h"
#include "numtext.h"
#include "remoteserver.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "statequery.h"
#include "twips.h"

bool Form1::StartListening() {
    if (!server_) {
        RemoteServer::Hooks hooks;
        hooks.password = [] { return appState().sConPassword; };
        hooks.command = [this](const QString& word) -> RemoteServer::CommandResult {
            // What a command word changes is tagged as coming from a remote client.
            InterfaceCommands::SourceScope remote(*path_, state::Source::Remote);
            if (ProcessCommand(word)) return true;
            // Not sent: the client hears why (the log has its own line).
            return RemoteServer::CommandResult::refused(commandError());
        };
        hooks.query = [this](const QString& line) {
            return app::answerStateQuery(line,
                                         [this](state::Address a) { return table_->state(a); });
        };
        hooks.clientLog = [this](const QString& text, int idx) {
            Log_ClientEvent(text, static_cast<int16_t>(idx));
        };
        hooks.eventLog = [this](const QString& text) {
            if (bLogging) Log_Event(text);
        };
        server_ = std::make_unique<RemoteServer>(hooks);
        connect(server_.get(), &RemoteServer::clientCountChanged, this, &Form1::clientCountChanged);
    }
    const QString address =
        platform::GetSetting(settings::kApp, settings::kSection, settings::kListenAddress,
                             settings::kDefaultListenAddress)
            .trimmed();
    const int port = settings::readListenPort(
        platform::GetSetting(settings::kApp, settings::kSection, settings::kListenPort));
    RemoteServer::Tls tls;
    tls.certificateFile =
        platform::GetSetting(settings::kApp, settings::kSection, settings::kTlsCertificate)
            .trimmed();
    tls.keyFile =
        platform::GetSetting(settings::kApp, settings::kSection, settings::kTlsKey).trimmed();
    lLocalPort = server_->listen(address, static_cast<quint16>(port), tls) ? server_->port() : 0;
    if (lLocalPort == 0) {
        l_con_status->setText(QStringLiteral("Not Listening"));
        l_con_status->setForeColor(ui::kRed);
        l_con_status->setToolTip(server_->errorString());
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
