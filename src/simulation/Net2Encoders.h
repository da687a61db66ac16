// Encoders of the simulated NET2 transcoder's audio sections, in the formats
// of devices/Net2Format.h: IMA ADPCM blocks of 256 bytes and Speex frames of
// the size a Speex mode asks for (A-law comes from storage/G711.h).
//
// Plain values, not thread-safe: each channel of a stream owns its encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace zorv {

// IMA ADPCM: the state runs on from block to block, and each block header
// holds the state its first code starts from.
class CNet2AdpcmEncoder {
public:
    // kAdpcmBlockSamples samples into one kAdpcmBlockSize block.
    void EncodeBlock(const int16_t* samples, uint8_t* block);
    void Reset() { m_predictor = 0; m_index = 0; }

private:
    uint8_t EncodeSample(int sample);

    int m_predictor = 0;
    int m_index = 0;
};

// Speex narrowband (8000 Hz) or wideband (16000 Hz) frames of exactly
// SpeexFrameBytes(rate, mode) bytes: the highest quality whose frames fit
// (found by encoding a test frame), the rest of the frame zero, and every
// 16-bit word of the frame with its two bytes exchanged.
//
// Reuse (off unless asked for): a frame whose samples were encoded before,
// since Init, gets the bytes made then instead of a new encoding, so a line
// whose audio repeats (a tone, a looped file, silence) costs one encoding
// per distinct frame. This is for load runs, where encoding hundreds of
// lines would take more processor time than the server being measured;
// the frames are valid Speex frames of the same size and quality, only the
// encoder's memory from frame to frame is lost. Frames are told apart by a
// 64-bit hash of their samples; once kReuseSlots / 2 distinct frames are
// kept, further new ones are encoded every time.
class CSpeexFrameEncoder {
public:
    static constexpr std::size_t kReuseSlots = 256;

    CSpeexFrameEncoder() = default;
    ~CSpeexFrameEncoder();
    CSpeexFrameEncoder(const CSpeexFrameEncoder&) = delete;
    CSpeexFrameEncoder& operator=(const CSpeexFrameEncoder&) = delete;

    // False for a rate and mode without a frame size. Forgets the frames
    // kept for reuse; the reuse setting stays.
    bool Init(uint32_t rateHz, uint32_t mode);
    // Allocates the reuse table the first time it is switched on.
    void SetReuse(bool on);
    std::size_t FrameSamples() const { return m_frameSamples; }
    std::size_t FrameBytes() const { return m_frameBytes; }
    int Quality() const { return m_quality; }
    // FrameSamples() samples into FrameBytes() bytes.
    void Encode(const int16_t* samples, uint8_t* frame);
    // Frames run through the Speex encoder since Init (reused ones not counted).
    uint64_t EncodedFrames() const { return m_encoded; }

private:
    struct KeptFrame {
        uint64_t hash = 0;
        bool used = false;
        uint8_t bytes[64] = {};  // the largest frame has 60 bytes
    };

    void Release();
    void EncodeNew(const int16_t* samples, uint8_t* frame);

    void* m_state = nullptr;
    void* m_bits = nullptr;  // SpeexBits
    std::size_t m_frameSamples = 0;
    std::size_t m_frameBytes = 0;
    int m_quality = -1;
    uint64_t m_encoded = 0;
    bool m_reuse = false;
    std::unique_ptr<KeptFrame[]> m_kept;  // kReuseSlots, open addressing by hash
    std::size_t m_keptCount = 0;
};

// The quality whose frames fill the Speex mode's frame size best, -1 for a
// rate and mode without one.
int SpeexQualityForMode(uint32_t rateHz, uint32_t mode);

}  // namespace zorv
