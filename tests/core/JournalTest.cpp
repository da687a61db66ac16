// The journal file: line format, rotation into zip archives, trimming of old
// archives, rotation mails and concurrent writers.
#include "core/JournalFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "core/Journal.h"
#include "core/ServerComponents.h"
#include "support/Files.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;

class CMailRecorder final : public IMailNotifier {
public:
    struct Mail {
        int event;
        std::string subject;
        std::string body;
        std::string attachment;
        int zip;
    };
    void LoadSettings(const std::string&) override {}
    void SetMinimalDelay(uint32_t) override {}
    void Notify(int event, const std::string& subject, const std::string& body,
                const std::string& attachment, int zip) override {
        std::lock_guard lock(m_lock);
        m_mails.push_back({event, subject, body, attachment, zip});
        m_thread = std::this_thread::get_id();
    }
    std::mutex m_lock;
    std::vector<Mail> m_mails;
    std::thread::id m_thread;
};

std::vector<std::string> FilesLike(const std::string& dir, const std::string& start) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(start, 0) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class JournalTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("ZORV_18.log"); }
    void FillTo(size_t size) {
        std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
        out << std::string(size, 'j');
    }

    CTempDir m_dir;
    // 2009-03-05 08:14:05 local time.
    CManualClock m_clock{std::chrono::system_clock::from_time_t([] {
        std::tm tm{};
        tm.tm_year = 109;
        tm.tm_mon = 2;
        tm.tm_mday = 5;
        tm.tm_hour = 8;
        tm.tm_min = 14;
        tm.tm_sec = 5;
        tm.tm_isdst = -1;
        return std::mktime(&tm);
    }())};
    CMailRecorder m_mail;
};

TEST_F(JournalTest, LineFormat) {
    CJournal journal(Path(), m_clock, &m_mail);
    journal.Write(0, "\xC7\xE0\xEF\xF3\xF1\xEA");  // windows-1251 bytes pass unchanged
    journal.Write(1, "");
    EXPECT_EQ(ReadBytes(Path()), "05.03.2009  08:14:05 1 0 \xC7\xE0\xEF\xF3\xF1\xEA\r\n"
                                "05.03.2009  08:14:05 1 1 \r\n");
    EXPECT_EQ(CJournal::RotatedName("/w/ZORV_18.log", m_clock.Local()), "/w/ZORV_18.log.2009358145");
}

