// IMA ADPCM decoding of one channel of a NET2 transcoder's stream: each block
// sets the predictor and the step index, then 4-bit codes follow, the high
// nibble of each byte first.
//
// A code byte carries two samples; when the output has room for only the
// first, the second is held and written first by the next call, so a caller
// may hand over any output size. Owned by the packet parser; not
// thread-safe; never allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zorv {

class CImaAdpcmDecoder {
public:
    static constexpr int kMaxStepIndex = 88;

    // Predictor 0, step index 0, nothing held.
    void Reset();
    // Starts a block. False (and nothing changed) for a step index above 88.
    bool Start(int16_t predictor, uint16_t stepIndex);

    // Decodes code bytes into out, the held sample first. Returns the samples
    // written; consumed is the count of code bytes taken. Stops when out is
    // full, holding the low nibble's sample when only the high one fitted.
    std::size_t Decode(std::span<const uint8_t> codes, std::span<int16_t> out,
                       std::size_t& consumed);

    // One code (0..15) through the decoder state.
    int16_t DecodeNibble(uint8_t code);

    int Predictor() const { return m_predictor; }
    int StepIndex() const { return m_stepIndex; }
    bool HoldsSample() const { return m_held; }

private:
    int m_predictor = 0;
    int m_stepIndex = 0;
    bool m_held = false;
    int16_t m_heldSample = 0;
};

}  // namespace zorv
