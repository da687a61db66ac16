// CDtmfCallerIdDecoder against spandsp's DTMF sender: numbers sent before
// ringing (tones on a quiet line).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "dsp/DtmfCallerIdDecoder.h"
#include "dsp/ToneSignals.h"

namespace zorv {
namespace {

using test::Signal;

struct Fed {
    std::string number;
    int ready = 0;  // Process calls that returned number-ready
};

Fed Feed(CDtmfCallerIdDecoder& decoder, const Signal& signal, std::size_t block = 64) {
    Fed fed;
    for (std::size_t pos = 0; pos < signal.size(); pos += block) {
        fed.ready +=
            decoder.Process(signal.data() + pos, std::min(block, signal.size() - pos)) ? 1 : 0;
    }
    fed.number = std::string(decoder.NumberText());
    return fed;
}

// A message on a quiet line: a second of silence, the keys, 300 ms after.
Signal Message(const std::string& keys, int onMs = 70, int offMs = 70, int levelDbm0 = -10,
               int twistDb = 0, int leadSamples = 0) {
    Signal signal = test::Silence(1000);
    signal.resize(signal.size() + static_cast<std::size_t>(leadSamples), 0);
    test::Append(signal, test::Dtmf(keys, onMs, offMs, levelDbm0, twistDb));
    test::Append(signal, test::Silence(300));
    return signal;
}

struct MessageCase {
    const char* name;
    std::string keys;
    uint32_t rate;
    int onMs;
    int offMs;
    int levelDbm0;
    int twistDb;
    float noiseDbm0;  // 0: none
    bool alaw;
    std::string expected;  // "" : no number
};

class DtmfCallerIdMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(DtmfCallerIdMessage, GivesTheNumber) {
    const MessageCase& c = GetParam();
    // Several starting points against the frame grid.
    for (int lead : {0, 37, 101, 190}) {
        Signal signal = Message(c.keys, c.onMs, c.offMs, c.levelDbm0, c.twistDb, lead);
        if (c.noiseDbm0 != 0) {
            signal = test::WithNoise(signal, c.noiseDbm0, 100 + lead);
        }
        if (c.alaw) {
            signal = test::AlawRoundTrip(signal);
        }
        signal = test::Resample(signal, c.rate);
        CDtmfCallerIdDecoder decoder;
        ASSERT_TRUE(decoder.Init(c.rate));
        const Fed fed = Feed(decoder, signal, c.rate / 125);
        EXPECT_EQ(fed.number, c.expected) << "lead " << lead;
        EXPECT_EQ(fed.ready, c.expected.empty() ? 0 : 1) << "lead " << lead;
        EXPECT_EQ(decoder.HasNumber(), !c.expected.empty());
        // It listens again for the next message (noise may have started a
        // frame already).
        EXPECT_TRUE(decoder.State() == 1 || decoder.State() == 2) << decoder.State();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DtmfCallerIdMessage,
    ::testing::Values(
        MessageCase{"A123C", "A123C", 8000, 70, 70, -10, 0, 0, false, "123"},
        MessageCase{"B00COutOfArea", "B00C", 8000, 70, 70, -10, 0, 0, false, "Out of area"},
        MessageCase{"B10CPrivate", "B10C", 8000, 70, 70, -10, 0, 0, false, "Private"},
        MessageCase{"BDigits", "B5551234C", 8000, 70, 70, -10, 0, 0, false, "5551234"},
        MessageCase{"DStart", "D84951234567C", 8000, 70, 70, -10, 0, 0, false, "84951234567"},
        // The number ends at the first key that is not a digit.
        MessageCase{"StopsAtB", "A12B34C", 8000, 70, 70, -10, 0, 0, false, "12"},
        MessageCase{"NoDigits", "AC", 8000, 70, 70, -10, 0, 0, false, ""},
        MessageCase{"NoEnd", "A123", 8000, 70, 70, -10, 0, 0, false, ""},
        MessageCase{"CStartsNothing", "C123C", 8000, 70, 70, -10, 0, 0, false, ""},
        MessageCase{"Rate16000", "A5551234C", 16000, 70, 70, -10, 0, 0, false, "5551234"},
        MessageCase{"Rate32000", "A5551234C", 32000, 70, 70, -10, 0, 0, false, "5551234"},
        MessageCase{"Fast50", "A5551234C", 8000, 50, 50, -10, 0, 0, false, "5551234"},
        MessageCase{"Slow100", "A5551234C", 8000, 100, 100, -10, 0, 0, false, "5551234"},
        // Levels: the signal test needs a peak of 1000 (two tones of about
        // -33 dBm0); -30 dBm0 tones pass.
        MessageCase{"Level0Pair", "A5551234C", 8000, 70, 70, -3, 0, 0, false, "5551234"},
        MessageCase{"LevelMinus30", "A5551234C", 8000, 70, 70, -30, 0, 0, false, "5551234"},
        MessageCase{"LevelMinus40", "A5551234C", 8000, 70, 70, -40, 0, 0, false, ""},
        MessageCase{"TwistPlus4", "A5551234C", 8000, 70, 70, -10, 4, 0, false, "5551234"},
        MessageCase{"TwistMinus4", "A5551234C", 8000, 70, 70, -6, -4, 0, false, "5551234"},
        // With the high tone 6 dB or more below the low one, the zero
        // crossings follow the low tone (under 7 in 25 samples for the start
        // key's 697 Hz), so the signal test never starts a message.
        MessageCase{"TwistMinus8", "A5551234C", 8000, 70, 70, -6, -8, 0, false, ""},
        // 20 dB below each tone, and a quiet line whose noise fills the gaps.
        MessageCase{"Noise20dB", "A5551234C", 8000, 70, 70, -10, 0, -30, false, "5551234"},
        MessageCase{"QuietLineNoise", "A5551234C", 8000, 70, 70, -10, 0, -50, false, "5551234"},
        MessageCase{"Noise20dB16000", "A5551234C", 16000, 70, 70, -10, 0, -30, false, "5551234"},
        MessageCase{"Alaw", "A5551234C", 8000, 70, 70, -10, 0, 0, true, "5551234"},
        MessageCase{"AlawNoise", "A5551234C", 8000, 70, 70, -20, 0, -45, true, "5551234"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DtmfCallerIdDecoder, LongMessageIsCutToFortyDigits) {
    const std::string digits =
        "0123456789012345678901234567890123456789012345678901234567890123456789012345";
    CDtmfCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    const Fed fed = Feed(decoder, Message("A" + digits + "C", 60, 60));
    EXPECT_EQ(fed.number, digits.substr(0, CDtmfCallerIdDecoder::kMaxNumber));
    EXPECT_EQ(fed.ready, 1);
}

TEST(DtmfCallerIdDecoder, NextMessageReplacesTheNumberAndResetClearsIt) {
    CDtmfCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    EXPECT_EQ(Feed(decoder, Message("A123C")).number, "123");
    EXPECT_EQ(Feed(decoder, Message("B10C")).number, "Private");
    decoder.Reset();
    EXPECT_FALSE(decoder.HasNumber());
    EXPECT_EQ(decoder.NumberText(), "");
    EXPECT_EQ(Feed(decoder, Message("A4567C")).number, "4567");
}

TEST(DtmfCallerIdDecoder, StopsAtItsTimeLimit) {
    CDtmfCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    decoder.SetTimeLimit(2);
    Signal signal = test::Silence(2000);
    test::Append(signal, Message("A123C"));
    const Fed fed = Feed(decoder, signal);
    EXPECT_EQ(decoder.State(), 0);
    EXPECT_EQ(fed.number, "");
}

TEST(DtmfCallerIdDecoder, OffAtRatesWithoutCoefficients) {
    const Signal signal = Message("A123C");
    for (uint32_t rate : {64000u, 44100u, 0u}) {
        CDtmfCallerIdDecoder decoder;
        EXPECT_FALSE(decoder.Init(rate)) << rate;
        EXPECT_EQ(decoder.State(), 0);
        EXPECT_EQ(Feed(decoder, signal).ready, 0);
        EXPECT_FALSE(decoder.HasNumber());
    }
}

}  // namespace
}  // namespace zorv
