// The server-wide settings: defaults, values read from a real file, the
// "Path" save and where the work directory comes from.
#include "core/ServerSettings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "support/TempDir.h"
#include "support/TestServer.h"

namespace zorv::test {
namespace {

TEST(ServerSettingsTest, MissingFileGivesEveryDefault) {
    CTempDir dir;
    const ServerSettings s = ServerSettings::Read(IniFile(dir.File("none.ini")), "/rec");
    EXPECT_EQ(s.directory1, "/rec");
    EXPECT_EQ(s.directory2, "/rec");
    EXPECT_EQ(s.quota1Mb, 50u);
    EXPECT_EQ(s.quota2Mb, 50u);
    EXPECT_EQ(s.delSizeMb, 50u);
    EXPECT_EQ(s.minSizeFileSeconds, 5u);
    EXPECT_EQ(s.maxSizeFileSeconds, 3600u);
    EXPECT_EQ(s.compressIdle, 0u);
    EXPECT_EQ(s.maxSizeRecord, 1u);
    EXPECT_EQ(s.sound, 1u);
    EXPECT_EQ(s.restartEnable, 1u);
    EXPECT_EQ(s.exceptionRestartEnable, 0u);
    EXPECT_EQ(s.dataBaseMode, 0u);
    EXPECT_EQ(s.minimalNotificationDelay, 600u);
    EXPECT_EQ(s.callNotServices, 1u);
    EXPECT_EQ(s.faxEnable, 1u);
    EXPECT_EQ(s.faxDecode, 1u);
    EXPECT_EQ(s.faxLogEnable, 0u);
    EXPECT_EQ(s.watchdog.enable, 0u);
    EXPECT_EQ(s.watchdog.port, 1u);
    EXPECT_EQ(s.watchdog.baudRate, 2400u);
    EXPECT_EQ(s.watchdog.initTimeout, 30u);
    EXPECT_EQ(s.watchdog.replyWaitMs, 1000u);
    EXPECT_EQ(s.deleteByDateEnable, 0u);
    EXPECT_EQ(s.storageDaysCount, 90u);
    EXPECT_EQ(s.lastDeleteFilesDate.year, 0u);
    EXPECT_EQ(s.serverName, "");
}

TEST(ServerSettingsTest, ValuesFromTheFile) {
    CTempDir dir;
    IniFile file(dir.File("s.ini"));
    StoredDateTime date{2026, 12, 4, 10, 8, 30, 0, 0};
    ASSERT_TRUE(file.WriteStruct("DeleteFilesAtDate", "LastDeleteFilesDate", &date, sizeof date));
    file.WriteString("path", "directory1", "/data/rec1");
    file.WriteString("Path", "MaxSizeFile", "2");
    file.WriteString("Path", "MinSizeFile", "12s");  // leading digits
    file.WriteString("ext_watchdog", "init_to", "45");
    file.WriteString("Server", "Name", "Office");
    file.WriteString("Advanced", "MinimalNotificationDelay", "");
    const ServerSettings s = ServerSettings::Read(file, "/rec");
    EXPECT_EQ(s.directory1, "/data/rec1");
    EXPECT_EQ(s.directory2, "/rec");
    EXPECT_EQ(s.maxSizeFileSeconds, 120u);
    EXPECT_EQ(s.minSizeFileSeconds, 12u);
    EXPECT_EQ(s.watchdog.initTimeout, 45u);
    EXPECT_EQ(s.serverName, "Office");
    EXPECT_EQ(s.minimalNotificationDelay, 0u);  // an empty value holds no digits
    EXPECT_EQ(s.lastDeleteFilesDate.year, 2026u);
    EXPECT_EQ(s.lastDeleteFilesDate.hour, 8u);
}

TEST(ServerSettingsTest, EdgeValues) {
    CTempDir dir;
    IniFile file(dir.File("s.ini"));
    // A huge MaxSizeFile must not wrap around when kept in seconds.
    file.WriteString("Path", "MaxSizeFile", "4294967295");
    // A damaged date (bad checksum) reads as "never".
    file.WriteString("DeleteFilesAtDate", "LastDeleteFilesDate",
                     "EA070C000400000A0008001E0000000000");
    const ServerSettings s = ServerSettings::Read(file, "/rec");
    EXPECT_EQ(s.maxSizeFileSeconds, 4294967295u / 60 * 60);
    EXPECT_EQ(s.lastDeleteFilesDate.year, 0u);
    EXPECT_EQ(s.lastDeleteFilesDate.month, 0u);
}

TEST(ServerSettingsTest, SavePathWritesTheKeysOfTheSave) {
    CTempDir dir;
    IniFile file(dir.File("s.ini"));
    ServerSettings s;
    s.maxSizeFileSeconds = 90 * 60;
    ASSERT_TRUE(s.SavePath(file, "/a", "/b"));
    EXPECT_EQ(file.GetString("Path", "Directory1", ""), "/a");
    EXPECT_EQ(file.GetString("Path", "Directory2", ""), "/b");
    EXPECT_EQ(file.GetString("Path", "Quota1_Ex", ""), "50");
    EXPECT_EQ(file.GetString("Path", "Quota2_Ex", ""), "50");
    EXPECT_EQ(file.GetString("Path", "DelSize_Ex", ""), "50");
    EXPECT_EQ(file.GetString("Path", "MinSizeFile", ""), "5");
    EXPECT_EQ(file.GetString("Path", "MaxSizeFile", ""), "90");
    EXPECT_FALSE(file.Find("Path", "CompressIdle"));  // not a key of the save
}

TEST(ServerSettingsTest, WorkDirectoryComesFromTheRegistryElseTheCurrentDirectory) {
    CTempDir dir;
    CTempDir elsewhere;
    CallLog log;
    LoggingComponents parts{};
    ServerEnvironment env;
    env.prefix = "ZORV";
    env.registryFile = dir.File("registry.ini");

    CRegistryKey key(env.registryFile, "SOFTWARE\\ZORV_18");
    ASSERT_TRUE(key.Create());
    ASSERT_TRUE(key.SetString("WorkDirectory", elsewhere.Path()));
    {
        CTestServer server(env, LoggingComponents::Make(log, parts), log);
        EXPECT_EQ(server.WorkDir(), elsewhere.Path());
        EXPECT_EQ(server.SettingsPath(), elsewhere.File("ZORV_18.ini"));
        EXPECT_EQ(server.JournalPath(), elsewhere.File("ZORV_18.log"));
        EXPECT_EQ(server.FormatsPath(), elsewhere.File("ZORV_18.fmt"));
        EXPECT_EQ(server.DefaultRecordDirectory(), elsewhere.File("DvrFiles"));
    }
    ASSERT_TRUE(key.DeleteValue("WorkDirectory"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    {
        CTestServer server(env, LoggingComponents::Make(log, parts), log);
        EXPECT_EQ(server.WorkDir(), dir.Path());
    }
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
}  // namespace zorv::test
