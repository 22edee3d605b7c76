// Module model rules that the wire tests do not reach.

#include "moduletable.h"
#include "x10.h"

#include <gtest/gtest.h>

using sim::ModuleTable;

TEST(ModuleTable, DimBrightAndHouseWideCommands) {
    ModuleTable t;
    t.address('B', 2);
    EXPECT_EQ(t.function('B', x10::Dim, 30), QStringList{"B2 DIM 30%"});
    EXPECT_EQ(t.state('B', 2).brightness, 70);  // an off lamp dims from full
    t.function('B', x10::Dim, 90);
    EXPECT_EQ(t.state('B', 2).brightness, 0);
    t.function('B', x10::Bright, 40);
    EXPECT_EQ(t.state('B', 2).brightness, 40);

    t.address('C', 1);
    t.function('C', x10::On);
    EXPECT_EQ(t.function('B', x10::AllUnitsOff), QStringList{"B ALL UNITS OFF"});
    EXPECT_FALSE(t.state('B', 2).on);
    EXPECT_TRUE(t.state('C', 1).on);  // other houses untouched
    EXPECT_FALSE(t.state('D', 1).known);

    EXPECT_EQ(t.function('D', x10::On), QStringList{"D ON (no unit addressed)"});
    EXPECT_EQ(t.extended('C', 1, 0x1F, 0x31), QStringList{"C1 EXTENDED PRESET 49%"});
    EXPECT_EQ(t.table(), (QStringList{"B2 OFF", "C1 ON 49%"}));
}

TEST(ModuleTable, AddressesOfDifferentHousesAccumulateSeparately) {
    ModuleTable t;
    t.address('A', 1);
    t.address('B', 1);
    t.address('A', 2);
    t.address('A', 2);  // repeated address counts once
    EXPECT_EQ(t.function('A', x10::On), (QStringList{"A1 ON", "A2 ON"}));
    EXPECT_EQ(t.function('B', x10::On), QStringList{"B1 ON"});
    // A second function without new addresses acts on the same units.
    EXPECT_EQ(t.function('A', x10::Off), (QStringList{"A1 OFF", "A2 OFF"}));
}
