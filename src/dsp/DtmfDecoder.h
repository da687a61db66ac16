// Decoder of the digits dialled on a line (DTMF), fed while the line-state
// machine has the dialled-number window open; the collected digits become
// the call's called number.
//
// Samples are taken in chunks of SampleRate / 500 samples (16 at 8000 Hz).
// A chunk whose largest magnitude is below 2500 ends the frame in progress
// without a symbol ('?'). Loud chunks run through eight Goertzel filters on
// the DFT bins of the DTMF frequencies for frames of N = round(0.03 x rate)
// samples; a frame that fills mid-chunk is decided and the next frame starts
// with the rest of the chunk. A frame's row is the low-group frequency with
// more than 0.8 of the low group's power, its column likewise in the high
// group; without both, or when the two tones hold less than a tenth of the
// frame's energy (speech that happens to peak in both groups), the frame is
// '?'.
//
// Normal mode takes a symbol when two frames in a row decide it, once until
// the symbol changes or a '?' intervenes (a held key is one digit). Extra
// sensitivity takes it at the first frame that differs from the previous
// one. '?' is never taken, '*' is stored as 'x', and only the first 40
// digits are kept.
//
// The decoder is not thread-safe and holds no lock: the device's reading
// thread owns it and makes every call. Init fills everything; Process
// allocates nothing and never reads past `count`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dsp/Goertzel.h"

namespace zorv {

class CDtmfDecoder {
public:
    static constexpr std::size_t kMaxDigits = 40;
    static constexpr int kPeakGate = 2500;
    static constexpr char kNoSymbol = '?';

    // Prepares the decoder for a rate (IsToneDecoderRate); returns false and
    // stays off (Process does nothing) at any other rate. Clears everything
    // but the sensitivity mode.
    bool Init(uint32_t sampleRate);
    bool IsOn() const { return m_sampleRate != 0; }

    // "DtmfExtraSensitivity": take a symbol at its first frame.
    void SetExtraSensitivity(bool extra) { m_extraSensitivity = extra; }
    bool ExtraSensitivity() const { return m_extraSensitivity; }

    void Process(const int16_t* samples, std::size_t count);

    // Clears the frame in progress and the collected digits.
    void Reset();

    std::size_t DigitCount() const { return m_digitCount; }
    // The collected digits ('0'-'9', 'A'-'D', 'x', '#'), at most 40.
    std::string_view Digits() const { return {m_digits.data(), m_digitCount}; }

    std::size_t FrameLength() const { return m_frameLength; }
    std::size_t ChunkLength() const { return m_chunkLength; }

private:
    static constexpr std::size_t kMaxChunk = 32000 / 500;

    void ProcessChunk(const int16_t* chunk);
    char DecideFrame() const;
    void OnSymbol(char symbol);

    // Constant after Init.
    uint32_t m_sampleRate = 0;
    std::size_t m_frameLength = 0;
    std::size_t m_chunkLength = 0;
    bool m_extraSensitivity = false;

    // Running state.
    CGoertzelBank<8> m_bank;
    std::size_t m_frameFill = 0;
    float m_frameEnergy = 0.0f;
    std::array<int16_t, kMaxChunk> m_chunk{};
    std::size_t m_chunkFill = 0;
    char m_previous = kNoSymbol;
    bool m_accepted = false;

    // Result.
    std::array<char, kMaxDigits> m_digits{};
    std::size_t m_digitCount = 0;
};

}  // namespace zorv
