// Scenario files of the simulated boards and the WAV files they name.
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocation hooks (its header comes with clang only).
using MallocHook = void (*)(const volatile void*, std::size_t);
using FreeHook = void (*)(const volatile void*);
extern "C" int __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
#endif

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/BoardDriver.h"
#include "platform/AutoResetEvent.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedBoardOpener.h"
#include "simulation/SimulatedLine.h"
#include "support/BoardStream.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

void Put32(std::string& s, uint32_t v) {
    Put16(s, static_cast<uint16_t>(v));
    Put16(s, static_cast<uint16_t>(v >> 16));
}

struct WavShape {
    uint16_t format = 1;
    uint16_t channels = 1;
    uint32_t rate = 8000;
    uint16_t bits = 16;
    std::vector<int16_t> samples = {100, -200, 300};
    uint32_t claimedDataSize = 0;  // 0: the real size
    bool oddChunkFirst = false;    // a padded 3-byte chunk before "fmt "
};

std::string Wav(const WavShape& shape) {
    std::string body = "WAVE";
    if (shape.oddChunkFirst) {
        body += "LIST";
        Put32(body, 3);
        body += std::string("abc") + '\0';
    }
    body += "fmt ";
    Put32(body, 16);
    Put16(body, shape.format);
    Put16(body, shape.channels);
    Put32(body, shape.rate);
    Put32(body, shape.rate * shape.channels * shape.bits / 8);
    Put16(body, static_cast<uint16_t>(shape.channels * shape.bits / 8));
    Put16(body, shape.bits);
    body += "data";
    Put32(body, shape.claimedDataSize != 0 ? shape.claimedDataSize
                                           : static_cast<uint32_t>(2 * shape.samples.size()));
    for (int16_t sample : shape.samples) {
        Put16(body, static_cast<uint16_t>(sample));
    }
    std::string file = "RIFF";
    Put32(file, static_cast<uint32_t>(body.size()));
    return file + body;
}

// ---------------------------------------------------------------- WAV files

TEST(BoardWav, ReadsSixteenBitMonoAtBoardRates) {
    CTempDir dir;
    struct Case {
        const char* name;
        WavShape shape;
        std::vector<int16_t> samples;
    };
    const Case cases[] = {
        {"plain", WavShape{}, {100, -200, 300}},
        {"16000 Hz", WavShape{.rate = 16000}, {100, -200, 300}},
        {"padded chunk first", WavShape{.oddChunkFirst = true}, {100, -200, 300}},
        {"data cut short", WavShape{.claimedDataSize = 1000}, {100, -200, 300}},
    };
    for (const Case& c : cases) {
        WriteFile(dir.File("a.wav"), Wav(c.shape));
        uint32_t rate = 0;
        EXPECT_EQ(ReadBoardWav(dir.File("a.wav"), rate), c.samples) << c.name;
        EXPECT_EQ(rate, c.shape.rate) << c.name;
    }
}

