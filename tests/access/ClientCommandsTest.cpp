// The command table behind the client server: every code answers the size
// of its row, rights and journal texts by case table, user administration
// ending connections, the operators list in messages that fit, and no
// password leaving the server. The server's operations are a recording
// double; the data a fake of two devices of 4 channels (lines 0-3, 4-7).
#include <fstream>
#include <functional>
#include <sstream>

#include "ClientServerFixture.h"
#include "access/ClientOperations.h"
#include "transcoders/TranscoderProtocol.h"

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
    // Channel 3 of device 1 has the values 2, 1 and 0xFFFFFFFF (-1) and a
    // monitor record of 42 s running; other channels have none.
    bool GetChannelSourceSignal(int d, int c, uint32_t& v) override { v = 2; return d == 1 && c == 3; }
    bool GetChannelKeyEnable(int d, int c, uint32_t& v) override { v = 1; return d == 1 && c == 3; }
    bool GetPolarity(int d, int c, uint32_t& v) override { v = 0xFFFFFFFF; return d == 1 && c == 3; }
    // Device 1 is a network transcoder device: SPEEX mode 16 at 16000 Hz,
    // buffering on; only 8000 and 16000 Hz are accepted.
    int SetNet2CompressMode(int d, uint32_t rate, uint32_t c, uint32_t s) override {
        return Call("Codec", d, static_cast<int>(c), static_cast<int>(s), rate) && d == 1 && rate <= 16000;
    }
    bool GetNet2CompressMode(int d, uint32_t rate, uint32_t& c, uint32_t& s) override {
        c = 1;
        s = 16;
        return d == 1 && rate == 16000;
    }
    int SetNet2BufferMode(int d, uint32_t mode) override { return Call("Buffer", d, 0, 0, mode) && d == 1; }
    bool GetNet2BufferMode(int d, uint32_t& mode) override {
        mode = d == 1 ? 1 : 0;
        return d == 1;
    }
    int StartMonitorRecord(int d, int c) override { return Call("Monitor", d, c, c, 1) && c < 4; }
    int StopMonitorRecord(int d, int c) override { return Call("Monitor", d, c, c, 0) && c < 4; }
    int GetMonitorRecord(int d, int c, bool& running, uint32_t& seconds) override {
        running = d == 1 && c == 3;
        seconds = 42;
        return c < 4;
    }
    int ShutDown() override { return Call("ShutDown", 0, 0, 0, 0); }
    int ClearJournal() override { return Call("ClearJournal", 0, 0, 0, 0); }
    int SetQuota(uint32_t a, uint32_t b) override { return Call("Quota", 0, a, b, 0); }
    int SetDelSize(uint32_t v) override { return Call("DelSize", 0, 0, 0, v); }
    int SetPath(int index, const std::string&) override { return Call("Path", 0, index, index, 0); }
    // The longest below the shortest fails, as the server's does.
    int SetFileSizes(uint32_t a, uint32_t b) override { return Call("FileSizes", 0, a, b, 0) && a <= b; }
    void GetDeleteFilesAtDateConfig(bool& enable, uint32_t& days) override { enable = true; days = 30; }
    // Mono 8000 Hz records become GSM 6.10 (tag 49, 1625 bytes a second).
    bool GetCompressFormat(uint32_t rate, uint32_t channels, uint32_t& tag, uint32_t& bps) override {
        tag = 49;
        bps = 1625;
        return rate == 8000 && channels == 1;
    }
    int SetDeleteFilesAtDateConfig(bool on, uint32_t days) override { return Call("ByAge", 0, on, 0, days); }
    // Transcoders: serial 777 is registered at position 2 and found (index
    // 0); anything else is not.
    uint32_t GetFoundTranscodersCount() override { return 1; }
    bool GetFoundTranscoder(uint32_t i, tagTranscoderEntry& e) override {
        e = {};
        e.info.SerialNumber = 777;
        e.polling_state = 4;
        return i == 0;
    }
    int StartTranscoder(uint32_t s) override { return Call("Start", 0, 0, 0, s) && s == 777; }
    int StopTranscoder(uint32_t s) override { return Call("Stop", 0, 0, 0, s) && s == 777; }
    bool GetTranscoderStatistic(uint32_t s, tagTranscoderStatistic& st) override {
        st = {};
        st.nPacketReceive = 55;
        return s == 777;
    }
    uint32_t GetTranscoderConfig(uint32_t s, const std::string& password, DeviceConfig& c) override {
        Call(("Config " + password).c_str(), 0, 0, 0, s);
        std::memset(&c, 'x', sizeof(c));
        return s == 777 ? 0 : 6;
    }
    uint32_t SetTranscoderConfig(uint32_t s, const DeviceConfig& c) override {
        return Call("SetConfig", 0, c.Protocol, 0, s) && s == 777 ? 0 : 2;
    }
    int StartTranscodersSearch() override { return Call("Search", 0, 1, 0, 0); }
    int StopTranscodersSearch() override { return Call("Search", 0, 0, 0, 0); }
    bool GetTranscodersSearchStatus() override { return true; }
    bool GetAonForm(uint32_t s, uint32_t& level, uint32_t& form) override {
        level = 80;
        form = 1;
        return s == 777;
    }
    int SetAonForm(uint32_t s, uint32_t l, uint32_t f) override { return Call("AonForm", 0, l, f, s) && s == 777; }
    int AddConfigPort(uint16_t p) override { return Call("AddPort", 0, 0, 0, p); }
    int DelConfigPort(uint16_t p) override { return Call("DelPort", 0, 0, 0, p); }
    uint32_t GetCountConfigPorts() override { return 3; }
    bool GetConfigPort(uint32_t i, uint16_t& p) override { p = 5000; return i < 3; }
    int AddStaticAddress(uint32_t ip, uint16_t p) override { return Call("AddAddress", 0, 0, p, ip); }
    int DelStaticAddress(uint32_t ip, uint16_t p) override { return Call("DelAddress", 0, 0, p, ip); }
    uint32_t GetCountStaticAddress() override { return 1; }
    bool GetStaticAddress(uint32_t i, uint32_t& ip, uint16_t& p) override {
        ip = 0x0100007F;
        p = 5001;
        return i == 0;
    }
    int AddNetDevice(uint32_t position, const tagStoredTranscoderConfig& c, uint32_t& at,
                     uint32_t& serial) override {
        at = std::min(position, 2u);
        serial = c.tsSerialNumber;
        return Call("AddNet", 0, static_cast<int>(position), 0, serial);
    }
    int RemoveNetDevice(uint32_t s, uint32_t& position) override {
        position = 2;
        return Call("RemoveNet", 0, 0, 0, s) && s == 777;
    }
    int ReposNetDevice(uint32_t from, uint32_t to, uint32_t& serial) override {
        serial = 777;
        return Call("ReposNet", 0, static_cast<int>(from), static_cast<int>(to), 0) && from == 2;
    }
    uint32_t GetCountNetDevice() override { return 3; }
    bool GetConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& c) override {
        std::memset(&c, 'p', sizeof(c));
        c.tsSerialNumber = 777;
        return position == 2;
    }
    int SetConfigNetDevice(uint32_t s, const tagStoredTranscoderConfig&, uint32_t flags,
                           uint32_t& position) override {
        position = 2;
        return Call("SetNet", 0, 0, static_cast<int>(flags), s) && s == 777;
    }

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
        {"net28and32", add230, 1, "AddNet 0 2 0 777", 0},
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

