// The credential cipher: the symmetric keystream cipher of the stored
// transcoder passwords and of the names and user records of the client
// protocol.
//
// A ChaCha20 keystream (RFC 8439) with key = SHA-256 of the text
// "zorv18 credential cipher", a 96-bit nonce of zeros and block counter 0 is
// XORed over the bytes of one field. The keystream restarts at the start of
// every field, so enciphering and deciphering are the same operation and a
// field's bytes do not depend on the fields around it. docs/protocol.md
// gives a test vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zorv {

// Enciphers (or deciphers) one field in place. Safe to call from any thread.
// Throws (std::bad_alloc, std::runtime_error) only when OpenSSL cannot run
// the cipher at all; a field is never passed through unchanged.
void ApplyCredentialCipher(std::span<uint8_t> field);
inline void ApplyCredentialCipher(void* field, std::size_t size) {
    ApplyCredentialCipher(std::span<uint8_t>(static_cast<uint8_t*>(field), size));
}

}  // namespace zorv