TEST(BoardWav, RefusesWhatTheBoardCannotPlay) {
    CTempDir dir;
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {Wav({.rate = 11025}), "11025 Hz: the board samples at 8000, 16000, 32000 or 64000 Hz"},
        {Wav({.channels = 2}), "must be 16-bit PCM mono"},
        {Wav({.bits = 8}), "must be 16-bit PCM mono"},
        {Wav({.format = 6}), "must be 16-bit PCM mono (format 6"},
        {Wav({.samples = {}}), "has no samples"},
        {"RIFX....WAVE", "not a RIFF/WAVE file"},
        {"", "not a RIFF/WAVE file"},
        {Wav({}).substr(0, 30), "its format chunk is too short"},
    };
    for (const Case& c : cases) {
        WriteFile(dir.File("b.wav"), c.bytes);
        uint32_t rate = 0;
        try {
            ReadBoardWav(dir.File("b.wav"), rate);
            ADD_FAILURE() << "accepted; expected: " << c.message;
        } catch (const CBoardScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// The largest single allocation made on this thread while watching, seen
// through the address sanitizer's allocation hooks (the test build runs
// with it; operator new is taken by another test of this program).
#if defined(__SANITIZE_ADDRESS__)
std::atomic<bool> g_watchAllocations{false};
std::atomic<std::thread::id> g_allocatingThread{};
std::atomic<std::size_t> g_largestAllocation{0};
void OnAllocation(const volatile void*, std::size_t size) {
    if (g_watchAllocations && std::this_thread::get_id() == g_allocatingThread.load() &&
        size > g_largestAllocation) {
        g_largestAllocation = size;
    }
}
void OnFree(const volatile void*) {}
constexpr bool kCanWatchAllocations = true;
template <typename F>
std::size_t LargestAllocation(F&& work) {
    static const int installed = __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnFree);
    (void)installed;
    g_largestAllocation = 0;
    g_allocatingThread = std::this_thread::get_id();
    g_watchAllocations = true;
    work();
    g_watchAllocations = false;
    return g_largestAllocation;
}
#else
constexpr bool kCanWatchAllocations = false;
template <typename F>
std::size_t LargestAllocation(F&& work) {
    work();
    return 0;
}
#endif

// A line's WAV file is read into a buffer of its own size (not of the
// largest file taken), lines naming one file share it, and it plays as the
// file holds it.
TEST(BoardWav, SmallFileGivesASmallBufferAndPlaysTheSame) {
    CTempDir dir;
    std::vector<int16_t> samples(400);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 2000) - 1000);
    }
    WriteFile(dir.File("voice.wav"), Wav({.samples = samples}));
    WriteFile(dir.File("s.ini"), R"(
[Board0]
[Board0.Channel0]
Audio = wav voice.wav
[Board0.Channel5]
Audio = wav ./voice.wav
)");
    SimScenario scenario;
    const std::size_t largest =
        LargestAllocation([&] { scenario = LoadBoardScenario(dir.File("s.ini")); });
    if (kCanWatchAllocations) {
        EXPECT_LT(largest, 64u * 1024)
            << "the file holds " << 2 * samples.size() << " samples' bytes";
    }
    const SimAudio& first = scenario.boards.at(0).channels[0].audio;
    const SimAudio& second = scenario.boards.at(0).channels[5].audio;
    ASSERT_EQ(first.kind, SimAudioKind::Wav);
    EXPECT_EQ(*first.wavSamples, samples);
    EXPECT_EQ(first.wavSamples, second.wavSamples) << "one file, one buffer";
    CSimulatedLine line(scenario.boards[0].channels[0]);
    for (std::size_t i = 0; i < 2 * samples.size(); ++i) {
        ASSERT_EQ(line.Sample(static_cast<int64_t>(i), 8000), samples[i % samples.size()]) << i;
    }
}

// ---------------------------------------------------------------- scenario files

