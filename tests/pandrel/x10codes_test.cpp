// Table tests of the two-way interface's wire format: checksum, header byte,
// frames, device lists, upload decoding, clock frame. The code tables are
// tested with the vocabulary (tests/x10).
#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QTime>

#include "pandrel/x10codes.h"

namespace wire = pandrel::x10;

namespace {
QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
std::string str(const QByteArray& b) {
    return b.toHex(' ').toStdString();
}
}  // namespace

TEST(X10Header, Bytes) {
    EXPECT_EQ(wire::headerByte(0, false, false), 0x04);
    EXPECT_EQ(wire::headerByte(0, true, false), 0x06);
    EXPECT_EQ(wire::headerByte(0, true, true), 0x07);
    EXPECT_EQ(wire::headerByte(22, true, false), 0xB6);
    EXPECT_EQ(wire::headerByte(11, true, false), 0x5E);
    EXPECT_EQ(wire::headerByte(99, true, false), 0xB6);  // clamped to 22
    EXPECT_EQ(wire::headerByte(-3, true, false), 0x06);
}

TEST(X10Checksum, ExamplesOfPart21) {
    EXPECT_EQ(wire::frameChecksum(hex("0466")), 0x6A);
    EXPECT_EQ(wire::frameChecksum(hex("0662")), 0x68);
    EXPECT_EQ(wire::frameChecksum(hex("0663")), 0x69);
    QByteArray first = hex("FB00000002") + QByteArray(14, char(0xFF));
    ASSERT_EQ(first.size(), 19);
    EXPECT_EQ(wire::frameChecksum(first), 0xF4);
    QByteArray high = hex("FB03F0") + QByteArray(16, char(0xFF));
    EXPECT_EQ(wire::frameChecksum(high), 0xE3);
}

TEST(X10Checksum, FirstByteLeftOutOnlyAboveSixBytes) {
    EXPECT_EQ(wire::frameChecksum(hex("0102030405FF")), uint8_t(0x1 + 2 + 3 + 4 + 5 + 0xFF));
    EXPECT_EQ(wire::frameChecksum(hex("FF0102030405FF")), uint8_t(1 + 2 + 3 + 4 + 5 + 0xFF));
    EXPECT_EQ(wire::frameChecksum(QByteArray()), 0);
}

TEST(X10Frames, AddressAndFunction) {
    EXPECT_EQ(str(wire::addressFrame(1, 1)), "04 66");
    EXPECT_EQ(str(wire::addressFrame(1, 5)), "04 61");
    EXPECT_EQ(str(wire::addressFrame(1, 3)), "04 62");
    EXPECT_EQ(str(wire::addressFrame(2, 2)), "04 ee");
    EXPECT_EQ(str(wire::functionFrame(1, wire::On)), "06 62");
    EXPECT_EQ(str(wire::functionFrame(1, wire::Off)), "06 63");
    EXPECT_EQ(str(wire::functionFrame(1, wire::AllUnitsOff)), "06 60");
    EXPECT_EQ(str(wire::functionFrame(1, wire::Dim, wire::dimSteps(50))), "5e 64");
    EXPECT_EQ(str(wire::functionFrame(1, wire::Bright, 22)), "b6 65");
}

TEST(X10Frames, PresetDimAndExtended) {
    const wire::PresetLevel p = wire::presetLevel(20);
    EXPECT_EQ(p.function, 11);
    EXPECT_EQ(p.level, 4);
    EXPECT_EQ(str(wire::presetDimFrame(p.level, p.function)), "06 2b");
    EXPECT_EQ(str(wire::presetDimFrame(0, 10)), "06 0a");
    EXPECT_EQ(str(wire::extendedFrame(1, 1, 0x12, 0x31)), "07 67 06 12 31");
    // data bytes above 255 are masked to 8 bits
    EXPECT_EQ(str(wire::extendedFrame(1, 2, 300, -1)), "07 67 0e 2c ff");
}

TEST(X10Frames, MemoryDownload) {
    uint8_t data[16];
    for (auto& b : data) b = 0xFF;
    const QByteArray f = wire::memoryFrame(0x03F0, data);
    ASSERT_EQ(f.size(), 19);
    EXPECT_EQ(str(f.left(3)), "fb 03 f0");
    EXPECT_EQ(wire::frameChecksum(f), 0xE3);
}

