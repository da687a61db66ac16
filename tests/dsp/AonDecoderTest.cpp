// CAonDecoder against AON answers from spandsp's tone generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/AonDecoder.h"
#include "dsp/AonSignals.h"

namespace zorv {
namespace {

using test::kAonRepeat;
using test::kAonStart;
using test::kAonTriple;
using test::Signal;

void Feed(CAonDecoder& decoder, const Signal& signal, std::size_t block = 64) {
    for (std::size_t pos = 0; pos < signal.size(); pos += block) {
        decoder.Process(signal.data() + pos, std::min(block, signal.size() - pos));
    }
}

// An answer: 200 ms before, the cycles, 800 ms after. On a quiet line 80 ms
// of silence end the sequence; line noise between about -40 and -35 dBm0
// leaves stray frame symbols in the pause, and then the sequence ends 600
// frames after the last start symbol.
Signal Answer(const std::vector<int>& symbols, int ms = 40, int cycles = 1, int levelDbm0 = -10,
              double share = 0.0) {
    Signal signal = test::Silence(200);
    for (int c = 0; c < cycles; ++c) {
        test::Append(signal, test::AonSymbols(symbols, ms, levelDbm0, share));
    }
    test::Append(signal, test::Silence(800));
    return signal;
}

struct AnswerCase {
    const char* name;
    std::vector<int> symbols;
    int ms;
    int cycles;
    int levelDbm0;    // per tone
    double share;     // frequency error
    float noiseDbm0;  // 0: none
    bool alaw;
    uint32_t rate;
    int length;  // "Aon"/"Len"
    int hasNumber;
    std::string number;
    int category;
};

class AonAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AonAnswer, GivesNumberAndCategory) {
    const AnswerCase& c = GetParam();
    Signal signal = Answer(c.symbols, c.ms, c.cycles, c.levelDbm0, c.share);
    if (c.noiseDbm0 != 0) {
        signal = test::WithNoise(signal, c.noiseDbm0);
    }
    if (c.alaw) {
        signal = test::AlawRoundTrip(signal);
    }
    signal = test::Resample(signal, c.rate);
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(c.rate));
    decoder.SetNumberLength(c.length);
    Feed(decoder, signal, c.rate / 125);
    EXPECT_EQ(decoder.HasNumber(), c.hasNumber);
    EXPECT_EQ(decoder.NumberText(), c.number);
    EXPECT_EQ(decoder.Category(), c.category);
}

const std::vector<int> kExample = test::AonExample();
// 8955234: the second 5 of the pair is sent as the repeat symbol.
const std::vector<int> kRepeatBeforeFive = {kAonStart, 1, 4, 3, 2, kAonRepeat, 5, 9, 8};
// The slot of the digit 2 holds three equal tones: no symbol there.
const std::vector<int> kTripleDigit = {kAonStart, 1, 4, 3, kAonTriple, 1, 0, 9, 8};
const std::vector<int> kAllTriples(9, kAonTriple);
const std::vector<int> kNoStart = {1, 1, 4, 3, 2, 1, 0, 9, 8};

