// Module addresses: parsing and text.
#include "address.h"

namespace state {

int houseIndex(QChar letter) {
    const char16_t c = letter.toUpper().unicode();
    if (c < u'A' || c > u'P') return -1;
    return int(c - u'A');
}

std::optional<Address> Address::parse(const QString& text) {
    if (text.size() < 2 || text.size() > 3) return std::nullopt;
    const int h = houseIndex(text.at(0));
    if (h < 0) return std::nullopt;
    int unit = 0;
    for (qsizetype i = 1; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < u'0' || c > u'9') return std::nullopt;
        unit = unit * 10 + (c.unicode() - u'0');
    }
    // "A05" is not an address; only the plain numbers 1 to 16 are.
    if (text.size() == 3 && text.at(1) == u'0') return std::nullopt;
    if (unit < 1 || unit > 16) return std::nullopt;
    return Address{h, unit};
}

Address Address::fromIndex(int index) {
    if (index < 0 || index > 255) index = 0;
    return Address{index / 16, index % 16 + 1};
}

QString Address::text() const {
    return QString(houseLetter()) + QString::number(unit);
}

}  // namespace state
