#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "platform/CredentialCipher.h"

namespace zorv {
namespace {

// Computed once outside this code base (a separate ChaCha20 implementation,
// key = SHA-256("zorv18 credential cipher"), counter 0, zero nonce); the same
// bytes are in docs/protocol.md.
constexpr std::array<uint8_t, 32> kKeystreamStart = {
    0x8c, 0x8c, 0x06, 0xdd, 0xc7, 0x1e, 0x50, 0x65, 0x26, 0x2d, 0x3a, 0xcd, 0xda, 0x31, 0xb6, 0x05,
    0xa6, 0x59, 0xda, 0x8d, 0x96, 0x68, 0x68, 0x54, 0xc3, 0x95, 0xbc, 0xca, 0x5a, 0x72, 0x95, 0x83,
};

// A 21-byte user-name field holding "admin", zero-padded.
std::vector<uint8_t> AdminField() {
    std::vector<uint8_t> field(21, 0);
    const char name[] = "admin";
    std::copy(name, name + 5, field.begin());
    return field;
}

TEST(CredentialCipherTest, EnciphersTheTestVector) {
    std::vector<uint8_t> field = AdminField();
    ApplyCredentialCipher(field);
    const std::vector<uint8_t> expected = {0xed, 0xe8, 0x6b, 0xb4, 0xa9, 0x1e, 0x50,
                                           0x65, 0x26, 0x2d, 0x3a, 0xcd, 0xda, 0x31,
                                           0xb6, 0x05, 0xa6, 0x59, 0xda, 0x8d, 0x96};
    EXPECT_EQ(field, expected);

    std::array<uint8_t, 32> zeros{};
    ApplyCredentialCipher(zeros.data(), zeros.size());
    EXPECT_EQ(zeros, kKeystreamStart);
}

TEST(CredentialCipherTest, TwiceIsTheIdentityForEveryFieldSize) {
    // Sizes of the real fields (user name, password, user record) and block
    // edges of the keystream.
    for (std::size_t size : {0u, 1u, 21u, 32u, 63u, 64u, 65u, 200u, 2130u}) {
        std::vector<uint8_t> field(size);
        for (std::size_t i = 0; i < size; ++i) {
            field[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        const std::vector<uint8_t> plain = field;
        ApplyCredentialCipher(field);
        if (size > 0) {
            EXPECT_NE(field, plain) << size;
        }
        ApplyCredentialCipher(field);
        EXPECT_EQ(field, plain) << size;
    }
}

TEST(CredentialCipherTest, KeystreamRestartsAtEveryField) {
    // Two fields side by side in one record, each enciphered on its own: the
    // second begins with the same keystream as the first, not where the
    // first one's keystream left off.
    std::array<uint8_t, 42> record{};
    ApplyCredentialCipher(record.data(), 21);
    ApplyCredentialCipher(record.data() + 21, 21);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 21, kKeystreamStart.begin()));
    EXPECT_TRUE(std::equal(record.begin() + 21, record.end(), kKeystreamStart.begin()));
}

}  // namespace
}  // namespace zorv
