#include "planner.h"

#include <QCryptographicHash>
#include <QTimeZone>
#include <cmath>
#include <queue>

namespace schedule {

namespace {

constexpr double kUnixEpochJd = 2440587.5;
constexpr double kJ2000 = 2451545.0;
constexpr double kMsPerDay = 86400000.0;
constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
// The sun's hour angle grows by this many degrees a day.
constexpr double kHourAngleRate = 360.98564736629 - 0.98564736;

double julianDay(qint64 ms) {
    return kUnixEpochJd + static_cast<double>(ms) / kMsPerDay;
}

qint64 msOfJulianDay(double jd) {
    return std::llround((jd - kUnixEpochJd) * kMsPerDay);
}

double wrap180(double deg) {
    deg = std::fmod(deg, 360.0);
    if (deg > 180.0) deg -= 360.0;
    if (deg <= -180.0) deg += 360.0;
    return deg;
}

// Where the sun stands for an observer at an instant: its altitude above the
// altitude of sunrise (negative: below it) and its hour angle, in degrees.
// The sun's apparent place to about 0.01 degrees (Meeus, Astronomical
// Algorithms, chapter 25, with nutation and aberration in longitude, seen
// from the ground rather than the earth's centre); the
// horizon of sunrise is where the sun's upper limb shows with standard
// refraction (34') at sea level, the sun's radius taken at its distance.
struct SunPlace {
    double aboveRise;
    double hourAngle;
};

SunPlace sunPlace(double jd, const Location& where) {
    const double d = jd - kJ2000;
    const double t = d / 36525.0;
    const double l0 = 280.46646 + t * (36000.76983 + t * 0.0003032);
    const double m = (357.52911 + t * (35999.05029 - t * 0.0001537)) * kRad;
    const double e = 0.016708634 - t * (0.000042037 + t * 0.0000001267);
    const double c = (1.914602 - t * (0.004817 + t * 0.000014)) * std::sin(m) +
                     (0.019993 - t * 0.000101) * std::sin(2 * m) + 0.000289 * std::sin(3 * m);
    const double trueAnomaly = m + c * kRad;
    const double distance = 1.000001018 * (1 - e * e) / (1 + e * std::cos(trueAnomaly));
    const double omega = (125.04 - 1934.136 * t) * kRad;
    const double lambda = (l0 + c - 0.00569 - 0.00478 * std::sin(omega)) * kRad;
    const double eps0 =
        23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    const double eps = (eps0 + 0.00256 * std::cos(omega)) * kRad;
    const double ra = std::atan2(std::cos(eps) * std::sin(lambda), std::cos(lambda)) / kRad;
    const double dec = std::asin(std::sin(eps) * std::sin(lambda));
    // Apparent sidereal time at Greenwich: the mean one with the nutation in
    // right ascension.
    const double gmst = 280.46061837 + 360.98564736629 * d + t * t * (0.000387933 - t / 38710000.0);
    const double nutation = -0.00478 * std::sin(omega) * std::cos(eps);
    const double hourAngle = wrap180(gmst + nutation + where.longitude - ra);
    const double lat = where.latitude * kRad;
    const double altitude = std::asin(std::sin(lat) * std::sin(dec) +
                                      std::cos(lat) * std::cos(dec) * std::cos(hourAngle * kRad)) /
                            kRad;
    // 959.63" is the sun's radius seen from 1 AU, 8.794" its parallax
    // there: seen from the ground the sun stands lower by the latter.
    const double riseAltitude = -34.0 / 60.0 - 959.63 / 3600.0 / distance;
    const double parallax = 8.794 / 3600.0 / distance * std::cos(altitude * kRad);
    return {altitude - parallax - riseAltitude, hourAngle};
}

// The instant nearest jd at which the sun's hour angle is `target` (0: it
// culminates, 180: its lowest).
double culmination(double jd, const Location& where, double target) {
    for (int i = 0; i < 3; ++i)
        jd -= wrap180(sunPlace(jd, where).hourAngle - target) / kHourAngleRate;
    return jd;
}

// The instant between a and b where the sun crosses the horizon of sunrise,
// fa and fb its height above it there (of opposite signs): the Illinois
// method, to well under a second.
double crossing(double a, double fa, double b, double fb, const Location& where) {
    int side = 0;
    for (int i = 0; i < 60 && b - a > 0.2 / 86400.0; ++i) {
        const double x = (a * fb - b * fa) / (fb - fa);
        const double fx = sunPlace(x, where).aboveRise;
        if ((fx < 0) == (fa < 0)) {
            a = x;
            fa = fx;
            if (side == -1) fb /= 2;
            side = -1;
        } else {
            b = x;
            fb = fx;
            if (side == 1) fa /= 2;
            side = 1;
        }
        if (fx == 0) return x;
    }
    return (a * fb - b * fa) / (fb - fa);
}

}  // namespace

LocalDay localDay(QDate day) {
    const auto offsetAt = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toLocalTime().offsetFromUtc();
    };
    LocalDay d;
    d.day = day;
    d.wallMs = QDateTime(day, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    // A zone changes its offset at most once in four days.
    d.before = offsetAt(d.wallMs - 2 * 86400000LL);
    d.after = offsetAt(d.wallMs + 2 * 86400000LL);
    return d;
}

qint64 localMs(const LocalDay& d, int minuteOfDay) {
    if (d.before == d.after) return d.wallMs + minuteOfDay * 60000LL - d.before * 1000LL;
    // The instant of a local time found from UTC, whose conversion to local
    // time is unambiguous: of a time that occurs twice when the clock goes
    // back, always the first (the earlier instant), whatever was converted
    // before.
    for (int m = minuteOfDay; m < 24 * 60; ++m) {
        const qint64 wall = d.wallMs + m * 60000LL;
        qint64 first = 0;
        bool found = false;
        for (const int offset : {d.before, d.after}) {
            const qint64 ms = wall - offset * 1000LL;
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
            if (at.date() == d.day && at.time() == QTime(m / 60, m % 60) &&
                (!found || ms < first)) {
                first = ms;
                found = true;
            }
        }
        if (found) return first;
    }
    return d.day.addDays(1).startOfDay().toMSecsSinceEpoch();
}

QDateTime localTime(QDate day, int minuteOfDay) {
    return QDateTime::fromMSecsSinceEpoch(localMs(localDay(day), minuteOfDay), Qt::LocalTime);
}

std::vector<qint64> sunCrossings(const Location& where, qint64 fromMs, qint64 toMs, bool rise,
                                 SunSpan* span) {
    // Between the sun's lowest and its highest the altitude only grows, and
    // only falls after it: each half day holds at most one sunrise or one
    // sunset, found where its ends lie on either side of the horizon.
    const double from = julianDay(fromMs), to = julianDay(toMs);
    std::vector<qint64> out;
    double low = culmination(from, where, 180);
    if (low > from) low = culmination(low - 1, where, 180);
    double fLow = sunPlace(low, where).aboveRise;
    if (span) {
        const double f = sunPlace(from, where).aboveRise;
        span->up = f >= 0;
        span->down = f < 0;
    }
    while (low < to) {
        const double high = culmination(low + 0.5, where, 0);
        const double next = culmination(high + 0.5, where, 180);
        const double fHigh = sunPlace(high, where).aboveRise;
        const double fNext = sunPlace(next, where).aboveRise;
        if (span) {
            for (const auto& [at, f] : {std::pair{high, fHigh}, std::pair{next, fNext}})
                if (at >= from && at < to) (f >= 0 ? span->up : span->down) = true;
        }
        double at = -1;
        if (rise && fLow < 0 && fHigh >= 0) at = crossing(low, fLow, high, fHigh, where);
        if (!rise && fHigh >= 0 && fNext < 0) at = crossing(high, fHigh, next, fNext, where);
        if (at >= from && at < to) out.push_back(msOfJulianDay(at));
        low = next;
        fLow = fNext;
    }
    if (span) {
        const double f = sunPlace(to, where).aboveRise;
        (f >= 0 ? span->up : span->down) = true;
    }
    return out;
}

namespace {

// The sun's rises (or sets) in [from, to), to the minute, with the reason
// when there is none.
std::vector<qint64> sunTimes(const Location& where, qint64 from, qint64 to, bool rise,
                             QString* why) {
    SunSpan span;
    std::vector<qint64> out = sunCrossings(where, from, to, rise, &span);
    // Whole minutes: the tables give the sun's times to the minute.
    for (qint64& ms : out) ms = (ms + 30000) / 60000 * 60000;
    if (out.empty() && why) {
        if (!span.up)
            *why = QStringLiteral("the sun stays below the horizon all day");
        else if (!span.down)
            *why = QStringLiteral("the sun stays above the horizon all day");
        else
            *why = rise ? QStringLiteral("the sun does not rise that day")
                        : QStringLiteral("the sun does not set that day");
    }
    return out;
}

}  // namespace

std::vector<QDateTime> sunEvents(const Location& where, QDate localDate, bool rise, QString* why) {
    std::vector<QDateTime> out;
    for (const qint64 ms : sunTimes(where, localMs(localDay(localDate), 0),
                                    localMs(localDay(localDate.addDays(1)), 0), rise, why))
        out.push_back(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime));
    return out;
}

