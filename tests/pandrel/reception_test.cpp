// Reception (polls, uploads, macro reports, events, GetEvent, the named
// event) and maintenance (ClearMem, the clock answer, ResetCM), over a
// pseudo-terminal against the two-way interface emulator.
#include <QDate>
#include <QDateTime>
#include <QProcess>
#include <QTime>

#include "clock.h"
#include "fixture.h"

using namespace pandreltest;
using Kind = TwoWaySim::Kind;

namespace {

// Every event as "X10Event|devices|house|command|extra|data2" or
// "X10SingleEvent|...", in the order raised.
struct EventLog {
    QStringList lines;
    void attach(controlcm& cm) {
        QObject::connect(&cm, &controlcm::X10Event,
                         [this](QString& dv, QString& h, int16_t& c, QString& e, QString& d2) {
                             lines << QStringLiteral("X10Event|%1|%2|%3|%4|%5")
                                          .arg(dv, h, QString::number(c), e, d2);
                         });
        QObject::connect(&cm, &controlcm::X10SingleEvent,
                         [this](QString& dv, QString& h, int16_t& c, QString& e, QString& d2) {
                             lines << QStringLiteral("X10SingleEvent|%1|%2|%3|%4|%5")
                                          .arg(dv, h, QString::number(c), e, d2);
                         });
    }
};

// Feeds bytes to a control whose port is closed, as if they had just been
// read from the port.
void feed(controlcmProbe::Private& d, const QByteArray& bytes) {
    d.PendingInput += bytes;
    d.PumpInput();
}

QString clockHex(const QList<TwoWaySim::Frame>& frames) {
    return frames.isEmpty() ? QString() : QString::fromLatin1(frames.last().bytes.toHex(' '));
}

}  // namespace

class ReceptionTest : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        if (HasFatalFailure()) return;
        log.attach(*cm);
        initReady();
    }
    // Injects an upload and waits until the interface has it off its chest.
    void upload(const char* hex, int extraPolls = 0) {
        sim->injectUpload(hx(hex), extraPolls);
        ASSERT_TRUE(runUntil([&] { return !sim->isPolling() && !d().bUploading; }, 5000));
        run(50);
    }
    EventLog log;
};

// ---------------------------------------------------------------------------
// Uploads and their events

TEST_F(ReceptionTest, AddressAndOnGiveBothEventsAndAQueuedEvent) {
    upload("03 02 66 62");
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||", "X10Event|A1 |A|2||"}));
    EXPECT_EQ(sim->received(), hx("c3"));
    EXPECT_EQ(cm->GetEvent(), "A1 :2:0");
    EXPECT_EQ(cm->GetEvent(), "");
    EXPECT_EQ(d().sDevices, "");  // emptied after the function
    EXPECT_EQ(d().sLastDevices, "A1 ");
    EXPECT_EQ(d().sExtra, "");
    EXPECT_FALSE(d().bUploading);
}

TEST_F(ReceptionTest, DimAmountBecomesPercent) {
    upload("04 06 66 64 69");
    EXPECT_EQ(log.lines.last(), "X10Event|A1 |A|4| 50|");
    EXPECT_EQ(cm->GetEvent(), "A1 :4:50");
}

TEST_F(ReceptionTest, ALoneFunctionGetsTheLastAddressesInFront) {
    upload("03 02 62 62");  // A3, A ON
    upload("02 01 63");     // A OFF alone
    EXPECT_EQ(log.lines.last(), "X10Event||A|3||");
    EXPECT_EQ(cm->GetEvent(), "A3 :2:0");
    EXPECT_EQ(cm->GetEvent(), "A3 :3:0");
}

TEST_F(ReceptionTest, RepeatedPollsBeforeTheSizeAreSkipped) {
    upload("02 00 66", 2);
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||"}));
    EXPECT_EQ(cm->GetEvent(), "");
    EXPECT_EQ(d().sDevices, "A1 ");
}

TEST_F(ReceptionTest, TwoAddressesThenAHouseFunction) {
    upload("04 04 66 6e 62");  // A1, A2, A ON
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||", "X10SingleEvent|A2||-1||",
                                      "X10Event|A1 A2 |A|2||"}));
    // the next address event carries the house of the last function
    upload("02 00 ee");  // B2
    EXPECT_EQ(log.lines.last(), "X10SingleEvent|B2|A|-1||");
}

