// The X10 vocabulary: code tables, names, addresses, dim conversions.
#include <gtest/gtest.h>

#include "x10.h"

TEST(X10Tables, CodeOfMatchesTheTable) {
    const int expected[17] = {0, 6, 14, 2, 10, 1, 9, 5, 13, 7, 15, 3, 11, 0, 8, 4, 12};
    for (int i = 0; i <= 16; ++i) EXPECT_EQ(x10::CodeOf[i], expected[i]) << i;
}

TEST(X10Tables, ReverseTablesInvertCodeOf) {
    for (int i = 1; i <= 16; ++i) {
        const int c = x10::CodeOf[i];
        EXPECT_EQ(QString(x10::HouseLetterOf[c]), QString(QChar('A' + i - 1))) << i;
        EXPECT_EQ(QString(x10::UnitTextOf[c]), QString::number(i)) << i;
    }
    EXPECT_STREQ(x10::HouseLetterOf[0], "M");
    EXPECT_STREQ(x10::UnitTextOf[0], "13");
    EXPECT_STREQ(x10::HouseLetterOf[12], "P");
    EXPECT_STREQ(x10::UnitTextOf[12], "16");
}

TEST(X10Tables, FunctionNames) {
    const char* names[16] = {"ALL UNITS OFF",
                             "ALL LIGHTS ON",
                             "ON",
                             "OFF",
                             "DIM",
                             "BRIGHT",
                             "ALL LIGHTS OFF",
                             "EXTENDED CODE",
                             "HAIL REQUEST",
                             "HAIL ACK",
                             "PRESET DIM 1",
                             "PRESET DIM 2",
                             "X DATA XFER",
                             "STATUS ON",
                             "STATUS OFF",
                             "STATUS REQUEST"};
    for (int i = 0; i < 16; ++i) EXPECT_STREQ(x10::FunctionNames[i], names[i]);
}

TEST(X10Tables, ReverseBitsReversesFourBits) {
    const int expected[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(x10::ReverseBits[i], expected[i]);
        EXPECT_EQ(x10::ReverseBits[x10::ReverseBits[i]], i);
    }
}

TEST(X10DimSteps, RoundHalfToEven) {
    EXPECT_EQ(x10::dimSteps(0), 0);
    EXPECT_EQ(x10::dimSteps(25), 6);
    EXPECT_EQ(x10::dimSteps(50), 11);
    EXPECT_EQ(x10::dimSteps(75), 16);
    EXPECT_EQ(x10::dimSteps(100), 22);
    EXPECT_EQ(x10::dimSteps(2), 0);    // 0.44
    EXPECT_EQ(x10::dimSteps(3), 1);    // 0.66
    EXPECT_EQ(x10::dimSteps(-40), 0);  // clamped
    EXPECT_EQ(x10::dimSteps(1000), 22);
    for (int b = 0; b <= 100; ++b) {
        const int s = x10::dimSteps(b);
        EXPECT_LE(std::abs(s * 100 - b * 22), 50) << b;
    }
}

TEST(X10PresetLevel, SplitAt16) {
    EXPECT_EQ(x10::presetLevel(0).function, 10);
    EXPECT_EQ(x10::presetLevel(15).function, 10);
    EXPECT_EQ(x10::presetLevel(15).level, 15);
    EXPECT_EQ(x10::presetLevel(16).function, 11);
    EXPECT_EQ(x10::presetLevel(16).level, 0);
    EXPECT_EQ(x10::presetLevel(31).level, 15);
    EXPECT_EQ(x10::presetLevel(99).level, 15);  // clamped to 31
    EXPECT_EQ(x10::presetLevel(-5).function, 10);
    EXPECT_EQ(x10::presetLevel(-5).level, 0);
}

TEST(X10HouseCode, Positions) {
    EXPECT_EQ(x10::housePosition(u"A"), 1);
    EXPECT_EQ(x10::housePosition(u"a"), 1);
    EXPECT_EQ(x10::housePosition(u"p"), 16);
    EXPECT_EQ(x10::housePosition(u"Bxyz"), 2);
    EXPECT_EQ(x10::housePosition(u"Q"), 0);
    EXPECT_EQ(x10::housePosition(u""), 0);
    EXPECT_EQ(x10::housePosition(u"@"), 0);
    EXPECT_EQ(x10::housePosition(u" A"), 0);
    EXPECT_EQ(x10::housePosition(u"\u00e4"), 0);
}

TEST(X10Codes, TablesRoundTrip) {
    EXPECT_EQ(x10::houseCode('A'), 6);
    EXPECT_EQ(x10::houseCode('M'), 0);
    EXPECT_EQ(x10::unitCode(16), 12);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(x10::letterOfCode(x10::codeOf(i + 1)), char('A' + i));
        EXPECT_EQ(x10::unitOfCode(x10::codeOf(i + 1)), i + 1);
        EXPECT_EQ(x10::reverseNibble(x10::reverseNibble(uchar(i))), i);
    }
    EXPECT_EQ(x10::stepsToPercent(22), 100);
    EXPECT_EQ(x10::amountToPercent(105), 50);
    EXPECT_EQ(x10::percentToAmount(50), 105);
}

