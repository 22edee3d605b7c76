// The control surface, Init, the receive ring, the send path and the queue
// (Parts 2.2, 2.5 and ResetCM of 2.4), over a pseudo-terminal against the
// two-way interface emulator.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <QLabel>

#include "fixture.h"
#include "settingsstore.h"

using namespace pandreltest;
using Kind = TwoWaySim::Kind;

// ---------------------------------------------------------------------------
// Control surface

TEST(ControlSurface, CreationDefaults) {
    controlcm cm;
    EXPECT_EQ(cm.comport(), 2);
    EXPECT_EQ(cm.SendRetryCount(), 4);
    EXPECT_EQ(cm.EventName(), "lossmer_pandrel_event");
    auto& d = controlcmProbe::d(cm);
    EXPECT_FALSE(d.bReady);
    EXPECT_FALSE(d.bInitializing);
    EXPECT_FALSE(d.bClosing);
    EXPECT_FALSE(d.bSending);
    EXPECT_FALSE(d.bUploading);
    EXPECT_FALSE(d.bHeard);
    EXPECT_FALSE(d.bQueueBusy);
    EXPECT_FALSE(d.hEvent.isOpen());
    EXPECT_FALSE(d.MSComm1->PortOpen());
    EXPECT_EQ(d.MSComm1->Settings(), "4800,N,8,1");
    // The 250 ms queue timer runs only while commands wait: none do yet.
    EXPECT_FALSE(d.Timer2->isActive());
    EXPECT_EQ(d.Timer2->interval(), 250);
    EXPECT_EQ(d.iRxCount, 0);
    EXPECT_EQ(d.iCmdCount, 0);
}

TEST(ControlSurface, FaceIsALabelCaptionedPandrel) {
    controlcm cm;
    auto* label = cm.findChild<QLabel*>(QStringLiteral("label1"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Pandrel");
}

TEST(ControlSurface, IdentityStrings) {
    EXPECT_STREQ(controlcm::TypeLibraryName, "pandrel");
    EXPECT_STREQ(controlcm::HelpString, "Lossmer Pandrel Control");
    EXPECT_STREQ(controlcm::ClassName, "controlcm");
    EXPECT_STREQ(controlcm::ProgId, "pandrel.controlcm");
    EXPECT_STREQ(controlcm::staticMetaObject.className(), "controlcm");
}

TEST(ControlSurface, PropertiesArePlainGetAndSet) {
    controlcm cm;
    cm.setComport(-3);
    EXPECT_EQ(cm.comport(), -3);
    cm.setSendRetryCount(0);
    EXPECT_EQ(cm.SendRetryCount(), 0);
    cm.setEventName(QString());
    EXPECT_EQ(cm.EventName(), QString());
}

TEST(ControlSurface, ExecWaitAndExecBeforeInitDoNothing) {
    controlcm cm;
    EXPECT_EQ(cm.ExecWait("A", " 1", 2), 0);
    cm.Exec("A", " 1", 2);
    EXPECT_EQ(controlcmProbe::d(cm).iCmdCount, 0);
}

TEST(ControlSurface, ResetCMOnANeverOpenedControlAndTwice) {
    controlcm cm;
    cm.ResetCM();
    auto& d = controlcmProbe::d(cm);
    EXPECT_TRUE(d.bClosing);
    EXPECT_FALSE(d.bReady);
    cm.ResetCM();
    EXPECT_TRUE(d.bClosing);
    EXPECT_EQ(cm.ExecWait("A", " 1", 2), 0);
}

// ---------------------------------------------------------------------------
// Dispatch

TEST(Dispatch, PropertiesByIdentifier) {
    controlcm cm;
    QVariantList none;
    QVariant r;
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_comport, controlcm::PropertyGet, none, &r), 0u);
    EXPECT_EQ(r.toInt(), 2);
    QVariantList one{5};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_comport, controlcm::PropertyPut, one), 0u);
    EXPECT_EQ(cm.comport(), 5);
    QVariantList name{QStringLiteral("other")};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_EventName, controlcm::PropertyPut, name), 0u);
    EXPECT_EQ(cm.EventName(), "other");
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_EventName, controlcm::PropertyGet, none, &r), 0u);
    EXPECT_EQ(r.toString(), "other");
    QVariantList retries{QStringLiteral(" 7")};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_SendRetryCount, controlcm::PropertyPut, retries), 0u);
    EXPECT_EQ(cm.SendRetryCount(), 7);
    QVariantList big{100000};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_SendRetryCount, controlcm::PropertyPut, big), 0u);
    EXPECT_EQ(cm.SendRetryCount(), 32767);
    // a method-style get works too
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_SendRetryCount, controlcm::Method, none, &r), 0u);
    EXPECT_EQ(r.toInt(), 32767);
}

