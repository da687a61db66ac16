#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/IniFile.h"
#include "support/FileModes.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;
using test::CUmaskScope;
using test::ModeText;

using test::ReadBytes;
using test::WriteBytes;

// ---------------------------------------------------------------- reading

// CRLF line ends throughout: none of the values may keep a CR.
constexpr std::string_view kReadFile =
    "; settings written by hand\r\n"
    "outside=before any section\r\n"
    "[Main]\r\n"
    "  Name = Recorder One  \r\n"
    "Count=12abc\r\n"
    "Spaced=\" 7\"\r\n"
    "Negative=-3\r\n"
    "Plus=+5\r\n"
    "Letters=abc\r\n"
    "Empty=\r\n"
    "DoubleQuoted=\"  padded  \"\r\n"
    "SingleQuoted='x'\r\n"
    "Mismatched=\"x'\r\n"
    "LoneQuote=\"\r\n"
    "Equals=a=b\r\n"
    "a line without an equals sign\r\n"
    "=no name\r\n"
    "Dup=first\r\n"
    "DUP=second\r\n"
    "Cyrillic=\xCF\xF0\xE8\xE2\xE5\xF2\r\n"
    "[main]\r\n"
    "Other=in the second section of that name\r\n"
    "[ Limits ]\r\n"
    "Huge=99999999999999999999999\r\n"
    "Tiny=-99999999999999999999999\r\n"
    "Max=9223372036854775807\r\n"
    "Min=-9223372036854775808\r\n";

struct ReadCase {
    const char* what;
    bool missingFile;
    const char* section;
    const char* key;
    std::size_t bufferSize;
    const char* text;  // GetString with default "DEFAULT"
    int64_t number;    // GetInt with default -99
};

constexpr int64_t kIntDefault = -99;
constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
constexpr int64_t kMinInt = std::numeric_limits<int64_t>::min();

const ReadCase kReadCases[] = {
    {"missing file", true, "Main", "Name", 260, "DEFAULT", kIntDefault},
    {"missing section", false, "Absent", "Name", 260, "DEFAULT", kIntDefault},
    {"missing key", false, "Main", "Absent", 260, "DEFAULT", kIntDefault},
    {"exact case, trimmed", false, "Main", "Name", 260, "Recorder One", 0},
    {"other letter case", false, "mAIN", "nAME", 260, "Recorder One", 0},
    {"section name trimmed", false, "limits", "Max", 260, "9223372036854775807", kMaxInt},
    {"leading digits", false, "Main", "Count", 260, "12abc", 12},
    {"blank before digits", false, "Main", "Spaced", 260, " 7", 7},
    {"negative", false, "Main", "Negative", 260, "-3", -3},
    {"plus sign", false, "Main", "Plus", 260, "+5", 5},
    {"no digits", false, "Main", "Letters", 260, "abc", 0},
    {"empty value is not the default", false, "Main", "Empty", 260, "", 0},
    {"double quotes removed", false, "Main", "DoubleQuoted", 260, "  padded  ", 0},
    {"single quotes removed", false, "Main", "SingleQuoted", 260, "x", 0},
    {"mismatched quotes kept", false, "Main", "Mismatched", 260, "\"x'", 0},
    {"lone quote kept", false, "Main", "LoneQuote", 260, "\"", 0},
    {"split at the first equals", false, "Main", "Equals", 260, "a=b", 0},
    {"line without equals", false, "Main", "a line without an equals sign", 260, "DEFAULT",
     kIntDefault},
    {"key outside a section", false, "", "outside", 260, "DEFAULT", kIntDefault},
    {"first duplicate key wins", false, "Main", "dup", 260, "first", 0},
    {"first duplicate section wins", false, "MAIN", "Other", 260, "DEFAULT", kIntDefault},
    {"bytes passed unchanged", false, "Main", "Cyrillic", 260, "\xCF\xF0\xE8\xE2\xE5\xF2", 0},
    {"cut to buffer size 1", false, "Main", "Name", 1, "", 0},
    {"cut to buffer size 4", false, "Main", "Name", 4, "Rec", 0},
    {"buffer one short", false, "Main", "Name", 12, "Recorder On", 0},
    {"buffer exactly fits", false, "Main", "Name", 13, "Recorder One", 0},
    {"buffer size 0", false, "Main", "Name", 0, "", 0},
    {"default cut too", false, "Main", "Absent", 4, "DEF", kIntDefault},
    {"overflow clamps high", false, "Limits", "Huge", 260, "99999999999999999999999", kMaxInt},
    {"overflow clamps low", false, "Limits", "Tiny", 260, "-99999999999999999999999", kMinInt},
    {"int64 minimum", false, "Limits", "Min", 260, "-9223372036854775808", kMinInt},
};

