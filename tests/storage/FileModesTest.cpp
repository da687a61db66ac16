// What the storage layer creates is for the service's user and group only,
// whatever the umask of the process: records and their side files, the
// formats file and the record database with SQLite's own files beside it.
#include <gtest/gtest.h>

#include "storage/FormatTable.h"
#include "storage/HiddenMark.h"
#include "storage/RecordDbTable.h"
#include "storage/RecordDbTestSupport.h"
#include "storage/WavFile.h"
#include "support/FileModes.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(StorageFileModesTest, RecordsMarksAndFormats) {
    const CTempDir dir;
    const CUmaskScope wide(0);
    const std::string record = dir.File("2026010112000000000z18.wav");
    CWavFile wav;
    wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
    ASSERT_TRUE(wav.CreateNew(record, 0, CWavFile::kShareRead, true));
    ASSERT_TRUE(wav.Close());
    ASSERT_TRUE(CHiddenMark(CHiddenMark::Store::kSideRecord).Set(record));
    CFormatTable formats(dir.File("ZORV_18.fmt"), nullptr);
    ASSERT_TRUE(formats.SetDefaults());
    for (const std::string& path :
         {record, CHiddenMark::SideRecord(record), dir.File("ZORV_18.fmt")}) {
        EXPECT_EQ(ModeText(path), "-rw-r-----") << path;
    }
}

// SQLite makes a new database 0644 less the umask, and its write-ahead log
// and shared memory with the database's mode.
TEST(StorageFileModesTest, RecordDatabaseWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        const CTempDir dir;
        const CUmaskScope scope(mask);
        auto table = CRecordDbTable::Open(dir.Path(), "ZORV.dbf", CRecordDbTable::Layout::kServer);
        ASSERT_NE(table, nullptr);
        ASSERT_TRUE(table->Append(MakeRecord(2026, 1, 1, 12, 0, 0, 1, dir.File("a.wav"))));
        for (const char* file : {"ZORV.dbf", "ZORV.dbf-wal", "ZORV.dbf-shm"}) {
            EXPECT_EQ(ModeText(dir.File(file)), "-rw-r-----") << file;
        }
    }
}

}  // namespace
}  // namespace zorv::test
