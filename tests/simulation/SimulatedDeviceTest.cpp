// The board device end to end over its real driver and a simulated board:
// the start sequence as the hardware sees it, the parameter handshake and the
// stream reaching the channels.
#include <gtest/gtest.h>

#include <mutex>

#include "core/ServerMessage.h"
#include "devices/BoardDriver.h"
#include "devices/DspDevice.h"
#include "devices/DspProtocol.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// Posts from the device's reading thread, kept under a lock.
class CLockedServer final : public IServer {
public:
    bool Post(int32_t code, int32_t a, int32_t b, int32_t c) override {
        std::lock_guard lock(m_lock);
        m_posts.push_back({code, a, b, c});
        return true;
    }
    void WriteJournal(int, std::string_view) override {}
    int Count(int32_t code) {
        std::lock_guard lock(m_lock);
        int n = 0;
        for (const ServerMessage& m : m_posts) {
            n += m.code == code ? 1 : 0;
        }
        return n;
    }
    std::vector<ServerMessage> Posts() {
        std::lock_guard lock(m_lock);
        return m_posts;
    }

private:
    std::mutex m_lock;
    std::vector<ServerMessage> m_posts;
};

class SimulatedDeviceTest : public ::testing::Test {
protected:
    void Make(SimBoardConfig config) {
        m_opener = std::make_unique<CSimulatedBoardOpener>(
            std::vector<SimBoardConfig>{config}, CSimulatedBoard::Clock::Virtual, m_clock);
        DeviceContext context;
        context.server = &m_server;
        context.clock = &m_clock;
        m_device = std::make_unique<CDspDevice>(context, 0, m_opener.get());
        ASSERT_TRUE(m_device->Open());
        m_board = m_opener->Board("Zorv18LDevice", 0);
        ASSERT_NE(m_board, nullptr);
    }
    void TearDown() override {
        if (m_device) {
            m_device->Stop();
            m_device->Close();
        }
    }

    CLockedServer m_server;
    CManualClock m_clock;
    std::unique_ptr<CSimulatedBoardOpener> m_opener;
    std::unique_ptr<CDspDevice> m_device;
    CSimulatedBoard* m_board = nullptr;
};

TEST_F(SimulatedDeviceTest, StartSequenceAsTheBoardSeesIt) {
    SimBoardConfig config;
    config.infoWord = 0x00012066;  // six channels in groups 0 and 1
    Make(config);
    ASSERT_TRUE(m_device->Start());
    m_board->Advance(8);  // the processor takes the last command

    // Both converters programmed with the 8000 Hz rate code and the gains.
    for (int g : {0, 1}) {
        const auto words = m_board->ConverterWords(g);
        EXPECT_EQ(words[0], 0x810C);
        EXPECT_EQ(words[2], 0x8388);
        EXPECT_EQ(words[7], 0x8001);
    }
    EXPECT_EQ(m_board->EnableMask() & 0x0F, 0x0Fu);  // data and run bits of both groups
    // The processors took, per group: version and status requests on the
    // first channel, then per channel the initialisation and the nine reads.
    std::vector<CSimulatedBoard::TakenCommand> expected;
    for (int g : {0, 1}) {
        const int first = g * 6;
        expected.push_back({first, Code(DspCommand::RequestVersion), 0});
        expected.push_back({first, Code(DspCommand::RequestStatus), 0});
        for (int ch = first; ch < first + 6; ++ch) {
            expected.push_back({ch, Code(DspCommand::Initialise), 0});
            for (DspCommand read :
                 {DspCommand::ReadLineFailureLevel, DspCommand::ReadLineActivateLevel,
                  DspCommand::ReadLineRingLevel, DspCommand::ReadMaxRingPause,
                  DspCommand::ReadAonRequestLength, DspCommand::ReadAonRequestNumber,
                  DspCommand::ReadAonRequestPauseFirst, DspCommand::ReadAonRequestPauseBetween,
                  DspCommand::ReadMinActivateLevel}) {
                expected.push_back({ch, Code(read), 0});
            }
        }
    }
    EXPECT_EQ(m_board->TakenCommands(), expected);
    EXPECT_EQ(m_device->ServiceParams().MaxChTlf, 11u);
}

TEST_F(SimulatedDeviceTest, DriftedParameterGivesOneWriteBackAndOneMessage) {
    SimBoardConfig config;
    config.channels[2].driftField = static_cast<int>(offsetof(LineParams, LineRingLevel));
    config.channels[2].driftDelta = 3;
    Make(config);
    ASSERT_TRUE(m_device->Start());
    m_board->Advance(8);  // the processor takes the last command of the start
    const size_t startCommands = m_board->TakenCommands().size();
    for (int i = 0; i < 20 && m_server.Count(22) == 0; ++i) {
        m_board->Advance(100);  // the answers to the reads come with the stream
        PollUntil([&] { return m_server.Count(22) > 0; }, 200ms);
    }
    ASSERT_EQ(m_server.Count(22), 1);
    const auto posts = m_server.Posts();
    for (const ServerMessage& m : posts) {
        if (m.code == kMsgLineParamFirst + 2) {
            EXPECT_EQ(m.a, 0);  // device
            EXPECT_EQ(m.b, 2);  // channel
        }
    }
    m_board->Advance(500);
    PollUntil([&] { return m_board->TakenCommands().size() > startCommands; }, 2s);
    // Of the parameter writes after the start, only the one write-back.
    const auto taken = m_board->TakenCommands();
    std::vector<CSimulatedBoard::TakenCommand> writes;
    for (size_t i = startCommands; i < taken.size(); ++i) {
        const LineParamField* field = LineParamFieldOf(taken[i].command);
        if (field != nullptr && taken[i].command == Code(field->write)) {
            writes.push_back(taken[i]);
        }
    }
    EXPECT_EQ(writes, (std::vector<CSimulatedBoard::TakenCommand>{
                          {2, Code(DspCommand::WriteLineRingLevel), 70}}));
    EXPECT_EQ(m_server.Count(kMsgFailure), 0);
}

TEST_F(SimulatedDeviceTest, LineEventsFromTheBoardReachTheChannel) {
    SimBoardConfig config;
    config.channels[1].timeline = {{500, Code(DspEvent::Line), 1},
                                   {1500, Code(DspEvent::Line), 2}};  // ring, then call in
    Make(config);
    ASSERT_TRUE(m_device->Start());
    m_board->Advance(2000);
    EXPECT_TRUE(PollUntil(
        [&] { return m_device->Bank()->GetChannelState(1).StateLine == CS_CALL_IN; }, 5s));
    m_board->Advance(1000);
    EXPECT_TRUE(
        PollUntil([&] { return m_device->Bank()->GetChannelState(1).RecordTime >= 8000; }, 5s));
}

TEST_F(SimulatedDeviceTest, GarbageInTheStreamIsReportedAndSkipped) {
    SimBoardConfig config;
    SimFault garbage;
    garbage.timeMs = 300;
    garbage.kind = SimFaultKind::Garbage;
    garbage.bytes = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    config.faults.push_back(garbage);
    config.channels[0].timeline = {{800, 23, 3}};  // a call out after the garbage
    Make(config);
    ASSERT_TRUE(m_device->Start());
    m_board->Advance(1500);
    EXPECT_TRUE(PollUntil([&] { return m_server.Count(kMsgDeviceBytes) == 1; }, 5s))
        << m_server.Count(kMsgDeviceBytes);
    EXPECT_TRUE(PollUntil(
        [&] { return m_device->Bank()->GetChannelState(0).StateLine == CS_CALL_OUT; }, 5s));
}

}  // namespace
}  // namespace zorv::test
