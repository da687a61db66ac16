// The band-pass design the caller-ID filters are made with: the shapes the
// decoder relies on (odd length, linear phase, unit absolute sum, a pass band
// where it was asked for).
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "dsp/BandPassFir.h"

namespace zorv {
namespace {

struct FirCase {
    std::size_t length;
    double rate;
    double centreHz;
};

// The lengths and bands of the caller-ID filters at each rate.
constexpr FirCase kCases[] = {
    {15, 8000, 1200},  {13, 8000, 2200},  {27, 16000, 1200},
    {29, 16000, 2200}, {55, 32000, 1200}, {53, 32000, 2200},
};

TEST(BandPassFirTest, SymmetricUnitSumAndPassesItsBand) {
    for (const FirCase& c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << c.length << " taps, " << c.centreHz << " Hz at " << c.rate);
        std::array<float, 64> taps{};
        ASSERT_TRUE(DesignBandPassFir(taps.data(), c.length, c.centreHz / c.rate, 400 / c.rate));
        double absSum = 0.0;
        for (std::size_t k = 0; k < c.length; ++k) {
            absSum += std::fabs(taps[k]);
            EXPECT_FLOAT_EQ(taps[k], taps[c.length - 1 - k]);  // linear phase
        }
        EXPECT_NEAR(absSum, 1.0, 1e-5);
        EXPECT_EQ(taps[c.length], 0.0f);  // nothing written past the length
        const double centre = FirGainAt(taps.data(), c.length, c.centreHz / c.rate);
        // The other tone, and far outside the band (DC and near half the rate).
        const double otherTone = c.centreHz == 1200 ? 2200 : 1200;
        EXPECT_GT(centre, 2.0 * FirGainAt(taps.data(), c.length, otherTone / c.rate));
        EXPECT_GT(centre, 5.0 * FirGainAt(taps.data(), c.length, 0.0));
        EXPECT_GT(centre, 5.0 * FirGainAt(taps.data(), c.length, 3900 / c.rate));
    }
}

TEST(BandPassFirTest, RefusesEvenLengthsAndBandsOutsideTheRate) {
    std::array<float, 16> taps{};
    taps.fill(7.0f);
    EXPECT_FALSE(DesignBandPassFir(taps.data(), 14, 0.15, 0.05));
    EXPECT_FALSE(DesignBandPassFir(taps.data(), 0, 0.15, 0.05));
    EXPECT_FALSE(DesignBandPassFir(taps.data(), 15, 0.49, 0.05));
    EXPECT_FALSE(DesignBandPassFir(taps.data(), 15, 0.01, 0.05));
    EXPECT_FALSE(DesignBandPassFir(taps.data(), 15, 0.15, 0.0));
    for (float tap : taps) {
        EXPECT_EQ(tap, 7.0f);
    }
}

}  // namespace
}  // namespace zorv
