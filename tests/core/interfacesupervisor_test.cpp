// The interface supervisor with a contact that finds the interface when a
// file exists: the retry schedule, and retries at once when the device node
// appears in its folder, in a folder created later, or behind a link.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "interfacesupervisor.h"
#include "timebase.h"

using core::InterfaceSupervisor;

namespace {

class Supervisor : public ::testing::Test {
  protected:
    void TearDown() override { platform::TimeBase::global().setScale(1); }

    // Finds the interface once `device` exists; records when it was asked.
    InterfaceSupervisor::ContactFn contactWhenPresent(const QString& device) {
        return [this, device] {
            tries.push_back(platform::TimeBase::global().nowMs());
            if (QFile::exists(device)) return InterfaceSupervisor::Contact{true, {}};
            return InterfaceSupervisor::Contact{false, QStringLiteral("no such device")};
        };
    }
    static void touch(const QString& path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }

    QTemporaryDir dir;
    std::vector<qint64> tries;
};

}  // namespace

TEST_F(Supervisor, RetriesDoubleFromOneSecondUpToThirtyAndTheFirstFailureIsReportedOnce) {
    // Scaled so that a busy machine's late wake-up (up to 200 ms real) stays
    // within the slack of each gap.
    platform::TimeBase::global().setScale(25);
    const QString device = dir.path() + "/tty";
    InterfaceSupervisor s(contactWhenPresent(device));
    QStringList missing;
    int found = 0;
    QObject::connect(&s, &InterfaceSupervisor::stillMissing,
                     [&](const QString& why) { missing << why; });
    QObject::connect(&s, &InterfaceSupervisor::found, [&] { ++found; });

    const qint64 start = platform::TimeBase::global().nowMs();
    s.supervise(device);
    ASSERT_TRUE(platform::waitFor([&] { return tries.size() >= 7; }, 200000));
    const std::vector<qint64> expected{1000, 2000, 4000, 8000, 16000, 30000, 30000};
    qint64 before = start;
    for (size_t i = 0; i < expected.size(); ++i) {
        const qint64 gap = tries[i] - before;
        EXPECT_GE(gap, expected[i] * 9 / 10) << "retry " << i;
        EXPECT_LT(gap, expected[i] * 5 / 4 + 5000) << "retry " << i;
        before = tries[i];
    }
    EXPECT_EQ(missing, QStringList{"no such device"});
    EXPECT_TRUE(s.supervising());

    // Found at a timed retry: reported once, and the retries end.
    touch(device);
    ASSERT_TRUE(platform::waitFor([&] { return found > 0; }, 40000));
    const size_t triesAtFound = tries.size();
    EXPECT_FALSE(s.supervising());
    EXPECT_TRUE(s.watchedFolders().isEmpty());
    platform::waitEvents(70000);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(tries.size(), triesAtFound);
    EXPECT_EQ(missing.size(), 1);

    // A new outage starts over at one second and is reported again.
    QFile::remove(device);
    const qint64 again = platform::TimeBase::global().nowMs();
    s.supervise(device);
    ASSERT_TRUE(platform::waitFor([&] { return missing.size() == 2; }, 5000));
    // The first retry, a second later, with the same slack for a loaded machine.
    EXPECT_LT(tries.back() - again, 1000 * 5 / 4 + 2500);
}

// Real time, so that a retry "at once" (milliseconds) stands well apart from
// the first timed one (a second).
TEST_F(Supervisor, ANodeThatAppearsIsTriedAtOnceWhereverItIsNamed) {
    struct Case {
        const char* what;
        QString named;   // the path supervised
        QString create;  // the folder to create first, if any
        QString node;    // the node that appears
        QString link;    // a link from `named` made before supervising, if any
    };
    const QString d = dir.path();
    ASSERT_TRUE(QDir(d).mkpath("dev"));
    const std::vector<Case> cases{
        {"in its folder", d + "/ttyA", {}, d + "/ttyA", {}},
        {"in a folder created later",
         d + "/serial/by-id/usb-a",
         d + "/serial/by-id",
         d + "/serial/by-id/usb-a",
         {}},
        {"behind a link that stays", d + "/adapter", {}, d + "/dev/ttyUSB0", d + "/dev/ttyUSB0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tries.clear();
        if (!c.link.isEmpty()) {
            ASSERT_TRUE(QFile::link(c.link, c.named));
        }
        InterfaceSupervisor s(contactWhenPresent(c.named));
        bool found = false;
        QObject::connect(&s, &InterfaceSupervisor::found, [&] { found = true; });
        s.supervise(c.named);
        platform::waitEvents(50);
        EXPECT_TRUE(tries.empty());
        if (!c.create.isEmpty()) {
            ASSERT_TRUE(QDir().mkpath(c.create));
            platform::waitEvents(50);  // the new folder is watched from now on
        }
        touch(c.node);
        EXPECT_TRUE(platform::waitFor([&] { return found; }, 600));
        EXPECT_EQ(tries.size(), 1u);
    }
}

// A node that is there but may not be opened yet (udev has not given it its
// group): it is watched, tried again within a second rather than on the
// growing delays, and found once it may be opened; a change of its mode is
// tried at once.
TEST_F(Supervisor, ANodeThatMayNotBeOpenedYetIsTriedAgainSoon) {
    const QString device = dir.path() + "/ttyUSB0";
    touch(device);
    bool denied = true;
    InterfaceSupervisor s(
        [&] {
            tries.push_back(platform::TimeBase::global().nowMs());
            return InterfaceSupervisor::Contact{!denied, QStringLiteral("Permission denied")};
        },
        nullptr, [&](const QString& path) { return denied && path == device; });
    bool found = false;
    QObject::connect(&s, &InterfaceSupervisor::found, [&] { found = true; });
    s.supervise(device);
    ASSERT_TRUE(platform::waitFor([&] { return tries.size() >= 2; }, 10000));
    EXPECT_EQ(s.nextRetryMs(), InterfaceSupervisor::kPermissionRetryMs);
    EXPECT_EQ(s.watchedNode(), device);

    // udev changes the mode: a try at once, which finds it.
    denied = false;
    ASSERT_TRUE(QFile::setPermissions(
        device, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup));
    ASSERT_TRUE(platform::waitFor([&] { return found; }, 10000));
    EXPECT_TRUE(s.watchedNode().isEmpty());
}