TEST(IniFileRead, Cases) {
    CTempDir dir;
    WriteBytes(dir.File("settings.ini"), kReadFile);
    const IniFile present(dir.File("settings.ini"));
    const IniFile missing(dir.File("absent.ini"));

    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.what);
        const IniFile& file = c.missingFile ? missing : present;
        EXPECT_EQ(file.GetString(c.section, c.key, "DEFAULT", c.bufferSize), c.text);
        EXPECT_EQ(file.GetInt(c.section, c.key, kIntDefault), c.number);
        // No value in the file reads as kIntDefault, so it marks the missing ones.
        EXPECT_EQ(file.Find(c.section, c.key).has_value(), c.number != kIntDefault);
    }
}

TEST(IniFileRead, ParseLeadingInt) {
    EXPECT_EQ(IniFile::ParseLeadingInt("\t 42 "), 42);
    EXPECT_EQ(IniFile::ParseLeadingInt("- 4"), 0);
    EXPECT_EQ(IniFile::ParseLeadingInt("-"), 0);
    EXPECT_EQ(IniFile::ParseLeadingInt("0x1F"), 0);
    EXPECT_EQ(IniFile::ParseLeadingInt("007"), 7);
}

TEST(IniFileRead, ListsSectionsAndKeysOnce) {
    CTempDir dir;
    WriteBytes(dir.File("settings.ini"), kReadFile);
    const IniFile file(dir.File("settings.ini"));

    EXPECT_EQ(file.Sections(), (std::vector<std::string>{"Main", "Limits"}));
    EXPECT_EQ(file.Keys("limits"), (std::vector<std::string>{"Huge", "Tiny", "Max", "Min"}));
    const std::vector<std::string> mainKeys = file.Keys("MAIN");
    EXPECT_EQ(std::count(mainKeys.begin(), mainKeys.end(), "Dup"), 1);
    EXPECT_EQ(std::count(mainKeys.begin(), mainKeys.end(), "DUP"), 0);
    EXPECT_EQ(mainKeys.front(), "Name");
    EXPECT_TRUE(file.Keys("Absent").empty());
    EXPECT_TRUE(file.HasSection("LIMITS"));
    EXPECT_FALSE(file.HasSection("Absent"));
}

// A directory where the file should be reads as a missing file and refuses
// every write, without touching the directory.
TEST(IniFileRead, UnreadablePathActsAsMissing) {
    CTempDir dir;
    const IniFile file(dir.Path());
    EXPECT_EQ(file.GetString("Main", "Name", "DEFAULT"), "DEFAULT");
    EXPECT_FALSE(file.HasSection("Main"));
    EXPECT_FALSE(IniFile(dir.Path()).WriteString("Main", "Name", "x"));
    EXPECT_FALSE(IniFile(dir.Path()).DeleteKey("Main", "Name"));
    EXPECT_FALSE(IniFile(dir.File("no/such/dir.ini")).WriteString("Main", "Name", "x"));
}

// ---------------------------------------------------------------- writing

class IniFileWrite : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("settings.ini"); }
    IniFile File() const { return IniFile(Path()); }

    CTempDir m_dir;
};

