// Deletion by size and age after a change of record directory: the records
// under the previous root are still reached, also after a restart.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/RecordServer.h"
#include "storage/RecordDbTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;

ServerEnvironment Environment(const CTempDir& dir) {
    ServerEnvironment env;
    env.prefix = "ZORV";
    env.workDir = dir.Path();
    env.registryFile = dir.File("registry.ini");
    return env;
}

CDataBase& Database(CRecordServer& server) {
    return dynamic_cast<CDataBase&>(*server.Components().database);
}

// A finished record of that day with a 1 MiB record file, entered into the
// database.
std::string Enter(CDataBase& db, const std::string& root, uint32_t year) {
    const std::string file =
        root + "/" + DayDirectoryName(year, 1, 1) + "/" + RecordName(year, 1, 1, 10, 0, 0, 0);
    tagDB_Record r = MakeRecord(year, 1, 1, 10, 0, 0, 0, file);
    WriteRecordFile(file, 1 << 20, r);
    EXPECT_TRUE(db.UpdateDbRecord(r, 0, 0));
    return file;
}

TEST(RecordRootsTest, DeletionsReachRecordsUnderEveryRootUsedBefore) {
    struct Case {
        const char* name;
        bool restart;  // a new server process between the change and the deletion
        bool byAge;    // DeleteBefore, else DeleteOldest
    };
    const auto deletion = [](CDataBase& db, bool byAge) {
        RecordDeletionTally tally;
        return byAge ? db.DeleteBefore(2021, 1, 1, tally) : db.DeleteOldest(1, tally);
    };
    const Case cases[] = {
        {"by age", false, true},
        {"by size", false, false},
        {"by age after a restart", true, true},
        {"by size after a restart", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string first = dir.File("first");
        const std::string second = dir.File("second");
        std::string old;
        {
            CRecordServer server(Environment(dir));
            ASSERT_EQ(server.SetRecordDirectory(0, first), 0);
            CDataBase& db = Database(server);
            ASSERT_TRUE(db.Open(dir.Path()));
            old = Enter(db, first, 2020);
            db.Close();
            // The record directory moves on; the old records stay where they are.
            ASSERT_EQ(server.SetRecordDirectory(0, second), 0);
            ASSERT_EQ(server.SetRecordDirectory(1, second), 0);
            if (!c.restart) {
                ASSERT_TRUE(db.Open(dir.Path()));
                EXPECT_EQ(deletion(db, c.byAge), 1);
                db.Close();
                EXPECT_FALSE(fs::exists(old));
                continue;
            }
        }
        CRecordServer server(Environment(dir));
        ASSERT_EQ(server.SetRecordDirectory(0, second), 0);
        ASSERT_EQ(server.SetRecordDirectory(1, second), 0);
        CDataBase& db = Database(server);
        ASSERT_TRUE(db.Open(dir.Path()));
        EXPECT_EQ(deletion(db, c.byAge), 1);
        db.Close();
        EXPECT_FALSE(fs::exists(old));
        EXPECT_EQ(CTableReader(dir.File("ZORV.dbf")).Count(), 0);
    }
}

}  // namespace
}  // namespace zorv::test
