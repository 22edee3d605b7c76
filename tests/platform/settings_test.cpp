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
