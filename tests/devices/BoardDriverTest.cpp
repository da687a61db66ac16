// The board drivers against the simulated board: what they write to the
// registers and control codes, and how they read the board's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "devices/BoardDriver.h"
#include "devices/DspProtocol.h"
#include "devices/VeskoBoardDriver.h"
#include "platform/AutoResetEvent.h"
#include "simulation/SimulatedBoardOpener.h"

namespace zorv {

// Found by argument-dependent lookup for the board's nested type.
static void PrintTo(const CSimulatedBoard::CommandWrite& w, std::ostream* os) {
    *os << std::hex << "{0x" << w.data << ", 0x" << w.code << "}";
}

namespace {

using namespace std::chrono_literals;
using CommandWrite = CSimulatedBoard::CommandWrite;

constexpr uint16_t kConfigBlock[8] = {0x810C, 0x82E1, 0x8388, 0x8488,
                                      0x8588, 0x8600, 0x8700, 0x8001};

SimBoardConfig BoardConfig(uint32_t infoWord, const char* deviceName = "Zorv18LDevice") {
    SimBoardConfig config;
    config.deviceName = deviceName;
    config.infoWord = infoWord;
    return config;
}

// One simulated board on the virtual clock, with a driver of its kind. The
// driver's polls and time-outs and the board's command take-up run on the
// same virtual clock: nothing here sleeps for real, and a wait shows as
// virtual time passed.
template <typename Driver>
struct DriverBench {
    explicit DriverBench(SimBoardConfig config)
        : opener({std::move(config)}, CSimulatedBoard::Clock::Virtual, clock),
          board(opener.BoardAt(0)),
          driver(opener, clock) {}

    std::vector<CommandWrite> CommandsSince(std::size_t start) const {
        auto log = board.CommandLog();
        return {log.begin() + static_cast<std::ptrdiff_t>(std::min(start, log.size())), log.end()};
    }

    CManualClock clock;
    CSimulatedBoardOpener opener;
    CSimulatedBoard& board;
    Driver driver;
};

SimFault Fault(SimFaultKind kind, int group) {
    SimFault fault;
    fault.kind = kind;
    fault.group = group;
    return fault;
}

// ---------------------------------------------------------------- open and layout

TEST(BoardDriverOpen, NoKernelDriverMeansNoBoard) {
    CBoardDriver board(SystemBoardIoOpener());
    CVeskoBoardDriver vesko(SystemBoardIoOpener());
    EXPECT_FALSE(board.Open(0));
    EXPECT_FALSE(vesko.Open(0));
    EXPECT_FALSE(board.IsOpen());
    tagHARDWARE_CONFIG info{};
    EXPECT_FALSE(board.GetHardwareInfo(info));
    EXPECT_EQ(board.GetChannelCount(), 0);
    EXPECT_FALSE(board.ChannelCommand(0, Code(DspCommand::RequestVersion), 0));
}

struct LayoutCase {
    uint32_t infoWord;
    bool opens;
    std::array<int, 3> counts;
    std::array<int, 3> firsts;
    uint32_t boardId;
    bool group0Mode;
    std::size_t recordLength;
};

class BoardDriverLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(BoardDriverLayout, InformationWordGivesTheChannelLayout) {
    const LayoutCase& c = GetParam();
    const BoardLayout layout = BoardLayout::Decode(c.infoWord);
    EXPECT_EQ(layout.groupChannels, c.counts);
    EXPECT_EQ(layout.groupFirst, c.firsts);
    EXPECT_EQ(layout.boardId, c.boardId);
    EXPECT_EQ(layout.group0Mode, c.group0Mode);
    EXPECT_EQ(layout.AudioRecordLength(), c.recordLength);

