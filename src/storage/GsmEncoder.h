// GSM 6.10 (format tag 0x31) in the framing of WAV files: blocks of 65 bytes
// holding two 160-sample frames (320 samples, mono), packed by libgsm's
// WAV49 option. The codec keeps state from frame to frame within a stream; a
// last partial block is padded with silence.
#pragma once

#include "storage/AudioEncoder.h"

struct gsm_state;

namespace zorv {

class CGsmEncoder final : public CAudioEncoder {
public:
    static constexpr uint32_t kFramesPerBlock = 320;
    static constexpr uint32_t kBlockBytes = 65;

    // format must satisfy Accepts. Throws std::bad_alloc when libgsm cannot
    // allocate its state.
    explicit CGsmEncoder(const CWaveFormat& format);
    ~CGsmEncoder() override;
    CGsmEncoder(const CGsmEncoder&) = delete;
    CGsmEncoder& operator=(const CGsmEncoder&) = delete;

    // Mono, 65-byte blocks of 320 samples.
    static bool Accepts(const CWaveFormat& format);

    uint32_t FramesPerBlock() const override { return kFramesPerBlock; }
    uint32_t BlockBytes() const override { return kBlockBytes; }
    void Reset() override;
    std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) override;

private:
    gsm_state* m_gsm = nullptr;
};

}  // namespace zorv
