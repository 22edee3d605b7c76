#include "settingskeys.h"

#include <algorithm>

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

int readPosition(const QString& text) {
    // Twips of a coordinate that still fits an int once converted to pixels
    // and back; anything further is off every screen anyway.
    constexpr int64_t kMax = 15LL * 1000000;
    const int64_t v = platform::roundHalfEven(platform::leadingNumber(text));
    return static_cast<int>(std::clamp<int64_t>(v, 0, kMax));
}

int readListenPort(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || !t[0].isDigit()) return kDefaultListenPort;
    const int64_t n = platform::roundHalfEven(platform::leadingNumber(t));
    if (n == 0) return 0;
    if (n < 1 || n > 65535) return kDefaultListenPort;
    return static_cast<int>(n);
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
