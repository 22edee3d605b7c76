#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "settingsstore.h"
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

TEST_F(SettingsStore, HandWrittenListValueReadsAsItsText) {
    testenv::writeSettings("[Ports]\nCOM1=/dev/a,b\n");
    EXPECT_EQ(GetSetting("veldrin", "Ports", "COM1"), "/dev/a,b");
}

// A serialised Qt value in a damaged or hand-edited file could make QSettings
// allocate gigabytes (its sizes come from the file). Such lines, however they
// are spelt, are taken out before the file is read; everything else stays.
TEST_F(SettingsStore, SerialisedValuesAreTakenOutAndTheRestKept) {
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
    EXPECT_EQ(testenv::readSettings().toUtf8(), kept);
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Literal"), "@Variant(x)");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "Quoted"), "x,@Variant(1)");
    EXPECT_EQ(GetSetting("veldrin", "Startup", "COM9"), "/dev/ttyUSB0");
}