// A command of a family, what it answers and what it leaves behind.
struct FamilyCase {
    const char* user;
    Bytes request;
    std::size_t replySize;
    int32_t result;               // i32 at byte 2
    std::vector<uint32_t> words;  // the u32 words after the result (replies of 10 and 14)
    std::string call;             // the operation called, empty for none
    // The journal line expected, from the user's name and address; none: null.
    std::function<std::string(const std::string&, const std::string&)> journal;
};

Bytes Words(uint8_t code, std::initializer_list<uint32_t> words, std::size_t size) {
    Bytes b = Request(code, 0, {}, size);
    std::size_t at = 4;
    for (uint32_t w : words) {
        PutU32(b, at, w);
        at += 4;
    }
    return b;
}

template <typename... Args>
auto Journaled(int kind, int id, const Args&... args) {
    return [=](const std::string& user, const std::string& address) {
        return Line(kind, id, user, address, args...);
    };
}

class ClientFamilyTest : public ClientCommandsTest {
protected:
    // Runs the cases; returns the replies for checks of their records.
    std::vector<Bytes> Run(const std::vector<FamilyCase>& cases) {
        std::vector<Bytes> replies;
        for (const FamilyCase& c : cases) {
            SCOPED_TRACE(std::string(c.user) + " code " + std::to_string(c.request[0]) +
                         " case " + std::to_string(replies.size()));
            auto client = LoggedIn(c.user, c.user == std::string("admin") ? "secret" : "pw");
            client->Send(c.request);
            const Bytes reply = client->Read(c.replySize);
            replies.push_back(reply);
            if (reply.size() != c.replySize) {
                ADD_FAILURE() << "reply of " << reply.size() << " bytes";
                continue;
            }
            EXPECT_EQ(reply[0], c.request[0]);
            EXPECT_EQ(static_cast<int32_t>(U32At(reply, 2)), c.result);
            for (std::size_t i = 0; i < c.words.size(); ++i) {
                EXPECT_EQ(U32At(reply, 6 + 4 * i), c.words[i]) << "word " << i;
            }
            const std::vector<std::string> calls = m_ops.Take();
            EXPECT_EQ(calls, c.call.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{c.call});
            if (c.journal) {
                const std::string line = c.journal(c.user, Address(*client));
                EXPECT_EQ(m_journal.Count(line), 1) << line;
            }
        }
        return replies;
    }
};

