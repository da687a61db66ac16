#pragma once

namespace zorv {

// The DTMF tones in Hz: the four row (low) frequencies, then the four column
// (high) ones.
inline constexpr double kDtmfFrequencies[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};

}  // namespace zorv