TEST_F(ReceptionTest, PresetDimAndExtendedCode) {
    upload("03 02 ee 2b");  // B2, PRESET DIM 2 level 4 reversed -> 20
    EXPECT_EQ(log.lines.last(), "X10Event|B2 |B|11| 20|");
    upload("05 01 67 06 31 ff");  // A EXTENDED CODE unit 1, data 0x31, command 0xFF
    EXPECT_EQ(log.lines.last(), "X10Event|A1|A|7| 49| 255");
    EXPECT_EQ(cm->GetEvent(), "B2 :11:20");
    EXPECT_EQ(cm->GetEvent(), "A1:7:49");
}

// Modules' answers to status requests, as the typed event reports them.
TEST_F(ReceptionTest, StatusRepliesAsHeardEvents) {
    struct Case {
        const char* upload;
        int house;
        int unit;
        x10::Function function;
        int amount;
        int extendedCommand;
    };
    const Case cases[] = {
        // extended reply of A5: lamp, load, level 63
        {"05 01 67 01 bf 38", 1, 5, x10::ExtendedCode, 0xBF, 0x38},
        // P16: appliance, no load, off
        {"05 01 c7 0c 40 38", 16, 16, x10::ExtendedCode, 0x40, 0x38},
        // A5 after an address of its own house, ignored for the extended code
        {"06 02 66 67 01 05 38", 1, 5, x10::ExtendedCode, 0x05, 0x38},
        {"03 02 61 6d", 1, 5, x10::StatusOn, -1, -1},   // A5, A STATUS ON
        {"03 02 61 6e", 1, 5, x10::StatusOff, -1, -1},  // A5, A STATUS OFF
    };
    QList<x10::HeardEvent> heard;
    QObject::connect(d().q, &pandrel::Engine::heard, [&](const x10::HeardEvent& e) { heard << e; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.upload);
        heard.clear();
        upload(c.upload);
        ASSERT_EQ(heard.size(), 1);
        const x10::HeardEvent& e = heard[0];
        EXPECT_EQ(e.kind, x10::HeardEvent::Kind::Function);
        EXPECT_EQ(e.house, c.house);
        EXPECT_EQ(e.addresses, (std::vector<x10::Address>{{c.house, c.unit}}));
        EXPECT_EQ(e.function, c.function);
        EXPECT_EQ(e.amount, c.amount);
        EXPECT_EQ(e.extendedCommand, c.extendedCommand);
    }
}

TEST_F(ReceptionTest, MacroReport) {
    sim->injectMacro(0x01, 0x2F);
    ASSERT_TRUE(runUntil([&] { return !log.lines.isEmpty(); }, 5000));
    EXPECT_EQ(log.lines, (QStringList{"X10Event|||98|12F|"}));
    // the two bytes as one unsigned 16-bit number: 0x012F
    EXPECT_EQ(cm->GetEvent(), ":98:303");
    sim->injectMacro(0xFF, 0x0A);
    ASSERT_TRUE(runUntil([&] { return log.lines.size() == 2; }, 5000));
    EXPECT_EQ(log.lines.last(), "X10Event|||98|FFA|");
    EXPECT_EQ(cm->GetEvent(), ":98:65290");
}

TEST_F(ReceptionTest, AHandlerMayChangeTheMembersItIsGiven) {
    QObject::connect(cm.get(), &controlcm::X10Event,
                     [](QString& dv, QString& h, int16_t& c, QString& e, QString&) {
                         dv = "Z9 ";
                         h = "Z";
                         c = 5;
                         e = " 77";
                     });
    upload("03 02 66 62");
    EXPECT_EQ(cm->GetEvent(), "Z9 :5:77");  // the queue takes the members after the event
}

TEST_F(ReceptionTest, AnEventHandlerMaySendACommand) {
    int16_t result = -1;
    QObject::connect(cm.get(), &controlcm::X10Event,
                     [&](QString&, QString&, int16_t&, QString&, QString&) {
                         result = cm->ExecWait("B", "2", 2);
                     });
    upload("03 02 66 62");
    EXPECT_EQ(result, 0);  // the upload's bytes were all read: the line is free
    EXPECT_EQ(hexList(sim->framedOnly()), (QStringList{"04 ee", "06 e2"}));
    EXPECT_EQ(cm->GetEvent(), "A1 :2:0");
}