INSTANTIATE_TEST_SUITE_P(
    Answers, AonAnswer,
    ::testing::Values(
        AnswerCase{"Example", kExample, 40, 1, -10, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Len5", kExample, 40, 1, -10, 0, 0, false, 8000, 5, 8, "01234", 1},
        AnswerCase{"Len1", kExample, 40, 1, -10, 0, 0, false, 8000, 1, 8, "4", 1},
        AnswerCase{"LenOutOfRangeIs7", kExample, 40, 1, -10, 0, 0, false, 8000, 9, 8, "8901234", 1},
        AnswerCase{"ThreeCycles", kExample, 40, 3, -10, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Period30", kExample, 30, 2, -10, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Period60", kExample, 60, 1, -10, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"RepeatBeforeFive", kRepeatBeforeFive, 40, 1, -10, 0, 0, false, 8000, 7, 8,
                   "8955234", 1},
        AnswerCase{"TripleIsNoSymbol", kTripleDigit, 40, 1, -10, 0, 0, false, 8000, 7, 7, "8901?34",
                   1},
        AnswerCase{"AllTriples", kAllTriples, 40, 2, -10, 0, 0, false, 8000, 7, 0, "???????", 0},
        AnswerCase{"NoStart", kNoStart, 40, 2, -10, 0, 0, false, 8000, 7, 0, "???????", 0},
        AnswerCase{"Rate16000", kExample, 40, 1, -10, 0, 0, false, 16000, 7, 8, "8901234", 1},
        AnswerCase{"Rate32000", kExample, 40, 1, -10, 0, 0, false, 32000, 7, 8, "8901234", 1},
        // Levels: -3 dBm0 tones make a 0 dBm0 pair; the division by 256
        // still leaves -35 dBm0 tones (amplitude 405) readable.
        AnswerCase{"Level0Pair", kExample, 40, 1, -3, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"LevelMinus20", kExample, 40, 1, -20, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"LevelMinus30", kExample, 40, 1, -30, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"LevelMinus35", kExample, 40, 1, -35, 0, 0, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Plus1_5Percent", kExample, 40, 1, -10, 0.015, 0, false, 8000, 7, 8, "8901234",
                   1},
        AnswerCase{"Minus1_5Percent", kExample, 40, 1, -10, -0.015, 0, false, 8000, 7, 8, "8901234",
                   1},
        // 20 dB below each tone, white noise over the whole band.
        AnswerCase{"Noise20dB", kExample, 40, 1, -10, 0, -30, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Noise10dB", kExample, 40, 1, -10, 0, -20, false, 8000, 7, 8, "8901234", 1},
        AnswerCase{"Noise20dB16000", kExample, 40, 1, -10, 0, -30, false, 16000, 7, 8, "8901234",
                   1},
        AnswerCase{"Alaw", kExample, 40, 1, -10, 0, 0, true, 8000, 7, 8, "8901234", 1},
        AnswerCase{"AlawNoise", kExample, 40, 1, -20, 0, -40, true, 8000, 7, 8, "8901234", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The frame powers come from block sums; they must equal six Goertzel
// filters run over each whole 10 ms frame of the input divided by 256.
TEST(AonDecoder, FramePowersEqualGoertzelOverEachFrame) {
    for (uint32_t rate : {8000u, 16000u}) {
        Signal signal = test::AonSymbols(kExample, 40, -10);
        test::Append(signal, test::Tones(440, -5, 0, 0, 100));
        signal = test::Resample(test::WithNoise(signal, -15), rate);
        CAonDecoder decoder;
        ASSERT_TRUE(decoder.Init(rate));
        const std::size_t frame = rate / 100;
        const std::size_t hop = rate / 1000;
        const double tones[6] = {700, 900, 1100, 1300, 1500, 1700};
        std::size_t checked = 0;
        for (std::size_t end = hop; end <= signal.size(); end += hop) {
            decoder.Process(signal.data() + end - hop, hop);
            if (end < frame) {
                EXPECT_EQ(decoder.FrameCount(), 0u);
                continue;
            }
            ASSERT_EQ(decoder.FrameCount(), (end - frame) / hop + 1);
            const auto& powers = decoder.LastFramePowers();
            double top = 1.0;
            double direct[6];
            for (int t = 0; t < 6; ++t) {
                const double c = 2.0 * std::cos(2.0 * std::numbers::pi * tones[t] / rate);
                double s1 = 0.0;
                double s2 = 0.0;
                for (std::size_t n = end - frame; n < end; ++n) {
                    const double s0 = signal[n] / 256 + c * s1 - s2;
                    s2 = s1;
                    s1 = s0;
                }
                direct[t] = s1 * s1 + s2 * s2 - c * s1 * s2;
                top = std::max(top, direct[t]);
            }
            for (int t = 0; t < 6; ++t) {
                ASSERT_NEAR(powers[t], direct[t], 1e-4 * top)
                    << "tone " << t << " frame end " << end;
            }
            ++checked;
        }
        EXPECT_GT(checked, 400u);
    }
}

TEST(AonDecoder, ThreeEqualTonesGiveNoFrameSymbol) {
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    const Signal pair = test::AonSymbols({5}, 20);
    Feed(decoder, pair);
    EXPECT_EQ(decoder.LastFrameSymbol(), 5);
    const Signal triple = test::AonSymbols({kAonTriple}, 20);
    Feed(decoder, triple);
    EXPECT_EQ(decoder.LastFrameSymbol(), CAonDecoder::kNothing);
}

// A held start tone keeps one run however long it lasts, decodes nothing,
// and the answer after it is read normally.
TEST(AonDecoder, HeldStartToneKeepsOneRun) {
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    const Signal second = test::AonSymbols({kAonStart}, 1000);
    for (int s = 0; s < 30; ++s) {
        Feed(decoder, second);
        ASSERT_EQ(decoder.RunCount(), 1u);
    }
    EXPECT_EQ(decoder.HasNumber(), 0);
    Feed(decoder, test::Silence(200));
    EXPECT_EQ(decoder.RunCount(), 0u);
    EXPECT_EQ(decoder.HasNumber(), 0);
    Feed(decoder, Answer(kExample));
    EXPECT_EQ(decoder.NumberText(), "8901234");
}

// Changing symbols cannot grow the run list past 400: a full list is decoded
// and cleared.
TEST(AonDecoder, RunListStaysBounded) {
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    std::vector<int> symbols;
    for (int i = 0; i < 600; ++i) {
        symbols.push_back(i % 2 == 0 ? kAonStart : 1 + i % 9);
    }
    const Signal signal = test::AonSymbols(symbols, 3);
    for (std::size_t pos = 0; pos < signal.size(); pos += 64) {
        decoder.Process(signal.data() + pos, std::min<std::size_t>(64, signal.size() - pos));
        ASSERT_LE(decoder.RunCount(), CAonDecoder::kMaxRuns);
    }
}

// The best-scoring answer of a call is kept: a weaker one after it (shorter
// symbols, lower score) does not replace it, a stronger one does.
TEST(AonDecoder, KeepsTheBestScoringAnswer) {
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    Feed(decoder, Answer(kExample, 40));
    ASSERT_EQ(decoder.NumberText(), "8901234");
    const int first = decoder.Score();
    Feed(decoder, Answer({kAonStart, 2, 7, 6, 5, 4, 3, 2, 1}, 32));
    EXPECT_EQ(decoder.NumberText(), "8901234");
    EXPECT_EQ(decoder.Score(), first);
    Feed(decoder, Answer({kAonStart, 2, 7, 6, 5, 4, 3, 2, 1}, 50));
    EXPECT_EQ(decoder.NumberText(), "1234567");
    EXPECT_EQ(decoder.Category(), 2);
    EXPECT_GT(decoder.Score(), first);
}

TEST(AonDecoder, ResetClearsTheKeptResult) {
    CAonDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    Feed(decoder, Answer(kExample, 50));
    ASSERT_EQ(decoder.HasNumber(), 8);
    decoder.Reset();
    EXPECT_EQ(decoder.HasNumber(), 0);
    EXPECT_EQ(decoder.Score(), 0);
    EXPECT_EQ(decoder.NumberText(), "???????");
    // A weaker answer after Reset is taken: the old score is gone too.
    Feed(decoder, Answer({kAonStart, 2, 7, 6, 5, 4, 3, 2, 1}, 32));
    EXPECT_EQ(decoder.NumberText(), "1234567");
}

TEST(AonDecoder, OffAtRatesWithoutCoefficients) {
    const Signal signal = Answer(kExample);
    for (uint32_t rate : {64000u, 44100u, 11025u, 0u}) {
        CAonDecoder decoder;
        EXPECT_FALSE(decoder.Init(rate)) << rate;
        EXPECT_FALSE(decoder.IsOn());
        Feed(decoder, signal);
        EXPECT_EQ(decoder.FrameCount(), 0u);
        EXPECT_EQ(decoder.HasNumber(), 0);
    }
}

}  // namespace
}  // namespace zorv
