// Conversion of 16-bit line samples to the floating point the filters work
// in. Values keep their scale (full scale is ±32768), so levels computed on the
// converted samples compare directly with levels of the 16-bit signal.
// Stateless; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

// Writes count samples of in to out as float. The buffers must not overlap.
inline void ConvertToFloat(const int16_t* __restrict in, float* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<float>(in[i]);
    }
}

}  // namespace zorv