TEST(Dispatch, UnknownIdentifiersAndWrongUseAreErrorsNotCrashes) {
    controlcm cm;
    QVariantList none;
    QVariant r;
    EXPECT_EQ(cm.Invoke(0x12345678, controlcm::Method, none, &r), controlcm::DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(cm.Invoke(0, controlcm::PropertyGet, none), controlcm::DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(cm.Invoke(-1, controlcm::PropertyPut, none), controlcm::DISP_E_MEMBERNOTFOUND);
    // events are not callable members
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_X10Event, controlcm::Method, none),
              controlcm::DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_X10SingleEvent, controlcm::Method, none),
              controlcm::DISP_E_MEMBERNOTFOUND);
    // a method cannot be assigned
    QVariantList one{1};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_Init, controlcm::PropertyPut, one),
              controlcm::DISP_E_MEMBERNOTFOUND);
    // too few or too many arguments
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_comport, controlcm::PropertyPut, none),
              controlcm::DISP_E_BADPARAMCOUNT);
    QVariantList two{QStringLiteral("A"), QStringLiteral("1")};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_ExecWait, controlcm::Method, two),
              controlcm::DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_Exec, controlcm::Method, two),
              controlcm::DISP_E_BADPARAMCOUNT);
    QVariantList seven{"A", "1", 2, 0, 0, 0, 0};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_ExecWait, controlcm::Method, seven),
              controlcm::DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_Init, controlcm::Method, one),
              controlcm::DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_ResetCM, controlcm::Method, one),
              controlcm::DISP_E_BADPARAMCOUNT);
    // ExecWait before Init through dispatch: result 0
    QVariantList three{"A", " 1", 2};
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_ExecWait, controlcm::Method, three, &r), 0u);
    EXPECT_EQ(r.toInt(), 0);
    // ResetCM through dispatch
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_ResetCM, controlcm::Method, none, &r), 0u);
    EXPECT_TRUE(controlcmProbe::d(cm).bClosing);
}

TEST(Dispatch, InitReturnsTheErrorNumber) {
    controlcm cm;
    cm.setComport(0);  // invalid port number
    QVariantList none;
    QVariant r;
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_Init, controlcm::Method, none, &r), 0u);
    EXPECT_EQ(r.toInt(), 8002);
    EXPECT_EQ(cm.Invoke(controlcm::DISPID_Initx, controlcm::Method, none, &r), 0u);
    EXPECT_EQ(r.toInt(), 8002);
}

// ---------------------------------------------------------------------------
// Receive ring

TEST(ReceiveRing, ReadOnEmptyRingReturnsZeroAndChangesNothing) {
    controlcm cm;
    auto& d = controlcmProbe::d(cm);
    EXPECT_EQ(d.ReadReceivedByte(), 0);
    EXPECT_EQ(d.iRxCount, 0);
    EXPECT_EQ(d.iRxRead, 0);
}

TEST(ReceiveRing, StoresInOrderWrapsAndDropsTheHundredFirst) {
    controlcm cm;
    auto& d = controlcmProbe::d(cm);
    d.bSending = true;  // a send is waiting: bytes are stored, not handled
    QByteArray in;
    for (int i = 0; i < 101; ++i) in.append(char(i));
    d.PendingInput = in;
    d.PumpInput();
    EXPECT_EQ(d.iRxCount, 100);
    EXPECT_EQ(d.iRxWrite, 0);
    EXPECT_TRUE(d.PendingInput.isEmpty());
    EXPECT_FALSE(d.bHeard);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(d.ReadReceivedByte(), i);
    d.PendingInput = QByteArray::fromHex("c8c9");
    d.PumpInput();
    EXPECT_EQ(d.iRxCount, 52);
    for (int i = 50; i < 100; ++i) EXPECT_EQ(d.ReadReceivedByte(), i);
    EXPECT_EQ(d.ReadReceivedByte(), 0xC8);
    EXPECT_EQ(d.ReadReceivedByte(), 0xC9);
    EXPECT_EQ(d.iRxCount, 0);
    EXPECT_EQ(d.ReadReceivedByte(), 0);
    d.PendingInput = QByteArray(5, 'x');
    d.PumpInput();
    d.ClearReceiveBuffer();
    EXPECT_EQ(d.iRxCount, 0);
    EXPECT_EQ(d.iRxRead, 0);
    EXPECT_EQ(d.iRxWrite, 0);
}

