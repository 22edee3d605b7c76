// The two-way interface emulator, driven byte for byte over its pty.

#include "twowaysim.h"
#include "rawclient.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <memory>
#include <thread>

using sim::hex;
using sim::ModuleKind;
using sim::TwoWaySim;
using Kind = TwoWaySim::Kind;

namespace {

class TwoWaySimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.errorString().toStdString();
        client = std::make_unique<RawClient>(sim.devicePath());
        ASSERT_TRUE(client->isOpen());
    }

    // Writes a frame and returns the interface's single-byte answer.
    QByteArray exchange(const QByteArray& frame, int n = 1) {
        client->write(frame);
        return client->read(n, 2000);
    }

    // Full handshake: frame, expected checksum, confirmation, ready byte.
    void handshake(const QByteArray& frame, uchar expectedSum) {
        ASSERT_EQ(hex(exchange(frame)), hex(QByteArray(1, char(expectedSum))));
        ASSERT_EQ(hex(exchange(bytes("00"))), "55");
    }

    // Skips leading poll bytes that may have crossed an answer on the line.
    QByteArray readSkippingPolls(int n, int timeoutMs) {
        QByteArray got;
        while (got.size() < n) {
            QByteArray b = client->read(1, timeoutMs);
            if (b.isEmpty()) break;
            if (got.isEmpty() && uchar(b[0]) == TwoWaySim::kPoll) continue;
            got += b;
        }
        return got;
    }

    TwoWaySim sim;
    std::unique_ptr<RawClient> client;
};

TEST_F(TwoWaySimTest, StatusRequestGetsFourteenDeterministicBytes) {
    const QByteArray first = exchange(bytes("8B"), 14);
    EXPECT_EQ(first.size(), 14);
    EXPECT_EQ(hex(exchange(bytes("8B"), 14)), hex(first));
    EXPECT_TRUE(client->readFor(80).isEmpty());
    ASSERT_EQ(sim.statusRequests().size(), 2);
    EXPECT_EQ(sim.statusRequests()[0].kind, Kind::StatusRequest);
}

TEST_F(TwoWaySimTest, HandshakeChecksumsForEachFrameType) {
    handshake(bytes("0466"), 0x6A);  // address A1
    handshake(bytes("0662"), 0x68);  // A ON
    handshake(bytes("FB00000002") + QByteArray(14, char(0xFF)), 0xF4);
    handshake(bytes("FB03F0") + QByteArray(16, char(0xFF)), 0xE3);
    handshake(bytes("07670131AB"), uchar(0x07 + 0x67 + 0x01 + 0x31 + 0xAB));  // extended

    const auto framed = sim.framedOnly();
    ASSERT_EQ(framed.size(), 5);
    EXPECT_EQ(framed[0].kind, Kind::Address);
    EXPECT_EQ(framed[1].kind, Kind::Function);
    EXPECT_EQ(framed[2].kind, Kind::Download);
    EXPECT_EQ(framed[2].bytes.size(), 19);
    EXPECT_EQ(framed[4].kind, Kind::Extended);
    EXPECT_EQ(hex(framed[4].bytes), "07 67 01 31 AB");
    EXPECT_LE(framed[0].tMs, framed[1].tMs);

    // Every frame is followed by exactly one confirmation record.
    const auto all = sim.frames();
    ASSERT_EQ(all.size(), 10);
    for (int i = 1; i < all.size(); i += 2) EXPECT_EQ(all[i].kind, Kind::Ack);
    EXPECT_EQ(hex(sim.received().left(3)), "04 66 00");
}

TEST_F(TwoWaySimTest, WrongChecksumFaultAndRetryWithoutConfirmation) {
    sim.failChecksums(2);
    for (int i = 0; i < 2; ++i) {
        const QByteArray sum = exchange(bytes("0466"));
        ASSERT_EQ(sum.size(), 1);
        EXPECT_NE(uchar(sum[0]), 0x6A);
        EXPECT_NE(uchar(sum[0]), TwoWaySim::kPoll);
    }
    // The computer retries instead of confirming: each retry is a new frame.
    handshake(bytes("0466"), 0x6A);
    handshake(bytes("0662"), 0x68);
    EXPECT_EQ(sim.framedOnly().size(), 4);
    // Only the confirmed address reached the powerline.
    EXPECT_EQ(sim.moduleLines(), QStringList{"A1 ON"});
}

