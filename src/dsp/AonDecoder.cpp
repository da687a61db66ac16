#include "dsp/AonDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "dsp/Goertzel.h"

namespace zorv {

namespace {

constexpr int kAonFrequencies[CAonDecoder::kTones] = {700, 900, 1100, 1300, 1500, 1700};
constexpr int kSlots = 9;
constexpr int kSymbolCodes = 12;  // 0..11; 12 is never counted
constexpr int kMinPeriod = 30;
constexpr int kMaxPeriod = 60;
constexpr uint32_t kMaxFramesWithoutStart = 600;
constexpr uint32_t kMaxSilence = 80;
constexpr uint32_t kMinToneFrames = 200;

// The symbol of a pair of tones (lower index first); 12 for pairs without one.
constexpr uint8_t kPairSymbol[CAonDecoder::kTones][CAonDecoder::kTones] = {
    // 700  900 1100 1300 1500 1700
    {12, 1, 2, 4, 7, 12},      // 700
    {12, 12, 3, 5, 8, 12},     // 900
    {12, 12, 12, 6, 9, 11},    // 1100
    {12, 12, 12, 12, 0, 10},   // 1300
    {12, 12, 12, 12, 12, 12},  // 1500
    {12, 12, 12, 12, 12, 12},  // 1700
};

struct Slot {
    uint8_t symbol;
    uint32_t best;
    uint32_t total;
};

double Ratio(const Slot& slot) {
    return slot.total == 0 ? 0.0 : static_cast<double>(slot.best) / slot.total;
}

}  // namespace

bool CAonDecoder::Init(uint32_t sampleRate) {
    m_sampleRate = 0;
    if (!IsToneDecoderRate(sampleRate)) {
        m_twiddle.clear();
        Reset();
        return false;
    }
    m_frameLength = sampleRate / 100;
    m_hop = m_frameLength / kBlocksPerFrame;
    m_twiddle.assign(m_frameLength * kLanes, 0.0f);
    for (std::size_t n = 0; n < m_frameLength; ++n) {
        for (int t = 0; t < kTones; ++t) {
            // k = f N / rate is whole: every frame holds whole cycles of every tone.
            const std::size_t k =
                static_cast<std::size_t>(kAonFrequencies[t]) * m_frameLength / sampleRate;
            const double angle = 2.0 * std::numbers::pi *
                                 static_cast<double>((k * n) % m_frameLength) /
                                 static_cast<double>(m_frameLength);
            m_twiddle[n * kLanes + t] = static_cast<float>(std::cos(angle));
            m_twiddle[n * kLanes + kTones + t] = static_cast<float>(std::sin(angle));
        }
    }
    m_sampleRate = sampleRate;
    Reset();
    return true;
}

void CAonDecoder::Reset() {
    m_block.fill(0.0f);
    m_blockFill = 0;
    m_phase = 0;
    for (auto& block : m_blocks) {
        block.fill(0.0f);
    }
    m_frameSum.fill(0.0f);
    m_blockIndex = 0;
    m_blocksSeen = 0;
    m_frameCount = 0;
    m_powers.fill(0.0f);
    m_lastSymbol = kNothing;
    ClearRuns();
    m_kept.fill(kNothing);
    m_keptScore = 0;
    FormatText();
}

void CAonDecoder::SetNumberLength(int length) {
    m_numberLength = (length >= 1 && length <= kNumberLength) ? length : kNumberLength;
}

void CAonDecoder::Process(const int16_t* samples, std::size_t count) {
    if (m_sampleRate == 0 || samples == nullptr) {
        return;
    }
    std::size_t pos = 0;
    while (pos < count) {
        const std::size_t run = std::min(count - pos, m_hop - m_blockFill);
        alignas(32) float acc[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            acc[l] = m_block[l];
        }
        const float* twiddle = m_twiddle.data() + m_phase * kLanes;
        for (std::size_t i = 0; i < run; ++i) {
            // Integer division (towards zero), as the frame powers are defined.
            const float x = static_cast<float>(samples[pos + i] / 256);
#pragma GCC unroll 12
            for (std::size_t l = 0; l < kLanes; ++l) {
                acc[l] += x * twiddle[l];
            }
            twiddle += kLanes;
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            m_block[l] = acc[l];
        }
        m_phase += run;
        m_blockFill += run;
        pos += run;
        if (m_blockFill == m_hop) {
            EndBlock();
        }
    }
}

void CAonDecoder::EndBlock() {
    // The frame sum moves by the new block less the one leaving the frame;
    // once per round of ten blocks it is summed afresh, so rounding errors
    // never pile up.
    std::array<float, kLanes>& slot = m_blocks[m_blockIndex];
    for (std::size_t l = 0; l < kLanes; ++l) {
        m_frameSum[l] += m_block[l] - slot[l];
    }
    slot = m_block;
    m_block.fill(0.0f);
    m_blockFill = 0;
    m_blockIndex = (m_blockIndex + 1) % kBlocksPerFrame;
    if (m_blockIndex == 0) {
        m_frameSum.fill(0.0f);
        for (const auto& block : m_blocks) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                m_frameSum[l] += block[l];
            }
        }
    }
    if (m_phase == m_frameLength) {
        m_phase = 0;
    }
    if (m_blocksSeen < kBlocksPerFrame) {
        ++m_blocksSeen;
        if (m_blocksSeen < kBlocksPerFrame) {
            return;
        }
    }
    const auto& sum = m_frameSum;
    for (int t = 0; t < kTones; ++t) {
        m_powers[t] = sum[t] * sum[t] + sum[kTones + t] * sum[kTones + t];
    }
    ++m_frameCount;
    m_lastSymbol = FrameSymbol();
    Collect(m_lastSymbol);
}