TEST(X10Names, FunctionsByNameAndKind) {
    for (int f = 0; f < x10::kFunctionCount; ++f) {
        EXPECT_EQ(x10::functionFromName(x10::functionName(f)), f);
        EXPECT_EQ(x10::functionFromName(x10::functionName(f).toLower()), f);
    }
    EXPECT_EQ(x10::functionFromName(u" all lights off "), x10::AllLightsOff);
    EXPECT_FALSE(x10::functionFromName(u"ONN").has_value());
    EXPECT_FALSE(x10::functionFromName(u"").has_value());
    EXPECT_EQ(x10::functionName(16 + x10::Dim), "DIM");  // modulo 16
    int house = 0, unit = 0;
    for (int f = 0; f < x10::kFunctionCount; ++f) {
        house += x10::isHouseFunction(f);
        unit += x10::isUnitFunction(f);
        EXPECT_FALSE(x10::isHouseFunction(f) && x10::isUnitFunction(f)) << f;
    }
    EXPECT_EQ(house, 3);
    EXPECT_EQ(unit, 7);
}

TEST(X10Address, TextByteAndParse) {
    EXPECT_EQ((x10::Address{1, 1}).byte(), 0x66);
    EXPECT_EQ((x10::Address{16, 10}).byte(), 0xCF);
    EXPECT_EQ((x10::Address{1, 0}).text(), "A");
    EXPECT_EQ((x10::Address{16, 16}).text(), "P16");
    for (int h = 1; h <= 16; ++h) {
        for (int u = 0; u <= 16; ++u) {
            const x10::Address a{h, u};
            EXPECT_EQ(x10::Address::parse(a.text()), a) << h << " " << u;
            if (u != 0) {
                EXPECT_EQ(x10::Address::fromByte(a.byte()), a) << h << " " << u;
            }
        }
    }
    EXPECT_EQ(x10::Address::parse(u" b5 "), (x10::Address{2, 5}));
    for (const char16_t* bad : {u"", u"Q1", u"A0", u"A17", u"A+1", u"A1x", u"1A", u"A 1"})
        EXPECT_FALSE(x10::Address::parse(bad).has_value()) << QString::fromUtf16(bad).toStdString();
    EXPECT_FALSE((x10::Address{0, 1}).valid());
    EXPECT_FALSE((x10::Address{1, 17}).valid());
}

TEST(X10DimConversions, AmountsStepsAndPercent) {
    // Upload amounts: an exact half never occurs, values outside 0 ... 210
    // saturate; percent -> amount -> percent is the identity.
    EXPECT_EQ(x10::amountToPercent(105), 50);
    EXPECT_EQ(x10::amountToPercent(1), 0);
    EXPECT_EQ(x10::amountToPercent(2), 1);
    EXPECT_EQ(x10::amountToPercent(255), 100);
    EXPECT_EQ(x10::amountToPercent(-3), 0);
    for (int p = 0; p <= 100; ++p) EXPECT_EQ(x10::amountToPercent(x10::percentToAmount(p)), p);
    EXPECT_EQ(x10::percentToAmount(150), 210);
    // Steps: the percent of a step count comes back to the same count.
    EXPECT_EQ(x10::stepsToPercent(11), 50);
    EXPECT_EQ(x10::stepsToPercent(31), 100);  // a header's 5 bits saturate
    for (int s = 0; s <= 22; ++s) EXPECT_EQ(x10::dimSteps(x10::stepsToPercent(s)), s);
}

TEST(X10PresetLevel, ValueRoundTrip) {
    for (int v = 0; v <= 31; ++v) {
        const x10::PresetLevel p = x10::presetLevel(v);
        EXPECT_EQ(x10::presetValue(p.function, p.level), v);
    }
}

TEST(X10Extended, StatusBytesAndLevels) {
    struct Row {
        int data, level;
        bool appliance, load;
    };
    for (const Row& r : {Row{0x00, 0, false, false}, Row{0xBF, 63, false, true},
                         Row{0x40, 0, true, false}, Row{0xE0, 32, true, true}}) {
        const x10::ModuleStatus s = x10::moduleStatus(r.data);
        EXPECT_EQ(s.level, r.level) << r.data;
        EXPECT_EQ(s.appliance, r.appliance) << r.data;
        EXPECT_EQ(s.load, r.load) << r.data;
    }
    EXPECT_EQ(x10::extLevel(0), 0);
    EXPECT_EQ(x10::extLevel(1), 1);  // dim, not off
    EXPECT_EQ(x10::extLevel(100), 63);
    EXPECT_EQ(x10::extLevel(250), 63);
    EXPECT_EQ(x10::extPercent(1), 2);
    EXPECT_EQ(x10::extPercent(63), 100);
    // Every level survives the trip through percent.
    for (int l = 0; l <= x10::kExtTopLevel; ++l) EXPECT_EQ(x10::extLevel(x10::extPercent(l)), l);
}
