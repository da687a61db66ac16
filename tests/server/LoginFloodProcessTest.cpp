// The server executable under a flood of wrong logins: twenty connections
// from twenty addresses guess passwords for a minute while a simulated board
// records calls. The password checks (64 MiB each) run a few at a time, so
// the server's peak memory stays bounded, and every call is recorded on
// time and whole.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include "../access/ClientWire.h"
#include "../access/UsersTestSupport.h"
#include "access/UsersDatabase.h"
#include "core/Journal.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/ProcessPorts.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); 0 when absent.
uint64_t StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1));
        }
    }
    return 0;
}

struct Call {
    int line;
    int startSeconds;  // of the day
    int seconds;       // recorded length
};

std::vector<Call> Calls(const std::string& table) {
    std::vector<Call> calls;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(table.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT NChanel, hour * 3600 + min * 60 + sec,"
                               " dhour * 3600 + dmin * 60 + dsek FROM records"
                               " ORDER BY NChanel, year, mon, day, hour, min, sec",
                               -1, &query, nullptr) == SQLITE_OK) {
            while (sqlite3_step(query) == SQLITE_ROW) {
                calls.push_back({sqlite3_column_int(query, 0), sqlite3_column_int(query, 1),
                                 sqlite3_column_int(query, 2)});
            }
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return calls;
}

// Seconds of the local day now.
int SecondsOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

TEST(LoginFloodProcessTest, WrongPasswordsFromTwentyAddressesLeaveMemoryAndCallsAlone) {
    CTempDir dir;
    // Two lines with a call of 10 s every 20 s, recorded as PCM.
    std::ofstream(dir.File("board.ini"))
        << "[Board0]\nGroups = 6 0 0\nBoardId = 0x12\nRepeat = 20\n\n"
        << "[Board0.Channel0]\nAudio = tone 700 9000\nAudioDuring = calls\n"
        << "Timeline = 2.0 in; 12.0 free\n\n"
        << "[Board0.Channel1]\nAudio = tone 500 8000\nAudioDuring = calls\n"
        << "Timeline = 5.0 out; 15.0 free\n";
    std::ofstream(dir.File("ZORV_18.ini")) << "[Channel0-0]\nCompression=0\n"
                                           << "[Channel0-1]\nCompression=0\n";
    {
        CNullJournal journal;
        CUsersDatabase users(journal);
        ASSERT_TRUE(users.Initialise(dir.Path(), "ZORV"));
        ASSERT_TRUE(users.AddAsOwner(UserRecord("admin", "secret", 1)));
    }
    CChildProcess server(
        BuiltProgram("zorv18server"), {}, dir.Path(),
        {"ZORV_REGISTRY=" + dir.File("registry.ini"), "ZORV_NETWORK_BIND=127.0.0.1",
         "ZORV_BOARD_SCENARIO=" + dir.File("board.ini")});
    std::vector<uint16_t> ports;
    ASSERT_TRUE(PollUntil(
        [&] {
            ports = ProcessPorts(server.Pid(), "/proc/net/tcp", true);
            return !ports.empty();
        },
        20s))
        << server.Stderr();
    const uint64_t restingKiB = StatusKiB(server.Pid(), "VmRSS");

    std::atomic<bool> stop{false};
    std::atomic<int> refusals{0};
    std::vector<std::thread> attackers;
    for (int i = 0; i < 20; ++i) {
        attackers.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(10 + i);
            std::unique_ptr<CTestClient> client;
            for (int attempt = 0; !stop.load() && attempt < 10000; ++attempt) {
                if (client == nullptr || client->DrainClosed()) {
                    client = std::make_unique<CTestClient>(ports[0], 0, from.c_str());
                }
                client->Send(LoginBytes("admin", "guess" + std::to_string(attempt)));
                const Bytes reply = client->Read(2136);
                if (reply.size() == 2136) {
                    ++refusals;
                } else {
                    client.reset();
                }
            }
        });
    }
    std::this_thread::sleep_for(60s);
    stop = true;
    for (std::thread& attacker : attackers) {
        attacker.join();
    }
    const uint64_t peakKiB = StatusKiB(server.Pid(), "VmHWM");
    std::cout << "resting " << restingKiB / 1024 << " MiB, peak " << peakKiB / 1024 << " MiB after "
              << refusals.load() << " refused logins\n";
    // Each check holds 64 MiB; twenty at once held over 1.2 GiB.
    EXPECT_LT(peakKiB - restingKiB, 400u * 1024);
    EXPECT_GT(refusals.load(), 20);

    // The administrator gets in as soon as the guessing stops (twenty
    // addresses may hold every place while they guess).
    EXPECT_TRUE(PollUntil(
        [&] {
            CTestClient admin(ports[0], 0, "127.0.0.2");
            admin.Send(LoginBytes("admin", "secret"));
            const Bytes reply = admin.Read(2136);
            return reply.size() == 2136 && U32At(reply, 2) == 1;
        },
        20s));

    const int stoppedAt = SecondsOfDay();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(60s), 0) << server.Stderr();
    // Three calls on each line, each 10 s long and 20 s after the one before
    // (a call the stop cut short aside).
    std::vector<Call> calls = Calls(dir.File("ZORV.dbf"));
    std::erase_if(calls, [&](const Call& c) {
        return stoppedAt >= c.startSeconds && c.startSeconds + 11 > stoppedAt;
    });
    ASSERT_GE(calls.size(), 6u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(fmt::format("line {} at {}", calls[i].line, calls[i].startSeconds));
        EXPECT_NEAR(calls[i].seconds, 10, 1);
        if (i > 0 && calls[i].line == calls[i - 1].line) {
            EXPECT_NEAR(calls[i].startSeconds - calls[i - 1].startSeconds, 20, 1);
        }
    }
}

}  // namespace
}  // namespace zorv::test
