#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "namedevent.h"

using platform::NamedEvent;

namespace {
QString uniqueName(const char* tag) {
    return QStringLiteral("veldrin_test_%1_%2").arg(QLatin1String(tag)).arg(::getpid());
}
struct Unlink {
    QString name;
    ~Unlink() { ::shm_unlink(NamedEvent::objectName(name).constData()); }
};
}  // namespace

TEST(NamedEvent, ManualResetSharedByName) {
    Unlink u{uniqueName("manual")};
    NamedEvent a, b;
    ASSERT_TRUE(a.open(u.name));
    ASSERT_TRUE(b.open(u.name));
    EXPECT_FALSE(b.isSet());
    EXPECT_FALSE(b.wait(0));
    a.set();
    EXPECT_TRUE(b.wait(0));
    EXPECT_TRUE(b.wait(100));  // manual reset: stays set
    b.reset();
    EXPECT_FALSE(a.isSet());
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(a.wait(50));
    EXPECT_GE(t.elapsed(), 45);
    a.close();
    EXPECT_FALSE(a.isOpen());
    a.set();  // closed: no effect, no crash
    EXPECT_FALSE(b.isSet());
}

TEST(NamedEvent, AnotherProcessWakesWhenSet) {
    Unlink u{uniqueName("proc")};
    NamedEvent ev;
    ASSERT_TRUE(ev.open(u.name));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedEvent other;
        if (!other.open(u.name)) ::_exit(3);
        ::_exit(other.wait(5000) ? 0 : 1);
    }
    ::usleep(100 * 1000);
    ev.set();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NamedEvent, NamesWithSlashesAreUsable) {
    EXPECT_EQ(NamedEvent::objectName("a/b\\c"), QByteArray("/a_b_c"));
    Unlink u{QStringLiteral("Global\\veldrin_test_%1").arg(::getpid())};
    NamedEvent ev;
    EXPECT_TRUE(ev.open(u.name));
}

// A creator that died half-way left the object too short, or sized but not
// initialised: the next open replaces it instead of failing after a wait.
TEST(NamedEvent, AHalfMadeObjectIsReplaced) {
    Unlink u{uniqueName("half")};
    const QByteArray obj = NamedEvent::objectName(u.name);
    for (const off_t size : {off_t(0), off_t(4096)}) {
        ::shm_unlink(obj.constData());
        const int fd = ::shm_open(obj.constData(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);  // zero-filled: no mark
        ::close(fd);
        NamedEvent a, b;
        ASSERT_TRUE(a.open(u.name)) << size;
        ASSERT_TRUE(b.open(u.name)) << size;
        EXPECT_FALSE(b.isSet());
        a.set();
        EXPECT_TRUE(b.wait(0)) << "one object for both";
    }
}
