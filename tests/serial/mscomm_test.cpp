// The serial component against a bare pseudo-terminal: the test holds the
// master side and plays the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <sys/wait.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <csignal>

#include "mscomm.h"
#include "settingsstore.h"
#include "testenv.h"

namespace {

// A pseudo-terminal whose slave is mapped to COM<port> in the settings file.
class Pty {
  public:
    explicit Pty(int port = 1) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        path = QString::fromLocal8Bit(::ptsname(master));
        // Keep one slave descriptor so the master never sees a hang-up while
        // the component has the port closed.
        keep = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(keep, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(keep, TCSANOW, &t);
        platform::SaveSetting("veldrin", "Ports", QStringLiteral("COM%1").arg(port), path);
    }
    ~Pty() { hangUp(); }
    void hangUp() {
        if (keep >= 0) ::close(keep);
        if (master >= 0) ::close(master);
        keep = master = -1;
    }
    void write(const QByteArray& b) const {
        ASSERT_EQ(::write(master, b.constData(), b.size()), b.size());
    }
    QByteArray read(int count, int ms = 2000) const {
        QByteArray out;
        while (out.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0) break;
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }
    int master = -1;
    int keep = -1;
    QString path;
};

QByteArray allBytes() {
    QByteArray b;
    for (int i = 0; i < 256; ++i) b.append(static_cast<char>(i));
    return b;
}

}  // namespace

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override { testenv::writeSettings({}); }
};

TEST_F(SerialPort, TransfersEveryByteValueBothWaysAtBothSpeeds) {
    for (const char* settings : {"4800,N,8,1", "600,N,8,1"}) {
        SCOPED_TRACE(settings);
        Pty pty;
        MSComm port;
        ASSERT_EQ(port.setCommPort(1), 0);
        ASSERT_EQ(port.setSettings(settings), 0);
        ASSERT_EQ(port.setPortOpen(true), 0) << port.lastErrorText().toStdString();
        EXPECT_TRUE(port.PortOpen());
        port.Output(allBytes());
        EXPECT_EQ(pty.read(256), allBytes());
        pty.write(allBytes());
        ASSERT_TRUE(testenv::pumpUntil([&] { return port.InBufferCount() >= 256; }));
        EXPECT_EQ(port.Input(), allBytes());
        EXPECT_EQ(port.InBufferCount(), 0);
        // The text forms map one character to one byte in both directions.
        pty.write(allBytes());
        ASSERT_TRUE(testenv::pumpUntil([&] { return port.InBufferCount() >= 256; }));
        const QString text = port.InputText();
        ASSERT_EQ(text.size(), 256);
        for (int i = 0; i < 256; ++i) EXPECT_EQ(text[i].unicode(), i);
        port.OutputText(text);
        EXPECT_EQ(pty.read(256), allBytes());
        EXPECT_EQ(port.setPortOpen(false), 0);
        EXPECT_FALSE(port.PortOpen());
    }
}

TEST_F(SerialPort, InvalidPortNumbersAndMissingDevicesGive8002) {
    MSComm port;
    EXPECT_EQ(port.setCommPort(0), MSComm::InvalidPortNumber);
    EXPECT_EQ(port.setCommPort(256), MSComm::InvalidPortNumber);
    EXPECT_EQ(port.setCommPort(70000), MSComm::InvalidPortNumber);
    EXPECT_EQ(port.setCommPort(-1), MSComm::InvalidPortNumber);
    platform::SaveSetting("veldrin", "Ports", "COM7", "/dev/veldrin-no-such-device");
    ASSERT_EQ(port.setCommPort(7), 0);
    EXPECT_EQ(port.setPortOpen(true), MSComm::InvalidPortNumber);
    EXPECT_FALSE(port.PortOpen());
    EXPECT_TRUE(port.lastErrorText().contains("veldrin-no-such-device"));
    EXPECT_EQ(MSComm::deviceForPort(3), "/dev/ttyS2");
}

TEST_F(SerialPort, NonDevicesGive8010) {
    QFile f(testenv::configHome() + "/plain-file");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    platform::SaveSetting("veldrin", "Ports", "COM4", f.fileName());
    platform::SaveSetting("veldrin", "Ports", "COM5", testenv::configHome());
    MSComm port;
    port.setCommPort(4);
    EXPECT_EQ(port.setPortOpen(true), MSComm::PortOpenFailed);
    EXPECT_FALSE(port.PortOpen());
    port.setCommPort(5);
    EXPECT_EQ(port.setPortOpen(true), MSComm::PortOpenFailed);
    EXPECT_FALSE(port.PortOpen());
}

TEST_F(SerialPort, SecondHolderOfAPortGets8005) {
    Pty pty;
    MSComm first, second;
    first.setCommPort(1);
    second.setCommPort(1);
    ASSERT_EQ(first.setPortOpen(true), 0);
    EXPECT_EQ(second.setPortOpen(true), MSComm::PortAlreadyOpen);
    EXPECT_EQ(first.setPortOpen(true), MSComm::PortAlreadyOpen);
    first.setPortOpen(false);
    EXPECT_EQ(second.setPortOpen(true), 0);
}

