// The whole server with a simulated board: devices found, started, and a
// board failure handled as the operator sees it in the journal.
#include <gtest/gtest.h>

#include "core/Journal.h"
#include "devices/DspDevice.h"
#include "simulation/SimulatedBoardOpener.h"
#include "platform/Cp1251.h"
#include "server/RecordServer.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

bool JournalHas(const std::string& path, const std::string& text) {
    for (const std::string& t : JournalTexts(path)) {
        if (t == text) {
            return true;
        }
    }
    return false;
}

TEST(SimulatedServerTest, SilentProcessorIsJournaledAndTakesItsGroupOutOfService) {
    CTempDir dir;
    SimBoardConfig config;
    config.infoWord = 0x00012066;  // groups 0 and 1 of six channels
    config.heartbeatMs = 1000;     // working processors speak every second
    SimFault silent;
    silent.timeMs = 1000;
    silent.kind = SimFaultKind::SilentGroup;
    silent.group = 0;
    silent.amount = 0;  // for good
    config.faults.push_back(silent);
    auto opener = std::make_unique<CSimulatedBoardOpener>(std::vector<SimBoardConfig>{config},
                                                          CSimulatedBoard::Clock::Virtual);
    CSimulatedBoard* board = opener->Board("Zorv18LDevice", 0);
    ServerEnvironment env;
    env.prefix = "ZORV";
    env.workDir = dir.Path();
    env.registryFile = dir.File("registry.ini");
    CRecordServer server(env, std::move(opener));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(PollUntil([&] { return server.State() == SS_RUNNING; }, 10s));
    const std::string journal = dir.File("ZORV_18.log");
    EXPECT_TRUE(JournalHas(journal, FormatCatalogText(Msg{231}, 1)));

    // Twenty-five seconds of audio without a word from group 0's processor.
    const std::string failed = FormatCatalogText(Msg{62}, 1, 1);
    for (int s = 0; s < 40 && !JournalHas(journal, failed); ++s) {
        board->Advance(1000);
        PollUntil([&] { return board->BufferedBytes() == 0; }, 2s);
    }
    ASSERT_TRUE(PollUntil([&] { return JournalHas(journal, failed); }, 5s)) << [&] {
        std::string all;
        for (const std::string& t : JournalTexts(journal)) {
            all += Cp1251ToUtf8(t) + "\n";
        }
        return all;
    }();
    auto* device = dynamic_cast<CDspDevice*>(server.Device(0));
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(PollUntil(
        [&] { return device->Bank()->GetChannelState(0).StateLine == CS_DSP_FAULT; }, 5s));
    // Group 1 goes on as before.
    EXPECT_EQ(device->Bank()->GetChannelState(6).StateLine, static_cast<uint32_t>(CS_FREE));
    server.Stop();
}

}  // namespace
}  // namespace zorv::test
