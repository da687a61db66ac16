// The users file: passwords, names, the acting user's rights, bad files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "UsersTestSupport.h"
#include "access/UsersStore.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

class UsersStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store = CUsersStore::Open(Path());
        ASSERT_NE(m_store, nullptr);
        ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("admin", "root-pw", 1)));
    }
    std::string Path() const { return m_dir.File("ZORVusers.dat"); }

    CTempDir m_dir;
    std::unique_ptr<CUsersStore> m_store;
};

TEST_F(UsersStoreTest, PasswordIsCheckedAndNeverHandedOut) {
    tagUserAccountRecord record;
    EXPECT_FALSE(m_store->GetUserRigthByName("admin", "wrong", record));
    EXPECT_FALSE(m_store->GetUserRigthByName("admin", "", record));
    EXPECT_FALSE(m_store->GetUserRigthByName("nobody", "root-pw", record));
    ASSERT_TRUE(m_store->GetUserRigthByName("ADMIN", "root-pw", record));  // names ignore case
    const tagUserAccountRecord clear = Deciphered(record);
    EXPECT_EQ(FieldText(clear.UserName), "admin");
    EXPECT_EQ(FieldText(clear.FullName), "admin full name");
    EXPECT_EQ(uint32_t{clear.AdminAccess}, 1u);
    const char zero[kPasswordMax] = {};
    EXPECT_EQ(std::memcmp(clear.Password, zero, kPasswordMax), 0);

    ASSERT_TRUE(m_store->GetUserRigthByNum(0, record));
    EXPECT_EQ(std::memcmp(Deciphered(record).Password, zero, kPasswordMax), 0);
}

TEST_F(UsersStoreTest, FileHoldsNoClearNameOrPassword) {
    ASSERT_TRUE(m_store->AddRecord(UserRecord("Petrovich", "s3cret-word"), "admin"));
    m_store.reset();  // checkpoints the write-ahead log into the file
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string bytes = FileBytes(Path() + suffix);
        EXPECT_EQ(bytes.find("s3cret-word"), std::string::npos) << suffix;
        EXPECT_EQ(bytes.find("Petrovich"), std::string::npos) << suffix;
        EXPECT_EQ(bytes.find("petrovich"), std::string::npos) << suffix;
    }
}

TEST_F(UsersStoreTest, NamesAreUniqueWhateverTheirCase) {
    EXPECT_FALSE(m_store->AddRecordAsOwner(UserRecord("Admin", "x")));
    EXPECT_FALSE(m_store->AddRecordAsOwner(UserRecord("", "x")));
    EXPECT_FALSE(m_store->AddRecordAsOwner(UserRecord("nopassword", "")));
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("bob", "b")));
    EXPECT_FALSE(m_store->RenameUser("bob", "ADMIN", "admin"));
    EXPECT_TRUE(m_store->RenameUser("bob", "Bob", "admin"));  // its own name in other letters
    int count = 0;
    ASSERT_TRUE(m_store->GetCountUsers(count));
    EXPECT_EQ(count, 2);
    tagUserAccountRecord record;
    ASSERT_TRUE(m_store->GetUserRigthByName("bob", "b", record));
    EXPECT_EQ(FieldText(Deciphered(record).UserName), "Bob");
}

TEST_F(UsersStoreTest, EmptyPasswordKeepsTheStoredOne) {
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("bob", "first")));
    tagUserAccountRecord record;
    ASSERT_TRUE(m_store->GetUserRigthByName("bob", "first", record));
    tagUserAccountRecord clear = Deciphered(record);
    SetFieldText(clear.Description, "night shift");
    tagUserAccountRecord change = clear;
    CipherRecordFields(change);  // the password field is empty
    ASSERT_TRUE(m_store->SetRecord(change, "bob"));
    ASSERT_TRUE(m_store->GetUserRigthByName("bob", "first", record));
    EXPECT_EQ(FieldText(Deciphered(record).Description), "night shift");

    SetFieldText(clear.Password, "second");
    change = clear;
    CipherRecordFields(change);
    ASSERT_TRUE(m_store->SetRecord(change, "bob"));
    EXPECT_FALSE(m_store->GetUserRigthByName("bob", "first", record));
    EXPECT_TRUE(m_store->GetUserRigthByName("bob", "second", record));
}

