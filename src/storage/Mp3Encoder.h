// MPEG Layer-3 (format tag 0x55) through libmp3lame, at the constant bit
// rate the format block's nAvgBytesPerSec names. The "data" chunk of such a
// record holds the MP3 frames back to back, as players of MP3-in-WAV expect;
// the format block is MPEGLAYER3WAVEFORMAT (cbSize 12) or a bare 18-byte one.
//
// The encoder buffers samples between calls; Finish flushes what it holds at
// the end of a stream. Used by one thread at a time.
#pragma once

#include "storage/AudioEncoder.h"

struct lame_global_struct;

namespace zorv {

class CMp3Encoder final : public CAudioEncoder {
public:
    // format must satisfy Accepts. Throws std::bad_alloc when libmp3lame
    // cannot be set up.
    explicit CMp3Encoder(const CWaveFormat& format);
    ~CMp3Encoder() override;
    CMp3Encoder(const CMp3Encoder&) = delete;
    CMp3Encoder& operator=(const CMp3Encoder&) = delete;

    // Mono or stereo, an MPEG sample rate, and a bit rate (nAvgBytesPerSec ×
    // 8) that MPEG allows at that rate.
    static bool Accepts(const CWaveFormat& format);
    // The block for a rate, channel count and bit rate in kbit/s.
    static CWaveFormat Format(uint16_t channels, uint32_t rate, uint32_t kbps);

    uint32_t FramesPerBlock() const override { return m_framesPerBlock; }
    // Room for one block's output and a flush (libmp3lame's worst cases).
    uint32_t BlockBytes() const override { return m_framesPerBlock * 5 / 4 + 2 * 7200; }
    void Reset() override;
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override;
    std::size_t Finish(uint8_t* out) override;

private:
    void Open();

    uint16_t m_channels;
    uint32_t m_rate;
    uint32_t m_kbps;
    uint32_t m_framesPerBlock;
    lame_global_struct* m_lame = nullptr;
};

}  // namespace zorv