TEST_F(SerialPort, LockHeldByAnotherProcessGives8005) {
    Pty pty;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(pty.path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        ::flock(fd, LOCK_EX);
        (void)!::write(ready[1], "x", 1);
        ::sleep(5);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    MSComm port;
    port.setCommPort(1);
    EXPECT_EQ(port.setPortOpen(true), MSComm::PortAlreadyOpen);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(port.setPortOpen(true), 0);
}

TEST_F(SerialPort, SettingsTextIsParsedAndMalformedTextRejected) {
    MSComm port;
    for (const char* good : {"4800,N,8,1", "600,n,8,1", "9600,E,7,2", "115200,O,8,1.5"}) {
        EXPECT_EQ(port.setSettings(good), 0) << good;
        EXPECT_EQ(port.Settings(), good);
    }
    for (const char* bad : {"", "4800", "4800,N,8", "4800,N,8,1,1", "4801,N,8,1", "abc,N,8,1",
                            "4800,X,8,1", "4800,N,9,1", "4800,N,8,3", "4800;N;8;1"}) {
        EXPECT_EQ(port.setSettings(bad), MSComm::InvalidPropertyValue) << bad;
    }
    EXPECT_EQ(port.Settings(), "115200,O,8,1.5");
}

TEST_F(SerialPort, SettingInBufferCountToZeroDiscards) {
    Pty pty;
    MSComm port;
    port.setCommPort(1);
    ASSERT_EQ(port.setPortOpen(true), 0);
    pty.write("abc");
    ASSERT_TRUE(testenv::pumpUntil([&] { return port.InBufferCount() == 3; }));
    port.setInBufferCount(0);
    EXPECT_EQ(port.InBufferCount(), 0);
    EXPECT_TRUE(port.Input().isEmpty());
    pty.write("de");
    ASSERT_TRUE(testenv::pumpUntil([&] { return port.InBufferCount() == 2; }));
    port.setInputLen(1);
    EXPECT_EQ(port.Input(), "d");
    port.setInputLen(0);
    EXPECT_EQ(port.Input(), "e");
}

TEST_F(SerialPort, NotifiesOnTheUiThreadForEachArrival) {
    Pty pty;
    MSComm port;
    port.setCommPort(1);
    port.setRThreshold(1);
    ASSERT_EQ(port.setPortOpen(true), 0);
    int notes = 0;
    QByteArray got;
    QObject::connect(&port, &MSComm::OnComm, [&] {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        EXPECT_EQ(port.CommEvent(), MSComm::EvReceive);
        ++notes;
        got += port.Input();
    });
    for (int i = 0; i < 5; ++i) {
        pty.write(QByteArray(1, static_cast<char>(0x5A + i)));
        ASSERT_TRUE(testenv::pumpUntil([&] { return notes == i + 1; }));
    }
    EXPECT_EQ(got, QByteArray("\x5A\x5B\x5C\x5D\x5E"));
    // Without a threshold there is no notification, but the bytes are kept.
    port.setRThreshold(0);
    pty.write("zz");
    testenv::pump(100);
    EXPECT_EQ(notes, 5);
    EXPECT_EQ(port.InBufferCount(), 2);
}

TEST_F(SerialPort, HangUpClosesThePortAndNotifiesOnceWithoutSpinning) {
    Pty pty;
    MSComm port;
    port.setCommPort(1);
    port.setRThreshold(1);
    ASSERT_EQ(port.setPortOpen(true), 0);
    int received = 0, lost = 0;
    QObject::connect(&port, &MSComm::OnComm, [&] {
        if (port.CommEvent() == MSComm::EvDeviceLost) {
            ++lost;
        } else {
            ++received;
        }
    });
    pty.write("q");
    ASSERT_TRUE(testenv::pumpUntil([&] { return received == 1; }));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    pty.hangUp();
    ASSERT_TRUE(testenv::pumpUntil([&] { return lost == 1; }));
    testenv::pump(300);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(lost, 1);
    EXPECT_FALSE(port.PortOpen());
    EXPECT_FALSE(port.lastErrorText().isEmpty());
    const long cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000 +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000;
    EXPECT_LT(cpuMs, 200);
    // Writing to a closed port does nothing; the port can be opened again
    // once the device is back.
    port.Output("x");
    Pty again;
    EXPECT_EQ(port.setPortOpen(true), 0);
}

TEST_F(SerialPort, SleepingWaitSeesBytesWithoutTheEventLoop) {
    Pty pty;
    MSComm port;
    port.setCommPort(1);
    ASSERT_EQ(port.setPortOpen(true), 0);
    EXPECT_EQ(port.waitForBytes(1, 50), 0);
    pty.write("abc");
    EXPECT_EQ(port.waitForBytes(3, 2000), 3);
    EXPECT_EQ(port.Input(), "abc");
}
