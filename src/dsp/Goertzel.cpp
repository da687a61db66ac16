#include "dsp/Goertzel.h"

#include <cmath>
#include <numbers>

namespace zorv {

float GoertzelBinCoefficient(double frequencyHz, std::size_t frameLength, uint32_t sampleRate) {
    if (frameLength == 0 || sampleRate == 0) {
        return 0.0f;
    }
    const double n = static_cast<double>(frameLength);
    const double k = std::round(frequencyHz * n / static_cast<double>(sampleRate));
    return static_cast<float>(2.0 * std::cos(2.0 * std::numbers::pi * k / n));
}

float GoertzelExactCoefficient(double frequencyHz, uint32_t sampleRate) {
    if (sampleRate == 0) {
        return 0.0f;
    }
    return static_cast<float>(
        2.0 * std::cos(2.0 * std::numbers::pi * frequencyHz / static_cast<double>(sampleRate)));
}

}  // namespace zorv