uint8_t CAonDecoder::FrameSymbol() const {
    // The three strongest by integer maxima over keys that hold a power's
    // bits (powers are never negative, so their bits order as the values)
    // with the tone in the lowest three bits: no data-dependent branches,
    // which speech would keep mispredicting. The keys only pick the tones;
    // the test of the second against the third uses the powers themselves.
    uint32_t key[kTones];
    for (int t = 0; t < kTones; ++t) {
        key[t] = (std::bit_cast<uint32_t>(m_powers[t]) & ~7u) | static_cast<uint32_t>(t);
    }
    uint32_t first = 0;
    for (int t = 0; t < kTones; ++t) {
        first = std::max(first, key[t]);
    }
    uint32_t second = 0;
    for (int t = 0; t < kTones; ++t) {
        second = std::max(second, key[t] == first ? 0u : key[t]);
    }
    uint32_t third = 0;
    for (int t = 0; t < kTones; ++t) {
        third = std::max(third, (key[t] == first || key[t] == second) ? 0u : key[t]);
    }
    const int a = static_cast<int>(first & 7u);
    const int b = static_cast<int>(second & 7u);
    const int c = static_cast<int>(third & 7u);
    if (!(m_powers[b] * 0.25f > m_powers[c])) {
        return kNothing;
    }
    return kPairSymbol[std::min(a, b)][std::max(a, b)];
}

void CAonDecoder::ClearRuns() {
    m_runCount = 0;
    m_framesSinceStart = 0;
    m_silenceLength = 0;
}

void CAonDecoder::Collect(uint8_t symbol) {
    if (m_runCount == kMaxRuns || m_framesSinceStart >= kMaxFramesWithoutStart ||
        m_silenceLength >= kMaxSilence) {
        Decode();
        ClearRuns();
        return;
    }
    if (symbol == kNothing && m_runCount == 0) {
        return;
    }
    if (symbol == kStart) {
        m_framesSinceStart = 0;
    } else {
        ++m_framesSinceStart;
    }
    if (m_runCount > 0 && m_runs[m_runCount - 1].symbol == symbol) {
        // A tone held for ever keeps one run; its count stops at the top.
        if (m_runs[m_runCount - 1].frames < UINT32_MAX) {
            ++m_runs[m_runCount - 1].frames;
        }
    } else {
        m_runs[m_runCount++] = Run{symbol, 1};
    }
    if (symbol == kNothing) {
        m_silenceLength = m_runs[m_runCount - 1].frames;
    }
}

