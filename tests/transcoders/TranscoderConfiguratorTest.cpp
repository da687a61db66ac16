// The configurator against a scripted peer on loopback: what it sends, how it
// takes answers, ages requests and presence, searches and follows a
// transcoder that moved. Time is a manual clock and the tick is called by the
// test; answers are handed to the configurator as the receive thread would.
#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <future>
#include <mutex>

#include "platform/IniFile.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

class CJournalLog final : public IJournal {
public:
    void WriteJournal(int kind, std::string_view text) override {
        std::lock_guard lock(m_lock);
        m_lines.emplace_back(kind, std::string(text));
    }
    bool Has(int kind, const std::string& text) const {
        std::lock_guard lock(m_lock);
        for (const auto& [k, t] : m_lines) {
            if (k == kind && t == text) {
                return true;
            }
        }
        return false;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<int, std::string>> m_lines;
};

// A UDP socket on 127.0.0.1 that plays a transcoder's side.
class CUdpPeer {
public:
    CUdpPeer() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t size = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
        m_address = TranscoderAddress{local.sin_addr.s_addr, ntohs(local.sin_port)};
        timeval wait{0, 300'000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~CUdpPeer() { close(m_fd); }

    const TranscoderAddress& Address() const { return m_address; }

    // The next datagram sent to the peer, decoded (nullopt: none in 300 ms).
    std::optional<TranscoderPacket> Next() {
        std::array<uint8_t, 2048> buffer{};
        const ssize_t size = recv(m_fd, buffer.data(), buffer.size(), 0);
        if (size <= 0) {
            return std::nullopt;
        }
        return DecodeTranscoderPacket(std::span<const uint8_t>(buffer.data(), size));
    }
    // Number of datagrams waiting, all read.
    int Drain() {
        int count = 0;
        while (Next()) {
            ++count;
        }
        return count;
    }

private:
    int m_fd = -1;
    TranscoderAddress m_address;
};

std::vector<uint8_t> Encode(const TranscoderPacket& packet) {
    std::vector<uint8_t> bytes(kCurrentPacketSize);
    bytes.resize(EncodeTranscoderPacket(packet, bytes));
    return bytes;
}

TranscoderPacket ScanAnswer(uint32_t serial, TranscoderLayout layout, uint8_t protocol = 0) {
    TranscoderPacket packet;
    packet.layout = layout;
    packet.type = FT_SCAN_ACKNOWLEDGE;
    packet.info.SerialNumber = serial;
    packet.info.Channels = 12;
    packet.config.Protocol = protocol;
    SetFieldText(packet.config.Description, "Line box");
    return packet;
}

class ConfiguratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        IniFile ini(m_dir.File("Transcoders.ini"));
        ini.WriteString("AdvancedParam", "SearchAutoStopTime", "2");
        // Searches broadcast nowhere but to the peer itself.
        ini.WriteString("AdvancedParam", "SearchBroadcastAddress", "127.0.0.1");
        ASSERT_TRUE(m_configurator.Start(ini.Path()));
        m_configurator.Enable();
    }
    void TearDown() override { m_configurator.Stop(); }

    void Deliver(const TranscoderPacket& packet, const TranscoderAddress& from) {
        const std::vector<uint8_t> bytes = Encode(packet);
        m_configurator.OnDatagram(bytes, from);
    }
    void Found(uint32_t serial, TranscoderLayout layout = TranscoderLayout::kCurrent) {
        Deliver(ScanAnswer(serial, layout), m_peer.Address());
    }
    // Ticks n times, one second apart.
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) {
            m_clock.Advance(1s);
            m_configurator.Tick();
        }
    }
    tagStoredTranscoderConfig Registration(uint32_t serial, const TranscoderAddress& at) {
        tagStoredTranscoderConfig stored{};
        stored.tsSerialNumber = serial;
        stored.tsAddr = at.ip;
        stored.tsPort = at.port;
        stored.tsChannelsCount = 12;
        stored.dataPort = 7000;
        stored.deviceClass = kDatagramTranscoder;
        SetFieldText(stored.Password, "secret");
        return stored;
    }

    test::CTempDir m_dir;
    CManualClock m_clock;
    CJournalLog m_journal;
    CTranscoderConfigurator m_configurator{m_journal, m_clock};
    CUdpPeer m_peer;
};