TEST(ReceiveRing, BytesNobodyWaitsForAreHandledAndConsumed) {
    controlcm cm;
    auto& d = controlcmProbe::d(cm);
    d.PendingInput = QByteArray(150, char(0x42));
    d.PumpInput();
    EXPECT_TRUE(d.bHeard);
    EXPECT_EQ(d.iRxCount, 0);  // stray bytes never fill the ring
}

TEST(ReceiveRing, WaitForBytesWithThePortClosedDoesNotWait) {
    controlcm cm;
    auto& d = controlcmProbe::d(cm);
    const qint64 start = platform::TimeBase::global().nowMs();
    EXPECT_FALSE(d.WaitForBytes(8, 1));
    EXPECT_LT(platform::TimeBase::global().nowMs() - start, 100);
    d.bSending = true;
    d.PendingInput = QByteArray(3, 'x');
    EXPECT_TRUE(d.WaitForBytes(8, 3));  // bytes already taken from the port count
    d.bClosing = true;
    EXPECT_FALSE(d.WaitForBytes(2, 0));  // a closing control does not wait
}

// ---------------------------------------------------------------------------
// Init

class InitTest : public SimFixture {};

TEST_F(InitTest, AnInterfaceThatAnswersTheStatusRequest) {
    const qint64 start = nowMs();
    EXPECT_EQ(cm->Init(), 0);
    const qint64 took = nowMs() - start;
    EXPECT_TRUE(d().bReady);
    EXPECT_FALSE(d().bInitializing);
    EXPECT_FALSE(d().bClosing);
    EXPECT_TRUE(d().MSComm1->PortOpen());
    EXPECT_TRUE(d().hEvent.isOpen());
    EXPECT_EQ(d().iRxCount, 0);  // the 14 status bytes were cleared
    EXPECT_EQ(sim->statusRequests().size(), 1);
    EXPECT_EQ(sim->received(), hx("8b"));
    // listen 2 s, settle 2 s, reply at once
    EXPECT_GE(took, 3900);
    EXPECT_LT(took, 6000);
}

TEST_F(InitTest, WaitForBytesTimesOutInLogicalTime) {
    initReady();
    setScale(50);
    QElapsedTimer t;
    t.start();
    const qint64 start = nowMs();
    EXPECT_FALSE(d().WaitForBytes(2, 1));
    EXPECT_GE(nowMs() - start, 2000);
    EXPECT_LT(t.elapsed(), 1000);
}

TEST_F(InitTest, InitxIsTheSame) {
    EXPECT_EQ(cm->Initx(), 0);
    EXPECT_TRUE(d().bReady);
}

TEST_F(InitTest, NothingAttachedTwoProbesThenOneAndPortClosed) {
    sim->setSilent(true);
    const qint64 start = nowMs();
    QElapsedTimer real;
    real.start();
    EXPECT_EQ(cm->Init(), 1);
    const qint64 took = nowMs() - start;
    EXPECT_EQ(sim->statusRequests().size(), 2);
    EXPECT_FALSE(d().MSComm1->PortOpen());
    EXPECT_FALSE(d().bReady);
    EXPECT_TRUE(d().bInitializing);  // stays true on failure
    EXPECT_GE(took, 9900);           // about 10 logical seconds
    EXPECT_LT(took, 12000);
    EXPECT_LT(real.elapsed(), 2000);  // sped up
    // ExecWait after a failed Init returns 0 without sending
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 0);
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(InitTest, APortThatDoesNotExist) {
    testenv::writeSettings(QStringLiteral("[Ports]\nCOM7=/dev/nonexistent-veldrin-port\n"));
    EXPECT_EQ(cm->Init(), 8002);
    EXPECT_FALSE(d().hEvent.isOpen());
    EXPECT_FALSE(d().bReady);
    EXPECT_TRUE(d().bInitializing);
}

TEST_F(InitTest, APortNumberOutOfRange) {
    cm->setComport(300);
    EXPECT_EQ(cm->Init(), 8002);
    EXPECT_FALSE(d().hEvent.isOpen());
}

TEST_F(InitTest, APortHeldByAnotherProgram) {
    const QByteArray path = sim->devicePath().toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(cm->Init(), 8005);
    EXPECT_FALSE(d().hEvent.isOpen());
    EXPECT_FALSE(d().bReady);
    ::close(fd);
    EXPECT_EQ(cm->Init(), 0);
}