QDateTime sunEvent(const Location& where, QDate localDate, bool rise, QString* why) {
    const std::vector<QDateTime> all = sunEvents(where, localDate, rise, why);
    return all.empty() ? QDateTime() : all.front();
}

const Planner::SunDay& Planner::sun(QDate day, bool rise) const {
    const qint64 key = day.toJulianDay() * 2 + (rise ? 1 : 0);
    auto it = sunCache_.find(key);
    if (it == sunCache_.end()) {
        if (sunCache_.size() > 4096) sunCache_.clear();
        SunDay d;
        d.at = sunTimes(*where_, localMs(zone(day), 0), localMs(zone(day.addDays(1)), 0), rise,
                        &d.why);
        it = sunCache_.emplace(key, std::move(d)).first;
    }
    return it->second;
}

const LocalDay& Planner::zone(QDate day) const {
    auto it = zoneCache_.find(day.toJulianDay());
    if (it == zoneCache_.end()) {
        if (zoneCache_.size() > 4096) zoneCache_.clear();
        it = zoneCache_.emplace(day.toJulianDay(), localDay(day)).first;
    }
    return it->second;
}

quint64 entryKey(const TimedEntry& e) {
    // FNV-1a over what the line says (not where it stands in the file), so
    // that an edit of another line leaves its draws alone.
    quint64 h = 1469598103934665603ull;
    const auto mix = [&h](quint64 v) {
        h ^= v;
        h *= 1099511628211ull;
    };
    for (const int v : {static_cast<int>(e.kind), e.minuteOfDay, e.offsetMinutes, e.randomMinutes,
                        static_cast<int>(e.days.weekdays), e.days.hasRange ? 1 : 0,
                        e.days.fromMonth, e.days.fromDay, e.days.toMonth, e.days.toDay})
        mix(static_cast<quint32>(v));
    for (const QChar c : e.action) mix(c.unicode());
    return h;
}

