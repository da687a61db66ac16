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

// A finished record of that day with a 1 MiB file, entered into the database.
std::string Enter(CDataBase& db, const std::string& root, uint32_t year) {
    const std::string file = root + "/" + std::to_string(year) + "0101.zr18/" +
                             std::to_string(year) + "0101100000000" + "00z18.wav";
    WriteFileOfSize(file, 1 << 20);
    tagDB_Record r = MakeRecord(year, 1, 1, 10, 0, 0, 0, file);
    EXPECT_TRUE(db.UpdateDbRecord(r, 0, 0));
    return file;
}

TEST(RecordRootsTest, DeletionsReachRecordsUnderEveryRootUsedBefore) {
    struct Case {
        const char* name;
        bool restart;  // a new server process between the change and the deletion
        bool byAge;    // DeleteBefore, else DeleteOldest
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
                EXPECT_EQ(c.byAge ? db.DeleteBefore(2021, 1, 1) : db.DeleteOldest(1), 1);
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
        EXPECT_EQ(c.byAge ? db.DeleteBefore(2021, 1, 1) : db.DeleteOldest(1), 1);
        db.Close();
        EXPECT_FALSE(fs::exists(old));
        EXPECT_EQ(CTableReader(dir.File("ZORV.dbf")).Count(), 0);
    }
}

}  // namespace
}  // namespace zorv::test