TEST_F(ConfiguratorTest, ScanAnswersAddTranscodersOfProtocolZeroOnly) {
    Deliver(ScanAnswer(11, TranscoderLayout::kCurrent, 1), m_peer.Address());
    EXPECT_EQ(m_configurator.getFoundTranscodersCount(), 0u);

    Found(12, TranscoderLayout::kNet2Scan);
    ASSERT_EQ(m_configurator.getFoundTranscodersCount(), 1u);
    const tagTranscoderEntry entry = m_configurator.getFoundTranscodersList()[0];
    EXPECT_EQ(uint32_t{entry.info.SerialNumber}, 12u);
    EXPECT_EQ(uint32_t{entry.uProtocolVer}, 2u);
    EXPECT_EQ(uint32_t{entry.polling_state}, uint32_t{kPresenceAnswering});
    EXPECT_TRUE(m_journal.Has(kJournalInfo, FormatCatalogText(Msg{309}, std::string("Line box"),
                                                              std::string("127.0.0.1"))));
    // Found transcoders are polled from then on.
    EXPECT_EQ(m_configurator.getCountStaticAddress(), 1u);
}

TEST_F(ConfiguratorTest, MalformedDatagramsAreDropped) {
    std::vector<uint8_t> good = Encode(ScanAnswer(5, TranscoderLayout::kCurrent));
    std::vector<uint8_t> badSignature = good;
    badSignature[7] ^= 0xFF;
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    const std::vector<std::vector<uint8_t>> cases = {
        {},
        {0x47},
        badSignature,
        longer,
        std::vector<uint8_t>(good.begin(), good.begin() + 72 + 1)};
    for (const auto& datagram : cases) {
        m_configurator.OnDatagram(datagram, m_peer.Address());
    }
    EXPECT_EQ(m_configurator.getFoundTranscodersCount(), 0u);
}

// Every answer type gives its result to the waiting caller.
TEST_F(ConfiguratorTest, AnswersCompleteTheirRequests) {
    struct Case {
        uint8_t answer;
        RequestResult result;
    };
    const Case cases[] = {
        {FT_EXEC_ACKNOWLEDGE, RequestResult::kSuccess},
        {FT_EXEC_REJECT, RequestResult::kRejected},
        {FT_DEVICE_BUSY, RequestResult::kBusy},
        {FT_BAD_PASSWORD, RequestResult::kBadPassword},
        {FT_CONFIG_CHANGE_ERROR, RequestResult::kRefused},
    };
    Found(21);
    ASSERT_TRUE(m_configurator.addNetDevice(0, Registration(21, m_peer.Address())));
    m_peer.Drain();
    for (const Case& c : cases) {
        RequestHandle handle =
            m_configurator.SendDeviceCommand(m_peer.Address(), TCMD_RESET_ADC, 1, 2);
        std::optional<TranscoderPacket> sent = m_peer.Next();
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->type, FC_DEV_SETTINGS);
        EXPECT_EQ(sent->command, TCMD_RESET_ADC);
        EXPECT_EQ(sent->param1, 1u);
        EXPECT_EQ(sent->param2, 2u);
        EXPECT_EQ(FieldText(sent->config.CurrPassword), "secret");
        // An answer to another sequence number is not this request's.
        TranscoderPacket answer;
        answer.type = c.answer;
        answer.sequence = static_cast<uint16_t>(sent->sequence + 100);
        Deliver(answer, m_peer.Address());
        EXPECT_FALSE(handle->IsComplete());
        answer.sequence = sent->sequence;
        Deliver(answer, m_peer.Address());
        EXPECT_EQ(handle->WaitFor(0ms), c.result) << int(c.answer);
    }
    // A command for a transcoder nobody found completes at once.
    EXPECT_EQ(m_configurator.SendDeviceCommand({0x0100007F, 9}, TCMD_STOP, 0, 0)->WaitFor(0ms),
              RequestResult::kNoTranscoder);
}

TEST_F(ConfiguratorTest, UnansweredRequestIsResentAndGivenUpAfterSixSeconds) {
    Found(31);
    m_peer.Drain();
    RequestHandle handle = m_configurator.SendDeviceCommand(m_peer.Address(), TCMD_STOP, 0, 0);
    std::optional<TranscoderPacket> first = m_peer.Next();
    ASSERT_TRUE(first);
    std::vector<uint16_t> resent;
    for (int second = 1; second <= 6; ++second) {
        m_clock.Advance(1s);
        m_configurator.Tick();
        while (std::optional<TranscoderPacket> packet = m_peer.Next()) {
            if (packet->type == FC_DEV_SETTINGS) {
                resent.push_back(packet->sequence);
            }
        }
        EXPECT_EQ(handle->IsComplete(), second == 6) << second;
    }
    EXPECT_EQ(resent, std::vector<uint16_t>(4, first->sequence));  // ages 2, 3, 4 and 5
    EXPECT_EQ(handle->WaitFor(0ms), RequestResult::kNoAnswer);
}

