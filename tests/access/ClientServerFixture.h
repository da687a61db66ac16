// The client server's test fixture: a journal that records its lines, a
// fake of the server's data (two devices of 4 channels), the users database
// on a temporary directory, and helpers to connect and log in.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "ClientWire.h"
#include "UsersTestSupport.h"
#include "access/ClientServer.h"
#include "support/TempDir.h"

namespace zorv::test {

using namespace std::chrono_literals;

class CRecordingJournal final : public IJournal {
public:
    void WriteJournal(int kind, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::to_string(kind) + " " + std::string(text));
    }
    int Count(const std::string& line) {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(std::count(m_lines.begin(), m_lines.end(), line));
    }
    // Lines that hold the text.
    int CountContaining(const std::string& text) {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    // Polls until the line is there (the connection threads write it).
    bool WaitFor(const std::string& line) {
        for (int i = 0; i < 2000; ++i) {
            if (Count(line) > 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

template <typename... Args>
std::string Line(int kind, int id, const Args&... args) {
    return std::to_string(kind) + " " + FormatCatalogText(Msg{id}, args...);
}

// Two devices of 4 channels; channel parameters and a journal file.
class CFakeData final : public IClientData {
public:
    void StateDvr(tagStateProgramm& out) override {
        out = {};
        out.State = 3;
    }
    void DvrConfig(tagDvrConfig& out) override {
        out = {};
        out.DeviceCount = 2;
        std::strcpy(out.Path[0], "/records/a");
        out.Quota[1] = 77;
    }
    void ServiceParam(ServiceParametrs& out) override { out = {}; }
    bool DeviceConfig(int device, DeviceConfigReply& out) override {
        out = {};
        out.ChannelCount = 4;
        out.FirstLine = static_cast<uint32_t>(device * 4);
        return device < 2;
    }
    bool ChannelParam(int device, int channel, tagChanelParam& out) override {
        if (device >= 2 || channel >= 4) {
            return false;
        }
        out = kDefaultChanelParam;
        out.Treshold = static_cast<uint32_t>(1000 + device * 10 + channel) + m_generation.load();
        return true;
    }
    bool ChannelStates(int device, tagCHANELS_STATE& out) override {
        out = {};
        out.Chanel[1].StateLine = 3;
        return device < 2;
    }
    bool GainAdc(int, int, int32_t& gain) override {
        gain = 5;
        return true;
    }
    void PathSpace(PathSpaceReply& out) override { out = {}; }
    std::vector<LineAlias> Aliases() override { return {{5, "Reception"}}; }
    bool TlfParam(int, int, LineParams& out) override {
        out = kDefaultLineParams;
        return true;
    }
    bool ServiceTlfParam(int, std::span<uint8_t, kServiceTlfParamSize> out) override {
        std::fill(out.begin(), out.end(), uint8_t{7});
        return true;
    }
    std::string JournalPath() override { return m_journalPath; }

    std::string m_journalPath;
    std::atomic<uint32_t> m_generation{0};
};

class ClientServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_users.Initialise(m_dir.Path(), "ZORV"));
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("admin", "secret", 1)));
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("operator", "pw", 0, {0, 1})));
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("local", "pw", 0, {0})));
        m_data.m_journalPath = m_dir.File("journal.txt");
        Restart(ProtocolOptions());
    }
    // The protocol as it stands: refused logins are neither slowed nor
    // journaled in bursts (the tests of the login guard turn them on).
    static ClientServerOptions ProtocolOptions() {
        ClientServerOptions options;
        options.logins.delayStart = 0ms;
        options.logins.burstQuiet = 0s;
        return options;
    }
    void TearDown() override { m_server->Stop(); }

    void Restart(ClientServerOptions options) {
        if (m_server) {
            m_server->Stop();
        }
        options.bindAddress = "127.0.0.1";
        options.waitPeriod = 10ms;
        options.acceptPeriod = 10ms;
        m_server = std::make_unique<CClientServer>(m_journal, m_users, m_data, m_clock, options);
        if (m_operations != nullptr) {
            m_server->SetOperations(*m_operations);
        }
        ASSERT_TRUE(m_server->StartServer(0));
    }
    std::unique_ptr<CTestClient> Connect(int receiveBuffer = 0, const char* from = nullptr) {
        auto client = std::make_unique<CTestClient>(m_server->Port(), receiveBuffer, from);
        EXPECT_TRUE(client->Connected());
        return client;
    }
    // Logs in and checks the grant.
    std::unique_ptr<CTestClient> LoggedIn(std::string_view name = "operator",
                                          std::string_view password = "pw", uint32_t userId = 0,
                                          const char* from = nullptr) {
        auto client = Connect(0, from);
        client->Send(LoginBytes(name, password, userId));
        const Bytes reply = client->Read(2136);
        EXPECT_EQ(reply.size(), 2136u);
        EXPECT_EQ(reply.size() >= 6 ? U32At(reply, 2) : 0, 1u) << name;
        return client;
    }
    // Polls until the server holds n open connections.
    bool WaitConnections(std::size_t n) {
        for (int i = 0; i < 2000; ++i) {
            if (m_server->ConnectionCount() == n) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    static Bytes Notice(uint8_t index, uint32_t reason) {
        return {255, index, static_cast<uint8_t>(reason), 0, 0, 0};
    }

    CTempDir m_dir;
    CRecordingJournal m_journal;
    CUsersDatabase m_users{m_journal};
    CFakeData m_data;
    CManualClock m_clock;
    IClientOperations* m_operations = nullptr;  // set before Restart; none: unavailable
    std::unique_ptr<CClientServer> m_server;
};

}  // namespace zorv::test