// Who may change whom. Users: admin (administrator), keeper (user
// administration and bit 4), clerk (bit 4 only), boss (a second administrator).
TEST_F(UsersStoreTest, ActingUserRights) {
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("boss", "pw", 1)));
    ASSERT_TRUE(m_store->AddRecordAsOwner(
        UserRecord("keeper", "pw", 0, {kFnUserAdministration, kFnStorageSettings})));
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("clerk", "pw", 0, {kFnStorageSettings})));

    enum class Op { kAdd, kModify, kDelete, kRename };
    struct Case {
        const char* what;
        const char* acting;
        Op op;
        const char* target;
        uint32_t admin;
        std::initializer_list<int> functions;
        bool expected;
    };
    // In order: later cases see the changes of earlier ones.
    const Case cases[] = {
        {"admin adds an administrator", "admin", Op::kAdd, "new", 1, {}, true},
        {"keeper adds an operator with its own bits",
         "keeper",
         Op::kAdd,
         "new",
         0,
         {kFnStorageSettings},
         true},
        {"keeper cannot grant a bit it lacks",
         "keeper",
         Op::kAdd,
         "new",
         0,
         {kFnStopServer},
         false},
        {"keeper cannot add an administrator", "keeper", Op::kAdd, "new", 1, {}, false},
        {"clerk cannot add", "clerk", Op::kAdd, "new", 0, {}, false},
        {"unknown acting user cannot add", "ghost", Op::kAdd, "new", 0, {}, false},
        {"keeper modifies clerk", "keeper", Op::kModify, "clerk", 0, {kFnStorageSettings}, true},
        {"keeper cannot modify an administrator", "keeper", Op::kModify, "boss", 1, {}, false},
        {"keeper cannot promote clerk", "keeper", Op::kModify, "clerk", 1, {}, false},
        {"clerk cannot change its own rights",
         "clerk",
         Op::kModify,
         "clerk",
         0,
         {kFnStorageSettings, kFnStopServer},
         false},
        {"clerk keeps its rights and changes its text",
         "clerk",
         Op::kModify,
         "clerk",
         0,
         {kFnStorageSettings},
         true},
        {"clerk cannot modify keeper",
         "clerk",
         Op::kModify,
         "keeper",
         0,
         {kFnUserAdministration, kFnStorageSettings},
         false},
        {"admin demotes boss", "admin", Op::kModify, "boss", 0, {}, true},
        {"admin cannot demote the last administrator", "admin", Op::kModify, "admin", 0, {}, false},
        {"clerk cannot delete keeper", "clerk", Op::kDelete, "keeper", 0, {}, false},
        {"keeper deletes clerk", "keeper", Op::kDelete, "clerk", 0, {}, true},
        {"keeper cannot rename admin", "keeper", Op::kRename, "admin", 0, {}, false},
        {"admin cannot delete the last administrator", "admin", Op::kDelete, "admin", 0, {}, false},
        {"admin renames keeper", "admin", Op::kRename, "keeper", 0, {}, true},
    };
    for (const Case& c : cases) {
        bool result = false;
        tagUserAccountRecord record =
            UserRecord(c.target, c.op == Op::kAdd ? "pw" : "", c.admin, c.functions);
        switch (c.op) {
            case Op::kAdd:
                result = m_store->AddRecord(record, c.acting);
                if (result) {
                    ASSERT_TRUE(m_store->DeleteUserAsOwner(c.target));
                }
                break;
            case Op::kModify: {
                tagUserAccountRecord clear = Deciphered(record);
                SetFieldText(clear.Description, c.what);
                CipherRecordFields(clear);
                result = m_store->SetRecord(clear, c.acting);
                break;
            }
            case Op::kDelete:
                result = m_store->DeleteUser(c.target, "", c.acting);
                break;
            case Op::kRename:
                result = m_store->RenameUser(c.target, "renamed", c.acting);
                if (result) {
                    ASSERT_TRUE(m_store->RenameUser("renamed", c.target, "admin"));
                }
                break;
        }
        EXPECT_EQ(result, c.expected) << c.what;
    }
}

