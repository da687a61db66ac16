// Decoder of a caller number sent as DTMF digits before or during ringing:
// a start key (A, B or D), the digits, and C as the end key. The device
// starts it when it is created and feeds it while the line is free or
// ringing; it never stops on its own unless a time limit is set.
//
// States: 0 off; 1 waiting for a signal (steps of SampleRate / 320 samples,
// 25 at 8000 Hz: at least 7 sign changes and a peak of at least 1000 start
// a frame); 2 one frame for the start key (A, B or D, else back to 1);
// 4 waiting for a frame without a key; 3 a digit, B or D is kept (then 4),
// C ends the message (5), three other frames in a row go back to 1;
// 5 the first frame without a key completes the message. Frames are
// SampleRate / 30 samples; a frame's key is the pair of the two strongest
// of eight Goertzel powers (on the exact DTMF frequencies) when the second
// strongest times 0.25 exceeds the third and the pair is one low and one
// high frequency; anything else is "no key". A frame whose weaker tone is
// below about -40 dBm0 is "no key" too: without that floor the line noise
// of a gap, which has no level at all to compare with, decides random keys
// (a false digit, or a lost one while the decoder waits for a gap).
//
// A message B 0 0 gives "Out of area", B 1 0 gives "Private"; otherwise the
// digits after the start key up to the first other key (at most 40) are the
// number. A message without digits gives no number. The symbols of one
// message are kept in a fixed list of kMaxSymbols; a longer message is cut
// there. After a number the decoder starts again at state 1 (unless
// continuing is switched off) and the number stays until Reset.
//
// The decoder is not thread-safe and holds no lock: the device's reading
// thread owns it and makes every call. Process allocates nothing and never
// reads past `count`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dsp/Goertzel.h"

namespace zorv {

class CDtmfCallerIdDecoder {
public:
    static constexpr std::size_t kMaxNumber = 40;
    static constexpr std::size_t kMaxSymbols = 64;
    // Symbol codes: digits 0..9, A 10, B 11, C 12, D 13, none 14, '*' 15, '#' 16.
    static constexpr uint8_t kSymbolA = 10;
    static constexpr uint8_t kSymbolB = 11;
    static constexpr uint8_t kSymbolC = 12;
    static constexpr uint8_t kSymbolD = 13;
    static constexpr uint8_t kNoSymbol = 14;

    // Prepares the decoder for a rate (IsToneDecoderRate) and starts it
    // (state 1); returns false and stays off at any other rate.
    bool Init(uint32_t sampleRate);
    bool IsOn() const { return m_sampleRate != 0; }

    // Returns true when a number was completed during this call.
    bool Process(const int16_t* samples, std::size_t count);

    // Clears the message in progress, the tick count and the number; a
    // decoder that is initialised starts again at state 1.
    void Reset();

    // Stops the decoder (state 0) after that many seconds of samples; 0 (the
    // default) never stops it.
    void SetTimeLimit(uint32_t seconds) { m_tickLimit = seconds; }
    // Whether to start again at state 1 after a number (default true).
    void SetContinue(bool again) { m_continue = again; }

    bool HasNumber() const { return m_numberLength > 0; }
    std::string_view NumberText() const { return {m_number.data(), m_numberLength}; }
    int State() const { return m_state; }

private:
    void EndStep();
    uint8_t DecideFrame() const;
    bool OnFrame(uint8_t symbol);
    void Keep(uint8_t symbol);
    void Restart();
    bool CompleteMessage();

    // Constant after Init.
    uint32_t m_sampleRate = 0;
    std::size_t m_frameLength = 0;
    std::size_t m_stepLength = 0;
    float m_minTonePower = 0.0f;
    uint32_t m_tickLimit = 0;
    bool m_continue = true;

    // Running state.
    int m_state = 0;
    CGoertzelBank<8> m_bank;
    std::size_t m_fill = 0;
    int m_signChanges = 0;
    int m_peak = 0;
    bool m_lastNegative = false;
    int m_otherFrames = 0;
    std::array<uint8_t, kMaxSymbols> m_symbols{};
    std::size_t m_symbolCount = 0;
    uint32_t m_tickSamples = 0;
    uint32_t m_ticks = 0;

    // Result.
    std::array<char, kMaxNumber> m_number{};
    std::size_t m_numberLength = 0;
};

}  // namespace zorv
