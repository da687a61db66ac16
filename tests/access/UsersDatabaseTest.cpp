// The users database: pass-through to the users file, and the operators file
// with its entries, its partial tail and its use from several threads.
#include "access/UsersDatabase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "UsersTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

class CRecordingJournal final : public IJournal {
public:
    void WriteJournal(int kind, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::to_string(kind) + " " + std::string(text));
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

OperatorEntry Entry(uint8_t fill) {
    OperatorEntry entry;
    entry.fill(fill);
    return entry;
}

class UsersDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.Initialise(m_dir.Path(), "ZORV")); }
    std::string OperatorsFile() const { return m_dir.File("ZORVoperator.dat"); }
    std::uintmax_t OperatorsSize() const { return std::filesystem::file_size(OperatorsFile()); }
    bool OperatorsExist() const { return std::filesystem::exists(OperatorsFile()); }

    CTempDir m_dir;
    CRecordingJournal m_journal;
    CUsersDatabase m_db{m_journal};
    const EncipheredName m_anna = EncipherName("Anna");
    const EncipheredName m_boris = EncipherName("Boris");
};

TEST_F(UsersDatabaseTest, OperatorEntriesByNameAndIndex) {
    EXPECT_TRUE(m_db.ListOperators(m_anna).empty());  // no file yet
    EXPECT_EQ(m_db.DeleteOperators(m_anna), -1);
    EXPECT_FALSE(m_db.ModifyOperator(m_anna, 0, Entry(9)));

    ASSERT_TRUE(m_db.AddOperator(m_anna, Entry(1)));
    ASSERT_TRUE(m_db.AddOperator(m_boris, Entry(2)));
    ASSERT_TRUE(m_db.AddOperator(m_anna, Entry(3)));
    EXPECT_EQ(OperatorsSize(), 3u * 70);
    // The file holds the enciphered name, then the entry.
    const std::string bytes = FileBytes(OperatorsFile());
    EXPECT_EQ(bytes.compare(0, 20, reinterpret_cast<const char*>(m_anna.data()), 20), 0);
    EXPECT_EQ(bytes.compare(20, 50, std::string(50, '\1')), 0);

    EXPECT_EQ(m_db.ListOperators(m_anna), (std::vector{Entry(1), Entry(3)}));
    EXPECT_TRUE(m_db.ModifyOperator(m_anna, 1, Entry(4)));
    EXPECT_FALSE(m_db.ModifyOperator(m_anna, 2, Entry(4)));
    EXPECT_FALSE(m_db.DeleteOperator(m_anna, -1));
    EXPECT_TRUE(m_db.DeleteOperator(m_anna, 0));
    EXPECT_EQ(m_db.ListOperators(m_anna), (std::vector{Entry(4)}));
    EXPECT_EQ(m_db.ListOperators(m_boris), (std::vector{Entry(2)}));
    EXPECT_EQ(OperatorsSize(), 2u * 70);

    EXPECT_TRUE(m_db.DeleteOperator(m_boris, 0));
    EXPECT_EQ(m_db.DeleteOperators(m_anna), 1);
    EXPECT_FALSE(OperatorsExist());  // a file left empty is deleted
}

TEST_F(UsersDatabaseTest, DeletingAUserRemovesOnlyItsOperatorEntries) {
    {
        // The first administrator, made by the owner (the command line) on
        // the same file.
        const auto owner = CUsersStore::Open(m_dir.File("ZORVusers.dat"));
        ASSERT_NE(owner, nullptr);
        ASSERT_TRUE(owner->AddRecordAsOwner(UserRecord("admin", "pw", 1)));
    }
    ASSERT_TRUE(m_db.Add(UserRecord("Anna", "pw"), "admin"));
    ASSERT_TRUE(m_db.Add(UserRecord("Boris", "pw"), "admin"));
    const EncipheredName lowerAnna = EncipherName("anna");  // not the stored name
    for (const EncipheredName* name : {&m_anna, &m_boris, &m_anna, &lowerAnna, &m_boris}) {
        ASSERT_TRUE(m_db.AddOperator(*name, Entry(name == &m_anna ? 1 : 2)));
    }
    // Deleted by a name in other letters: the entries under the stored name go.
    ASSERT_TRUE(m_db.Delete("ANNA", "", "admin"));
    EXPECT_TRUE(m_db.ListOperators(m_anna).empty());
    EXPECT_EQ(m_db.ListOperators(m_boris).size(), 2u);
    EXPECT_EQ(m_db.ListOperators(lowerAnna).size(), 1u);
    EXPECT_EQ(OperatorsSize(), 3u * 70);
    EXPECT_EQ(m_db.ListAllUsers().size(), 2u);

    // A renamed user keeps its entries, under its new name.
    ASSERT_TRUE(m_db.Rename("boris", "Boris2", "admin"));
    EXPECT_TRUE(m_db.ListOperators(m_boris).empty());
    EXPECT_EQ(m_db.ListOperators(EncipherName("Boris2")).size(), 2u);
    // A refused deletion keeps the entries.
    EXPECT_FALSE(m_db.Delete("Boris2", "", "nobody"));
    EXPECT_EQ(m_db.ListOperators(EncipherName("Boris2")).size(), 2u);
}

