// The simulated board's record stream and processors, as a board driver
// sees them: record layouts, line timelines, command answers and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <numeric>
#include <tuple>

#include "devices/BoardDriver.h"
#include "devices/DspProtocol.h"
#include "platform/AutoResetEvent.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/BoardStream.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;
using test::SplitStream;
using test::StreamRecord;

constexpr int kRampLength = 1000;

// A line carrying base, base + 1, ... (a WAV at 8000 Hz), so that every
// sample tells its channel and position.
SimAudio Ramp(int base, bool duringCallsOnly = false) {
    std::vector<int16_t> samples(kRampLength);
    std::iota(samples.begin(), samples.end(), static_cast<int16_t>(base));
    SimAudio audio;
    audio.kind = SimAudioKind::Wav;
    audio.wavSamples = std::make_shared<const std::vector<int16_t>>(std::move(samples));
    audio.wavRate = 8000;
    audio.wavPath = "ramp.wav";
    audio.duringCallsOnly = duringCallsOnly;
    return audio;
}

int RampBase(int channel) {
    return 1000 * (channel + 1);
}

SimBoardConfig RampBoard(uint32_t infoWord) {
    SimBoardConfig config;
    config.infoWord = infoWord;
    for (int c = 0; c < kSimMaxChannels; ++c) {
        config.channels[static_cast<std::size_t>(c)].audio = Ramp(RampBase(c));
    }
    return config;
}

SimFault Fault(int64_t timeMs, SimFaultKind kind, int64_t amount = 0, int group = 0,
               std::vector<uint8_t> bytes = {}) {
    SimFault fault;
    fault.timeMs = timeMs;
    fault.kind = kind;
    fault.amount = amount;
    fault.group = group;
    fault.bytes = std::move(bytes);
    return fault;
}

// A started board on the virtual clock and its driver.
class StreamBench {
public:
    explicit StreamBench(SimBoardConfig config)
        : m_opener({std::move(config)}, CSimulatedBoard::Clock::Virtual, m_clock),
          m_board(m_opener.BoardAt(0)),
          m_driver(m_opener, m_clock) {
        EXPECT_TRUE(m_driver.Open(0));
        EXPECT_TRUE(m_driver.StartTransfer(65536, &m_event));
    }

    void Enable(int group, bool data = true, bool run = true) {
        m_driver.SetEnableBit(2 * group, data);
        m_driver.SetEnableBit(2 * group + 1, run);
    }

