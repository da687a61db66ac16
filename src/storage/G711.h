// G.711 A-law and µ-law: the standard companding of 16-bit linear samples
// into 8-bit codes and the standard expansion tables. Stateless; safe from
// any thread.
#pragma once

#include <array>
#include <cstdint>

namespace zorv {

uint8_t LinearToAlaw(int16_t sample);
uint8_t LinearToMulaw(int16_t sample);

// The expansion of every 8-bit code to 16-bit linear.
extern const std::array<int16_t, 256> kAlawToLinear;
extern const std::array<int16_t, 256> kMulawToLinear;

}  // namespace zorv