TEST_F(TwoWaySimTest, PollInsteadOfChecksumThenUploadAfterPollAnswer) {
    sim.setTimeScale(10);
    sim.pollInsteadOfChecksum(1);
    EXPECT_EQ(hex(exchange(bytes("0466"))), "5A");
    EXPECT_EQ(hex(client->read(1, 1000)), "5A");  // repeated until answered
    client->write(bytes("C3"));
    EXPECT_EQ(hex(readSkippingPolls(3, 1000)), "02 00 66");  // default upload: A1
    EXPECT_FALSE(sim.isPolling());
    // The dropped frame is sent again and now gets its checksum.
    handshake(bytes("0466"), 0x6A);
    EXPECT_TRUE(sim.moduleLines().isEmpty());
}

TEST_F(TwoWaySimTest, InjectedUploadPollsUntilAnsweredThenExtraPollsAndData) {
    sim.injectUpload(bytes("03026662"), 2);
    EXPECT_EQ(hex(client->read(1, 1000)), "5A");
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(hex(client->read(1, 1000)), "5A");
    EXPECT_GE(t.elapsed(), 150);  // repeats about every 250 ms, not back to back
    // Answered well within the interval: exactly two extra polls, then the upload.
    client->write(bytes("C3"));
    EXPECT_EQ(hex(client->read(6, 1000)), "5A 5A 03 02 66 62");
    EXPECT_TRUE(client->readFor(300).isEmpty());
    EXPECT_FALSE(sim.isPolling());
    EXPECT_EQ(sim.frames().last().kind, Kind::PollAnswer);
}

TEST_F(TwoWaySimTest, UploadWaitsForHandshakeAndPreemptsLaterFrames) {
    EXPECT_EQ(hex(exchange(bytes("0466"))), "6A");
    sim.injectUpload(bytes("020163"));
    EXPECT_TRUE(client->readFor(100).isEmpty());
    client->write(bytes("00"));
    EXPECT_EQ(hex(client->read(2, 1000)), "55 5A");
    // A frame sent while the interface polls is answered with a poll and dropped.
    EXPECT_EQ(hex(exchange(bytes("0662"))), "5A");
    client->write(bytes("C3"));
    EXPECT_EQ(hex(readSkippingPolls(3, 1000)), "02 01 63");
    handshake(bytes("0662"), 0x68);
    EXPECT_EQ(sim.moduleLines(), QStringList{"A1 ON"});
}

TEST_F(TwoWaySimTest, PowerFailRepeatsUntilClockFrameWhichGetsOneByte) {
    sim.setTimeScale(10);
    sim.injectPowerFail();
    EXPECT_EQ(hex(client->read(2, 1000)), "A5 A5");
    // 13:31:30, day 288 (bit 8 set), Saturday.
    const QByteArray clock = bytes("9B1E5B0620C000");
    client->write(clock);
    QByteArray answer;
    while ((answer = client->read(1, 1000)) == bytes("A5")) {
    }
    ASSERT_EQ(answer.size(), 1);
    EXPECT_EQ(uchar(answer[0]), TwoWaySim::checksum(clock));
    EXPECT_EQ(TwoWaySim::checksum(clock), uchar(0x1E + 0x5B + 0x06 + 0x20 + 0xC0));
    EXPECT_TRUE(client->readFor(250).isEmpty());  // no more requests, no ack wanted
    EXPECT_FALSE(sim.powerFailPending());
    ASSERT_EQ(sim.clockFrames().size(), 1);
    EXPECT_EQ(hex(sim.clockFrames()[0].bytes), hex(clock));
    // The status reply reflects the clock just set.
    EXPECT_EQ(hex(exchange(bytes("8B"), 14).mid(2, 5)), "1E 5B 06 20 C0");
}

TEST_F(TwoWaySimTest, MacroReportAndRawInjection) {
    sim.injectMacro(0x01, 0x2F);
    EXPECT_EQ(hex(client->read(3, 1000)), "5B 01 2F");
    sim.injectRaw(bytes("5A5A"));
    EXPECT_EQ(hex(client->read(2, 1000)), "5A 5A");
}

