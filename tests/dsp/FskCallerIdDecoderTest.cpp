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

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

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
     [] { return AdsiClassSignal(SdmfMessage("12251530", "5551234567"), -1); },
     Result::NumberReady, 0, "5551234567", "25.12", "15:30", ""},
    {"SdmfPrivate", [] { return AdsiClassSignal(SdmfMessage("01020304", "P")); },
     Result::NumberReady, 0, "Private", "02.01", "03:04", ""},
    {"SdmfOutOfArea", [] { return AdsiClassSignal(SdmfMessage("11300001", "O")); },
     Result::NumberReady, 0, "Out of area", "30.11", "00:01", ""},
    {"MdmfDateNumberName",
     [] {
         return AdsiClassSignal(MdmfMessage(
             {{1, "03141592"}, {2, "4959876543"}, {7, "IVANOV PETR"}}));
     },
     Result::NumberReady, 0, "4959876543", "14.03", "15:92", "IVANOV PETR"},
    {"MdmfAbsentNumberOutOfArea",
     [] { return AdsiClassSignal(MdmfMessage({{1, "07040930"}, {4, "O"}, {8, "P"}})); },
     Result::NumberReady, 0, "Out of area", "04.07", "09:30", "Private"},
    {"MdmfNumberWinsOverReason",
     [] { return AdsiClassSignal(MdmfMessage({{4, "P"}, {2, "123"}})); },
     Result::NumberReady, 0, "123", "", "", ""},
    {"MdmfLongTextsCut",
     [] {
         return AdsiClassSignal(MdmfMessage({{2, std::string(50, '7')},
                                             {7, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}}));
     },
     Result::NumberReady, 0, "7777777777777777777777777777777777777777",
     "", "", "ABCDEFGHIJKLMNOPQRST"},
    // Parameter 2 claims 20 bytes where 3 are left: the parse ends there and
    // nothing past the message is read.
    {"MdmfParameterPastLength",
     [] {
         return FskBytesSignal(WithChecksum(
             Join({{0x80, 15, 1, 8}, Text("12251530"), {2, 20}, Text("123")})));
     },
     Result::NumberReady, 0, "", "25.12", "15:30", ""},
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
     [] { return FskBytesSignal(WithChecksum({0x06, 3, 0x42, 0x42, 0x42})); },
     Result::Failed, 1, "", "", "", ""},
    {"SdmfTooShort",
     [] { return FskBytesSignal(WithChecksum(Join({{0x04, 8}, Text("12251530")}))); },
     Result::Failed, 5, "", "", "", ""},
    {"StopBitZero",
     [] {
         return FskBytesSignal(WithChecksum(Join({{0x04, 12}, Text("122515301234")})), 1.0,
                               300, 180, 100, 5);
     },
     Result::Failed, 3, "", "", "", ""},
    {"ControlCharactersShown",
     [] { return AdsiClassSignal(MdmfMessage({{2, "12\x01" "3"}, {7, "A\tB"}})); },
     Result::NumberReady, 0, "12?3", "", "", "A?B"},
};

INSTANTIATE_TEST_SUITE_P(Messages, FskMessages, ::testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorv::test
