// The configurator's one-second tick with a full house: 100 registered
// transcoders, all found, each with requests waiting. The tick runs under
// the configurator's lock, so its cost bounds how long flows and clients may
// wait for that lock; it must stay far below its one-second period.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "platform/IniFile.h"
#include "transcoders/TranscoderConfigurator.h"

namespace {

using namespace zorv;

constexpr uint32_t kTranscoders = 100;

TranscoderAddress AddressOf(uint32_t i) {
    // 127.0.1.i .. on port 40000 + i: nobody listens there.
    const uint32_t ip = 127u | (0u << 8) | (1u << 16) | ((i % 250 + 1) << 24);
    return TranscoderAddress{ip, static_cast<uint16_t>(40000 + i)};
}

std::string PrepareIni() {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / "zorv-transcoder-tick-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    IniFile ini((dir / "Transcoders.ini").string());
    ini.WriteString("AdvancedParam", "SearchBroadcastAddress", "127.0.0.1");
    return ini.Path();
}

// Requests waiting per transcoder: arg 0 or 4.
void BM_TickWithHundredTranscoders(benchmark::State& state) {
    CNullJournal journal;
    CManualClock clock;
    CTranscoderConfigurator configurator(journal, clock);
    if (!configurator.Start(PrepareIni())) {
        state.SkipWithError("the configurator did not start");
        return;
    }
    configurator.Enable();
    for (uint32_t i = 0; i < kTranscoders; ++i) {
        tagStoredTranscoderConfig stored{};
        stored.tsSerialNumber = 1000 + i;
        stored.tsAddr = AddressOf(i).ip;
        stored.tsPort = AddressOf(i).port;
        stored.tsChannelsCount = 12;
        stored.deviceClass = kDatagramTranscoder;
        configurator.addNetDevice(i, stored);

        TranscoderPacket answer;
        answer.type = FT_SCAN_ACKNOWLEDGE;
        answer.info.SerialNumber = 1000 + i;
        answer.info.Channels = 12;
        std::vector<uint8_t> bytes(kCurrentPacketSize);
        bytes.resize(EncodeTranscoderPacket(answer, bytes));
        configurator.OnDatagram(bytes, AddressOf(i));
    }
    std::vector<RequestHandle> waiting;
    for (uint32_t i = 0; i < kTranscoders; ++i) {
        for (int64_t r = 0; r < state.range(0); ++r) {
            waiting.push_back(configurator.SendDeviceCommand(AddressOf(i), TCMD_RESET_ADC, 0, 0));
        }
    }
    // Requests at ages 2..5 are resent at every tick: hold the clock there.
    clock.Advance(std::chrono::seconds(3));
    for (auto _ : state) {
        configurator.Tick();
    }
    state.counters["found"] = configurator.getFoundTranscodersCount();
    state.counters["requests"] = static_cast<double>(waiting.size());
    configurator.Stop();
}
BENCHMARK(BM_TickWithHundredTranscoders)->Arg(0)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
