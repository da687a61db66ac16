// MS-ADPCM (format tag 2): blocks of a 7-byte header per channel (predictor
// index, initial step, the first two samples) followed by 4-bit codes, high
// nibble first, channels interleaved code by code. For each block and
// channel the encoder tries every coefficient pair of the format and a few
// initial steps and keeps the one with the smallest error. Blocks are
// independent, so the encoder has no state between them.
#pragma once

#include <vector>

#include "storage/AudioEncoder.h"

namespace zorv {

class CMsAdpcmEncoder final : public CAudioEncoder {
public:
    // format must satisfy Accepts.
    explicit CMsAdpcmEncoder(const CWaveFormat& format);

    // 4 bits, 1 or 2 channels, samples per block matching the block align,
    // and the seven standard coefficient pairs (the ones every decoder knows).
    static bool Accepts(const CWaveFormat& format);

    uint32_t FramesPerBlock() const override { return m_framesPerBlock; }
    uint32_t BlockBytes() const override { return m_blockBytes; }
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override;

private:
    struct SChoice {
        int predictor = 0;
        int delta = 16;
    };
    std::size_t EncodeBlock(const int16_t* pcm, uint32_t frames, uint8_t* out);
    // Encodes channel c of a block with the given start; codes go to
    // m_codes (one per frame from frame 2) when store is set. Returns the
    // squared error.
    int64_t Run(const int16_t* pcm, uint32_t frames, int c, SChoice choice, bool store);

    uint16_t m_channels;
    uint32_t m_framesPerBlock;
    uint32_t m_blockBytes;
    // 4-bit codes of one block, per channel.
    std::vector<uint8_t> m_codes;
};

}  // namespace zorv