// Texts carry what clients send: a line end among them must not start a
// line of the client's own, so every byte below 0x20 is written escaped.
TEST_F(JournalTest, ControlBytesAreEscapedAndLinesStayOne) {
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {"name\r\n05.03.2009  08:14:05 1 0 forged",
         "name\\x0D\\x0A05.03.2009  08:14:05 1 0 forged"},
        {std::string("a\0b\tc\x1F", 6), "a\\x00b\\x09c\\x1F"},
        {"\x20\x7F\xFF", "\x20\x7F\xFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CJournal::EscapeText(c.text), c.written);
    }
    CJournal journal(Path(), m_clock, &m_mail);
    journal.Write(1, cases[0].text);
    EXPECT_EQ(ReadBytes(Path()), "05.03.2009  08:14:05 1 1 " + cases[0].written + "\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(JournalTest, RotatesOnlyAbove499999Bytes) {
    CJournal journal(Path(), m_clock, &m_mail);
    FillTo(499999);
    journal.Write(0, "a");  // exactly 499999 before the line: no rotation
    EXPECT_TRUE(FilesLike(m_dir.Path(), "ZORV_18.log.").empty());
    const std::string old = ReadBytes(Path());
    ASSERT_GE(old.size(), 500000u);

    journal.Write(0, "b");
    const std::string archive = m_dir.File("ZORV_18.log.2009358145.zip");
    ASSERT_TRUE(fs::exists(archive));
    EXPECT_EQ(ReadBytes(Path()), "05.03.2009  08:14:05 1 0 b\r\n");

    // A real unzip accepts the archive, and its one entry is the old journal.
    EXPECT_NE(RunShell("unzip -t '" + archive + "'").find("No errors detected"), std::string::npos);
    EXPECT_EQ(RunShell("unzip -Z1 '" + archive + "'"), "ZORV_18.log\n");
    EXPECT_EQ(RunShell("unzip -p '" + archive + "' ZORV_18.log"), old);

    journal.StopMail();
    ASSERT_EQ(m_mail.m_mails.size(), 1u);
    const CMailRecorder::Mail& mail = m_mail.m_mails[0];
    EXPECT_EQ(mail.event, 32);
    EXPECT_EQ(mail.subject, CatalogText(Msg{218}));
    EXPECT_EQ(mail.body, CatalogText(Msg{219}));
    EXPECT_EQ(mail.attachment, archive);
    EXPECT_EQ(mail.zip, 0);
    EXPECT_NE(m_mail.m_thread, std::this_thread::get_id());  // never on the writer's thread
}

TEST_F(JournalTest, NeverOverwritesAnExistingArchive) {
    const std::string taken = m_dir.File("ZORV_18.log.2009358145.zip");
    std::ofstream(taken) << "older archive";
    CJournal journal(Path(), m_clock, &m_mail);
    FillTo(500000);
    journal.Write(0, "x");
    EXPECT_EQ(ReadBytes(taken), "older archive");
    EXPECT_TRUE(fs::exists(m_dir.File("ZORV_18.log.2009358145-2.zip")));
}

TEST_F(JournalTest, FailedZipRenamesTheJournal) {
    // A directory where the archive is assembled makes the zip writer fail.
    fs::create_directory(m_dir.File("ZORV_18.log.2009358145.zip.part"));
    CJournal journal(Path(), m_clock, &m_mail);
    FillTo(500000);
    journal.Write(0, "x");
    EXPECT_FALSE(fs::exists(m_dir.File("ZORV_18.log.2009358145.zip")));
    EXPECT_EQ(fs::file_size(m_dir.File("ZORV_18.log.2009358145")), 500000u);
    EXPECT_EQ(ReadBytes(Path()), "05.03.2009  08:14:05 1 0 x\r\n");
    journal.StopMail();
    ASSERT_EQ(m_mail.m_mails.size(), 1u);
    EXPECT_EQ(m_mail.m_mails[0].body, " ");
    EXPECT_EQ(m_mail.m_mails[0].attachment, "");
    EXPECT_EQ(m_mail.m_mails[0].zip, 1);
}

TEST_F(JournalTest, TrimsOnlyItsOwnArchivesOldestFirst) {
    const auto now = fs::file_time_type::clock::now();
    struct Old {
        const char* name;
        size_t size;
        int ageHours;
    };
    // Newest first in name order, so that name order and age order differ.
    for (const Old old : {Old{"ZORV_18.log.20261291000.zip", 512 * 1024, 30},
                          Old{"ZORV_18.log.20261210800.zip", 512 * 1024, 20},
                          Old{"ZORV_18.log.20261212900.zip", 512 * 1024, 10},
                          Old{"other.zip", 2 * 1024 * 1024, 40}}) {
        const std::string path = m_dir.File(old.name);
        std::ofstream(path) << std::string(old.size, 'z');
        fs::last_write_time(path, now - std::chrono::hours(old.ageHours));
    }
    CJournal journal(Path(), m_clock, nullptr);
    FillTo(500000);
    journal.Write(0, "x");
    // 1.5 MiB of own archives: the oldest one goes, which brings them to 1 MiB.
    EXPECT_FALSE(fs::exists(m_dir.File("ZORV_18.log.20261291000.zip")));
    EXPECT_TRUE(fs::exists(m_dir.File("ZORV_18.log.20261210800.zip")));
    EXPECT_TRUE(fs::exists(m_dir.File("ZORV_18.log.20261212900.zip")));
    EXPECT_TRUE(fs::exists(m_dir.File("other.zip")));
    EXPECT_TRUE(fs::exists(m_dir.File("ZORV_18.log.2009358145.zip")));
}

TEST_F(JournalTest, ConcurrentWritersThroughRotationsLoseAndSplitNoLine) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2500;
    const std::string padding(220, '.');
    {
        CJournal journal(Path(), m_clock, &m_mail);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i) {
                    journal.Write(t % 2, fmt::format("writer {} line {} {}", t, i, padding));
                    // Rotations within one second need distinct names; the
                    // clock moves while the writers run.
                    if (t == 0 && i % 100 == 0) {
                        m_clock.Advance(std::chrono::seconds(1));
                    }
                }
            });
        }
        for (std::thread& w : writers) {
            w.join();
        }
    }
    std::string all;
    const std::vector<std::string> archives = FilesLike(m_dir.Path(), "ZORV_18.log.");
    EXPECT_GE(archives.size(), 3u);
    for (const std::string& name : archives) {
        all += RunShell("unzip -p '" + m_dir.File(name) + "' ZORV_18.log");
    }
    all += ReadBytes(Path());
    const std::string joined = m_dir.File("joined.log");
    std::ofstream(joined, std::ios::binary) << all;

    std::set<std::pair<int, int>> seen;
    size_t lines = 0;
    for (const JournalLine& line : ReadJournal(joined)) {
        ++lines;
        ASSERT_TRUE(line.wellFormed) << line.text;
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.text.c_str(), "writer %d line %d", &t, &i), 2) << line.text;
        EXPECT_EQ(line.text, fmt::format("writer {} line {} {}", t, i, padding));
        EXPECT_EQ(line.kind, t % 2);
        seen.insert({t, i});
    }
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST(CatalogFormatTest, ReplacedTextThatDoesNotFitFallsBackToTheBuiltIn) {
    CTempDir dir;
    std::ofstream(dir.File("ZORV.ini")) << "[Advanced]\nLanguage=test.lng\n";
    std::ofstream(dir.File("test.lng"))
        << "[RecordServer]\n231=Device %s started\n64=Line %u of device %u is back\n"
           "63=Line %u lost\n228=\n236=Device %u of %u stopped\n";
    CMessageCatalog& catalog = CMessageCatalog::Instance();
    catalog.Build(dir.Path(), "ZORV");
    // Fits: the replacement is used.
    EXPECT_EQ(FormatCatalogText(Msg{64}, 3, 1), "Line 3 of device 1 is back");
    // "%s" for a number: the built-in text.
    EXPECT_EQ(FormatCatalogText(Msg{231}, 2),
              *SafeSprintf(CMessageCatalog::BuiltinText(231), 2));
    // A text that leaves a value out is used as it stands (printf ignores
    // the surplus), and so is an empty one.
    EXPECT_EQ(FormatCatalogText(Msg{63}, 3, 1), "Line 3 lost");
    EXPECT_EQ(CatalogText(Msg{228}), "");
    EXPECT_EQ(FormatCatalogText(Msg{228}, 1, 2), "");
    // One conversion too many: the built-in text.
    EXPECT_EQ(FormatCatalogText(Msg{236}, 4), *SafeSprintf(CMessageCatalog::BuiltinText(236), 4));
    catalog.Build(dir.File("none"), "ZORV");
}