TEST_F(IniFileWrite, ReplacesInPlaceKeepingEverythingElse) {
    WriteBytes(Path(),
               "; top comment\r\n"
               "[Main]\r\n"
               "  Port = 5000 ; old\r\n"
               "# hash comment\r\n"
               "Name=x\r\n"
               "\r\n"
               "[Other]\r\n"
               "Port=1\r\n");
    ASSERT_TRUE(File().WriteString("MAIN", "port", "6000"));
    EXPECT_EQ(ReadBytes(Path()),
              "; top comment\r\n"
              "[Main]\r\n"
              "  Port =6000\r\n"
              "# hash comment\r\n"
              "Name=x\r\n"
              "\r\n"
              "[Other]\r\n"
              "Port=1\r\n");
    EXPECT_EQ(File().GetInt("Main", "Port", 0), 6000);
}

TEST_F(IniFileWrite, ReplacesOnlyTheFirstDuplicate) {
    WriteBytes(Path(), "[A]\nk=1\nK=2\n");
    ASSERT_TRUE(File().WriteInt("a", "k", -7));
    EXPECT_EQ(ReadBytes(Path()), "[A]\nk=-7\nK=2\n");
}

TEST_F(IniFileWrite, AppendsAfterTheLastKeyOfTheSection) {
    WriteBytes(Path(),
               "[A]\n"
               "one=1\n"
               "two=2\n"
               "\n"
               "; about B\n"
               "[B]\n"
               "x=y");  // no line end at the end of the file
    ASSERT_TRUE(File().WriteUint("a", "three", 4294967295u));
    ASSERT_TRUE(File().WriteString("B", "z", "w"));
    EXPECT_EQ(ReadBytes(Path()),
              "[A]\n"
              "one=1\n"
              "two=2\n"
              "three=4294967295\n"
              "\n"
              "; about B\n"
              "[B]\n"
              "x=y\n"
              "z=w\n");
}

TEST_F(IniFileWrite, AppendsToAnEmptySection) {
    WriteBytes(Path(), "[A]\n\n[B]\n");
    ASSERT_TRUE(File().WriteString("A", "k", "v"));
    EXPECT_EQ(ReadBytes(Path()), "[A]\nk=v\n\n[B]\n");
}

TEST_F(IniFileWrite, AppendsANewSectionAtTheEnd) {
    WriteBytes(Path(), "[A]\r\nk=v\r\n");
    ASSERT_TRUE(File().WriteString("New Section", "Key", "value with = and ;"));
    EXPECT_EQ(ReadBytes(Path()), "[A]\r\nk=v\r\n\r\n[New Section]\r\nKey=value with = and ;\r\n");
    EXPECT_EQ(File().GetString("new section", "key", ""), "value with = and ;");
}

TEST_F(IniFileWrite, CreatesANewFile) {
    ASSERT_TRUE(File().WriteString("S", "k", "v"));
    ASSERT_TRUE(File().WriteString("S", "k2", "v2"));
    EXPECT_EQ(ReadBytes(Path()), "[S]\nk=v\nk2=v2\n");
}

// A new settings file is for the service's user and group, one holding
// passwords for its user alone, whatever the umask; an owner-only file that
// has wider bits loses them at its next write, or when asked to.
TEST_F(IniFileWrite, ModesOfTheFilesItWrites) {
    struct Case {
        const char* what;
        IniAccess access;
        const char* before;  // the file's mode before, "" for no file
        bool restrict;       // RestrictAccess instead of a write
        const char* after;
    };
    const Case cases[] = {
        {"new settings", IniAccess::kGroup, "", false, "-rw-r-----"},
        {"new secrets", IniAccess::kOwner, "", false, "-rw-------"},
        {"settings made readable by all", IniAccess::kGroup, "644", false, "-rw-r--r--"},
        {"secrets readable by all, written", IniAccess::kOwner, "644", false, "-rw-------"},
        {"secrets readable by all, restricted", IniAccess::kOwner, "664", true, "-rw-------"},
        {"settings are not restricted", IniAccess::kGroup, "644", true, "-rw-r--r--"},
    };
    const CUmaskScope wide(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(Path());
        if (*c.before != '\0') {
            WriteBytes(Path(), "[S]\nk=v\n");
            ASSERT_EQ(::chmod(Path().c_str(), std::stoi(c.before, nullptr, 8)), 0);
        }
        IniFile file(Path(), c.access);
        if (c.restrict) {
            EXPECT_TRUE(file.RestrictAccess());
            EXPECT_EQ(file.GetString("S", "k", ""), "v");
        } else {
            ASSERT_TRUE(file.WriteString("S", "k", "w"));
        }
        EXPECT_EQ(ModeText(Path()), c.after);
    }
    std::filesystem::remove(Path());
    EXPECT_TRUE(IniFile(Path(), IniAccess::kOwner).RestrictAccess()) << "nothing to restrict";
}

