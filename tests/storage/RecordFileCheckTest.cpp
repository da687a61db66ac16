// The one definition of a file the server could have written as a record,
// which the record intake and the deletions both apply: its name, its place
// below a record root, and its contents read through an open descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "storage/RecordDbTestSupport.h"
#include "storage/RecordFileCheck.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(RecordFileCheckTest, RecordNames) {
    const struct {
        const char* name;
        bool record;
    } cases[] = {
        {"2024010512304500710z18.wav", true},        // line 007, counter 1, device 0
        {"20240105123045123456789z18.wav", true},    // a long counter
        {"20240105123045001000_rmo_z18.wav", true},  // a monitor record
        {"20240105123045001000Z18.WAV", true},       // letters in any case
        {"20240105123045001000_RMO_z18.wav", true},
        {"20241231235960001000z18.wav", true},   // a leap second
        {"202401051230450010z18.wav", false},    // four digits after the start
        {"20241305123045001000z18.wav", false},  // month 13
        {"20240100123045001000z18.wav", false},  // day 0
        {"20240105243045001000z18.wav", false},  // hour 24
        {"20240105126045001000z18.wav", false},  // minute 60
        {"20240105123045001000z18.wav.txt", false},
        {"20240105123045001000z19.wav", false},  // another edition's suffix
        {"20240105123045001000.wav", false},
        {"2024010512304500a000z18.wav", false},
        {"x20240105123045001000z18.wav", false},
        {".20240105123045001000z18.wav.hidden", false},  // a side record of the mark
        {"20240105123045001000_rmo__rmo_z18.wav", false},
        {"notes.wav", false},
        {"z18.wav", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsRecordFileName(c.name), c.record) << c.name;
    }
    EXPECT_TRUE(IsRecordDayDirectoryName("20240105.zr18"));
    EXPECT_TRUE(IsRecordDayDirectoryName("20240105.ZR18"));
    EXPECT_FALSE(IsRecordDayDirectoryName("20240105.zr19"));
    EXPECT_FALSE(IsRecordDayDirectoryName("2024010.zr18"));
    EXPECT_FALSE(IsRecordDayDirectoryName("2024O105.zr18"));
    EXPECT_FALSE(IsRecordDayDirectoryName("unreadable"));
}

TEST(RecordFileCheckTest, PlacesBelowTheRoots) {
    CTempDir dir;
    const std::string root = dir.File("rec");
    const std::string name = RecordName(2024, 1, 5, 12, 30, 45);
    std::filesystem::create_directories(root + "/20240105.zr18");
    std::filesystem::create_directories(dir.File("elsewhere"));
    // The root reached through a link of its own is still the root.
    std::filesystem::create_directory_symlink(root, dir.File("linked-root"));
    std::filesystem::create_directory_symlink(dir.File("elsewhere"), root + "/20240106.zr18");
    WriteRecordFile(root + "/20240105.zr18/" + name, 0);
    std::filesystem::create_symlink(root + "/20240105.zr18/" + name, root + "/" + name);
    const struct {
        const char* what;
        std::string path;
        std::vector<std::string> roots;
        ERecordFileFault fault;
    } cases[] = {
        {"flat", root + "/" + RecordName(2024, 1, 5, 12, 0, 0), {root}, ERecordFileFault::kNone},
        {"in a day directory", root + "/20240105.zr18/" + name, {root}, ERecordFileFault::kNone},
        {"a file not there yet", root + "/20240107.zr18/" + name, {root}, ERecordFileFault::kNone},
        {"a root given with a trailing /",
         root + "//" + RecordName(2024, 1, 5, 12, 0, 0),
         {root + "/"},
         ERecordFileFault::kNone},
        {"a root reached through a link",
         dir.File("linked-root/") + RecordName(2024, 1, 5, 12, 0, 0),
         {dir.File("linked-root")},
         ERecordFileFault::kNone},
        {"in the inner of two nested roots",
         root + "/" + RecordName(2024, 1, 5, 12, 0, 0),
         {dir.Path(), root},
         ERecordFileFault::kNone},
        {"no root", root + "/" + name, {}, ERecordFileFault::kNotInRoot},
        {"a neighbour of the root", root + "x/" + name, {root}, ERecordFileFault::kNotInRoot},
        {"out of the root by ..",
         root + "/../elsewhere/" + name,
         {root},
         ERecordFileFault::kNotInRoot},
        {"back into the root by ..",
         root + "/20240105.zr18/../" + name,
         {root},
         ERecordFileFault::kLinked},
        {"a link named as a record", root + "/" + name, {root}, ERecordFileFault::kLinked},
        {"a day directory that is a link",
         root + "/20240106.zr18/" + name,
         {root},
         ERecordFileFault::kLinked},
        {"not a record name", root + "/notes.wav", {root}, ERecordFileFault::kBadName},
        {"in a directory that is no day directory",
         root + "/unreadable/" + name,
         {root},
         ERecordFileFault::kBadName},
        {"two levels of day directories",
         root + "/20240105.zr18/20240105.zr18/" + name,
         {root},
         ERecordFileFault::kBadName},
        {"a relative path", "rec/" + name, {root}, ERecordFileFault::kNotInRoot},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocateRecordFile(c.path, c.roots).fault, c.fault) << c.what;
    }
}

TEST(RecordFileCheckTest, ContentsAreReadThroughTheOpenFile) {
    CTempDir dir;
    const struct {
        const char* what;
        void (*write)(const std::string& path);
        ERecordFileFault fault;
    } cases[] = {
        {"a record", [](const std::string& p) { WriteRecordFile(p, 4096); },
         ERecordFileFault::kNone},
        {"a record cut short (its header alone)",
         [](const std::string& p) { WriteRecordFile(p, 0); }, ERecordFileFault::kNone},
        {"text", [](const std::string& p) { WriteFileOfSize(p, 4096); },
         ERecordFileFault::kNoHeader},
        {"empty", [](const std::string& p) { WriteFileOfSize(p, 0); }, ERecordFileFault::kNoHeader},
        {"a record without its metadata chunk",
         [](const std::string& p) {
             WriteRecordFile(p, 4096);
             std::fstream file(p, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(12 + 8 + 18 + 8 + 4);
             file.write("XHDR", 4);  // "SHDR" renamed: a chunk of no meaning
         },
         ERecordFileFault::kNoHeader},
        {"a directory", [](const std::string& p) { std::filesystem::create_directory(p); },
         ERecordFileFault::kNotRegular},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = dir.File(std::to_string(n++));
        c.write(path);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << c.what;
        EXPECT_EQ(CheckRecordContents(fd), c.fault) << c.what;
        ::close(fd);
    }
}

}  // namespace
}  // namespace zorv::test
