// A DSP-style device over a fake driver: the start sequence, the per-block
// pipeline in order for every channel, no allocation per block, events and
// parameter reports, and the group watchdog.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>

#include "core/ServerMessage.h"
#include "devices/DspDevice.h"
#include "support/CallOrder.h"
#include "support/ChannelDoubles.h"
#include "support/ChildProcess.h"
#include "support/FakeDriver.h"
#include "support/StreamBuilder.h"

// Allocations made on one watched thread (the device's reading thread).
namespace {
std::atomic<bool> g_countAllocations{false};
std::atomic<std::thread::id> g_watchedThread{};
std::atomic<long> g_allocations{0};
}  // namespace

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZORV_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ZORV_THREAD_SANITIZER 1
#endif

#if defined(ZORV_THREAD_SANITIZER)
// The thread sanitizer's runtime defines the allocation functions itself;
// its allocation hooks count instead.
using MallocHook = void (*)(const volatile void*, std::size_t);
using FreeHook = void (*)(const volatile void*);
extern "C" int __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
namespace {
void OnAllocation(const volatile void*, std::size_t) {
    if (g_countAllocations && std::this_thread::get_id() == g_watchedThread.load()) {
        ++g_allocations;
    }
}
void OnFree(const volatile void*) {}
[[maybe_unused]] const int g_hooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnFree);
}  // namespace
#else
namespace {
void* CountedAllocate(std::size_t size) noexcept {
    if (g_countAllocations && std::this_thread::get_id() == g_watchedThread.load()) {
        ++g_allocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// Every form of the plain allocation functions is replaced, so that each
// allocation and its release go through the same pair. (The compiler sees
// malloc behind new and free behind delete, and warns about the pairing it
// cannot follow.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (void* p = CountedAllocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = CountedAllocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// Posts counted without allocating (the watched thread posts too).
class CCountingServer final : public IServer {
public:
    bool Post(int32_t code, int32_t a, int32_t b, int32_t) override {
        last[0] = code;
        last[1] = a;
        last[2] = b;
        ++posts[static_cast<std::size_t>(code & 63)];
        return true;
    }
    void WriteJournal(int, std::string_view) override {}
    std::array<std::atomic<int>, 64> posts{};
    std::array<std::atomic<int>, 3> last{};
};

class CLoggingStage final : public IBlockStage {
public:
    CLoggingStage(std::vector<std::string>& log, std::string name)
        : m_log(log), m_name(std::move(name)) {}
    void Process(int channel, int16_t*, std::size_t count) override {
        m_lastCount = count;
        if (m_logging) {
            m_log.push_back(m_name + std::to_string(channel));
        }
    }
    bool m_logging = true;
    std::size_t m_lastCount = 0;

private:
    std::vector<std::string>& m_log;
    std::string m_name;
};

// Records that go nowhere; monitor blocks are logged (the pipeline's step 9).
class CMonitorLoggingRecorder final : public IChannelRecorder {
public:
    CMonitorLoggingRecorder(std::vector<std::string>& log, bool& logging)
        : m_log(log), m_logging(logging) {}
    void PrepareFormat(int, int, uint32_t) override {}
    tagDB_Record& Metadata(int channel) override { return m_meta[static_cast<size_t>(channel)]; }
    bool OpenRecord(int channel, const RecordStart&) override {
        m_open[static_cast<size_t>(channel)] = true;
        return true;
    }
    bool IsRecordOpen(int channel) const override { return m_open[static_cast<size_t>(channel)]; }
    std::size_t WriteRecord(int, const void*, std::size_t bytes) override { return bytes; }
    void FinishRecord(int channel) override { m_open[static_cast<size_t>(channel)] = false; }
    void SetMute(int, bool) override {}
    bool GetMute(int) const override { return false; }
    void AddCallWithoutFile(const tagDB_Record&) override {}
    void WriteMonitorBlock(int channel, const int16_t*, std::size_t) override {
        if (m_logging) {
            m_log.push_back("monitor" + std::to_string(channel));
        }
    }

private:
    std::vector<std::string>& m_log;
    bool& m_logging;
    std::array<tagDB_Record, 18> m_meta{};
    std::array<bool, 18> m_open{};
};

class CMonitorLoggingFactory final : public IRecorderFactory {
public:
    CMonitorLoggingFactory(std::vector<std::string>& log, bool& logging)
        : m_log(log), m_logging(logging) {}
    std::unique_ptr<IChannelRecorder> Create(CRecordDevice&, int) override {
        return std::make_unique<CMonitorLoggingRecorder>(m_log, m_logging);
    }

private:
    std::vector<std::string>& m_log;
    bool& m_logging;
};

class CTestDspDevice final : public CDspDevice {
public:
    CTestDspDevice(const DeviceContext& context, CFakeDriver* driver, std::vector<std::string>& log)
        : CDspDevice(context, 0), m_fake(driver), m_log(log) {}
    ~CTestDspDevice() override { Close(); }
    bool m_logging = true;

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override {
        return std::unique_ptr<CDeviceDriver>(m_fake);
    }
    void ProcessBlock(int channel, int16_t*, std::size_t) override {
        g_watchedThread = std::this_thread::get_id();
        if (m_logging) {
            m_log.push_back("auxiliary" + std::to_string(channel));
        }
    }
    void OnListenerAudio(int channel, const int16_t*, std::size_t) override {
        if (m_logging) {
            m_log.push_back("handler" + std::to_string(channel));
        }
    }

private:
    CFakeDriver* m_fake;
    std::vector<std::string>& m_log;
};

class DspDeviceTest : public ::testing::Test {
protected:
    void Make(std::array<int, 3> channels, uint32_t infoWord = 0x00012066) {
        m_driver = new CFakeDriver(channels, infoWord);  // owned by the device
        DeviceContext context;
        context.server = &m_server;
        context.clock = &m_clock;
        context.recorders = &m_recorders;
        m_device = std::make_unique<CTestDspDevice>(context, m_driver, m_log);
        ASSERT_TRUE(m_device->Open());
        BlockStages stages;
        stages.callerIdDemodulator = &m_callerId;
        stages.busyAnalyzer = &m_busy;
        stages.aonActivation = &m_aonActivation;
        stages.aonDecoder = &m_aonDecoder;
        stages.frequencyActivator = &m_fa;
        stages.noiseSuppressor = &m_noise;
        m_device->SetStages(stages);
    }
    void LevelActivation() {
        tagChanelParam p = kDefaultChanelParam;
        p.Activate = kActivateLevel;
        for (int ch = 0; ch < m_device->ChannelCount(); ++ch) {
            m_device->SetChannelParam(ch, p);
        }
    }
    void Quiet(bool quiet) {
        for (CLoggingStage* stage :
             {&m_callerId, &m_busy, &m_aonActivation, &m_aonDecoder, &m_fa, &m_noise}) {
            stage->m_logging = !quiet;
        }
        m_device->m_logging = !quiet;
        m_recorderLogging = !quiet;
    }

    std::vector<std::string> m_log;
    CManualClock m_clock;
    CCountingServer m_server;
    CLoggingStage m_callerId{m_log, "callerId"};
    CLoggingStage m_busy{m_log, "busy"};
    CLoggingStage m_aonActivation{m_log, "aonActivation"};
    CLoggingStage m_aonDecoder{m_log, "aonDecoder"};
    CLoggingStage m_fa{m_log, "frequencyActivator"};
    CLoggingStage m_noise{m_log, "noise"};
    bool m_recorderLogging = true;
    CMonitorLoggingFactory m_recorders{m_log, m_recorderLogging};
    CFakeDriver* m_driver = nullptr;
    std::unique_ptr<CTestDspDevice> m_device;
};

TEST_F(DspDeviceTest, StartProgramsGroupsThenProcessors) {
    Make({6, 2, 0});
    ASSERT_TRUE(m_device->Start());
    EXPECT_TRUE(AppearInOrder(m_driver->Log(), {"StartDevice",
                                                "WriteGroupConfig(0,0x810c,0x8388)",
                                                "WriteGroupConfig(1,0x810c,0x8388)",
                                                "StartTransfer",
                                                "SetEnableBit(0,1)",
                                                "SetEnableBit(1,1)",
                                                "cmd(0,RequestVersion,0)",
                                                "cmd(0,RequestStatus,0)",
                                                "cmd(0,Initialise,0)",
                                                "cmd(0,ReadLineFailureLevel,0)",
                                                "cmd(0,ReadLineActivateLevel,0)",
                                                "cmd(0,ReadLineRingLevel,0)",
                                                "cmd(0,ReadMaxRingPause,0)",
                                                "cmd(0,ReadAonRequestLength,0)",
                                                "cmd(0,ReadAonRequestNumber,0)",
                                                "cmd(0,ReadAonRequestPauseFirst,0)",
                                                "cmd(0,ReadAonRequestPauseBetween,0)",
                                                "cmd(0,ReadMinActivateLevel,0)",
                                                "cmd(5,ReadMinActivateLevel,0)",
                                                "SetEnableBit(2,1)",
                                                "SetEnableBit(3,1)",
                                                "cmd(6,RequestVersion,0)",
                                                "cmd(6,RequestStatus,0)",
                                                "cmd(7,ReadMinActivateLevel,0)"}));
    EXPECT_EQ(m_device->ServiceParams().MaxChTlf, 7u);
    EXPECT_EQ(m_device->AudioRecordLength(), 14);
    m_device->Stop();
    EXPECT_TRUE(AppearInOrder(m_driver->Log(), {"cmd(0,Monitor,0)", "cmd(0,Initialise,0)",
                                                "StopGroup(0)", "StopGroup(1)", "StopTransfer"}));
}

TEST_F(DspDeviceTest, GroupRateFollowsItsFirstChannelAndUnsupportedRatesFail) {
    Make({6, 0, 0});
    m_device->SetSampleRate(0, 0, 16000, false);
    ASSERT_TRUE(m_device->Start());
    tagChanelParam p{};
    m_device->GetChannelParam(5, p);
    EXPECT_EQ(p.SampleRate, 16000u);
    EXPECT_TRUE(Contains(m_driver->Log(), "WriteGroupConfig(0,0x810d,0x8388)"));
    m_device->Stop();

    Make({6, 0, 0});
    m_device->SetSampleRate(0, 0, 11025, false);
    EXPECT_FALSE(m_device->Start());
    EXPECT_EQ(m_device->LastError(), kDeviceBadChannelOrRate);
}

TEST_F(DspDeviceTest, GroupSampleRateChangesTheGroupAndItsBlocks) {
    Make({6, 2, 0});
    ASSERT_TRUE(m_device->Start());
    ASSERT_EQ(m_device->SetGroupSampleRate(1, 16000), 1);
    EXPECT_EQ(m_device->LastError(), kDeviceOk);
    EXPECT_TRUE(Contains(m_driver->Log(), "WriteGroupConfig(1,0x810d,0x8388)"));
    tagChanelParam p{};
    for (int ch : {0, 5, 6, 7}) {
        ASSERT_TRUE(m_device->GetChannelParam(ch, p));
        EXPECT_EQ(p.SampleRate, ch >= 6 ? 16000u : 8000u) << "channel " << ch;
    }
    // The next blocks of group 1 are 128 samples long, those of group 0 still 64.
    Quiet(true);
    auto stream = CStreamBuilder(kShortAudioRecordLength, {6, 2, 0}).Audio(1, 129).Bytes();
    m_device->FeedStream(stream.data(), stream.size());
    EXPECT_EQ(m_noise.m_lastCount, 128u);
    stream = CStreamBuilder(kShortAudioRecordLength, {6, 2, 0}).Audio(0, 65).Bytes();
    m_device->FeedStream(stream.data(), stream.size());
    EXPECT_EQ(m_noise.m_lastCount, 64u);
    // An unsupported rate changes nothing.
    EXPECT_EQ(m_device->SetGroupSampleRate(1, 11025), 0);
    EXPECT_EQ(m_device->LastError(), kDeviceBadChannelOrRate);
    m_device->Stop();
}

TEST_F(DspDeviceTest, PipelineRunsInOrderForEveryChannel) {
    Make({3, 0, 0});
    LevelActivation();
    m_device->FeedStream(
        CStreamBuilder(kShortAudioRecordLength, {3, 0, 0}).Audio(0, 65).Bytes().data(),
        CStreamBuilder(kShortAudioRecordLength, {3, 0, 0}).Audio(0, 65).Bytes().size());
    std::vector<std::string> expected;
    for (int ch = 0; ch < 3; ++ch) {
        for (const char* stage : {"callerId", "auxiliary", "busy", "aonActivation", "aonDecoder",
                                  "frequencyActivator", "noise", "monitor", "handler"}) {
            expected.push_back(stage + std::to_string(ch));
        }
    }
    EXPECT_EQ(m_log, expected);
}

TEST_F(DspDeviceTest, ReadingLoopAllocatesNothingPerBlock) {
    Make({6, 6, 6}, 0x00300666);
    LevelActivation();
    Quiet(true);
    ASSERT_TRUE(m_device->Start());
    // Loud then quiet audio: records open, are written and finish meanwhile.
    CStreamBuilder warmup(26, {6, 6, 6});
    warmup.Audio(0, 64 * 20, 20000).Audio(1, 64 * 20, 20000).Audio(2, 64 * 20, 20000);
    m_driver->Push(warmup.Bytes());
    ASSERT_TRUE(PollUntil([&] { return m_driver->Pending() == 0; }, 10s));
    CStreamBuilder stream(26, {6, 6, 6});
    for (int i = 0; i < 40; ++i) {
        const int16_t level = i < 20 ? 20000 : 0;
        stream.Audio(0, 64 * 10, level).Audio(1, 64 * 10, level).Audio(2, 64 * 10, level);
    }
    g_allocations = 0;
    g_countAllocations = true;
    m_driver->Push(stream.Bytes());
    ASSERT_TRUE(PollUntil([&] { return m_driver->Pending() == 0; }, 20s));
    std::this_thread::sleep_for(50ms);  // the last read's blocks
    g_countAllocations = false;
    EXPECT_EQ(g_allocations.load(), 0);
    m_device->Stop();
}

// A stage that throws at its first block.
class CThrowOnceStage final : public IBlockStage {
public:
    void Process(int, int16_t*, std::size_t) override {
        if (m_calls++ == 0) {
            throw std::runtime_error("stage failed");
        }
    }
    std::atomic<int> m_calls{0};
};

TEST_F(DspDeviceTest, ExceptionInOneBlockLosesNothingElse) {
    Make({6, 0, 0});
    CThrowOnceStage thrower;
    BlockStages stages;
    stages.busyAnalyzer = &thrower;
    m_device->SetStages(stages);
    Quiet(true);
    ASSERT_TRUE(m_device->Start());
    // Ten blocks and a ring, in two reads that cut a record.
    const auto stream = CStreamBuilder(kShortAudioRecordLength, {6, 0, 0})
                            .Audio(0, 64 * 10 + 1)
                            .Event(0, 1, 1, Code(DspEvent::Line))
                            .Bytes();
    const auto cut = stream.begin() + 14 * 300 + 5;
    m_driver->Push(std::vector<uint8_t>(stream.begin(), cut));
    ASSERT_TRUE(PollUntil([&] { return m_driver->Pending() == 0; }, 10s));
    m_driver->Push(std::vector<uint8_t>(cut, stream.end()));
    ASSERT_TRUE(PollUntil(
        [&] {
            return m_device->Bank()->GetChannelState(1).StateLine == static_cast<uint32_t>(CS_RING);
        },
        10s));
    m_device->Stop();
    // The block that threw ended at channel 0; every other one reached all six.
    EXPECT_EQ(thrower.m_calls.load(), 1 + 9 * 6);
    EXPECT_EQ(m_server.posts[kMsgException].load(), 1);
    EXPECT_EQ(m_server.posts[kMsgDeviceBytes].load(), 0);
}

TEST_F(DspDeviceTest, DriftedParameterIsWrittenBackOnce) {
    Make({6, 0, 0});
    ASSERT_TRUE(m_device->Start());
    LineParams held{};
    ASSERT_TRUE(m_device->GetLineParams(2, held));
    const auto log = m_driver->Log().size();
    // The processor of channel 2 reports a ring level of 71; the system holds 70.
    auto stream =
        CStreamBuilder(kShortAudioRecordLength, {6, 0, 0})
            .Event(0, 2, 71, static_cast<uint8_t>(DspCommand::ReadLineRingLevel))
            .Event(0, 2, held.LineRingLevel, static_cast<uint8_t>(DspCommand::ReadLineRingLevel))
            .Bytes();
    m_device->FeedStream(stream.data(), stream.size());
    const auto after = m_driver->Log();
    EXPECT_EQ(std::vector<std::string>(after.begin() + static_cast<long>(log), after.end()),
              (std::vector<std::string>{"cmd(2,WriteLineRingLevel,70)"}));
    EXPECT_EQ(m_server.posts[kMsgLineParamFirst + 2].load(), 1);
    EXPECT_EQ(m_server.last[1].load(), 0);  // device index
    EXPECT_EQ(m_server.last[2].load(), 2);  // channel
    m_device->Stop();
}

TEST_F(DspDeviceTest, SilentProcessorTripsTheWatchdogOnceEach2501Blocks) {
    Make({6, 0, 0});
    auto event = CStreamBuilder(kShortAudioRecordLength, {6, 0, 0})
                     .Event(0, 0, 0, Code(DspEvent::Line))
                     .Bytes();
    m_device->FeedStream(event.data(), event.size());  // the processor was alive
    auto audio = CStreamBuilder(kShortAudioRecordLength, {6, 0, 0}).Audio(0, 64 * 2502 + 1).Bytes();
    m_device->FeedStream(audio.data(), audio.size());
    EXPECT_EQ(m_server.posts[kMsgFailure].load(), 1);
    EXPECT_EQ(m_device->LastError(), kDeviceProcessorGroup0Failed);
    EXPECT_EQ(m_device->ServiceParams().MegaPresent[0], 2u);
    m_device->MarkGroupFailed(0);
    EXPECT_EQ(m_device->Bank()->GetChannelState(3).StateLine, static_cast<uint32_t>(CS_DSP_FAULT));
    // Data from the processor again: the channels its silence stopped return.
    m_device->FeedStream(event.data(), event.size());
    EXPECT_EQ(m_device->ServiceParams().MegaPresent[0], 1u);
    EXPECT_EQ(m_device->Bank()->GetChannelState(3).StateLine, static_cast<uint32_t>(CS_FREE));
}

TEST_F(DspDeviceTest, PolarityModesAndTheAutomaticCheck) {
    Make({6, 0, 0});
    EXPECT_EQ(m_device->SetPolarityMode(0, 2, false), 0);
    EXPECT_EQ(m_device->SetPolarityCheckTimeOut(0, 4, false), 0);
    EXPECT_EQ(m_device->SetPolarityCheckTimeOut(0, 301, false), 0);
    ASSERT_EQ(m_device->SetPolarityMode(1, 1, false), 1);   // fixed: one command, once
    ASSERT_EQ(m_device->SetPolarityMode(0, 0, false), 1);   // automatic
    ASSERT_EQ(m_device->SetPolarityCheckTimeOut(0, 5, false), 1);
    EXPECT_EQ(m_device->GetPolarityCheckTimeOut(0), 5);
    auto commandsOf = [&](int channel, DspCommand command) {
        std::vector<std::string> found;
        const std::string prefix =
            fmt::format("cmd({},{},", channel, DspCommandName(Code(command)));
        for (const std::string& entry : m_driver->Log()) {
            if (entry.rfind(prefix, 0) == 0) {
                found.push_back(entry);
            }
        }
        return found;
    };
    // The lines are free (line activation): the test pulse goes out after
    // 625 blocks, the decision 25 blocks later; both lines start quiet.
    auto blocks = [&](int count) {
        auto bytes =
            CStreamBuilder(kShortAudioRecordLength, {6, 0, 0}).Audio(0, 64 * count + 1).Bytes();
        m_device->FeedStream(bytes.data(), bytes.size());
    };
    blocks(624);
    EXPECT_TRUE(commandsOf(0, DspCommand::Key).empty());
    EXPECT_EQ(commandsOf(1, DspCommand::Polarity), (std::vector<std::string>{"cmd(1,Polarity,1)"}));
    blocks(1);
    EXPECT_EQ(commandsOf(0, DspCommand::Key), (std::vector<std::string>{"cmd(0,Key,2)"}));
    blocks(24);
    EXPECT_TRUE(commandsOf(0, DspCommand::Polarity).empty());
    blocks(1);
    EXPECT_EQ(commandsOf(0, DspCommand::Polarity).size(), 1u);
    // The same result at the next check sends nothing more; the cycle is 650 blocks.
    blocks(650);
    EXPECT_EQ(commandsOf(0, DspCommand::Key).size(), 2u);
    EXPECT_EQ(commandsOf(0, DspCommand::Polarity).size(), 1u);
    EXPECT_EQ(commandsOf(1, DspCommand::Polarity).size(), 1u);
}

TEST_F(DspDeviceTest, LineEventsReachTheChannels) {
    Make({6, 6, 0});
    auto stream = CStreamBuilder(kShortAudioRecordLength, {6, 6, 0})
                      .Event(1, 2, 1, Code(DspEvent::Line))
                      .Event(1, 2, 2, Code(DspEvent::Line))
                      .Bytes();
    m_device->FeedStream(stream.data(), stream.size());
    EXPECT_EQ(m_device->Bank()->GetChannelState(8).StateLine, static_cast<uint32_t>(CS_CALL_IN));
    EXPECT_EQ(m_device->Bank()->GetChannelState(2).StateLine, static_cast<uint32_t>(CS_FREE));
}

}  // namespace
}  // namespace zorv::test