    DriverBench<CBoardDriver> bench(BoardConfig(c.infoWord));
    ASSERT_EQ(bench.driver.Open(0), c.opens);
    EXPECT_EQ(bench.driver.IsOpen(), c.opens);
    if (!c.opens) {
        EXPECT_EQ(bench.board.Resets(), 0);
        EXPECT_TRUE(bench.opener.Open("Zorv18LDevice", 0)) << "a refused board is let go";
        return;
    }
    EXPECT_EQ(bench.driver.GetChannelCount(), c.counts[0] + c.counts[1] + c.counts[2]);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(bench.driver.GroupChannelCount(g), c.counts[static_cast<std::size_t>(g)]);
        EXPECT_EQ(bench.driver.GroupFirstChannel(g), c.firsts[static_cast<std::size_t>(g)]);
    }
    tagHARDWARE_CONFIG info{};
    ASSERT_TRUE(bench.driver.GetHardwareInfo(info));
    EXPECT_EQ(info.BoardID, c.infoWord);
    EXPECT_EQ(info.DeviceType, 1u);
    EXPECT_EQ(info.SerialNumber, 0u);
    EXPECT_EQ(bench.board.Resets(), 1);
    EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{0, kCommandResetBoard}));
}

INSTANTIATE_TEST_SUITE_P(
    Words, BoardDriverLayout,
    testing::Values(LayoutCase{0x00012066, true, {6, 6, 0}, {0, 6, 12}, 0x12, false, 14},
                    LayoutCase{0x00300666, true, {6, 6, 6}, {0, 6, 12}, 0x300, false, 26},
                    LayoutCase{0x002FF123, true, {3, 2, 1}, {0, 3, 5}, 0x2FF, false, 14},
                    // A count field of 7 is taken as 6; bit 3 is the group-0 mode bit.
                    LayoutCase{0x0001277F, true, {6, 6, 6}, {0, 6, 12}, 0x12, true, 14},
                    LayoutCase{0x00101066, false, {6, 6, 0}, {0, 6, 12}, 0x101, false, 14},
                    // All ones: nothing answers on the bus.
                    LayoutCase{0xFFFFFFFF, false, {0, 0, 0}, {0, 0, 0}, 0, false, 14}));

TEST(BoardDriverOpen, RefusedOrZeroMappingFailsAndReleasesTheBoard) {
    auto config = BoardConfig(0x00012066);
    config.refusedControls = {kIoctlMapRegisters};
    DriverBench<CBoardDriver> bench(config);
    EXPECT_FALSE(bench.driver.Open(0));
    EXPECT_FALSE(bench.driver.IsOpen());
    EXPECT_NE(bench.opener.Open("Zorv18LDevice", 0), nullptr);
}

TEST(BoardDriverOpen, OpensByDeviceNameAndIndex) {
    auto first = BoardConfig(0x00012066);
    auto second = BoardConfig(0x00300666);
    second.index = 1;
    auto vesko = BoardConfig(0x00012033, "VeskoPCIDevice");
    CSimulatedBoardOpener opener({first, second, vesko}, CSimulatedBoard::Clock::Virtual);
    CBoardDriver board(opener);
    CVeskoBoardDriver pci(opener);
    ASSERT_TRUE(board.Open(1));
    EXPECT_EQ(board.GetChannelCount(), 18);
    EXPECT_FALSE(board.Open(2));
    ASSERT_TRUE(pci.Open(0));
    EXPECT_EQ(pci.GetChannelCount(), 6);
    EXPECT_EQ(pci.GetDeviceType(), 2);
}

TEST(BoardDriverOpen, CloseStopsTheTransferAndLetsTheBoardGo) {
    DriverBench<CBoardDriver> bench(BoardConfig(0x00012066));
    ASSERT_TRUE(bench.driver.Open(0));
    CAutoResetEvent event;
    ASSERT_TRUE(bench.driver.StartTransfer(4096, &event));
    EXPECT_TRUE(bench.board.Transferring());
    bench.driver.Close();
    EXPECT_FALSE(bench.driver.IsOpen());
    EXPECT_FALSE(bench.board.Transferring());
    EXPECT_EQ(bench.board.ControlLog().back(), kIoctlStopTransfer);
    EXPECT_TRUE(bench.driver.Open(0)) << "the handle was closed";
    std::size_t n = 0;
    uint8_t buffer[16];
    bench.driver.Close();
    EXPECT_FALSE(bench.driver.Read(buffer, sizeof buffer, n));
}

// ---------------------------------------------------------------- converter

