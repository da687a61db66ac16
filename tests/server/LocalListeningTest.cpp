// Local listening through the whole server: a local program's socket receives
// a 16000 Hz channel of the simulated board while it records, in messages of
// the documented header and size, and the audio is the recorded audio; a
// line-monitor start on the same port ends the listen link; a port without a
// socket answers 2.
#include <gtest/gtest.h>

#include <fstream>

#include "server/LocalListening.h"
#include "server/RecordServer.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "support/LocalListenPeer.h"
#include "support/RecordFiles.h"
#include "ServerTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kScenario = R"([Board0]
Groups = 6 0 0

[Board0.Channel0]
Audio = tone 600 6000
AudioDuring = calls
Timeline = 1 ring; 2 in; 8 free
)";

TEST(LocalListeningTest, AChannelIsHeardAsItIsRecorded) {
    CTempDir dir;
    std::ofstream(dir.File("ZORV_18.ini")) << "[Channel0-0]\nCompression=0\nSampleRate=16000\n";
    const SimScenario scenario = ParseBoardScenario(kScenario, "listen.ini", dir.Path(), nullptr);
    auto opener =
        std::make_unique<CSimulatedBoardOpener>(scenario.boards, CSimulatedBoard::Clock::Virtual);
    CSimulatedBoard* board = opener->Board("Zorv18LDevice", 0);
    const auto owner = StartSimulatedServer(dir, std::move(opener));
    CRecordServer& server = *owner;
    ASSERT_EQ(server.State(), SS_RUNNING);
    const auto advanceTo = [&](int64_t ms) {
        while (board->NowMs() < ms) {
            board->Advance(100);
            PollUntil([&] { return board->BufferedBytes() == 0; }, 2s);
        }
    };
    CLocalListening& listening = server.LocalListening();
    EXPECT_EQ(listening.RunDirectory(), dir.Path());

    EXPECT_EQ(listening.Change(CLocalListening::kListen, 0, 0, 5001, true),
              CLocalListening::kUnavailable)
        << "no local program listens on port 5001";
    CLocalListenPeer peer(dir.Path(), 5000);
    ASSERT_TRUE(peer.Ok());
    EXPECT_EQ(listening.Change(CLocalListening::kListen, 7, 0, 5000, true),
              CLocalListening::kUnavailable)
        << "no device 7";
    ASSERT_EQ(listening.Change(CLocalListening::kListen, 0, 0, 5000, true), CLocalListening::kDone);
    advanceTo(10000);
    ASSERT_TRUE(PollUntil([&] { return RecordRows(dir.File("ZORV.dbf")) >= 1; }, 10s));

    const std::vector<std::string> records = Records(dir.File("DvrFiles"));
    ASSERT_EQ(records.size(), 1u);
    const std::vector<int16_t> recorded = DecodeWithSox(records[0]);
    std::vector<int16_t> heard;
    const auto messages = peer.Messages();
    ASSERT_FALSE(messages.empty());
    for (const auto& m : messages) {
        ASSERT_GE(m.bytes.size(), 6u);
        EXPECT_EQ(m.bytes[0] | m.bytes[1] << 8, 16000);
        EXPECT_EQ(m.bytes[2], 0);  // mono, recorded audio
        EXPECT_EQ(m.bytes[3], 0);
        EXPECT_LE(m.bytes.size() - 4, 7996u);
        ASSERT_EQ(m.bytes.size() % 2, 0u);
        for (std::size_t i = 4; i < m.bytes.size(); i += 2) {
            heard.push_back(static_cast<int16_t>(m.bytes[i] | m.bytes[i + 1] << 8));
        }
    }
    // The listener hears what is written to the record, as it is written:
    // all of it but the part still under the writer's threshold.
    ASSERT_LE(heard.size(), recorded.size());
    EXPECT_LT(recorded.size() - heard.size(), 1000u);
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), recorded.begin()));

    // A line monitor on the same port ends the listen link.
    ASSERT_EQ(listening.Change(CLocalListening::kLineMonitor, 0, 0, 5000, true),
              CLocalListening::kDone);
    EXPECT_TRUE(PollUntil([&] { return peer.Closed() == std::vector<int>{1}; }, 10s));
    EXPECT_TRUE(PollUntil([&] { return peer.Accepted() == 2; }, 10s));
    // The board takes commands as its time passes.
    advanceTo(10500);
    EXPECT_TRUE(board->Monitor(0)) << "line monitor on";
    EXPECT_EQ(listening.Change(CLocalListening::kLineMonitor, 0, 0, 5000, false),
              CLocalListening::kDone);
    advanceTo(11000);
    EXPECT_FALSE(board->Monitor(0)) << "line monitor off";
    EXPECT_EQ(listening.Change(CLocalListening::kListen, 0, 0, 5000, false), CLocalListening::kDone)
        << "stopping a link that is not there";
    server.Stop();
}

}  // namespace
}  // namespace zorv::test
