// The client command dispatcher with the whole command table: any code, any
// length, the stream cut at two points, run for a logged-in administrator so
// that every handler is reached, over doubles of the server's data and
// operations and a real users database in a temporary directory. The
// connection runs without its thread on one end of a socket pair; the fuzzer
// completes any partial message, sends code 2 and checks that its reply is
// the last thing the connection sent: no command leaves the stream out of
// step or answers late.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "access/ClientServer.h"
#include "access/UserAccount.h"
#include "platform/Clock.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {

// Two devices of 4 channels.
class CFuzzData final : public IClientData {
public:
    void StateDvr(tagStateProgramm& out) override { out = {}; }
    void DvrConfig(tagDvrConfig& out) override { out = {}; }
    void ServiceParam(ServiceParametrs& out) override { out = {}; }
    bool DeviceConfig(int device, DeviceConfigReply& out) override {
        out = {};
        out.ChannelCount = 4;
        out.FirstLine = static_cast<uint32_t>(device * 4);
        return device < 2;
    }
    bool ChannelParam(int device, int channel, tagChanelParam& out) override {
        out = kDefaultChanelParam;
        return device < 2 && channel < 4;
    }
    bool ChannelStates(int device, tagCHANELS_STATE& out) override {
        out = {};
        return device < 2;
    }
    bool GainAdc(int, int, int32_t& gain) override {
        gain = 0;
        return true;
    }
    void PathSpace(PathSpaceReply& out) override { out = {}; }
    std::vector<LineAlias> Aliases() override { return {{3, "three"}, {300, "beyond"}}; }
    bool TlfParam(int, int, LineParams& out) override {
        out = kDefaultLineParams;
        return true;
    }
    bool ServiceTlfParam(int, std::span<uint8_t, kServiceTlfParamSize>) override { return true; }
    std::string JournalPath() override { return m_journal; }
    std::string m_journal;
};

