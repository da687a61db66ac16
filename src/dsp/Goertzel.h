// Goertzel filters shared by the tone decoders (DTMF digits, DTMF caller ID,
// AON). A filter measures the power of one frequency over a frame of
// samples: s0 = x + c*s1 - s2 per sample, and after the frame the power
// s1^2 + s2^2 - c*s1*s2, which equals |sum x[n] e^(-j w n)|^2 over the frame.
//
// A decoder runs a group of filters side by side (eight DTMF frequencies,
// six AON frequencies): CGoertzelBank keeps their states in arrays and
// updates all of them in one loop over the group, which the compiler turns
// into vector instructions at -O2 (no intrinsics). Coefficients are filled
// once when a decoder is initialised; updating allocates nothing.
//
// Not thread-safe; each decoder owns its banks and is driven by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zorv {

// The rates the tone decoders run at: whole kHz from 8000 to 32000 Hz, so
// that every frame and step length scales from the 8000 Hz one without a
// remainder (8000, 16000 and 32000 Hz of the device table among them). At
// 64000 Hz the decoders stay off.
constexpr bool IsToneDecoderRate(uint32_t sampleRate) {
    return sampleRate >= 8000 && sampleRate <= 32000 && sampleRate % 1000 == 0;
}

// 2cos(2 pi k / N) with k = round(f N / rate): the filter sits on the DFT bin
// nearest to f for a frame of N samples.
float GoertzelBinCoefficient(double frequencyHz, std::size_t frameLength, uint32_t sampleRate);

// 2cos(2 pi f / rate): the filter sits exactly on f.
float GoertzelExactCoefficient(double frequencyHz, uint32_t sampleRate);

// The power of one filter from its last two states.
inline float GoertzelPower(float s1, float s2, float coefficient) {
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

template <std::size_t kCount>
class CGoertzelBank {
public:
    static constexpr std::size_t kFilters = kCount;

    void SetCoefficient(std::size_t index, float coefficient) { m_coeff[index] = coefficient; }
    float Coefficient(std::size_t index) const { return m_coeff[index]; }

    void Reset() {
        m_s1.fill(0.0f);
        m_s2.fill(0.0f);
    }

    // Runs `count` samples through every filter of the group.
    void Update(const int16_t* samples, std::size_t count) {
        alignas(32) float s1[kCount];
        alignas(32) float s2[kCount];
        alignas(32) float c[kCount];
        for (std::size_t f = 0; f < kCount; ++f) {
            s1[f] = m_s1[f];
            s2[f] = m_s2[f];
            c[f] = m_coeff[f];
        }
        for (std::size_t n = 0; n < count; ++n) {
            const float x = static_cast<float>(samples[n]);
            // Unrolled whole, so that the states stay in vector registers.
#pragma GCC unroll 16
            for (std::size_t f = 0; f < kCount; ++f) {
                const float s0 = x + c[f] * s1[f] - s2[f];
                s2[f] = s1[f];
                s1[f] = s0;
            }
        }
        for (std::size_t f = 0; f < kCount; ++f) {
            m_s1[f] = s1[f];
            m_s2[f] = s2[f];
        }
    }

    // The power of every filter over the samples since the last Reset.
    void Powers(float* out) const {
        for (std::size_t f = 0; f < kCount; ++f) {
            out[f] = GoertzelPower(m_s1[f], m_s2[f], m_coeff[f]);
        }
    }

private:
    alignas(32) std::array<float, kCount> m_coeff{};
    alignas(32) std::array<float, kCount> m_s1{};
    alignas(32) std::array<float, kCount> m_s2{};
};

}  // namespace zorv
