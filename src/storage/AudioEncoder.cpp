// The sample-by-sample encoders (16-bit PCM copied through, A-law, µ-law)
// and the choice of an encoder for a format.
#include "storage/AudioEncoder.h"

#include <cstring>

#include "storage/G711.h"
#include "storage/GsmEncoder.h"
#include "storage/ImaAdpcmEncoder.h"
#include "storage/Mp3Encoder.h"
#include "storage/MsAdpcmEncoder.h"

namespace zorv {

namespace {

class CPcmEncoder final : public CAudioEncoder {
public:
    explicit CPcmEncoder(uint16_t channels) : m_channels(channels) {}
    uint32_t FramesPerBlock() const override { return 1; }
    uint32_t BlockBytes() const override { return 2u * m_channels; }
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override {
        const std::size_t samples = frames * m_channels;
        for (std::size_t i = 0; i < samples; ++i) {
            StoreLe16(out + 2 * i, static_cast<uint16_t>(pcm[i]));
        }
        return 2 * samples;
    }

private:
    uint16_t m_channels;
};

template <uint8_t (*Compand)(int16_t)>
class CG711Encoder final : public CAudioEncoder {
public:
    explicit CG711Encoder(uint16_t channels) : m_channels(channels) {}
    uint32_t FramesPerBlock() const override { return 1; }
    uint32_t BlockBytes() const override { return m_channels; }
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override {
        const std::size_t samples = frames * m_channels;
        for (std::size_t i = 0; i < samples; ++i) {
            out[i] = Compand(pcm[i]);
        }
        return samples;
    }

private:
    uint16_t m_channels;
};

bool IsLinear(const CWaveFormat& f, uint16_t bits) {
    return f.BitsPerSample() == bits && f.BlockAlign() == f.Channels() * bits / 8 &&
           f.AvgBytesPerSec() == f.Rate() * f.BlockAlign();
}

}  // namespace

bool CanEncode(const CWaveFormat& f) {
    if (!IsWellFormed(f.Bytes()) || f.Channels() > 2 || f.Rate() > 192000) {
        return false;
    }
    switch (f.Tag()) {
        case kWaveFormatPcm:
            return IsLinear(f, 16);
        case kWaveFormatAlaw:
        case kWaveFormatMulaw:
            return IsLinear(f, 8);
        case kWaveFormatMsAdpcm:
            return CMsAdpcmEncoder::Accepts(f);
        case kWaveFormatImaAdpcm:
            return CImaAdpcmEncoder::Accepts(f);
        case kWaveFormatGsm610:
            return CGsmEncoder::Accepts(f);
        case kWaveFormatMpegLayer3:
            return CMp3Encoder::Accepts(f);
        default:
            return false;
    }
}

std::unique_ptr<CAudioEncoder> CreateAudioEncoder(const CWaveFormat& f) {
    if (!CanEncode(f)) {
        return nullptr;
    }
    switch (f.Tag()) {
        case kWaveFormatPcm:
            return std::make_unique<CPcmEncoder>(f.Channels());
        case kWaveFormatAlaw:
            return std::make_unique<CG711Encoder<LinearToAlaw>>(f.Channels());
        case kWaveFormatMulaw:
            return std::make_unique<CG711Encoder<LinearToMulaw>>(f.Channels());
        case kWaveFormatMsAdpcm:
            return std::make_unique<CMsAdpcmEncoder>(f);
        case kWaveFormatImaAdpcm:
            return std::make_unique<CImaAdpcmEncoder>(f);
        case kWaveFormatGsm610:
            return std::make_unique<CGsmEncoder>(f);
        case kWaveFormatMpegLayer3:
            return std::make_unique<CMp3Encoder>(f);
        default:
            return nullptr;
    }
}

}  // namespace zorv