int randomShiftMinutes(const TimedEntry& e, QDate day, int nth, quint32 seed) {
    if (e.randomMinutes <= 0) return 0;
    // One draw per entry, day (and, for a second sunset on one date, its
    // number), the same whenever and however often it is asked: a reload or
    // a restart does not draw again.
    quint64 z = entryKey(e) ^ (static_cast<quint64>(day.toJulianDay()) << 8) ^
                static_cast<quint64>(nth) ^ (static_cast<quint64>(seed) << 40);
    // splitmix64's finaliser.
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    const auto width = static_cast<quint64>(2 * e.randomMinutes + 1);
    return static_cast<int>(z % width) - e.randomMinutes;
}

std::vector<qint64> Planner::onDayMs(const TimedEntry& e, QDate day, QString* why) const {
    if (!e.days.matches(day.month(), day.day(), day.dayOfWeek())) return {};
    std::vector<qint64> at;
    if (e.kind == TimeKind::Clock) {
        at.push_back(localMs(zone(day), e.minuteOfDay));
    } else {
        if (!where_) {
            if (why) *why = QStringLiteral("no location");
            return {};
        }
        const SunDay& sunDay = sun(day, e.kind == TimeKind::Sunrise);
        if (sunDay.at.empty() && why) *why = sunDay.why;
        at = sunDay.at;
    }
    for (size_t i = 0; i < at.size(); ++i)
        at[i] +=
            60000LL * (e.offsetMinutes + randomShiftMinutes(e, day, static_cast<int>(i), seed_));
    return at;
}