// Quotas, deletion size, record lengths and deletion by age: the storage bit
// 4, the texts of the age switch, and 87's reply of switch and days.
TEST_F(ClientFamilyTest, StorageCommands) {
    const std::string denied = CatalogText(Msg{7});
    Run({
        {"admin", Words(15, {100, 70}, 12), 6, 1, {}, "Quota 0 100 70 0", nullptr},
        {"net28", Words(15, {100, 70}, 12), 6, -1, {}, "", nullptr},
        {"admin", Words(42, {500}, 8), 6, 1, {}, "DelSize 0 0 0 500", nullptr},
        {"admin", Words(43, {60, 3600}, 16), 6, 1, {}, "FileSizes 0 60 3600 0", nullptr},
        {"admin", Words(43, {120, 60}, 16), 6, 0, {}, "FileSizes 0 120 60 0", nullptr},
        {"net28", Words(87, {}, 4), 10, 1, {30}, "", nullptr},
        // 28: channels at byte 2, the rate at byte 4; tag and bytes a second.
        {"net28", Request(28, 0, {1, 0, 0x40, 0x1F}, 8), 14, 1, {49, 1625}, "", nullptr},
        {"net28", Request(28, 0, {2, 0, 0x40, 0x1F}, 8), 14, 0, {0, 0}, "", nullptr},
        {"admin", Words(88, {1, 30}, 12), 6, 1, {}, "ByAge 0 1 0 30", Journaled(0, 427, 30u)},
        {"admin", Words(88, {0, 30}, 12), 6, 1, {}, "ByAge 0 0 0 30", Journaled(0, 428)},
        // A switch other than 0 and 1 changes nothing.
        {"admin", Words(88, {2, 30}, 12), 6, 0, {}, "", nullptr},
        {"net28", Words(88, {1, 45}, 12), 6, -1, {}, "", Journaled(1, 429, 45u)},
        {"net28", Words(88, {0, 45}, 12), 6, -1, {}, "", Journaled(1, 430)},
    });
}

