#include "platform/CredentialCipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

namespace zorv {

namespace {

constexpr std::string_view kKeyText = "zorv18 credential cipher";

// The ChaCha20 IV as OpenSSL takes it: the 32-bit little-endian block counter
// (0) followed by the 96-bit nonce (zeros).
constexpr std::array<uint8_t, 16> kIv{};

using Key = std::array<uint8_t, 32>;

Key DeriveKey() {
    Key key{};
    unsigned int length = 0;
    if (EVP_Digest(kKeyText.data(), kKeyText.size(), key.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != key.size()) {
        throw std::runtime_error("credential cipher: SHA-256 unavailable");
    }
    return key;
}

const Key& CipherKey() {
    static const Key key = DeriveKey();
    return key;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

void ApplyCredentialCipher(std::span<uint8_t> field) {
    if (field.empty()) {
        return;
    }
    const Key& key = CipherKey();
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    if (!context) {
        throw std::bad_alloc();
    }
    if (EVP_EncryptInit_ex(context.get(), EVP_chacha20(), nullptr, key.data(), kIv.data()) != 1) {
        throw std::runtime_error("credential cipher: ChaCha20 unavailable");
    }
    // A stream cipher: the output overwrites the input exactly. The field is
    // passed in pieces that fit OpenSSL's int length; the keystream runs on
    // across them as over one buffer.
    std::size_t done = 0;
    while (done < field.size()) {
        const int piece = static_cast<int>(std::min<std::size_t>(field.size() - done, INT_MAX / 2));
        int written = 0;
        uint8_t* at = field.data() + done;
        if (EVP_EncryptUpdate(context.get(), at, &written, at, piece) != 1 || written != piece) {
            throw std::runtime_error("credential cipher: ChaCha20 failed");
        }
        done += static_cast<std::size_t>(piece);
    }
}

}  // namespace zorv