TEST_F(IniFileWrite, KeepsPermissionsAndLeavesNoTemporaryFile) {
    WriteBytes(Path(), "[S]\nk=v\n");
    ASSERT_EQ(::chmod(Path().c_str(), 0600), 0);
    ASSERT_TRUE(File().WriteString("S", "k", "w"));
    struct stat st {};
    ASSERT_EQ(::stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(m_dir.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

// Writes that would not read back as the same key.
struct Refused {
    const char* what;
    std::string_view section, key, value;
};
const Refused kRefusedWrites[] = {
    {"LF in value", "S", "k", "a\nb=c"},   {"CR in value", "S", "k", "a\rb"},
    {"LF in key", "S", "k\nx", "v"},       {"equals in key", "S", "k=x", "v"},
    {"bracket in key", "S", "[k", "v"},    {"comment key", "S", ";k", "v"},
    {"empty key", "S", "", "v"},           {"blank around key", "S", " k", "v"},
    {"LF in section", "S\n[T]", "k", "v"}, {"empty section", "", "k", "v"},
};

TEST_F(IniFileWrite, RefusesWhatWouldNotReadBack) {
    const std::string before = "[S]\nk=old\n";
    WriteBytes(Path(), before);
    for (const Refused& c : kRefusedWrites) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(File().WriteString(c.section, c.key, c.value));
        EXPECT_EQ(ReadBytes(Path()), before);
    }
    EXPECT_FALSE(File().EnsureSection("two\nlines"));
}

TEST_F(IniFileWrite, WritesManyKeysAtOnce) {
    WriteBytes(Path(),
               "[A]\n"
               "one=1\n"
               "; keep\n"
               "\n"
               "[B]\n"
               "x=y\n");
    ASSERT_TRUE(File().WriteMany({
        {"a", "ONE", "11"},
        {"A", "two", "2"},
        {"B", "x", "y"},  // already holds the value
        {"New", "k", "first"},
        {"new", "K", "second"},  // the later write of a key counts
    }));
    EXPECT_EQ(ReadBytes(Path()),
              "[A]\n"
              "one=11\n"
              "two=2\n"
              "; keep\n"
              "\n"
              "[B]\n"
              "x=y\n"
              "\n"
              "[New]\n"
              "k=second\n");
}

TEST_F(IniFileWrite, WriteManyWithNothingToChangeLeavesTheFileAlone) {
    WriteBytes(Path(), "[A]\nk=1\n");
    struct stat before {};
    ASSERT_EQ(::stat(Path().c_str(), &before), 0);
    ASSERT_TRUE(File().WriteMany({{"A", "k", "1"}, {"a", "K", "1"}}));
    ASSERT_TRUE(File().WriteMany({}));
    struct stat after {};
    ASSERT_EQ(::stat(Path().c_str(), &after), 0);
    // A rewrite would have renamed a new file over it.
    EXPECT_EQ(after.st_ino, before.st_ino);

    EXPECT_TRUE(IniFile(m_dir.File("absent.ini")).WriteMany({}));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("absent.ini")));
    EXPECT_FALSE(IniFile(m_dir.Path()).WriteMany({{"A", "k", "2"}}));
}

