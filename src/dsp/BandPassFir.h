// Design of linear-phase band-pass FIR filters: a windowed sinc (Hamming
// window) of odd length 2n+1, normalised so that the absolute values of the
// taps sum to 1. The normalisation bounds the output by the largest input
// sample, whatever the band. Design runs once at initialisation; nothing here
// allocates. Stateless; any thread may call it.
#pragma once

#include <cstddef>

namespace zorv {

// Fills taps[0..length) with the band-pass filter centred on centre with the
// total width width, both as fractions of the sample rate (0 < centre < 0.5,
// 0 < width, centre ± width/2 within 0..0.5). length must be odd.
// Returns false and leaves taps untouched for an even or zero length or a band
// outside 0..0.5.
bool DesignBandPassFir(float* taps, std::size_t length, double centre, double width);

// Magnitude of the response of taps at frequency (a fraction of the sample
// rate): |sum taps[k] e^{-j 2 pi f k}|.
double FirGainAt(const float* taps, std::size_t length, double frequency);

}  // namespace zorv
