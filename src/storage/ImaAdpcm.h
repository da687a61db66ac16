// IMA ADPCM: the step and index tables and the coding of one sample, shared
// by the record codec, the NET2 transcoder stream's decoder and the
// simulator's encoder.
#pragma once

#include <array>
#include <cstdint>

namespace zorv {

inline constexpr std::array<int, 89> kImaStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// Step index change of each 4-bit code.
inline constexpr std::array<int, 16> kImaIndexTable = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                       -1, -1, -1, -1, 2, 4, 6, 8};

// The 4-bit code of sample x from predictor and step index, both updated as
// the decoder will update them; the predictor is held within lowest..32767
// (the record codec's decoders allow -32768, the NET2 transcoder -32767).
uint8_t ImaEncodeSample(int x, int& predictor, int& index, int lowest = -32768);

}  // namespace zorv
