#include "storage/ImaAdpcmEncoder.h"

#include <algorithm>

namespace zorv {

namespace {

constexpr int kStepSizes[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexChange[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// One 4-bit code for x from the predictor and step index, both updated as
// the decoder will update them.
uint8_t EncodeSample(int x, int& predictor, int& index) {
    const int step = kStepSizes[index];
    int diff = x - predictor;
    uint8_t code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    int decoded = step >> 3;
    if (diff >= step) {
        code |= 4;
        diff -= step;
        decoded += step;
    }
    if (diff >= step >> 1) {
        code |= 2;
        diff -= step >> 1;
        decoded += step >> 1;
    }
    if (diff >= step >> 2) {
        code |= 1;
        decoded += step >> 2;
    }
    predictor = std::clamp(predictor + ((code & 8) ? -decoded : decoded), -32768, 32767);
    index = std::clamp(index + kIndexChange[code & 7], 0, 88);
    return code;
}

}  // namespace

bool CImaAdpcmEncoder::Accepts(const CWaveFormat& f) {
    const uint16_t channels = f.Channels();
    if (f.Tag() != kWaveFormatImaAdpcm || f.BitsPerSample() != 4 || channels < 1 || channels > 2 ||
        f.ExtraSize() < 2 || f.BlockAlign() <= 4u * channels ||
        f.BlockAlign() % (4u * channels) != 0) {
        return false;
    }
    const CWaveFormat standard = CWaveFormat::ImaAdpcm(channels, f.Rate(), f.BlockAlign());
    const uint32_t avg = standard.AvgBytesPerSec();
    return f.SamplesPerBlock() == standard.SamplesPerBlock() && f.AvgBytesPerSec() + 1 >= avg &&
           f.AvgBytesPerSec() <= avg + 1;
}

CImaAdpcmEncoder::CImaAdpcmEncoder(const CWaveFormat& format)
    : m_channels(format.Channels()),
      m_framesPerBlock(format.SamplesPerBlock()),
      m_blockBytes(format.BlockAlign()) {}

std::size_t CImaAdpcmEncoder::Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) {
    std::size_t bytes = 0;
    while (frames > 0) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(frames, m_framesPerBlock));
        bytes += EncodeBlock(pcm, n, out + bytes);
        pcm += static_cast<std::size_t>(n) * m_channels;
        frames -= n;
    }
    return bytes;
}

std::size_t CImaAdpcmEncoder::EncodeBlock(const int16_t* pcm, uint32_t frames, uint8_t* out) {
    const int channels = m_channels;
    std::array<int, 2> predictor{};
    for (int c = 0; c < channels; ++c) {
        predictor[c] = pcm[c];
        StoreLe16(out + 4 * c, static_cast<uint16_t>(pcm[c]));
        out[4 * c + 2] = static_cast<uint8_t>(m_stepIndex[c]);
        out[4 * c + 3] = 0;
    }
    std::size_t bytes = 4u * channels;
    // Groups of eight frames after the first; a short last group repeats its
    // last sample so that the padding codes stay small.
    for (uint32_t first = 1; first < frames; first += 8) {
        for (int c = 0; c < channels; ++c) {
            for (uint32_t k = 0; k < 8; k += 2) {
                const uint32_t t0 = std::min(first + k, frames - 1);
                const uint32_t t1 = std::min(first + k + 1, frames - 1);
                const uint8_t low =
                    EncodeSample(pcm[t0 * channels + c], predictor[c], m_stepIndex[c]);
                const uint8_t high =
                    EncodeSample(pcm[t1 * channels + c], predictor[c], m_stepIndex[c]);
                out[bytes++] = static_cast<uint8_t>(low | (high << 4));
            }
        }
    }
    return bytes;
}

}  // namespace zorv
