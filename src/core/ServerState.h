// The server state word: the state in bits 0..7, the kind of the last
// failure in bits 8..31.
#pragma once

#include <cstdint>

namespace zorv {

enum ServerStateCode : uint32_t {
    SS_INIT = 1,
    SS_STARTING = 2,
    SS_RUNNING = 3,
    SS_FAILED = 4,
    SS_STOPPED = 5,
};

constexpr uint32_t StateOf(uint32_t word) { return word & 0xFFu; }
constexpr uint32_t FailureKindOf(uint32_t word) { return word >> 8; }
constexpr uint32_t MakeStateWord(uint32_t state, uint32_t failureKind) {
    return (failureKind << 8) | (state & 0xFFu);
}

}  // namespace zorv