TEST(BoardDriverConfig, WritesTheFramedBlockAndWaitsForTheConverter) {
    auto config = BoardConfig(0x00012066);
    config.converterBusyReads = 5;
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    const std::size_t start = bench.board.CommandLog().size();
    ASSERT_TRUE(bench.driver.WriteGroupConfig(1, kConfigBlock));

    std::vector<CommandWrite> expected = {{1, kCommandSelectGroup}, {0, kCommandConverterReset}};
    for (uint16_t word : kConfigBlock) {
        expected.push_back({word, kCommandConverterWord});
    }
    EXPECT_EQ(bench.CommandsSince(start), expected);
    EXPECT_EQ(bench.board.ConverterWrites(1), 1);
    const std::array<uint16_t, 8> words = bench.board.ConverterWords(1);
    EXPECT_TRUE(std::equal(words.begin(), words.end(), kConfigBlock));
    EXPECT_FALSE(bench.driver.WriteGroupConfig(3, kConfigBlock));
}

TEST(BoardDriverConfig, FourFailedAttemptsThenTheFramingOnceMore) {
    auto config = BoardConfig(0x00012066);
    config.faults = {Fault(SimFaultKind::ConverterStuck, 0)};
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    const std::size_t start = bench.board.CommandLog().size();
    const auto began = bench.clock.SteadyNow();
    EXPECT_FALSE(bench.driver.WriteGroupConfig(0, kConfigBlock));
    EXPECT_GE(bench.clock.SteadyNow() - began, 4 * 200ms) << "waited on the virtual clock";

    std::vector<CommandWrite> attempt = {{0, kCommandSelectGroup}, {0, kCommandConverterReset}};
    for (uint16_t word : kConfigBlock) {
        attempt.push_back({word, kCommandConverterWord});
    }
    std::vector<CommandWrite> expected;
    for (int i = 0; i < 4; ++i) {
        expected.insert(expected.end(), attempt.begin(), attempt.end());
    }
    expected.push_back({0, kCommandSelectGroup});
    expected.push_back({0, kCommandConverterReset});
    EXPECT_EQ(bench.CommandsSince(start), expected);
}

TEST(BoardDriverConfig, PciFamilySendsItsOwnSecondWord) {
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00012066, "VeskoPCIDevice"));
    ASSERT_TRUE(bench.driver.Open(0));
    ASSERT_TRUE(bench.driver.WriteGroupConfig(0, kConfigBlock));
    const std::array<uint16_t, 8> expected = {0x810C, 0x8261, 0x8388, 0x8488,
                                              0x8588, 0x8600, 0x8700, 0x8001};
    EXPECT_EQ(bench.board.ConverterWords(0), expected);
}

// ---------------------------------------------------------------- enable mask

TEST(BoardDriverEnable, MaskKeptByTheDriverAndWrittenWhole) {
    DriverBench<CBoardDriver> bench(BoardConfig(0x00300666));
    ASSERT_TRUE(bench.driver.Open(0));
    struct Step {
        int bit;
        bool on;
        uint32_t mask;
    };
    const Step steps[] = {{0, true, 0x01},  {1, true, 0x03},  {5, true, 0x23},
                          {0, false, 0x22}, {5, false, 0x02}, {4, false, 0x02}};
    for (const Step& step : steps) {
        ASSERT_TRUE(bench.driver.SetEnableBit(step.bit, step.on));
        EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{step.mask, kCommandEnableMask}))
            << "bit " << step.bit;
        EXPECT_EQ(bench.board.EnableMask(), step.mask);
    }
    EXPECT_FALSE(bench.driver.SetEnableBit(6, true));
    EXPECT_FALSE(bench.driver.SetEnableBit(-1, true));
}

TEST(BoardDriverEnable, PciFamilySwitchesBitsByControl) {
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00300666, "VeskoPCIDevice"));
    ASSERT_TRUE(bench.driver.Open(0));
    const std::size_t commands = bench.board.CommandLog().size();
    ASSERT_TRUE(bench.driver.SetEnableBit(2, true));
    ASSERT_TRUE(bench.driver.SetEnableBit(3, true));
    ASSERT_TRUE(bench.driver.SetEnableBit(2, false));
    EXPECT_EQ(bench.board.EnableMask(), 0x08u);
    EXPECT_EQ(bench.board.CommandLog().size(), commands) << "no mask command";
    EXPECT_EQ(bench.board.ControlLog().back(), kIoctlSetSwitch);
}