    std::vector<uint8_t> ReadAll() {
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        std::size_t n = 0;
        while (m_driver.Read(chunk, sizeof chunk, n) && n > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }

    std::vector<StreamRecord> Records() {
        return SplitStream(ReadAll(), m_driver.Layout().AudioRecordLength());
    }

    CSimulatedBoard& Board() { return m_board; }
    CBoardDriver& Driver() { return m_driver; }
    CAutoResetEvent& Event() { return m_event; }

private:
    CManualClock m_clock;  // the driver's polls and the board's take-up
    CSimulatedBoardOpener m_opener;
    CSimulatedBoard& m_board;
    CBoardDriver m_driver;
    CAutoResetEvent m_event;
};

std::vector<StreamRecord> OfKind(const std::vector<StreamRecord>& records,
                                 StreamRecord::Kind kind) {
    std::vector<StreamRecord> out;
    std::copy_if(records.begin(), records.end(), std::back_inserter(out),
                 [kind](const StreamRecord& r) { return r.kind == kind; });
    return out;
}

// ---------------------------------------------------------------- audio records

TEST(SimulatedStream, NarrowRecordsCarryOneSamplePerChannel) {
    for (const uint32_t infoWord : {0x00012066u, 0x00012064u}) {
        SCOPED_TRACE(testing::Message() << std::hex << infoWord);
        StreamBench bench(RampBoard(infoWord));
        const int count = static_cast<int>(infoWord & 7);
        bench.Enable(0);
        bench.Board().Advance(2);
        const auto records = bench.Records();
        ASSERT_EQ(records.size(), 16u) << "8 records a millisecond at 8000 Hz";
        for (std::size_t i = 0; i < records.size(); ++i) {
            ASSERT_EQ(records[i].kind, StreamRecord::Audio);
            EXPECT_EQ(records[i].group, 0);
            ASSERT_EQ(records[i].samples.size(), 6u);
            for (int c = 0; c < 6; ++c) {
                const int expected = c < count ? RampBase(c) + static_cast<int>(i) : 0;
                EXPECT_EQ(records[i].samples[static_cast<std::size_t>(c)], expected);
            }
        }
    }
}

TEST(SimulatedStream, WideRecordsDealFromTheFirstChannelInEveryRecord) {
    // Group 1 of a board with id 0x300, with 6, 5 and 4 channels.
    for (const uint32_t infoWord : {0x00300666u, 0x00300656u, 0x00300646u}) {
        SCOPED_TRACE(testing::Message() << std::hex << infoWord);
        StreamBench bench(RampBoard(infoWord));
        const int count = static_cast<int>((infoWord >> 4) & 7);
        const int rounds = 12 / count;  // whole sample periods per record
        bench.Enable(1);
        // A record being dealt goes on across calls: 24 periods in all.
        bench.Board().Advance(1);
        bench.Board().Advance(2);
        const auto records = bench.Records();
        ASSERT_EQ(records.size(), static_cast<std::size_t>(24 / rounds));
        for (std::size_t i = 0; i < records.size(); ++i) {
            const StreamRecord& record = records[i];
            ASSERT_EQ(record.kind, StreamRecord::Audio);
            EXPECT_EQ(record.group, 1);
            ASSERT_EQ(record.samples.size(), 12u);
            // Sample k: channel k mod count, period k / count of the record;
            // a cut-short last round holds the start of the next period.
            for (int k = 0; k < 12; ++k) {
                const int channel = 6 + k % count;
                const int period = static_cast<int>(i) * rounds + k / count;
                ASSERT_EQ(record.samples[static_cast<std::size_t>(k)], RampBase(channel) + period)
                    << "record " << i << " sample " << k;
            }
        }
    }
}

TEST(SimulatedStream, GroupRateFollowsTheConvertersRateCode) {
    struct Case {
        uint16_t rateCode;
        std::size_t recordsPerMs;
    };
    for (const Case c : {Case{0x810C, 8}, Case{0x810D, 16}, Case{0x810E, 32}, Case{0x810F, 64}}) {
        SimBoardConfig config;
        config.infoWord = 0x00012066;
        StreamBench bench(config);
        const uint16_t block[8] = {c.rateCode, 0x82E1, 0x8388, 0x8488,
                                   0x8588,     0x8600, 0x8700, 0x8001};
        ASSERT_TRUE(bench.Driver().WriteGroupConfig(0, block));
        bench.Enable(0);
        bench.Board().Advance(1);
        EXPECT_EQ(bench.Records().size(), c.recordsPerMs) << std::hex << c.rateCode;
    }
}

TEST(SimulatedStream, WavAtAnotherRateThanTheGroupIsSilentAndSaysSo) {
    StreamBench bench(RampBoard(0x00012066));
    const uint16_t block[8] = {0x810D, 0x82E1, 0x8388, 0x8488, 0x8588, 0x8600, 0x8700, 0x8001};
    ASSERT_TRUE(bench.Driver().WriteGroupConfig(0, block));
    bench.Enable(0);
    bench.Board().Advance(1);
    for (const StreamRecord& record : bench.Records()) {
        EXPECT_EQ(record.samples, std::vector<int16_t>(6, 0));
    }
    const auto warnings = bench.Board().Warnings();
    ASSERT_FALSE(warnings.empty());
    EXPECT_NE(warnings[0].find("ramp.wav is at 8000 Hz but group 0 samples at 16000 Hz"),
              std::string::npos)
        << warnings[0];
}

TEST(SimulatedStream, EnableBitsGateAudioAndEvents) {
    struct Case {
        bool data, run;
        bool audio, events;
    };
    const Case cases[] = {{false, false, false, false},
                          {true, false, false, false},
                          {false, true, false, true},
                          {true, true, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "data " << c.data << " run " << c.run);
        SimBoardConfig config = RampBoard(0x00012066);
        config.channels[2].timeline = {{0, Code(DspEvent::Line), kLineRing}};
        StreamBench bench(config);
        bench.Enable(0, c.data, c.run);
        bench.Board().Advance(1);
        const auto records = bench.Records();
        EXPECT_EQ(OfKind(records, StreamRecord::Audio).size(), c.audio ? 8u : 0u);
        EXPECT_EQ(OfKind(records, StreamRecord::Event).size(), c.events ? 1u : 0u);
    }
}

TEST(SimulatedStream, DataEventIsSetWhenDataArrives) {
    StreamBench bench(RampBoard(0x00012066));
    bench.Board().Advance(1);
    EXPECT_FALSE(bench.Event().TryReset()) << "nothing streams yet";
    bench.Enable(0);
    bench.Board().Advance(1);
    EXPECT_TRUE(bench.Event().TryReset());
}

// ---------------------------------------------------------------- line timelines

TEST(SimulatedStream, LineEventsComeAtTheirTimesAndRepeat) {
    SimBoardConfig config = RampBoard(0x00012066);
    config.repeatMs = 20;
    SimChannel& line = config.channels[7];  // group 1, channel 1 in it
    line.audio = Ramp(RampBase(7), /*duringCallsOnly=*/true);
    line.timeline = {{5, Code(DspEvent::Line), kLineRing},
                     {10, Code(DspEvent::Line), kLineCallIn},
                     {10, Code(DspEvent::Digit), 5},
                     {13, Code(DspEvent::Line), kLineFree}};
    StreamBench bench(config);
    bench.Enable(1);
    bench.Board().Advance(30);

    struct Seen {
        int ms;
        uint8_t code, value;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    int audioRecords = 0;
    for (const StreamRecord& record : bench.Records()) {
        if (record.kind == StreamRecord::Event) {
            EXPECT_EQ(record.group, 1);
            EXPECT_EQ(record.channel, 1);
            seen.push_back({audioRecords / 8, record.code, record.value});
            continue;
        }
        ASSERT_EQ(record.kind, StreamRecord::Audio);
        // The line carries its audio during the call only.
        const int ms = audioRecords / 8;
        const bool inCall = ms >= 10 && ms < 13;
        EXPECT_EQ(record.samples[1] != 0, inCall) << "at " << ms << " ms";
        ++audioRecords;
    }
    EXPECT_EQ(audioRecords, 30 * 8);
    const std::vector<Seen> expected = {{5, Code(DspEvent::Line), kLineRing},
                                        {10, Code(DspEvent::Line), kLineCallIn},
                                        {10, Code(DspEvent::Digit), 5},
                                        {13, Code(DspEvent::Line), kLineFree},
                                        {25, Code(DspEvent::Line), kLineRing}};
    EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------- processors

// Event records in the stream after ms more milliseconds.
std::vector<StreamRecord> EventsAfter(StreamBench& bench, int ms = 1) {
    bench.Board().Advance(ms);
    return OfKind(bench.Records(), StreamRecord::Event);
}

TEST(SimulatedProcessor, ParameterCommandsStoreAndReport) {
    struct Case {
        int write, read;
        std::size_t field;
    };
    const Case cases[] = {
        {Code(DspCommand::WriteLineFailureLevel), Code(DspCommand::ReadLineFailureLevel),
         offsetof(LineParams, LineFailureLevel)},
        {Code(DspCommand::WriteLineActivateLevel), Code(DspCommand::ReadLineActivateLevel),
         offsetof(LineParams, LineActivateLevel)},
        {Code(DspCommand::WriteLineRingLevel), Code(DspCommand::ReadLineRingLevel),
         offsetof(LineParams, LineRingLevel)},
        {Code(DspCommand::WriteMaxRingPause), Code(DspCommand::ReadMaxRingPause),
         offsetof(LineParams, MaxRingPause)},
        {Code(DspCommand::WriteAonRequestLength), Code(DspCommand::ReadAonRequestLength),
         offsetof(LineParams, AonRequestLength)},
        {Code(DspCommand::WriteAonRequestNumber), Code(DspCommand::ReadAonRequestNumber),
         offsetof(LineParams, AonRequestNumber)},
        {Code(DspCommand::WriteAonRequestPauseFirst), Code(DspCommand::ReadAonRequestPauseFirst),
         offsetof(LineParams, AonRequestPauseFirst)},
        {Code(DspCommand::WriteAonRequestPauseBetween),
         Code(DspCommand::ReadAonRequestPauseBetween),
         offsetof(LineParams, AonRequestPauseBetween)},
        {Code(DspCommand::WriteMinActivateLevel), Code(DspCommand::ReadMinActivateLevel),
         offsetof(LineParams, MinActivateLevel)},
    };
    const LineParams powerUp{11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
    const auto* powerUpBytes = reinterpret_cast<const uint8_t*>(&powerUp);
    SimBoardConfig config;
    config.channels[9].powerUpParams = powerUp;
    StreamBench bench(config);
    bench.Enable(1, false, true);

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "read " << c.read);
        ASSERT_TRUE(bench.Driver().ChannelCommand(9, c.read, 0));
        auto events = EventsAfter(bench);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].group, 1);
        EXPECT_EQ(events[0].channel, 3);
        EXPECT_EQ(events[0].code, c.read);
        EXPECT_EQ(events[0].value, powerUpBytes[c.field]);

        const auto value = static_cast<uint8_t>(200 + c.write);
        ASSERT_TRUE(bench.Driver().ChannelCommand(9, c.write, value));
        ASSERT_TRUE(bench.Driver().ChannelCommand(9, c.read, 0));
        events = EventsAfter(bench);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].value, value);
        const LineParams stored = bench.Board().StoredParams(9);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&stored)[c.field], value);
    }
    // Initialise brings the power-up values back.
    ASSERT_TRUE(bench.Driver().ChannelCommand(9, Code(DspCommand::Initialise), 0));
    bench.Board().Advance(1);
    const LineParams stored = bench.Board().StoredParams(9);
    EXPECT_EQ(std::memcmp(&stored, &powerUp, sizeof powerUp), 0);
}

