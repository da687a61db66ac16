// The account record's field cipher and its text fields.
#include "access/UserAccount.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/CredentialCipher.h"

namespace zorv::test {
namespace {

// Each field is enciphered on its own: the keystream restarts at its first
// byte, so a field's cipher text does not depend on where it stands.
TEST(UserAccountTest, EveryFieldIsEncipheredOnItsOwn) {
    tagUserAccountRecord record{};
    CipherRecordFields(record);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (const RecordField& field : UserRecordFields()) {
        std::vector<uint8_t> alone(field.size, 0);
        ApplyCredentialCipher(alone);
        EXPECT_EQ(std::memcmp(bytes + field.offset, alone.data(), field.size), 0)
            << "field at " << field.offset;
    }
    CipherRecordFields(record);
    const tagUserAccountRecord zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof(record)), 0);
}

TEST(UserAccountTest, FieldTextNeverReadsPastItsField) {
    struct Case {
        const char* what;
        std::vector<char> field;
        std::size_t maxLength;
        std::string expected;
    };
    const Case cases[] = {
        {"padded", {'a', 'b', 0, 'x'}, 4, "ab"},
        {"full 4-byte field", {'a', 'b', 'c', 'd'}, 4, "abcd"},
        {"21-byte name without terminator", std::vector<char>(21, 'n'), 20, std::string(20, 'n')},
        {"empty", {0, 'x'}, 2, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FieldText(c.field, c.maxLength), c.expected) << c.what;
    }
    char field[4];
    EXPECT_FALSE(SetFieldText(field, "abcde"));
    EXPECT_TRUE(SetFieldText(field, "abcd"));
    EXPECT_EQ(FieldText(field), "abcd");
}

}  // namespace
}  // namespace zorv::test
