// The CP290 driver over a pseudo-terminal against the CP290 emulator: the
// frames it sends, detection with its log lines and messages for the user,
// clock setting, port errors and the two kinds of reply wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDate>
#include <QElapsedTimer>
#include <QTime>
#include <QTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "clock.h"
#include "cp290sim.h"
#include "mcp290.h"
#include "mscomm.h"
#include "settingsstore.h"
#include "testenv.h"
#include "timebase.h"

using sim::Cp290Sim;

namespace {

const QString kNoReply =
    "There was an Error Communicating to the CP290, Please check the connections.";
const QString kPortInUse =
    "The Com Port is already Open and being used by Another Application.  Please Close that "
    "application and ReStart this Veldrin";
const QString kInvalidPort = "Invalid Port Number, Please try a different Port";
const QString kNotSet = "Day of the Week was NOT set in CP290 Clock, Programming Clock Now.";
const QString kClockSet = "CP290 Clock Now Set to Match Current Computer Clock";

QByteArray syncRun() {
    return QByteArray(16, '\xFF');
}

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) b.append(static_cast<char>(v));
    return b;
}

QList<Cp290Sim::Kind> kinds(const QList<Cp290Sim::Frame>& frames) {
    QList<Cp290Sim::Kind> k;
    for (const auto& f : frames) k << f.kind;
    return k;
}

