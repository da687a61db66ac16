// Encoders of the simulated NET2 transcoder's audio sections, in the formats
// of devices/Net2Format.h: IMA ADPCM blocks of 256 bytes and Speex frames of
// the size a Speex mode asks for (A-law comes from storage/G711.h).
//
// Plain values, not thread-safe: each channel of a stream owns its encoders.
#pragma once

#include <cstddef>
#include <cstdint>
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
class CSpeexFrameEncoder {
public:
    CSpeexFrameEncoder() = default;
    ~CSpeexFrameEncoder();
    CSpeexFrameEncoder(const CSpeexFrameEncoder&) = delete;
    CSpeexFrameEncoder& operator=(const CSpeexFrameEncoder&) = delete;

    // False for a rate and mode without a frame size.
    bool Init(uint32_t rateHz, uint32_t mode);
    std::size_t FrameSamples() const { return m_frameSamples; }
    std::size_t FrameBytes() const { return m_frameBytes; }
    int Quality() const { return m_quality; }
    // FrameSamples() samples into FrameBytes() bytes.
    void Encode(const int16_t* samples, uint8_t* frame);

private:
    void Release();

    void* m_state = nullptr;
    void* m_bits = nullptr;  // SpeexBits
    std::size_t m_frameSamples = 0;
    std::size_t m_frameBytes = 0;
    int m_quality = -1;
};

// The quality whose frames fill the Speex mode's frame size best, -1 for a
// rate and mode without one.
int SpeexQualityForMode(uint32_t rateHz, uint32_t mode);

}  // namespace zorv