TEST_F(InitTest, AnEmptyEventNameBecomesTheDefault) {
    cm->setEventName(QString());
    EXPECT_EQ(cm->Init(), 0);
    EXPECT_EQ(cm->EventName(), "lossmer_pandrel_event");
    EXPECT_TRUE(d().hEvent.isOpen());
}

TEST_F(InitTest, AnyByteDuringTheListenMeansNoProbe) {
    later(500, [this] { sim->injectRaw(hx("42")); });
    EXPECT_EQ(cm->Init(), 0);
    EXPECT_TRUE(d().bHeard);
    EXPECT_TRUE(sim->statusRequests().isEmpty());
    EXPECT_TRUE(sim->received().isEmpty());
    EXPECT_EQ(d().iRxCount, 0);  // handled and consumed
}

// Having heard an interface on one port says nothing about another: the COM
// port menu's Init on an empty port must probe and fail.
TEST_F(InitTest, AnInterfaceHeardOnOnePortIsSearchedForOnTheNext) {
    later(500, [this] { sim->injectRaw(hx("42")); });
    ASSERT_EQ(cm->Init(), 0);
    ASSERT_TRUE(d().bHeard);
    // COM8: a pseudo-terminal with nothing answering.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    platform::SaveSetting("veldrin", "Ports", "COM8", QString::fromLocal8Bit(::ptsname(master)));
    cm->ResetCM();
    cm->setComport(8);
    EXPECT_EQ(cm->Init(), 1);
    EXPECT_FALSE(d().bReady);
    EXPECT_FALSE(d().MSComm1->PortOpen());
    ::close(master);
}

// The named event outlives processes: a "set" left by an earlier run must not
// wake a waiter of this one.
TEST_F(InitTest, ASetLeftByAnEarlierRunIsCleared) {
    {
        platform::NamedEvent earlier;
        ASSERT_TRUE(earlier.open(eventName));
        earlier.set();
    }
    platform::NamedEvent waiter;
    ASSERT_TRUE(waiter.open(eventName));
    ASSERT_TRUE(waiter.isSet());
    ASSERT_EQ(cm->Init(), 0);
    EXPECT_FALSE(waiter.wait(0));
}

TEST_F(InitTest, InitEmptiesTheQueue) {
    initReady();
    sim->setReadyDelayMs(0);
    for (int i = 0; i < 5; ++i) cm->Exec("A", " 1", 2);
    EXPECT_EQ(d().iCmdCount, 5);
    EXPECT_EQ(cm->Init(), 8005);  // the port is still open: the serial error
    EXPECT_EQ(d().iCmdCount, 0);
    EXPECT_FALSE(d().bReady);
}

TEST_F(InitTest, ResetCMClosesPortAndEventThenInitWorksAgain) {
    initReady();
    cm->ResetCM();
    EXPECT_TRUE(d().bClosing);
    EXPECT_FALSE(d().MSComm1->PortOpen());
    EXPECT_FALSE(d().hEvent.isOpen());
    EXPECT_TRUE(d().bReady);  // keeps its value
    // nothing is sent while closing
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 0);
    cm->Exec("A", " 1", 2);
    run(1000);
    EXPECT_TRUE(sim->received().isEmpty());
    cm->ResetCM();  // the second call finds the port closed
    EXPECT_EQ(cm->Init(), 0);
    EXPECT_FALSE(d().bClosing);
    EXPECT_TRUE(d().MSComm1->PortOpen());
    EXPECT_TRUE(d().hEvent.isOpen());
}

TEST_F(InitTest, DestroyingTheControlReleasesThePort) {
    initReady();
    cm.reset();
    // another holder can open and lock the device now
    const QByteArray path = sim->devicePath().toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

// ---------------------------------------------------------------------------
// Send path

class SendTest : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        if (HasFatalFailure()) return;
        initReady();
    }
    QStringList framed() const { return hexList(sim->framedOnly()); }
    int acks() const {
        int n = 0;
        for (const auto& f : sim->frames())
            if (f.kind == Kind::Ack) ++n;
        return n;
    }
};

TEST_F(SendTest, ExecWaitLowerCaseHouseAndAList) {
    QString h = "a", u = "1+3";
    int16_t c = 3, b = 0, d1 = 0, d2 = 0;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(framed(), (QStringList{"04 66", "04 62", "06 63"}));
    EXPECT_EQ(acks(), 3);
    EXPECT_EQ(d().iRxCount, 0);
    EXPECT_FALSE(d().bSending);
}

