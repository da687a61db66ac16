// The command table behind the client server: every code answers the size
// of its row, rights and journal texts by case table, user administration
// ending connections, the operators list in messages that fit, and no
// password leaving the server. The server's operations are a recording
// double; the data a fake of two devices of 4 channels (lines 0-3, 4-7).
#include <fstream>
#include <sstream>

#include "ClientServerFixture.h"
#include "access/ClientOperations.h"

namespace zorv::test {
namespace {

// Records every call as text; every operation succeeds.
class CRecordingOperations final : public IClientOperations {
public:
    int SetChannelEnable(int d, int f, int l, int32_t v) override { return Call("Enable", d, f, l, v); }
    int SetChannelCompress(int d, int f, int l, uint32_t v) override { return Call("Compress", d, f, l, v); }
    int SetChannelActivate(int d, int f, int l, uint32_t v) override { return Call("Activate", d, f, l, v); }
    int SetChannelTOn(int d, int f, int l, uint32_t v) override { return Call("TOn", d, f, l, v); }
    int SetChannelTOff(int d, int f, int l, uint32_t v) override { return Call("TOff", d, f, l, v); }
    int SetChannelTreshold(int d, int f, int l, uint32_t v) override { return Call("Treshold", d, f, l, v); }
    int SetChannelSampleRate(int d, int f, int l, uint32_t v) override { return Call("Rate", d, f, l, v); }
    int SetStereoChannel(int d, int m, int s) override { return Call("Stereo", d, m, s, 0); }
    int UndoStereoChannel(int d, int m, int s) override { return Call("Mono", d, m, s, 0); }
    int ManualActivateChannel(int d, int c, bool on) override { return Call("Manual", d, c, c, on); }
    int SetChannelDefaultParam(int d, int f, int l) override { return Call("Defaults", d, f, l, 0); }
    int SetGainAdc(int d, int c, int g) override { return Call("Gain", d, c, c, g); }
    int SetChannelMute(int d, int c, bool on) override { return Call("Mute", d, c, c, on); }
    int GetChannelMute(int, int) override { return 0; }
    int AddAlias(int d, int c, const std::string&) override { return Call("Alias", d, c, c, 0); }
    int SetTlfParam(int d, int f, int l, const LineParams&) override { return Call("Tlf", d, f, l, 0); }
    int SetChannelSourceSignal(int d, int f, int l, uint32_t v) override { return Call("Source", d, f, l, v); }
    int SetChannelKeyEnable(int d, int f, int l, uint32_t v) override { return Call("Key", d, f, l, v); }
    bool GetAonFlags(int, int, uint32_t& flags) override { flags = 0; return true; }
    int SetAonFlags(int d, int c, uint32_t v) override { return Call("Aon", d, c, c, v); }
    int SetPolarity(int d, int c, int v) override { return Call("Polarity", d, c, c, v); }
    bool GetPolarityCheckTimeOut(int, int, uint32_t& s) override { s = 0; return true; }
    int SetPolarityCheckTimeOut(int d, int c, uint32_t v) override { return Call("PolarityTime", d, c, c, v); }
    int SetChannelArchivate(int d, int c, uint32_t v) override { return Call("Archivate", d, c, c, v); }
    int ShutDown() override { return Call("ShutDown", 0, 0, 0, 0); }
    int ClearJournal() override { return Call("ClearJournal", 0, 0, 0, 0); }

    std::vector<std::string> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_calls, {});
    }

private:
    int Call(const char* what, int d, int a, int b, int64_t v) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::string(what) + " " + std::to_string(d) + " " + std::to_string(a) +
                          " " + std::to_string(b) + " " + std::to_string(v));
        return 1;
    }
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