class CFuzzOperations final : public IClientOperations {
public:
    int SetChannelEnable(int, int, int, int32_t) override { return 1; }
    int SetChannelCompress(int, int, int, uint32_t) override { return 1; }
    int SetChannelActivate(int, int, int, uint32_t) override { return 1; }
    int SetChannelTOn(int, int, int, uint32_t) override { return 0; }
    int SetChannelTOff(int, int, int, uint32_t) override { return 6; }
    int SetChannelTreshold(int, int, int, uint32_t) override { return 1; }
    int SetChannelSampleRate(int, int, int, uint32_t) override { return 1; }
    int SetStereoChannel(int, int, int) override { return 1; }
    int UndoStereoChannel(int, int, int) override { return 1; }
    int ManualActivateChannel(int, int, bool) override { return 1; }
    int SetChannelDefaultParam(int, int, int) override { return 1; }
    int SetGainAdc(int, int, int) override { return 1; }
    int SetChannelMute(int, int, bool) override { return 1; }
    int GetChannelMute(int, int) override { return 1; }
    int AddAlias(int, int, const std::string&) override { return 1; }
    int SetTlfParam(int, int, int, const LineParams&) override { return 1; }
    int SetChannelSourceSignal(int, int, int, uint32_t) override { return 1; }
    int SetChannelKeyEnable(int, int, int, uint32_t) override { return 1; }
    bool GetAonFlags(int, int, uint32_t& flags) override {
        flags = 3;
        return true;
    }
    int SetAonFlags(int, int, uint32_t) override { return 1; }
    int SetPolarity(int, int, int) override { return 1; }
    bool GetPolarityCheckTimeOut(int, int, uint32_t& seconds) override {
        seconds = 5;
        return true;
    }
    int SetPolarityCheckTimeOut(int, int, uint32_t) override { return 1; }
    int SetChannelArchivate(int, int, uint32_t) override { return 1; }
    bool GetChannelSourceSignal(int, int channel, uint32_t& v) override {
        v = 1;
        return channel < 4;
    }
    bool GetChannelKeyEnable(int, int, uint32_t& v) override {
        v = 0;
        return true;
    }
    bool GetPolarity(int, int, uint32_t&) override { return false; }
    int SetNet2CompressMode(int device, uint32_t, uint32_t, uint32_t) override {
        return device == 1 ? 1 : 6;
    }
    bool GetNet2CompressMode(int device, uint32_t, uint32_t& c, uint32_t& s) override {
        c = 1;
        s = 8;
        return device == 1;
    }
    int SetNet2BufferMode(int, uint32_t mode) override { return mode <= 1 ? 1 : 0; }
    bool GetNet2BufferMode(int, uint32_t& mode) override {
        mode = 1;
        return true;
    }
    int StartMonitorRecord(int, int channel) override { return channel < 4 ? 1 : 0; }
    int StopMonitorRecord(int, int) override { return 1; }
    int GetMonitorRecord(int, int channel, bool& running, uint32_t& seconds) override {
        running = channel == 1;
        seconds = 7;
        return channel < 4 ? 1 : 0;
    }
    int ShutDown() override { return 1; }
    int ClearJournal() override { return 1; }
    int SetQuota(uint32_t, uint32_t) override { return 1; }
    int SetDelSize(uint32_t) override { return 1; }
    int SetPath(int, const std::string&) override { return 1; }
    int SetFileSizes(uint32_t, uint32_t) override { return 0; }
    void GetDeleteFilesAtDateConfig(bool& enable, uint32_t& days) override {
        enable = true;
        days = 90;
    }
    int SetDeleteFilesAtDateConfig(bool, uint32_t) override { return 1; }
    bool GetCompressFormat(uint32_t rate, uint32_t, uint32_t& tag, uint32_t& bps) override {
        tag = 49;
        bps = rate / 5;
        return rate != 0;
    }
    uint32_t GetFoundTranscodersCount() override { return 1; }
    bool GetFoundTranscoder(uint32_t index, tagTranscoderEntry& entry) override {
        entry = {};
        return index == 0;
    }
    int StartTranscoder(uint32_t) override { return 1; }
    int StopTranscoder(uint32_t) override { return 0; }
    bool GetTranscoderStatistic(uint32_t serial, tagTranscoderStatistic& s) override {
        s = {};
        return serial % 2 == 0;
    }
    uint32_t GetTranscoderConfig(uint32_t, const std::string&, DeviceConfig& c) override {
        std::memset(&c, 0x41, sizeof(c));
        return 0;
    }
    uint32_t SetTranscoderConfig(uint32_t, const DeviceConfig&) override { return 6; }
    int StartTranscodersSearch() override { return 1; }
    int StopTranscodersSearch() override { return 1; }
    bool GetTranscodersSearchStatus() override { return true; }
    bool GetAonForm(uint32_t, uint32_t& level, uint32_t& form) override {
        level = 100;
        form = 0;
        return true;
    }
    int SetAonForm(uint32_t, uint32_t, uint32_t) override { return 1; }
    int AddConfigPort(uint16_t) override { return 1; }
    int DelConfigPort(uint16_t) override { return 0; }
    uint32_t GetCountConfigPorts() override { return 2; }
    bool GetConfigPort(uint32_t index, uint16_t& port) override {
        port = 5000;
        return index < 2;
    }
    int AddStaticAddress(uint32_t, uint16_t) override { return 1; }
    int DelStaticAddress(uint32_t, uint16_t) override { return 1; }
    uint32_t GetCountStaticAddress() override { return 0; }
    bool GetStaticAddress(uint32_t, uint32_t&, uint16_t&) override { return false; }
    int AddNetDevice(uint32_t position, const tagStoredTranscoderConfig& config,
                     uint32_t& placedAt, uint32_t& serial) override {
        placedAt = position;
        serial = config.tsSerialNumber;
        return 1;
    }
    int RemoveNetDevice(uint32_t, uint32_t& position) override {
        position = 0;
        return 1;
    }
    int ReposNetDevice(uint32_t, uint32_t, uint32_t& serial) override {
        serial = 7;
        return 1;
    }
    uint32_t GetCountNetDevice() override { return 1; }
    bool GetConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& config) override {
        std::memset(&config, 0x42, sizeof(config));
        return position == 0;
    }
    int SetConfigNetDevice(uint32_t, const tagStoredTranscoderConfig&, uint32_t,
                           uint32_t& position) override {
        position = 0;
        return 1;
    }
};

// Drives one connection on the fuzzer's thread.
class CClientConnectionProbe {
public:
    CClientConnectionProbe(CClientServer& server, int fd) {
        ACE_SOCK_Stream stream;
        stream.set_handle(fd);
        stream.enable(ACE_NONBLOCK);
        m_connection = std::make_unique<CClientConnection>(server, stream, "127.0.0.1:1");
    }
    ~CClientConnectionProbe() { m_connection->Detach(); }

