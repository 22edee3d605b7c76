#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <cerrno>

#include "deviceaccess.h"
#include "regularfile.h"
#include "settingsstore.h"
#include "singleinstance.h"
#include "testenv.h"

using platform::GetSetting;
using platform::SaveSetting;

class SettingsStore : public ::testing::Test {
  protected:
    void SetUp() override { testenv::writeSettings({}); }
};

TEST_F(SettingsStore, MissingFileAndKeysReadAsDefaults) {
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "A");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "ComPort"), "");
    SaveSetting("veldrin", "Startup", "HouseCode", "C");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "ComPort", "1"), "1");
    EXPECT_EQ(GetSetting("veldrin", "Other", "HouseCode", "x"), "x");
}

TEST_F(SettingsStore, NamesAreCaseInsensitiveAndOneFileServesBothSpellings) {
    SaveSetting("Veldrin", "Startup", "Interface", "True");
    EXPECT_EQ(GetSetting("veldrin", "startup", "INTERFACE"), "True");
    testenv::writeSettings("[startup]\nhousecode=D\n");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "D");
    // Writing under another spelling replaces the stored key instead of adding one.
    SaveSetting("veldrin", "Startup", "HouseCode", "E");
    EXPECT_EQ(GetSetting("VELDRIN", "STARTUP", "housecode"), "E");
    EXPECT_EQ(testenv::readSettings().count("ouse", Qt::CaseInsensitive), 1);
    EXPECT_TRUE(QFile::exists(testenv::configHome() + "/veldrin/veldrin.conf"));
}

TEST_F(SettingsStore, ValuesSurviveExactlyIncludingLeadingBlanks) {
    SaveSetting("veldrin", "Startup", "F1Top", " 1200");
    SaveSetting("veldrin", "Startup", "Odd", "a,b; c=d \"q\"");
    SaveSetting("veldrin", "Startup", "Empty", "");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "F1Top"), " 1200");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Odd"), "a,b; c=d \"q\"");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Empty", "def"), "");
    EXPECT_TRUE(testenv::readSettings().contains("F1Top=\" 1200\""));
}

TEST_F(SettingsStore, CorruptOrUnreadableFilesReadAsDefaults) {
    testenv::writeSettings(QString::fromLatin1("\x01\x02garbage\n[[[\n=\n[Startup\nHouseCode\n"));
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "A");
    // A folder where the file should be: unreadable, still no crash.
    testenv::writeSettings({});
    QDir().mkpath(testenv::settingsFile());
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "A");
    EXPECT_FALSE(SaveSetting("veldrin", "Startup", "HouseCode", "B"));
    QDir(testenv::settingsFile()).removeRecursively();
}

// Only a regular file of at most 1 MiB is read, without blocking on a FIFO
// or reading a device for ever; the reason a file that is there cannot be
// read is told, and such a file is never written over.
TEST_F(SettingsStore, OnlyASmallRegularFileIsReadAndAnUnreadableOneSaysWhy) {
    const QString path = testenv::settingsFile();
    EXPECT_EQ(platform::settingsFileError(), "");  // missing: a first start
    auto unreadable = [&](const QString& why) {
        EXPECT_EQ(platform::settingsFileError(), why);
        EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "A");
        EXPECT_FALSE(SaveSetting("veldrin", "Startup", "HouseCode", "B"));
    };
    ASSERT_TRUE(QFile::link("/dev/zero", path));
    unreadable("not a regular file");
    EXPECT_TRUE(QFileInfo(path).isSymLink());
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    unreadable("not a regular file");
    ASSERT_TRUE(QFile::remove(path));
    testenv::writeSettings("[Startup]\nHouseCode=C\n;" + QString(1024 * 1024, 'x') + "\n");
    unreadable("larger than 1048576 bytes");
    testenv::writeSettings("[Startup]\nHouseCode=C\n");
    EXPECT_EQ(platform::settingsFileError(), "");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "C");
}

// A refusal names who owns the file and its mode (as root the refusal itself
// cannot be caused, so the text is asked for directly); other reasons are
// the system's text alone.
TEST_F(SettingsStore, PermissionDeniedNamesTheOwnerAndModeOfTheFile) {
    testenv::writeSettings("[Startup]\n");
    const QString path = testenv::settingsFile();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    const QFileInfo info(path);
    EXPECT_EQ(platform::openErrorText(path, EACCES),
              QString("Permission denied (owner %1, group %2, mode 0640)")
                  .arg(info.owner(), info.group()));
    EXPECT_EQ(platform::openErrorText(path, ENOENT), "No such file or directory");
    EXPECT_FALSE(platform::pathMissing(path));
    EXPECT_TRUE(platform::pathMissing(path + "/below"));
}