TEST_F(ReceptionTest, StrayBytesNeverDeafenTheControl) {
    sim->injectRaw(QByteArray(150, char(0x42)));
    run(200);
    upload("03 02 66 62");
    EXPECT_EQ(cm->GetEvent(), "A1 :2:0");
}

TEST_F(ReceptionTest, APollInPlaceOfTheChecksumIsServedThenTheCommandSentAgain) {
    sim->pollInsteadOfChecksum(1);
    EXPECT_EQ(cm->ExecWait("A", " 5", 2), 0);
    EXPECT_EQ(hexList(sim->framedOnly()), (QStringList{"04 61", "04 61", "06 62"}));
    EXPECT_TRUE(sim->received().contains(hx("c3")));
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||"}));  // the interface's upload
}

TEST_F(ReceptionTest, FiftyOneEventsDropTheFirst) {
    // 51 uploads of one DIM each, 0 % ... 50 %, decoded as read.
    for (int p = 0; p <= 50; ++p) {
        const uint8_t buf[24] = {0x01, 0x64, static_cast<uint8_t>((p * 210 + 50) / 100)};
        d().DecodeUpload(buf, 3);
    }
    EXPECT_EQ(d().iEvtCount, 50);
    for (int p = 1; p <= 50; ++p) EXPECT_EQ(cm->GetEvent(), QStringLiteral(":4:%1").arg(p));
    EXPECT_EQ(cm->GetEvent(), "");
}

// ---------------------------------------------------------------------------
// During Init

class ReceptionDuringInit : public SimFixture {};

TEST_F(ReceptionDuringInit, APollInTheListenIsServedAtOnceAndNoProbeIsSent) {
    EventLog log;
    log.attach(*cm);
    later(300, [&] { sim->injectUpload(hx("03 02 66 62")); });
    // The macro report follows once the upload has been decoded, however
    // late a busy machine runs the timer above.
    QObject::connect(
        cm.get(), &controlcm::X10SingleEvent, cm.get(), [&] { sim->injectMacro(0x01, 0x2F); },
        Qt::SingleShotConnection);
    EXPECT_EQ(cm->Init(), 0);
    EXPECT_TRUE(sim->statusRequests().isEmpty());
    EXPECT_EQ(sim->received(), hx("c3"));
    // the address still raises its event; the function neither raises nor
    // queues one; the macro report does both
    // (the macro report's event carries the members as they stand: the house
    // of the function decoded before it; the queue puts the last addresses
    // in front of its device-less entry)
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||", "X10Event||A|98|12F|"}));
    EXPECT_EQ(cm->GetEvent(), "A1 :98:303");
    EXPECT_EQ(cm->GetEvent(), "");
    EXPECT_EQ(d().sDevices, "");  // emptied by the successful Init
    EXPECT_EQ(d().sHouse, "");
}

// ---------------------------------------------------------------------------
// GetEvent and the named event

TEST_F(ReceptionTest, GetEventWithoutTimeoutReturnsAtOnce) {
    const qint64 start = nowMs();
    int32_t t = 0;
    EXPECT_EQ(cm->GetEvent(t), "");
    EXPECT_LT(nowMs() - start, 50);
}

TEST_F(ReceptionTest, GetEventWaitsForAnEventAndZeroesTheTimeout) {
    later(1000, [&] { sim->injectUpload(hx("03 02 66 62")); });
    int32_t timeout = 5000;
    const qint64 start = nowMs();
    EXPECT_EQ(cm->GetEvent(timeout), "A1 :2:0");
    const qint64 took = nowMs() - start;
    EXPECT_EQ(timeout, 0);
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2500);
    EXPECT_FALSE(d().Timer1->isActive());
}

TEST_F(ReceptionTest, GetEventTimesOutWithAnEmptyText) {
    int32_t timeout = 800;
    const qint64 start = nowMs();
    EXPECT_EQ(cm->GetEvent(timeout), "");
    EXPECT_GE(nowMs() - start, 800);
    EXPECT_EQ(timeout, 800);  // unchanged on a time-out
    int32_t negative = -5;
    EXPECT_EQ(cm->GetEvent(negative), "");
}