// What a login or a change costs in password checks (each one Argon2id over
// 64 MiB): the same for an unknown name as for a known one, so refusals tell
// nothing about which names exist; nothing for a change the acting user may
// not make, so users without the right cannot make the server hash.
TEST_F(UsersStoreTest, PasswordChecksRunOnlyWhereTheyMust) {
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("keeper", "pw", 0, {kFnUserAdministration})));
    ASSERT_TRUE(m_store->AddRecordAsOwner(UserRecord("clerk", "pw")));
    struct Case {
        const char* what;
        std::function<bool()> call;
        bool result;
        uint64_t checks;
    };
    tagUserAccountRecord record;
    const auto withPassword = [](const char* name, uint32_t admin = 0) {
        return UserRecord(name, "new-pw", admin);
    };
    const Case cases[] = {
        {"known name, wrong password",
         [&] { return m_store->GetUserRigthByName("clerk", "wrong", record); }, false, 1},
        {"unknown name", [&] { return m_store->GetUserRigthByName("ghost", "pw", record); }, false,
         1},
        {"name too long",
         [&] { return m_store->GetUserRigthByName(std::string(40, 'x'), "pw", record); }, false, 1},
        {"empty password", [&] { return m_store->GetUserRigthByName("clerk", "", record); }, false,
         0},
        {"right name and password",
         [&] { return m_store->GetUserRigthByName("CLERK", "pw", record); }, true, 1},
        {"clerk may not add", [&] { return m_store->AddRecord(withPassword("new"), "clerk"); },
         false, 0},
        {"unknown acting user may not add",
         [&] { return m_store->AddRecord(withPassword("new"), "ghost"); }, false, 0},
        {"keeper may not add an administrator",
         [&] { return m_store->AddRecord(withPassword("new", 1), "keeper"); }, false, 0},
        {"clerk may not set keeper's password",
         [&] { return m_store->SetRecord(withPassword("keeper"), "clerk"); }, false, 0},
        {"keeper may not set admin's password",
         [&] { return m_store->SetRecord(withPassword("admin", 1), "keeper"); }, false, 0},
        {"keeper sets clerk's password",
         [&] { return m_store->SetRecord(withPassword("clerk"), "keeper"); }, true, 1},
        {"clerk sets its own password",
         [&] { return m_store->SetRecord(withPassword("Clerk"), "clerk"); }, true, 1},
        {"keeper adds a user", [&] { return m_store->AddRecord(withPassword("new"), "keeper"); },
         true, 1},
    };
    for (const Case& c : cases) {
        const uint64_t before = m_store->PasswordChecks().run;
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(m_store->PasswordChecks().run - before, c.checks) << c.what;
    }
    EXPECT_TRUE(m_store->GetUserRigthByName("clerk", "new-pw", record));
}

TEST_F(UsersStoreTest, AtMostTheBoundOfChecksRunAtOnce) {
    for (const int bound : {1, 2}) {
        m_store.reset();
        m_store = CUsersStore::Open(Path(), {kInteractiveHashCost, bound});
        ASSERT_NE(m_store, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                tagUserAccountRecord record;
                m_store->GetUserRigthByName(t % 2 == 0 ? "admin" : "ghost", "wrong", record);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(m_store->PasswordChecks().run, 8u);
        EXPECT_GE(m_store->PasswordChecks().peak, 1);
        EXPECT_LE(m_store->PasswordChecks().peak, bound);
    }
    EXPECT_EQ(CUsersStore::Open(Path(), {kInteractiveHashCost, 0}), nullptr);
}

TEST_F(UsersStoreTest, DamagedFilesAreRefused) {
    // A row whose record is not 2130 bytes long is never handed out.
    m_store.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE users SET record = x'0102'", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    m_store = CUsersStore::Open(Path());
    ASSERT_NE(m_store, nullptr);
    tagUserAccountRecord record;
    EXPECT_FALSE(m_store->GetUserRigthByNum(0, record));
    EXPECT_FALSE(m_store->GetUserRigthByName("admin", "root-pw", record));
    EXPECT_FALSE(m_store->GetUserRigthByNum(-1, record));
    EXPECT_FALSE(m_store->GetUserRigthByNum(1, record));

    // Not a users file at all.
    const std::string other = m_dir.File("other.dat");
    std::ofstream(other) << "this is not a database, only text that is long enough";
    EXPECT_EQ(CUsersStore::Open(other), nullptr);
}

}  // namespace
}  // namespace zorv::test
