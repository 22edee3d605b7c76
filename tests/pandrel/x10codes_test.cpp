// Table tests of the two-way interface's wire format: checksum, header byte,
// frames, device lists, upload decoding, clock frame. The code tables are
// tested with the vocabulary (tests/x10).
#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QTime>

#include "pandrel/x10codes.h"

namespace x10 = pandrel::x10;

namespace {
QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
std::string str(const QByteArray& b) {
    return b.toHex(' ').toStdString();
}
}  // namespace

TEST(X10Header, Bytes) {
    EXPECT_EQ(x10::headerByte(0, false, false), 0x04);
    EXPECT_EQ(x10::headerByte(0, true, false), 0x06);
    EXPECT_EQ(x10::headerByte(0, true, true), 0x07);
    EXPECT_EQ(x10::headerByte(22, true, false), 0xB6);
    EXPECT_EQ(x10::headerByte(11, true, false), 0x5E);
    EXPECT_EQ(x10::headerByte(99, true, false), 0xB6);  // clamped to 22
    EXPECT_EQ(x10::headerByte(-3, true, false), 0x06);
}

TEST(X10Checksum, ExamplesOfPart21) {
    EXPECT_EQ(x10::frameChecksum(hex("0466")), 0x6A);
    EXPECT_EQ(x10::frameChecksum(hex("0662")), 0x68);
    EXPECT_EQ(x10::frameChecksum(hex("0663")), 0x69);
    QByteArray first = hex("FB00000002") + QByteArray(14, char(0xFF));
    ASSERT_EQ(first.size(), 19);
    EXPECT_EQ(x10::frameChecksum(first), 0xF4);
    QByteArray high = hex("FB03F0") + QByteArray(16, char(0xFF));
    EXPECT_EQ(x10::frameChecksum(high), 0xE3);
}

TEST(X10Checksum, FirstByteLeftOutOnlyAboveSixBytes) {
    EXPECT_EQ(x10::frameChecksum(hex("0102030405FF")), uint8_t(0x1 + 2 + 3 + 4 + 5 + 0xFF));
    EXPECT_EQ(x10::frameChecksum(hex("FF0102030405FF")), uint8_t(1 + 2 + 3 + 4 + 5 + 0xFF));
    EXPECT_EQ(x10::frameChecksum(QByteArray()), 0);
}

TEST(X10Frames, AddressAndFunction) {
    EXPECT_EQ(str(x10::addressFrame(1, 1)), "04 66");
    EXPECT_EQ(str(x10::addressFrame(1, 5)), "04 61");
    EXPECT_EQ(str(x10::addressFrame(1, 3)), "04 62");
    EXPECT_EQ(str(x10::addressFrame(2, 2)), "04 ee");
    EXPECT_EQ(str(x10::functionFrame(1, x10::On)), "06 62");
    EXPECT_EQ(str(x10::functionFrame(1, x10::Off)), "06 63");
    EXPECT_EQ(str(x10::functionFrame(1, x10::AllUnitsOff)), "06 60");
    EXPECT_EQ(str(x10::functionFrame(1, x10::Dim, x10::dimSteps(50))), "5e 64");
    EXPECT_EQ(str(x10::functionFrame(1, x10::Bright, 22)), "b6 65");
}

TEST(X10Frames, PresetDimAndExtended) {
    const x10::PresetLevel p = x10::presetLevel(20);
    EXPECT_EQ(p.function, 11);
    EXPECT_EQ(p.level, 4);
    EXPECT_EQ(str(x10::presetDimFrame(p.level, p.function)), "06 2b");
    EXPECT_EQ(str(x10::presetDimFrame(0, 10)), "06 0a");
    EXPECT_EQ(str(x10::extendedFrame(1, 1, 0x12, 0x31)), "07 67 06 12 31");
    // data bytes above 255 are masked to 8 bits
    EXPECT_EQ(str(x10::extendedFrame(1, 2, 300, -1)), "07 67 0e 2c ff");
}

TEST(X10Frames, MemoryDownload) {
    uint8_t data[16];
    for (auto& b : data) b = 0xFF;
    const QByteArray f = x10::memoryFrame(0x03F0, data);
    ASSERT_EQ(f.size(), 19);
    EXPECT_EQ(str(f.left(3)), "fb 03 f0");
    EXPECT_EQ(x10::frameChecksum(f), 0xE3);
}