TEST_F(ReceptionTest, GetEventThroughDispatchWritesTheTimeoutBack) {
    later(500, [&] { sim->injectUpload(hx("03 02 66 62")); });
    QVariantList args{3000};
    QVariant r;
    EXPECT_EQ(cm->Invoke(controlcm::DISPID_GetEvent, controlcm::Method, args, &r), 0u);
    EXPECT_EQ(r.toString(), "A1 :2:0");
    EXPECT_EQ(args[0].toInt(), 0);
    QVariantList none;
    EXPECT_EQ(cm->Invoke(controlcm::DISPID_GetEvent, controlcm::Method, none, &r), 0u);
    EXPECT_EQ(r.toString(), "");
}

TEST_F(ReceptionTest, TheNamedEventIsSetByAnEventAndResetByAnEmptyGetEvent) {
    platform::NamedEvent other;
    ASSERT_TRUE(other.open(eventName));
    EXPECT_FALSE(other.isSet());
    upload("03 02 66 62");
    EXPECT_TRUE(other.isSet());
    EXPECT_EQ(cm->GetEvent(), "A1 :2:0");
    EXPECT_TRUE(other.isSet());  // only an empty queue resets it
    EXPECT_EQ(cm->GetEvent(), "");
    EXPECT_FALSE(other.isSet());
    cm->ResetCM();
    EXPECT_FALSE(d().hEvent.isOpen());
}

TEST_F(ReceptionTest, AnotherProcessWaitingOnTheNamedEventWakes) {
    const QString tool = testenv::binDir() + "/pandrel-event-wait";
    QProcess waiter;
    waiter.start(tool, {eventName, "20000"});
    ASSERT_TRUE(waiter.waitForStarted(5000));
    testenv::pump(300);
    ASSERT_EQ(waiter.state(), QProcess::Running);  // it waits
    sim->injectUpload(hx("03 02 66 62"));
    ASSERT_TRUE(testenv::pumpUntil([&] { return waiter.state() == QProcess::NotRunning; }, 5000));
    EXPECT_EQ(waiter.exitCode(), 0);

    // with the event reset, a short wait ends in a time-out
    EXPECT_EQ(cm->GetEvent(), "A1 :2:0");
    EXPECT_EQ(cm->GetEvent(), "");
    QProcess timeout;
    timeout.start(tool, {eventName, "100"});
    ASSERT_TRUE(timeout.waitForFinished(5000));
    EXPECT_EQ(timeout.exitCode(), 1);
    QProcess usage;
    usage.start(tool, {});
    ASSERT_TRUE(usage.waitForFinished(5000));
    EXPECT_EQ(usage.exitCode(), 2);
}

// ---------------------------------------------------------------------------
// Maintenance

TEST_F(ReceptionTest, ClearMemWritesFortyNineFramesInOrder) {
    EXPECT_FALSE(cm->ClearMem().isValid());
    const auto frames = sim->framedOnly();
    ASSERT_EQ(frames.size(), 49);
    const QByteArray ff16(16, char(0xFF));
    EXPECT_EQ(frames[0].bytes, hx("fb 00 00 00 02") + QByteArray(14, char(0xFF)));
    int i = 1;
    for (int high = 3; high >= 1; --high) {
        for (int low = 0xF0; low >= 0; low -= 0x10) {
            QByteArray expected = hx("fb");
            expected += char(high);
            expected += char(low);
            EXPECT_EQ(frames[i].bytes, expected + ff16) << i;
            ++i;
        }
    }
    int acks = 0;
    for (const auto& f : sim->frames())
        if (f.kind == Kind::Ack) ++acks;
    EXPECT_EQ(acks, 49);  // each with its handshake
}

TEST_F(ReceptionTest, QueuedCommandSixteenRunsClearMem) {
    cm->Exec("", "", 16);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 20000));
    EXPECT_EQ(sim->framedOnly().size(), 49);
    EXPECT_EQ(cm->ExecWait("A", "1", 16), 1);  // not a command of ExecWait
}