TEST(BoardDriverEnable, StopGroupClearsBothBitsThenResetsTheConverter) {
    DriverBench<CBoardDriver> bench(BoardConfig(0x00300666));
    ASSERT_TRUE(bench.driver.Open(0));
    for (int bit = 0; bit < 6; ++bit) {
        bench.driver.SetEnableBit(bit, true);
    }
    const std::size_t start = bench.board.CommandLog().size();
    ASSERT_TRUE(bench.driver.StopGroup(1));
    const std::vector<CommandWrite> expected = {{0x3B, kCommandEnableMask},
                                                {0x33, kCommandEnableMask},
                                                {1, kCommandSelectGroup},
                                                {0, kCommandConverterReset}};
    EXPECT_EQ(bench.CommandsSince(start), expected);
}

// ---------------------------------------------------------------- channel commands

TEST(BoardDriverCommand, WaitsForTheMailboxOfTheChannelsGroup) {
    auto config = BoardConfig(0x00012066);
    config.commandTakeReads = 3;
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    ASSERT_TRUE(bench.driver.ChannelCommand(7, Code(DspCommand::WriteLineRingLevel),
                                            0x1F5));  // value is a byte
    EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{0x0106F5, kCommandChannelGroup0 + 1}));
    EXPECT_EQ(bench.driver.ReadStatus() & 0x20, 0x20u) << "group 1's command waits";
    ASSERT_TRUE(bench.driver.ChannelCommand(11, Code(DspCommand::ReadLineRingLevel), 0));
    ASSERT_TRUE(bench.driver.ChannelCommand(2, Code(DspCommand::Initialise), 0));
    EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{0x021B00, kCommandChannelGroup0}));

    ASSERT_EQ(bench.board.TakenCommands().size(), 1u) << "the last two still wait";
    int reads = 0;
    while ((bench.driver.ReadStatus() & 0x30) != 0 && reads < 10) {
        ++reads;
    }
    EXPECT_EQ(reads, 3) << "each waits for three status reads";
    using Taken = CSimulatedBoard::TakenCommand;
    const std::vector<Taken> expected = {{7, 6, 0xF5}, {11, 5, 0}, {2, 27, 0}};
    EXPECT_EQ(bench.board.TakenCommands(), expected);
    EXPECT_EQ(bench.board.StoredParams(7).LineRingLevel, 0xF5);
    EXPECT_FALSE(bench.driver.ChannelCommand(12, Code(DspCommand::ReadLineRingLevel), 0))
        << "outside the board";
}

// The driver waits for a command still in the mailbox on its clock, and the
// board takes commands after their delay on the same clock: on a virtual
// clock the wait passes as virtual time, without sleeping.
TEST(BoardDriverCommand, WaitForTheMailboxPassesOnTheVirtualClock) {
    auto config = BoardConfig(0x00012066);
    config.commandTakeMs = 50;
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    const auto began = bench.clock.SteadyNow();
    ASSERT_TRUE(bench.driver.ChannelCommand(0, Code(DspCommand::RequestVersion), 0));
    EXPECT_TRUE(bench.board.TakenCommands().empty());
    ASSERT_TRUE(bench.driver.ChannelCommand(1, Code(DspCommand::RequestStatus), 0));
    const auto waited = bench.clock.SteadyNow() - began;
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 200ms);
    EXPECT_EQ(
        bench.board.TakenCommands(),
        (std::vector<CSimulatedBoard::TakenCommand>{{0, Code(DspCommand::RequestVersion), 0}}));
}

TEST(BoardDriverCommand, UntakenCommandIsWithdrawnAfter200Ms) {
    auto config = BoardConfig(0x00300666);
    config.faults = {Fault(SimFaultKind::SilentGroup, 2)};
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    ASSERT_TRUE(bench.driver.ChannelCommand(12, Code(DspCommand::RequestVersion), 0))
        << "the mailbox was empty";
    const auto began = bench.clock.SteadyNow();
    EXPECT_FALSE(bench.driver.ChannelCommand(13, Code(DspCommand::RequestStatus), 0));
    EXPECT_GE(bench.clock.SteadyNow() - began, 200ms) << "waited on the virtual clock";
    EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{0, kCommandWithdrawGroup0 + 2}));
    EXPECT_TRUE(bench.driver.ChannelCommand(14, Code(DspCommand::RequestStatus), 0))
        << "withdrawing emptied the mailbox";
    EXPECT_TRUE(bench.driver.ChannelCommand(0, Code(DspCommand::RequestStatus), 0))
        << "other groups are not held up";
}