std::vector<QDateTime> Planner::onDayAll(const TimedEntry& e, QDate day, QString* why) const {
    std::vector<QDateTime> out;
    for (const qint64 ms : onDayMs(e, day, why))
        out.push_back(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime));
    return out;
}

QDateTime Planner::onDay(const TimedEntry& e, QDate day, QString* why) const {
    const std::vector<QDateTime> at = onDayAll(e, day, why);
    return at.empty() ? QDateTime() : at.front();
}

QDateTime Planner::next(const TimedEntry& e, const QDateTime& after, QString* why) const {
    if (why) why->clear();
    // From the day before when a random shift or an offset can carry a
    // firing over midnight. Eight years and a bit: Feb 29 after a century
    // year that is not a leap year.
    const int reach = e.offsetMinutes != 0 || e.randomMinutes > 0 ? 1 : 0;
    const qint64 afterMs = after.toMSecsSinceEpoch();
    const QDate first = after.date().addDays(-reach);
    qint64 best = 0;
    QDate bestDay;
    for (int i = 0; i < 8 * 366 + 2; ++i) {
        const QDate day = first.addDays(i);
        // A shift and an offset (at most a day together) may carry a firing
        // past the next day's.
        if (bestDay.isValid() && day > bestDay.addDays(reach)) break;
        QString reason;
        const std::vector<qint64> at = onDayMs(e, day, &reason);
        for (const qint64 t : at)
            if (t > afterMs && (!bestDay.isValid() || t < best)) {
                best = t;
                bestDay = day;
            }
        if (at.empty() && !reason.isEmpty() && why && why->isEmpty() && day >= after.date())
            *why = QStringLiteral("no firing on %1: %2").arg(day.toString(Qt::ISODate), reason);
    }
    return bestDay.isValid() ? QDateTime::fromMSecsSinceEpoch(best, Qt::LocalTime) : QDateTime();
}

std::vector<Firing> Planner::upcoming(const Schedule& s, const QDateTime& after, int count) const {
    std::vector<QDateTime> first;
    first.reserve(s.timed.size());
    for (const TimedEntry& e : s.timed) first.push_back(next(e, after));
    return upcoming(s, first, count);
}

std::vector<Firing> Planner::upcoming(const Schedule& s, const std::vector<QDateTime>& first,
                                      int count) const {
    // By instant, then line; the instant is taken once per firing.
    struct Due {
        qint64 ms;
        int line;
        size_t entry;
        QDateTime at;
    };
    const auto later = [](const Due& a, const Due& b) {
        return a.ms != b.ms ? a.ms > b.ms : a.line > b.line;
    };
    std::vector<Due> seeds;
    for (size_t i = 0; i < s.timed.size() && i < first.size(); ++i)
        if (first[i].isValid())
            seeds.push_back({first[i].toMSecsSinceEpoch(), s.timed[i].line, i, first[i]});
    std::priority_queue<Due, std::vector<Due>, decltype(later)> queue(later, std::move(seeds));
    std::vector<Firing> out;
    while (static_cast<int>(out.size()) < count && !queue.empty()) {
        Due d = queue.top();
        queue.pop();
        const TimedEntry& e = s.timed[d.entry];
        out.push_back({d.at, e.line, &e});
        if (const QDateTime at = next(e, d.at); at.isValid())
            queue.push({at.toMSecsSinceEpoch(), e.line, d.entry, at});
    }
    return out;
}

}  // namespace schedule
