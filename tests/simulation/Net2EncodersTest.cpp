// The simulated NET2 transcoder's Speex frame encoder with frame reuse: a
// frame seen before gets the bytes made then, a new one is encoded, and what
// is sent still decodes to the line's tone.
#include "simulation/Net2Encoders.h"

#include <speex/speex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "devices/Net2Format.h"

namespace zorv {
namespace {

using Frame = std::array<int16_t, kSpeexWideSamples>;

// Frame index of a tone (its samples from index * kSpeexWideSamples on).
Frame Tone(double hz, int index) {
    Frame frame{};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const double t = static_cast<double>(index * kSpeexWideSamples + i) / 16000.0;
        frame[i] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * hz * t));
    }
    return frame;
}

// Power of hz in samples (Goertzel).
double PowerAt(const std::vector<int16_t>& samples, double hz) {
    const double w = 2 * std::numbers::pi * hz / 16000.0;
    double s1 = 0, s2 = 0;
    for (const int16_t sample : samples) {
        const double s0 = sample + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

TEST(Net2Encoders, ReusedSpeexFramesAreEncodedOnceAndStillCarryTheTone) {
    constexpr uint32_t kMode = 15;
    const std::size_t bytes = SpeexFrameBytes(16000, kMode);
    CSpeexFrameEncoder reusing;
    reusing.SetReuse(true);
    ASSERT_TRUE(reusing.Init(16000, kMode));
    CSpeexFrameEncoder plain;
    ASSERT_TRUE(plain.Init(16000, kMode));

    // Silence, 100 frames of a 500 Hz tone (ten periods a frame: every frame
    // the same), silence again, 100 frames of a 701 Hz tone (the same frames
    // every second): 2 + 50 distinct frames.
    std::vector<Frame> input(1, Frame{});
    for (int i = 0; i < 100; ++i) {
        input.push_back(Tone(500, 0));
    }
    input.push_back(Frame{});
    for (int i = 0; i < 100; ++i) {
        input.push_back(Tone(701, i % 50));
    }
    std::vector<std::vector<uint8_t>> sent;
    for (const Frame& frame : input) {
        std::vector<uint8_t> out(bytes);
        reusing.Encode(frame.data(), out.data());
        sent.push_back(out);
        plain.Encode(frame.data(), out.data());
    }
    EXPECT_EQ(reusing.EncodedFrames(), 2u + 50u);
    EXPECT_EQ(plain.EncodedFrames(), input.size());
    EXPECT_EQ(sent[0], sent[101]);    // silence, sent as before
    EXPECT_EQ(sent[1], sent[100]);    // the 500 Hz frame
    EXPECT_EQ(sent[102], sent[152]);  // the 701 Hz tone, a second later
    EXPECT_NE(sent[102], sent[103]);

    // Decoded, each tone stretch carries its own tone.
    void* decoder = speex_decoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
    SpeexBits bits;
    speex_bits_init(&bits);
    std::vector<int16_t> decoded;
    for (std::vector<uint8_t> frame : sent) {
        for (std::size_t i = 0; i + 1 < frame.size(); i += 2) {
            std::swap(frame[i], frame[i + 1]);
        }
        speex_bits_read_from(&bits, reinterpret_cast<char*>(frame.data()),
                             static_cast<int>(frame.size()));
        std::array<spx_int16_t, kSpeexWideSamples> out{};
        ASSERT_EQ(speex_decode_int(decoder, &bits, out.data()), 0);
        decoded.insert(decoded.end(), out.begin(), out.end());
    }
    speex_bits_destroy(&bits);
    speex_decoder_destroy(decoder);
    const auto stretch = [&](int firstFrame) {
        const auto from = decoded.begin() + firstFrame * static_cast<int>(kSpeexWideSamples);
        return std::vector<int16_t>(from, from + 50 * static_cast<int>(kSpeexWideSamples));
    };
    EXPECT_GT(PowerAt(stretch(40), 500), 100 * PowerAt(stretch(40), 701));
    EXPECT_GT(PowerAt(stretch(142), 701), 100 * PowerAt(stretch(142), 500));

    // A new Init forgets the kept frames.
    ASSERT_TRUE(reusing.Init(16000, kMode));
    std::vector<uint8_t> out(bytes);
    reusing.Encode(input[1].data(), out.data());
    EXPECT_EQ(reusing.EncodedFrames(), 1u);
}

}  // namespace
}  // namespace zorv
