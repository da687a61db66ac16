// The start, run, start-devices and stop sequences of the server core, in
// their order, through component doubles.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/CallOrder.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace zorv::test {
namespace {

class ServerSequenceTest : public ::testing::Test {
protected:
    void SetUp() override { Make(); }

    void Make() {
        m_server.reset();
        ServerEnvironment env;
        env.clock = &m_clock;
        env.prefix = "ZORV";
        env.workDir = m_dir.Path();
        env.registryFile = m_dir.File("registry.ini");
        m_server = std::make_unique<CTestServer>(env, LoggingComponents::Make(m_log, m_parts), m_log);
    }

    CFakeDevice* Plan(int kind, int candidate, int channels = 4) {
        auto& plan = m_server->m_plan[static_cast<size_t>(kind)];
        if (plan.size() <= static_cast<size_t>(candidate)) {
            plan.resize(static_cast<size_t>(candidate) + 1);
        }
        auto device = std::make_unique<CFakeDevice>(m_log, fmt::format("dev{}.{}", kind, candidate),
                                                    channels);
        CFakeDevice* raw = device.get();
        plan[static_cast<size_t>(candidate)] = std::move(device);
        int& count = m_server->m_candidates[static_cast<size_t>(kind)];
        count = std::max(count, candidate + 1);
        return raw;
    }

    CTempDir m_dir;
    CManualClock m_clock;
    CallLog m_log;
    LoggingComponents m_parts{};
    std::unique_ptr<CTestServer> m_server;
};

TEST_F(ServerSequenceTest, StartRunsItsStepsInOrder) {
    Plan(0, 0);
    m_server->Handle(kMsgStart);

    EXPECT_TRUE(AppearInOrder(
        m_log, {"transcoders.Start", J(0, 133), "transcoders.StartServiceThread", J(0, 225),
                "fax.SetWorkDirectory", "compressor.SetRecordPath(0)",
                "compressor.SetRecordPath(1)", "compressor.SetMinSizeFile(5)",
                "compressor.SetCompressIdle(false)", "mail.LoadSettings",
                "mail.SetMinimalDelay(600)", "fax.SetDecode(true)", "fax.SetLogEnable(false)",
                "watchdog.Configure(30)", "scheduler.Load", "database.Open", "compressor.Start",
                "watchdog.Start", "watchdog.Send(2,0,0)", "watchdog.Send(1,0,30)",
                "dev0.0.SetDeviceIndex(0)", "dev0.0.SetFileSuffixes(z18,zr18)", "dev0.0.Open",
                J(0, 228, 1, 0x1234u), "dev0.0.SetRecordLengths(5,3600)", "dev0.0.SetRecordRoot",
                "dev0.0.SetServerName()", "archiver.Start", Posted(kMsgRun), "filters.Read",
                Posted(kMsgStartDevices), "transcoders.Enable"}));
    EXPECT_EQ(m_server->State(), SS_INIT);
    EXPECT_EQ(m_server->DeviceCount(), 1);
    EXPECT_EQ(m_server->TotalChannels(), 4);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.File("DvrFiles")));
}

TEST_F(ServerSequenceTest, DatabaseThatFailsToOpenEndsTheStart) {
    Plan(0, 0);
    m_parts.database->m_failOpen = true;
    m_server->Handle(kMsgStart);

    // After the database nothing of the core start happens: no compressor, no
    // devices, no run and no message; only the configurator is enabled.
    const auto open = std::find(m_log.begin(), m_log.end(), "database.Open");
    ASSERT_NE(open, m_log.end());
    EXPECT_EQ(std::vector<std::string>(open + 1, m_log.end()),
              std::vector<std::string>{"transcoders.Enable"});
    EXPECT_FALSE(Contains(m_log, Posted(kMsgRun)));
    EXPECT_EQ(m_server->State(), SS_INIT);
    EXPECT_EQ(m_server->DeviceCount(), 0);
}