TEST(CatalogFormatTest, ConversionsAgainstArguments) {
    using A = PrintfArg;
    struct Case {
        const char* format;
        std::vector<A> args;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"plain", {}, true},
        {"100%% sure", {}, true},
        {"%u and %d and %x and %X and %c", {A::kInteger, A::kInteger, A::kInteger, A::kInteger, A::kInteger}, true},
        {"%s(%s)", {A::kString, A::kString}, true},
        {"%-10s|%05lu|%.2f", {A::kString, A::kInteger, A::kFloating}, true},
        {"%s", {A::kInteger}, false},
        {"%u", {A::kString}, false},
        {"%u %u", {A::kInteger}, false},
        {"%u", {A::kInteger, A::kInteger}, true},  // surplus arguments are not used
        {"plain", {A::kString, A::kInteger}, true},
        {"%s", {A::kString, A::kInteger, A::kInteger}, true},
        {"%u %s", {A::kInteger, A::kInteger}, false},  // wrong type before the surplus
        {"%u %u %u", {A::kInteger, A::kInteger}, false},
        {"%*d", {A::kInteger, A::kInteger}, false},
        {"%n", {A::kPointer}, false},
        {"cut %", {}, false},
        {"%q", {}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PrintfMatches(c.format, c.args), c.matches) << c.format;
    }
    EXPECT_EQ(FormatText("%s has %u", std::string("disk"), 3u), "disk has 3");
    EXPECT_EQ(FormatText("%s", 5), "%s");  // does not fit: written unformatted
    const char buffer[8] = "ab\0cdef";
    EXPECT_EQ(FormatText("[%s]", buffer), "[ab]");  // a text buffer ends at its zero
    EXPECT_EQ(FormatText("%s", std::string(400, 'x')).size(), kJournalTextMax);
}

}  // namespace
}  // namespace zorv::test
