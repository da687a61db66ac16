// What the server does with each message code, the archiver events, the
// record directory setter and the exception path through the real thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/CallOrder.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace zorv::test {
namespace {

class ServerMessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerEnvironment env;
        env.clock = &m_clock;
        env.prefix = "ZORV";
        env.workDir = m_dir.Path();
        env.registryFile = m_dir.File("registry.ini");
        m_server = std::make_unique<CTestServer>(env, LoggingComponents::Make(m_log, m_parts), m_log);
        m_server->m_plan[0].push_back(std::make_unique<CFakeDevice>(m_log, "dev"));
        m_server->m_candidates[0] = 1;
        m_server->Handle(kMsgStart);
        m_log.clear();
        m_server->m_posted.clear();
    }

    CTempDir m_dir;
    CManualClock m_clock;
    CallLog m_log;
    LoggingComponents m_parts{};
    std::unique_ptr<CTestServer> m_server;
};

TEST_F(ServerMessagesTest, EachCodeHasItsAction) {
    struct Case {
        ServerMessage message;
        CallLog expected;
    };
    const std::vector<Case> cases = {
        {{16, 2, 0, 0}, {J(1, 63, 3, 1)}},
        {{17, 2, 0, 0}, {J(0, 64, 3, 1)}},
        {{20, 0, 5, 0}, {J(0, 87, 6, 1)}},
        {{28, 0, 5, 0}, {J(0, 95, 6, 1)}},
        {{38, 0, 0, 0}, {"dev.RestartHardware"}},
        {{38, 7, 0, 0}, {}},  // no device in that position
        {{41, 0, 3, 0}, {"dev.OnDeviceNotification(3)"}},
        {{43, 0, 4711, 16000}, {"dev.SetCodecMode(16000,2,0)", J(1, 445, 1, 4711)}},
        {{6, 8, 1, 2}, {"policy.OnFailure(8,1,2)"}},  // no device in that position
        {{6, 8, 0, 0}, {J(1, 130, 0), "policy.OnFailure(8,0,0)"}},  // its data stopped
        {{6, 8, 0, 1}, {J(0, 131, 0), "policy.OnFailure(8,0,1)"}},  // and returned
        {{3, 5, 20, 0}, {"policy.OnException(5,device 0)"}},
        {{3, 5, 40, 21}, {"policy.OnException(5,device 20)"}},  // not the database
        {{3, 5, 40, 0}, {"policy.OnException(5,database 0)"}},
        {{3, 5, 7, 0}, {"policy.OnException(5,message 7)"}},
        {{4, 0, 0, 0}, {}},
        {{8, 0, 1, 0}, {}},
        {{99, 1, 2, 3}, {}},
        {{-1, 0, 0, 0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.code);
        m_log.clear();
        m_server->Handle(c.message.code, c.message.a, c.message.b, c.message.c);
        EXPECT_EQ(m_log, c.expected);
    }
}

TEST_F(ServerMessagesTest, StatisticsMessageCountsSkippedBytes) {
    m_server->Handle(7, 0, 100);
    m_server->Handle(7, 0, 28);
    m_server->Handle(7, 100, 5);  // outside the table: ignored
    m_server->Handle(7, -1, 5);
    EXPECT_EQ(m_server->DeviceStat(0, 1), 128u);
}

TEST_F(ServerMessagesTest, ArchiverEventsAreJournaledAndMailed) {
    struct Case {
        int event;
        int argument;
        CallLog expected;
    };
    const std::vector<Case> cases = {
        {1, 1, {J(0, 239), "mail.Notify(8,-,1)"}},
        {1, 2, {J(0, 240), "mail.Notify(8,-,1)"}},
        {2, 3, {J(1, 241, std::string("medium3")), "mail.Notify(8,-,1)"}},
        {8, 0, {J(0, 243, std::string("medium0")), "mail.Notify(8,-,1)"}},
        {9, 17, {J(1, 249, 17)}},  // journal only
        {10, 1, {J(1, 242, std::string("medium1")), "mail.Notify(8,-,1)"}},
        {1, 7, {JournalEntry(7, "")}},
        {42, 1, {JournalEntry(1, "")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        m_log.clear();
        m_server->Handle(kMsgArchiver, c.event, c.argument);
        EXPECT_EQ(m_log, c.expected);
    }
}

TEST_F(ServerMessagesTest, RecordDirectorySetter) {
    const std::string existing = m_dir.File("rec");
    std::filesystem::create_directory(existing);
    std::ofstream(m_dir.File("plainfile")) << "x";

    EXPECT_EQ(m_server->SetRecordDirectory(0, existing + "/"), 0);  // one trailing '/' goes
    EXPECT_EQ(m_server->RecordDirectory(0), existing);
    EXPECT_TRUE(AppearInOrder(m_log, {"dev.SetRecordRoot", Posted(kMsgRecordDirectory, 0, 0),
                                      "compressor.SetRecordPath(0)"}));

    // Not the current directory: no devices, no message.
    m_log.clear();
    const std::string created = m_dir.File("new/deeper");
    EXPECT_EQ(m_server->SetRecordDirectory(1, created), 0);
    EXPECT_TRUE(std::filesystem::is_directory(created));
    EXPECT_EQ(m_log, (CallLog{J(0, 220, created), "compressor.SetRecordPath(1)"}));

    // A directory that cannot be made falls back to the default one.
    m_log.clear();
    const std::string impossible = m_dir.File("plainfile/sub");
    EXPECT_EQ(m_server->SetRecordDirectory(1, impossible), -1);
    EXPECT_EQ(m_server->RecordDirectory(1), m_server->DefaultRecordDirectory());
    EXPECT_TRUE(AppearInOrder(m_log, {J(0, 220, impossible),
                                      J(1, 221, impossible, m_server->DefaultRecordDirectory()),
                                      J(0, 223, m_server->DefaultRecordDirectory())}));

    EXPECT_EQ(m_server->SetRecordDirectory(2, existing), -1);
    EXPECT_EQ(m_server->SetRecordDirectory(0, std::string(261, 'a')), -1);
    EXPECT_EQ(m_server->RecordDirectory(0), existing);
}

TEST(ServerThreadTest, ExceptionWhileStartingDevicesIsReportedWithSourceForty) {
    // The handlers run on the server thread: the policy flags what it gets.
    class CFlagPolicy final : public IFailurePolicy {
    public:
        void OnFailure(int32_t, int32_t, int32_t) override {}
        void OnException(int32_t code, const ExceptionOrigin& origin) override {
            if (code == 0 && origin.group == ExceptionGroup::kDatabase &&
                origin.source == kMsgStartDevices) {
                m_reported = true;
            }
        }
        std::atomic<bool> m_reported{false};
    };
    CTempDir dir;
    CallLog log;
    LoggingComponents parts{};
    ServerComponents components = LoggingComponents::Make(log, parts);
    auto policy = std::make_unique<CFlagPolicy>();
    CFlagPolicy* flags = policy.get();
    components.failurePolicy = std::move(policy);
    ServerEnvironment env;
    env.prefix = "ZORV";
    env.workDir = dir.Path();
    env.registryFile = dir.File("registry.ini");
    CTestServer server(env, std::move(components), log);
    server.m_queueForReal = true;
    auto device = std::make_unique<CFakeDevice>(log, "dev");
    device->m_throwOnStart = true;
    server.m_plan[0].push_back(std::move(device));
    server.m_candidates[0] = 1;

    ASSERT_TRUE(server.Start());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flags->m_reported && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.Stop();
    EXPECT_TRUE(flags->m_reported);
}

}  // namespace
}  // namespace zorv::test
