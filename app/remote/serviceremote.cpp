#include "serviceremote.h"

#include <QHostAddress>

#include "eventlog.h"
#include "schedulerunner.h"
#include "service.h"
#include "settingsfile.h"
#include "statequery.h"

namespace remote {

ServiceRemote::ServiceRemote(core::Service& service, QObject* parent)
    : QObject(parent), service_(service) {
    RemoteServer::Hooks hooks;
    hooks.password = [this] { return service_.password(); };
    hooks.command = [this](const QString& word) -> RemoteServer::CommandResult {
        const core::Service::WordResult r = service_.runWord(word, state::Source::Remote);
        if (r.done) return true;
        // Not carried out: the client hears why (the log has its own line).
        return RemoteServer::CommandResult::refused(r.reason);
    };
    hooks.query = [this](const QString& line) -> std::optional<QStringList> {
        if (line.trimmed().compare(QLatin1String("?schedule"), Qt::CaseInsensitive) == 0)
            return service_.schedule().queryLines();
        return app::answerStateQuery(
            line, [this](state::Address a) { return service_.states().state(a); });
    };
    hooks.clientLog = [this](const QString& text, int) { service_.log().client(text); };
    hooks.eventLog = service_.log().hook();
    hooks.guesses = &service_.guesses();
    server_ = std::make_unique<RemoteServer>(hooks);
    connect(&service_, &core::Service::passwordChanged, server_.get(),
            &RemoteServer::endStaleSessions);
}

ServiceRemote::~ServiceRemote() = default;

bool ServiceRemote::listen() {
    const settings::Startup startup = settings::File::read().startup();
    const QString address = startup.listenAddress;
    const int port = startup.listenPort;
    RemoteServer::Tls tls;
    tls.certificateFile = startup.tlsCertificate;
    tls.keyFile = startup.tlsKey;
    address_ = address;
    const QString refusal =
        settings::clearTextRefusal(tls.enabled(), QHostAddress(address).isLoopback(), address);
    if (!refusal.isEmpty()) {
        service_.log().error(QStringLiteral("Remote control not started: ") + refusal);
        return false;
    }
    return server_->listen(address, static_cast<quint16>(port), tls);
}

QString ServiceRemote::where() const {
    return QStringLiteral("on %1 port %2 %3")
        .arg(address_)
        .arg(server_->port())
        .arg(server_->isEncrypted() ? QStringLiteral("with TLS") : QStringLiteral("without TLS"));
}

}  // namespace remote
