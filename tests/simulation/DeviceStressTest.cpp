// Many boards started, reconfigured and stopped while they stream, each
// through its real driver and a simulated board on the real-time clock. The
// reading threads parse all the while; run under ThreadSanitizer (build-tsan)
// and AddressSanitizer (build-test).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "core/ServerMessage.h"
#include "devices/DspDevice.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "support/CountingDoubles.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

TEST(DeviceStressTest, ManyBoardsStartAndStopWhileStreaming) {
    constexpr int kBoards = 16;
    constexpr int kRounds = 12;
    std::vector<SimBoardConfig> configs;
    for (int i = 0; i < kBoards; ++i) {
        SimBoardConfig config;
        config.index = i;
        // Older boards (six-sample records, two groups) and newer ones
        // (twelve-sample records; group 1 of five channels).
        config.infoWord = i % 2 == 0 ? 0x00012066 : 0x00300656;
        config.heartbeatMs = 100;
        for (SimChannel& channel : config.channels) {
            channel.audio.kind = SimAudioKind::Tone;
            channel.audio.frequencyHz = 400 + 50 * i;
            channel.audio.amplitude = 8000;
        }
        configs.push_back(config);
    }
    CSimulatedBoardOpener opener(configs, CSimulatedBoard::Clock::RealTime);
    CCountingServer server;
    CManualClock clock;
    std::vector<std::unique_ptr<CBlockCounter>> counters;
    std::vector<std::unique_ptr<CDspDevice>> devices;
    for (int i = 0; i < kBoards; ++i) {
        DeviceContext context;
        context.server = &server;
        context.clock = &clock;
        context.deviceIndex = i;
        auto device = std::make_unique<CDspDevice>(context, i, &opener);
        ASSERT_TRUE(device->Open()) << "board " << i;
        counters.push_back(std::make_unique<CBlockCounter>());
        BlockStages stages;
        stages.busyAnalyzer = counters.back().get();
        device->SetStages(stages);
        devices.push_back(std::move(device));
    }
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<long> before;
        for (int i = 0; i < kBoards; ++i) {
            before.push_back(counters[static_cast<std::size_t>(i)]->m_blocks.load());
            ASSERT_TRUE(devices[static_cast<std::size_t>(i)]->Start()) << "board " << i;
        }
        // Every device parses while the others start; then some change the
        // rate of a group under way.
        for (int i = 0; i < kBoards; ++i) {
            const auto& counter = counters[static_cast<std::size_t>(i)];
            ASSERT_TRUE(PollUntil(
                [&] { return counter->m_blocks > before[static_cast<std::size_t>(i)]; }, 60s))
                << "board " << i;
        }
        for (int i = round % 3; i < kBoards; i += 3) {
            const uint32_t rate = round % 2 == 0 ? 16000 : 8000;
            EXPECT_EQ(devices[static_cast<std::size_t>(i)]->SetGroupSampleRate(1, rate), 1)
                << "board " << i;
        }
        for (auto& device : devices) {
            device->Stop();
        }
    }
    for (auto& device : devices) {
        device->Close();
    }
    // Nothing escaped a reading thread, and the stream never looked corrupt.
    EXPECT_EQ(server.Count(kMsgException), 0);
    EXPECT_EQ(server.Count(kMsgDeviceBytes), 0);
}

}  // namespace
}  // namespace zorv::test