TEST(BoardScenarioFile, ReadsBoardsChannelsAndFaults) {
    CTempDir dir;
    WriteFile(dir.File("line.wav"), Wav({.rate = 16000}));
    WriteFile(dir.File("s.ini"), R"(
[Board0]
Groups = 6 5 0
BoardId = 0x300
Group0Mode = 1
Version = 1 2 3
Status = 0x40
CommandTakeReads = 4
CommandTakeMs = 15
ConverterBusyReads = 0
Repeat = 32.5
RefuseControls = 0x222010 0x22200C
Faults = 2.5 stall 6; 1 garbage 3; 4 garbage 2 0x80; 5 raw 0x68 0x47 5 24; 6 silent 2 1.5; 7 silent 1; 0 converter-stuck 2; 8 read-error; 9 bad-group-audio; 9 bad-group-event

[Board0.Channel7]
Audio = wav line.wav
AudioDuring = calls
Timeline = 6 in; 1.0 ring; 6.25 digit 15; 20 free; 21 event 24 9
Polarity = -1
Params = 1 2 3 4 5 6 7 8 9 10 11
Drift = maxringpause -3

[Board0.Channel0]
Audio = tone 425.5 12000 burst 1 4 swing 3

[Board1]
Driver = VeskoPCIDevice
InfoWord = 0x00012033

[Board2]
InfoWord = 0x00012066
)");
    const SimScenario scenario = LoadBoardScenario(dir.File("s.ini"));
    ASSERT_EQ(scenario.boards.size(), 3u);
    const SimBoardConfig& board = scenario.boards[0];
    EXPECT_EQ(board.deviceName, "Zorv18LDevice");
    EXPECT_EQ(board.index, 0);
    EXPECT_EQ(board.infoWord, 0x0030005Eu);
    EXPECT_EQ(board.versionByte, (std::array<uint8_t, 3>{1, 2, 3}));
    EXPECT_EQ(board.statusByte, (std::array<uint8_t, 3>{0x40, 0x40, 0x40}));
    EXPECT_EQ(board.commandTakeReads, 4);
    EXPECT_EQ(board.commandTakeMs, 15);
    EXPECT_EQ(board.converterBusyReads, 0);
    EXPECT_EQ(board.repeatMs, 32500);
    EXPECT_EQ(board.refusedControls, (std::vector<uint32_t>{0x222010, 0x22200C}));

    // In time order, as written where times are equal.
    ASSERT_EQ(board.faults.size(), 10u);
    const SimFaultKind kinds[] = {
        SimFaultKind::ConverterStuck, SimFaultKind::Garbage,   SimFaultKind::Stall,
        SimFaultKind::Garbage,        SimFaultKind::Raw,       SimFaultKind::SilentGroup,
        SimFaultKind::SilentGroup,    SimFaultKind::ReadError, SimFaultKind::BadGroupAudio,
        SimFaultKind::BadGroupEvent};
    const int64_t times[] = {0, 1000, 2500, 4000, 5000, 6000, 7000, 8000, 9000, 9000};
    for (std::size_t i = 0; i < board.faults.size(); ++i) {
        EXPECT_EQ(board.faults[i].kind, kinds[i]) << i;
        EXPECT_EQ(board.faults[i].timeMs, times[i]) << i;
    }
    EXPECT_EQ(board.faults[0].group, 2);
    EXPECT_EQ(board.faults[1].bytes, (std::vector<uint8_t>{0xA5, 0xA5, 0xA5}));
    EXPECT_EQ(board.faults[2].amount, 6000);
    EXPECT_EQ(board.faults[3].bytes, (std::vector<uint8_t>{0x80, 0x80}));
    EXPECT_EQ(board.faults[4].bytes, (std::vector<uint8_t>{0x68, 0x47, 5, 24}));
    EXPECT_EQ(std::make_pair(board.faults[5].group, board.faults[5].amount),
              std::make_pair(2, int64_t{1500}));
    EXPECT_EQ(std::make_pair(board.faults[6].group, board.faults[6].amount),
              std::make_pair(1, int64_t{0}));
    EXPECT_EQ(board.faults[7].amount, 1);

    const SimChannel& line = board.channels[7];
    EXPECT_EQ(line.audio.kind, SimAudioKind::Wav);
    EXPECT_EQ(line.audio.wavRate, 16000u);
    EXPECT_EQ(*line.audio.wavSamples, (std::vector<int16_t>{100, -200, 300}));
    EXPECT_TRUE(line.audio.duringCallsOnly);
    ASSERT_EQ(line.timeline.size(), 5u);
    const SimLineEvent events[] = {{1000, Code(DspEvent::Line), kLineRing},
                                   {6000, Code(DspEvent::Line), kLineCallIn},
                                   {6250, Code(DspEvent::Digit), 15},
                                   {20000, Code(DspEvent::Line), kLineFree},
                                   {21000, 24, 9}};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(line.timeline[i].timeMs, events[i].timeMs) << i;
        EXPECT_EQ(line.timeline[i].code, events[i].code) << i;
        EXPECT_EQ(line.timeline[i].value, events[i].value) << i;
    }
    EXPECT_EQ(line.polarity, -1);
    EXPECT_EQ(line.powerUpParams.MaxRingPause, 10);
    EXPECT_EQ(line.powerUpParams.MinActivateLevel, 11);
    EXPECT_EQ(line.driftField, static_cast<int>(offsetof(LineParams, MaxRingPause)));
    EXPECT_EQ(line.driftDelta, -3);

    const SimAudio& tone = board.channels[0].audio;
    EXPECT_EQ(tone.kind, SimAudioKind::Tone);
    EXPECT_DOUBLE_EQ(tone.frequencyHz, 425.5);
    EXPECT_EQ(tone.amplitude, 12000);
    EXPECT_DOUBLE_EQ(tone.onSeconds, 1);
    EXPECT_DOUBLE_EQ(tone.offSeconds, 4);
    EXPECT_DOUBLE_EQ(tone.modulationHz, 3);
    EXPECT_FALSE(tone.duringCallsOnly);
    EXPECT_EQ(board.channels[1].audio.kind, SimAudioKind::Silence);

    EXPECT_EQ(scenario.boards[1].deviceName, "VeskoPCIDevice");
    EXPECT_EQ(scenario.boards[1].index, 0) << "indexes count per driver";
    EXPECT_EQ(scenario.boards[1].infoWord, 0x00012033u);
    EXPECT_EQ(scenario.boards[2].index, 1);
}