TEST_F(TwoWaySimTest, SilentAnswersNothingButRecords) {
    sim.setSilent(true);
    client->write(bytes("8B0466"));
    sim.injectMacro(1, 2);
    sim.injectPowerFail();
    EXPECT_TRUE(client->readFor(200).isEmpty());
    ASSERT_TRUE(sim.waitForFrames(2, 1000));
    EXPECT_EQ(sim.frames()[0].kind, Kind::StatusRequest);
    EXPECT_EQ(sim.frames()[1].kind, Kind::Address);
    sim.setSilent(false);
    EXPECT_EQ(hex(client->read(4, 1000)), "5B 01 02 A5");  // held back, not lost
    EXPECT_EQ(exchange(bytes("8B"), 14).size(), 14);
}

TEST_F(TwoWaySimTest, GarbageAndIncompleteFramesAreRecordedAndSkipped) {
    sim.setTimeScale(10);
    client->write(bytes("10"));  // cannot start any frame
    ASSERT_TRUE(sim.waitForFrames(1, 1000));
    EXPECT_EQ(sim.frames()[0].kind, Kind::Unknown);
    client->write(bytes("04"));  // header, then nothing
    ASSERT_TRUE(sim.waitForFrames(2, 3000));
    EXPECT_EQ(sim.frames()[1].kind, Kind::Unknown);
    EXPECT_EQ(hex(sim.frames()[1].bytes), "04");
    handshake(bytes("0466"), 0x6A);
    sim.clearRecords();
    EXPECT_TRUE(sim.frames().isEmpty());
    EXPECT_TRUE(sim.received().isEmpty());
}

TEST_F(TwoWaySimTest, ModuleModelFollowsAddressingRules) {
    handshake(bytes("0461"), 0x65);                // A5
    handshake(bytes("0662"), 0x68);                // A ON
    handshake(bytes("3E64"), uchar(0x3E + 0x64));  // A DIM, 7 steps
    EXPECT_EQ(sim.moduleState('A', 5).brightness, 68);
    handshake(bytes("9665"), uchar(0x96 + 0x65));  // A BRIGHT, 18 steps
    EXPECT_EQ(sim.moduleState('A', 5).brightness, 100);
    handshake(bytes("0666"), uchar(0x06 + 0x66));  // A ALL LIGHTS OFF
    EXPECT_FALSE(sim.moduleState('A', 5).on);
    handshake(bytes("0661"), uchar(0x06 + 0x61));  // A ALL LIGHTS ON
    EXPECT_TRUE(sim.moduleState('A', 5).on);
    // Addresses accumulate until a function; the next address starts anew.
    handshake(bytes("0466"), 0x6A);  // A1
    handshake(bytes("046E"), 0x72);  // A2
    handshake(bytes("0663"), 0x69);  // A OFF
    handshake(bytes("0462"), 0x66);  // A3
    handshake(bytes("0662"), 0x68);  // A ON
    handshake(bytes("061A"), 0x20);  // preset dim level 8
    handshake(bytes("0660"), 0x66);  // A ALL UNITS OFF
    EXPECT_EQ(
        sim.moduleLines(),
        (QStringList{"A5 ON", "A5 DIM 32%", "A5 BRIGHT 82%", "A ALL LIGHTS OFF", "A ALL LIGHTS ON",
                     "A1 OFF", "A2 OFF", "A3 ON", "A3 PRESET DIM 26%", "A ALL UNITS OFF"}));
    EXPECT_EQ(sim.moduleTable(), (QStringList{"A1 OFF", "A2 OFF", "A3 OFF", "A5 OFF"}));
}

TEST_F(TwoWaySimTest, ReadyDelayAndPacingFollowTheTimeScale) {
    sim.setReadyDelayMs(400);
    sim.setTimeScale(4);
    EXPECT_EQ(hex(exchange(bytes("0466"))), "6A");
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(hex(exchange(bytes("00"))), "55");
    EXPECT_GE(t.elapsed(), 90);
    EXPECT_LT(t.elapsed(), 390);

    sim.setReadyDelayMs(0);
    sim.setTimeScale(1);
    sim.setPacing(true);
    t.restart();
    EXPECT_EQ(exchange(bytes("8B"), 14).size(), 14);
    EXPECT_GE(t.elapsed(), 28);  // 15 bytes at 4800 baud
}