// One refused key refuses the whole batch, wherever it stands in it.
TEST_F(IniFileWrite, WriteManyIsAllOrNothing) {
    const std::string before = "[S]\nk=old\n";
    WriteBytes(Path(), before);
    for (const Refused& c : kRefusedWrites) {
        SCOPED_TRACE(c.what);
        const IniWrite good{"S", "k", "new"};
        const IniWrite refused{std::string(c.section), std::string(c.key), std::string(c.value)};
        EXPECT_FALSE(File().WriteMany({good, refused}));
        EXPECT_FALSE(File().WriteMany({refused, good}));
        EXPECT_EQ(ReadBytes(Path()), before);
    }
}

TEST_F(IniFileWrite, DeletesKeysAndSections) {
    WriteBytes(Path(),
               "[A]\n"
               "k=1\n"
               "; keep\n"
               "K=2\n"
               "other=3\n"
               "\n"
               "[B]\n"
               "k=4\n"
               "\n"
               "[a]\n"
               "k=5\n");
    ASSERT_TRUE(File().DeleteKey("a", "K"));
    EXPECT_FALSE(File().Find("A", "k").has_value());
    EXPECT_EQ(ReadBytes(Path()), "[A]\n; keep\nother=3\n\n[B]\nk=4\n\n[a]\nk=5\n");

    ASSERT_TRUE(File().DeleteKey("A", "absent"));
    ASSERT_TRUE(File().DeleteKey("Absent", "k"));

    ASSERT_TRUE(File().DeleteSection("A"));
    EXPECT_EQ(ReadBytes(Path()), "[B]\nk=4\n\n");
    ASSERT_TRUE(File().DeleteSection("A"));
    EXPECT_TRUE(IniFile(m_dir.File("absent.ini")).DeleteSection("A"));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("absent.ini")));
}

TEST_F(IniFileWrite, EnsuresASection) {
    WriteBytes(Path(), "[A]\nk=1");
    ASSERT_TRUE(File().EnsureSection("a"));
    ASSERT_TRUE(File().EnsureSection("SOFTWARE\\ZORV_18"));
    EXPECT_EQ(ReadBytes(Path()), "[A]\nk=1\n\n[SOFTWARE\\ZORV_18]\n");
    EXPECT_TRUE(File().HasSection("software\\zorv_18"));
    EXPECT_TRUE(File().Keys("SOFTWARE\\ZORV_18").empty());
}

// ---------------------------------------------------------------- structures

TEST(IniFileStruct, EncodesUppercaseHexWithChecksum) {
    std::array<uint8_t, 16> data{};
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0xF0 + i);  // sum 0xF78 -> checksum 0x78
    }
    EXPECT_EQ(IniFile::EncodeStruct(data.data(), data.size()),
              "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF78");
    EXPECT_EQ(IniFile::EncodeStruct(nullptr, 0), "00");
}

TEST(IniFileStruct, DecodeChecksTheText) {
    struct DecodeCase {
        const char* what;
        std::string_view text;
        bool ok;
    };
    // Two bytes 0xAB 0xCD: checksum 0x178 & 0xFF = 0x78.
    const DecodeCase cases[] = {
        {"uppercase", "ABCD78", true},
        {"lowercase", "abcd78", true},
        {"mixed case", "aBcD78", true},
        {"bad checksum", "ABCD79", false},
        {"too short", "ABCD7", false},
        {"too long", "ABCD7800", false},
        {"empty", "", false},
        {"not hex", "ABCG78", false},
        {"blank inside", "AB CD78", false},
        {"sign", "+ABC78", false},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<uint8_t, 2> data{0x11, 0x22};
        EXPECT_EQ(IniFile::DecodeStruct(c.text, data.data(), data.size()), c.ok);
        const std::array<uint8_t, 2> expected =
            c.ok ? std::array<uint8_t, 2>{0xAB, 0xCD} : std::array<uint8_t, 2>{0x11, 0x22};
        EXPECT_EQ(data, expected);
    }
}