TEST_F(ConfiguratorTest, LateAnswerCompletesWithTheAnswer) {
    Found(41);
    m_peer.Drain();
    DeviceConfig read{};
    auto reading = std::async(std::launch::async,
                              [&] { return m_configurator.getTranscoderConfig(41, "pw", read); });
    std::optional<TranscoderPacket> request = m_peer.Next();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->type, FC_GET_CONFIG);
    EXPECT_EQ(FieldText(request->config.CurrPassword), "pw");
    Ticks(3);
    TranscoderPacket answer;
    answer.type = FT_CONFIG_VALUE;
    answer.sequence = request->sequence;
    SetFieldText(answer.config.Description, "renamed");
    Deliver(answer, m_peer.Address());
    EXPECT_EQ(reading.get(), RequestResult::kSuccess);
    EXPECT_EQ(FieldText(read.Description), "renamed");
}

TEST_F(ConfiguratorTest, PresenceAgesEveryFifthTickUntilLost) {
    Found(51);
    const auto state = [&] { return m_configurator.PresenceState(m_peer.Address()); };
    Ticks(4);
    EXPECT_EQ(state(), kPresenceAnswering);
    Ticks(1);
    EXPECT_EQ(state(), kPresencePolled);
    Ticks(15);  // three more cycles without an answer
    EXPECT_EQ(state(), kPresencePolled);
    Ticks(5);
    EXPECT_EQ(state(), kPresenceLost);
    Found(51);  // it answers again
    EXPECT_EQ(state(), kPresenceAnswering);
    EXPECT_EQ(m_configurator.PresenceState({0x0100007F, 1}), kPresenceUnknown);
}

TEST_F(ConfiguratorTest, SearchBroadcastsForItsCyclesAndPollsAlways) {
    ASSERT_TRUE(m_configurator.addConfigPort(m_peer.Address().port));
    ASSERT_TRUE(m_configurator.addStaticAddress(m_peer.Address()));
    // Without a search only the polled address is sent to.
    Ticks(5);
    EXPECT_EQ(m_peer.Drain(), 1);
    m_configurator.startTranscodersSearch();
    EXPECT_TRUE(m_configurator.getTranscodersSearchStatus());
    Ticks(5);
    EXPECT_EQ(m_peer.Drain(), 2);  // the broadcast and the poll
    Ticks(5);
    EXPECT_EQ(m_peer.Drain(), 2);
    EXPECT_FALSE(m_configurator.getTranscodersSearchStatus());  // two cycles done
    Ticks(5);
    EXPECT_EQ(m_peer.Drain(), 1);
}

TEST_F(ConfiguratorTest, TranscoderThatMovedIsFoundAgainAndItsRegistrationRewritten) {
    Found(61);
    ASSERT_TRUE(m_configurator.addNetDevice(0, Registration(61, m_peer.Address())));
    m_peer.Drain();
    DeviceConfig moved{};
    moved.IpAddr = 0x0200007F;  // 127.0.0.2
    moved.ConfigPort = 4321;
    auto writing = std::async(std::launch::async,
                              [&] { return m_configurator.setTranscoderConfig(61, moved); });
    std::optional<TranscoderPacket> request = m_peer.Next();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->type, FC_SET_CONFIG);
    TranscoderPacket answer;
    answer.type = FT_CONFIG_CHANGE_OK;
    answer.sequence = request->sequence;
    answer.config = moved;
    Deliver(answer, m_peer.Address());
    EXPECT_EQ(writing.get(), RequestResult::kSuccess);
    EXPECT_EQ(m_configurator.getFoundTranscodersCount(), 0u);

    const TranscoderAddress now{moved.IpAddr, moved.ConfigPort};
    Deliver(ScanAnswer(61, TranscoderLayout::kCurrent), now);
    ASSERT_EQ(m_configurator.getFoundTranscodersCount(), 1u);
    tagStoredTranscoderConfig stored{};
    ASSERT_TRUE(m_configurator.getConfigNetDevice(0, stored));
    EXPECT_EQ(uint32_t{stored.tsAddr}, now.ip);
    EXPECT_EQ(uint16_t{stored.tsPort}, now.port);
    IniFile ini(m_dir.File("Transcoders.ini"));
    EXPECT_EQ(ini.GetString("Transcoder-0", "IPAddress", ""), "127.0.0.2:4321");
}