// Channel getters answer the value as the result; the monitor records answer
// the channel and a result of 0 (done) or 1 (no such channel), no rights.
TEST_F(ClientFamilyTest, ChannelGettersAndMonitorRecords) {
    Run({
        {"net28", Request(62, 1, {3}, 4), 6, 2, {}, "", nullptr},
        {"net28", Request(63, 1, {3}, 4), 6, 1, {}, "", nullptr},
        {"net28", Request(75, 1, {3}, 4), 6, -1, {}, "", nullptr},
        {"net28", Request(75, 1, {2}, 4), 6, 0, {}, "", nullptr},
        // 82: channel, running, seconds, result.
        {"net28", Request(82, 1, {3}, 4), 18, 3, {1, 42, 0}, "", nullptr},
        {"net28", Request(82, 1, {2}, 4), 18, 2, {0, 0, 0}, "", nullptr},
        {"net28", Request(82, 1, {9}, 4), 18, 9, {0, 0, 1}, "", nullptr},
        // 83, 84: channel, result.
        {"net28", Request(83, 1, {2}, 4), 10, 2, {0}, "Monitor 1 2 2 1", nullptr},
        {"net28", Request(84, 0, {9}, 4), 10, 9, {1}, "Monitor 0 9 9 0", nullptr},
    });
}