// A user with network access, these function bits and global channels
// 0..channels-1.
tagUserAccountRecord RightsUser(std::string_view name, std::initializer_list<int> bits,
                                int channels) {
    tagUserAccountRecord record = Deciphered(UserRecord(name, "pw", 0, {}));
    record.MonitorRigth[0] |= 2;  // bit 1: network access
    for (int bit : bits) {
        record.MonitorRigth[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    for (int g = 0; g < channels; ++g) {
        record.ChannelsMonitorRight[g / 8] |= static_cast<uint8_t>(1u << (g % 8));
    }
    CipherRecordFields(record);
    return record;
}

Bytes Request(uint8_t code, uint8_t index, std::initializer_list<uint8_t> head, std::size_t size) {
    Bytes b(size, 0);
    b[0] = code;
    b[1] = index;
    std::size_t at = 2;
    for (uint8_t v : head) {
        b[at++] = v;
    }
    return b;
}

void PutU32(Bytes& b, std::size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, sizeof(v));
}

// A 21-byte enciphered name field at `at`.
void PutName(Bytes& b, std::size_t at, std::string_view name) {
    std::memcpy(b.data() + at, name.data(), name.size());
    ApplyCredentialCipher(b.data() + at, 21);
}

class ClientCommandsTest : public ClientServerTest {
protected:
    ClientCommandsTest() { m_operations = &m_ops; }
    void SetUp() override {
        ClientServerTest::SetUp();
        ASSERT_TRUE(m_users.AddAsOwner(RightsUser("chan15", {15}, 4)));
        ASSERT_TRUE(m_users.AddAsOwner(RightsUser("net28", {28}, 0)));
        ASSERT_TRUE(m_users.AddAsOwner(RightsUser("net28and32", {28, 32}, 0)));
    }
    std::string Address(const CTestClient& client) {
        return "127.0.0.1:" + std::to_string(client.LocalPort());
    }

    CRecordingOperations m_ops;
};

// Reads one reply of the code's row (a stream to its end) and checks that
// nothing else follows: the reply of code 2 comes next.
TEST_F(ClientCommandsTest, EveryCodeAnswersTheSizeOfItsRow) {
    auto client = LoggedIn("admin", "secret");
    for (const CommandSize& row : kCommands) {
        if (row.code == 1) {
            continue;
        }
        Bytes request(row.request, 0);
        request[0] = row.code;
        if (row.code == 33) {
            PutName(request, 4, "nobody");
        }
        ASSERT_TRUE(client->Send(request)) << int(row.code);
        std::size_t messages = 1;
        switch (row.code) {
            case 35: messages = m_users.ListAllUsers().size() + 1; break;  // and the end
            case 38: messages = 2; break;  // this client and the end
            case 58: messages = 0; break;  // no journal file: the end alone
            default: break;
        }
        for (std::size_t i = 0; i < messages && row.reply > 0; ++i) {
            const Bytes reply = client->Read(row.reply);
            ASSERT_EQ(reply.size(), row.reply) << int(row.code);
            EXPECT_EQ(reply[0], row.code);
            // The index: the client's number (38), the alias's line (40).
            const int index = row.code == 38 && i == 0 ? 1 : row.code == 40 ? 5 : 0;
            EXPECT_EQ(reply[1], index) << int(row.code);
            if (row.code == 35) {
                EXPECT_EQ(U32At(reply, 2), i + 1 < messages ? i + 1 : 0);
            }
        }
        if (row.code == 58) {
            EXPECT_EQ(client->Read(2), (Bytes{58, 2}));
        }
        client->Send({2, 0, 0, 0});
        const Bytes sync = client->Read(442);
        ASSERT_EQ(sync.size(), 442u) << int(row.code);
        ASSERT_EQ(sync[0], 2) << "after code " << int(row.code);
    }
}

TEST_F(ClientCommandsTest, RightsDeviceAndJournalByCase) {
    Bytes add230 = Request(230, 0, {}, 57);
    PutU32(add230, 4, 2);    // position
    PutU32(add230, 9, 777);  // the stored record's serial number
    struct Case {
        const char* user;
        Bytes request;
        int32_t status;
        std::string call;  // the operation called, empty for none
        int journal;       // text id expected, 0 none
    } cases[] = {
        // Listening: allowed, answers 1 and changes nothing.
        {"chan15", Request(22, 0, {0, 3, 1}, 8), 1, "", 0},
        // Adding a transcoder needs bits 28 and 32.
        {"net28", add230, -1, "", 190},
        {"net28and32", add230, 0, "", 0},  // allowed; no operation here yet
        // Switching channels journals the word for on or off.
        {"admin", Request(7, 1, {0, 1, 1}, 8), 1, "Enable 1 0 1 1", 148},
        {"admin", Request(7, 1, {2, 2, 0}, 8), 1, "Enable 1 2 2 0", 148},
        {"chan15", Request(7, 0, {0, 3, 1}, 8), 1, "Enable 0 0 3 1", 148},
        // Channels of another device are other global channels.
        {"chan15", Request(7, 1, {0, 1, 1}, 8), -1, "", 0},
        // The device and the channels are checked before the rights.
        {"net28", Request(7, 7, {0, 0, 1}, 8), 0, "", 0},
        {"chan15", Request(7, 0, {0, 4, 1}, 8), 0, "", 0},
        {"net28", Request(7, 0, {0, 0, 1}, 8), -1, "", 0},
        // A refusal text of its own, with the device and channel.
        {"net28", Request(74, 1, {1, 0, 5}, 8), -1, "", 168},
        // The archiver's channel flag needs the storage bit 4.
        {"chan15", Request(112, 0, {1, 0, 1}, 8), -1, "", 0},
        {"admin", Request(112, 0, {1, 0, 1}, 8), 1, "Archivate 0 1 1 1", 0},
        // Administrators only.
        {"chan15", Request(59, 0, {}, 4), -1, "", 0},
        {"admin", Request(59, 0, {}, 4), 1, "ClearJournal 0 0 0 0", 197},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + " code " + std::to_string(c.request[0]));
        auto client = LoggedIn(c.user, c.user == std::string("admin") ? "secret" : "pw");
        const std::string address = Address(*client);
        client->Send(c.request);
        const Bytes reply = client->Read(6);
        ASSERT_EQ(reply.size(), 6u);
        EXPECT_EQ(reply[0], c.request[0]);
        EXPECT_EQ(static_cast<int32_t>(U32At(reply, 2)), c.status);
        const std::vector<std::string> calls = m_ops.Take();
        EXPECT_EQ(calls, c.call.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>{c.call});
        const uint8_t d = c.request[1], a = c.request[2], b = c.request[3];
        std::string line;
        switch (c.journal) {
            case 148:
                line = Line(0, 148, c.user, address, CatalogText(Msg{c.request[4] ? 15 : 14}),
                            a + 1u, b + 1u, d + 1u);
                break;
            case 190:
                line = Line(1, 190, c.user, address, 777u, 2u, CatalogText(Msg{7}));
                break;
            case 168:
                line = Line(1, 168, c.user, address, d + 1u, a + 1u);
                break;
            case 197:
                line = Line(0, 197, c.user, address);
                break;
            default:
                break;
        }
        if (!line.empty()) {
            EXPECT_EQ(m_journal.Count(line), 1) << line;
        }
    }
}

