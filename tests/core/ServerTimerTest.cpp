// The ten-second timer tick: its order, the restart and compressor windows,
// the compressor hang detection and the users-file watch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "core/CodedException.h"
#include "support/CallOrder.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace zorv::test {
namespace {

class ServerTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerEnvironment env;
        env.clock = &m_clock;
        env.prefix = "ZORV";
        env.workDir = m_dir.Path();
        env.registryFile = m_dir.File("registry.ini");
        m_server = std::make_unique<CTestServer>(env, LoggingComponents::Make(m_log, m_parts), m_log);
    }

    // Starts with one device and runs, so that the timer is running.
    void StartAndRun() {
        auto& plan = m_server->m_plan[0];
        plan.push_back(std::make_unique<CFakeDevice>(m_log, "dev"));
        m_server->m_candidates[0] = 1;
        m_server->Handle(kMsgStart);
        m_server->Pump();
        m_log.clear();
    }

    void Tick(int times = 1) {
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(m_parts.timer->Fire());
        }
    }

    CTempDir m_dir;
    CManualClock m_clock{std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} +
                         std::chrono::hours{9}};
    CallLog m_log;
    LoggingComponents m_parts{};
    std::unique_ptr<CTestServer> m_server;
};

TEST_F(ServerTimerTest, TickRunsItsStepsInOrder) {
    StartAndRun();
    Tick();
    EXPECT_EQ(m_log, (CallLog{"watchdog.Send(3,0,0)", "storage.CheckDeleteByAge",
                              "storage.CheckDiskSpace", "scheduler.Tick"}));
    // The power stamp is the local time of the tick.
    const LocalTime t = m_clock.Local();
    EXPECT_EQ(m_server->RegistryKey().GetString("Power"),
              fmt::format("{:04} {:02}.{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour,
                          t.minute, t.second));
}

TEST_F(ServerTimerTest, KeepAliveCarriesTheAlarm) {
    StartAndRun();
    m_parts.watchdog->m_alarm = true;
    Tick();
    m_parts.watchdog->m_alarm = false;
    m_server->SetStateWord(SS_FAILED, 6);
    Tick();
    EXPECT_TRUE(AppearInOrder(m_log, {"watchdog.Send(3,1,1)", "watchdog.Send(3,1,1)"}));
}

TEST_F(ServerTimerTest, RestartWindowEndsAfterItsCountdown) {
    m_server->RegistryKey().SetDword("IntStopRestart", 2);
    StartAndRun();  // the run opens a window of 6 ticks on device 0
    m_server->SetStateWord(SS_FAILED, 8);
    Tick(5);
    EXPECT_EQ(m_server->RestartCount(0), 1);
    EXPECT_EQ(m_server->RestartCountdown(0), 1);
    EXPECT_EQ(m_server->StateWord(), MakeStateWord(SS_FAILED, 8));
    Tick();
    EXPECT_EQ(m_server->RestartCount(0), 0);
    EXPECT_EQ(m_server->StateWord(), static_cast<uint32_t>(SS_RUNNING));  // failure kind cleared
    EXPECT_EQ(m_server->RegistryKey().GetDword("IntStopRestart"), 0u);
}

// The stop sequence does not wait for a tick that is already running: a
// restart window that ends in that tick must not bring the server back to
// "running" after the stop has set "stopped".
TEST_F(ServerTimerTest, TickInFlightDuringTheStopLeavesTheServerStopped) {
    // A timer whose Stop lets the tick in flight finish first, as a real
    // timer thread does while Stop waits for it.
    class CTickInFlightTimer final : public IPeriodicTimer {
    public:
        bool Start(std::chrono::milliseconds, Callback callback) override {
            m_callback = std::move(callback);
            return true;
        }
        void Stop() override {
            if (m_callback) {
                m_callback();
            }
            m_callback = nullptr;
        }
        void Wake() override {}
        void LowerPriority() override {}
        bool IsRunning() const override { return static_cast<bool>(m_callback); }
        Callback m_callback;
    };
    m_server.reset();
    ServerComponents components = LoggingComponents::Make(m_log, m_parts);
    auto timer = std::make_unique<CTickInFlightTimer>();
    CTickInFlightTimer* ticks = timer.get();
    components.timer = std::move(timer);
    ServerEnvironment env;
    env.clock = &m_clock;
    env.prefix = "ZORV";
    env.workDir = m_dir.Path();
    env.registryFile = m_dir.File("registry.ini");
    m_server = std::make_unique<CTestServer>(env, std::move(components), m_log);
    m_server->RegistryKey().SetDword("IntStopRestart", 1);
    StartAndRun();  // a restart window of 6 ticks on device 0
    for (int i = 0; i < 5; ++i) {
        ticks->m_callback();
    }
    ASSERT_EQ(m_server->RestartCountdown(0), 1);  // the next tick ends the window

    m_server->Handle(kMsgStop);
    EXPECT_EQ(m_server->State(), static_cast<uint32_t>(SS_STOPPED));
    EXPECT_EQ(m_server->RestartCount(0), 0);
}

