#include <gtest/gtest.h>

#include "numtext.h"

using namespace platform;

TEST(NumberText, LeadingNumberReadsLikeTheStoredSettings) {
    const struct {
        const char* text;
        double value;
    } cases[] = {{"2", 2},    {" 1200", 1200},  {"2.5", 2.5}, {"-32000", -32000},
                 {"3x", 3},   {"x", 0},         {"", 0},      {"  ", 0},
                 {".5", 0.5}, {"1.5.3", 1.5},   {"+7", 7},    {"- 3", 0},
                 {"abc", 0},  {"99999", 99999}, {"3.2", 3.2}, {"\t4", 4}};
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(leadingNumber(QString::fromLatin1(c.text)), c.value) << c.text;
    }
    // Huge digit strings give a finite value, never a crash.
    EXPECT_GT(leadingNumber(QString(400, QLatin1Char('9'))), 1e300);
}

TEST(NumberText, RoundsHalfToEven) {
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(3.5), 4);
    EXPECT_EQ(roundHalfEven(1.5), 2);
    EXPECT_EQ(roundHalfEven(0.5), 0);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_EQ(roundHalfEven(-3.5), -4);
    EXPECT_EQ(roundHalfEven(2.4999), 2);
    EXPECT_EQ(roundHalfEven(2.5001), 3);
    EXPECT_EQ(roundHalfEven(1e300), INT64_MAX);
    EXPECT_EQ(roundHalfEven(-1e300), INT64_MIN);
    EXPECT_EQ(roundHalfEven(std::nan("")), 0);
    // Dim steps: a quarter, half and three quarters of 22.
    EXPECT_EQ(roundHalfEven(25 / 100.0 * 22), 6);
    EXPECT_EQ(roundHalfEven(75 / 100.0 * 22), 16);
}

TEST(NumberText, ClampAndBlankNumbers) {
    EXPECT_EQ(clampToInt16(99999), 32767);
    EXPECT_EQ(clampToInt16(-99999), -32768);
    EXPECT_EQ(clampToInt16(12), 12);
    EXPECT_EQ(blankNumber(50), " 50");
    EXPECT_EQ(blankNumber(0), " 0");
    EXPECT_EQ(blankNumber(-3), "-3");
}
