// The number signals of the simulated lines, received by spandsp's DTMF and
// ADSI receivers (and, for the AON answer, measured tone by tone), through a
// board scenario's timeline.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

extern "C" {
#include <spandsp.h>
}

#include "simulation/BoardScenario.h"
#include "simulation/NumberSignal.h"
#include "simulation/SimulatedLine.h"

namespace zorv {
namespace {

// 8000 Hz samples of the signals of a line from 0 to seconds.
std::vector<int16_t> Play(const SimChannel& channel, double seconds) {
    CSimulatedLine line(channel);
    std::vector<int16_t> samples;
    for (int64_t i = 0; i < static_cast<int64_t>(seconds * 8000); ++i) {
        samples.push_back(line.Sample(i, 8000));
    }
    return samples;
}

SimChannel WithSignal(SimSignalKind kind, const std::string& text, int category = 1) {
    SimChannel channel;
    channel.signals.push_back({500, kind, text, category});
    return channel;
}

TEST(NumberSignal, DtmfKeysAreReceivedBySpandsp) {
    for (const std::string keys : {"A5551234C", "0123456789*#", "B00C"}) {
        SCOPED_TRACE(keys);
        const std::vector<int16_t> samples = Play(WithSignal(SimSignalKind::kDtmf, keys), 4);
        dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
        dtmf_rx(rx, samples.data(), static_cast<int>(samples.size()));
        char digits[64] = {};
        dtmf_rx_get(rx, digits, sizeof digits - 1);
        dtmf_rx_free(rx);
        EXPECT_EQ(std::string(digits), keys);
    }
}

struct Received {
    std::vector<std::vector<uint8_t>> messages;
};

TEST(NumberSignal, FskMessageIsReceivedBySpandsp) {
    for (const std::string number : {"5551234", "P", "84951234567"}) {
        SCOPED_TRACE(number);
        const std::vector<int16_t> samples = Play(WithSignal(SimSignalKind::kFsk, number), 2);
        Received received;
        adsi_rx_state_t* rx = adsi_rx_init(
            nullptr, ADSI_STANDARD_CLASS,
            [](void* user, const uint8_t* msg, int len) {
                if (len > 0) {
                    static_cast<Received*>(user)->messages.emplace_back(msg, msg + len);
                }
            },
            &received);
        adsi_rx(rx, samples.data(), static_cast<int>(samples.size()));
        adsi_rx_free(rx);
        ASSERT_EQ(received.messages.size(), 1u);
        // Type 4, length, "MMDDHHMM", the number (spandsp hands the message
        // over without its checksum once the checksum held).
        const std::vector<uint8_t>& message = received.messages[0];
        ASSERT_GE(message.size(), 10u);
        EXPECT_EQ(message[0], 0x04);
        EXPECT_EQ(std::string(message.begin() + 10, message.begin() + 2 + message[1]), number);
    }
}

// The dominant pair of 2-out-of-6 tones in each 40-ms symbol of an AON
// answer, by Goertzel power in the middle 30 ms.
std::vector<int> AonSymbolsHeard(const std::vector<int16_t>& samples, std::size_t from, int count) {
    static constexpr double kHz[6] = {700, 900, 1100, 1300, 1500, 1700};
    static constexpr int kPairSymbol[6][6] = {
        {-1, 1, 2, 4, 7, -1}, {1, -1, 3, 5, 8, -1},  {2, 3, -1, 6, 9, 11},
        {4, 5, 6, -1, 0, 10}, {7, 8, 9, 0, -1, -1}, {-1, -1, 11, 10, -1, -1}};
    std::vector<int> symbols;
    for (int s = 0; s < count; ++s) {
        const std::size_t start = from + static_cast<std::size_t>(s) * 320 + 40;
        double power[6];
        for (int f = 0; f < 6; ++f) {
            const double c = 2 * std::cos(2 * M_PI * kHz[f] / 8000);
            double s1 = 0, s2 = 0;
            for (std::size_t i = 0; i < 240; ++i) {
                const double s0 = samples[start + i] + c * s1 - s2;
                s2 = s1;
                s1 = s0;
            }
            power[f] = s1 * s1 + s2 * s2 - c * s1 * s2;
        }
        int a = 0, b = 1;
        if (power[b] > power[a]) std::swap(a, b);
        for (int f = 2; f < 6; ++f) {
            if (power[f] > power[a]) {
                b = a;
                a = f;
            } else if (power[f] > power[b]) {
                b = f;
            }
        }
        symbols.push_back(kPairSymbol[a][b]);
    }
    return symbols;
}

TEST(NumberSignal, AonAnswerSendsStartCategoryAndDigitsLastFirstWithRepeats) {
    struct Case {
        const char* digits;
        int category;
        std::vector<int> sent;
    };
    const Case cases[] = {
        {"8901234", 1, {11, 1, 4, 3, 2, 1, 0, 9, 8}},
        {"5551234", 2, {11, 2, 4, 3, 2, 1, 5, 10, 5}},
        {"1222223", 0, {11, 0, 3, 2, 10, 2, 10, 2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digits);
        EXPECT_EQ(CNumberSignal::AonSymbols(c.digits, c.category), c.sent);
        const std::vector<int16_t> samples =
            Play(WithSignal(SimSignalKind::kAon, c.digits, c.category), 2);
        std::vector<int> twice = c.sent;
        twice.insert(twice.end(), c.sent.begin(), c.sent.end());
        EXPECT_EQ(AonSymbolsHeard(samples, 4000, 18), twice);
    }
}

TEST(NumberSignal, ScenarioTimelineCarriesSignalsAndRefusesBadOnes) {
    const auto load = [](const std::string& timeline) {
        return ParseBoardScenario("[Board0]\nGroups = 1 0 0\n[Board0.Channel0]\nTimeline = " +
                                      timeline + "\n",
                                  "test.ini", ".", nullptr);
    };
    const SimScenario scenario = load("1 ring; 1.5 fsk 5551234; 5 in; 5.6 aon 8901234 3; 9 free");
    const SimChannel& channel = scenario.boards[0].channels[0];
    ASSERT_EQ(channel.signals.size(), 2u);
    EXPECT_EQ(channel.signals[0].timeMs, 1500);
    EXPECT_EQ(channel.signals[0].kind, SimSignalKind::kFsk);
    EXPECT_EQ(channel.signals[1].category, 3);
    EXPECT_EQ(channel.timeline.size(), 3u);
    for (const char* bad : {"1 aon 123", "1 aon 8901234 10", "1 fsk 12a", "1 dtmf 12E",
                            "1 dtmf", "1 fsk 1 2"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(load(bad), CBoardScenarioError);
    }
}

}  // namespace
}  // namespace zorv
