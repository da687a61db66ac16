// Decoder of the AON answer of a Russian exchange: the caller number and
// category sent as 2-out-of-6 multi-frequency symbols (700..1700 Hz in
// 200 Hz steps) after the line is taken. One transmission is nine symbols
// of equal length: the start symbol (1100+1700 Hz), the category, and the
// seven digits from the last to the first; a symbol equal to the one sent
// just before it is replaced by the repeat symbol (1300+1700 Hz).
//
// Frames are 10 ms long (rate / 100 samples) and a new one ends every
// 1 ms (rate / 1000 samples, the hop). Each frame gives the powers of the
// six tones over the input divided by 256 (integer division, which mutes
// the quietest signals), and a symbol when the second strongest power
// times 0.25 exceeds the third. Consecutive equal frame symbols are kept
// as runs (symbol, frame count), at most 400. A sequence ends when the run
// list is full, 600 frames pass without a start symbol, or a silence run
// reaches 80 frames; only then is it decoded: a search over symbol periods
// of 30..60 frames and every phase (1395 combinations) folds the frames
// onto nine slots, the best fold is read from its start slot, and the result
// replaces the kept one when its score is at least as high.
//
// Per-frame cost: the frame powers come from block sums rather than from six
// Goertzel filters run over every overlapping frame. Each hop of samples is
// summed against the tones' twiddles e^(-j 2 pi k n / N) at the absolute
// sample index n (mod N; k = f N / rate is a whole number at every supported
// rate), and a frame's complex sums are the sums of its last ten blocks, so
// each frame's power equals the Goertzel power s1^2 + s2^2 - c s1 s2 of
// that frame (on exact frequencies, which are bin frequencies here). The
// frame sums move by one block in and one out per hop and are summed afresh
// from the ten blocks once per frame length, so rounding never piles up.
// About 30 floating-point operations per sample instead of 60 for six
// filters over ten overlapping frames.
//
// The decoder is not thread-safe and holds no lock: the device's reading
// thread owns it and makes every call. Init allocates the twiddle table;
// Process allocates nothing and never reads past `count`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zorv {

class CAonDecoder {
public:
    static constexpr int kTones = 6;
    static constexpr uint8_t kRepeat = 10;
    static constexpr uint8_t kStart = 11;
    static constexpr uint8_t kNothing = 12;
    static constexpr std::size_t kMaxRuns = 400;
    static constexpr int kNumberLength = 7;

    // Prepares the decoder for a rate (IsToneDecoderRate); returns false and
    // stays off (Process does nothing) at any other rate. Clears the runs and
    // the kept result.
    bool Init(uint32_t sampleRate);
    bool IsOn() const { return m_sampleRate != 0; }

    void Process(const int16_t* samples, std::size_t count);

    // Clears the frame in progress, the runs, the kept result and its score.
    void Reset();

    // "Aon"/"Len": how many of the seven digits NumberText gives (the last
    // ones). Values outside 1..7 give 7.
    void SetNumberLength(int length);
    int NumberLength() const { return m_numberLength; }

    // The count of kept symbols that are digits, repeat or start (0 when
    // nothing was decoded).
    int HasNumber() const;
    // The kept number: '0'..'9', '?' for a slot without a digit; the last
    // NumberLength() of the seven characters.
    std::string_view NumberText() const;
    // The kept category symbol when it is a digit, else 0.
    int Category() const;
    // The score of the kept result (0 when nothing was decoded).
    int Score() const { return m_keptScore; }

    // Diagnostics: frames decided since Init or Reset, and the six tone
    // powers and the symbol of the last one.
    uint64_t FrameCount() const { return m_frameCount; }
    const std::array<float, kTones>& LastFramePowers() const { return m_powers; }
    uint8_t LastFrameSymbol() const { return m_lastSymbol; }
    // Runs of the sequence in progress (at most kMaxRuns).
    std::size_t RunCount() const { return m_runCount; }

private:
    static constexpr std::size_t kBlocksPerFrame = 10;
    static constexpr std::size_t kLanes = 2 * kTones;

    struct Run {
        uint8_t symbol;
        uint32_t frames;
    };

    void EndBlock();
    uint8_t FrameSymbol() const;
    void Collect(uint8_t symbol);
    void ClearRuns();
    void Decode();
    void FormatText();

    // Constant after Init.
    uint32_t m_sampleRate = 0;
    std::size_t m_frameLength = 0;
    std::size_t m_hop = 0;
    // Per sample index n mod frame length: cos of the six tones, then sin.
    std::vector<float> m_twiddle;
    int m_numberLength = kNumberLength;

    // Running state: the block in progress and the last ten block sums.
    alignas(32) std::array<float, kLanes> m_block{};
    std::size_t m_blockFill = 0;
    std::size_t m_phase = 0;
    alignas(32) std::array<std::array<float, kLanes>, kBlocksPerFrame> m_blocks{};
    alignas(32) std::array<float, kLanes> m_frameSum{};
    std::size_t m_blockIndex = 0;
    std::size_t m_blocksSeen = 0;
    uint64_t m_frameCount = 0;
    std::array<float, kTones> m_powers{};
    uint8_t m_lastSymbol = kNothing;

    // Runs of the sequence in progress.
    std::array<Run, kMaxRuns> m_runs{};
    std::size_t m_runCount = 0;
    uint32_t m_framesSinceStart = 0;
    uint32_t m_silenceLength = 0;

    // Kept result: eight symbols (seven digits from the last, the category).
    std::array<uint8_t, 8> m_kept{};
    int m_keptScore = 0;
    std::array<char, kNumberLength> m_text{};
};

}  // namespace zorv