TEST_F(SendTest, ExactBytesOnTheLine) {
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 0);
    EXPECT_EQ(sim->received(), hx("0466 00 0662 00"));
}

TEST_F(SendTest, AllUnitsFunctionsIgnoreTheDeviceCode) {
    EXPECT_EQ(cm->ExecWait("A", "", 0), 0);
    EXPECT_EQ(cm->ExecWait("A", " 5", 1), 0);
    EXPECT_EQ(cm->ExecWait("A", "x", 6), 0);
    EXPECT_EQ(framed(), (QStringList{"06 60", "06 61", "06 66"}));
}

TEST_F(SendTest, AnInvalidUnitSendsNoAddressButTheFunction) {
    EXPECT_EQ(cm->ExecWait("A", "17", 2), 0);
    EXPECT_EQ(framed(), (QStringList{"06 62"}));
}

TEST_F(SendTest, DimByFiftyPercent) {
    EXPECT_EQ(cm->ExecWait("A", " 1", 4, 50), 0);
    EXPECT_EQ(framed(), (QStringList{"04 66", "5e 64"}));
}

TEST_F(SendTest, BrightnessIsClampedAndWrittenBack) {
    QString h = "A", u = "1";
    int16_t c = 5, b = 150, d1 = 0, d2 = 0;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(b, 100);
    c = 4;
    b = -20;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(framed(), (QStringList{"04 66", "b6 65", "04 66", "06 64"}));
}

TEST_F(SendTest, PresetDimIsWrittenBackAsEleven) {
    QString h = "B", u = "2";
    int16_t c = 10, b = 20, d1 = 0, d2 = 0;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(c, 11);
    EXPECT_EQ(framed(), (QStringList{"04 ee", "06 2b"}));
    // above 31 it becomes 31; below 16 the command becomes 10
    c = 10;
    b = 40;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(b, 31);
    EXPECT_EQ(c, 11);
    c = 11;
    b = 3;
    EXPECT_EQ(cm->ExecWait(h, u, c, b, d1, d2), 0);
    EXPECT_EQ(c, 10);
    EXPECT_EQ(framed().mid(2), (QStringList{"04 ee", "06 fb", "04 ee", "06 ca"}));
}

TEST_F(SendTest, PresetDimWriteBackThroughDispatch) {
    QVariantList args{"B", "2", 10, 20};
    QVariant r;
    EXPECT_EQ(cm->Invoke(controlcm::DISPID_ExecWait, controlcm::Method, args, &r), 0u);
    EXPECT_EQ(r.toInt(), 0);
    ASSERT_EQ(args.size(), 4);
    EXPECT_EQ(args[2].toInt(), 11);
    EXPECT_EQ(args[3].toInt(), 20);
    QVariantList clamp{"A", "1", 4, 500, 0, 0};
    EXPECT_EQ(cm->Invoke(controlcm::DISPID_ExecWait, controlcm::Method, clamp, &r), 0u);
    EXPECT_EQ(clamp[3].toInt(), 100);
}

TEST_F(SendTest, ExtendedCodeMasksDataBytes) {
    EXPECT_EQ(cm->ExecWait("A", "1+2", 7, 0, 0x131, -1), 0);
    EXPECT_EQ(framed(), (QStringList{"07 67 06 31 ff", "07 67 0e 31 ff"}));
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("A", "", 7), 1);  // no unit: every attempt fails
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(SendTest, StatusRequestAddressesTheWholeTextAsOneUnit) {
    EXPECT_EQ(cm->ExecWait("A", "1+5", 15), 0);
    EXPECT_EQ(framed(), (QStringList{"04 66", "06 6f"}));
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("A", "x", 15), 0);  // no unit: only the function
    EXPECT_EQ(framed(), (QStringList{"06 6f"}));
}

