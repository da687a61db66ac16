#include "dsp/FskDemodulator.h"

#include <algorithm>
#include <cstring>

namespace zorv {

namespace {

// Eight outputs in one vector (GCC and clang vector extensions; a target
// without 256-bit vectors splits them).
using Vec8 = float __attribute__((vector_size(32)));

// Tap-major order over whole vectors of outputs: each tap is broadcast and
// multiplied into every output at once, and no sum is reordered. Outputs past
// the requested ones are computed and left out of the energies.
template <std::size_t kVectors>
[[gnu::always_inline]] inline FskEnergies Energies(const float* samples, std::size_t outputs,
                                                   const float* markTaps, const float* spaceTaps,
                                                   std::size_t tapCount) {
    Vec8 mark[kVectors] = {};
    Vec8 space[kVectors] = {};
    for (std::size_t k = 0; k < tapCount; ++k) {
        const Vec8 m = Vec8{} + markTaps[k];
        const Vec8 s = Vec8{} + spaceTaps[k];
        for (std::size_t v = 0; v < kVectors; ++v) {
            Vec8 x;
            std::memcpy(&x, samples + k + 8 * v, sizeof x);
            mark[v] += m * x;
            space[v] += s * x;
        }
    }
    FskEnergies energies;
    for (std::size_t o = 0; o < outputs; ++o) {
        const float y1 = mark[o / 8][o % 8];
        const float y0 = space[o / 8][o % 8];
        energies.mark += y1 * y1;
        energies.space += y0 * y0;
    }
    return energies;
}

}  // namespace

// Built twice: for the x86-64 baseline (SSE2) and for processors with AVX2
// and FMA, chosen once at load time.
[[gnu::target_clones("arch=x86-64-v3", "default")]] FskEnergies FskFilterEnergies(
    const float* samples, std::size_t outputs, const float* markTaps, const float* spaceTaps,
    std::size_t tapCount) {
    outputs = std::min(outputs, kFskMaxOutputs);
    tapCount = std::min(tapCount, kFskMaxTaps);
    if (outputs <= 8) {
        return Energies<1>(samples, outputs, markTaps, spaceTaps, tapCount);
    }
    if (outputs <= 16) {
        return Energies<2>(samples, outputs, markTaps, spaceTaps, tapCount);
    }
    return Energies<kFskMaxOutputs / 8>(samples, outputs, markTaps, spaceTaps, tapCount);
}

}  // namespace zorv
