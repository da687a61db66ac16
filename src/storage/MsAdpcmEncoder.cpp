#include "storage/MsAdpcmEncoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                 768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kMinDelta = 16;
constexpr int kMaxDelta = 32767;  // the header holds it in 16 signed bits

int16_t Clamp16(int v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

}  // namespace

bool CMsAdpcmEncoder::Accepts(const CWaveFormat& f) {
    const uint16_t channels = f.Channels();
    if (f.Tag() != kWaveFormatMsAdpcm || f.BitsPerSample() != 4 || channels < 1 || channels > 2 ||
        f.ExtraSize() < 32 || f.BlockAlign() <= 7u * channels ||
        (f.BlockAlign() - 7u * channels) % channels != 0) {
        return false;
    }
    const CWaveFormat standard = CWaveFormat::MsAdpcm(channels, f.Rate(), f.BlockAlign());
    const uint32_t avg = standard.AvgBytesPerSec();
    // Samples per block, coefficient count and pairs exactly as the
    // standard block; the average rate may be rounded either way.
    return f.SamplesPerBlock() == standard.SamplesPerBlock() &&
           std::memcmp(f.Data() + 18, standard.Data() + 18, 32) == 0 &&
           f.AvgBytesPerSec() + 1 >= avg && f.AvgBytesPerSec() <= avg + 1;
}

CMsAdpcmEncoder::CMsAdpcmEncoder(const CWaveFormat& format)
    : m_channels(format.Channels()),
      m_framesPerBlock(format.SamplesPerBlock()),
      m_blockBytes(format.BlockAlign()),
      m_codes(static_cast<std::size_t>(format.SamplesPerBlock()) * format.Channels()) {}

std::size_t CMsAdpcmEncoder::Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) {
    std::size_t bytes = 0;
    while (frames > 0) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(frames, m_framesPerBlock));
        bytes += EncodeBlock(pcm, n, out + bytes);
        pcm += static_cast<std::size_t>(n) * m_channels;
        frames -= n;
    }
    return bytes;
}

int64_t CMsAdpcmEncoder::Run(const int16_t* pcm, uint32_t frames, int c, SChoice choice,
                             bool store) {
    const int coef1 = kMsAdpcmCoefficients[choice.predictor][0];
    const int coef2 = kMsAdpcmCoefficients[choice.predictor][1];
    int sample2 = pcm[c];
    int sample1 = frames > 1 ? pcm[m_channels + c] : sample2;
    int delta = choice.delta;
    int64_t error = 0;
    for (uint32_t t = 2; t < frames; ++t) {
        const int x = pcm[static_cast<std::size_t>(t) * m_channels + c];
        const int predicted = (sample1 * coef1 + sample2 * coef2) / 256;
        const int residual = x - predicted;
        int code = (residual + (residual >= 0 ? delta / 2 : -delta / 2)) / delta;
        code = std::clamp(code, -8, 7);
        const int decoded = Clamp16(predicted + code * delta);
        const int nibble = code & 0x0F;
        delta = std::max(kMinDelta, (kAdaptation[nibble] * delta) >> 8);
        sample2 = sample1;
        sample1 = decoded;
        error += static_cast<int64_t>(x - decoded) * (x - decoded);
        if (store) {
            m_codes[static_cast<std::size_t>(t) * m_channels + c] = static_cast<uint8_t>(nibble);
        }
    }
    return error;
}

std::size_t CMsAdpcmEncoder::EncodeBlock(const int16_t* pcm, uint32_t frames, uint8_t* out) {
    const int channels = m_channels;
    for (int c = 0; c < channels; ++c) {
        // Starting steps from the size of the prediction residual over the
        // first samples; the best predictor and step win.
        SChoice best;
        int64_t bestError = -1;
        for (int p = 0; p < 7; ++p) {
            int64_t sum = 0;
            const uint32_t probe = std::min<uint32_t>(frames, 18);
            for (uint32_t t = 2; t < probe; ++t) {
                const int predicted = (pcm[(t - 1) * channels + c] * kMsAdpcmCoefficients[p][0] +
                                       pcm[(t - 2) * channels + c] * kMsAdpcmCoefficients[p][1]) /
                                      256;
                sum += std::abs(pcm[t * channels + c] - predicted);
            }
            const int mean = probe > 2 ? static_cast<int>(sum / (probe - 2)) : 0;
            for (const int divisor : {1, 2, 4}) {
                const SChoice choice{p, std::clamp(mean / divisor, kMinDelta, kMaxDelta)};
                const int64_t error = Run(pcm, frames, c, choice, false);
                if (bestError < 0 || error < bestError) {
                    bestError = error;
                    best = choice;
                }
            }
        }
        Run(pcm, frames, c, best, true);
        const int16_t first = pcm[c];
        const int16_t second = frames > 1 ? pcm[channels + c] : first;
        out[c] = static_cast<uint8_t>(best.predictor);
        StoreLe16(out + channels + 2 * c, static_cast<uint16_t>(best.delta));
        StoreLe16(out + 3 * channels + 2 * c, static_cast<uint16_t>(second));  // sample 1
        StoreLe16(out + 5 * channels + 2 * c, static_cast<uint16_t>(first));   // sample 2
    }
    // Codes from frame 2 on, channel by channel within a frame, two per
    // byte with the earlier one in the high nibble.
    std::size_t bytes = 7u * channels;
    const std::size_t codes = frames > 2 ? static_cast<std::size_t>(frames - 2) * channels : 0;
    const uint8_t* code = &m_codes[2u * channels];
    for (std::size_t i = 0; i < codes; i += 2) {
        const uint8_t low = i + 1 < codes ? code[i + 1] : 0;
        out[bytes++] = static_cast<uint8_t>((code[i] << 4) | low);
    }
    return bytes;
}

}  // namespace zorv
