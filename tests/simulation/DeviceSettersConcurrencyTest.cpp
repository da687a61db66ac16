// Client setters from several threads at once on devices whose reading
// threads process the blocks of real-time simulated boards, while one of
// the devices is stopped and started again and again. Meant for the
// ThreadSanitizer build (build-tsan), where every unguarded access between
// a setter, the reading thread and the life cycle is reported; bounded in
// iterations, so it takes a few seconds at most.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/ServerMessage.h"
#include "devices/DspDevice.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "support/CountingDoubles.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// One pass of a setter thread: every kind of client change on one channel
// of one device (the step picks which).
void ChangeSomething(CDspDevice& device, int step) {
    const int channel = step % device.ChannelCount();
    const int group = channel / kMaxGroupChannels;
    switch (step % 11) {
        case 0: {
            tagChanelParam param{};
            if (device.GetChannelParam(channel, param)) {
                param.TOn = static_cast<uint32_t>(step % 50);
                device.SetChannelParam(channel, param);
            }
            break;
        }
        case 1:
            device.SetGain(channel, step % 8, true, false);
            break;
        case 2: {
            LineParams params = kDefaultLineParams;
            params.LineRingLevel = static_cast<uint8_t>(step);
            params.MaxRingPause = static_cast<uint8_t>(step >> 3);
            device.SetLineParams(channel, channel + (step % 2), params, true);
            break;
        }
        case 3:
            device.SetEnable(channel, channel, step % 3 == 0 ? 0 : 1, false);
            break;
        case 4:
            device.SetActivate(channel, channel, static_cast<uint32_t>(step % 3), false);
            break;
        case 5:
            device.SetTreshold(channel, channel, static_cast<uint32_t>(100 + step % 3000), false);
            break;
        case 6:
            device.SetRecordLengths(static_cast<uint32_t>(5 + step % 10),
                                    static_cast<uint32_t>(3600 + step));
            break;
        case 7:
            device.SetStereo(channel & ~1, (channel & ~1) + 1, false);
            break;
        case 8:
            device.UndoStereo(channel & ~1, (channel & ~1) + 1, false);
            break;
        case 9:
            device.SetGroupSampleRate(group, step % 2 == 0 ? 16000 : 8000);
            break;
        default:
            device.SetKeyEnable(channel, channel, static_cast<uint32_t>(step % 2), true, false);
            device.SetTOff(channel, channel, static_cast<uint32_t>(step % 100), false);
            break;
    }
}

TEST(DeviceSettersConcurrency, SettersRaceTheReadingThreadAndTheLifeCycle) {
    constexpr int kBoards = 2;
    constexpr int kSetterThreads = 3;
    constexpr int kStepsPerThread = 400;
    constexpr int kRestarts = 6;
    std::vector<SimBoardConfig> configs;
    for (int i = 0; i < kBoards; ++i) {
        SimBoardConfig config;
        config.index = i;
        config.infoWord = i == 0 ? 0x00012066 : 0x00300656;  // older and newer layouts
        config.heartbeatMs = 100;
        for (SimChannel& channel : config.channels) {
            channel.audio.kind = SimAudioKind::Tone;
            channel.audio.frequencyHz = 600;
            channel.audio.amplitude = 6000;
        }
        configs.push_back(config);
    }
    CSimulatedBoardOpener opener(configs, CSimulatedBoard::Clock::RealTime);
    CCountingServer server;
    CManualClock clock;  // the devices' settle waits pass at once
    std::array<CBlockCounter, kBoards> counters;
    std::vector<std::unique_ptr<CDspDevice>> devices;
    for (int i = 0; i < kBoards; ++i) {
        DeviceContext context;
        context.server = &server;
        context.clock = &clock;
        context.deviceIndex = i;
        auto device = std::make_unique<CDspDevice>(context, i, &opener);
        ASSERT_TRUE(device->Open()) << "board " << i;
        BlockStages stages;
        stages.busyAnalyzer = &counters[static_cast<std::size_t>(i)];
        device->SetStages(stages);
        ASSERT_TRUE(device->Start()) << "board " << i;
        devices.push_back(std::move(device));
    }
    ASSERT_TRUE(PollUntil([&] { return counters[0].m_blocks > 0; }, 30s));

    std::vector<std::thread> setters;
    for (int t = 0; t < kSetterThreads; ++t) {
        setters.emplace_back([&, t] {
            for (int step = 0; step < kStepsPerThread; ++step) {
                ChangeSomething(*devices[static_cast<std::size_t>((step + t) % kBoards)],
                                step * kSetterThreads + t);
            }
        });
    }
    // Board 1 stops and starts under the setters; board 0 streams on.
    std::thread lifeCycle([&] {
        for (int round = 0; round < kRestarts; ++round) {
            devices[1]->Stop();
            devices[1]->Start();
        }
    });
    for (std::thread& setter : setters) {
        setter.join();
    }
    lifeCycle.join();

    // Both devices still stream after all of it.
    const long before0 = counters[0].m_blocks.load();
    const long before1 = counters[1].m_blocks.load();
    for (auto& device : devices) {
        device->SetEnable(0, device->ChannelCount() - 1, 1, false);
    }
    EXPECT_TRUE(PollUntil([&] { return counters[0].m_blocks > before0; }, 30s));
    EXPECT_TRUE(PollUntil([&] { return counters[1].m_blocks > before1; }, 30s));
    for (auto& device : devices) {
        device->Stop();
        device->Close();
    }
    EXPECT_EQ(server.Count(kMsgException), 0);
}

}  // namespace
}  // namespace zorv::test