TEST(BoardScenarioFile, NamesWhatItCannotUse) {
    CTempDir dir;
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"[Other]\n", "no [Board0] section"},
        {"[Board0]\nDriver = Foo\n", "[Board0] Driver: expected Zorv18LDevice or VeskoPCIDevice"},
        {"[Board0]\nInfoWord = 0x12G\n", "[Board0] InfoWord: '0x12G' is not a number"},
        {"[Board0]\nGroups = 6 6\n", "[Board0] Groups: expected three channel counts"},
        {"[Board0]\nGroups = 6 8 0\n", "[Board0] Groups: 8 is outside 0..7"},
        {"[Board0]\nBoardId = 0x1000\n", "[Board0] BoardId: 4096 is outside 0..4095"},
        {"[Board0]\nVersion = 1 2\n", "[Board0] Version: expected one byte, or one per group"},
        {"[Board0]\nFaults = 1 explode\n", "[Board0] Faults: '1 explode': unknown fault 'explode'"},
        {"[Board0]\nFaults = 1 silent 3\n", "[Board0] Faults: 3 is outside 0..2"},
        {"[Board0]\nFaults = 1 stall\n", "expected '<seconds> stall <seconds>'"},
        {"[Board0]\nFaults = -1 stall 2\n", "-1 is outside 0.."},
        {"[Board0]\n[Board0.Channel3]\nTimeline = 1.0 rign\n",
         "[Board0.Channel3] Timeline: '1.0 rign': expected"},
        {"[Board0]\n[Board0.Channel3]\nTimeline = 1 digit 16\n", "16 is outside 0..15"},
        {"[Board0]\n[Board0.Channel3]\nAudio = tone 440\n", "Audio: expected 'tone <Hz>"},
        {"[Board0]\n[Board0.Channel3]\nAudio = tone 440 9000 burst 1\n", "expected 'tone <Hz>"},
        {"[Board0]\n[Board0.Channel3]\nAudio = noise\n", "Audio: expected 'silence'"},
        {"[Board0]\n[Board0.Channel3]\nAudio = wav missing.wav\n", "missing.wav: cannot be opened"},
        {"[Board0]\n[Board0.Channel3]\nAudioDuring = sometimes\n", "expected 'calls' or 'always'"},
        {"[Board0]\n[Board0.Channel3]\nPolarity = 0\n", "Polarity: expected 1 or -1"},
        {"[Board0]\n[Board0.Channel3]\nParams = 1 2 3\n", "Params: expected the 11 bytes"},
        {"[Board0]\n[Board0.Channel3]\nDrift = Foo 3\n", "Drift: 'Foo' is not a line parameter"},
        {"[Board0]\n[Board1]\nIndex = 0\n", "[Board1] Index: Zorv18LDevice 0 is taken"},
    };
    for (const Case& c : cases) {
        WriteFile(dir.File("bad.ini"), c.text);
        try {
            LoadBoardScenario(dir.File("bad.ini"));
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const CBoardScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << "\nexpected: " << c.message;
        }
    }
    EXPECT_THROW(LoadBoardScenario(dir.File("none.ini")), CBoardScenarioError);
}

