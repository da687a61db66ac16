// Caller numbers and dialled digits through the whole server: a simulated
// board's lines carry an FSK caller ID between rings, an AON answer after the
// call is taken, a DTMF caller ID before the first ring, digits dialled on
// a call out, and an AON answer that starts a level-activated record; each
// call's number reaches the channel state, the record's header and the
// database row.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>

#include "devices/DspDevice.h"
#include "server/RecordServer.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedBoardOpener.h"
#include "storage/WavFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
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
Timeline = 1 ring; 1.4 fsk 5551234; 3 ring; 4 in; 11 free

[Board0.Channel1]
Audio = tone 700 6000
AudioDuring = calls
Timeline = 1 ring; 2 in; 2.6 aon 8901234 1; 9 free

[Board0.Channel2]
Audio = tone 800 6000
AudioDuring = calls
Timeline = 0.2 dtmf A4951234C; 2 ring; 3 in; 10 free

[Board0.Channel3]
Audio = tone 900 6000
AudioDuring = calls
Timeline = 1 out; 1.5 dtmf 5678; 8 free

[Board0.Channel4]
Timeline = 4 dtmf A7770000C

[Board0.Channel5]
Timeline = 3 aon 5550001 2
)";

TEST(CallerNumberEndToEndTest, NumbersReachTheChannelStateTheRecordAndItsRow) {
    CTempDir dir;
    std::ofstream(dir.File("ZORV_18.ini"))
        << "[Server]\nName=Numbers\n[Aon]\nCallNotServices=0\n"
        << "[Channel0-0]\nCompression=0\nAonFlags=2\n"
        << "[Channel0-1]\nCompression=0\nAonFlags=1\n"
        << "[Channel0-2]\nCompression=0\nAonFlags=4\n"
        << "[Channel0-3]\nCompression=0\n"
        // Level-activated: the AON answer itself starts the record.
        << "[Channel0-5]\nCompression=0\nActivate=1\nAonActivateEnable=1\nAonFlags=1\n";
    const SimScenario scenario = ParseBoardScenario(kScenario, "numbers.ini", dir.Path(), nullptr);
    auto opener = std::make_unique<CSimulatedBoardOpener>(scenario.boards,
                                                          CSimulatedBoard::Clock::Virtual);
    CSimulatedBoard* board = opener->Board("Zorv18LDevice", 0);
    const auto owner = StartSimulatedServer(dir, std::move(opener));
    CRecordServer& server = *owner;
    ASSERT_EQ(server.State(), SS_RUNNING);
    auto* device = dynamic_cast<CDspDevice*>(server.Device(0));
    ASSERT_NE(device, nullptr);
    const auto shown = [&](int channel) {
        return std::string(device->Bank()->GetChannelState(channel).TlfString);
    };
    // The board's clock moves only when told to: 100 ms at a time, each step
    // taken up by the device before the next.
    const auto advanceTo = [&](int64_t ms) {
        while (board->NowMs() < ms) {
            board->Advance(100);
            PollUntil([&] { return board->BufferedBytes() == 0; }, 2s);
        }
    };
    advanceTo(2500);
    EXPECT_EQ(shown(0), "5551234") << "FSK caller ID while the line rings";
    EXPECT_EQ(shown(2), "4951234") << "DTMF caller ID before the first ring";
    // Line 4 listens for a DTMF caller ID from the moment a client asks.
    EXPECT_EQ(server.SetAonFlags(0, 4, 4), 1);
    advanceTo(6000);
    EXPECT_EQ(shown(4), "7770000");
    EXPECT_EQ(shown(5), "5550001") << "the AON answer that started a level record";
    advanceTo(20000);

    ASSERT_TRUE(PollUntil([&] { return RecordRows(dir.File("ZORV.dbf")) >= 5; }, 10s));
    server.Stop();
    EXPECT_EQ(RunShell(fmt::format("sqlite3 -separator ' ' '{}' 'SELECT NChanel, TlfString_1, "
                                   "Category_1, TlfString_2 FROM records ORDER BY NChanel'",
                                   dir.File("ZORV.dbf"))),
              "0 5551234 0 \n1 8901234 1 \n2 4951234 0 \n3  0 5678\n5 5550001 2 \n");
    const std::vector<std::string> files = Records(dir.File("DvrFiles"));
    EXPECT_EQ(files.size(), 5u);
    for (const std::string& file : files) {
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(file), CWavFile::kOpenReady);
        const tagDB_Record header = reader.getDbRecord();
        SCOPED_TRACE(file);
        const uint32_t line = header.NChanel;
        const char* caller[] = {"5551234", "8901234", "4951234", "", "", "5550001"};
        const char* called[] = {"", "", "", "5678", "", ""};
        ASSERT_TRUE(line < 6u && line != 4u);
        EXPECT_STREQ(header.TlfString_1, caller[line]);
        EXPECT_STREQ(header.TlfString_2, called[line]);
    }
}

}  // namespace
}  // namespace zorv::test
