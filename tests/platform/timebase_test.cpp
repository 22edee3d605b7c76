#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QTimer>

#include "clock.h"
#include "timebase.h"

using platform::TimeBase;

namespace {
double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct ScaleGuard {
    explicit ScaleGuard(double s) { TimeBase::global().setScale(s); }
    ~ScaleGuard() { TimeBase::global().setScale(1.0); }
};
}  // namespace

TEST(TimeBase, SpedUpDeadlineCostsLittleRealTime) {
    ScaleGuard g(100.0);
    QElapsedTimer real;
    real.start();
    const qint64 logical0 = TimeBase::global().nowMs();
    EXPECT_FALSE(platform::waitFor([] { return false; }, 2000));
    const qint64 logical = TimeBase::global().nowMs() - logical0;
    EXPECT_GE(logical, 2000);
    // Far below the 2 s an unscaled wait takes, with room for a loaded machine
    // (each real millisecond late is 100 logical ones).
    EXPECT_LT(real.elapsed(), 1500);
    EXPECT_EQ(TimeBase::global().realMs(2000), 20);
    EXPECT_EQ(TimeBase::global().realMs(1), 1);
    EXPECT_EQ(TimeBase::global().realMs(0), 0);
}

TEST(TimeBase, WaitEndsWhenAnEventMakesTheConditionTrue) {
    bool fired = false;
    QTimer::singleShot(30, [&] { fired = true; });
    QElapsedTimer real;
    real.start();
    EXPECT_TRUE(platform::waitFor([&] { return fired; }, 5000));
    EXPECT_LT(real.elapsed(), 1000);
    // A condition already true returns at once without running the loop.
    EXPECT_TRUE(platform::waitFor([] { return true; }, 0));
}

TEST(TimeBase, WaitSleepsInsteadOfSpinning) {
    const double cpu0 = cpuSeconds();
    platform::waitEvents(600);
    const double used = cpuSeconds() - cpu0;
    EXPECT_LT(used, 0.1) << "a 600 ms wait used " << used << " s of CPU";
}

TEST(TimeBase, NestedWaitsEachKeepTheirDeadline) {
    ScaleGuard g(20.0);
    bool innerDone = false;
    QTimer::singleShot(5, [&] {
        platform::waitEvents(400);  // 20 ms real, nested in the outer wait
        innerDone = true;
    });
    QElapsedTimer real;
    real.start();
    EXPECT_TRUE(platform::waitFor([&] { return innerDone; }, 4000));
    EXPECT_LT(real.elapsed(), 190);
}

TEST(Clock, FixedRunningAndSystemTime) {
    platform::Clock& c = platform::Clock::global();
    const QDateTime t(QDate(2024, 2, 5), QTime(14, 35, 7));
    c.setFixed(t);
    EXPECT_EQ(c.now(), t);
    c.setRunningFrom(t);
    EXPECT_GE(c.now(), t);
    EXPECT_LT(c.now(), t.addSecs(5));
    c.reset();
    EXPECT_LT(qAbs(c.now().secsTo(QDateTime::currentDateTime())), 2);
}
