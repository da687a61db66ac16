// Bell 202 caller-ID receiver (1200 bit/s, 1200 Hz mark = 1, 2200 Hz space = 0)
// for one channel, listening from a ring until a message, an error or its
// four-second limit.
//
// Bits are decided on a grid of bit phases that together make three bits:
// 7, 6, 7 samples at 8000 Hz, 13, 14, 13 at 16000 Hz, 27, 26, 27 at 32000 Hz.
// Each phase has its own mark and space band-pass filters of length
// 2 x phase + 1 (400 Hz wide); a bit is the filter with more output energy
// over the middle half of the bit's samples. States:
//   0 off;
//   1 channel seizure: 50 alternating bits; a bit different from the bit
//     decided a look-ahead (2, 3 or 4 samples) later moves the grid by the
//     look-ahead (the count goes on, so a sender a few per cent off the
//     nominal rate still gets through), a bit equal to the one before
//     restarts it;
//   2 mark signal: 50 one bits in a row;
//   3 waiting for the first start bit;
//   4 message type and length bytes;  5 message body and checksum.
// Every byte (start bit 0, eight data bits LSB first, stop bit 1) is timed
// from its own start-bit edge, found to the sample: after a stop bit (and
// in the mark before the first byte) windows move in half-bit steps until
// one decides 0, then the first sample position since the last mark window
// that decides 0 places the edge. A sender a few per cent off 1200 bit/s
// therefore never drifts out of a bit. Windows whose stronger
// filter stays below about -48 dBm0 count as no carrier: in states 3 to 5 the
// message is abandoned and the decoder looks for a new channel seizure.
//
// Results: Process returns NumberReady (a valid message; the decoder stops),
// Failed (LastError() 1..6; the decoder stops), Running, or Off when the
// decoder was not started (or has stopped) and did nothing. The message is
// held in a fixed buffer large enough for any length byte, so no length from
// the line can overflow it. No tolerant mode: a message with a bad checksum
// is always dropped.
//
// Owned by its channel; used only on the device's reading thread, so it holds
// no lock. Init allocates nothing on the heap either: every buffer is a fixed
// member, and Process never allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "dsp/FskCallerIdMessage.h"

namespace zorv {

class CFskCallerIdDecoder {
public:
    enum class Result { Off, Running, NumberReady, Failed };

    // The largest piece converted to floating point at a time, in samples.
    static constexpr std::size_t kPieceSamples = 450;
    // The time limit after Start, in seconds of samples.
    static constexpr uint32_t kTickLimit = 4;

    CFskCallerIdDecoder();

    // Prepares the filters for 8000, 16000 or 32000 Hz and stops the decoder.
    // Any other rate returns false and leaves the decoder off: Start and
    // Process then do nothing.
    bool Init(uint32_t sampleRate);
    // Begins listening (state 1) with a fresh time limit, as on a ring. A
    // message being received (states 3 to 5) is not interrupted. The result
    // of an earlier message is kept until Reset.
    void Start();
    // Feeds count samples; reads nothing past count.
    Result Process(const int16_t* samples, std::size_t count);
    // Stops the decoder and clears the running state and the kept result.
    void Reset();

    bool IsInitialised() const { return m_sampleRate != 0; }
    int State() const { return m_state; }
    // 0, or the error of the last failure (FskCallerIdError).
    int LastError() const { return m_lastError; }
    // True when the last message gave a number (digits or a reason text).
    bool HasNumber() const { return m_fields.number[0] != '\0'; }
    const char* Number() const { return m_fields.number; }
    const char* Date() const { return m_fields.date; }
    const char* Time() const { return m_fields.time; }
    const char* Name() const { return m_fields.name; }
    uint32_t Ticks() const { return m_ticks; }

private:
    static constexpr std::size_t kPhases = 3;
    static constexpr std::size_t kMaxPhase = 27;
    static constexpr std::size_t kMaxTaps = 2 * kMaxPhase + 1;
    static constexpr std::size_t kBufferSamples = kPieceSamples + 256;
    static constexpr int kRunBits = 50;
    // Mark bits allowed between two bytes of a message.
    static constexpr int kMaxGapBits = 20;

    void Restart();
    void Stop(Result result, int error);
    void Append(const int16_t* samples, std::size_t count);
    Result RunBits();
    // Bit of the window starting at absolute sample start (phase gives the
    // window length): 1, 0, or -1 when there is no carrier.
    int Decide(int64_t start, std::size_t phase) const;
    void Advance();
    void LoseCarrier();
    Result StepSeizure();
    Result StepMark();
    Result StepAwaitStart();
    Result StepFrameBit();
    Result TakeByte(uint8_t byte);

    // Constant after Init.
    uint32_t m_sampleRate = 0;
    std::array<int, kPhases> m_phaseLength{};
    int m_lookAhead = 0;
    int m_maxPhase = 0;
    std::array<std::array<float, kMaxTaps>, kPhases> m_markTaps{};
    std::array<std::array<float, kMaxTaps>, kPhases> m_spaceTaps{};
    std::array<float, kPhases> m_carrierFloor{};

    // Running state.
    int m_state = 0;
    std::array<float, kBufferSamples> m_samples{};
    int64_t m_bufferStart = 0;  // absolute index of m_samples[0]
    std::size_t m_bufferCount = 0;
    int64_t m_pos = 0;        // absolute start of the next bit window
    std::size_t m_phase = 0;  // phase of the next bit
    int m_previousBit = -1;
    int m_runCount = 0;
    int64_t m_lastMarkPos = -1;  // window start of the last mark before a start bit
    bool m_inFrame = false;
    int m_frameBit = 0;  // 1..9 within a frame (0 is the start bit)
    unsigned m_byte = 0;
    int m_gapHalfBits = 0;  // half-bit steps of mark since the last stop bit
    uint64_t m_samplesSinceStart = 0;
    uint32_t m_ticks = 0;
    std::array<uint8_t, kFskMaxMessageBytes> m_message{};
    std::size_t m_messageCount = 0;
    std::size_t m_messageSize = 0;  // L + 3 once the length byte is in

    // Kept result.
    int m_lastError = 0;
    FskCallerIdFields m_fields;
};

}  // namespace zorv