TEST_F(ServerTimerTest, CompressorHangDetection) {
    struct Case {
        const char* name;
        std::vector<CompressorSnapshot> ticks;
        int hangAtTick;  // 1-based tick that reports the hang, 0 for none
    };
    const CompressorSnapshot packing{kCompressorCompressProcessing, 7, 100, 0};
    const CompressorSnapshot packingOn{kCompressorCompressProcessing, 7, 200, 0};
    const CompressorSnapshot fax{kCompressorFaxProcessing, 7, 0, 25};  // 25 s: 2 periods
    const CompressorSnapshot idle{0, 7, 0, 0};
    const std::vector<Case> cases = {
        // The first tick notices the state, the second the progress value; the
        // second tick after that without progress reports.
        {"packing without progress", {packing, packing, packing, packing}, 4},
        {"packing with progress", {packing, packingOn, packing, packingOn}, 0},
        {"a new file resets", {packing, packing, {kCompressorCompressProcessing, 8, 100, 0}, packing}, 0},
        // Fax decoding may take as many ticks as the file has periods.
        {"fax within its duration", {fax, fax, fax}, 0},
        {"fax beyond its duration", {fax, fax, fax, fax}, 4},
        {"idle never hangs", {idle, idle, idle, idle}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        StartAndRun();
        int reportedAt = 0;
        for (size_t i = 0; i < c.ticks.size(); ++i) {
            m_parts.compressor->m_snapshot = c.ticks[i];
            m_server->m_posted.clear();
            Tick();
            for (const ServerMessage& m : m_server->m_posted) {
                if (m.code == kMsgException && m.b == kSourceCompressor && reportedAt == 0) {
                    reportedAt = static_cast<int>(i) + 1;
                }
            }
        }
        EXPECT_EQ(reportedAt, c.hangAtTick);
    }
}

TEST_F(ServerTimerTest, UsersFileWatchCallsOnAppearChangeAndLoss) {
    const std::string users = m_dir.File("users.dat");
    int calls = 0;
    m_server->SetUsersFileWatch(users, [&] { ++calls; });
    StartAndRun();

    Tick();
    EXPECT_EQ(calls, 0);  // absent and never seen
    std::ofstream(users) << "a";
    Tick();
    EXPECT_EQ(calls, 1);  // appeared
    Tick();
    EXPECT_EQ(calls, 1);  // unchanged
    std::filesystem::last_write_time(
        users, std::filesystem::last_write_time(users) + std::chrono::seconds(5));
    Tick();
    EXPECT_EQ(calls, 2);  // changed
    // Two changes within one second differ only in nanoseconds.
    const auto setTime = [&](long nanoseconds) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {1'800'000'000, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, users.c_str(), times, 0), 0);
    };
    setTime(100'000'000);
    Tick();
    EXPECT_EQ(calls, 3);
    setTime(100'000'001);
    Tick();
    EXPECT_EQ(calls, 4);  // changed again within the same second
    std::filesystem::remove(users);
    Tick();
    EXPECT_EQ(calls, 5);  // lost
    Tick();
    EXPECT_EQ(calls, 5);
}

TEST_F(ServerTimerTest, ExceptionInTheTickIsReportedWithTheTimerSource) {
    class CThrowingStorage final : public IStorageKeeper {
    public:
        void Configure(const StorageSettings&) override {}
        StorageSettings Current() const override { return {}; }
        void CheckDeleteByAge() override { throw CCodedException(0x55, "disk"); }
        void CheckDiskSpace() override {}
    };
    m_server.reset();
    ServerComponents components = LoggingComponents::Make(m_log, m_parts);
    components.storage = std::make_unique<CThrowingStorage>();
    ServerEnvironment env;
    env.clock = &m_clock;
    env.prefix = "ZORV";
    env.workDir = m_dir.Path();
    env.registryFile = m_dir.File("registry.ini");
    m_server = std::make_unique<CTestServer>(env, std::move(components), m_log);
    StartAndRun();
    Tick();
    EXPECT_TRUE(Contains(m_log, Posted(kMsgException, 0x55, kSourceTimer)));
}

}  // namespace
}  // namespace zorv::test