// A child process that opens and locks a device until it is released.
class PortHolder {
  public:
    explicit PortHolder(const QString& path) {
        const QByteArray p = path.toLocal8Bit();
        int ready[2];
        int hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            const int fd = ::open(p.constData(), O_RDWR | O_NOCTTY);
            const char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
            if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
            char c;
            while (::read(hold[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        release_ = hold[1];
        char ok = 0;
        locked_ = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~PortHolder() {
        if (release_ >= 0) ::close(release_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    bool locked() const { return locked_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

class Cp290 : public ::testing::Test {
  protected:
    // Fast enough for three-second waits, slow enough that the emulator thread
    // reads each frame before the next open flushes the pseudo-terminal, even
    // on a loaded machine.
    static constexpr double kScale = 10;

    void SetUp() override {
        testenv::writeSettings({});
        platform::TimeBase::global().setScale(kScale);
        sim.setTimeScale(kScale);
        ASSERT_TRUE(sim.start()) << sim.errorString().toStdString();
        platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
        // Friday, 09:30.
        platform::Clock::global().setFixed(QDateTime(QDate(2026, 1, 9), QTime(9, 30, 12)));
        sim.setClock(5, 14, 0x01);
        sim.setBaseHouse(0x60);
    }
    void TearDown() override {
        platform::TimeBase::global().setScale(1);
        platform::Clock::global().reset();
        cp290LogHook = nullptr;
    }

    QByteArray lastDirectFrame() const {
        const auto frames = sim.frames();
        return frames.isEmpty() ? QByteArray() : frames.last().bytes;
    }

    Cp290Sim sim;
    MSComm comm;
    QStringList notes;  // the messages for the user, through the notify hook
    QStringList log;
    std::function<void(const QString&)> cp290LogHook;
    int releases = 0;
    int16_t port = 1;
    Cp290Link link{comm, [this] { ++releases; }, [this] { return port; },
                   [this](const QString& s) {
                       log << s;
                       if (cp290LogHook) cp290LogHook(s);
                   },
                   [this](const QString& s) { notes << s; }};
};

}  // namespace

TEST_F(Cp290, DirectCommandFrames) {
    const struct {
        const char* name;
        std::function<void(Cp290Link&, QString&)> send;
        const char* house;
        QByteArray body;  // after the sync run
        const char* houseAfter;
    } cases[] = {
        {"A5 ON", [](Cp290Link& l, QString& h) { CP290Command(l, h, 5, 2); }, "A",
         bytes({0x01, 0x02, 0x60, 0x00, 0x08, 0x6A}), "A"},
        {"A12 OFF", [](Cp290Link& l, QString& h) { CP290Command(l, h, 12, 3); }, "A",
         bytes({0x01, 0x03, 0x60, 0x10, 0x00, 0x73}), "A"},
        {"all lights on A via unit 2", [](Cp290Link& l, QString& h) { CP290Command(l, h, 2, 1); },
         "A", bytes({0x01, 0x01, 0x60, 0x00, 0x40, 0xA1}), "A"},
        {"A3 dim 7", [](Cp290Link& l, QString& h) { CP290Dim(l, h, 3, 7); }, "A",
         bytes({0x01, 0x35, 0x60, 0x00, 0x20, 0xB5}), "A"},
        {"J16 dim 0, checksum mod 256", [](Cp290Link& l, QString& h) { CP290Dim(l, h, 16, 0); },
         "J", bytes({0x01, 0xF5, 0xF0, 0x01, 0x00, 0xE6}), "J"},
        {"lower-case house", [](Cp290Link& l, QString& h) { CP290Command(l, h, 1, 2); }, "a",
         bytes({0x01, 0x02, 0x60, 0x00, 0x80, 0xE2}), "A"},
        {"unknown house is M's byte", [](Cp290Link& l, QString& h) { CP290Command(l, h, 9, 2); },
         "Q", bytes({0x01, 0x02, 0x00, 0x80, 0x00, 0x82}), "Q"},
        {"unit 0", [](Cp290Link& l, QString& h) { CP290Command(l, h, 0, 2); }, "A",
         bytes({0x01, 0x02, 0x60, 0x00, 0x00, 0x62}), "A"},
        {"unit 17", [](Cp290Link& l, QString& h) { CP290Command(l, h, 17, 3); }, "A",
         bytes({0x01, 0x03, 0x60, 0x00, 0x00, 0x63}), "A"},
        {"dim level between steps", [](Cp290Link& l, QString& h) { CP290Dim(l, h, 1, 4.5); }, "A",
         bytes({0x01, 0x05, 0x60, 0x00, 0x80, 0xE5}), "A"},
    };
    int exchanges = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRecords();
        QString house = QString::fromLatin1(c.house);
        c.send(link, house);
        ++exchanges;
        ASSERT_TRUE(sim.waitForFrames(1, 2000));
        const auto frames = sim.frames();
        ASSERT_EQ(frames.size(), 1);
        EXPECT_EQ(frames[0].kind, Cp290Sim::Kind::Direct);
        EXPECT_EQ(frames[0].bytes.toHex(' '), (syncRun() + c.body).toHex(' '));
        EXPECT_EQ(house, QString::fromLatin1(c.houseAfter));
        EXPECT_FALSE(comm.PortOpen());
        EXPECT_EQ(releases, exchanges);
    }
    EXPECT_TRUE(notes.isEmpty());
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(sim.moduleLines().first(), "A5 ON");
}

TEST_F(Cp290, DirectCommandWithoutReplyGivesOneMessage) {
    sim.setSilent(true);
    QString house = "A";
    CP290Command(link, house, 5, 2);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], kNoReply);
    EXPECT_EQ(kinds(sim.frames()), QList{Cp290Sim::Kind::Direct});
    EXPECT_FALSE(comm.PortOpen());
}

// A caller that sets no notify hook (a program without a window that only
// logs) still gets each message, as an event-log line.
TEST_F(Cp290, WithoutANotifyHookTheMessageIsLogged) {
    link.notify = nullptr;
    port = 0;
    EXPECT_EQ(CP290Detect(link), 1);
    EXPECT_EQ(log, QStringList{kInvalidPort});
    port = 1;
    sim.setSilent(true);
    QString house = "A";
    EXPECT_FALSE(CP290Command(link, house, 5, 2));
    EXPECT_EQ(log, (QStringList{kInvalidPort, kNoReply}));
    EXPECT_TRUE(notes.isEmpty());
}

TEST_F(Cp290, DetectionReportsPortHouseAndTime) {
    const struct {
        int minute, hour, dayBit, house;
        int16_t port;
        QStringList lines;
    } cases[] = {
        {5,
         14,
         0x01,
         0x60,
         1,
         {"Found CP290 Connected to Com: 1", "Found CP290 Base HouseCode: A",
          "Found CP290 Interface time: Monday, 14:05"}},
        {0,
         7,
         0x40,
         0xC0,
         1,
         {"Found CP290 Connected to Com: 1", "Found CP290 Base HouseCode: P",
          "Found CP290 Interface time: Sunday, 7:00"}},
        {59,
         23,
         0x11,
         0x61,
         7,
         {"Found CP290 Connected to Com: 7",
          "Found CP290 Base HouseCode: ", "Found CP290 Interface time: , 23:59"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.last().toStdString());
        port = c.port;
        platform::SaveSetting("veldrin", "Ports", QStringLiteral("COM%1").arg(c.port),
                              sim.devicePath());
        sim.clearRecords();
        log.clear();
        sim.setClock(c.minute, c.hour, static_cast<uchar>(c.dayBit));
        sim.setBaseHouse(static_cast<uchar>(c.house));
        EXPECT_EQ(CP290Detect(link), 0);
        EXPECT_EQ(log, c.lines);
        EXPECT_EQ(kinds(sim.frames()), QList{Cp290Sim::Kind::StatusRequest});
        EXPECT_EQ(sim.frames().first().bytes, syncRun() + bytes({0x04}));
        EXPECT_FALSE(comm.PortOpen());
    }
    EXPECT_TRUE(notes.isEmpty());
}

TEST_F(Cp290, WeekdayZeroSetsTheClockAndDetectsAgain) {
    sim.setClock(12, 3, 0);
    EXPECT_EQ(CP290Detect(link), 0);
    using K = Cp290Sim::Kind;
    const auto frames = sim.frames();
    ASSERT_EQ(kinds(frames), (QList{K::StatusRequest, K::SetClock, K::StatusRequest}));
    // Friday 09:30 from the clock object.
    EXPECT_EQ(frames[1].bytes.toHex(' '),
              (syncRun() + bytes({0x02, 0x1E, 0x09, 0x10, 0x37})).toHex(' '));
    EXPECT_EQ(log, (QStringList{"Found CP290 Connected to Com: 1", "Found CP290 Base HouseCode: A",
                                kNotSet, kClockSet, "Found CP290 Connected to Com: 1",
                                "Found CP290 Base HouseCode: A",
                                "Found CP290 Interface time: Friday, 9:30"}));
    EXPECT_EQ(releases, 3);
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_TRUE(notes.isEmpty());
}

TEST_F(Cp290, WeekdayZeroReturnsFoundEvenWhenTheSecondDetectionFails) {
    sim.setClock(12, 3, 0);
    cp290LogHook = [this](const QString& s) {
        if (s == kClockSet) sim.setSilent(true);
    };
    EXPECT_EQ(CP290Detect(link), 0);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], kNoReply);
    EXPECT_EQ(log.last(), kClockSet);
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(Cp290, ClockThatNeverTakesIsRetriedThreeTimes) {
    sim.setClock(12, 3, 0);
    sim.setIgnoreClockSet(true);
    EXPECT_EQ(CP290Detect(link), 0);
    using K = Cp290Sim::Kind;
    EXPECT_EQ(kinds(sim.frames()),
              (QList{K::StatusRequest, K::SetClock, K::StatusRequest, K::SetClock, K::StatusRequest,
                     K::SetClock, K::StatusRequest}));
    EXPECT_EQ(log.count(kNotSet), 3);
    EXPECT_EQ(log.count(kClockSet), 3);
    EXPECT_EQ(log.last(),
              "Day of the Week still NOT set in CP290 Clock after 3 attempts, giving up.");
    EXPECT_FALSE(comm.PortOpen());
    // The bound belongs to one detection: the next one starts afresh.
    sim.clearRecords();
    EXPECT_EQ(CP290Detect(link), 0);
    EXPECT_EQ(sim.frames().size(), 7);
}

TEST_F(Cp290, RepliesThatAreNotTwelveBytes) {
    const struct {
        const char* name;
        int length;  // -1: no reply at all
        int boxes;
    } cases[] = {{"11 bytes", 11, 0}, {"13 bytes", 13, 0}, {"30 bytes", 30, 0}, {"none", -1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        notes.clear();
        log.clear();
        sim.setSilent(c.length < 0);
        sim.setStatusReplyLength(std::max(c.length, 0));
        EXPECT_EQ(CP290Detect(link), 1);
        EXPECT_TRUE(log.isEmpty());
        ASSERT_EQ(notes.size(), c.boxes);
        if (c.boxes) {
            EXPECT_EQ(notes[0], kNoReply);
        }
        EXPECT_FALSE(comm.PortOpen());
    }
}

TEST_F(Cp290, PortErrorsDuringDetection) {
    const QString holderPath = sim.devicePath();
    const struct {
        const char* name;
        int16_t port;
        QString device;  // mapped to the port; "" keeps the emulator
        bool hold;
        QString box;  // "" = no box
    } cases[] = {
        {"port number 0", 0, "", false, kInvalidPort},
        {"port number 256", 256, "", false, kInvalidPort},
        {"no such device", 2, "/nonexistent/tty", false, kInvalidPort},
        {"not a serial device", 3, "/dev/null", false, ""},
        {"held by another process", 1, "", true, kPortInUse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port = c.port;
        if (!c.device.isEmpty())
            platform::SaveSetting("veldrin", "Ports", QStringLiteral("COM%1").arg(c.port),
                                  c.device);
        notes.clear();
        sim.clearRecords();
        std::unique_ptr<PortHolder> holder;
        if (c.hold) {
            holder = std::make_unique<PortHolder>(holderPath);
            ASSERT_TRUE(holder->locked());
        }
        EXPECT_EQ(CP290Detect(link), 1);
        if (c.box.isEmpty()) {
            EXPECT_TRUE(notes.isEmpty());
        } else {
            ASSERT_EQ(notes.size(), 1);
            EXPECT_EQ(notes[0], c.box);
        }
        EXPECT_TRUE(log.isEmpty());
        EXPECT_TRUE(sim.received().isEmpty());
        EXPECT_FALSE(comm.PortOpen());
    }
}

TEST_F(Cp290, PortErrorDuringClockSettingEndsTheDetection) {
    sim.setClock(12, 3, 0);
    // The port number turns invalid between the first detection and its
    // clock setting.
    cp290LogHook = [&](const QString& s) {
        if (s == kNotSet) port = 0;
    };
    EXPECT_EQ(CP290Detect(link), 1);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], kInvalidPort);
    EXPECT_EQ(kinds(sim.frames()), QList{Cp290Sim::Kind::StatusRequest});
    EXPECT_FALSE(log.contains(kClockSet));
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(Cp290, DirectCommandOnAPortInUseGivesTheNoReplyMessage) {
    PortHolder holder(sim.devicePath());
    ASSERT_TRUE(holder.locked());
    QString house = "A";
    CP290Dim(link, house, 3, 7);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], kNoReply);
    EXPECT_TRUE(sim.received().isEmpty());
}

TEST_F(Cp290, DetectionHandlesWindowEventsButADirectCommandDoesNot) {
    bool fired = false;
    bool firedBeforeReply = false;
    cp290LogHook = [&](const QString&) { firedBeforeReply = firedBeforeReply || fired; };
    QTimer::singleShot(0, [&] { fired = true; });
    EXPECT_EQ(CP290Detect(link), 0);
    EXPECT_TRUE(firedBeforeReply);

    fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    QString house = "A";
    CP290Command(link, house, 5, 2);
    EXPECT_FALSE(fired);
    testenv::pumpUntil([&] { return fired; }, 1000);
    EXPECT_TRUE(fired);
}

// Real time with the line paced at 600 baud: the waits end once the reply is
// complete, yet a reply one byte too long is still seen as one.
TEST_F(Cp290, PacedRepliesEndTheWaitEarlyAndKeepTheirLength) {
    platform::TimeBase::global().setScale(1);
    sim.setTimeScale(1);
    sim.setPacing(true);
    platform::TimeBase& tb = platform::TimeBase::global();

    qint64 t0 = tb.nowMs();
    EXPECT_EQ(CP290Detect(link), 0);
    EXPECT_LT(tb.nowMs() - t0, 2500);
    EXPECT_EQ(log.size(), 3);

    sim.setStatusReplyLength(13);
    EXPECT_EQ(CP290Detect(link), 1);

    QString house = "A";
    t0 = tb.nowMs();
    CP290Command(link, house, 5, 2);
    EXPECT_LT(tb.nowMs() - t0, 2500);
    EXPECT_TRUE(notes.isEmpty());
}

// The adapter goes away while a direct command waits for its reply: the wait
// ends then and there with the no-reply box, the port is closed, and the next
// detection reports the missing device instead of hanging.
TEST_F(Cp290, DeviceGoneDuringAnExchange) {
    platform::TimeBase::global().setScale(1);
    sim.setTimeScale(1);
    sim.setSilent(true);
    std::thread unplugger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim.unplug();
    });
    QString house = "A";
    QElapsedTimer t;
    t.start();
    CP290Command(link, house, 5, 2);
    const qint64 ms = t.elapsed();
    unplugger.join();
    EXPECT_LT(ms, 2000);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], kNoReply);
    EXPECT_FALSE(comm.PortOpen());

    EXPECT_EQ(CP290Detect(link), 1);
    ASSERT_EQ(notes.size(), 2);
    EXPECT_EQ(notes[1], kInvalidPort);
}