TEST_F(TwoWaySimTest, ConcurrentReadersAndHookWhileTheComputerTalks) {
    std::atomic<int> hooked{0};
    sim.setLineHook([&](const QString& line) {
        if (line == "A1 ON") ++hooked;
    });
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            // Touch every record while the I/O thread appends to them.
            for (const auto& f : sim.frames()) (void)f.bytes.size();
            (void)sim.received().size();
            (void)sim.moduleLines().size();
            sim.waitForModuleLines(1000, 1);
        }
    });
    handshake(bytes("0466"), 0x6A);
    for (int i = 0; i < 20; ++i) handshake(bytes("0662"), 0x68);
    stop = true;
    reader.join();
    EXPECT_EQ(sim.frames().size(), 42);
    EXPECT_EQ(sim.moduleLines().size(), 20);
    EXPECT_EQ(hooked.load(), 20);
}

TEST_F(TwoWaySimTest, UnplugMakesTheDeviceGoAwayUntilStartedAgain) {
    sim.unplug();
    EXPECT_FALSE(sim.isRunning());
    int error = 0;
    const ssize_t n = client->readOnce(1000, &error);
    EXPECT_TRUE(n == 0 || (n < 0 && error == EIO)) << n << " " << error;

    // Plugged in again: a fresh device that works from a clean state.
    ASSERT_TRUE(sim.start());
    client = std::make_unique<RawClient>(sim.devicePath());
    ASSERT_TRUE(client->isOpen());
    handshake(bytes("0466"), 0x6A);
}

// ---- modules that answer ----

class TwoWayModulesTest : public TwoWaySimTest {
  protected:
    void SetUp() override {
        TwoWaySimTest::SetUp();
        sim.setTimeScale(20);
        sim.setModuleKind('A', 1, ModuleKind::TwoWayLamp);
        sim.setModuleKind('A', 2, ModuleKind::TwoWayAppliance);
    }
    // Takes the upload the interface announces with its poll.
    QByteArray upload(int n) {
        if (hex(client->read(1, 5000)) != "5A") return {};
        client->write(bytes("C3"));
        return readSkippingPolls(n, 2000);
    }
    // Extended frame to a unit of house A.
    static QByteArray extended(int unitCode, uchar data, uchar command) {
        QByteArray f = bytes("0767");
        f += char(unitCode);
        f += char(data);
        f += char(command);
        return f;
    }
    void send(const QByteArray& frame) { handshake(frame, TwoWaySim::checksum(frame)); }
};

TEST_F(TwoWayModulesTest, ExtendedAndStandardRequestsAreAnsweredAfterTheirLineTime) {
    send(extended(0x06, 30, 0x31));  // A1 preset level 30
    EXPECT_EQ(sim.moduleTable(), (QStringList{"A1 ON 48% (level 30)", "A2 OFF"}));
    QElapsedTimer t;
    t.start();
    send(extended(0x06, 0x00, 0x37));  // A1 status request
    // Unit code, level 30 | load, reply command.
    EXPECT_EQ(hex(upload(6)), "05 01 67 06 9E 38");
    EXPECT_GE(t.elapsed(), 2 * TwoWaySim::kLineMessageMs / 20 - 5);

    // A one-way module (A3) never answers, so the appliance's reply is the
    // next upload; the appliance answers the extended request too.
    send(extended(0x02, 0x00, 0x37));
    send(extended(0x0E, 0x00, 0x37));
    EXPECT_EQ(hex(upload(6)), "05 01 67 0E C0 38");  // off, appliance, load

    // STATUS REQUEST after the address: the address, then STATUS ON / OFF.
    send(bytes("0466"));
    send(bytes("066F"));
    EXPECT_EQ(hex(upload(4)), "03 02 66 6D");
    send(bytes("046E"));
    send(bytes("0662"));  // A2 ON
    send(bytes("066F"));
    EXPECT_EQ(hex(upload(4)), "03 02 6E 6D");
    EXPECT_EQ(sim.lineStats().replies, 4);
}

