// The CP290 codes and frames that need no port: house and unit encodings, the
// dim table, the day and house decoding and the frames.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cp290frames.h"
#include "mcp290.h"

namespace {

QByteArray syncRun() {
    return QByteArray(16, '\xFF');
}

}  // namespace

TEST(Cp290Codes, HouseCodeToByteUpperCasesTheCallersString) {
    const struct {
        const char* in;
        int byte;
        const char* after;
    } cases[] = {
        {"A", 0x60, "A"}, {"B", 0xE0, "B"},   {"J", 0xF0, "J"}, {"M", 0x00, "M"},
        {"P", 0xC0, "P"}, {"a", 0x60, "A"},   {"p", 0xC0, "P"}, {"Q", 0x00, "Q"},
        {"", 0x00, ""},   {"AB", 0x00, "AB"}, {"1", 0x00, "1"}, {"ä", 0x00, "Ä"},
    };
    for (const auto& c : cases) {
        QString hc = QString::fromUtf8(c.in);
        EXPECT_EQ(HouseCodeToByte(hc), c.byte) << c.in;
        EXPECT_EQ(hc, QString::fromUtf8(c.after)) << c.in;
    }
}

TEST(Cp290Codes, ByteToHouseCodeIsTheInverseForHouseBytesOnly) {
    for (char letter = 'A'; letter <= 'P'; ++letter) {
        QString hc(QLatin1Char{letter});
        EXPECT_EQ(ByteToHouseCode(HouseCodeToByte(hc)), hc);
    }
    for (int v : {0x61, 0x0F, 0x01, 0x100, -16, 255}) EXPECT_EQ(ByteToHouseCode(v), QString()) << v;
}

TEST(Cp290Codes, DayBitToNameNamesSingleBitsOnly) {
    const char* names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                           "Friday", "Saturday", "Sunday"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(DayBitToName(1 << i), QString::fromLatin1(names[i]));
    for (int v : {0, 0x03, 0x80, 0x41, 0x7F, 0xFF}) EXPECT_EQ(DayBitToName(v), QString()) << v;
}

TEST(Cp290Codes, UnitToBitmapPlacesTheLowestUnitOfAGroupInBit7) {
    const struct {
        int index;
        int bit;
    } cases[] = {{0, 0x80}, {4, 0x08}, {7, 0x01}, {8, 0x80}, {15, 0x01}, {-1, 0}, {16, 0}, {-9, 0}};
    for (const auto& c : cases) EXPECT_EQ(UnitToBitmap(c.index), c.bit) << c.index;
}

TEST(Cp290Codes, DimCodeForLevelFollowsTheTableAndFallsBackToFull) {
    const int codes[11] = {15, 14, 13, 11, 9, 7, 5, 3, 2, 1, 0};
    for (int level = 0; level <= 10; ++level) EXPECT_EQ(DimCodeForLevel(level), codes[level]);
    for (double odd :
         {-1.0, 11.0, 4.5, 0.0001, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_EQ(DimCodeForLevel(odd), 0) << odd;
}

TEST(Cp290Frames, SetClockFrameOnAFridayAtHalfPastNine) {
    const int friday = cp290::dayBitForWeekday(5);
    EXPECT_EQ(cp290::setClockFrame(30, 9, friday),
              syncRun() + QByteArray("\x02\x1E\x09\x10\x37", 5));
    EXPECT_EQ(cp290::statusRequestFrame(), syncRun() + QByteArray("\x04", 1));
    EXPECT_EQ(cp290::dayBitForWeekday(7), 0x40);
    EXPECT_EQ(cp290::dayBitForWeekday(0), 0);
}
