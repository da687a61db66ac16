// Speex decoding of one channel of a NET2 transcoder's stream: narrowband
// (160 samples a frame) at 8000 Hz, wideband (320) at 16000 Hz, perceptual
// enhancement off. The transcoder sends each 16-bit word of a frame with its
// two bytes exchanged; Decode puts them back in order first.
//
// Open and Reset allocate the library's decoder; Decode never allocates.
// Owned by the packet parser; not thread-safe.
#pragma once

#include <speex/speex_bits.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zorv {

class CSpeexFrameDecoder {
public:
    // The longest frame of any Speex mode the transcoder uses.
    static constexpr std::size_t kMaxFrameBytes = 64;
    // Samples of a wideband frame, the longer kind.
    static constexpr std::size_t kWideSamples = 320;

    CSpeexFrameDecoder() = default;
    ~CSpeexFrameDecoder();
    CSpeexFrameDecoder(const CSpeexFrameDecoder&) = delete;
    CSpeexFrameDecoder& operator=(const CSpeexFrameDecoder&) = delete;

    // Creates the decoder (wideband or narrowband); false when the library
    // refuses. Samples() is then the frame length.
    bool Open(bool wideband);
    void Close();
    bool IsOpen() const { return m_state != nullptr; }
    // A new decoder of the same kind, as at the start of a stream (allocates).
    void Reset();

    std::size_t Samples() const { return m_samples; }

    // Decodes one frame as received (words byte-exchanged; at most
    // kMaxFrameBytes, an odd last byte is taken as it is) into out, which
    // must have room for Samples(). False when the frame does not fit or the
    // decoder reports a corrupt or ended stream.
    bool Decode(std::span<const uint8_t> frame, std::span<int16_t> out);

private:
    void* m_state = nullptr;  // Owned (speex_decoder_init)
    SpeexBits m_bits{};
    bool m_bitsReady = false;
    bool m_wideband = false;
    std::size_t m_samples = 0;
    std::array<char, kMaxFrameBytes> m_frame{};
    std::array<float, kWideSamples> m_decoded{};
};

}  // namespace zorv
