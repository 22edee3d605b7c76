// The CP290 emulator, driven byte for byte over its pty.

#include "cp290sim.h"
#include "rawclient.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <memory>

using sim::Cp290Sim;
using sim::hex;
using Kind = Cp290Sim::Kind;

namespace {

class Cp290SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.errorString().toStdString();
        client = std::make_unique<RawClient>(sim.devicePath());
        ASSERT_TRUE(client->isOpen());
    }

    QByteArray status() {
        client->write(synced("04"));
        // Everything that comes, to catch wrong lengths.
        QByteArray reply = client->read(11, 1000);
        return reply + client->readFor(80);
    }

    Cp290Sim sim;
    std::unique_ptr<RawClient> client;
};

TEST_F(Cp290SimTest, StatusReplyCarriesClockDayAndHouse) {
    sim.setClock(5, 14, 0x01);
    sim.setBaseHouse(0x60);
    const QByteArray reply = status();
    ASSERT_EQ(reply.size(), 12);
    EXPECT_EQ(hex(reply.mid(7, 4)), "05 0E 01 60");  // bytes 8..11
    EXPECT_EQ(uchar(reply[11]), Cp290Sim::checksum(reply.mid(6, 5)));
    ASSERT_EQ(sim.frames().size(), 1);
    EXPECT_EQ(sim.frames()[0].kind, Kind::StatusRequest);
    EXPECT_EQ(hex(sim.frames()[0].bytes), hex(synced("04")));
}

TEST_F(Cp290SimTest, SetClockIsRecordedUnansweredAndReported) {
    client->write(synced("021E091037"));  // Friday 09:30
    EXPECT_TRUE(client->readFor(150).isEmpty());
    ASSERT_TRUE(sim.waitForFrames(1, 1000));
    EXPECT_EQ(sim.frames()[0].kind, Kind::SetClock);
    EXPECT_EQ(sim.frames()[0].bytes.size(), 21);
    EXPECT_EQ(hex(status().mid(7, 3)), "1E 09 10");

    // A garbled clock frame leaves the clock alone.
    client->write(synced("021F091039"));
    EXPECT_EQ(hex(status().mid(7, 3)), "1E 09 10");

    // An interface scripted to ignore clock setting keeps its weekday 0.
    sim.setClock(0, 0, 0);
    sim.setIgnoreClockSet(true);
    client->write(synced("021E091037"));
    EXPECT_EQ(hex(status().mid(7, 3)), "00 00 00");
    EXPECT_EQ(sim.frames().size(), 6);
}

TEST_F(Cp290SimTest, DirectCommandsRecordedExactlyAnsweredAndModelled) {
    const QList<QByteArray> frames = {synced("01026000086A"), synced("010360100073"),
                                      synced("0101600040A1"), synced("0135600020B5"),
                                      synced("01F5F00100E6")};
    for (const QByteArray& f : frames) {
        client->write(f);
        EXPECT_EQ(hex(client->read(1, 1000)), "00");
    }
    EXPECT_TRUE(client->readFor(80).isEmpty());
    const auto recorded = sim.frames();
    ASSERT_EQ(recorded.size(), frames.size());
    for (int i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(recorded[i].kind, Kind::Direct);
        EXPECT_EQ(hex(recorded[i].bytes), hex(frames[i]));
    }
    EXPECT_EQ(sim.moduleLines(),
              (QStringList{"A5 ON", "A12 OFF", "A ALL LIGHTS ON", "A3 DIM 70%", "J16 DIM 0%"}));
    EXPECT_EQ(sim.moduleState('A', 3).brightness, 70);

    sim.setDirectReply(bytes("0601"));
    client->write(frames[0]);
    const QByteArray reply = client->read(2, 1000);
    EXPECT_EQ(hex(reply + client->readFor(80)), "06 01");
}

TEST_F(Cp290SimTest, SilentRecordsButAnswersNothing) {
    sim.setSilent(true);
    client->write(synced("04") + synced("01026000086A"));
    EXPECT_TRUE(client->readFor(200).isEmpty());
    ASSERT_TRUE(sim.waitForFrames(2, 1000));
    EXPECT_TRUE(sim.moduleLines().isEmpty());
    sim.setSilent(false);
    EXPECT_EQ(status().size(), 12);
}

TEST_F(Cp290SimTest, StatusRepliesOfWrongLength) {
    sim.setStatusReply(QByteArray(11, char(0xFF)));
    EXPECT_EQ(status().size(), 11);
    sim.setStatusReply(QByteArray(13, char(0xFF)));
    EXPECT_EQ(status().size(), 13);
    sim.setStatusReply({});
    sim.setClock(7, 8, 0x02);
    sim.setStatusReplyLength(11);
    const QByteArray cut = status();
    EXPECT_EQ(cut.size(), 11);
    EXPECT_EQ(hex(cut.mid(7, 2)), "07 08");
    sim.setStatusReplyLength(0);
    EXPECT_EQ(status().size(), 12);
}

TEST_F(Cp290SimTest, ResynchronisesAfterGarbage) {
    sim.setTimeScale(10);
    // Noise containing short 0xFF runs, then a request with one 0xFF too many.
    client->write(bytes("1234FFFF56FF") + synced("04"));
    const QByteArray reply = client->read(12, 1000);
    EXPECT_EQ(reply.size() + client->readFor(80).size(), 12);
    ASSERT_TRUE(sim.waitForFrames(2, 1000));
    const auto f = sim.frames();
    EXPECT_EQ(f.size(), 2);
    EXPECT_EQ(f[0].kind, Kind::Unknown);
    EXPECT_EQ(hex(f[0].bytes), "12 34 FF FF 56 FF");
    EXPECT_EQ(f[1].kind, Kind::StatusRequest);

    // Unknown command byte, noise without a following frame, a cut-off frame.
    sim.clearRecords();
    client->write(synced("07"));
    client->write(bytes("AB"));
    ASSERT_TRUE(sim.waitForFrames(2, 2000));
    client->write(synced("0102"));
    ASSERT_TRUE(sim.waitForFrames(3, 3000));
    const auto g = sim.frames();
    EXPECT_EQ(hex(g[0].bytes), hex(synced("07")));
    EXPECT_EQ(hex(g[1].bytes), "AB");
    EXPECT_EQ(hex(g[2].bytes), hex(synced("0102")));
    for (const auto& fr : g) EXPECT_EQ(fr.kind, Kind::Unknown);
    EXPECT_EQ(status().size(), 12);
}

TEST_F(Cp290SimTest, PacingAt600Baud) {
    sim.setPacing(true);
    sim.setTimeScale(2);
    QElapsedTimer t;
    t.start();
    client->write(synced("04"));
    EXPECT_EQ(client->read(12, 2000).size(), 12);
    EXPECT_GE(t.elapsed(), 220);  // 29 bytes x 16.7 ms / 2
}

TEST_F(Cp290SimTest, UnplugMakesTheDeviceGoAway) {
    sim.unplug();
    int error = 0;
    const ssize_t n = client->readOnce(1000, &error);
    EXPECT_TRUE(n == 0 || (n < 0 && error == EIO)) << n << " " << error;
}

}  // namespace