TEST_F(TwoWayModulesTest, WallChangesAndMissingBulbsShowInTheNextReply) {
    sim.changeAtWall('A', 1, 40);
    sim.changeAtWall('A', 2, 100);
    sim.setLoad('A', 2, false);
    EXPECT_TRUE(sim.moduleLines().isEmpty());  // nothing crossed the line
    EXPECT_EQ(sim.moduleTable(), (QStringList{"A1 ON 40% (level 25)", "A2 ON 100% (no load)"}));
    send(extended(0x06, 0x00, 0x37));
    EXPECT_EQ(hex(upload(6)), "05 01 67 06 99 38");
    send(extended(0x0E, 0x00, 0x37));
    EXPECT_EQ(hex(upload(6)), "05 01 67 0E 7F 38");  // on, appliance, no load
    // Off at the wall keeps the lamp's level for the next time it comes on.
    sim.changeAtWall('A', 1, 0);
    send(extended(0x06, 0x00, 0x37));
    EXPECT_EQ(hex(upload(6)), "05 01 67 06 80 38");
    EXPECT_EQ(sim.moduleState('A', 1).level, 25);
}

TEST_F(TwoWayModulesTest, LossIsConfirmedToTheComputerAndRepeatsWithTheSeed) {
    const auto run = [&] {
        // The same start: A3 addressed and off.
        sim.setLossPercent(0);
        send(bytes("0462"));
        send(bytes("0663"));
        sim.clearModuleLines();
        sim.clearRecords();
        sim.setLossSeed(7);
        sim.setLossPercent(30);
        for (int i = 0; i < 20; ++i) {
            send(bytes("0462"));                   // A3: every frame is confirmed
            send(bytes(i % 2 ? "0663" : "0662"));  // A OFF / A ON
        }
        return sim.moduleLines();
    };
    const QStringList first = run();
    const TwoWaySim::LineStats st = sim.lineStats();
    EXPECT_EQ(st.commands, 40);
    EXPECT_GT(st.lost, 0);
    EXPECT_LT(st.lost, 40);
    EXPECT_LE(first.size(), 20);
    EXPECT_EQ(run(), first);  // the same traffic and seed lose the same commands
    EXPECT_EQ(sim.lineStats().lost, st.lost);

    // Without status loss, requests and replies always get through.
    sim.setLossPercent(100);
    sim.setStatusLoss(false);
    send(extended(0x06, 0x00, 0x37));
    EXPECT_EQ(hex(upload(6)), "05 01 67 06 80 38");
    sim.setStatusLoss(true);
    send(extended(0x06, 0x00, 0x37));
    EXPECT_EQ(sim.lineStats().lost, st.lost + 1);
}

TEST_F(TwoWayModulesTest, TimedSilenceEndsByItself) {
    sim.setSilentForMs(4000);  // 200 real ms at this scale
    QElapsedTimer t;
    t.start();
    client->write(bytes("0466"));
    ASSERT_TRUE(sim.waitForFrames(1, 5000));
    QElapsedTimer deadline;
    deadline.start();
    while (sim.isSilent() && deadline.elapsed() < 10000) sim.waitForFrames(1000, 10);
    EXPECT_FALSE(sim.isSilent());
    EXPECT_GE(t.elapsed(), 190);
    EXPECT_TRUE(client->read(1, 50).isEmpty());  // the frame sent meanwhile got nothing
    send(bytes("0466"));
}

TEST(TwoWayUploadText, BuildsSizeMaskAndData) {
    const auto up = [](const char* text) {
        const auto r = TwoWaySim::buildUpload(QString::fromLatin1(text));
        return r ? hex(*r) : QStringLiteral("error");
    };
    EXPECT_EQ(up("A1 A ON"), "03 02 66 62");
    EXPECT_EQ(up("a1 a dim 50"), "04 06 66 64 69");
    EXPECT_EQ(up("A OFF"), "02 01 63");
    EXPECT_EQ(up("A ALL LIGHTS OFF"), "02 01 66");
    EXPECT_EQ(up("P16 P BRIGHT 100 B2 B ALL UNITS OFF"), "06 16 CC C5 D2 EE E0");
    EXPECT_EQ(up("Q1"), "error");
    EXPECT_EQ(up("A17"), "error");
    EXPECT_EQ(up("A DIM"), "error");
    EXPECT_EQ(up("A DIM 101"), "error");
    EXPECT_EQ(up("A BLINK"), "error");
    EXPECT_EQ(up(""), "error");
    EXPECT_EQ(up("A1 A2 A3 A4 A5 A6 A7 A8 A9"), "error");
    EXPECT_EQ(up("A1 EXT 38 BF"), "05 01 67 06 BF 38");
    EXPECT_EQ(up("A2 A STATUS ON"), "03 02 6E 6D");
    EXPECT_EQ(up("A1 EXT 38"), "error");
}

}  // namespace
