// The caller-ID decoder against Bell 202 signals from spandsp's adsi_tx and
// fsk_tx: message contents, broken messages, level, noise, bit-rate error,
// A-law, the three sample rates, and speech that must never give a number.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "FskSignals.h"
#include "dsp/FskCallerIdDecoder.h"

namespace zorv::test {
namespace {

using Result = CFskCallerIdDecoder::Result;

struct Outcome {
    Result result = Result::Running;
    int error = 0;
    std::string number;
    std::string date;
    std::string time;
    std::string name;
};

// Feeds the signal in blocks of block samples (8 ms by default) after a
// Start, as the reading loop does, until the decoder stops.
Outcome Decode(CFskCallerIdDecoder& decoder, const Samples& signal, std::size_t block) {
    decoder.Start();
    Outcome out;
    for (std::size_t at = 0; at < signal.size() && out.result == Result::Running; at += block) {
        out.result = decoder.Process(signal.data() + at, std::min(block, signal.size() - at));
    }
    out.error = decoder.LastError();
    out.number = decoder.Number();
    out.date = decoder.Date();
    out.time = decoder.Time();
    out.name = decoder.Name();
    return out;
}

Outcome Decode(const Samples& signal, uint32_t rate = 8000, std::size_t block = 0) {
    CFskCallerIdDecoder decoder;
    EXPECT_TRUE(decoder.Init(rate));
    return Decode(decoder, signal, block == 0 ? rate / 125 : block);
}

Bytes WithChecksum(Bytes bytes) {
    bytes.push_back(ChecksumOf(bytes));
    return bytes;
}

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct MessageCase {
    const char* name;
    std::function<Samples()> signal;
    Result result;
    int error;
    const char* number;
    const char* date;
    const char* time;
    const char* callerName;
};

class FskMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(FskMessages, DecodeAsSent) {
    const MessageCase& c = GetParam();
    // Four seconds of silence after the signal reach the time limit when the
    // message does not end the decoding.
    const Outcome out = Decode(Concat(c.signal(), Silence(8000, 4000)));
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.number, c.number);
    EXPECT_EQ(out.date, c.date);
    EXPECT_EQ(out.time, c.time);
    EXPECT_EQ(out.name, c.callerName);
}

const MessageCase kMessageCases[] = {
    {"SdmfNumber", [] { return AdsiClassSignal(SdmfMessage("12251530", "5551234567")); },
     Result::NumberReady, 0, "5551234567", "25.12", "15:30", ""},
    {"SpandspDefaultPreamble",
     [] { return AdsiClassSignal(SdmfMessage("12251530", "5551234567"), -1); }, Result::NumberReady,
     0, "5551234567", "25.12", "15:30", ""},
    {"SdmfPrivate", [] { return AdsiClassSignal(SdmfMessage("01020304", "P")); },
     Result::NumberReady, 0, "Private", "02.01", "03:04", ""},
    {"SdmfOutOfArea", [] { return AdsiClassSignal(SdmfMessage("11300001", "O")); },
     Result::NumberReady, 0, "Out of area", "30.11", "00:01", ""},
    {"MdmfDateNumberName",
     [] {
         return AdsiClassSignal(
             MdmfMessage({{1, "03141592"}, {2, "4959876543"}, {7, "IVANOV PETR"}}));
     },
     Result::NumberReady, 0, "4959876543", "14.03", "15:92", "IVANOV PETR"},
    {"MdmfAbsentNumberOutOfArea",
     [] {
         return AdsiClassSignal(MdmfMessage({{1, "07040930"}, {4, "O"}, {8, "P"}}));
     },
     Result::NumberReady, 0, "Out of area", "04.07", "09:30", "Private"},
    {"MdmfNumberWinsOverReason",
     [] {
         return AdsiClassSignal(MdmfMessage({{4, "P"}, {2, "123"}}));
     },
     Result::NumberReady, 0, "123", "", "", ""},
    {"MdmfLongTextsCut",
     [] {
         return AdsiClassSignal(
             MdmfMessage({{2, std::string(50, '7')}, {7, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}}));
     },
     Result::NumberReady, 0, "7777777777777777777777777777777777777777", "", "",
     "ABCDEFGHIJKLMNOPQRST"},
    // Parameter 2 claims 20 bytes where 3 are left: the parse ends there and
    // nothing past the message is read.
    {"MdmfParameterPastLength",
     [] {
         return FskBytesSignal(
             WithChecksum(Join({{0x80, 15, 1, 8}, Text("12251530"), {2, 20}, Text("123")})));
     },
     Result::NumberReady, 0, "", "25.12", "15:30", ""},
    // The longest length byte: the whole message fits, the number is cut to 40.
    {"SdmfLongestMessage",
     [] {
         return FskBytesSignal(
             WithChecksum(Join({{0x04, 255}, Text("12251530"), Bytes(247, '9')})));
     },
     Result::NumberReady, 0, "9999999999999999999999999999999999999999", "25.12", "15:30", ""},
    // A length byte promising more than is sent: the carrier ends, the
    // message is dropped, the time limit ends the listening.
    {"LengthBeyondTheBytesSent",
     [] {
         return FskBytesSignal(Join({{0x04, 255}, Text("122515305551234567")}));
     },
     Result::Failed, 6, "", "", "", ""},
    {"ChecksumWrong",
     [] {
         Bytes bytes = WithChecksum(Join({{0x04, 18}, Text("122515305551234567")}));
         bytes.back() ^= 0x01;
         return FskBytesSignal(bytes);
     },
     Result::Failed, 4, "", "", "", ""},
    {"CutInTheMiddle",
     [] {
         // 100 ms silence, 250 ms seizure, 150 ms mark, then about 8 bytes.
         return FirstMs(AdsiClassSignal(SdmfMessage("12251530", "5551234567")), 570);
     },
     Result::Failed, 6, "", "", "", ""},
    {"UnknownType",
     [] {
         return FskBytesSignal(WithChecksum({0x06, 3, 0x42, 0x42, 0x42}));
     },
     Result::Failed, 1, "", "", "", ""},
    {"SdmfTooShort",
     [] {
         return FskBytesSignal(WithChecksum(Join({{0x04, 8}, Text("12251530")})));
     },
     Result::Failed, 5, "", "", "", ""},
    {"StopBitZero",
     [] {
         return FskBytesSignal(WithChecksum(Join({{0x04, 12}, Text("122515301234")})), 1.0, 300,
                               180, 100, 5);
     },
     Result::Failed, 3, "", "", "", ""},
    {"ControlCharactersShown",
     [] {
         return AdsiClassSignal(MdmfMessage({{2,
                                              "12\x01"
                                              "3"},
                                             {7, "A\tB"}}));
     },
     Result::NumberReady, 0, "12?3", "", "", "A?B"},
};

INSTANTIATE_TEST_SUITE_P(Messages, FskMessages, ::testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A message long enough (77 bytes, 770 bits) that a 1 % rate error drifts
// several bits: only timing every byte from its own start bit decodes it. At
// 3 % fast a stop bit ends a fifth of a bit early, so the start bit after it
// is found only when the search does not step a whole bit.
Bytes LongMessage() {
    return MdmfMessage({{1, "12251530"},
                        {2, "1234567890123456789012345678901234567890"},
                        {7, "ABCDEFGHIJKLMNOPQRST"}});
}

Samples LongMessageAtSpeed(double speed) {
    Bytes bytes = LongMessage();
    bytes[1] = static_cast<uint8_t>(bytes.size() - 2);
    return FskBytesSignal(WithChecksum(bytes), speed);
}

TEST(FskCallerIdDecoderTest, BitRateErrorIsFollowedByteByByte) {
    for (double speed : {0.99, 1.01, 0.97, 1.03}) {
        SCOPED_TRACE(speed);
        const Outcome out = Decode(LongMessageAtSpeed(speed));
        EXPECT_EQ(out.result, Result::NumberReady);
        EXPECT_EQ(out.number, "1234567890123456789012345678901234567890");
        EXPECT_EQ(out.name, "ABCDEFGHIJKLMNOPQRST");
    }
}

const Samples& ReferenceSignal() {
    static const Samples signal = AdsiClassSignal(SdmfMessage("12251530", "5551234567"));
    return signal;
}

TEST(FskCallerIdDecoderTest, DecodesFromMinus30To0Dbm0) {
    const Samples quiet = Silence(8000, 4000);
    for (int level = 0; level >= -30; level -= 5) {
        SCOPED_TRACE(level);
        EXPECT_EQ(Decode(AtLevel(ReferenceSignal(), level)).number, "5551234567");
    }
    // The weakest signal that decodes is -42 dBm0; below the carrier floor
    // the decoder hears nothing.
    EXPECT_EQ(Decode(AtLevel(ReferenceSignal(), -42)).number, "5551234567");
    EXPECT_EQ(Decode(Concat(AtLevel(ReferenceSignal(), -50), quiet)).error, 6);
}

TEST(FskCallerIdDecoderTest, DecodesInNoiseAndAfterAlaw) {
    // White noise over the whole band 12 dB below the signal.
    for (int seed : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE(seed);
        EXPECT_EQ(Decode(WithNoise(AtLevel(ReferenceSignal(), -20), -32, seed)).number,
                  "5551234567");
    }
    for (int level : {-30, -10, 0}) {
        SCOPED_TRACE(level);
        EXPECT_EQ(Decode(AlawRoundTrip(AtLevel(ReferenceSignal(), level))).number, "5551234567");
    }
}

// Every rate, fed in 8 ms blocks, in one call (several 450-sample pieces) and
// in blocks that do not divide anything.
TEST(FskCallerIdDecoderTest, DecodesAtEveryRateAndBlockSize) {
    const Samples message = AdsiClassSignal(LongMessage());
    for (int rate : {8000, 16000, 32000}) {
        const Samples signal = Resampled(message, rate);
        for (std::size_t block :
             {static_cast<std::size_t>(rate / 125), signal.size(), std::size_t{37}}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, block " << block);
            const Outcome out = Decode(signal, static_cast<uint32_t>(rate), block);
            EXPECT_EQ(out.result, Result::NumberReady);
            EXPECT_EQ(out.number, "1234567890123456789012345678901234567890");
            EXPECT_EQ(out.date, "25.12");
        }
    }
}

TEST(FskCallerIdDecoderTest, OtherRatesLeaveTheDecoderOff) {
    for (uint32_t rate : {0u, 11025u, 64000u}) {
        SCOPED_TRACE(rate);
        CFskCallerIdDecoder decoder;
        EXPECT_FALSE(decoder.Init(rate));
        decoder.Start();
        EXPECT_EQ(decoder.State(), 0);
        EXPECT_EQ(decoder.Process(ReferenceSignal().data(), ReferenceSignal().size()), Result::Off);
        EXPECT_FALSE(decoder.HasNumber());
    }
    // A decoder that worked at 8000 Hz stops when set to a rate it cannot do.
    CFskCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    EXPECT_FALSE(decoder.Init(64000));
    decoder.Start();
    EXPECT_EQ(decoder.Process(ReferenceSignal().data(), ReferenceSignal().size()), Result::Off);
}

TEST(FskCallerIdDecoderTest, ResetDropsTheKeptNumber) {
    CFskCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    ASSERT_EQ(Decode(decoder, ReferenceSignal(), 64).result, Result::NumberReady);
    EXPECT_TRUE(decoder.HasNumber());
    EXPECT_EQ(decoder.State(), 0);
    // Not started again: more audio changes nothing.
    EXPECT_EQ(decoder.Process(ReferenceSignal().data(), ReferenceSignal().size()), Result::Off);
    decoder.Reset();
    EXPECT_FALSE(decoder.HasNumber());
    EXPECT_STREQ(decoder.Date(), "");
    EXPECT_EQ(decoder.LastError(), 0);
}

// A second ring while the message is arriving does not cut it.
TEST(FskCallerIdDecoderTest, StartDuringAMessageKeepsIt) {
    const Samples& signal = ReferenceSignal();
    const std::size_t half = 8 * 560;  // inside the message bytes
    CFskCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    decoder.Start();
    ASSERT_EQ(decoder.Process(signal.data(), half), Result::Running);
    ASSERT_GE(decoder.State(), 3);
    decoder.Start();
    EXPECT_EQ(decoder.Process(signal.data() + half, signal.size() - half), Result::NumberReady);
    EXPECT_STREQ(decoder.Number(), "5551234567");
}

TEST(FskCallerIdDecoderTest, TimeLimitIsFourSecondsOfSamples) {
    CFskCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(16000));
    decoder.Start();
    const Samples quiet = Silence(16000, 8);
    for (int block = 0; block < 4 * 125 - 1; ++block) {
        ASSERT_EQ(decoder.Process(quiet.data(), quiet.size()), Result::Running) << block;
    }
    EXPECT_EQ(decoder.Ticks(), 3u);
    EXPECT_EQ(decoder.Process(quiet.data(), quiet.size()), Result::Failed);
    EXPECT_EQ(decoder.LastError(), 6);
    EXPECT_EQ(decoder.State(), 0);
}

// Speech heard after each ring must never give a number. The decoder is
// started every 4 s over a minute of recorded prompts.
TEST(FskCallerIdDecoderTest, SpeechGivesNoNumber) {
    Samples speech = SpeechSamples(8000, 30);
    if (speech.empty()) {
        GTEST_SKIP() << "recorded speech not installed";
    }
    speech.resize(std::min<std::size_t>(speech.size(), 60 * 8000));
    CFskCallerIdDecoder decoder;
    ASSERT_TRUE(decoder.Init(8000));
    int numbers = 0;
    for (std::size_t at = 0; at < speech.size(); at += 64) {
        if (at % (4 * 8000) == 0) {
            decoder.Start();
        }
        const auto n = std::min<std::size_t>(64, speech.size() - at);
        if (decoder.Process(speech.data() + at, n) == Result::NumberReady) {
            ++numbers;
        }
    }
    EXPECT_EQ(numbers, 0);
    EXPECT_FALSE(decoder.HasNumber());
}

TEST(FskCallerIdMessageTest, LengthPastTheBytesIsRefused) {
    const Bytes good = WithChecksum(Join({{0x04, 18}, Text("122515305551234567")}));
    FskCallerIdFields fields;
    EXPECT_EQ(ParseFskCallerIdMessage(good.data(), good.size(), fields), kFskErrorNone);
    EXPECT_STREQ(fields.number, "5551234567");
    // Bytes after the checksum are not part of the message.
    Bytes longer = good;
    longer.push_back(0x55);
    EXPECT_EQ(ParseFskCallerIdMessage(longer.data(), longer.size(), fields), kFskErrorNone);
    // Fewer bytes than the length byte promises: refused, nothing read past.
    for (std::size_t size : {good.size() - 1, std::size_t{2}, std::size_t{0}}) {
        SCOPED_TRACE(size);
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(ParseFskCallerIdMessage(cut.data(), cut.size(), fields), kFskErrorTruncated);
        EXPECT_STREQ(fields.number, "");
    }
}

}  // namespace
}  // namespace zorv::test
