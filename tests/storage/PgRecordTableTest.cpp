// The record table in a shared PostgreSQL database: the same operations as the
// SQLite table, rows kept apart by server, each server deleting only its own
// files. Runs against the throw-away server scripts/test starts
// ($ZORV_TEST_PG); each test works in a database of its own.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "RecordDbTestSupport.h"
#include "platform/Cp1251.h"
#include "storage/PgRecordTable.h"
#include "storage/RecordDbLibrary.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

// Runs sql on connection; the first column of the first row, or "" when none.
std::string Query(const std::string& connection, const std::string& sql) {
    PGconn* pg = PQconnectdb(connection.c_str());
    std::string value;
    if (PQstatus(pg) != CONNECTION_OK) {
        ADD_FAILURE() << PQerrorMessage(pg);
    } else {
        PGresult* r = PQexec(pg, sql.c_str());
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            ADD_FAILURE() << sql << ": " << PQresultErrorMessage(r);
        } else if (PQntuples(r) > 0) {
            value = PQgetvalue(r, 0, 0);
        }
        PQclear(r);
    }
    PQfinish(pg);
    return value;
}

class PgRecordTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("ZORV_TEST_PG");
        if (base == nullptr || *base == '\0') {
            GTEST_SKIP() << "no PostgreSQL server for the tests: scripts/test starts one when "
                            "the postgresql package is installed";
        }
        static std::atomic<int> counter{0};
        m_base = base;
        m_name = "zorv_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        Query(m_base, "CREATE DATABASE " + m_name);
        m_connection = m_base + " dbname=" + m_name;
    }
    void TearDown() override {
        if (!m_name.empty()) {
            Query(m_base, "DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
        }
    }

    std::unique_ptr<CPgRecordTable> Open(const std::string& owner) {
        std::string error;
        auto table = CPgRecordTable::Open(m_connection, owner, error);
        EXPECT_TRUE(table) << error;
        return table;
    }
    int64_t Count(const std::string& where) {
        return std::stoll(Query(m_connection, "SELECT count(*) FROM records WHERE " + where));
    }

    CTempDir m_dir;
    std::string m_base;
    std::string m_name;
    std::string m_connection;
};

TEST_F(PgRecordTableTest, ChangesFindTheirCallAndKeepTexts) {
    auto table = Open("alpha");
    ASSERT_TRUE(table);
    // A file name in any encoding is kept byte for byte (0x98 is no
    // windows-1251 character; it stands in the UTF-8 of Cyrillic letters).
    const std::string odd = "/rec/\xd0\x98\x98-a.wav";
    tagDB_Record a = MakeRecord(2026, 12, 1, 10, 0, 0, 1, odd, kFormatRecording);
    SetText(a.alias, Utf8ToCp1251("Линия 2"));
    ASSERT_TRUE(table->Append(a));
    uint32_t format = 0;
    EXPECT_EQ(table->FindFormat(a, format), 1);
    EXPECT_EQ(format, kFormatRecording);

    a.Format = kFormatConverted;
    ASSERT_TRUE(table->Update(a));
    EXPECT_EQ(table->FindFormat(a, format), 1);
    EXPECT_EQ(format, kFormatConverted);
    const tagDB_Record b = MakeRecord(2026, 12, 1, 11, 0, 0, 2, "/rec/b.wav", kFormatConverted);
    ASSERT_TRUE(table->Update(b));  // not stored yet: appended
    std::vector<std::string> files;
    ASSERT_EQ(table->FilesWithFormat(kFormatConverted, files), 2);
    EXPECT_EQ(files, (std::vector<std::string>{odd, "/rec/b.wav"}));
    EXPECT_EQ(Query(m_connection, "SELECT alias FROM records ORDER BY id LIMIT 1"), "Линия 2");

    ASSERT_TRUE(table->Delete(a));
    EXPECT_EQ(table->FindFormat(a, format), 0);
    EXPECT_EQ(Count("true"), 1);
}

