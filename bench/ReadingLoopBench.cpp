// The per-block work of a device's reading loop: one device of 18 channels
// (three groups of six, 26-byte records), record-stream parsing, block
// processing with the input filter and level, and the channels' activation
// (by level, or by line state with calls in progress); the block stages are
// empty and records are discarded.
// Reported as block sets (one 8-ms block of every channel) per CPU-second.
#include <benchmark/benchmark.h>

#include "devices/DspDevice.h"
#include "support/FakeDriver.h"
#include "support/StreamBuilder.h"

namespace {

class CNullServer final : public zorv::IServer {
public:
    bool Post(int32_t, int32_t, int32_t, int32_t) override { return true; }
    void WriteJournal(int, std::string_view) override {}
};

class CBenchDevice final : public zorv::CDspDevice {
public:
    CBenchDevice(const zorv::DeviceContext& context, zorv::test::CFakeDriver* driver)
        : CDspDevice(context, 0), m_driver(driver) {}
    ~CBenchDevice() override { Close(); }

protected:
    std::unique_ptr<zorv::CDeviceDriver> MakeDriver() override {
        return std::unique_ptr<zorv::CDeviceDriver>(m_driver);
    }

private:
    zorv::test::CFakeDriver* m_driver;
};

// state.range(0): the channels' activation (1 level, 2 line state: every
// second starts with a call-in event on every line, so calls are recorded).
void BM_ReadingLoop18Channels(benchmark::State& state) {
    CNullServer server;
    zorv::CManualClock clock;
    zorv::DeviceContext context;
    context.server = &server;
    context.clock = &clock;
    auto* driver = new zorv::test::CFakeDriver({6, 6, 6}, 0x00300666);
    CBenchDevice device(context, driver);
    device.Open();
    zorv::tagChanelParam p = zorv::kDefaultChanelParam;
    p.Activate = static_cast<uint32_t>(state.range(0));
    for (int ch = 0; ch < 18; ++ch) {
        device.SetChannelParam(ch, p);
    }
    // One second of speech-level audio for every channel, fed again and again.
    zorv::test::CStreamBuilder stream(zorv::kLongAudioRecordLength, {6, 6, 6});
    if (p.Activate == zorv::kActivateLine) {
        for (int g = 0; g < 3; ++g) {
            for (int c = 0; c < 6; ++c) {
                stream.Event(g, c, 2, zorv::Code(zorv::DspEvent::Line));  // call in
            }
        }
    }
    for (int s = 0; s < 125; ++s) {
        const int16_t level = (s / 25) % 2 == 0 ? 6000 : 200;
        stream.Audio(0, 64, level).Audio(1, 64, level).Audio(2, 64, level);
    }
    const auto& bytes = stream.Bytes();
    for (auto _ : state) {
        device.FeedStream(bytes.data(), bytes.size());
    }
    state.SetItemsProcessed(state.iterations() * 125);
    state.counters["channel_seconds_per_cpu_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 18, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadingLoop18Channels)
    ->Arg(zorv::kActivateLevel)
    ->Arg(zorv::kActivateLine)
    ->ArgName("activate")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