TEST(X10DeviceList, ReadsItemsAndSkipsInvalid) {
    using V = std::vector<int>;
    EXPECT_EQ(x10::unitList(u"1+5+16"), (V{1, 5, 16}));
    EXPECT_EQ(x10::unitList(u" 5"), (V{5}));
    EXPECT_EQ(x10::unitList(u"5+7"), (V{5, 7}));
    EXPECT_EQ(x10::unitList(u"3x"), (V{3}));
    EXPECT_EQ(x10::unitList(u"x"), V{});
    EXPECT_EQ(x10::unitList(u""), V{});
    EXPECT_EQ(x10::unitList(u"17"), V{});
    EXPECT_EQ(x10::unitList(u"0+2+-3+ 16+"), (V{2, 16}));
    EXPECT_EQ(x10::unitList(u"99999999999999999999999"), V{});
    EXPECT_EQ(x10::unitList(u"++"), V{});
    EXPECT_EQ(x10::singleUnit(u" 5"), 5);
    EXPECT_EQ(x10::singleUnit(u"1+5"), 1);
    EXPECT_EQ(x10::singleUnit(u"x"), 0);
    EXPECT_EQ(x10::singleUnit(u"40"), 0);
}

TEST(X10Decode, AddressesAndFunctions) {
    EXPECT_EQ(x10::houseLetter(0x00), "M");
    EXPECT_EQ(x10::unitText(0x00), "13");
    EXPECT_EQ(x10::houseLetter(0xC0), "P");
    EXPECT_EQ(x10::unitText(0x0C), "16");
    EXPECT_EQ(x10::addressText(0x66), "A1");
    EXPECT_EQ(x10::addressText(0x62), "A3");
    EXPECT_EQ(x10::addressText(0xFF), "J10");
}

TEST(X10Decode, DimPercent) {
    EXPECT_EQ(x10::dimPercent(0), 0);
    EXPECT_EQ(x10::dimPercent(105), 50);
    EXPECT_EQ(x10::dimPercent(210), 100);
    EXPECT_EQ(x10::dimPercent(21), 10);
    EXPECT_EQ(x10::dimPercent(1), 0);      // 0.476
    EXPECT_EQ(x10::dimPercent(2), 1);      // 0.952
    EXPECT_EQ(x10::dimPercent(63), 30);    // exactly 30
    EXPECT_EQ(x10::dimPercent(211), 100);  // above 210: defined, 100
    EXPECT_EQ(x10::dimPercent(255), 100);
    // A half goes to the even neighbour: 210 * k.5 / 100 is never a whole
    // amount except at these; check monotony instead.
    for (int a = 1; a <= 255; ++a)
        EXPECT_GE(x10::dimPercent(uint8_t(a)), x10::dimPercent(uint8_t(a - 1)));
}

TEST(X10Decode, PresetDimValue) {
    EXPECT_EQ(x10::presetDimValue(0x2B), 20);  // level 2 reversed is 4, plus 16
    EXPECT_EQ(x10::presetDimValue(0x0A), 0);
    EXPECT_EQ(x10::presetDimValue(0xFA), 15);
    EXPECT_EQ(x10::presetDimValue(0xFB), 31);
}

namespace {
std::string clock(int y, int mo, int d, int h, int mi, int s) {
    return str(x10::clockFrameBytes(QDateTime(QDate(y, mo, d), QTime(h, mi, s))));
}
}  // namespace

TEST(X10Clock, ExamplesOfParts21And24) {
    // 5 February 2025 is a Wednesday, day index 35.
    EXPECT_EQ(clock(2025, 2, 5, 14, 35, 7), "9b 07 23 07 23 08 00");
    const QByteArray f = x10::clockFrameBytes(QDateTime(QDate(2025, 2, 5), QTime(13, 5, 0)));
    EXPECT_EQ(uint8_t(f[2]), 65);
    EXPECT_EQ(uint8_t(f[3]), 6);
    // 31 December of a leap year: day index 365 = 0x16D.
    const QByteArray leap = x10::clockFrameBytes(QDateTime(QDate(2024, 12, 31), QTime(0, 0, 0)));
    EXPECT_EQ(uint8_t(leap[4]), 0x6D);
    EXPECT_TRUE(uint8_t(leap[5]) & 0x80);
    EXPECT_EQ(uint8_t(leap[5]) & 0x7F, 0x04);  // a Tuesday
    // 1 January 2023, a Sunday, 13:05:00.
    EXPECT_EQ(clock(2023, 1, 1, 13, 5, 0), "9b 00 41 06 00 01 00");
    // Saturday and the monitored house code.
    EXPECT_EQ(uint8_t(x10::clockFrameBytes(QDateTime(QDate(2025, 2, 8), QTime(23, 59, 59)))[5]),
              0x40);
    EXPECT_EQ(uint8_t(x10::clockFrame(QDateTime(QDate(2025, 2, 8), QTime(23, 59, 59)), 6)[6]),
              0x60);
}