void CAonDecoder::Decode() {
    bool hasStart = false;
    uint64_t toneFrames = 0;
    for (std::size_t r = 0; r < m_runCount; ++r) {
        hasStart = hasStart || m_runs[r].symbol == kStart;
        if (m_runs[r].symbol != kNothing) {
            toneFrames += m_runs[r].frames;
        }
    }
    if (!hasStart || toneFrames <= kMinToneFrames) {
        return;
    }

    // Frame k goes to slot ((k + P - j) / P) mod 9. Counted per run, a run
    // being cut where the slot changes; the slot and its end are carried
    // from run to run (no division per frame), and whole rounds of nine
    // slots inside a long run are added at once. Counts only grow, so each
    // slot's best count is kept as they are added.
    uint32_t counts[kSlots][kSymbolCodes];
    uint64_t best[kSlots];
    const auto fold = [&](uint64_t period, uint64_t phase) {
        std::fill(&counts[0][0], &counts[0][0] + kSlots * kSymbolCodes, 0u);
        std::fill(best, best + kSlots, 0u);
        const auto add = [&](int slot, uint8_t symbol, uint64_t frames) {
            counts[slot][symbol] += static_cast<uint32_t>(frames);
            best[slot] = std::max<uint64_t>(best[slot], counts[slot][symbol]);
        };
        const uint64_t round = kSlots * period;
        uint64_t q = (period - phase) / period;  // slot number of frame 0
        int slot = static_cast<int>(q % kSlots);
        uint64_t next = q * period + phase;  // first frame of the next slot
        const auto step = [&](uint64_t slots) {
            next += slots * period;
            slot = static_cast<int>((static_cast<uint64_t>(slot) + slots) % kSlots);
        };
        uint64_t k = 0;
        for (std::size_t r = 0; r < m_runCount; ++r) {
            const Run& run = m_runs[r];
            const uint64_t end = k + run.frames;
            if (run.symbol == kNothing) {
                k = end;
                if (k >= next) {
                    step((k - next) / period + 1);
                }
                continue;
            }
            while (k < end) {
                if (next < end && end - next >= round) {
                    add(slot, run.symbol, next - k);
                    k = next;
                    step(1);
                    const uint64_t rounds = (end - k) / round;
                    for (int s = 0; s < kSlots; ++s) {
                        add(s, run.symbol, rounds * period);
                    }
                    k += rounds * round;
                    next += rounds * round;
                    continue;
                }
                const uint64_t stop = std::min(end, next);
                add(slot, run.symbol, stop - k);
                k = stop;
                if (k == next) {
                    step(1);
                }
            }
        }
    };
    const auto slotOf = [&](int s) {
        Slot slot{kNothing, 0, 0};
        for (int c = 0; c < kSymbolCodes; ++c) {
            slot.total += counts[s][c];
            if (counts[s][c] > slot.best) {
                slot.best = counts[s][c];
                slot.symbol = static_cast<uint8_t>(c);
            }
        }
        return slot;
    };

    int64_t bestScore = -1;
    int bestPeriod = kMinPeriod;
    int bestPhase = 0;
    for (int period = kMinPeriod; period <= kMaxPeriod; ++period) {
        for (int phase = 0; phase < period; ++phase) {
            fold(static_cast<uint64_t>(period), static_cast<uint64_t>(phase));
            int64_t score = 0;
            for (int s = 0; s < kSlots; ++s) {
                score += static_cast<int64_t>(best[s]);
            }
            if (score > bestScore) {
                bestScore = score;
                bestPeriod = period;
                bestPhase = phase;
            }
        }
    }
    fold(static_cast<uint64_t>(bestPeriod), static_cast<uint64_t>(bestPhase));
    Slot folded[kSlots];
    for (int s = 0; s < kSlots; ++s) {
        folded[s] = slotOf(s);
    }

    // One start slot: the one seen longest; the slots are read from it on.
    int start = -1;
    for (int s = 0; s < kSlots; ++s) {
        if (folded[s].symbol == kStart) {
            if (start < 0 || folded[s].best > folded[start].best) {
                if (start >= 0) {
                    folded[start].symbol = kNothing;
                }
                start = s;
            } else {
                folded[s].symbol = kNothing;
            }
        }
    }
    if (start < 0) {
        return;
    }
    Slot slots[kSlots];
    for (int s = 0; s < kSlots; ++s) {
        slots[s] = folded[(start + s) % kSlots];
    }

    // Neighbours with the same symbol are one symbol spread over two slots:
    // keep the cleanest.
    for (int s = 0; s < kSlots;) {
        int end = s + 1;
        while (end < kSlots && slots[end].symbol == slots[s].symbol) {
            ++end;
        }
        if (slots[s].symbol != kNothing && end - s > 1) {
            int keep = s;
            for (int i = s + 1; i < end; ++i) {
                if (Ratio(slots[i]) > Ratio(slots[keep])) {
                    keep = i;
                }
            }
            for (int i = s; i < end; ++i) {
                if (i != keep) {
                    slots[i].symbol = kNothing;
                }
            }
        }
        s = end;
    }

    int unreadable = 0;
    for (auto& slot : slots) {
        if (!(Ratio(slot) > 0.5)) {
            slot.symbol = kNothing;
        }
        if (slot.symbol == kNothing) {
            ++unreadable;
        }
    }
    if (slots[0].symbol != kStart || unreadable >= 4) {
        return;
    }

    std::array<uint8_t, 8> result{};
    for (int i = 0; i < 8; ++i) {
        uint8_t symbol = slots[kSlots - 1 - i].symbol;
        if (symbol == kRepeat) {
            symbol = i == 0 ? kNothing : result[i - 1];
        }
        result[i] = symbol;
    }
    if (bestScore >= m_keptScore) {
        m_kept = result;
        m_keptScore = static_cast<int>(bestScore);
        FormatText();
    }
}

int CAonDecoder::HasNumber() const {
    int count = 0;
    for (uint8_t symbol : m_kept) {
        count += symbol < kNothing ? 1 : 0;
    }
    return count;
}

void CAonDecoder::FormatText() {
    for (int i = 0; i < kNumberLength; ++i) {
        m_text[i] = m_kept[i] <= 9 ? static_cast<char>('0' + m_kept[i]) : '?';
    }
}

std::string_view CAonDecoder::NumberText() const {
    return {m_text.data() + (kNumberLength - m_numberLength),
            static_cast<std::size_t>(m_numberLength)};
}

int CAonDecoder::Category() const {
    return m_kept[7] <= 9 ? m_kept[7] : 0;
}

}  // namespace zorv