// A device this user may not open: the group is named only when that group
// may read and write it; otherwise the advice says what would help.
TEST(DeviceAccess, GroupAdviceOnlyWhenTheGroupMayOpenTheDevice) {
    struct Case {
        unsigned mode;
        bool namesGroup;
    };
    for (const Case c : {Case{0660, true}, Case{0600, false}, Case{0640, false}}) {
        const QString advice = platform::deviceAccessAdvice({"root", "dialout", c.mode});
        EXPECT_EQ(advice.contains("must be a member of the group dialout"), c.namesGroup)
            << advice.toStdString();
        EXPECT_EQ(advice.contains(QString("mode 0%1").arg(c.mode, 0, 8)), !c.namesGroup)
            << advice.toStdString();
    }
}

// Without $XDG_RUNTIME_DIR the lock goes where only this user can create
// files: the settings file's folder (made 0700 when missing), or the
// per-user settings folder when others may write in that one. Never a
// shared folder such as /tmp, where another user could take the name first.
TEST(SingleInstanceLock, WithoutRuntimeFolderTheLockGoesWhereOnlyTheUserWrites) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    QTemporaryDir dir;
    const QString own = dir.path() + "/etc/veldrin";
    platform::setSettingsFileOverride(own + "/veldrin.conf");
    EXPECT_EQ(platform::SingleInstance::folder(), own);
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(own).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    {
        platform::SingleInstance lock;
        EXPECT_TRUE(lock.acquire());
        EXPECT_EQ(lock.path(), own + "/veldrin.lock");
    }
    const QString shared = dir.path() + "/shared";
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    platform::setSettingsFileOverride(shared + "/veldrin.conf");
    EXPECT_EQ(platform::SingleInstance::folder(), testenv::configHome() + "/veldrin");
    platform::setSettingsFileOverride({});
    ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
}

TEST_F(SettingsStore, HandWrittenListValueReadsAsItsText) {
    testenv::writeSettings("[Ports]\nCOM1=/dev/a,b\n");
    EXPECT_EQ(GetSetting("veldrin", "Ports", "COM1"), "/dev/a,b");
}

// A serialised Qt value in a damaged or hand-edited file could make QSettings
// allocate gigabytes (its sizes come from the file). Such lines, however they
// are spelt, are skipped when read and dropped when the file is written;
// everything else stays, and reading leaves the file as it was.
TEST_F(SettingsStore, SerialisedValuesAreSkippedAndTheRestKept) {
    SaveSetting("veldrin", "Startup", "Literal", "@Variant(x)");   // stored as @@Variant(x)
    SaveSetting("veldrin", "Startup", "Quoted", "x,@Variant(1)");  // one quoted text
    const QByteArray kept = testenv::readSettings().toUtf8() + "COM9=/dev/ttyUSB0\n";
    const QByteArray bad =
        "F1Top=@Variant(\\0\\0\\0\\v7f\\0\\0\\0)\n"  // a list of 1.7 billion strings
        "A=\\x40Var\"\"iant(\\0\\0\\0\\x2\\0\\0\\0\\0)\n"
        "B=\\100Variant(\\0\\0\\0\\x2\\0\\0\\0\\0)\n"
        "C=1, \"@DateTime(\\0)\"\n"
        "D=@Var\\\n"
        "iant(\\0\\0\\0\\x2\\0\\0\\0\\0)\n";
    testenv::writeSettings(QString::fromUtf8(kept + bad));
    EXPECT_EQ(GetSetting("veldrin", "Startup", "F1Top", "0"), "0");
    for (const char* key : {"A", "B", "C", "D"})
        EXPECT_EQ(GetSetting("veldrin", "Startup", key, "def"), "def") << key;
    EXPECT_EQ(platform::firstUnreadableSettingsLine(), 5);
    EXPECT_EQ(testenv::readSettings().toUtf8(), kept + bad);
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Literal"), "@Variant(x)");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Quoted"), "x,@Variant(1)");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "COM9"), "/dev/ttyUSB0");
    SaveSetting("veldrin", "Startup", "Literal", "@Variant(x)");
    EXPECT_EQ(testenv::readSettings().toUtf8(), kept);
}

