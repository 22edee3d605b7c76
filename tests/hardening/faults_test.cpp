// Faults of the serial line through the whole program: the adapter of the
// open port unplugged and plugged in again, and a device the user may not open.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include "appfixture.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "optionsmenu.h"
#include "pandrel/controlcm_probe.h"
#include "twips.h"

namespace {

long cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

// Set in the unprivileged child run of the permission test: the device to map.
const char kChildDevice[] = "VELDRIN_TEST_UNPRIVILEGED_DEVICE";

}  // namespace

class Faults : public AppTest {};

// COM1 names a symbolic link, as /dev/serial/by-id names do; the link is
// pointed at the new device when the adapter comes back.
TEST_F(Faults, UnpluggedAdapterIsLoggedOnceAndTheSamePortBringsItBack) {
    QTemporaryDir dir;
    const QString link = dir.path() + "/adapter";
    auto& sim = twoWayOn(1);
    ASSERT_TRUE(QFile::link(sim.devicePath(), link));
    mapPort(1, link);
    Form1& w = load();
    ASSERT_EQ(w.Label3->backColor(), ui::kGreen);
    auto& d = controlcmProbe::d(*w.controlcm1);

    // The first command stalls on the line; more wait in the queue.
    sim.setReadyDelayMs(5000);
    w.Label1_MouseDown(0, 1, 0, 0, 0);
    w.Label1_MouseDown(1, 1, 0, 0, 0);
    w.Label1_MouseDown(2, 2, 0, 0, 0);
    w.lstEvents->clear();
    // Unplugged while the queue is being drained: from a timer that runs
    // inside the control's wait for the ready byte.
    bool busyAtUnplug = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (const auto& f : sim.frames()) {
            if (f.kind != sim::TwoWaySim::Kind::Ack) continue;
            poll.stop();
            busyAtUnplug = d.bQueueBusy;
            sim.unplug();
            // Its name goes with it: the retries in the background must not
            // open the pseudo-terminal that takes its number next.
            QFile::remove(link);
            return;
        }
    });
    poll.start(1);
    ASSERT_TRUE(platform::waitFor([&] { return w.lstEvents->count() > 0; }, 20000));
    EXPECT_TRUE(busyAtUnplug);
    const long cpu0 = cpuMs();
    w.Label1_MouseDown(3, 1, 0, 0, 0);  // a click after the loss goes nowhere
    testenv::pump(400);                 // and the retries in the background find nothing
    EXPECT_LT(cpuMs() - cpu0, 200) << "spinning after the device went away";
    // One line each: the loss, the click that sent nothing, the retries.
    ASSERT_EQ(logTexts().size(), 3) << logTexts().join('\n').toStdString();
    EXPECT_TRUE(logTexts()[2].startsWith("ERROR: Pandrel Interface Lost on Com: 1 - " + link))
        << logTexts()[2].toStdString();
    EXPECT_EQ(logTexts()[1], "Interface not available: command not sent");
    EXPECT_TRUE(logTexts()[0].startsWith("ERROR: Pandrel Interface Still Not Found on Com: 1"));
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_EQ(d.iCmdCount, 0);
    EXPECT_FALSE(d.bQueueBusy);

    // The adapter is back under the same name; the COM-port menu takes the
    // same port again.
    ASSERT_TRUE(sim.start());
    sim.setReadyDelayMs(0);
    ASSERT_TRUE(QFile::link(sim.devicePath(), link));
    sim.clearRecords();
    dialogs.answers = QStringList{"1"};
    w.menu->mnuComCh->trigger();
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    // Nothing queued before the loss went out; a new click does.
    EXPECT_TRUE(sim.framedOnly().isEmpty());
    w.Label1_MouseDown(5, 1, 0, 0, 0);
    ASSERT_TRUE(sim.waitForFrames(1, 5000));
    ASSERT_TRUE(platform::waitFor([&] { return sim.framedOnly().size() >= 2; }, 5000));
    EXPECT_EQ(sim.framedOnly()[0].bytes, QByteArray::fromHex("0469"));  // A6
}

// Opening a device the user may not open (here a pseudo-terminal, owned by
// root with no access for others) logs why, besides the not-found line: the
// group to join when that group may read and write it, otherwise its owner,
// group and mode and that no group helps (a pseudo-terminal's group tty may
// only write). The test runs as root and repeats itself as the user nobody
// without supplementary groups.
TEST_F(Faults, PermissionDeniedNamesTheGroupThatOwnsTheDevice) {
    const QString childDevice = qEnvironmentVariable(kChildDevice);
    if (!childDevice.isEmpty()) {
        mapPort(1, childDevice);
        load();
        const QFileInfo info(childDevice);
        const bool groupMayOpen = info.permission(QFile::ReadGroup | QFile::WriteGroup);
        const QStringList lines = logTexts().mid(1, 2);
        ASSERT_EQ(lines.size(), 2);
        const QString denied = "ERROR: Permission denied opening " + childDevice + ": ";
        if (groupMayOpen)
            EXPECT_EQ(lines[0], denied + "the user must be a member of the group " + info.group() +
                                    " that owns it");
        else
            EXPECT_TRUE(lines[0].startsWith(
                denied + QString("its group may not read and write it (owner %1, group %2, mode ")
                             .arg(info.owner(), info.group())))
                << lines[0].toStdString();
        EXPECT_EQ(lines[1], "ERROR: Pandrel Interface Not Found on Com: 1");
        return;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a part as an unprivileged user";
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty()) GTEST_SKIP() << "setpriv is not installed";

    auto& sim = twoWayOn(1);
    // As root the device opens: no permission line.
    load();
    EXPECT_EQ(logTexts()[1], "Found Pandrel Interface on Com: 1 Connection Established");
    window.reset();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildDevice, sim.devicePath());
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_RUNTIME_DIR");
    env.insert("TMPDIR", "/tmp");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        setpriv,
        QStringList{"--reuid=65534", "--regid=65534", "--clear-groups",
                    QCoreApplication::applicationFilePath(),
                    "--gtest_filter=Faults.PermissionDeniedNamesTheGroupThatOwnsTheDevice"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}