    void LogInAdministrator(const tagUserAccountRecord& record) {
        m_connection->m_rights.Load(record);
        CMutexLock lock(m_connection->m_identityLock);
        m_connection->m_userName = "admin";
        m_connection->m_authorized = true;
    }
    bool Feed(std::span<const uint8_t> bytes) {
        return m_connection->m_assembler.Feed(bytes, *m_connection);
    }
    std::size_t Kept() const { return m_connection->m_assembler.Kept(); }
    bool Ended() const { return m_connection->m_ending || m_connection->m_closed.load(); }
    // Writes what is queued; false on a socket error.
    bool Flush() { return m_connection->Flush(); }

private:
    std::unique_ptr<CClientConnection> m_connection;
};

}  // namespace zorv

namespace {

using namespace zorv;

struct Harness {
    Harness() {
        char pattern[] = "/tmp/fuzz_client_commands.XXXXXX";
        directory = ::mkdtemp(pattern);
        // The cheapest hash: the target explores the commands, not Argon2.
        users.Initialise(directory, "ZORV", {kCheapestHashCost});
        tagUserAccountRecord admin{};
        SetFieldText(std::span<char>(admin.UserName), "admin");
        SetFieldText(std::span<char>(admin.Password), "fuzz-secret");
        admin.AdminAccess = 1;
        CipherRecordFields(admin);
        users.AddAsOwner(admin);
        adminRecord = admin;
        data.m_journal = directory + "/journal.txt";
        ClientServerOptions options;
        options.sendQueueBytes = 64 * 1024 * 1024;
        options.sendWait = std::chrono::milliseconds{0};
        // Refused logins are neither slowed nor counted in bursts here: a
        // fuzzed login must not make the target wait.
        options.logins.delayStart = std::chrono::milliseconds{0};
        options.logins.burstQuiet = std::chrono::seconds{0};
        server = std::make_unique<CClientServer>(journal, users, data, SystemClock(), options);
        server->SetOperations(operations);
    }
    ~Harness() { std::filesystem::remove_all(directory); }

    std::string directory;
    CNullJournal journal;
    CUsersDatabase users{journal};
    CFuzzData data;
    CFuzzOperations operations;
    tagUserAccountRecord adminRecord{};
    std::unique_ptr<CClientServer> server;
};

// Reads everything the connection sends, flushing its queue as it goes.
std::vector<uint8_t> Drain(CClientConnectionProbe& probe, int fd) {
    std::vector<uint8_t> all;
    uint8_t buffer[65536];
    for (int idle = 0; idle < 3;) {
        probe.Flush();
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0) {
            all.insert(all.end(), buffer, buffer + got);
            idle = 0;
        } else {
            ++idle;
        }
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    if (size < 2) {
        return 0;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return 0;
    }
    const std::span<const uint8_t> stream(data + 2, size - 2);
    std::size_t cut1 = stream.empty() ? 0 : data[0] % (stream.size() + 1);
    std::size_t cut2 = stream.empty() ? 0 : data[1] * 13 % (stream.size() + 1);
    if (cut1 > cut2) {
        std::swap(cut1, cut2);
    }
    std::vector<uint8_t> sent;
    {
        CClientConnectionProbe probe(*harness.server, fds[0]);
        probe.LogInAdministrator(harness.adminRecord);
        bool going = probe.Feed(stream.subspan(0, cut1));
        going = going && probe.Feed(stream.subspan(cut1, cut2 - cut1));
        going = going && probe.Feed(stream.subspan(cut2));
        if (going && !probe.Ended()) {
            // Complete a kept message with zeros, one byte at a time so that
            // no byte beyond it is taken, then ask for code 2.
            for (std::size_t i = 0; i < kMaxRequestSize && probe.Kept() > 0 && going; ++i) {
                const uint8_t zero = 0;
                going = probe.Feed({&zero, 1});
            }
            const uint8_t sync[4] = {2, 0, 0, 0};
            if (going && !probe.Ended() && probe.Feed(sync)) {
                sent = Drain(probe, fds[1]);
                const std::size_t reply = 2 + sizeof(tagStateProgramm);
                if (sent.size() < reply || sent[sent.size() - reply] != 2) {
                    std::abort();  // the last reply is not code 2's
                }
            }
        }
    }
    ::close(fds[1]);
    // The users database may have been changed (a fuzzed add, rename or
    // delete): the next input starts from the administrator alone.
    std::vector<std::string> names;
    for (const tagUserAccountRecord& record : harness.users.ListAllUsers()) {
        tagUserAccountRecord clear = record;
        CipherRecordFields(clear);
        names.push_back(FieldText(clear.UserName, sizeof(clear.UserName)));
    }
    for (const std::string& name : names) {
        if (name != "admin") {
            harness.users.DeleteAsOwner(name);
        }
    }
    if (!harness.users.Exists("admin")) {
        harness.users.AddAsOwner(harness.adminRecord);
    }
    return 0;
}