TEST(SimulatedProcessor, DriftingParameterReadsBackDifferent) {
    SimBoardConfig config;
    config.channels[0].driftField = offsetof(LineParams, LineRingLevel);
    config.channels[0].driftDelta = 5;
    StreamBench bench(config);
    bench.Enable(0, false, true);
    ASSERT_TRUE(bench.Driver().ChannelCommand(0, Code(DspCommand::ReadLineRingLevel), 0));
    auto events = EventsAfter(bench);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].value, kDefaultLineParams.LineRingLevel + 5);
    ASSERT_TRUE(bench.Driver().ChannelCommand(0, Code(DspCommand::WriteLineRingLevel), 90));
    ASSERT_TRUE(bench.Driver().ChannelCommand(0, Code(DspCommand::ReadLineRingLevel), 0));
    events = EventsAfter(bench);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].value, 95);
}

TEST(SimulatedProcessor, GroupAnswersAndChannelSwitches) {
    SimBoardConfig config;
    config.infoWord = 0x00300666;
    config.versionByte = {0x31, 0x32, 0x33};
    config.statusByte = {0x41, 0x42, 0x43};
    config.channels[14].timeline = {{5, Code(DspEvent::Line), kLineRing}};
    StreamBench bench(config);
    bench.Enable(2, false, true);

    ASSERT_TRUE(bench.Driver().ChannelCommand(12, Code(DspCommand::RequestVersion), 0));
    ASSERT_TRUE(bench.Driver().ChannelCommand(12, Code(DspCommand::RequestStatus), 0));
    auto events = EventsAfter(bench);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::make_tuple(events[0].group, events[0].channel, events[0].code, events[0].value),
              std::make_tuple(2, 0, Code(DspEvent::Version), uint8_t{0x33}));
    EXPECT_EQ(std::make_tuple(events[1].group, events[1].channel, events[1].code, events[1].value),
              std::make_tuple(2, 0, Code(DspEvent::Status), uint8_t{0x43}));

    ASSERT_TRUE(bench.Driver().ChannelCommand(14, Code(DspCommand::Polarity), 1));
    ASSERT_TRUE(bench.Driver().ChannelCommand(14, Code(DspCommand::Key), 1));
    ASSERT_TRUE(bench.Driver().ChannelCommand(14, Code(DspCommand::Monitor), 1));
    // With the line monitor on, a line event is followed by a monitor byte.
    events = EventsAfter(bench, 10);
    EXPECT_EQ(bench.Board().PolarityCommand(14), 1);
    EXPECT_EQ(bench.Board().Key(14), 1);
    EXPECT_TRUE(bench.Board().Monitor(14));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::make_tuple(events[0].channel, events[0].code, events[0].value),
              std::make_tuple(2, Code(DspEvent::Line), uint8_t{kLineRing}));
    EXPECT_EQ(std::make_tuple(events[1].channel, events[1].code, events[1].value),
              std::make_tuple(2, Code(DspEvent::Monitor), uint8_t{kLineRing}));
}