TEST(X10DeviceList, ReadsItemsAndSkipsInvalid) {
    using V = std::vector<int>;
    EXPECT_EQ(wire::unitList(u"1+5+16"), (V{1, 5, 16}));
    EXPECT_EQ(wire::unitList(u" 5"), (V{5}));
    EXPECT_EQ(wire::unitList(u"5+7"), (V{5, 7}));
    EXPECT_EQ(wire::unitList(u"3x"), (V{3}));
    EXPECT_EQ(wire::unitList(u"x"), V{});
    EXPECT_EQ(wire::unitList(u""), V{});
    EXPECT_EQ(wire::unitList(u"17"), V{});
    EXPECT_EQ(wire::unitList(u"0+2+-3+ 16+"), (V{2, 16}));
    EXPECT_EQ(wire::unitList(u"99999999999999999999999"), V{});
    EXPECT_EQ(wire::unitList(u"++"), V{});
    EXPECT_EQ(wire::singleUnit(u" 5"), 5);
    EXPECT_EQ(wire::singleUnit(u"1+5"), 1);
    EXPECT_EQ(wire::singleUnit(u"x"), 0);
    EXPECT_EQ(wire::singleUnit(u"40"), 0);
}

TEST(X10Decode, AddressesAndFunctions) {
    EXPECT_EQ(wire::houseLetter(0x00), "M");
    EXPECT_EQ(wire::unitText(0x00), "13");
    EXPECT_EQ(wire::houseLetter(0xC0), "P");
    EXPECT_EQ(wire::unitText(0x0C), "16");
    EXPECT_EQ(wire::addressText(0x66), "A1");
    EXPECT_EQ(wire::addressText(0x62), "A3");
    EXPECT_EQ(wire::addressText(0xFF), "J10");
}

TEST(X10Decode, DimPercent) {
    EXPECT_EQ(wire::dimPercent(0), 0);
    EXPECT_EQ(wire::dimPercent(105), 50);
    EXPECT_EQ(wire::dimPercent(210), 100);
    EXPECT_EQ(wire::dimPercent(21), 10);
    EXPECT_EQ(wire::dimPercent(1), 0);      // 0.476
    EXPECT_EQ(wire::dimPercent(2), 1);      // 0.952
    EXPECT_EQ(wire::dimPercent(63), 30);    // exactly 30
    EXPECT_EQ(wire::dimPercent(211), 100);  // above 210: defined, 100
    EXPECT_EQ(wire::dimPercent(255), 100);
    // A half goes to the even neighbour: 210 * k.5 / 100 is never a whole
    // amount except at these; check monotony instead.
    for (int a = 1; a <= 255; ++a)
        EXPECT_GE(wire::dimPercent(uint8_t(a)), wire::dimPercent(uint8_t(a - 1)));
}

TEST(X10Decode, PresetDimValue) {
    EXPECT_EQ(wire::presetDimValue(0x2B), 20);  // level 2 reversed is 4, plus 16
    EXPECT_EQ(wire::presetDimValue(0x0A), 0);
    EXPECT_EQ(wire::presetDimValue(0xFA), 15);
    EXPECT_EQ(wire::presetDimValue(0xFB), 31);
}

namespace {
std::string clock(int y, int mo, int d, int h, int mi, int s) {
    return str(wire::clockFrameBytes(QDateTime(QDate(y, mo, d), QTime(h, mi, s))));
}
}  // namespace

TEST(X10Clock, ExamplesOfParts21And24) {
    // 5 February 2025 is a Wednesday, day index 35.
    EXPECT_EQ(clock(2025, 2, 5, 14, 35, 7), "9b 07 23 07 23 08 00");
    const QByteArray f = wire::clockFrameBytes(QDateTime(QDate(2025, 2, 5), QTime(13, 5, 0)));
    EXPECT_EQ(uint8_t(f[2]), 65);
    EXPECT_EQ(uint8_t(f[3]), 6);
    // 31 December of a leap year: day index 365 = 0x16D.
    const QByteArray leap = wire::clockFrameBytes(QDateTime(QDate(2024, 12, 31), QTime(0, 0, 0)));
    EXPECT_EQ(uint8_t(leap[4]), 0x6D);
    EXPECT_TRUE(uint8_t(leap[5]) & 0x80);
    EXPECT_EQ(uint8_t(leap[5]) & 0x7F, 0x04);  // a Tuesday
    // 1 January 2023, a Sunday, 13:05:00.
    EXPECT_EQ(clock(2023, 1, 1, 13, 5, 0), "9b 00 41 06 00 01 00");
    // Saturday and the monitored house code.
    EXPECT_EQ(uint8_t(wire::clockFrameBytes(QDateTime(QDate(2025, 2, 8), QTime(23, 59, 59)))[5]),
              0x40);
    EXPECT_EQ(uint8_t(wire::clockFrame(QDateTime(QDate(2025, 2, 8), QTime(23, 59, 59)), 6)[6]),
              0x60);
}