TEST_F(ServerSequenceTest, WithoutDevicesRunComesBeforeTheFailure) {
    m_server->Handle(kMsgStart);
    EXPECT_TRUE(AppearInOrder(m_log, {"archiver.Start", Posted(kMsgRun), Posted(kMsgFailure, 7)}));
    EXPECT_FALSE(Contains(m_log, "filters.Read"));
    m_server->Pump();
    EXPECT_TRUE(AppearInOrder(m_log, {J(0, 229), "policy.OnFailure(7,0,0)"}));
    EXPECT_EQ(m_server->State(), SS_STARTING);  // the start-failure table applies
}

TEST_F(ServerSequenceTest, CompressorThatDoesNotStartSwitchesCompressionOff) {
    Plan(0, 0, 6);
    m_parts.compressor->m_failStart = true;
    m_server->Handle(kMsgStart);
    EXPECT_TRUE(AppearInOrder(m_log, {"compressor.Start", Posted(kMsgFailure, 5, 1),
                                      "dev0.0.Open", "dev0.0.SetCompress(0,5,0,false)"}));
}

// A compressor error is journaled with its text and the compressor's state
// is appended to the exception file, one dump per error.
TEST_F(ServerSequenceTest, CompressorErrorIsJournaledWithTheStateDump) {
    m_server->Handle(kMsgFailure, kFailureCompressor, 3);
    m_server->Handle(kMsgFailure, kFailureCompressor, 5);
    EXPECT_TRUE(AppearInOrder(m_log, {J(1, 204), J(1, 206)}));
    const std::string dump = ReadBytes(m_dir.File("debug_Exception.log"));
    EXPECT_NE(dump.find("compressor error 3\nCFileCompressor\nm_isTerminate=0\n"),
              std::string::npos);
    EXPECT_NE(dump.find("compressor error 5\nCFileCompressor\n"), std::string::npos);
}

TEST_F(ServerSequenceTest, FailedOpenLeavesNoGapAndRemapsTheNext) {
    Plan(0, 0)->m_openError = kDeviceNotFound;      // absent: not journaled
    Plan(0, 1)->m_openError = kDeviceNoMemory;      // journaled with text 276
    CFakeDevice* third = Plan(0, 2);
    m_server->Handle(kMsgStart);

    EXPECT_TRUE(AppearInOrder(m_log, {"dev0.0.Open", "dev0.0.Close", "dev0.1.Open",
                                      J(1, 276, 1), "dev0.1.Close", "dev0.2.SetDeviceIndex(0)",
                                      "dev0.2.Open", J(0, 227, 2, 0), "dev0.2.SetDeviceIndex(0)"}));
    EXPECT_FALSE(Contains(m_log, J(1, 274, 1)));
    EXPECT_EQ(m_server->DeviceCount(), 1);
    EXPECT_EQ(m_server->Device(0), third);
}

TEST_F(ServerSequenceTest, MissingDevicesOfKindZeroAndReportingKindsPostFailureSix) {
    m_server->m_candidates = {2, 1, 0, 0, 0};
    m_server->m_reportOnMissing = 1;
    m_server->Handle(kMsgStart);
    int reports = 0;
    for (const auto& entry : m_log) {
        reports += entry == Posted(kMsgFailure, 6, 1) ? 1 : 0;
    }
    EXPECT_EQ(reports, 3);
}

TEST_F(ServerSequenceTest, RunStartsNetworkThenTimer) {
    m_server->Handle(kMsgRun);
    EXPECT_TRUE(AppearInOrder(m_log, {"network.Start", J(0, 229)}));
    EXPECT_EQ(m_server->State(), SS_STARTING);
    EXPECT_TRUE(m_parts.timer->IsRunning());
    EXPECT_EQ(m_parts.timer->m_period, std::chrono::milliseconds(10000));
    EXPECT_EQ(m_parts.timer->m_lowered, 1);
    EXPECT_EQ(m_server->RestartCount(0), 0);
}

TEST_F(ServerSequenceTest, RunAfterPolicyRebootOpensTheProbationWindow) {
    m_server->RegistryKey().SetDword("IntStopRestart", 2);
    m_server->Handle(kMsgRun);
    EXPECT_EQ(m_server->RestartCount(0), 1);
    EXPECT_EQ(m_server->RestartCountdown(0), 6);
}

