#pragma once
// When the entries of a schedule fire: in local time (TZ honoured), with the
// days of their day filter, their random shift and, for sunrise and sunset,
// the sun's times at the location of the settings ([Location] Latitude and
// Longitude, decimal degrees, north and east positive).
//
// Clock changes: a time inside the hour skipped in spring fires at the first
// minute after the gap; a time that occurs twice in autumn fires once, at its
// first occurrence (still on summer time).

#include <QDate>
#include <QDateTime>
#include <QString>
#include <map>
#include <optional>
#include <vector>

#include "schedule.h"

namespace schedule {

struct Location {
    double latitude = 0;   // -90 .. 90, north positive
    double longitude = 0;  // -180 .. 180, east positive
};

// Whether the sun was seen above (up) and below (down) the horizon of sunrise
// in a span of time.
struct SunSpan {
    bool up = false;
    bool down = false;
};

// The instants (ms since the epoch, to the second) at which the sun rises
// (or sets) in [fromMs, toMs), each one that happens: the sun's upper limb on
// the horizon, with standard refraction, at sea level.
std::vector<qint64> sunCrossings(const Location& where, qint64 fromMs, qint64 toMs, bool rise,
                                 SunSpan* span = nullptr);

// The sunrises (or sunsets) of a local date, to the minute, in time order:
// none where the sun does not rise or does not set that day (with the reason
// in why), two where one comes just after midnight and the next just before
// the following one.
std::vector<QDateTime> sunEvents(const Location& where, QDate localDate, bool rise,
                                 QString* why = nullptr);
// The first of them; invalid when there is none.
QDateTime sunEvent(const Location& where, QDate localDate, bool rise, QString* why = nullptr);

// A local date and the clock's offset from UTC (seconds) two days before and
// two days after it: they differ around a clock change.
struct LocalDay {
    QDate day;
    qint64 wallMs = 0;  // its midnight as if it were UTC
    int before = 0, after = 0;
};
LocalDay localDay(QDate day);
// The instant (ms since the epoch) of minuteOfDay on the day: in the spring
// gap, the first minute after it; of a time that occurs twice, the first.
qint64 localMs(const LocalDay& d, int minuteOfDay);

struct Firing {
    QDateTime at;  // local time
    int line = 0;  // of the entry
    const TimedEntry* entry = nullptr;
};

class Planner {
  public:
    // The random shift (~20m) of an entry on a day is drawn from what the
    // entry says and the date (and seed, 0 in the service): the same day
    // always gives the same time, across reloads and restarts.
    explicit Planner(std::optional<Location> where = std::nullopt, quint32 seed = 0)
        : where_(where), seed_(seed) {}

    // The firing of e on a local date: invalid when it does not fire that
    // day (day filter; no sunrise or sunset, with the reason in why).
    QDateTime onDay(const TimedEntry& e, QDate day, QString* why = nullptr) const;
    // All of them: a sun entry may fire twice on a date (a sunset just after
    // midnight and one just before the next).
    std::vector<QDateTime> onDayAll(const TimedEntry& e, QDate day, QString* why = nullptr) const;
    // The first firing of e strictly after `after` (within about eight years);
    // invalid when there is none. why: the first day passed over because
    // the sun did not rise or set ("" when none).
    QDateTime next(const TimedEntry& e, const QDateTime& after, QString* why = nullptr) const;
    // The next count firings of the whole schedule after `after`, in time order.
    std::vector<Firing> upcoming(const Schedule& s, const QDateTime& after, int count) const;
    // The same from each timed entry's first firing already planned (first[i]
    // for s.timed[i], invalid for none): only the entries listed are planned
    // further, so a large schedule costs little more than a small one.
    std::vector<Firing> upcoming(const Schedule& s, const std::vector<QDateTime>& first,
                                 int count) const;

  private:
    struct SunDay {
        std::vector<qint64> at;  // ms since the epoch
        QString why;
    };
    // The sun's times by day and event: every sunset entry of a day shares one.
    const SunDay& sun(QDate day, bool rise) const;
    // The firings of e on a day, in ms since the epoch.
    std::vector<qint64> onDayMs(const TimedEntry& e, QDate day, QString* why) const;
    // The clock's offsets around a day, shared by every entry.
    const LocalDay& zone(QDate day) const;

    std::optional<Location> where_;
    quint32 seed_;
    mutable std::map<qint64, SunDay> sunCache_;
    mutable std::map<qint64, LocalDay> zoneCache_;
};

// The local time of minuteOfDay on day: in the spring gap, the first minute
// after it; of a time that occurs twice, the first.
QDateTime localTime(QDate day, int minuteOfDay);

}  // namespace schedule