TEST_F(ReceptionTest, ClearMemWhileClosingWritesNothing) {
    cm->ResetCM();
    EXPECT_FALSE(cm->ClearMem().isValid());
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(ReceptionTest, TheClockRequestIsAnsweredWithTheClockFrame) {
    platform::Clock::global().setFixed(QDateTime(QDate(2023, 1, 1), QTime(13, 5, 0)));
    sim->injectPowerFail();
    ASSERT_TRUE(runUntil([&] { return !sim->clockFrames().isEmpty(); }, 5000));
    EXPECT_EQ(clockHex(sim->clockFrames()), "9b 00 41 06 00 01 00");
    ASSERT_TRUE(runUntil([&] { return !sim->powerFailPending(); }, 5000));
    run(300);
    EXPECT_EQ(d().iRxCount, 0);  // the answer byte was read and discarded
    EXPECT_EQ(sim->received(), hx("9b 00 41 06 00 01 00"));  // no confirmation

    sim->clearRecords();
    platform::Clock::global().setFixed(QDateTime(QDate(2025, 2, 5), QTime(14, 35, 7)));
    sim->injectPowerFail();
    ASSERT_TRUE(runUntil([&] { return !sim->clockFrames().isEmpty(); }, 5000));
    EXPECT_EQ(clockHex(sim->clockFrames()), "9b 07 23 07 23 08 00");
    platform::Clock::global().reset();
}

TEST_F(ReceptionTest, NothingIsReceivedAfterResetCMAndInitWorksAgain) {
    cm->ResetCM();
    cm->ResetCM();
    sim->injectUpload(hx("03 02 66 62"));
    run(1000);
    EXPECT_TRUE(log.lines.isEmpty());
    EXPECT_TRUE(sim->received().isEmpty());
    // The poll is served once Init has opened the port again: in its listen,
    // or after its probe on a slow machine.
    EXPECT_EQ(cm->Init(), 0);
    ASSERT_TRUE(runUntil([&] { return !sim->isPolling() && !d().bUploading; }, 5000));
    EXPECT_EQ(log.lines, (QStringList{"X10SingleEvent|A1||-1||"}));
    EXPECT_EQ(cm->ExecWait("A", "1", 2), 0);
}

// ---------------------------------------------------------------------------
// Malformed input: defined results

class MalformedUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        log.attach(cm);
        d().bReady = true;
    }
    controlcmProbe::Private& d() { return controlcmProbe::d(cm); }
    controlcm cm;
    EventLog log;
};

TEST_F(MalformedUpload, ASizeBeyondTheWorkingBufferIsCutToIt) {
    // size 40: mask 0x01, a function, then 38 address bytes; only the mask
    // and 20 data bytes are decoded, the rest is read and dropped.
    QByteArray b = hx("5a 28 01 62");
    b += QByteArray(38, char(0x66));
    feed(d(), b);
    EXPECT_EQ(log.lines.size(), 1 + 19);
    EXPECT_EQ(log.lines[0], "X10Event||A|2||");
    EXPECT_EQ(d().iRxCount, 0);
    EXPECT_FALSE(d().bUploading);
}

TEST_F(MalformedUpload, ASizeBeyondTheRingTimesOutQuietly) {
    QByteArray b = hx("5a ff 00");
    b += QByteArray(150, char(0x66));
    feed(d(), b);
    EXPECT_LE(log.lines.size(), 20);
    EXPECT_LE(d().iRxCount, 100);
    EXPECT_FALSE(d().bUploading);
}

TEST_F(MalformedUpload, ExtendedCodeUnitAboveFifteenUsesItsLowBits) {
    feed(d(), hx("5a 05 01 67 f6 01 02"));
    EXPECT_EQ(log.lines, (QStringList{"X10Event|A1|A|7| 1| 2"}));
}

TEST_F(MalformedUpload, DimAmountAboveTwoHundredTenIsAHundredPercent) {
    feed(d(), hx("5a 03 01 64 ff"));
    EXPECT_EQ(log.lines, (QStringList{"X10Event||A|4| 100|"}));
}

TEST_F(MalformedUpload, AFunctionWhoseBytesAreMissingReadsZeros) {
    feed(d(), hx("5a 02 01 67"));  // EXTENDED CODE without its three bytes
    EXPECT_EQ(log.lines, (QStringList{"X10Event|A13|A|7| 0| 0"}));
    log.lines.clear();
    feed(d(), hx("5a 02 01 64"));                                // DIM without its amount
    EXPECT_EQ(log.lines, (QStringList{"X10Event||A|4| 0| 0"}));  // data2 is kept
}

TEST_F(MalformedUpload, ATruncatedUploadReportsNothingAndKeepsExtra) {
    d().sExtra = " 7";
    feed(d(), hx("5a 05 01 62"));
    EXPECT_TRUE(log.lines.isEmpty());
    EXPECT_EQ(d().sExtra, " 7");
    EXPECT_FALSE(d().bUploading);
    feed(d(), hx("5b 01"));  // a macro report cut short
    EXPECT_TRUE(log.lines.isEmpty());
}