TEST_F(SendTest, AddressesOnly) {
    EXPECT_EQ(cm->ExecWait("C", "3+4", -1), 0);
    EXPECT_EQ(framed(), (QStringList{"04 22", "04 2a"}));
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("C", "99", -1), 1);  // no valid unit: fails
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(SendTest, HouseCodeQOrEmptySendsNothing) {
    EXPECT_EQ(cm->ExecWait("Q", " 1", 2), 0);
    EXPECT_EQ(cm->ExecWait("", " 1", 2), 0);
    EXPECT_EQ(cm->ExecWait("1", " 1", 2), 0);
    run(300);
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(SendTest, AnyOtherCommandFailsEveryAttemptWithoutSending) {
    for (int command : {8, 9, 12, 13, 14, 16, 17, 98, -2, 32767}) {
        EXPECT_EQ(cm->ExecWait("A", " 1", command), 1) << command;
    }
    EXPECT_TRUE(sim->received().isEmpty());
}

TEST_F(SendTest, RetriesAfterAWrongChecksum) {
    sim->failChecksums(2);
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 0);
    // two failed attempts at the address, then the whole command
    EXPECT_EQ(framed(), (QStringList{"04 66", "04 66", "04 66", "06 62"}));
    EXPECT_EQ(acks(), 2);
}

TEST_F(SendTest, AWrongChecksumEveryTimeGivesFiveAttemptsAndOne) {
    sim->failChecksums(100);
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 1);
    EXPECT_EQ(framed().size(), 5);
    cm->setSendRetryCount(0);
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 1);
    EXPECT_EQ(framed().size(), 1);
    cm->setSendRetryCount(-5);
    sim->clearRecords();
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 1);
    EXPECT_EQ(framed().size(), 1);
}

// Silence is not retried into: one attempt of 8 s, one status request of
// 1 s, and the command is given up.
TEST_F(SendTest, SilentInterfaceOneAttemptThenOneStatusRequest) {
    sim->setSilent(true);
    int stopped = 0;
    QObject::connect(d().q, &pandrel::Engine::stoppedAnswering, [&] { ++stopped; });
    const qint64 start = nowMs();
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 1);
    const qint64 took = nowMs() - start;
    EXPECT_EQ(framed(), (QStringList{"04 66"}));
    EXPECT_EQ(sim->statusRequests().size(), 1);
    EXPECT_EQ(stopped, 1);
    // 9 s of waits; the bound leaves room for a loaded machine (sped up, its
    // delays grow with the scale) and is far from the 40 s of five attempts.
    EXPECT_GE(took, 8900);
    EXPECT_LT(took, 15000);
}

// An interface that was only slow for one step answers the status request:
// the command keeps its retries and goes out.
TEST_F(SendTest, AnInterfaceThatAnswersTheStatusRequestKeepsItsRetries) {
    setScale(100);
    sim->setSilent(true);
    int stopped = 0;
    QObject::connect(d().q, &pandrel::Engine::stoppedAnswering, [&] { ++stopped; });
    when([&] { return !sim->framedOnly().isEmpty(); }, [&] { sim->setSilent(false); });
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 0);
    EXPECT_EQ(framed(), (QStringList{"04 66", "04 66", "06 62"}));
    EXPECT_EQ(sim->statusRequests().size(), 1);
    EXPECT_EQ(stopped, 0);
}

TEST_F(SendTest, MissingReadyByteFailsTheAttempt) {
    setScale(100);
    sim->setReadyDelayMs(9000);  // longer than the 8-second limit
    cm->setSendRetryCount(1);
    const qint64 start = nowMs();
    EXPECT_EQ(cm->ExecWait("A", " 1", -1), 1);
    EXPECT_GE(acks(), 1);              // the checksum matched, the ready byte was late
    EXPECT_GE(nowMs() - start, 8000);  // the first attempt waited its 8 seconds
}

// ---------------------------------------------------------------------------
// Queue

class QueueTest : public SendTest {};

