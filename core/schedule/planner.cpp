#include "planner.h"

#include <libnova/rise_set.h>
#include <libnova/solar.h>

#include <QRandomGenerator>
#include <QTimeZone>
#include <queue>

namespace schedule {

namespace {

constexpr double kUnixEpochJd = 2440587.5;

double julianDay(const QDateTime& t) {
    return kUnixEpochJd + static_cast<double>(t.toMSecsSinceEpoch()) / 86400000.0;
}

QDateTime fromJulianDay(double jd) {
    const auto ms = static_cast<qint64>((jd - kUnixEpochJd) * 86400000.0);
    // Whole minutes: the tables give the sun's times to the minute.
    return QDateTime::fromMSecsSinceEpoch((ms + 30000) / 60000 * 60000, Qt::UTC).toLocalTime();
}

}  // namespace

QDateTime localTime(QDate day, int minuteOfDay) {
    for (int m = minuteOfDay; m < 24 * 60; ++m) {
        const QTime t(m / 60, m % 60);
        const QDateTime dt(day, t);
        if (dt.isValid() && dt.date() == day && dt.time() == t) return dt;
    }
    return QDateTime(day.addDays(1), QTime(0, 0));
}

QDateTime sunEvent(const Location& where, QDate localDate, bool rise, QString* why) {
    ln_lnlat_posn observer{where.longitude, where.latitude};
    const QDateTime noon = localTime(localDate, 12 * 60);
    ln_rst_time rst{};
    const int polar = ln_get_solar_rst(julianDay(noon), &observer, &rst);
    if (polar != 0) {
        if (why)
            *why = polar > 0 ? QStringLiteral("the sun stays above the horizon all day")
                             : QStringLiteral("the sun stays below the horizon all day");
        return {};
    }
    // The library gives the events of the day around the instant asked for;
    // take the one on the local date.
    for (const int shift : {0, -1, 1}) {
        if (shift != 0 && ln_get_solar_rst(julianDay(noon) + shift, &observer, &rst) != 0) continue;
        const QDateTime t = fromJulianDay(rise ? rst.rise : rst.set);
        if (t.date() == localDate) return t;
    }
    if (why)
        *why = rise ? QStringLiteral("the sun does not rise that day")
                    : QStringLiteral("the sun does not set that day");
    return {};
}

const Planner::SunDay& Planner::sun(QDate day, bool rise) const {
    const qint64 key = day.toJulianDay() * 2 + (rise ? 1 : 0);
    auto it = sunCache_.find(key);
    if (it == sunCache_.end()) {
        if (sunCache_.size() > 4096) sunCache_.clear();
        SunDay d;
        d.at = sunEvent(*where_, day, rise, &d.why);
        it = sunCache_.emplace(key, std::move(d)).first;
    }
    return it->second;
}

QDateTime Planner::onDay(const TimedEntry& e, QDate day, QString* why) const {
    if (!e.days.matches(day.month(), day.day(), day.dayOfWeek())) return {};
    QDateTime at;
    if (e.kind == TimeKind::Clock) {
        at = localTime(day, e.minuteOfDay);
    } else {
        if (!where_) {
            if (why) *why = QStringLiteral("no location");
            return {};
        }
        const SunDay& sunDay = sun(day, e.kind == TimeKind::Sunrise);
        if (!sunDay.at.isValid()) {
            if (why) *why = sunDay.why;
            return {};
        }
        at = sunDay.at.addSecs(e.offsetMinutes * 60);
    }
    if (e.randomMinutes > 0) {
        // The same shift for the same entry and day, whenever it is asked.
        QRandomGenerator g(seed_ ^ (static_cast<quint32>(e.line) * 2654435761u) ^
                           (static_cast<quint32>(day.toJulianDay()) * 40503u));
        at = at.addSecs(60 * static_cast<qint64>(g.bounded(-e.randomMinutes, e.randomMinutes + 1)));
    }
    return at;
}

QDateTime Planner::next(const TimedEntry& e, const QDateTime& after, QString* why) const {
    if (why) why->clear();
    // From the day before: a random shift or an offset can carry a firing
    // over midnight.
    const QDate first = after.date().addDays(-1);
    for (int i = 0; i < 4 * 366 + 2; ++i) {
        const QDate day = first.addDays(i);
        QString reason;
        const QDateTime at = onDay(e, day, &reason);
        if (at.isValid() && at > after) return at;
        if (!at.isValid() && !reason.isEmpty() && why && why->isEmpty() && day >= after.date())
            *why = QStringLiteral("no firing on %1: %2").arg(day.toString(Qt::ISODate), reason);
    }
    return {};
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