// One malformed line (a header without its bracket) used to make every key
// read as its default, and the save at exit then wrote defaults over the
// user's values. Every well-formed key reads; a save keeps every section.
TEST_F(SettingsStore, DamagedFileLosesNothing) {
    const QString text =
        "; the user's notes\n"
        "[Startup]\n"
        "HouseCode=C\n"
        "F1Top=\" 1200\"\n"
        "\n"
        "[Notes\n"
        "first=mapped by hand\n"
        "[Ports]\n"
        "COM2=/dev/ttyUSB0\n"
        "stray line\n"
        "[Mine]\n"
        "list=\"a, b\", c\n"
        "sub\\key=x\n";
    testenv::writeSettings(text);
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode", "A"), "C");
    EXPECT_EQ(GetSetting("veldrin", "startup", "F1Top"), " 1200");
    EXPECT_EQ(GetSetting("veldrin", "Ports", "COM2"), "/dev/ttyUSB0");
    EXPECT_EQ(GetSetting("veldrin", "Notes", "first"), "mapped by hand");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "first", "none"), "none");
    EXPECT_EQ(platform::firstUnreadableSettingsLine(), 6);
    EXPECT_EQ(testenv::readSettings(), text);  // reading never rewrites

    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "HouseCode", "D"));
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "ComPort", "2"));
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode"), "D");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "F1Top"), " 1200");
    EXPECT_EQ(GetSetting("veldrin", "Notes", "first"), "mapped by hand");
    EXPECT_EQ(GetSetting("veldrin", "Mine", "list"), "a, b,c");
    EXPECT_EQ(platform::GetSettingsSection("veldrin", "Mine").size(), 1);
    EXPECT_EQ(platform::firstUnreadableSettingsLine(), 0);
    // What earlier versions read with QSettings: the same keys, no error.
    QSettings q(testenv::settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(q.status(), QSettings::NoError);
    EXPECT_EQ(q.value("Startup/HouseCode").toString(), "D");
    EXPECT_EQ(q.value("Startup/F1Top").toString(), " 1200");
    EXPECT_EQ(q.value("Startup/ComPort").toString(), "2");
    EXPECT_EQ(q.value("Notes/first").toString(), "mapped by hand");
    EXPECT_EQ(q.value("Ports/COM2").toString(), "/dev/ttyUSB0");
    EXPECT_EQ(q.value("Mine/list").toStringList(), QStringList({"a, b", "c"}));
    EXPECT_EQ(q.value("Mine/sub/key").toString(), "x");
}

// The settings file is often written by hand: a save changes the lines of
// the keys it sets and nothing else. Comments (';' and '#', on their own
// line or after a value), blank lines, unknown keys and the spelling of
// untouched lines stay; a '#' line is a comment, not an unreadable line.
TEST_F(SettingsStore, SaveKeepsCommentsBlanksAndUntouchedLines) {
    const QString text =
        "# Veldrin settings, edited by hand\n"
        "; the house of the click pad\n"
        "\n"
        "[Startup]\n"
        "  HouseCode = B   ; as the wall switches\n"
        "#ComPort=1\n"
        "ComPort=3\n"
        "\n"
        "\n"
        "; bridge\n"
        "[MQTT]\n"
        "Host=broker.local\n"
        "Unknown = \"kept, as written\"\n"
        "   \n"
        "# end\n";
    testenv::writeSettings(text);
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode"), "B");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "ComPort"), "3");
    EXPECT_EQ(platform::firstUnreadableSettingsLine(), 0);

    // Saving the value a key already has changes nothing but its own line.
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "HouseCode", "D"));
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "ComPort", "3"));
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "F1Top", "1200"));
    ASSERT_TRUE(SaveSetting("veldrin", "Ports", "COM3", "/dev/ttyUSB0"));
    QString expected = text;
    expected.replace("  HouseCode = B   ; as", "  HouseCode=D; as");
    expected.replace("ComPort=3\n", "ComPort=3\nF1Top=1200\n");
    expected += "\n[Ports]\nCOM3=/dev/ttyUSB0\n";
    EXPECT_EQ(testenv::readSettings().toStdString(), expected.toStdString());
    EXPECT_EQ(platform::firstUnreadableSettingsLine(), 0);
    EXPECT_EQ(GetSetting("veldrin", "MQTT", "Unknown"), "kept, as written");

    // QSettings knows no '#' comments: a '#' line that it would read as a
    // serialised value is not written back.
    testenv::writeSettings("[Startup]\n#F1Top=@Variant(\\0\\0\\0\\v7f)\n# F1Top=1\nComPort=2\n");
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "ComPort", "3"));
    EXPECT_EQ(testenv::readSettings().toStdString(), "[Startup]\n# F1Top=1\nComPort=3\n");

    // A key stored twice keeps its first line; the second goes, its
    // comment stays.
    testenv::writeSettings("[Startup]\nHouseCode=B\n; old\nHouseCode=C\nComPort=2");
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "HouseCode", "E"));
    EXPECT_EQ(testenv::readSettings().toStdString(), "[Startup]\nHouseCode=E\n; old\nComPort=2\n");
}

