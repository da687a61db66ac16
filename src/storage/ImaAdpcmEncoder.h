// IMA ADPCM (format tag 0x11, 4 bits): blocks of a 4-byte header per channel
// (the first sample and the step index) followed by 4-bit codes, low nibble
// first, in groups of eight codes (four bytes) per channel. The step index
// carries over from block to block within a stream.
#pragma once

#include <array>

#include "storage/AudioEncoder.h"

namespace zorv {

class CImaAdpcmEncoder final : public CAudioEncoder {
public:
    // format must satisfy Accepts.
    explicit CImaAdpcmEncoder(const CWaveFormat& format);

    // 4 bits, 1 or 2 channels, a block align of whole 4-byte groups per
    // channel and the samples per block that follow from it.
    static bool Accepts(const CWaveFormat& format);

    uint32_t FramesPerBlock() const override { return m_framesPerBlock; }
    uint32_t BlockBytes() const override { return m_blockBytes; }
    void Reset() override { m_stepIndex.fill(0); }
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override;

private:
    std::size_t EncodeBlock(const int16_t* pcm, uint32_t frames, uint8_t* out);

    uint16_t m_channels;
    uint32_t m_framesPerBlock;
    uint32_t m_blockBytes;
    std::array<int, 2> m_stepIndex{};
};

}  // namespace zorv
