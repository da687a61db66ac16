#include "storage/ImaAdpcmEncoder.h"

#include <algorithm>

#include "storage/ImaAdpcm.h"

namespace zorv {

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
                    ImaEncodeSample(pcm[t0 * channels + c], predictor[c], m_stepIndex[c]);
                const uint8_t high =
                    ImaEncodeSample(pcm[t1 * channels + c], predictor[c], m_stepIndex[c]);
                out[bytes++] = static_cast<uint8_t>(low | (high << 4));
            }
        }
    }
    return bytes;
}

}  // namespace zorv
