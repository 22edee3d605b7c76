// Module model rules that the wire tests do not reach.

#include "moduletable.h"
#include "x10.h"

#include <gtest/gtest.h>

#include <optional>

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

TEST(ModuleTable, TwoWayModulesKeepTheirLevelAndAnswer) {
    ModuleTable t;
    t.setKind('A', 1, sim::ModuleKind::TwoWayLamp);
    t.setKind('A', 2, sim::ModuleKind::TwoWayAppliance);
    EXPECT_EQ(t.extended('A', 1, 45, x10::kExtPresetLevel),
              QStringList{"A1 EXTENDED PRESET 71% (level 45)"});
    t.extended('A', 2, 20, x10::kExtPresetLevel);  // an appliance is on or off
    t.address('A', 1);
    t.address('A', 2);
    t.function('A', x10::Dim, 50);  // the appliance ignores dimming
    t.address('A', 3);
    t.function('A', x10::On);
    // A1 level 45 dimmed by 50 % of the range; A2 on; A3 one-way, never answers.
    const struct {
        char house;
        int unit;
        std::optional<uchar> extended;
        std::optional<bool> on;
    } cases[] = {
        {'A', 1, uchar(0x80 | x10::extLevel(21)), true},
        {'A', 2, uchar(0xC0 | 63), true},
        {'A', 3, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(t.extendedStatus(c.house, c.unit), c.extended) << c.unit;
        EXPECT_EQ(t.statusOn(c.house, c.unit), c.on) << c.unit;
    }
    EXPECT_EQ(t.lastUnits('A'), QList<int>{3});
    // Off keeps the lamp's level; a missing bulb clears bit 7 only.
    t.function('A', x10::AllUnitsOff);
    t.setLoad('A', 1, false);
    EXPECT_EQ(t.extendedStatus('A', 1), uchar(0));
    EXPECT_EQ(t.state('A', 1).level, x10::extLevel(21));
    EXPECT_EQ(t.table(), (QStringList{"A1 OFF (no load)", "A2 OFF", "A3 OFF"}));
}

TEST(ModuleTable, ModuleKindLists) {
    QString why;
    const auto kinds = sim::parseModuleKinds(" a1=TwoWay-Lamp, P16=twoway-appliance,B2=lamp", &why);
    ASSERT_TRUE(kinds);
    ASSERT_EQ(kinds->size(), 3);
    EXPECT_EQ(kinds->at(0).house, 'A');
    EXPECT_EQ(kinds->at(0).kind, sim::ModuleKind::TwoWayLamp);
    EXPECT_EQ(kinds->at(1).unit, 16);
    EXPECT_EQ(kinds->at(2).kind, sim::ModuleKind::OneWay);
    for (const char* bad : {"", "A1", "A=twoway-lamp", "A17=twoway-lamp", "A1=dimmer"})
        EXPECT_FALSE(sim::parseModuleKinds(QString::fromLatin1(bad))) << bad;
}
