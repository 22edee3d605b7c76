#include "numtext.h"

#include <cmath>
#include <limits>

namespace platform {

double leadingNumber(QStringView text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t')) ++i;
    QString digits;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) digits += text[i++];
    bool any = false;
    while (i < n && text[i].isDigit() && text[i].unicode() < 128) {
        digits += text[i++];
        any = true;
    }
    if (i < n && text[i] == u'.') {
        digits += u'.';
        ++i;
        while (i < n && text[i].isDigit() && text[i].unicode() < 128) {
            digits += text[i++];
            any = true;
        }
    }
    if (!any) return 0.0;
    // The text is a well-formed number here, so a failed conversion is an
    // overflow: keep the sign and stay finite.
    bool ok = false;
    const double v = digits.toLatin1().toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        const double big = std::numeric_limits<double>::max();
        return digits.startsWith(QLatin1Char('-')) ? -big : big;
    }
    return v;
}

int64_t roundHalfEven(double v) {
    if (std::isnan(v)) return 0;
    constexpr double lo = static_cast<double>(std::numeric_limits<int64_t>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<int64_t>::max());
    if (v <= lo) return std::numeric_limits<int64_t>::min();
    if (v >= hi) return std::numeric_limits<int64_t>::max();
    const double fl = std::floor(v);
    const double diff = v - fl;
    double r;
    if (diff > 0.5) {
        r = fl + 1.0;
    } else if (diff < 0.5) {
        r = fl;
    } else {
        r = std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1.0;
    }
    return static_cast<int64_t>(r);
}

int16_t clampToInt16(int64_t v) {
    if (v > std::numeric_limits<int16_t>::max()) return std::numeric_limits<int16_t>::max();
    if (v < std::numeric_limits<int16_t>::min()) return std::numeric_limits<int16_t>::min();
    return static_cast<int16_t>(v);
}

QString blankNumber(long long v) {
    return v >= 0 ? QStringLiteral(" ") + QString::number(v) : QString::number(v);
}

}  // namespace platform