TEST(SimulatedProcessor, TestPulseShowsTheLinePolarity) {
    for (const int polarity : {1, -1}) {
        SCOPED_TRACE(polarity);
        SimBoardConfig config;
        config.channels[1].polarity = polarity;
        StreamBench bench(config);
        bench.Enable(0);
        ASSERT_TRUE(bench.Driver().ChannelCommand(1, Code(DspCommand::Key), 2));
        bench.Board().Advance(24);  // the window a device looks at after sending it
        std::vector<int16_t> line;
        for (const StreamRecord& record : bench.Records()) {
            line.push_back(record.samples[1]);
        }
        const auto high = std::max_element(line.begin(), line.end());
        const auto low = std::min_element(line.begin(), line.end());
        EXPECT_GT(*high, 10000);
        EXPECT_LT(*low, -10000);
        EXPECT_EQ(high < low, polarity == 1) << "the positive half comes first on a +1 line";
        EXPECT_EQ(std::count_if(line.begin(), line.end(), [](int16_t s) { return s != 0; }), 32)
            << "two halves of 2 ms at 8000 Hz";
        EXPECT_EQ(bench.Board().TestPulses(1), 1);
    }
}

// ---------------------------------------------------------------- faults

TEST(SimulatedFaults, BytesInsertedAtTheirTime) {
    struct Case {
        const char* name;
        SimFault fault;
        uint32_t infoWord;
        std::vector<uint8_t> inserted;
    };
    std::vector<uint8_t> badAudio14(14, 0), badAudio26(26, 0);
    badAudio14[0] = badAudio26[0] = 0x03;
    badAudio14[1] = badAudio26[1] = 0x47;
    const Case cases[] = {
        {"garbage",
         Fault(3, SimFaultKind::Garbage, 3, 0, {0xA5, 0xA5, 0xA5}),
         0x00012066,
         {0xA5, 0xA5, 0xA5}},
        {"raw",
         Fault(3, SimFaultKind::Raw, 0, 0, {0x68, 0x47, 0x05, 0x18}),
         0x00012066,
         {0x68, 0x47, 0x05, 0x18}},
        {"group-3 event",
         Fault(3, SimFaultKind::BadGroupEvent),
         0x00012066,
         {0x0B, 0x47, 0x00, Code(DspEvent::Line)}},
        {"group-3 audio", Fault(3, SimFaultKind::BadGroupAudio), 0x00012066, badAudio14},
        {"group-3 wide audio", Fault(3, SimFaultKind::BadGroupAudio), 0x00300066, badAudio26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimBoardConfig config = RampBoard(c.infoWord);
        config.faults = {c.fault};
        StreamBench bench(config);
        bench.Enable(0);
        bench.Board().Advance(6);
        const std::size_t recordLength = bench.Driver().Layout().AudioRecordLength();
        const std::size_t recordsPerMs = recordLength == 14 ? 8 : 4;  // 48 samples
        const std::size_t before = 3 * recordsPerMs * recordLength;
        const std::vector<uint8_t> bytes = bench.ReadAll();
        ASSERT_EQ(bytes.size(), 2 * before + c.inserted.size());
        const auto at = bytes.begin() + static_cast<std::ptrdiff_t>(before);
        EXPECT_EQ(std::vector<uint8_t>(at, at + static_cast<std::ptrdiff_t>(c.inserted.size())),
                  c.inserted);
    }
}

TEST(SimulatedFaults, StallWithholdsTheStream) {
    SimBoardConfig config = RampBoard(0x00012066);
    config.faults = {Fault(2, SimFaultKind::Stall, 5)};
    StreamBench bench(config);
    bench.Enable(0);
    bench.Board().Advance(2);
    EXPECT_EQ(bench.ReadAll().size(), 2u * 8 * 14);
    bench.Event().TryReset();
    bench.Board().Advance(5);
    EXPECT_FALSE(bench.Event().TryReset());
    EXPECT_TRUE(bench.ReadAll().empty());
    bench.Board().Advance(3);
    EXPECT_EQ(bench.ReadAll().size(), 3u * 8 * 14);
}

TEST(SimulatedFaults, ReadErrorsFailTheNextReads) {
    SimBoardConfig config = RampBoard(0x00012066);
    config.faults = {Fault(1, SimFaultKind::ReadError, 2)};
    StreamBench bench(config);
    bench.Enable(0);
    uint8_t buffer[64];
    std::size_t n = 0;
    bench.Board().Advance(1);
    EXPECT_TRUE(bench.Driver().Read(buffer, sizeof buffer, n));
    bench.Board().Advance(1);
    EXPECT_FALSE(bench.Driver().Read(buffer, sizeof buffer, n));
    EXPECT_FALSE(bench.Driver().Read(buffer, sizeof buffer, n));
    EXPECT_TRUE(bench.Driver().Read(buffer, sizeof buffer, n));
    EXPECT_EQ(n, sizeof buffer);
}

TEST(SimulatedFaults, SilentProcessorReportsNothingUntilItRecovers) {
    SimBoardConfig config;
    config.faults = {Fault(2, SimFaultKind::SilentGroup, 10, 1)};
    config.channels[6].timeline = {{4, Code(DspEvent::Line), kLineRing},
                                   {13, Code(DspEvent::Line), kLineFree}};
    config.channels[0].timeline = {{4, Code(DspEvent::Line), kLineRing}};
    StreamBench bench(config);
    bench.Enable(0, false, true);
    bench.Enable(1, false, true);
    bench.Board().Advance(3);
    ASSERT_TRUE(bench.Driver().ChannelCommand(6, Code(DspCommand::RequestVersion), 0));
    bench.Board().Advance(1);
    EXPECT_NE(bench.Driver().ReadStatus() & 0x20, 0u) << "the command is not taken";
    auto events = EventsAfter(bench, 5);
    ASSERT_EQ(events.size(), 1u) << "group 0 still speaks";
    EXPECT_EQ(events[0].group, 0);

    // From 12 ms on the group is back: the waiting command is taken.
    events = EventsAfter(bench, 6);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::make_tuple(events[0].group, events[0].code),
              std::make_tuple(1, Code(DspEvent::Version)));
    EXPECT_EQ(std::make_tuple(events[1].group, events[1].code, events[1].value),
              std::make_tuple(1, Code(DspEvent::Line), uint8_t{kLineFree}));
}