// A process killed while it saves leaves the old file or the new one, whole.
TEST_F(SettingsStore, KillDuringSaveLeavesOldOrNewFile) {
    const QString big(20000, QChar('x'));
    SaveSetting("veldrin", "Startup", "HouseCode", "old" + big);
    for (int round = 0; round < 12; ++round) {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            for (int i = 0;; ++i)
                SaveSetting("veldrin", "Startup", "HouseCode", (i % 2 ? "old" : "new") + big);
        }
        usleep(2000 + 1500 * round);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const QString v = GetSetting("veldrin", "Startup", "HouseCode");
        EXPECT_TRUE(v == "old" + big || v == "new" + big) << "round " << round << ": " << v.size();
    }
}

// A save that cannot be written whole (here a file size limit, as a full
// disk would) leaves the old file as it was and says why. A settings file
// kept elsewhere through a link is replaced there, and the link stays.
TEST_F(SettingsStore, SaveIsWholeOrNothingAndFollowsTheUsersLink) {
    const QString text = "[Startup]\nHouseCode=C\n; " + QString(200, 'x') + "\n";
    testenv::writeSettings(text);
    const QDir folder = QFileInfo(testenv::settingsFile()).dir();
    const QStringList files = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool saved = SaveSetting("veldrin", "Startup", "ComPort", "2", &error);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_FALSE(saved);
    EXPECT_EQ(error, "File too large");
    EXPECT_EQ(testenv::readSettings(), text);
    EXPECT_EQ(folder.entryList(QDir::Files | QDir::Hidden | QDir::System), files);

    QTemporaryDir dotfiles;
    const QString kept = dotfiles.path() + "/veldrin.conf";
    ASSERT_TRUE(QFile::rename(testenv::settingsFile(), kept));
    ASSERT_TRUE(QFile::link(kept, testenv::settingsFile()));
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "ComPort", "2"));
    EXPECT_TRUE(QFileInfo(testenv::settingsFile()).isSymLink());
    EXPECT_EQ(GetSetting("veldrin", "Startup", "ComPort"), "2");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "HouseCode"), "C");
    QFile::remove(testenv::settingsFile());
}

// A hand-written value with one stray quote (a module named TV 55" screen)
// keeps the quote as part of the value; it never takes the lines after it,
// in whatever section it stands. A save writes it as QSettings writes a
// quote, so that QSettings reads the same keys.
TEST_F(SettingsStore, AStrayQuoteStaysInItsValueAndTakesNoLinesAfterIt) {
    const QString text =
        "[Modules]\n"
        "A1=lamp, TV 55\" screen\n"
        "A2=lamp\n"
        "[Startup]\n"
        "HouseCode=\"B\n"
        "ListenAddress=0.0.0.0\n"
        "TLSCertificate=/etc/veldrin/cert.pem\n"
        "TLSKey=/etc/veldrin/key.pem ; \"kept \" apart\n"
        "[Web]\n"
        "Name=a\"b;c\n"
        "Enabled=true\n"
        "# the \" in this comment\n"
        "[Ports]\n"
        "COM1=\"/dev/a, b\"\n"
        "COM2=/dev/ttyUSB0\"\n";
    testenv::writeSettings(text);
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } kKeys[] = {{"Modules", "A1", "lamp,TV 55\" screen"},
                 {"Modules", "A2", "lamp"},
                 {"Startup", "HouseCode", "\"B"},
                 {"Startup", "ListenAddress", "0.0.0.0"},
                 {"Startup", "TLSCertificate", "/etc/veldrin/cert.pem"},
                 {"Startup", "TLSKey", "/etc/veldrin/key.pem"},
                 {"Web", "Name", "a\"b"},
                 {"Web", "Enabled", "true"},
                 {"Ports", "COM1", "/dev/a, b"},
                 {"Ports", "COM2", "/dev/ttyUSB0\""}};
    auto readAll = [&](const char* when) {
        for (const auto& k : kKeys)
            EXPECT_EQ(GetSetting("veldrin", k.section, k.key, "<absent>"),
                      QString::fromUtf8(k.value))
                << when << ' ' << k.section << '/' << k.key;
        EXPECT_EQ(platform::firstUnreadableSettingsLine(), 0) << when;
    };
    readAll("as written");
    ASSERT_TRUE(SaveSetting("veldrin", "Startup", "ComPort", "2"));
    readAll("after a save");
    QSettings q(testenv::settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(q.status(), QSettings::NoError);
    EXPECT_EQ(q.value("Modules/A1").toString(), "lamp,TV 55\" screen");
    EXPECT_EQ(q.value("Startup/TLSKey").toString(), "/etc/veldrin/key.pem");
    EXPECT_EQ(q.value("Web/Enabled").toString(), "true");
    EXPECT_EQ(q.value("Ports/COM2").toString(), "/dev/ttyUSB0\"");
    EXPECT_EQ(q.value("Startup/ComPort").toString(), "2");
}