TEST_F(ClientCommandsTest, ServerUsersWithNoClientsIsTheTerminatorAlone) {
    EXPECT_TRUE(m_server->GetServerUsers().empty());
    const std::vector<ServerUserMessage> messages = ServerUserMessages({});
    ASSERT_EQ(messages.size(), 1u);
    const ServerUserMessage zero{38, 0, {}};
    EXPECT_EQ(std::memcmp(&messages[0], &zero, sizeof(zero)), 0);
}

TEST_F(ClientCommandsTest, DeletingAUserEndsItsConnections) {
    auto first = LoggedIn("operator", "pw");
    auto second = LoggedIn("operator", "pw");
    auto admin = LoggedIn("admin", "secret");
    Bytes remove = Request(33, 0, {}, 52);
    PutName(remove, 4, "operator");
    admin->Send(remove);
    EXPECT_EQ(admin->Read(6), (Bytes{33, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(first->WaitClosed());
    EXPECT_TRUE(second->WaitClosed());
    EXPECT_EQ(m_journal.Count(Line(0, 163, "admin", Address(*admin), "operator")), 1);
    // The administrator goes on.
    admin->Send({2, 0, 0, 0});
    EXPECT_EQ(admin->Read(442).size(), 442u);
}

TEST_F(ClientCommandsTest, DeletingOneselfDisconnectsWithReasonOne) {
    ASSERT_TRUE(m_users.AddAsOwner(UserRecord("second", "pw", 1)));
    auto client = LoggedIn("second", "pw");
    Bytes remove = Request(33, 3, {}, 52);
    PutName(remove, 4, "second");
    client->Send(remove);
    EXPECT_EQ(client->Read(6), (Bytes{33, 3, 1, 0, 0, 0}));
    EXPECT_EQ(client->Read(6), Notice(3, 1));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_FALSE(m_users.Exists("second"));
}

TEST_F(ClientCommandsTest, OperatorEntriesInMessagesThatFit) {
    struct Case {
        int entries;
        std::vector<std::size_t> messages;  // sizes; byte 2 = (size - 24) / 50
    } cases[] = {{0, {24}}, {1, {74}}, {42, {2124, 24}}, {43, {2124, 74}}};
    auto client = LoggedIn("admin", "secret");
    for (const Case& c : cases) {
        const std::string name = "user" + std::to_string(c.entries);
        const EncipheredName stored = EncipherName(name);
        for (int i = 0; i < c.entries; ++i) {
            OperatorEntry entry{};
            entry[0] = static_cast<uint8_t>(i);
            ASSERT_TRUE(m_users.AddOperator(stored, entry));
        }
        Bytes request = Request(150, 2, {}, 24);  // sub-code 2: the name plain
        std::memcpy(request.data() + 4, name.data(), name.size());
        client->Send(request);
        int seen = 0;
        for (std::size_t size : c.messages) {
            const Bytes message = client->Read(size);
            ASSERT_EQ(message.size(), size) << c.entries;
            EXPECT_EQ(message[2], (size - 24) / 50);
            for (std::size_t at = 24; at < size; at += 50) {
                EXPECT_EQ(message[at], seen++);
            }
        }
        EXPECT_EQ(seen, c.entries);
    }
    client->Send({2, 0, 0, 0});
    EXPECT_EQ(client->Read(442)[0], 2);
}

TEST_F(ClientCommandsTest, NoPasswordLeavesTheServer) {
    auto client = LoggedIn("admin", "secret");
    // A modify with an empty password keeps the stored one.
    Bytes modify = Request(34, 0, {}, 2134);
    const tagUserAccountRecord record = UserRecord("operator", "", 0, {0, 1, 15});
    std::memcpy(modify.data() + 4, &record, sizeof(record));
    client->Send(modify);
    EXPECT_EQ(client->Read(6), (Bytes{34, 0, 1, 0, 0, 0}));
    LoggedIn("operator", "pw");
    // Records sent carry an empty password.
    const std::size_t password = 6 + offsetof(tagUserAccountRecord, Password);
    Bytes byIndex = Request(80, 0, {}, 8);
    Bytes byName = Request(81, 0, {}, 52);
    PutName(byName, 4, "operator");
    for (const Bytes& request : {byIndex, byName}) {
        client->Send(request);
        const Bytes reply = client->Read(2136);
        ASSERT_EQ(reply.size(), 2136u);
        EXPECT_EQ(U32At(reply, 2), 1u) << int(request[0]);
        EXPECT_EQ(std::count(reply.begin() + password, reply.begin() + password + 20, 0), 20);
    }
}

// The table and the protocol document agree row for row.
TEST(ClientCommandTable, MatchesTheProtocolDocument) {
    std::ifstream doc(std::string(ZORV_SOURCE_DIR) + "/docs/protocol.md");
    ASSERT_TRUE(doc);
    std::string line;
    std::size_t rows = 0;
    while (std::getline(doc, line)) {
        int code = 0;
        char operation[64] = {};
        unsigned request = 0;
        unsigned reply = 0;
        if (std::sscanf(line.c_str(), "| %d | %63[^|]| %u | %u", &code, operation, &request,
                        &reply) != 4) {
            continue;
        }
        const CommandSize* row = FindCommand(static_cast<uint8_t>(code));
        ASSERT_NE(row, nullptr) << code;
        EXPECT_EQ(row->request, request) << code;
        EXPECT_EQ(row->reply, reply) << code;
        EXPECT_EQ((row->flags & kCmdServed) != 0, line.ends_with("| yes |")) << code;
        std::string right = row->right == kNoRight     ? "–"
                            : row->right == kAdminRight ? "admin"
                                                        : std::to_string(row->right);
        if (row->right2 != kNoRight) {
            right += " and " + std::to_string(row->right2);
        }
        EXPECT_NE(line.find("| " + right + " |"), std::string::npos) << code;
        ++rows;
    }
    EXPECT_EQ(rows, kCommands.size());
}

}  // namespace
}  // namespace zorv::test