// ---------------------------------------------------------------- the demonstration

TEST(BoardScenarioDemo, LinesCallForSixToFifteenSecondsWithinTheCycle) {
    const SimScenario scenario = LoadBoardScenario(ZORV_SOURCE_DIR "/tools/scenarios/demo.ini");
    ASSERT_EQ(scenario.boards.size(), 1u);
    const SimBoardConfig& board = scenario.boards[0];
    const BoardLayout layout = BoardLayout::Decode(board.infoWord);
    ASSERT_EQ(layout.channelCount, 6);
    ASSERT_GT(board.repeatMs, 0);
    int calls = 0;
    for (int c = 0; c < layout.channelCount; ++c) {
        SCOPED_TRACE(c);
        const SimChannel& line = board.channels[static_cast<std::size_t>(c)];
        EXPECT_NE(line.audio.kind, SimAudioKind::Silence);
        EXPECT_TRUE(line.audio.duringCallsOnly);
        int64_t callStart = -1;
        for (const SimLineEvent& event : line.timeline) {
            EXPECT_LT(event.timeMs, board.repeatMs);
            if (event.code != Code(DspEvent::Line)) {
                continue;
            }
            if (event.value == kLineCallIn || event.value == kLineCallOut) {
                callStart = event.timeMs;
            } else if (callStart >= 0) {
                const int64_t length = event.timeMs - callStart;
                EXPECT_GE(length, 6000);
                EXPECT_LE(length, 15000);
                ++calls;
                callStart = -1;
            }
        }
        EXPECT_EQ(callStart, -1) << "every call ends within the cycle";
    }
    EXPECT_GE(calls, 6);
}

TEST(BoardScenarioDemo, PlaysThroughTheDriver) {
    auto opener = CSimulatedBoardOpener::FromScenarioFile(
        ZORV_SOURCE_DIR "/tools/scenarios/demo.ini", CSimulatedBoard::Clock::Virtual);
    CBoardDriver driver(*opener);
    ASSERT_TRUE(driver.Open(0));
    CAutoResetEvent event;
    ASSERT_TRUE(driver.StartTransfer(65536, &event));
    ASSERT_TRUE(driver.SetEnableBit(0, true));
    ASSERT_TRUE(driver.SetEnableBit(1, true));

    // One call of line 0: 6 s to 16 s. Its audio is there during the call;
    // before it only its FSK caller ID (from 1.6 s, about 0.6 s long) is
    // heard.
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> chunk(1 << 16);
    int ringsAndCalls = 0;
    double callLevel = 0, freeLevel = 0;
    int callSamples = 0, freeSamples = 0;
    for (int second = 0; second < 17; ++second) {
        opener->BoardAt(0).Advance(1000);
        std::size_t n = 0;
        bytes.clear();
        while (driver.Read(chunk.data(), chunk.size(), n) && n > 0) {
            bytes.insert(bytes.end(), chunk.begin(),
                         chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
        for (const auto& record : test::SplitStream(bytes, 14)) {
            ASSERT_NE(record.kind, test::StreamRecord::Invalid);
            if (record.kind == test::StreamRecord::Event && record.channel == 0) {
                ++ringsAndCalls;
            } else if (record.kind == test::StreamRecord::Audio && second != 1 && second != 2) {
                const bool inCall = second >= 6 && second < 16;
                (inCall ? callLevel : freeLevel) += std::abs(record.samples[0]);
                ++(inCall ? callSamples : freeSamples);
            }
        }
    }
    EXPECT_EQ(ringsAndCalls, 4) << "ring, ring, call in, free";
    EXPECT_EQ(freeLevel, 0);
    EXPECT_GT(callLevel / callSamples, 500) << "speech-like level during the call";
    EXPECT_TRUE(opener->BoardAt(0).Warnings().empty());
}

}  // namespace
}  // namespace zorv