TEST_F(PgRecordTableTest, ApplyKeepsTheChangesThatSucceeded) {
    auto table = Open("alpha");
    ASSERT_TRUE(table);
    const tagDB_Record a = MakeRecord(2026, 12, 1, 10, 0, 0, 1, "/rec/a.wav", kFormatRecording);
    tagDB_Record a2 = a;
    a2.Format = kFormatPcm;
    const tagDB_Record b = MakeRecord(2026, 12, 1, 10, 5, 0, 2, "/rec/b.wav");
    // The database refuses one record: only that change is undone.
    Query(m_connection,
          "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.namefile = "
          "convert_to('/rec/bad.wav', 'UTF8') THEN RAISE EXCEPTION 'refused'; END IF; "
          "RETURN NEW; END $$ LANGUAGE plpgsql");
    Query(m_connection,
          "CREATE TRIGGER refuse BEFORE INSERT ON records FOR EACH ROW EXECUTE FUNCTION refuse()");
    const tagDB_Record bad = MakeRecord(2026, 12, 1, 10, 6, 0, 3, "/rec/bad.wav");
    const RecordDbChange changes[] = {
        {RecordDbChange::Kind::kAppend, &a},   {RecordDbChange::Kind::kAppend, &b},
        {RecordDbChange::Kind::kAppend, &bad}, {RecordDbChange::Kind::kUpdate, &a2},
        {RecordDbChange::Kind::kDelete, &b},   {static_cast<RecordDbChange::Kind>(99), &a},
    };
    int32_t results[6] = {};
    ASSERT_TRUE(table->Apply(changes, results));
    EXPECT_EQ(std::vector<int32_t>(results, results + 6),
              (std::vector<int32_t>{0, 0, -1, 0, 0, -1}));
    EXPECT_EQ(Count("true"), 1);
    EXPECT_EQ(Count("Format = 0"), 1);
}

TEST_F(PgRecordTableTest, EachServerDeletesOnlyItsOwnRecordsAndFiles) {
    auto alpha = Open("alpha");
    auto beta = Open("beta");
    ASSERT_TRUE(alpha && beta);
    const std::string rootA = m_dir.File("a");
    const std::string rootB = m_dir.File("b");
    alpha->SetRecordRoots({rootA});
    beta->SetRecordRoots({rootB});
    // Both servers hold records of the same days, one MiB each; beta's
    // are the older ones.
    const auto fileA = [&](uint32_t day) {
        return rootA + "/" + RecordName(2026, 11, day, 12, 0, 0);
    };
    const auto fileB = [&](uint32_t day) {
        return rootB + "/" + RecordName(2026, 11, day, 11, 0, 0);
    };
    for (uint32_t day = 1; day <= 4; ++day) {
        WriteRecordFile(fileA(day), 1 << 20);
        WriteRecordFile(fileB(day), 1 << 20);
        ASSERT_TRUE(alpha->Append(MakeRecord(2026, 11, day, 12, 0, 0, 1, fileA(day))));
        ASSERT_TRUE(beta->Append(MakeRecord(2026, 11, day, 11, 0, 0, 1, fileB(day))));
    }
    // Alpha's oldest row names a file of its root that is no record: it stays.
    const std::string notes = rootA + "/notes.wav";
    WriteFileOfSize(notes, 1 << 20);
    ASSERT_TRUE(alpha->Append(MakeRecord(2026, 10, 1, 0, 0, 0, 1, notes)));

    RecordDeletionTally tally;
    EXPECT_EQ(alpha->DeleteOldest(2, &tally), 2);
    EXPECT_TRUE(Exists(notes));
    EXPECT_FALSE(Exists(fileA(1)));
    EXPECT_FALSE(Exists(fileA(2)));
    EXPECT_TRUE(Exists(fileA(3)));
    EXPECT_EQ(tally.files, 2u);
    EXPECT_EQ(tally.oldest, (RecordDeletionTally::Start{2026, 11, 1, 12, 0, 0}));
    EXPECT_EQ(tally.newest, (RecordDeletionTally::Start{2026, 11, 2, 12, 0, 0}));
    EXPECT_EQ(Count("owner = 'alpha'"), 3);
    EXPECT_EQ(Count("owner = 'beta'"), 4);
    for (uint32_t day = 1; day <= 4; ++day) {
        EXPECT_TRUE(Exists(fileB(day))) << day;
    }

    tally = {};
    EXPECT_EQ(beta->DeleteBefore(2026, 11, 4, &tally), 3);
    EXPECT_EQ(tally.files, 3u);
    EXPECT_EQ(Count("owner = 'beta'"), 1);
    EXPECT_EQ(Count("owner = 'alpha'"), 3);
    EXPECT_TRUE(Exists(fileA(3)));
    EXPECT_TRUE(Exists(fileB(4)));
    // The same call key under another owner is not this server's call.
    uint32_t format = 0;
    EXPECT_EQ(beta->FindFormat(MakeRecord(2026, 11, 3, 12, 0, 0, 1, fileA(3)), format), 0);
}

