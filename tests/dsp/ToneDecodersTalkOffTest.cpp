// The talk-off bounds of the caller-number decoders on the first minute of
// the recorded speech (bench/ToneDecodersTalkOff runs the longer selection).
#include <gtest/gtest.h>

#include "dsp/SpeechCorpus.h"
#include "dsp/TalkOff.h"

namespace zorv {
namespace {

TEST(ToneDecodersTalkOff, FalseReportsInAMinuteOfSpeechStayWithinBounds) {
    for (uint32_t rate : {8000u, 16000u}) {
        const auto speech = test::LoadSpeech(150, rate, 60.0);
        ASSERT_EQ(speech.size(), 60u * rate)
            << "the recorded prompts of asterisk-core-sounds-en-wav and sox are needed";
        const auto counts = test::RunTalkOff(speech, rate);
        // Bounds per minute of speech (docs/decisions.md).
        EXPECT_LE(counts.dtmfNormalDigits, 1) << rate;
        EXPECT_LE(counts.dtmfExtraDigits, 20) << rate;
        EXPECT_EQ(counts.callerIdNumbers, 0) << rate;
        EXPECT_EQ(counts.aonNumbers, 0) << rate;
    }
}

}  // namespace
}  // namespace zorv
