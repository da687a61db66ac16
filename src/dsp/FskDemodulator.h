// One-bit decision of a binary FSK signal: the block of samples is run
// through a mark (bit 1) and a space (bit 0) band-pass filter, and the filter
// whose output carries more energy over the block decides the bit.
// Stateless; allocates nothing; any thread may call it.
#pragma once

#include <cstddef>

namespace zorv {

// Output energies of the two filters over one block.
struct FskEnergies {
    float mark = 0.0f;
    float space = 0.0f;
};

inline constexpr std::size_t kFskMaxTaps = 64;
inline constexpr std::size_t kFskMaxOutputs = 32;

// Outputs are computed in vectors of 8: the number of samples the filters
// read for outputs outputs of tapCount taps.
constexpr std::size_t FskSamplesRead(std::size_t outputs, std::size_t tapCount) {
    return (outputs + 7) / 8 * 8 + tapCount - 1;
}

// Energies of outputs o = 0..outputs-1, each sum_k taps[k] * samples[o + k]
// (for taps centred on the block, start tapCount/2 samples before it).
// samples must hold FskSamplesRead(outputs, tapCount) values. tapCount is at
// most kFskMaxTaps, outputs at most kFskMaxOutputs.
FskEnergies FskFilterEnergies(const float* samples, std::size_t outputs, const float* markTaps,
                              const float* spaceTaps, std::size_t tapCount);

// 1 when the mark filter's energy dominates, 0 when the space filter's does.
inline int FskDemodulateBit(const float* samples, std::size_t outputs, const float* markTaps,
                            const float* spaceTaps, std::size_t tapCount) {
    const FskEnergies e = FskFilterEnergies(samples, outputs, markTaps, spaceTaps, tapCount);
    return e.mark > e.space ? 1 : 0;
}

}  // namespace zorv