// The queue behind a command to a silent interface is given up with it, in
// well under 10 s, and none of it reaches the line when the interface is
// back: typed commands by outcome, Exec ones by CommandDone.
TEST_F(QueueTest, ASilentInterfaceGivesUpTheWholeQueueAndSendsNothingLate) {
    pandrel::Engine& engine = *d().q;
    QStringList seen;
    qint64 stoppedAt = -1;
    QObject::connect(&engine, &pandrel::Engine::commandOutcome,
                     [&](quint64 id, pandrel::Outcome o, const QString& why) {
                         seen << QStringLiteral("%1 %2 %3").arg(id).arg(int(o)).arg(why);
                     });
    QObject::connect(&engine, &pandrel::Engine::CommandDone,
                     [&](const QString& h, const QString& u, int16_t, int16_t, bool sent) {
                         seen << QStringLiteral("done %1%2 %3").arg(h, u.trimmed()).arg(sent);
                     });
    QObject::connect(&engine, &pandrel::Engine::stoppedAnswering, [&](const QString& why) {
        stoppedAt = nowMs();
        seen << "stopped " + why;
    });
    sim->setSilent(true);
    const qint64 start = nowMs();
    engine.send(1, x10::Command{{{1, 1}}, x10::On});
    cm->Exec("A", "2", 2);
    engine.send(3, x10::Command{{{1, 3}}, x10::Off});
    ASSERT_TRUE(runUntil([&] { return seen.size() == 4; }, 30000));
    const QString why = "Interface not answering";
    EXPECT_EQ(seen, (QStringList{"1 1 " + why, "stopped " + why, "done A2 0", "3 2 " + why}));
    EXPECT_LT(stoppedAt - start, 15000);  // 9 s of waits, see above
    EXPECT_EQ(sim->statusRequests().size(), 1);
    EXPECT_EQ(d().iCmdCount, 0);
    EXPECT_FALSE(d().Timer2->isActive());

    // Back: the next command is the next thing on the line.
    sim->setSilent(false);
    engine.send(4, x10::Command{{{1, 4}}, x10::On});
    ASSERT_TRUE(runUntil([&] { return seen.size() == 5; }, 30000));
    EXPECT_EQ(seen.last(), "4 0 ");
    EXPECT_EQ(framed(), (QStringList{"04 66", "04 6a", "06 62"}));
}

TEST_F(QueueTest, ExecSendsOnTheNextTick) {
    d().Timer2->stop();
    platform::TimeBase::global().startTimer(*d().Timer2, 250);  // tick phase known
    const qint64 real0 = sim::monotonicMs();
    cm->Exec("A", " 5", 2);
    EXPECT_EQ(d().iCmdCount, 1);
    EXPECT_TRUE(sim->received().isEmpty());  // only queued
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 5000));
    EXPECT_EQ(framed(), (QStringList{"04 61", "06 62"}));
    EXPECT_EQ(acks(), 2);
    const auto frames = sim->framedOnly();
    // the first frame is on the line within one timer period (+ slack)
    EXPECT_LE(frames[0].tMs - real0, 250 / kScale + 50);
}

// On an idle line a queued command does not wait for the queue timer: with
// Timer2 stopped it still leaves, at the next turn of the event loop, and a
// command queued meanwhile follows it in order.
TEST_F(QueueTest, ExecOnAnIdleLineLeavesAtOnce) {
    d().Timer2->stop();
    cm->Exec("A", " 5", 2);
    EXPECT_TRUE(sim->received().isEmpty());  // only queued
    cm->Exec("A", " 6", 3);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 5000));
    EXPECT_EQ(framed(), (QStringList{"04 61", "06 62", "04 69", "06 63"}));
}

// An idle line arms no timer: Timer2 does not tick after Init, nor after a
// queued command has gone. Commands that cannot leave at once (another
// exchange holds the line) arm it and still leave at its next tick after
// that exchange, and it stops again once the queue is empty.
TEST_F(QueueTest, TheQueueTimerRunsOnlyWhileCommandsWait) {
    int ticks = 0;
    QObject::connect(d().Timer2, &QTimer::timeout, [&] { ++ticks; });
    run(3000);
    EXPECT_EQ(ticks, 0);
    EXPECT_FALSE(d().Timer2->isActive());

    cm->Exec("A", " 5", 2);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 5000));
    EXPECT_FALSE(d().Timer2->isActive());
    ticks = 0;
    run(3000);
    EXPECT_EQ(ticks, 0);

    // Queued, then the line is taken before the drain's turn: the drain
    // leaves the command to the timer. Queued during the exchange: the
    // timer is already armed.
    sim->clearRecords();
    sim->setReadyDelayMs(300);
    cm->Exec("A", " 1", 2);
    when([&] { return d().bSending; }, [&] { cm->Exec("A", " 2", 3); });
    EXPECT_EQ(cm->ExecWait("B", " 3", 3), 0);
    EXPECT_EQ(d().iCmdCount, 2);
    EXPECT_TRUE(d().Timer2->isActive());
    const qint64 real0 = sim::monotonicMs();
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 20000));
    EXPECT_EQ(framed(), (QStringList{"04 e2", "06 e3", "04 66", "06 62", "04 6e", "06 63"}));
    const auto frames = sim->framedOnly();
    // the first queued frame went out at the first tick after the exchange
    // (the frame itself takes the ready delay)
    EXPECT_LE(frames[2].tMs - real0, (250 + 300) / kScale + 50);
    EXPECT_FALSE(d().Timer2->isActive());
    ticks = 0;
    run(3000);
    EXPECT_EQ(ticks, 0);
}