TEST(IniFileStruct, RoundTripThroughAFile) {
    CTempDir dir;
    IniFile file(dir.File("settings.ini"));
    std::array<uint8_t, 16> written{};
    for (std::size_t i = 0; i < written.size(); ++i) {
        written[i] = static_cast<uint8_t>(i * 37 + 200);
    }
    ASSERT_TRUE(file.WriteStruct("Main", "Mask", written.data(), written.size()));
    EXPECT_EQ(file.GetString("Main", "Mask", "").size(), 34u);

    std::array<uint8_t, 16> read{};
    ASSERT_TRUE(file.GetStruct("main", "MASK", read.data(), read.size()));
    EXPECT_EQ(read, written);

    // Wrong size, missing key, damaged text: the buffer stays as it was.
    std::array<uint8_t, 15> shorter{};
    shorter.fill(0x5A);
    EXPECT_FALSE(file.GetStruct("Main", "Mask", shorter.data(), shorter.size()));
    EXPECT_EQ(shorter[0], 0x5A);
    read.fill(0x5A);
    EXPECT_FALSE(file.GetStruct("Main", "Absent", read.data(), read.size()));
    ASSERT_TRUE(file.WriteString("Main", "Mask", "00000000000000000000000000000000FF"));
    EXPECT_FALSE(file.GetStruct("Main", "Mask", read.data(), read.size()));
    EXPECT_EQ(read[0], 0x5A);
}

// ---------------------------------------------------------------- cache and threads

TEST(IniFileCache, RereadsAFileChangedBehindItsBack) {
    CTempDir dir;
    const std::string path = dir.File("settings.ini");
    WriteBytes(path, "[Main]\nValue=1\n");
    const IniFile file(path);
    ASSERT_EQ(file.GetInt("Main", "Value", 0), 1);

    // Rewritten in place (same inode) with another size and an older time.
    WriteBytes(path, "[Main]\nValue=22\n");
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(file.GetInt("Main", "Value", 0), 22);

    // Same size, only the time differs.
    WriteBytes(path, "[Main]\nValue=33\n");
    const timespec later[2] = {{1000000001, 5}, {1000000001, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    EXPECT_EQ(file.GetInt("Main", "Value", 0), 33);

    // Removed: missing again, and a write starts a new file.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(file.GetInt("Main", "Value", -1), -1);
    ASSERT_TRUE(IniFile(path).WriteInt("Main", "Other", 5));
    EXPECT_EQ(ReadBytes(path), "[Main]\nOther=5\n");
}

TEST(IniFileCache, WritersOfOneFileLoseNoKey) {
    CTempDir dir;
    const std::string path = dir.File("settings.ini");
    constexpr int kThreads = 4;
    constexpr int kKeysPerThread = 25;
    std::atomic<bool> writing{true};
    std::atomic<int> readerMisses{0};

    ASSERT_TRUE(IniFile(path).WriteString("Fixed", "Stable", "yes"));
    // A reader running meanwhile must always see whole files.
    std::thread reader([&] {
        const IniFile file(path);
        while (writing) {
            if (file.GetString("Fixed", "Stable", "") != "yes") {
                ++readerMisses;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &path] {
            IniFile file(path);
            for (int k = 0; k < kKeysPerThread; ++k) {
                const std::string section = "Channel" + std::to_string(k % 3);
                EXPECT_TRUE(file.WriteInt(
                    section, "T" + std::to_string(t) + "K" + std::to_string(k), t * 1000 + k));
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    writing = false;
    reader.join();

    EXPECT_EQ(readerMisses, 0);
    const IniFile file(path);
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeysPerThread; ++k) {
            const std::string section = "channel" + std::to_string(k % 3);
            EXPECT_EQ(file.GetInt(section, "t" + std::to_string(t) + "k" + std::to_string(k), -1),
                      t * 1000 + k);
        }
    }
}

}  // namespace
}  // namespace zorv
