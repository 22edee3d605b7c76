// The schedule: parsing and planning a 1,000-line file (each entry's next
// firing, as the runner plans after a load, and the next 20 firings, as the
// query lists them), median and max over the runs.
//
//   bench_schedule [runs, default 20]
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "planner.h"
#include "schedule.h"
#include "schedulelines.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const QString text = benchScheduleLines();
    schedule::ParseOptions options;
    options.hasLocation = true;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        const auto parsed = schedule::parseText(text, options);
        if (!parsed.ok()) {
            std::printf("the schedule was refused: %s\n", qPrintable(parsed.errors.front()));
            return 1;
        }
        const schedule::Planner planner(schedule::Location{52.37, 4.90}, 7);
        const QDateTime now = QDateTime::currentDateTime();
        int planned = 0;
        for (const auto& e : parsed.schedule.timed)
            planned += planner.next(e, now).isValid() ? 1 : 0;
        const auto firings = planner.upcoming(parsed.schedule, now, 20);
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (planned == 0 || firings.size() != 20) return 1;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("1,000 lines parsed and planned: median %.1f ms, max %.1f ms over %d runs\n",
                ms[ms.size() / 2], ms.back(), runs);
    std::printf("FIGURE schedule_parse_plan_median_ms %.1f\n", ms[ms.size() / 2]);
    std::printf("FIGURE schedule_parse_plan_max_ms %.1f\n", ms.back());
    return 0;
}