// A file cut short: only whole records are read, the tail is journaled once
// and the next change leaves whole records only.
TEST_F(UsersDatabaseTest, PartialTailIsIgnoredAndJournaledOnce) {
    struct Case {
        std::size_t records;
        std::size_t tail;
    };
    for (const Case c : {Case{0, 30}, Case{2, 13}, Case{1, 69}}) {
        CRecordingJournal journal;
        CUsersDatabase db(journal);
        ASSERT_TRUE(db.Initialise(m_dir.Path(), "ZORV"));
        std::string bytes;
        for (std::size_t i = 0; i < c.records; ++i) {
            bytes.append(reinterpret_cast<const char*>(m_anna.data()), 20);
            bytes.append(50, static_cast<char>(i + 1));
        }
        // The tail starts like a record of Anna's, so reading it would show.
        bytes.append(reinterpret_cast<const char*>(m_anna.data()), std::min<std::size_t>(20, c.tail));
        bytes.append(c.tail - std::min<std::size_t>(20, c.tail), '\x7f');
        std::ofstream(OperatorsFile(), std::ios::binary) << bytes;

        EXPECT_EQ(db.ListOperators(m_anna).size(), c.records) << c.tail;
        EXPECT_EQ(db.ListOperators(m_anna).size(), c.records) << c.tail;
        EXPECT_FALSE(db.DeleteOperator(m_anna, static_cast<int>(c.records)));
        EXPECT_EQ(journal.Lines().size(), 1u) << c.tail;
        ASSERT_TRUE(db.AddOperator(m_boris, Entry(7)));
        EXPECT_EQ(OperatorsSize(), (c.records + 1) * 70) << c.tail;
        EXPECT_EQ(db.ListOperators(m_boris), (std::vector{Entry(7)}));
        std::filesystem::remove(OperatorsFile());
    }
}

// Listers run while other threads add and delete: every list holds only
// whole entries of the listed name, and the file ends with whole records.
TEST_F(UsersDatabaseTest, ListingWhileAddingAndDeleting) {
    constexpr int kWriters = 3;
    constexpr int kRounds = 60;
    std::vector<EncipheredName> names;
    for (int w = 0; w < kWriters; ++w) {
        names.push_back(EncipherName("writer" + std::to_string(w)));
    }
    std::atomic<bool> done{false};
    std::atomic<int> badLists{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int round = 0; round < kRounds; ++round) {
                EXPECT_TRUE(m_db.AddOperator(names[w], Entry(static_cast<uint8_t>(w + 1))));
                if (round % 3 == 2) {
                    EXPECT_TRUE(m_db.DeleteOperator(names[w], 0));
                    EXPECT_TRUE(m_db.DeleteOperator(names[w], 0));
                }
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!done) {
                for (int w = 0; w < kWriters; ++w) {
                    const auto entries = m_db.ListOperators(names[w]);
                    for (const OperatorEntry& entry : entries) {
                        if (entry != Entry(static_cast<uint8_t>(w + 1))) {
                            ++badLists;
                        }
                    }
                }
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) {
        threads[w].join();
    }
    done = true;
    for (std::size_t t = kWriters; t < threads.size(); ++t) {
        threads[t].join();
    }
    EXPECT_EQ(badLists, 0);
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(m_db.ListOperators(names[w]).size(), static_cast<std::size_t>(kRounds / 3));
    }
    EXPECT_EQ(OperatorsSize(), static_cast<std::uintmax_t>(kWriters * (kRounds / 3) * 70));
    EXPECT_TRUE(m_journal.Lines().empty());
}

}  // namespace
}  // namespace zorv::test
