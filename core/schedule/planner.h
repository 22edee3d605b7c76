#pragma once
// When the entries of a schedule fire: in local time (TZ honoured), with the
// days of their day filter, their random shift and, for sunrise and sunset,
// the sun's times at the location of the settings ([Location] Latitude and
// Longitude, decimal degrees, north and east positive).
//
// Clock changes: a time inside the hour skipped in spring fires at the first
// minute after the gap; a time that occurs twice in autumn fires once.

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

// Sunrise or sunset on a local date. Gives an invalid QDateTime where the sun
// does not rise or does not set that day, with the reason in why.
QDateTime sunEvent(const Location& where, QDate localDate, bool rise, QString* why = nullptr);

struct Firing {
    QDateTime at;  // local time
    int line = 0;  // of the entry
    const TimedEntry* entry = nullptr;
};

class Planner {
  public:
    // seed: the random shifts (~20m) of a day are fixed by it, so that the
    // same day always gives the same time while this planner is in use.
    explicit Planner(std::optional<Location> where = std::nullopt, quint32 seed = 0)
        : where_(where), seed_(seed) {}

    // The firing of e on a local date: invalid when it does not fire that
    // day (day filter; no sunrise or sunset, with the reason in why).
    QDateTime onDay(const TimedEntry& e, QDate day, QString* why = nullptr) const;
    // The first firing of e strictly after `after` (within about four years);
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
        QDateTime at;
        QString why;
    };
    // The sun's times by day and event: every sunset entry of a day shares one.
    const SunDay& sun(QDate day, bool rise) const;

    std::optional<Location> where_;
    quint32 seed_;
    mutable std::map<qint64, SunDay> sunCache_;
};

// The local time of minuteOfDay on day: in the spring gap, the first minute
// after it.
QDateTime localTime(QDate day, int minuteOfDay);

}  // namespace schedule