TEST(BoardDriverCommand, ThreadsNeverOverwriteAWaitingCommand) {
    auto config = BoardConfig(0x00012066);
    config.commandTakeReads = 2;
    DriverBench<CBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    constexpr int kPerThread = 200;
    std::atomic<int> failed = 0;
    auto send = [&](int channel) {
        for (int i = 0; i < kPerThread; ++i) {
            if (!bench.driver.ChannelCommand(channel, Code(DspCommand::WriteLineFailureLevel), i)) {
                ++failed;
            }
        }
    };
    std::thread a(send, 0), b(send, 1), c(send, 2);
    a.join();
    b.join();
    c.join();
    bench.driver.ReadStatus();
    bench.driver.ReadStatus();
    bench.driver.ReadStatus();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(bench.board.TakenCommands().size(), 3u * kPerThread);
    EXPECT_TRUE(bench.board.Warnings().empty()) << bench.board.Warnings().front();
}

TEST(BoardDriverCommand, PciFamilyTranslatesInitialise) {
    struct Case {
        int command, value, sentCommand, sentValue;
    };
    constexpr int kInit = Code(DspCommand::Initialise);
    constexpr int kKey = Code(DspCommand::Key);
    constexpr int kPolarity = Code(DspCommand::Polarity);
    const Case cases[] = {{kInit, 0, kKey, Code(DspKeyValue::InitialiseOff)},
                          {kInit, 1, kKey, Code(DspKeyValue::InitialiseOn)},
                          {kInit, 2, kInit, 2},
                          {kKey, 1, kKey, 1},
                          {kPolarity, 1, kPolarity, 1}};
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00012066, "VeskoPCIDevice"));
    DriverBench<CBoardDriver> plain(BoardConfig(0x00012066));
    ASSERT_TRUE(bench.driver.Open(0));
    ASSERT_TRUE(plain.driver.Open(0));
    for (const Case& c : cases) {
        ASSERT_TRUE(bench.driver.ChannelCommand(8, c.command, c.value));
        EXPECT_EQ(bench.board.CommandLog().back().data,
                  ChannelCommandWord(2, c.sentCommand, c.sentValue))
            << c.command << "," << c.value;
        ASSERT_TRUE(plain.driver.ChannelCommand(8, c.command, c.value));
        EXPECT_EQ(plain.board.CommandLog().back().data, ChannelCommandWord(2, c.command, c.value));
    }
}

TEST(BoardDriverCommand, PciFamilyKeyShortcuts) {
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00012066, "VeskoPCIDevice"));
    ASSERT_TRUE(bench.driver.Open(0));
    struct Case {
        bool (*call)(CVeskoBoardDriver&);
        uint32_t word;
        uint32_t code;
    };
    const Case cases[] = {
        {[](CVeskoBoardDriver& d) { return d.KeyOn(9); }, 0x031A01, kCommandChannelGroup0 + 1},
        {[](CVeskoBoardDriver& d) { return d.KeyOff(9); }, 0x031A00, kCommandChannelGroup0 + 1},
        {[](CVeskoBoardDriver& d) { return d.KeyValue3(1); }, 0x011A03, kCommandChannelGroup0},
        {[](CVeskoBoardDriver& d) { return d.KeyValue4(1); }, 0x011A04, kCommandChannelGroup0},
        {[](CVeskoBoardDriver& d) { return d.KeyValue7(); }, 0x001A07, kCommandChannelGroup0},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.call(bench.driver));
        EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{c.word, c.code}));
    }
}

// ---------------------------------------------------------------- start, stream, extras

TEST(BoardDriverStart, BoardStartsWithStartTransfer) {
    DriverBench<CBoardDriver> bench(BoardConfig(0x00012066));
    ASSERT_TRUE(bench.driver.Open(0));
    CAutoResetEvent event, second;
    const std::size_t controls = bench.board.ControlLog().size();
    EXPECT_EQ(bench.driver.StartDevice(8192, &event, 8192, &second), 0);
    EXPECT_EQ(bench.board.ControlLog().size(), controls) << "StartDevice does nothing";
    EXPECT_FALSE(bench.board.Transferring());

    ASSERT_TRUE(bench.driver.StartTransfer(8192, &event));
    EXPECT_TRUE(bench.board.Transferring());
    EXPECT_EQ(bench.board.TransferSize(), 8192u);
    ASSERT_TRUE(bench.driver.SetEnableBit(0, true));
    ASSERT_TRUE(bench.driver.SetEnableBit(1, true));
    bench.board.Advance(1);
    EXPECT_TRUE(event.TryReset()) << "the board signals data";
    uint8_t buffer[1024];
    std::size_t n = 0;
    ASSERT_TRUE(bench.driver.Read(buffer, sizeof buffer, n));
    EXPECT_EQ(n, 8u * 14);

    ASSERT_TRUE(bench.driver.StopTransfer());
    bench.board.Advance(1);
    EXPECT_FALSE(event.TryReset());
}

