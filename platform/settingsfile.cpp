#include "settingsfile.h"

#include "inifile.h"
#include "settingsstore.h"

namespace settings {

std::optional<QString> Section::value(const QString& key) const {
    return file_->value(name_, key);
}

QString Section::text(const QString& key, const QString& def) const {
    const std::optional<QString> v = value(key);
    return v ? v->trimmed() : def;
}

std::optional<int> Section::port(const QString& key) const {
    return readPortNumber(text(key));
}

QList<QPair<QString, QString>> Section::entries() const {
    return file_->section(name_);
}

File File::read() {
    return File(std::make_shared<const platform::IniFile>(platform::readSettingsFile()));
}

File::File(const QByteArray& text) : file_(std::make_shared<const platform::IniFile>(text)) {}

int File::unreadableLine() const {
    return file_->firstUnreadableLine();
}

Startup File::startup() const {
    const Section s = section(kSection);
    Startup r;
    r.houseCode = s.value(kHouseCode).value_or(r.houseCode);
    r.cp290 = readBool(s.value(kInterface).value_or(QStringLiteral("False")));
    r.comPort = readPort(s.value(kComPort).value_or(QStringLiteral("1")));
    r.listenAddress = s.text(kListenAddress, r.listenAddress);
    r.listenPort = readListenPort(s.text(kListenPort));
    r.tlsCertificate = s.text(kTlsCertificate);
    r.tlsKey = s.text(kTlsKey);
    return r;
}

Web File::web() const {
    const Section s = section(QStringLiteral("Web"));
    const Startup startup = this->startup();
    const auto either = [&s](const QString& key, const QString& def) {
        const QString v = s.text(key);
        return v.isEmpty() ? def : v;
    };
    Web r;
    r.enabled = readBool(s.text(QStringLiteral("Enabled")));
    r.listenAddress = either(kListenAddress, r.listenAddress);
    r.port = s.port(QStringLiteral("Port"));
    r.tlsCertificate = either(kTlsCertificate, startup.tlsCertificate);
    r.tlsKey = either(kTlsKey, startup.tlsKey);
    r.publicUrl = s.text(QStringLiteral("PublicURL"));
    return r;
}

QString File::portDevice(int port) const {
    const QString mapped = section(QStringLiteral("Ports"))
                               .value(QStringLiteral("COM%1").arg(port))
                               .value_or(QString());
    if (!mapped.isEmpty()) return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

}  // namespace settings