TEST_F(PgRecordTableTest, TwoServersAppendingTogetherKeepEveryRecordOnce) {
    constexpr int kBatches = 20;
    constexpr int kPerBatch = 25;
    auto write = [&](const std::string& owner) {
        auto table = Open(owner);
        ASSERT_TRUE(table);
        for (int b = 0; b < kBatches; ++b) {
            std::vector<tagDB_Record> records;
            for (int i = 0; i < kPerBatch; ++i) {
                const int n = b * kPerBatch + i;
                records.push_back(MakeRecord(2026, 12, 1, static_cast<uint32_t>(n / 3600),
                                             static_cast<uint32_t>(n / 60 % 60),
                                             static_cast<uint32_t>(n % 60), 1,
                                             "/rec/" + owner + std::to_string(n) + ".wav"));
            }
            std::vector<RecordDbChange> changes;
            for (const tagDB_Record& r : records) {
                changes.push_back({RecordDbChange::Kind::kAppend, &r});
            }
            std::vector<int32_t> results(changes.size());
            ASSERT_TRUE(table->Apply(changes, results));
        }
    };
    std::thread one(write, "alpha");
    std::thread two(write, "beta");
    one.join();
    two.join();
    for (const char* owner : {"alpha", "beta"}) {
        EXPECT_EQ(Count(std::string("owner = '") + owner + "'"), kBatches * kPerBatch);
        EXPECT_EQ(std::stoll(Query(m_connection,
                                   std::string("SELECT count(DISTINCT namefile) FROM records "
                                               "WHERE owner = '") +
                                       owner + "'")),
                  kBatches * kPerBatch);
    }
}

TEST_F(PgRecordTableTest, TheLibraryKeepsServerTablesInTheSharedDatabase) {
    CRecordDbLibrary library;
    library.UseSharedDatabase(m_connection, "alpha");
    const int32_t server = library.Open(IRecordDbLibrary::kKindRecordTable, m_dir.Path(),
                                        "ZORV.dbf", IRecordDbLibrary::kModeServer);
    ASSERT_NE(server, -1) << library.SharedDatabaseError();
    const int32_t copy = library.Open(IRecordDbLibrary::kKindRecordTable, m_dir.Path(), "copy.dbf",
                                      IRecordDbLibrary::kModeArchiveCopy);
    ASSERT_NE(copy, -1);
    EXPECT_EQ(library.Append(server, MakeRecord(2026, 12, 1, 9, 0, 0, 1, "/rec/x.wav")), 0);
    EXPECT_EQ(library.Append(copy, MakeRecord(2026, 12, 1, 9, 0, 0, 1, "x.wav")), 0);
    EXPECT_EQ(Count("owner = 'alpha'"), 1);
    EXPECT_FALSE(Exists(m_dir.File("ZORV.dbf")));  // no SQLite file for the server's table
    EXPECT_TRUE(Exists(m_dir.File("copy.dbf")));   // archive copies stay files
}

TEST(PgRecordTableOpenTest, AnUnreachableDatabaseIsReported) {
    std::string error;
    EXPECT_FALSE(
        CPgRecordTable::Open("host=/nonexistent/socket/dir connect_timeout=2", "alpha", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(CPgRecordTable::Open("host=/nonexistent", "", error));
    EXPECT_NE(error.find("name"), std::string::npos) << error;
}

}  // namespace
}  // namespace zorv::test
