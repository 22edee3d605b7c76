#include "settingskeys.h"

#include "numtext.h"
#include "settingsstore.h"

namespace settings {

bool readBool(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0) return true;
    if (t.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0) return false;
    bool ok = false;
    const double v = t.toDouble(&ok);
    return ok && v != 0.0;
}

int16_t readPort(const QString& text) {
    return platform::clampToInt16(platform::roundHalfEven(platform::leadingNumber(text)));
}

std::optional<int> readPortNumber(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || !t[0].isDigit()) return std::nullopt;
    const int64_t n = platform::roundHalfEven(platform::leadingNumber(t));
    if (n < 0 || n > 65535) return std::nullopt;
    return static_cast<int>(n);
}

int readListenPort(const QString& text) {
    return readPortNumber(text).value_or(kDefaultListenPort);
}

QString clearTextRefusal(bool tls, bool loopback, const QString& address) {
    const int line = platform::firstUnreadableSettingsLine();
    if (tls || loopback || line == 0) return {};
    return QStringLiteral(
               "line %1 of the settings file could not be read and may have held "
               "the TLS keys; without TLS on %2 the password and the commands would "
               "cross the network in clear text")
        .arg(line)
        .arg(address);
}

}  // namespace settings
