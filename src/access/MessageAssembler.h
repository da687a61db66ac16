// Reassembly of the client protocol's byte stream into whole messages, and
// the gate every message passes before its command runs.
//
// TCP delivers the stream in blocks cut anywhere. CMessageAssembler hands the
// dispatcher each message at its position in the block; when the dispatcher
// needs more bytes than the block holds, the rest is kept (at most one
// request, kMaxRequestSize bytes) and completed from the next blocks. The
// bytes dispatched are the same whether the stream arrives whole or split at
// any points.
//
// GateMessage is the pure part of the dispatcher: it decides from the first
// bytes alone how many bytes a message uses and whether its command may run,
// never reading past the bytes it is given.
//
// One assembler per connection, used only by the connection's thread;
// feeding allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "access/ClientProtocol.h"

namespace zorv {

struct GateDecision {
    enum Kind {
        kRun,           // a whole message of `size` bytes: run its command
        kSkip,          // bad index or unknown code: `size` (4) bytes, no reply
        kNeedMore,      // `missing` more bytes are needed
        kUnauthorized,  // a command other than login before login: disconnect
    };
    Kind kind;
    std::size_t size = 0;
    std::size_t missing = 0;
};

// The gate for the bytes at the current position (at least one byte).
GateDecision GateMessage(std::span<const uint8_t> bytes, bool authorized);

// What the dispatcher did with the message at the current position.
struct DispatchOutcome {
    enum Kind {
        kUsed,      // `used` bytes consumed (replied or not)
        kNeedMore,  // `missing` more bytes are needed
        kStop,      // the connection ends: stop feeding
    };
    Kind kind;
    std::size_t used = 0;
    std::size_t missing = 0;
};

class IMessageDispatcher {
public:
    virtual ~IMessageDispatcher() = default;
    // bytes: the unread bytes from the current position (at least one).
    // kUsed must consume 1..bytes.size() bytes; kNeedMore must ask for at
    // least one byte and at most kMaxRequestSize in all.
    virtual DispatchOutcome Dispatch(std::span<const uint8_t> bytes) = 0;
};

class CMessageAssembler {
public:
    // Dispatches every message the block completes. False when the
    // dispatcher stopped (the rest of the block is dropped).
    bool Feed(std::span<const uint8_t> block, IMessageDispatcher& dispatcher);

    // Bytes kept from an incomplete message.
    std::size_t Kept() const { return m_kept; }
    void Reset() { m_kept = m_missing = 0; }

private:
    // Dispatches what the kept bytes hold; false when stopped.
    bool DrainKept(IMessageDispatcher& dispatcher);

    std::array<uint8_t, kMaxRequestSize> m_partial{};
    std::size_t m_kept = 0;
    std::size_t m_missing = 0;
};

}  // namespace zorv