// The transcoder commands: bit 28 for the changes (230 also 32), the success
// texts with what was acted on, the replies' records without passwords.
TEST_F(ClientFamilyTest, TranscoderCommands) {
    const std::string denied = CatalogText(Msg{7});
    const uint32_t loopback = 0x0100007F;  // 127.0.0.1 in network order
    Bytes config219 = Words(219, {777}, 40);
    std::memcpy(config219.data() + 8, "pw1", 3);
    Bytes add230 = Words(230, {9}, 57);
    PutU32(add230, 9, 777);
    Bytes set235 = Words(235, {777}, 61);
    PutU32(set235, 57, 1);
    auto onDevice1 = [](Bytes b) {
        b[1] = 1;
        return b;
    };
    const Bytes speex236 = onDevice1(Words(236, {16000, 1, 16}, 16));
    const Bytes adpcm236 = onDevice1(Words(236, {32000, 2, 0}, 16));
    const Bytes buffer239 = onDevice1(Words(239, {0}, 8));
    const std::vector<Bytes> replies = Run({
        {"chan15", Words(210, {}, 4), 6, 1, {}, "", nullptr},
        {"chan15", Words(211, {0}, 8), 14, 1, {777, 4}, "", nullptr},
        {"chan15", Words(211, {1}, 8), 14, 0, {0, 0}, "", nullptr},
        {"net28", Words(212, {777}, 8), 6, 1, {}, "Start 0 0 0 777", Journaled(0, 175, 777u)},
        {"net28", Words(212, {5}, 8), 6, 0, {}, "Start 0 0 0 5", nullptr},
        {"chan15", Words(212, {777}, 8), 6, -1, {}, "", Journaled(1, 176, 777u, denied)},
        {"net28", Words(213, {777}, 8), 6, 1, {}, "Stop 0 0 0 777", Journaled(0, 177, 777u)},
        {"chan15", Words(214, {777}, 8), 42, 1, {0, 55}, "", nullptr},
        {"chan15", Words(215, {777}, 161), 6, -1, {}, "", nullptr},
        {"net28", Words(215, {777}, 161), 6, 1, {}, "SetConfig 0 0 0 777", nullptr},
        {"chan15", Words(216, {}, 4), 6, 1, {}, "Search 0 1 0 0", nullptr},
        {"chan15", Words(217, {}, 4), 6, 1, {}, "Search 0 0 0 0", nullptr},
        {"chan15", Words(218, {}, 4), 6, 1, {}, "", nullptr},
        {"chan15", config219, 159, 1, {}, "Config pw1 0 0 0 777", nullptr},
        {"chan15", Words(220, {777}, 8), 14, 1, {80, 1}, "", nullptr},
        {"net28", Words(221, {777, 90, 0}, 16), 6, 1, {}, "AonForm 0 90 0 777",
         Journaled(0, 179, 777u)},
        {"net28", Words(222, {5000}, 8), 6, 1, {}, "AddPort 0 0 0 5000", Journaled(0, 181, 5000u)},
        // A port beyond 16 bits is none.
        {"net28", Words(223, {70000}, 8), 6, 0, {}, "", nullptr},
        {"chan15", Words(223, {5000}, 8), 6, -1, {}, "", Journaled(1, 184, 5000u, denied)},
        {"chan15", Words(224, {}, 4), 6, 3, {}, "", nullptr},
        {"chan15", Words(225, {1}, 8), 10, 1, {5000}, "", nullptr},
        {"net28", Words(226, {loopback, 5001}, 12), 14, 1, {loopback, 5001},
         "AddAddress 0 0 5001 16777343", Journaled(0, 185, "127.0.0.1:5001")},
        {"chan15", Words(227, {loopback, 5001}, 12), 14, -1, {0, 0}, "",
         Journaled(1, 188, "127.0.0.1:5001", denied)},
        {"chan15", Words(228, {}, 4), 6, 1, {}, "", nullptr},
        {"chan15", Words(229, {0}, 8), 14, 1, {loopback, 5001}, "", nullptr},
        {"net28and32", add230, 14, 1, {2, 777}, "AddNet 0 9 0 777", Journaled(0, 189, 777u, 2u)},
        {"net28", Words(231, {777}, 8), 14, 1, {2, 777}, "RemoveNet 0 0 0 777",
         Journaled(0, 191, 777u)},
        {"net28", Words(232, {2, 0}, 12), 14, 1, {0, 777}, "ReposNet 0 2 0 0",
         Journaled(0, 193, 777u, 2u, 0u)},
        {"net28", Words(232, {3, 0}, 12), 14, 0, {0, 0}, "ReposNet 0 3 0 0", nullptr},
        {"chan15", Words(232, {2, 0}, 12), 14, -1, {0, 0}, "", Journaled(1, 194, 2u, 0u, denied)},
        {"chan15", Words(233, {}, 4), 6, 3, {}, "", nullptr},
        {"chan15", Words(234, {2}, 8), 55, 1, {}, "", nullptr},
        {"net28", set235, 6, 1, {}, "SetNet 0 0 1 777", Journaled(0, 195, 777u)},
        // A transcoder device's codec and buffering: bit 9, device texts.
        {"admin", speex236, 6, 1, {}, "Codec 1 1 16 16000",
         Journaled(0, 421, "SPEEX", "16 ", 16u, 2u)},
        {"admin", adpcm236, 6, 0, {}, "Codec 1 2 0 32000", nullptr},
        {"net28", speex236, 6, -1, {}, "", Journaled(1, 422, "SPEEX", "16 ", 16u, 2u)},
        {"chan15", onDevice1(Words(237, {16000}, 12)), 14, 1, {1, 16}, "", nullptr},
        {"chan15", onDevice1(Words(237, {8000}, 12)), 14, 0, {0, 0}, "", nullptr},
        {"chan15", Request(238, 1, {}, 4), 6, 1, {}, "", nullptr},
        {"admin", buffer239, 6, 1, {}, "Buffer 1 0 0 0", Journaled(0, 417, 2u)},
        {"net28", buffer239, 6, -1, {}, "", Journaled(1, 418, 2u)},
    });
    // No password leaves: 219 without the transcoder's, 234 without the
    // stored one.
    const Bytes& config = replies[13];
    ASSERT_EQ(config.size(), 159u);
    EXPECT_EQ(config[6], 'x');  // Description
    for (std::size_t at = 6 + offsetof(DeviceConfig, CurrPassword);
         at < 6 + offsetof(DeviceConfig, ProtectLevel); ++at) {
        ASSERT_EQ(config[at], 0) << at;
    }
    const Bytes& stored = replies[31];
    ASSERT_EQ(stored.size(), 55u);
    EXPECT_EQ(U32At(stored, 6 + offsetof(tagStoredTranscoderConfig, tsSerialNumber)), 777u);
    for (std::size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(stored[6 + offsetof(tagStoredTranscoderConfig, Password) + i], 0) << i;
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
