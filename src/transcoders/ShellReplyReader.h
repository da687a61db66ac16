// The reply side of a NET2 transcoder's text shell, without the socket:
//   - CShellReplyReader gathers the bytes of one reply into its fixed
//     1024-byte buffer until the prompt (">" as the last byte of a receive)
//     or until the buffer is full;
//   - SplitReplyLines cuts a reply into its lines.
//
// The shell answers every line it is sent with text that ends in the prompt
// character. The prompt is recognised only as the last byte of what one
// receive brought, exactly as the transcoders expect to be read: a ">" in
// the middle of a receive is text.
//
// Not thread-safe: a reader belongs to one CTelnetController and is used by
// whoever owns that controller, under the owner's lock.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "transcoders/TranscoderDataProtocol.h"  // kShellPrompt

namespace zorv {

class CShellReplyReader {
public:
    // Reply bytes the buffer holds; a reply that would need more fails.
    static constexpr std::size_t kCapacity = 1024;

    enum class Status {
        kIncomplete,  // no prompt yet, room left
        kComplete,    // the last byte received was the prompt
        kOverflow,    // the buffer filled without a prompt at its end
    };

    // Empties the buffer for the next reply.
    void Reset();

    // Where the next receive writes: the free part of the buffer (empty once
    // the reply is complete or overflowed).
    std::span<char> Space();
    // Takes received bytes that a receive wrote into Space(); received is at
    // most Space().size() (more is a caller's fault and is cut). A receive of
    // 0 bytes changes nothing.
    Status Commit(std::size_t received);
    // Copies what fits of bytes into Space() and commits it, as one receive
    // of a socket would take them. Bytes beyond the space are not taken.
    Status Feed(std::span<const char> bytes);

    Status State() const { return m_status; }
    // The reply text so far, also zero-terminated (CText) for C callers.
    std::string_view Text() const { return {m_buffer.data(), m_length}; }
    const char* CText() const { return m_buffer.data(); }
    std::size_t Length() const { return m_length; }

private:
    // One byte beyond the capacity keeps the terminating zero of a full reply.
    std::array<char, kCapacity + 1> m_buffer{};
    std::size_t m_length = 0;
    Status m_status = Status::kIncomplete;
};

// The lines of a reply in order: cut at every CR and LF, empty lines
// dropped. The views point into text.
std::vector<std::string_view> SplitReplyLines(std::string_view text);

}  // namespace zorv