// A flow that records how it is driven.
class CRecordingFlow final : public CTranscoderFlow {
public:
    bool Start(const DeviceInfo& identity, uint16_t portA, uint16_t portB,
               const TranscoderAddress& address, uint32_t, const std::string& password) override {
        std::lock_guard lock(m_lock);
        m_calls.push_back(fmt::format("start {} {} {} {} {}", uint32_t{identity.SerialNumber},
                                      portA, portB, AddressText(address), password));
        return m_startResult;
    }
    bool Stop() override {
        std::lock_guard lock(m_lock);
        m_calls.push_back("stop");
        return true;
    }
    const tagTranscoderStatistic* GetStatistics() override { return &m_statistic; }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_lock);
        return m_calls;
    }

    bool m_startResult = true;
    tagTranscoderStatistic m_statistic{};

private:
    std::mutex m_lock;
    std::vector<std::string> m_calls;
};

TEST_F(ConfiguratorTest, StartAndStopDriveTheFlowAndTheTranscoder) {
    tagStoredTranscoderConfig stored = Registration(71, m_peer.Address());
    ASSERT_TRUE(m_configurator.addNetDevice(0, stored));
    CRecordingFlow flow;
    flow.m_statistic.nPacketReceive = 42;
    m_configurator.RegisterFlow(71, &flow);
    tagTranscoderStatistic statistic{};
    ASSERT_TRUE(m_configurator.getTranscoderStatistic(71, statistic));
    EXPECT_EQ(statistic.nPacketReceive, 42u);
    EXPECT_FALSE(m_configurator.getTranscoderStatistic(72, statistic));

    // Not started: finding it starts nothing.
    Found(71);
    EXPECT_TRUE(flow.Calls().empty());
    // Started by a client while found: the flow starts at once.
    ASSERT_TRUE(m_configurator.startTranscoder(71));
    const std::string host = "127.0.0.1";
    const std::string start = fmt::format("start 71 {} 7000 {} secret", m_peer.Address().port,
                                          AddressText(m_peer.Address()));
    EXPECT_EQ(flow.Calls(), std::vector<std::string>{start});
    EXPECT_TRUE(m_journal.Has(kJournalInfo, FormatCatalogText(Msg{313}, host)));
    EXPECT_TRUE(m_journal.Has(kJournalInfo, FormatCatalogText(Msg{312}, host)));
    EXPECT_EQ(IniFile(m_dir.File("Transcoders.ini")).GetString("Transcoder-0", "Started", ""), "1");

    // Stopped: the flow stops and the transcoder is told to stop.
    m_peer.Drain();
    auto stopping =
        std::async(std::launch::async, [&] { return m_configurator.stopTranscoder(71); });
    std::optional<TranscoderPacket> stop = m_peer.Next();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->command, TCMD_STOP);
    TranscoderPacket answer;
    answer.type = FT_EXEC_ACKNOWLEDGE;
    answer.sequence = stop->sequence;
    Deliver(answer, m_peer.Address());
    EXPECT_TRUE(stopping.get());
    EXPECT_EQ(flow.Calls().back(), "stop");
    for (int text : {314, 315, 316}) {
        EXPECT_TRUE(m_journal.Has(kJournalInfo, FormatCatalogText(Msg{text}, host))) << text;
    }
    EXPECT_EQ(IniFile(m_dir.File("Transcoders.ini")).GetString("Transcoder-0", "Started", ""), "0");

    // A flow that cannot start clears the start flag again (text 311).
    flow.m_startResult = false;
    ASSERT_TRUE(m_configurator.startTranscoder(71));
    EXPECT_TRUE(m_journal.Has(kJournalError, FormatCatalogText(Msg{311}, host)));
    EXPECT_EQ(IniFile(m_dir.File("Transcoders.ini")).GetString("Transcoder-0", "Started", ""), "0");
    // An unregistered flow is never called again.
    m_configurator.RegisterFlow(71, nullptr);
    const std::size_t calls = flow.Calls().size();
    flow.m_startResult = true;
    ASSERT_TRUE(m_configurator.startTranscoder(71));
    EXPECT_EQ(flow.Calls().size(), calls);
    EXPECT_FALSE(m_configurator.startTranscoder(99));  // not registered
}

}  // namespace
}  // namespace zorv
