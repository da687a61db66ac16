// The NET2 event-block decoder: line states, call outs with the digit
// strobe, polarity and the line-monitor byte, per channel.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "devices/Net2PacketParser.h"

namespace zorv {
namespace {

struct EventStep {
    uint8_t status;
    bool callOut;
    int lineValue;
    int digit;
};

TEST(Net2EventDecoderTest, StatusSequencesOfOneChannel) {
    struct Script {
        const char* name;
        std::vector<EventStep> steps;
    };
    const std::vector<Script> scripts = {
        {"EveryStrobeChangeIsADigit",
         {{0x31, true, -1, 1}, {0x31, true, -1, -1}, {0x21, true, -1, 1}}},
        {"LineStates",
         {{0x00, false, 4, -1},
          {0x01, false, 0, -1},
          {0x02, false, 1, -1},
          {0x03, false, 2, -1},
          {0x8C, false, 4, -1}}},
        {"CallOutClearsTheStrobeMemory",
         {{0x35, true, -1, 5},
          {0x01, false, 0, -1},
          {0x20, true, -1, -1},
          {0x39, true, -1, 9},
          {0x29, true, -1, 9},
          {0x01, false, 0, -1},
          {0x37, true, -1, 7}}},
    };
    for (const auto& script : scripts) {
        CNet2EventDecoder decoder(1);
        std::array<CNet2EventDecoder::ChannelEvents, 1> out{};
        for (size_t i = 0; i < script.steps.size(); ++i) {
            const EventStep& step = script.steps[i];
            const std::array<uint8_t, 2> block{static_cast<uint8_t>(i), step.status};
            decoder.Decode(block, out);
            EXPECT_EQ(out[0].callOut, step.callOut) << script.name << " step " << i;
            EXPECT_EQ(out[0].lineValue, step.lineValue) << script.name << " step " << i;
            EXPECT_EQ(out[0].digit, step.digit) << script.name << " step " << i;
            EXPECT_EQ(out[0].monitorByte, i) << script.name;
            EXPECT_EQ(out[0].polarity, (step.status & 0x80) ? 1 : -1) << script.name;
        }
    }
}

TEST(Net2EventDecoderTest, ChannelsAreIndependentAndResetForgets) {
    CNet2EventDecoder decoder(3);
    std::array<CNet2EventDecoder::ChannelEvents, 3> out{};
    const std::array<uint8_t, 6> first{0x10, 0x31, 0x20, 0x82, 0x30, 0x23};
    decoder.Decode(first, out);
    EXPECT_EQ(out[0].digit, 1);
    EXPECT_EQ(out[1].lineValue, 1);
    EXPECT_EQ(out[1].polarity, 1);
    EXPECT_EQ(out[1].monitorByte, 0x20);
    EXPECT_EQ(out[2].digit, -1);
    EXPECT_TRUE(out[2].callOut);
    decoder.Decode(first, out);
    EXPECT_EQ(out[0].digit, -1);
    decoder.Reset();
    decoder.Decode(first, out);
    EXPECT_EQ(out[0].digit, 1);
    // A short block or output touches only the channels it covers.
    std::array<CNet2EventDecoder::ChannelEvents, 3> untouched{};
    decoder.Decode(std::span(first).first(2), untouched);
    EXPECT_EQ(untouched[1].lineValue, -1);
}

}  // namespace
}  // namespace zorv