TEST_F(QueueTest, FiftyOneExecCallsDropTheLast) {
    for (int i = 1; i <= 51; ++i) cm->Exec("A", QString::number((i - 1) % 16 + 1), i == 51 ? 3 : 2);
    EXPECT_EQ(d().iCmdCount, 50);
    EXPECT_EQ(d().iCmdWrite, 0);
    setScale(200);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 200000));
    const QStringList f = framed();
    EXPECT_EQ(f.size(), 100);
    EXPECT_FALSE(f.contains("06 63"));  // the 51st (OFF) never went out
    EXPECT_EQ(d().iCmdRead, 0);
}

TEST_F(QueueTest, QueuedWriteBacksLandInTheEntry) {
    cm->Exec("B", "2", 10, 20);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 5000));
    EXPECT_EQ(framed(), (QStringList{"04 ee", "06 2b"}));
    EXPECT_EQ(d().CommandQueue[0].command, 11);
}

TEST_F(QueueTest, ExecCopiesItsArguments) {
    QString h = "A", u = " 5";
    int16_t c = 2, b = 0, d1 = 0, d2 = 0;
    cm->Exec(h, u, c, b, d1, d2);
    h = "B";
    u = "9";
    c = 3;
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 5000));
    EXPECT_EQ(framed(), (QStringList{"04 61", "06 62"}));
}

TEST_F(QueueTest, ATickDuringExecWaitLeavesTheQueueAlone) {
    sim->setReadyDelayMs(600);  // each frame takes longer than two ticks
    cm->Exec("A", " 1", 2);
    cm->Exec("A", " 2", 2);
    EXPECT_EQ(cm->ExecWait("B", " 3", 3), 0);
    // ExecWait's frames were not interleaved with the queue's
    EXPECT_EQ(framed(), (QStringList{"04 e2", "06 e3"}));
    EXPECT_EQ(d().iCmdCount, 2);
    ASSERT_TRUE(runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy; }, 20000));
    EXPECT_EQ(framed(), (QStringList{"04 e2", "06 e3", "04 66", "06 62", "04 6e", "06 62"}));
}

TEST_F(QueueTest, ANestedExecWaitIsRefusedNotInterleaved) {
    sim->setReadyDelayMs(600);
    int16_t nested = -1;
    cm->Exec("A", " 1", 2);
    // A host handler that runs inside the queue's wait and calls ExecWait.
    when([&] { return d().iExchange > 0; }, [&] { nested = cm->ExecWait("B", " 3", 3); });
    ASSERT_TRUE(
        runUntil([&] { return d().iCmdCount == 0 && !d().bQueueBusy && nested != -1; }, 20000));
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(framed(), (QStringList{"04 66", "06 62"}));
}

TEST_F(QueueTest, ResetCMStopsTheDrain) {
    sim->setReadyDelayMs(600);
    for (int i = 0; i < 5; ++i) cm->Exec("A", " 1", 2);
    when([&] { return d().iExchange > 0; }, [&] { cm->ResetCM(); });
    run(5000);
    EXPECT_LE(framed().size(), 1);
    EXPECT_FALSE(d().bQueueBusy);
}

TEST_F(QueueTest, AnInitInsideADrainEmptiesTheQueueCleanly) {
    sim->setReadyDelayMs(600);
    for (int i = 0; i < 5; ++i) cm->Exec("A", " 1", 2);
    int16_t status = -1;
    when([&] { return d().iExchange > 0; },
         [&] {
             cm->ResetCM();
             status = cm->Init();
         });
    ASSERT_TRUE(runUntil([&] { return status != -1; }, 30000));
    run(1000);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(d().iCmdCount, 0);
    EXPECT_EQ(d().iCmdRead, 0);
    EXPECT_EQ(d().iCmdWrite, 0);
    EXPECT_FALSE(d().bQueueBusy);
    EXPECT_EQ(d().iExchange, 0);
    EXPECT_TRUE(d().bReady);
}

TEST_F(QueueTest, DeviceGoneIsNotACrash) {
    cm->Exec("A", " 1", 2);
    sim->unplug();
    setScale(200);
    run(100000);
    EXPECT_EQ(d().iCmdCount, 0);
    EXPECT_FALSE(d().MSComm1->PortOpen());
    EXPECT_EQ(cm->ExecWait("A", " 1", 2), 1);
}