TEST_F(ServerSequenceTest, TimerThatDoesNotStartIsReported) {
    m_parts.timer->m_failStart = true;
    m_server->Handle(kMsgRun);
    EXPECT_TRUE(AppearInOrder(m_log, {J(0, 229), J(1, 230), Posted(kMsgFailure, 10)}));
    EXPECT_EQ(m_parts.timer->m_lowered, 0);
}

TEST_F(ServerSequenceTest, StartDevicesCountsStartedDevices) {
    Plan(0, 0);
    Plan(0, 1)->m_failStart = true;
    m_server->Handle(kMsgStart);
    m_server->m_posted.clear();
    m_server->Handle(kMsgStartDevices);
    EXPECT_TRUE(AppearInOrder(m_log, {"dev0.0.Start", J(0, 231, 1), "dev0.1.Start",
                                      "dev0.1.Stop", Posted(kMsgFailure, 1, 1)}));
    EXPECT_EQ(m_server->State(), SS_RUNNING);
}

TEST_F(ServerSequenceTest, StartDevicesWithNoneStartedPostsFailureTwelve) {
    Plan(0, 0)->m_failStart = true;
    m_server->Handle(kMsgStart);
    m_server->m_posted.clear();
    m_server->Handle(kMsgStartDevices);
    EXPECT_TRUE(AppearInOrder(m_log, {Posted(kMsgFailure, 1, 0), Posted(kMsgFailure, 12)}));
    EXPECT_EQ(m_server->State(), SS_INIT);
}

TEST_F(ServerSequenceTest, TheStorageKeeperGetsItsSettingsAndTheStopSavesItsQuotas) {
    {
        IniFile settings(m_server->SettingsPath());
        ASSERT_TRUE(settings.WriteUint("Path", "Quota1_Ex", 20));
        ASSERT_TRUE(settings.WriteUint("DeleteFilesAtDate", "Enable", 1));
        ASSERT_TRUE(settings.WriteUint("DeleteFilesAtDate", "StorageDaysCount", 7));
    }
    Plan(0, 0);
    m_server->Handle(kMsgStart);
    m_server->Pump();
    const StorageSettings given = m_parts.storage->settings;
    EXPECT_EQ(given.quota1Mb, 20u);
    EXPECT_EQ(given.quota2Mb, 50u);
    EXPECT_EQ(given.deleteByAgeEnable, 1u);
    EXPECT_EQ(given.storageDays, 7u);

    // Clients changed the quotas while the server ran.
    m_parts.storage->settings.quota1Mb = 300;
    m_parts.storage->settings.delSizeMb = 12;
    m_server->Handle(kMsgStop);
    IniFile settings(m_server->SettingsPath());
    EXPECT_EQ(settings.GetString("Path", "Quota1_Ex", ""), "300");
    EXPECT_EQ(settings.GetString("Path", "DelSize_Ex", ""), "12");
}

TEST_F(ServerSequenceTest, StopRunsItsStepsInOrderAndOnlyOnce) {
    Plan(0, 0);
    m_server->Handle(kMsgStart);
    m_server->Pump();
    m_server->SetStateWord(SS_RUNNING, 9);
    m_log.clear();

    m_server->Handle(kMsgStop);
    EXPECT_TRUE(AppearInOrder(
        m_log, {"network.Stop", "transcoders.Stop", "watchdog.Send(2,0,0)", "watchdog.Stop",
                J(0, 232, 9), J(0, 233), "compressor.Stop", J(0, 234), J(0, 235), "dev0.0.Stop",
                "dev0.0.Close", J(0, 236, 1), "database.Stop", J(0, 237), "archiver.Stop",
                "mail.Notify(16,file,1)", JournalEntry(0, "Shutdown")}));
    EXPECT_EQ(m_server->StateWord(), MakeStateWord(SS_STOPPED, 9));
    EXPECT_EQ(m_server->DeviceCount(), 0);
    EXPECT_FALSE(m_parts.timer->IsRunning());
    EXPECT_EQ(m_server->RegistryKey().GetString("Power"), "Ok");

    IniFile settings(m_server->SettingsPath());
    EXPECT_EQ(settings.GetString("Path", "Directory1", ""), m_dir.File("DvrFiles"));
    EXPECT_EQ(settings.GetString("Path", "MaxSizeFile", ""), "60");

    m_log.clear();
    m_server->Handle(kMsgStop);
    EXPECT_EQ(m_log, (CallLog{"network.Stop", "transcoders.Stop"}));
}