// ---------------------------------------------------------------- opener and clocks

TEST(SimulatedBoardOpener, OneHandleAtATimePerBoard) {
    SimBoardConfig vesko;
    vesko.deviceName = "VeskoPCIDevice";
    CSimulatedBoardOpener opener({SimBoardConfig{}, vesko}, CSimulatedBoard::Clock::Virtual);
    auto handle = opener.Open("Zorv18LDevice", 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(opener.Open("Zorv18LDevice", 0), nullptr);
    EXPECT_NE(opener.Open("VeskoPCIDevice", 0), nullptr);
    EXPECT_EQ(opener.Open("Zorv18LDevice", 1), nullptr);
    EXPECT_EQ(opener.Open("TranscoderNet2Device", 0), nullptr);
    EXPECT_EQ(handle->ReadRegister(kRegisterInfo), 0xFFFFFFFF) << "not mapped yet";
    handle.reset();
    EXPECT_NE(opener.Open("Zorv18LDevice", 0), nullptr);
}

TEST(SimulatedBoardClock, RealTimeBoardStreamsUntilStopped) {
    SimBoardConfig config = RampBoard(0x00012066);
    CSimulatedBoardOpener opener({config}, CSimulatedBoard::Clock::RealTime);
    CBoardDriver driver(opener);
    ASSERT_TRUE(driver.Open(0));
    CAutoResetEvent event;
    ASSERT_TRUE(driver.StartTransfer(65536, &event));
    ASSERT_TRUE(driver.SetEnableBit(0, true));
    ASSERT_TRUE(driver.SetEnableBit(1, true));

    std::vector<uint8_t> bytes;
    uint8_t chunk[8192];
    while (bytes.size() < 50 * 8 * 14) {  // 50 ms of audio
        ASSERT_TRUE(event.Wait(2000ms)) << "the board signals its data";
        std::size_t n = 0;
        while (driver.Read(chunk, sizeof chunk, n) && n > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
    }
    // Consecutive samples of the line, whenever the group started.
    const auto records = SplitStream(bytes, 14);
    const int first = records.at(0).samples.at(0) - RampBase(0);
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].kind, StreamRecord::Audio);
        ASSERT_EQ(records[i].samples[0], RampBase(0) + (first + static_cast<int>(i)) % kRampLength);
    }
    ASSERT_TRUE(driver.StopTransfer());
    event.TryReset();
    const int64_t stoppedAt = opener.BoardAt(0).NowMs();
    EXPECT_FALSE(event.Wait(50ms));
    EXPECT_EQ(opener.BoardAt(0).NowMs(), stoppedAt) << "the board clock stops with the transfer";
}

}  // namespace
}  // namespace zorv
