// Function and channel rights of a loaded user record.
#include "access/UserRights.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zorv::test {
namespace {

// A user as the test builds it: administrator flag, granted function bits and
// granted ranges of global channels.
struct TestUser {
    uint32_t admin = 0;
    std::vector<int> functions;
    std::vector<std::pair<int, int>> channels;
};

// The enciphered record of user, as the users database hands it out.
tagUserAccountRecord RecordOf(const TestUser& user) {
    tagUserAccountRecord record{};
    SetFieldText(record.UserName, "operator");
    record.AdminAccess = user.admin;
    for (int bit : user.functions) {
        record.MonitorRigth[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    for (auto [first, last] : user.channels) {
        for (int g = first; g <= last; ++g) {
            record.ChannelsMonitorRight[g / 8] |= static_cast<uint8_t>(1u << (g % 8));
        }
    }
    CipherRecordFields(record);
    return record;
}

TEST(UserRightsTest, FunctionAndChannelChecks) {
    std::vector<int> allBits;
    for (int bit = 0; bit < 128; ++bit) {
        allBits.push_back(bit);
    }
    const TestUser admin{1, {}, {}};
    const TestUser everything{0, allBits, {{0, 4095}}};
    const TestUser holed{0, {1, 15}, {{0, 9}, {11, 20}}};
    const TestUser single{0, {1}, {{7, 7}}};

    struct Case {
        const char* what;
        const TestUser* user;
        int function;  // -1: a channel check
        int first, last;
        bool expected;
    };
    const Case cases[] = {
        {"admin, empty masks, function", &admin, 28, 0, 0, true},
        {"admin, empty masks, last byte", &admin, 127, 0, 0, true},
        {"admin, empty masks, channels", &admin, -1, 0, 4095, true},
        {"admin, channels past the mask", &admin, -1, 0, 5000, true},
        {"granted function", &holed, 15, 0, 0, true},
        {"function not granted", &holed, 2, 0, 0, false},
        {"bit 120 never granted", &everything, 120, 0, 0, false},
        {"bit 127 never granted", &everything, 127, 0, 0, false},
        {"bit 119 granted", &everything, 119, 0, 0, true},
        {"full range with all bits", &everything, -1, 0, 4095, true},
        {"range ending at 4096", &everything, -1, 0, 4096, false},
        {"range from 4096", &everything, -1, 4096, 4096, false},
        {"descending range", &holed, -1, 9, 0, true},
        {"descending range over the hole", &holed, -1, 20, 5, false},
        {"range over the hole", &holed, -1, 5, 15, false},
        {"range after the hole", &holed, -1, 11, 20, true},
        {"the hole alone", &holed, -1, 10, 10, false},
        {"negative first channel", &everything, -1, -1, 5, false},
        {"negative last channel", &everything, -1, 5, -1, false},
        {"single channel granted", &single, -1, 7, 7, true},
        {"single channel beside it", &single, -1, 8, 8, false},
        {"range around a single channel", &single, -1, 6, 7, false},
    };
    for (const Case& c : cases) {
        CUserRights rights;
        rights.Load(RecordOf(*c.user));
        const bool result = c.function >= 0 ? rights.HasFunction(c.function)
                                            : rights.HasChannels(c.first, c.last);
        EXPECT_EQ(result, c.expected) << c.what;
    }
}

TEST(UserRightsTest, ClearedOrNeverLoadedGrantsNothing) {
    CUserRights rights;
    EXPECT_FALSE(rights.HasFunction(FunctionMask{}));
    EXPECT_FALSE(rights.HasChannels(0, 0));
    rights.Load(RecordOf({1, {}, {}}));
    EXPECT_TRUE(rights.IsAdministrator());
    rights.Clear();
    EXPECT_FALSE(rights.HasFunction(kFnNetworkAccess));
    EXPECT_FALSE(rights.HasChannels(0, 0));
}

TEST(UserRightsTest, LoadDeciphersEveryField) {
    tagUserAccountRecord clear{};
    SetFieldText(clear.UserName, "Иванов");
    SetFieldText(clear.Description, "desk 3");
    clear.ExpireDateTime.wYear = 2030;
    clear.NetDeviceRight[19].SerialNumber = 4711;
    tagUserAccountRecord enciphered = clear;
    CipherRecordFields(enciphered);
    ASSERT_NE(std::memcmp(&enciphered, &clear, sizeof(clear)), 0);

    CUserRights rights;
    rights.Load(enciphered);
    EXPECT_EQ(std::memcmp(&rights.Record(), &clear, sizeof(clear)), 0);
}

}  // namespace
}  // namespace zorv::test
