#include <gtest/gtest.h>

#include <QStringList>

#include "logthrottle.h"
#include "timebase.h"

namespace {

struct ThrottleTest : ::testing::Test {
    void SetUp() override { platform::TimeBase::global().setScale(20.0); }
    void TearDown() override { platform::TimeBase::global().setScale(1.0); }
    QStringList lines;
    platform::LogThrottle throttle{[this](const QString& l) { lines << l; }};
};

TEST_F(ThrottleTest, ABurstIsOneLineNowAndOneCountedLineAfterTheSecond) {
    for (int i = 0; i < 396; ++i) throttle.log("full", QStringLiteral("queue full %1").arg(i));
    throttle.log("junk", "junk payload");
    ASSERT_EQ(lines, QStringList({"queue full 0", "junk payload"}));

    platform::waitFor([&] { return lines.size() == 3; }, 1500);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[2], "queue full 395 (395 times in the last second)");

    // The burst is over: a second with nothing counted ends quietly, and the
    // next line goes out at once.
    platform::waitEvents(1200);
    EXPECT_EQ(lines.size(), 3);
    throttle.log("full", "again");
    EXPECT_EQ(lines.last(), "again");
}

TEST_F(ThrottleTest, FlushWritesWhatIsCounted) {
    throttle.log("k", "a");
    throttle.log("k", "b");
    throttle.flush();
    EXPECT_EQ(lines, QStringList({"a", "b (1 time in the last second)"}));
}

}  // namespace