TEST(BoardDriverStart, PciFamilyStartsTheDeviceAndUploadsTheRequestSignal) {
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00012066, "VeskoPCIDevice"));
    ASSERT_TRUE(bench.driver.Open(0));
    CAutoResetEvent event, second;
    EXPECT_TRUE(bench.driver.StartTransfer(8192, &event));
    EXPECT_FALSE(bench.board.Transferring()) << "StartTransfer does nothing";
    ASSERT_EQ(bench.driver.StartDevice(8192, &event, 8192, &second), 0);
    EXPECT_TRUE(bench.board.Transferring());

    const auto expected = RequestSignalSamples();
    for (int g = 0; g < 2; ++g) {
        EXPECT_EQ(bench.board.RequestSamplesWritten(g), 32);
        EXPECT_EQ(bench.board.RequestSignal(g), expected);
    }
    EXPECT_EQ(bench.board.RequestSamplesWritten(2), 0) << "group 2 is not there";
    // The board's constant is slightly short of 2 pi and the samples are cut
    // toward zero: the peaks miss full scale and the half period is not 0.
    EXPECT_EQ(expected[0], 0);
    EXPECT_EQ(expected[8], 32766);
    EXPECT_EQ(expected[16], 10);
    EXPECT_EQ(expected[24], -32766);
    EXPECT_EQ(expected[4], 23167);    // 32767 sin(0.78532) = 23167.96
    EXPECT_EQ(expected[28], -23182);  // 32767 sin(5.49724) = -23182.44
}

TEST(BoardDriverStart, PciFamilyStartRefusedGivesTwo) {
    auto config = BoardConfig(0x00012066, "VeskoPCIDevice");
    config.refusedControls = {kIoctlStartTransfer};
    DriverBench<CVeskoBoardDriver> bench(config);
    ASSERT_TRUE(bench.driver.Open(0));
    CAutoResetEvent event, second;
    EXPECT_EQ(bench.driver.StartDevice(8192, &event, 8192, &second), 2);
    EXPECT_EQ(bench.board.RequestSamplesWritten(0), 0);
}

TEST(BoardDriverExtras, ResyncResetAndPciFamilyControls) {
    DriverBench<CVeskoBoardDriver> bench(BoardConfig(0x00012066, "VeskoPCIDevice"));
    ASSERT_TRUE(bench.driver.Open(0));
    ASSERT_TRUE(bench.driver.Resync());
    EXPECT_EQ(bench.board.CommandLog().back(), (CommandWrite{0, kCommandResync}));
    EXPECT_EQ(bench.board.Resyncs(), 1);
    ASSERT_TRUE(bench.driver.ResetBoard());
    EXPECT_EQ(bench.board.Resets(), 2);

    ASSERT_TRUE(bench.driver.SetOutputSwitch(7, 0x101));
    EXPECT_EQ(bench.board.OutputSwitch(7), 1) << "b AND 0xFF";
    ASSERT_TRUE(bench.driver.SetOutputSwitch(7, 0));
    EXPECT_EQ(bench.board.OutputSwitch(7), 0);

    tagHARDWARE_CONFIG config{};
    ASSERT_TRUE(bench.driver.ReadHardwareConfig(config));
    EXPECT_EQ(config.BoardID, 0x00012066u);
    EXPECT_EQ(config.DeviceType, 2u);
    EXPECT_EQ(bench.driver.FillAfterTimeout(nullptr, 0, 128), 0u);
    EXPECT_EQ(bench.driver.FillAfterLoss(nullptr, 0), 0u);
    EXPECT_TRUE(bench.driver.IsLocalHardware());
}

}  // namespace
}  // namespace zorv
