#include "dsp/BandPassFir.h"

#include <cmath>
#include <numbers>

namespace zorv {

bool DesignBandPassFir(float* taps, std::size_t length, double centre, double width) {
    if (taps == nullptr || length == 0 || length % 2 == 0) {
        return false;
    }
    const double low = centre - width / 2.0;
    const double high = centre + width / 2.0;
    if (!(width > 0.0) || !(low >= 0.0) || !(high <= 0.5)) {
        return false;
    }
    const double pi = std::numbers::pi;
    const auto half = static_cast<double>(length / 2);
    double absSum = 0.0;
    for (std::size_t k = 0; k < length; ++k) {
        const double m = static_cast<double>(k) - half;
        // Ideal band-pass: a low-pass of half the width shifted to the centre.
        const double lowPass = m == 0.0 ? width : std::sin(pi * width * m) / (pi * m);
        const double ideal = 2.0 * lowPass * std::cos(2.0 * pi * centre * m);
        const double window = length == 1
                                  ? 1.0
                                  : 0.54 - 0.46 * std::cos(2.0 * pi * static_cast<double>(k) /
                                                           static_cast<double>(length - 1));
        const double tap = ideal * window;
        taps[k] = static_cast<float>(tap);
        absSum += std::fabs(tap);
    }
    if (absSum > 0.0) {
        for (std::size_t k = 0; k < length; ++k) {
            taps[k] = static_cast<float>(taps[k] / absSum);
        }
    }
    return true;
}

double FirGainAt(const float* taps, std::size_t length, double frequency) {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t k = 0; k < length; ++k) {
        const double phase = 2.0 * std::numbers::pi * frequency * static_cast<double>(k);
        re += taps[k] * std::cos(phase);
        im -= taps[k] * std::sin(phase);
    }
    return std::hypot(re, im);
}

}  // namespace zorv
