// The modes of what the server creates, whatever the umask it was started
// with, and the lock that keeps a second server out of a work directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "platform/ZipArchive.h"
#include "support/FileModes.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

// Each way of creating a file or directory, under a umask that takes nothing
// away: the mode is the one asked for, not 0666 or 0777 less the umask.
TEST(FileOpsTest, CreatedFilesAndDirectoriesHaveTheirOwnMode) {
    const CTempDir dir;
    WriteBytes(dir.File("journal.log"), "line\n");
    const CUmaskScope wide(0);
    EXPECT_TRUE(MakeDirectories(dir.File("root/2026/day/")));
    EXPECT_TRUE(MakeDirectories(dir.File("root/2026/day")));  // there already
    EXPECT_TRUE(CreateFileIfMissing(dir.File("root/table.db"), kDataFileMode));
    EXPECT_TRUE(
        WriteFile(dir.File("root/exception.log"), "a\n", kDataFileMode, FileWrite::kAppend));
    EXPECT_TRUE(
        WriteFile(dir.File("root/unit.service"), "u\n", kSystemFileMode, FileWrite::kReplace));
    EXPECT_TRUE(
        CreateZipWithFile(dir.File("root/journal.zip"), dir.File("journal.log"), "journal.log"));
    struct Case {
        const char* path;
        const char* mode;
    };
    for (const Case c :
         {Case{"root", "drwxr-x---"}, Case{"root/2026", "drwxr-x---"},
          Case{"root/2026/day", "drwxr-x---"}, Case{"root/table.db", "-rw-r-----"},
          Case{"root/exception.log", "-rw-r-----"}, Case{"root/unit.service", "-rw-r--r--"},
          Case{"root/journal.zip", "-rw-r-----"}}) {
        EXPECT_EQ(ModeText(dir.File(c.path)), c.mode) << c.path;
    }
}

// An existing file is never emptied or given another mode by a creation;
// a replacement gets exactly its mode; an append keeps the file's mode.
TEST(FileOpsTest, ExistingFilesKeepWhatTheyHave) {
    const CTempDir dir;
    const std::string file = dir.File("file");
    WriteBytes(file, "kept\n");
    ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
    EXPECT_TRUE(CreateFileIfMissing(file, kDataFileMode));
    EXPECT_EQ(ReadBytes(file), "kept\n");
    EXPECT_EQ(ModeText(file), "-rw----r--");
    EXPECT_TRUE(WriteFile(file, "more\n", kDataFileMode, FileWrite::kAppend));
    EXPECT_EQ(ReadBytes(file), "kept\nmore\n");
    EXPECT_EQ(ModeText(file), "-rw----r--");
    EXPECT_TRUE(WriteFile(file, "new\n", kSystemFileMode, FileWrite::kReplace));
    EXPECT_EQ(ReadBytes(file), "new\n");
    EXPECT_EQ(ModeText(file), "-rw-r--r--");
    // A path through a file is no directory.
    EXPECT_FALSE(MakeDirectories(file + "/below"));
    EXPECT_FALSE(CreateFileIfMissing(dir.File("none/file"), kDataFileMode));
}

// Two holders of one lock file: the second learns who holds it, and takes it
// once the first is gone. The file is for the service's user and group.
TEST(FileOpsTest, LockFileHasOneHolderAtATime) {
    const CTempDir dir;
    const std::string path = dir.File("Server.lock");
    const CUmaskScope wide(0);
    auto first = std::make_unique<CFileLock>();
    ASSERT_EQ(first->Take(path, kDataFileMode), CFileLock::Result::kTaken);
    EXPECT_EQ(ModeText(path), "-rw-r-----");
    EXPECT_EQ(ReadBytes(path), std::to_string(::getpid()) + "\n");
    CFileLock second;
    EXPECT_EQ(second.Take(path, kDataFileMode), CFileLock::Result::kHeld);
    EXPECT_EQ(second.Holder(), ::getpid());
    first.reset();
    EXPECT_EQ(second.Take(path, kDataFileMode), CFileLock::Result::kTaken);
    CFileLock nowhere;
    EXPECT_EQ(nowhere.Take(dir.File("none/Server.lock"), kDataFileMode),
              CFileLock::Result::kFailed);
}

}  // namespace
}  // namespace zorv::test
