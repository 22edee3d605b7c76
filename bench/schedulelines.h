#pragma once
// A schedule of 1,000 lines for the benchmarks: clock times on weekdays,
// sunsets with offsets, random shifts, date ranges across the year's end,
// scenes with waits and triggers, and the location it needs.

#include <QString>

inline QString benchScheduleLines() {
    QString text = QStringLiteral("# 1,000 lines\n");
    int line = 1;
    for (int i = 0; line < 1000; ++i) {
        const int unit = i % 16 + 1;
        const QChar house = QChar('A' + i % 16);
        switch (i % 6) {
            case 0:
                text += QStringLiteral("at %1:%2 Mon-Fri %3%4 ON\n")
                            .arg(i % 24)
                            .arg(i % 60, 2, 10, QChar('0'))
                            .arg(house)
                            .arg(unit);
                break;
            case 1:
                text += QStringLiteral("at sunset +%1m daily %2%3 OFF\n")
                            .arg(i % 90)
                            .arg(house)
                            .arg(unit);
                break;
            case 2:
                text += QStringLiteral("at sunrise -%1m Sat,Sun %2%3 %2%4 DIM 40%\n")
                            .arg(i % 45)
                            .arg(house)
                            .arg(unit)
                            .arg(unit % 16 + 1);
                break;
            case 3:
                text += QStringLiteral("at 22:%1 ~20m daily %2 ALL LIGHTS OFF\n")
                            .arg(i % 60, 2, 10, QChar('0'))
                            .arg(house);
                break;
            case 4:
                text += QStringLiteral(
                            "scene s%1: %2%3 ON; wait 10s; %2%3 DIM 50%\nat 07:%4 Dec 1-Jan 6 "
                            "scene s%1\n")
                            .arg(i)
                            .arg(house)
                            .arg(unit)
                            .arg(i % 60, 2, 10, QChar('0'));
                ++line;
                break;
            default:
                text += QStringLiteral("when %1%2 ON heard: %1%3 ON\n")
                            .arg(house)
                            .arg(unit)
                            .arg(unit % 16 + 1);
                break;
        }
        ++line;
    }
    return text;
}
