#include "dsp/FskDemodulator.h"

#include <algorithm>

namespace zorv {

FskEnergies FskFilterEnergies(const float* samples, std::size_t outputs,
                              const float* markTaps, const float* spaceTaps,
                              std::size_t tapCount) {
    outputs = std::min(outputs, kFskMaxOutputs);
    tapCount = std::min(tapCount, kFskMaxTaps);
    // Tap-major order: the inner loop runs over independent outputs, which the
    // compiler turns into vector operations without reordering any sum.
    float mark[kFskMaxOutputs] = {};
    float space[kFskMaxOutputs] = {};
    for (std::size_t k = 0; k < tapCount; ++k) {
        const float m = markTaps[k];
        const float s = spaceTaps[k];
        const float* x = samples + k;
        for (std::size_t o = 0; o < outputs; ++o) {
            mark[o] += m * x[o];
            space[o] += s * x[o];
        }
    }
    FskEnergies energies;
    for (std::size_t o = 0; o < outputs; ++o) {
        energies.mark += mark[o] * mark[o];
        energies.space += space[o] * space[o];
    }
    return energies;
}

}  // namespace zorv