// A client thread that reaches a device while the stop sequence removes it
// never uses a destroyed device (the sanitizer builds catch one), and finds
// no device afterwards.
TEST_F(ServerSequenceTest, DevicesReachedFromOtherThreadsOutliveTheirCalls) {
    Plan(0, 0, 6);
    m_server->Handle(kMsgStart);
    m_server->Pump();
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    std::thread client([&] {
        while (!done.load()) {
            if (m_server->WithDevice(0, [&](IServerDevice& device) {
                    wrong += device.ChannelCount() == 6 ? 0 : 1;
                })) {
                ++calls;
            }
        }
    });
    for (int i = 0; i < 100000 && calls.load() < 50; ++i) {
        std::this_thread::yield();
    }
    m_server->Handle(kMsgStop);
    EXPECT_FALSE(m_server->WithDevice(0, [](IServerDevice&) {}));
    done = true;
    client.join();
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ServerSequenceTest, UncleanShutdownIsJournaledAtStart) {
    m_server->RegistryKey().SetString("Power", "2026 12.09 23:59:50");
    m_server->Handle(kMsgStart);
    EXPECT_TRUE(AppearInOrder(m_log, {J(1, 306, std::string("2026 12.09 23:59:50")), J(0, 225)}));
}

TEST_F(ServerSequenceTest, RegistryKeyIsCreatedWithCleanValues) {
    CRegistryKey& key = m_server->RegistryKey();
    EXPECT_EQ(key.KeyPath(), "SOFTWARE\\ZORV_18");
    EXPECT_EQ(key.GetString("Power"), "Ok");
    EXPECT_EQ(key.GetDword("IntStopRestart"), 0u);

    // An existing key keeps its values.
    key.SetString("Power", "2026 01.01 00:00:00");
    Make();
    EXPECT_EQ(m_server->RegistryKey().GetString("Power"), "2026 01.01 00:00:00");
}

}  // namespace
}  // namespace zorv::test

namespace zorv::test {
namespace {

TEST_F(ServerSequenceTest, ProbingTakesKindsInOrderAndStopsAtOneHundred) {
    struct Case {
        const char* name;
        std::array<int, 5> candidates;  // -1: the server's own count
        int devices;                    // devices every candidate of every kind gives
        int expected;
        std::vector<std::string> order;  // creation order of the first few
    };
    const std::vector<Case> cases = {
        {"server's counts: 11, 11, 11, 11 and 100 candidates", {-1, -1, -1, -1, -1}, 1, 100,
         {"dev0.0.Open", "dev0.10.Open", "dev1.0.Open", "dev3.10.Open", "dev4.0.Open", "dev4.55.Open"}},
        {"a few of each kind", {2, 1, 0, 1, 2}, 1, 6,
         {"dev0.0.Open", "dev0.1.Open", "dev1.0.Open", "dev3.0.Open", "dev4.0.Open", "dev4.1.Open"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        Make();
        m_server->m_candidates = c.candidates;
        for (int kind = 0; kind < 5; ++kind) {
            const int count = c.candidates[static_cast<size_t>(kind)] < 0
                                  ? (kind == 4 ? 100 : 11)
                                  : c.candidates[static_cast<size_t>(kind)];
            for (int j = 0; j < count; ++j) {
                Plan(kind, j, 1);
            }
            m_server->m_candidates[static_cast<size_t>(kind)] = c.candidates[static_cast<size_t>(kind)];
        }
        m_server->Handle(kMsgStart);
        EXPECT_EQ(m_server->DeviceCount(), c.expected);
        EXPECT_EQ(m_server->TotalChannels(), c.expected);
        EXPECT_TRUE(AppearInOrder(m_log, c.order));
        EXPECT_FALSE(Contains(m_log, "dev4.56.Open"));  // the table is full
        for (int i = 0; i < m_server->DeviceCount(); ++i) {
            EXPECT_EQ(static_cast<CFakeDevice*>(m_server->Device(i))->m_index, i);
        }
    }
}

}  // namespace
}  // namespace zorv::test
