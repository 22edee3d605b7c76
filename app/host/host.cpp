#include "host.h"

#include <algorithm>

#include "eventlog.h"
#include "interface.h"
#include "mqttbridge.h"
#include "mscomm.h"
#include "processexit.h"
#include "schedulerunner.h"
#include "service.h"
#include "serviceremote.h"
#include "serviceweb.h"
#include "startoptions.h"

namespace app {

namespace {
const QString kRemote = QStringLiteral("remote");
const QString kPassword = QStringLiteral("password");
const QString kPage = QStringLiteral("page");
const QString kBridge = QStringLiteral("bridge");
}  // namespace

Host::Host(QObject* parent)
    : QObject(parent),
      service_(std::make_unique<core::Service>(core::ServiceSettings::read())),
      remote_(std::make_unique<remote::ServiceRemote>(*service_)) {
    connect(&service_->interface(), &core::Interface::readyChanged, this, [this](bool ready) {
        everFound_ = everFound_ || ready;
        updateStatus();
    });
    // Lost and not answering differ in words only.
    connect(&service_->interface(), &core::Interface::linkChanged, this,
            [this] { updateStatus(); });
    status_ = status();
}

Host::~Host() {
    // The interface lets its port go as it ends: no status follows that.
    service_->interface().disconnect(this);
    // The front ends refer to the service.
    page_.reset();
    bridge_.reset();
    remote_.reset();
    service_.reset();
}

bool Host::usePasswordFile(const QString& path, QString* error) {
    const std::optional<QString> password = readPasswordFile(path, &passwordError_);
    if (error) *error = passwordError_;
    if (password) service_->setPassword(*password);
    setDown(kPassword,
            password ? std::nullopt
                     : std::optional(QStringLiteral("remote control closed: ") + passwordError_));
    return password.has_value();
}

void Host::logPasswordProblem() {
    if (passwordError_.isEmpty()) return;
    service_->log().event(
        QStringLiteral("ERROR: No connection password is set, remote control stays closed: ") +
        passwordError_);
}

void Host::load() {
    service_->load();
}

bool Host::contact() {
    service_->start();
    contacted_ = true;
    everFound_ = everFound_ || service_->interface().ready();
    updateStatus();
    return service_->interface().ready();
}

void Host::startBridge() {
    if (bridge_) return;
    core::Service& s = *service_;
    // No bridge and no line: [MQTT] names no broker, so nothing is down.
    const std::optional<QString> failed = attempt(
        [this, &s] {
            bridge_ = mqtt::Bridge::fromSettings(&s.states(), &s.commands(),
                                                 std::max(1, s.basePosition()), s.log().hook());
            return bridge_ != nullptr;
        },
        QString());
    setDown(kBridge, failed && !failed->isEmpty() ? failed : std::nullopt);
    if (!bridge_) return;
    bridge_->setSchedule(&s.schedule());
    // The hub's diagnostics show the interface's link in words.
    core::Interface& iface = s.interface();
    bridge_->setInterfaceLink(core::Interface::linkText(iface.link()));
    connect(&iface, &core::Interface::linkChanged, bridge_.get(),
            [bridge = bridge_.get()](core::Interface::Link link) {
                bridge->setInterfaceLink(core::Interface::linkText(link));
            });
    linkBridgeToPage();
    const auto follow = [this] {
        // Off after a take-over, the status names the cause, not only the broker.
        const QString problem = bridge_->client().problem();
        const QString down =
            problem.isEmpty()
                ? QStringLiteral("MQTT broker %1 not connected").arg(bridge_->client().brokerName())
                : QStringLiteral("MQTT broker %1 not connected: %2")
                      .arg(bridge_->client().brokerName(), problem);
        setDown(kBridge, bridge_->isConnected() ? std::nullopt : std::optional(down));
    };
    connect(bridge_.get(), &mqtt::Bridge::connectionChanged, this, follow);
    follow();
    if (page_) {
        page_->setMqttConnected(bridge_->isConnected());
        connect(bridge_.get(), &mqtt::Bridge::connectionChanged, page_.get(),
                &web::ServiceWeb::setMqttConnected);
    }
}

bool Host::listenRemote() {
    const std::optional<QString> failed = attempt([this] { return remote_->listen(); },
                                                  QStringLiteral("Remote control not listening"));
    setDown(kRemote, failed);
    return !failed;
}

void Host::startPage() {
    if (page_ || !web::ServiceWeb::enabledInSettings()) return;
    page_ = std::make_unique<web::ServiceWeb>(*service_);
    if (bridge_) {
        page_->setMqttConnected(bridge_->isConnected());
        connect(bridge_.get(), &mqtt::Bridge::connectionChanged, page_.get(),
                &web::ServiceWeb::setMqttConnected);
    }
    setDown(kPage,
            attempt([this] { return page_->listen(); }, QStringLiteral("Web page not served")));
    linkBridgeToPage();
}

void Host::linkBridgeToPage() {
    if (!bridge_ || !page_) return;
    const QString url = page_->reachableUrl();
    bridge_->setPageUrl(url);
    if (url.isEmpty() && page_->isListening() && !pageLinkHinted_) {
        pageLinkHinted_ = true;
        service_->log().event(
            QStringLiteral("The web page is served on this computer only, so Home Assistant's "
                           "devices do not link to it; set [Web] PublicURL to the address other "
                           "computers reach it at"));
    }
}

void Host::startFrontEnds() {
    startBridge();
    listenRemote();
    startPage();
}

void Host::end(std::function<void()> saveOwn) {
    // From here the interface is let go on purpose: not "lost".
    ending_ = true;
    updateStatus();
    service_->finishCommands([this, saveOwn = std::move(saveOwn)] {
        service_->save();
        if (saveOwn) saveOwn();
        if (bridge_) bridge_->stop();
        endProcess(0);
    });
}

std::optional<QString> Host::attempt(const std::function<bool()>& start, const QString& fallback) {
    // Each front end says in its log line why it did not start.
    QString last;
    const QMetaObject::Connection seen = connect(&service_->log(), &core::EventLog::eventLine, this,
                                                 [&last](const QString& line) { last = line; });
    const bool started = start();
    disconnect(seen);
    if (started) return std::nullopt;
    return last.isEmpty() ? fallback : last;
}

void Host::setDown(const QString& what, const std::optional<QString>& why) {
    const auto at = std::find_if(down_.begin(), down_.end(),
                                 [&what](const auto& d) { return d.first == what; });
    if (!why) {
        if (at != down_.end()) down_.erase(at);
    } else if (at != down_.end()) {
        at->second = *why;
    } else {
        down_.append({what, *why});
    }
    updateStatus();
}

void Host::updateStatus() {
    const QString now = status();
    if (now == status_) return;
    status_ = now;
    emit statusChanged(status_);
}

QString Host::interfaceStatus() const {
    const core::Interface& iface = service_->interface();
    const QString where = MSComm::deviceForPort(contacted_ ? iface.port() : service_->comPort());
    if (!contacted_) return QStringLiteral("Contacting the interface on ") + where;
    if (iface.ready()) return QStringLiteral("Interface found on ") + where;
    if (iface.link() == core::Interface::Link::NotAnswering)
        return QStringLiteral("Interface %1 on %2, trying again")
            .arg(core::Interface::linkText(iface.link()), where);
    if (everFound_) return QStringLiteral("Interface lost, trying again");
    return QStringLiteral("Interface not found on %1, trying again").arg(where);
}

QString Host::status() const {
    if (ending_) return QStringLiteral("Stopping");
    QStringList parts{interfaceStatus()};
    for (const auto& d : down_) parts << d.second;
    return parts.join(QStringLiteral("; "));
}

}  // namespace app
