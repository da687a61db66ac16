// The datagram transcoder's data flow against a fake configurator, sink and
// device: datagrams are handed to OnDatagram and the supervision is ticked
// by the test; one test streams through the real data socket on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/Journal.h"
#include "platform/AutoResetEvent.h"
#include "transcoders/DatagramFlowProcessor.h"
#include "transcoders/TranscoderDataProtocol.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

uint32_t Ip(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

const TranscoderAddress kTranscoder{Ip("127.0.0.1"), 5000};
constexpr uint32_t kSerial = 7001;

struct SentCommand {
    TranscoderAddress to;
    uint8_t code;
    uint32_t param1;
    uint32_t param2;
    RequestHandle handle;
};

// The configurator as a flow sees it. Device commands are completed at once
// with the next scripted result when the test says so; the stop and start
// of the supervision stay open until the test completes them.
class FakeHost final : public ITranscoderFlowHost {
public:
    uint32_t PresenceState(const TranscoderAddress& address) const override {
        std::lock_guard<std::mutex> guard(m_lock);
        return address == presenceAddress ? presence : kPresenceUnknown;
    }
    RequestHandle SendDeviceCommand(const TranscoderAddress& address, uint8_t code, uint32_t param1,
                                    uint32_t param2) override {
        std::lock_guard<std::mutex> guard(m_lock);
        auto handle = std::make_shared<CRequestCompletion>();
        if (completeAtOnce) {
            RequestResult result = RequestResult::kSuccess;
            if (!results.empty()) {
                result = results.front();
                results.erase(results.begin());
            }
            handle->Complete(result);
        }
        sent.push_back({address, code, param1, param2, handle});
        return handle;
    }
    RequestHandle EnableGroup(const TranscoderAddress& address, uint32_t group, bool on) override {
        std::lock_guard<std::mutex> guard(m_lock);
        enableCalls.push_back({address, group, on});
        return CompletedRequest(enableResult);
    }
    bool GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) const override {
        std::lock_guard<std::mutex> guard(m_lock);
        aonSerialAsked = serial;
        if (serial != kSerial) {
            return false;
        }
        level = aonLevel;
        form = aonForm;
        return true;
    }
    void RegisterFlow(uint32_t, CTranscoderFlow*) override {}

    std::vector<SentCommand> Sent() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return sent;
    }
    void Complete(std::size_t index, RequestResult result) {
        std::lock_guard<std::mutex> guard(m_lock);
        sent.at(index).handle->Complete(result);
    }

    struct EnableCall {
        TranscoderAddress to;
        uint32_t group;
        bool on;
    };

    // Set by the test before the flow runs, or under the test's own ticks.
    TranscoderAddress presenceAddress = kTranscoder;
    uint32_t presence = kPresenceAnswering;
    bool completeAtOnce = false;
    std::vector<RequestResult> results;
    RequestResult enableResult = RequestResult::kSuccess;
    uint32_t aonLevel = 50;
    uint32_t aonForm = 0;
    mutable uint32_t aonSerialAsked = 0;
    std::vector<EnableCall> enableCalls;

private:
    mutable std::mutex m_lock;
    std::vector<SentCommand> sent;
};

struct Report {
    int level;
    std::string text;
    friend bool operator==(const Report&, const Report&) = default;
};

class FakeSink final : public CTranscoderFlowSink {
public:
    void Report(int level, const std::string& text) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_reports.push_back({level, text});
    }
    void OnStarted(uint32_t context) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_started.push_back(context);
    }
    std::vector<zorv::Report> Reports() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_reports;
    }
    std::vector<uint32_t> Started() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_started;
    }

private:
    mutable std::mutex m_lock;
    std::vector<zorv::Report> m_reports;
    std::vector<uint32_t> m_started;
};

class FakeDevice final : public CTranscoderDeviceLink {
public:
    bool CheckIdentity(const DeviceInfo& identity, uint32_t) override {
        return identity.Channels == channels;
    }
    void OnFlowStopped() override { ++stopped; }

    uint8_t channels = 6;
    int stopped = 0;
};

DeviceInfo Identity(uint8_t channels = 6) {
    DeviceInfo info{};
    info.Channels = channels;
    info.SerialNumber = kSerial;
    info.HardwareVersion = 301;
    return info;
}

// A free UDP port above the refused range: the one the system gives a
// socket bound to port 0 (the flow binds it again with address reuse).
uint16_t FreeUdpPort() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        uint16_t port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        close(fd);
        if (port > kHighestRefusedDataPort) {
            return port;
        }
    }
    return 0;
}

// A data packet whose payload starts with its own sequence number.
std::vector<uint8_t> Packet(uint16_t seq) {
    std::vector<uint8_t> packet(kDataPacketSize, 0);
    packet[0] = kDataPacketMark & 0xFF;
    packet[1] = kDataPacketMark >> 8;
    packet[2] = static_cast<uint8_t>(seq & 0xFF);
    packet[3] = static_cast<uint8_t>(seq >> 8);
    packet[4] = packet[2];
    packet[5] = packet[3];
    packet.back() = 0x5A;
    return packet;
}

class DatagramFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        flow.SetSupervisionPeriod(0ms);
        flow.SetDataEvent(&event);
    }

    // Starts the flow on a free port (another test may take the one found
    // before the flow binds it: then the next one is tried).
    void StartFlow(const TranscoderAddress& address = kTranscoder) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            port = FreeUdpPort();
            if (flow.Start(Identity(), address.port, port, address, 1, "secret")) {
                return;
            }
        }
        FAIL() << "no data port could be bound";
    }

    void Feed(uint16_t seq, uint32_t ip = kTranscoder.ip) {
        const std::vector<uint8_t> packet = Packet(seq);
        flow.OnDatagram(packet.data(), packet.size(), TranscoderAddress{ip, 6000});
    }

    // The sequence numbers of the blocks ReadData gives.
    std::vector<int> ReadAll(bool* restart = nullptr, std::size_t capacity = 300 * 1280) {
        std::vector<uint8_t> buffer(capacity);
        bool restarted = false;
        const std::size_t n = flow.ReadData(buffer.data(), buffer.size(), restarted);
        if (restart != nullptr) {
            *restart = restarted;
        }
        EXPECT_EQ(n % kDataPayloadSize, 0u);
        std::vector<int> seqs;
        for (std::size_t at = 0; at + kDataPayloadSize <= n; at += kDataPayloadSize) {
            seqs.push_back(buffer[at] | (buffer[at + 1] << 8));
            EXPECT_EQ(buffer[at + kDataPayloadSize - 1], 0x5A);
        }
        return seqs;
    }

    tagTranscoderStatistic Statistics() { return *flow.GetStatistics(); }

    // Runs the stop/start cycle to FS_STREAMING.
    void StartStreaming() {
        StartFlow();
        flow.Tick();
        host.Complete(0, RequestResult::kSuccess);
        flow.Tick();
        host.Complete(1, RequestResult::kSuccess);
        flow.Tick();
        ASSERT_EQ(flow.State(), FS_STREAMING);
    }

    std::string HostText() const { return DottedAddress(kTranscoder.ip); }

    FakeHost host;
    FakeSink sink;
    FakeDevice device;
    CAutoResetEvent event;
    CDatagramFlowProcessor flow{host, sink, device};
    uint16_t port = 0;
};

// --- Reordering, retransmission requests and resynchronisation ---

struct ReorderCase {
    const char* name;
    std::vector<int> fed;
    std::vector<int> read;
    uint32_t requests;    // nResendPacketRequest[0]
    uint32_t restored;    // nResendPacketReceive
    uint32_t streamLost;  // nStreamLost
    uint32_t awaited;     // resendQueueSize
    uint32_t processed;   // nPacketReceive
    bool restart;
};

TEST_F(DatagramFlowTest, ReordersRequestsAndResynchronises) {
    const std::vector<ReorderCase> cases = {
        {"in order", {0, 1, 2, 3}, {0, 1, 2, 3}, 0, 0, 0, 0, 4, false},
        {"swapped pair", {0, 2, 1, 3}, {0, 1, 2, 3}, 1, 1, 0, 0, 4, false},
        {"reversed within the gap", {0, 3, 2, 1}, {0, 1, 2, 3}, 2, 2, 0, 0, 4, false},
        {"duplicate still in the ring", {0, 1, 1, 2}, {0, 1, 2}, 0, 0, 0, 0, 3, false},
        {"retransmission arriving twice", {0, 2, 1, 1, 3}, {0, 1, 2, 3}, 1, 1, 0, 0, 4, false},
        {"gap of 11 asked packet by packet", {0, 12}, {0}, 11, 0, 0, 11, 2, false},
        {"gap of 11 filled", {0, 12, 5, 1}, {0, 1}, 11, 2, 0, 9, 4, false},
        {"gap of 12 resynchronises", {0, 13}, {13}, 0, 0, 1, 0, 2, true},
        {"wrap: 65535 then 0 in order",
         {65534, 65535, 0, 1},
         {65534, 65535, 0, 1},
         0,
         0,
         1,
         0,
         4,
         true},
        // 100 moves the stream; 9 is behind but was never seen: the
        // transcoder started again, so the flow follows it to 10; then 5,
        // never seen either, resynchronises again.
        {"behind and unseen resynchronises", {100, 9, 5}, {5}, 0, 0, 3, 0, 3, true},
        {"wrong sender mark ignored", {0, -1, 1}, {0, 1}, 0, 0, 0, 0, 2, false},
    };
    for (const ReorderCase& c : cases) {
        SCOPED_TRACE(c.name);
        CDatagramFlowProcessor caseFlow{host, sink, device};
        caseFlow.SetSupervisionPeriod(0ms);
        bool started = false;
        for (int attempt = 0; attempt < 20 && !started; ++attempt) {
            started = caseFlow.Start(Identity(), 5000, FreeUdpPort(), kTranscoder, 1, "");
        }
        ASSERT_TRUE(started);
        for (int seq : c.fed) {
            if (seq < 0) {
                // A packet from another host, and one without the mark.
                std::vector<uint8_t> packet = Packet(1);
                caseFlow.OnDatagram(packet.data(), packet.size(),
                                    TranscoderAddress{Ip("127.0.0.9"), 6000});
                packet[0] = 0x48;
                caseFlow.OnDatagram(packet.data(), packet.size(), kTranscoder);
                continue;
            }
            const std::vector<uint8_t> packet = Packet(static_cast<uint16_t>(seq));
            caseFlow.OnDatagram(packet.data(), packet.size(), kTranscoder);
        }
        std::vector<uint8_t> buffer(300 * kDataPayloadSize);
        bool restart = false;
        const std::size_t n = caseFlow.ReadData(buffer.data(), buffer.size(), restart);
        std::vector<int> read;
        for (std::size_t at = 0; at < n; at += kDataPayloadSize) {
            read.push_back(buffer[at] | (buffer[at + 1] << 8));
        }
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(restart, c.restart);
        const tagTranscoderStatistic s = *caseFlow.GetStatistics();
        EXPECT_EQ(s.nResendPacketRequest[0], c.requests);
        EXPECT_EQ(s.nResendPacketReceive, c.restored);
        EXPECT_EQ(s.nStreamLost, c.streamLost);
        EXPECT_EQ(s.resendQueueSize, c.awaited);
        EXPECT_EQ(s.nPacketReceive, c.processed);
        EXPECT_EQ(s.nPacketLost, 0u);
    }
}

TEST_F(DatagramFlowTest, DatagramsThatAreNotWholePacketsAreIgnored) {
    StartFlow();
    Feed(0);
    const std::vector<uint8_t> whole = Packet(1);
    // Too short to hold a header, a header alone, one byte short, one too long.
    for (std::size_t size : {std::size_t{0}, std::size_t{3}, std::size_t{4}, kDataPacketSize - 1}) {
        flow.OnDatagram(whole.data(), size, kTranscoder);
    }
    std::vector<uint8_t> longer = whole;
    longer.push_back(0);
    flow.OnDatagram(longer.data(), longer.size(), kTranscoder);
    EXPECT_EQ(Statistics().nPacketReceive, 1u);
    Feed(1);
    EXPECT_EQ(ReadAll(), (std::vector<int>{0, 1}));
}

TEST_F(DatagramFlowTest, RequestsAgainAt64And128AndGivesUpAt192) {
    StartFlow();
    Feed(0);
    // Packet 1 is missing; every packet processed from 2 on ages its request.
    uint16_t next = 2;
    auto feedUntil = [&](int processedSinceRequest) {
        while (next < 2 + processedSinceRequest) {
            Feed(next++);
        }
    };
    feedUntil(63);
    EXPECT_EQ(Statistics().nResendPacketRequest[1], 0u);
    EXPECT_EQ(ReadAll(), std::vector<int>{0});  // stops at the missing slot
    feedUntil(64);
    EXPECT_EQ(Statistics().nResendPacketRequest[1], 1u);
    feedUntil(127);
    EXPECT_EQ(Statistics().nResendPacketRequest[2], 0u);
    feedUntil(128);
    EXPECT_EQ(Statistics().nResendPacketRequest[2], 1u);
    feedUntil(191);
    EXPECT_EQ(Statistics().nPacketLost, 0u);
    EXPECT_EQ(Statistics().resendQueueSize, 1u);
    EXPECT_TRUE(ReadAll().empty());
    feedUntil(192);
    const tagTranscoderStatistic s = Statistics();
    EXPECT_EQ(s.nPacketLost, 1u);
    EXPECT_EQ(s.resendQueueSize, 0u);
    EXPECT_EQ(s.nResendPacketRequest[0], 1u);
    EXPECT_EQ(s.nStreamLost, 0u);
    // The lost slot is passed over without output.
    std::vector<int> expected;
    for (int seq = 2; seq < next; ++seq) {
        expected.push_back(seq);
    }
    EXPECT_EQ(ReadAll(), expected);
    // A late answer for the lost packet changes nothing.
    Feed(1);
    EXPECT_EQ(Statistics().nStreamLost, 0u);
    Feed(next);
    EXPECT_EQ(ReadAll(), std::vector<int>{next});
}

TEST_F(DatagramFlowTest, ReadDataStopsAtMissingAndCopiesOnlyWholeBlocks) {
    StartFlow();
    for (int seq : {0, 1, 3, 4}) {
        Feed(static_cast<uint16_t>(seq));
    }
    EXPECT_EQ(ReadAll(nullptr, 1280 + 1279), std::vector<int>{0});
    EXPECT_EQ(ReadAll(), std::vector<int>{1});
    Feed(2);
    EXPECT_EQ(ReadAll(), (std::vector<int>{2, 3, 4}));
    EXPECT_TRUE(ReadAll().empty());
}

TEST_F(DatagramFlowTest, DataEventOnceEightSlotsHoldData) {
    StartFlow();
    for (uint16_t seq = 0; seq < 7; ++seq) {
        Feed(seq);
    }
    EXPECT_FALSE(event.TryReset());
    Feed(7);
    EXPECT_TRUE(event.TryReset());
    Feed(8);
    EXPECT_TRUE(event.TryReset());
    EXPECT_EQ(ReadAll().size(), 9u);
    Feed(9);
    EXPECT_FALSE(event.TryReset());
}

TEST_F(DatagramFlowTest, ReaderFallingBehindLosesTheOldestBlocksAndIsTold) {
    StartFlow();
    for (int seq = 0; seq < 300; ++seq) {
        Feed(static_cast<uint16_t>(seq));
    }
    bool restart = false;
    const std::vector<int> read = ReadAll(&restart);
    ASSERT_EQ(read.size(), 256u);
    EXPECT_EQ(read.front(), 44);
    EXPECT_EQ(read.back(), 299);
    EXPECT_TRUE(restart);
}

TEST_F(DatagramFlowTest, RateIsTheBytesOfFourSecondsEverySecondTick) {
    StartFlow();
    for (uint16_t seq = 0; seq < 10; ++seq) {
        Feed(seq);
    }
    flow.Tick();
    EXPECT_EQ(Statistics().streamSpeed, 0u);
    flow.Tick();
    EXPECT_EQ(Statistics().streamSpeed, 10u * kDataPacketSize / 4);
    flow.Tick();
    flow.Tick();
    EXPECT_EQ(Statistics().streamSpeed, 0u);
}

// --- Start and stop ---

TEST_F(DatagramFlowTest, StartRefusesAMismatchedTranscoder) {
    device.channels = 4;
    EXPECT_FALSE(flow.Start(Identity(6), 5000, FreeUdpPort(), kTranscoder, 1, ""));
    EXPECT_EQ(sink.Reports(), (std::vector<Report>{{1, FormatCatalogText(Msg{320}, HostText())}}));
    EXPECT_FALSE(flow.HasSocket());
    EXPECT_EQ(flow.State(), FS_STOPPED);
}

TEST_F(DatagramFlowTest, DataPortsUpTo4095AreRefused) {
    EXPECT_FALSE(flow.Start(Identity(), 5000, 4095, kTranscoder, 1, ""));
    EXPECT_EQ(sink.Reports(),
              (std::vector<Report>{{1, FormatCatalogText(Msg{319}, 4095u, HostText())}}));
    EXPECT_FALSE(flow.HasSocket());
    if (!flow.Start(Identity(), 5000, 4096, kTranscoder, 1, "")) {
        GTEST_SKIP() << "port 4096 is taken on this machine";
    }
    EXPECT_TRUE(flow.HasSocket());
    EXPECT_EQ(flow.LocalPort(), 4096);
    EXPECT_EQ(flow.State(), FS_STARTING);
}

TEST_F(DatagramFlowTest, StopClosesAndTellsTheDeviceOnce) {
    StartFlow();
    EXPECT_TRUE(flow.HasSocket());
    EXPECT_EQ(flow.LocalPort(), port);
    EXPECT_TRUE(flow.Stop());
    EXPECT_FALSE(flow.HasSocket());
    EXPECT_EQ(flow.State(), FS_STOPPED);
    EXPECT_EQ(device.stopped, 1);
    EXPECT_TRUE(flow.Stop());
    EXPECT_EQ(device.stopped, 1);
    // A stopped flow takes no data.
    Feed(0);
    EXPECT_EQ(Statistics().nPacketReceive, 0u);
}

// --- Supervision ---

TEST_F(DatagramFlowTest, StartsTheStreamWithStopAndStartCommands) {
    flow.SetContext(77);
    StartFlow();
    host.presence = kPresencePolled;
    flow.Tick();
    EXPECT_TRUE(host.Sent().empty());
    EXPECT_EQ(flow.State(), FS_STARTING);

    host.presence = kPresenceAnswering;
    flow.Tick();
    ASSERT_EQ(host.Sent().size(), 1u);
    EXPECT_EQ(host.Sent()[0].code, TCMD_STOP);
    EXPECT_EQ(host.Sent()[0].to, kTranscoder);
    EXPECT_EQ(flow.State(), FS_RECONNECT);
    flow.Tick();  // not answered yet: nothing new
    EXPECT_EQ(host.Sent().size(), 1u);

    host.Complete(0, RequestResult::kSuccess);
    flow.Tick();
    ASSERT_EQ(host.Sent().size(), 2u);
    EXPECT_EQ(host.Sent()[1].code, TCMD_START);
    EXPECT_EQ(host.Sent()[1].param1, port);
    EXPECT_EQ(host.Sent()[1].param2, 0u);
    EXPECT_EQ(flow.State(), FS_CONNECTED);
    EXPECT_TRUE(sink.Started().empty());

    host.Complete(1, RequestResult::kSuccess);
    flow.Tick();
    EXPECT_EQ(flow.State(), FS_STREAMING);
    EXPECT_EQ(sink.Started(), std::vector<uint32_t>{77});
    EXPECT_EQ(sink.Reports(), (std::vector<Report>{{0, FormatCatalogText(Msg{321}, HostText())},
                                                   {0, FormatCatalogText(Msg{323}, HostText())}}));
    flow.Tick();
    EXPECT_EQ(host.Sent().size(), 2u);
}

struct AnswerCase {
    const char* name;
    RequestResult stopAnswer;
    std::optional<RequestResult> startAnswer;
    uint32_t state;
    std::vector<int> reports;  // catalogue ids; 321 and 323 at level 0
};

TEST_F(DatagramFlowTest, AnswersToTheCycleDecideTheState) {
    const std::vector<AnswerCase> cases = {
        {"stop timed out", RequestResult::kNoAnswer, std::nullopt, FS_STARTING, {}},
        {"stop bad password", RequestResult::kBadPassword, std::nullopt, FS_FAILED, {322}},
        {"stop rejected", RequestResult::kRejected, std::nullopt, FS_FAILED, {}},
        {"start timed out", RequestResult::kSuccess, RequestResult::kNoAnswer, FS_STARTING, {321}},
        {"start bad password",
         RequestResult::kSuccess,
         RequestResult::kBadPassword,
         FS_FAILED,
         {321, 324}},
        {"start busy", RequestResult::kSuccess, RequestResult::kBusy, FS_FAILED, {321}},
        {"started", RequestResult::kSuccess, RequestResult::kSuccess, FS_STREAMING, {321, 323}},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost caseHost;
        FakeSink caseSink;
        CDatagramFlowProcessor caseFlow{caseHost, caseSink, device};
        caseFlow.SetSupervisionPeriod(0ms);
        bool started = false;
        for (int attempt = 0; attempt < 20 && !started; ++attempt) {
            started = caseFlow.Start(Identity(), 5000, FreeUdpPort(), kTranscoder, 1, "");
        }
        ASSERT_TRUE(started);
        caseFlow.Tick();
        caseHost.Complete(0, c.stopAnswer);
        caseFlow.Tick();
        if (c.startAnswer) {
            ASSERT_EQ(caseHost.Sent().size(), 2u);
            caseHost.Complete(1, *c.startAnswer);
            caseFlow.Tick();
        } else {
            EXPECT_EQ(caseHost.Sent().size(), 1u);
        }
        EXPECT_EQ(caseFlow.State(), c.state);
        std::vector<Report> expected;
        for (int id : c.reports) {
            const int level = id == 321 || id == 323 ? 0 : 1;
            expected.push_back({level, FormatCatalogText(Msg{id}, HostText())});
        }
        EXPECT_EQ(caseSink.Reports(), expected);
        EXPECT_EQ(caseSink.Started().size(), c.state == FS_STREAMING ? 1u : 0u);
        // A failed flow stays failed.
        const std::size_t sentBefore = caseHost.Sent().size();
        caseFlow.Tick();
        caseFlow.Tick();
        if (c.state == FS_FAILED) {
            EXPECT_EQ(caseFlow.State(), FS_FAILED);
            EXPECT_EQ(caseHost.Sent().size(), sentBefore);
        }
    }
}

TEST_F(DatagramFlowTest, ThirtyTwoSecondsOfSilenceRestartTheStream) {
    StartStreaming();
    Feed(0);
    Feed(1);
    for (int tick = 0; tick < 10; ++tick) {
        flow.Tick();
    }
    // Any datagram, even one that is not a data packet, is a sign of life.
    const uint8_t noise[2] = {1, 2};
    flow.OnDatagram(noise, sizeof noise, TranscoderAddress{Ip("127.0.0.9"), 1});
    for (int tick = 0; tick < 15; ++tick) {
        flow.Tick();
    }
    EXPECT_EQ(flow.State(), FS_STREAMING);
    EXPECT_EQ(host.Sent().size(), 2u);
    flow.Tick();  // the 16th silent tick: 32 s
    EXPECT_EQ(flow.State(), FS_RECONNECT);
    ASSERT_EQ(host.Sent().size(), 3u);
    EXPECT_EQ(host.Sent()[2].code, TCMD_STOP);
    // The transcoder begins its new stream at 0: in order, and the reader
    // hears that the stream restarted.
    Feed(0);
    bool restart = false;
    EXPECT_EQ(ReadAll(&restart), std::vector<int>{0});
    EXPECT_TRUE(restart);
    EXPECT_EQ(Statistics().nStreamLost, 0u);
}

TEST_F(DatagramFlowTest, SilenceOfALostTranscoderGoesBackToStarting) {
    StartStreaming();
    host.presence = kPresenceLost;
    for (int tick = 0; tick < 16; ++tick) {
        flow.Tick();
    }
    EXPECT_EQ(flow.State(), FS_STARTING);
    EXPECT_EQ(host.Sent().size(), 2u);
    host.presence = kPresenceAnswering;
    flow.Tick();
    EXPECT_EQ(flow.State(), FS_RECONNECT);
    EXPECT_EQ(host.Sent().size(), 3u);
}

TEST_F(DatagramFlowTest, SupervisionThreadRunsTheCycleByItself) {
    host.completeAtOnce = true;
    flow.SetSupervisionPeriod(1ms);
    StartFlow();
    // Bounded wait for the thread's ticks (not a timing assertion).
    for (int i = 0; i < 5000 && flow.State() != FS_STREAMING; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(flow.State(), FS_STREAMING);
    flow.Stop();
    EXPECT_EQ(sink.Started().size(), 1u);
}

// --- Device commands ---

TEST_F(DatagramFlowTest, DeviceCommandsCarryTheirWords) {
    StartFlow();
    host.completeAtOnce = true;
    struct Case {
        RequestResult (*call)(CDatagramFlowProcessor&);
        uint8_t code;
        uint32_t param2;
    };
    const std::vector<Case> cases = {
        {[](CDatagramFlowProcessor& f) { return f.WriteAdcWord(33505); }, TCMD_OUT_DATA_TO_ADC,
         33377},
        {[](CDatagramFlowProcessor& f) { return f.WriteAdcWord(33377); }, TCMD_OUT_DATA_TO_ADC,
         33377},
        {[](CDatagramFlowProcessor& f) { return f.WriteAdcWord(0x810D); }, TCMD_OUT_DATA_TO_ADC,
         0x810D},
        {[](CDatagramFlowProcessor& f) { return f.ResetAdc(); }, TCMD_RESET_ADC, 0},
        {[](CDatagramFlowProcessor& f) { return f.WriteLineWord(0x00021801); },
         TCMD_WRITE_DATA_TO_SOGL, 0x00021801},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].call(flow), RequestResult::kSuccess);
        const SentCommand sent = host.Sent().back();
        EXPECT_EQ(sent.to, kTranscoder);
        EXPECT_EQ(sent.code, cases[i].code);
        EXPECT_EQ(sent.param1, 0u);
        EXPECT_EQ(sent.param2, cases[i].param2);
    }
    host.results = {RequestResult::kRejected};
    EXPECT_EQ(flow.ResetAdc(), RequestResult::kRejected);
}

TEST_F(DatagramFlowTest, EnableGroupGoesThroughTheConfigurator) {
    StartFlow();
    host.enableResult = RequestResult::kRefused;
    EXPECT_EQ(flow.EnableGroup(2, true), RequestResult::kRefused);
    ASSERT_EQ(host.enableCalls.size(), 1u);
    EXPECT_EQ(host.enableCalls[0].to, kTranscoder);
    EXPECT_EQ(host.enableCalls[0].group, 2u);
    EXPECT_TRUE(host.enableCalls[0].on);
    EXPECT_TRUE(host.Sent().empty());
}

TEST_F(DatagramFlowTest, UploadsTheAonRequestSignal) {
    StartFlow();
    host.completeAtOnce = true;
    struct Case {
        uint32_t level;
        uint32_t form;
    };
    // 250 % is beyond full scale: held at 32767 instead of wrapping round.
    for (const Case& c : {Case{50, 0}, Case{100, 0}, Case{30, 1}, Case{250, 1}}) {
        SCOPED_TRACE(c.level * 10 + c.form);
        host.aonLevel = c.level;
        host.aonForm = c.form;
        const std::size_t before = host.Sent().size();
        ASSERT_EQ(flow.UploadAonRequestSignal(), RequestResult::kSuccess);
        EXPECT_EQ(host.aonSerialAsked, kSerial);
        const std::vector<SentCommand> sent = host.Sent();
        ASSERT_EQ(sent.size() - before, 32u);
        const double amplitude = std::min(c.level * 32767.0 * 0.01, 32767.0);
        for (uint32_t i = 0; i < 32; ++i) {
            const double value = c.form == 0 ? amplitude * std::sin(i * 0.03125 * 6.28256)
                                             : (i < 16 ? amplitude : -amplitude);
            const auto sample = static_cast<uint16_t>(static_cast<int16_t>(std::trunc(value)));
            EXPECT_EQ(sent[before + i].code, TCMD_WRITE_AON_REQ_SAMPLE);
            EXPECT_EQ(sent[before + i].param1, 0u);
            EXPECT_EQ(sent[before + i].param2, (i << 16) | sample) << i;
        }
    }
    // Sample 8 (value 1 at 50 %, sine: index 8 is the crest) pinned exactly.
    host.aonLevel = 50;
    host.aonForm = 0;
    const std::size_t before = host.Sent().size();
    flow.UploadAonRequestSignal();
    EXPECT_EQ(host.Sent()[before + 8].param2, (8u << 16) | 16383u);

    // The first sample that fails ends the upload with its result.
    host.results = {RequestResult::kSuccess, RequestResult::kSuccess, RequestResult::kNoAnswer};
    const std::size_t atFailure = host.Sent().size();
    EXPECT_EQ(flow.UploadAonRequestSignal(), RequestResult::kNoAnswer);
    EXPECT_EQ(host.Sent().size() - atFailure, 3u);
}

TEST_F(DatagramFlowTest, UploadForAnUnregisteredSerialSendsNothing) {
    DeviceInfo other = Identity();
    other.SerialNumber = kSerial + 1;
    bool started = false;
    for (int attempt = 0; attempt < 20 && !started; ++attempt) {
        started = flow.Start(other, 5000, FreeUdpPort(), kTranscoder, 1, "");
    }
    ASSERT_TRUE(started);
    EXPECT_EQ(flow.UploadAonRequestSignal(), RequestResult::kNoTranscoder);
    EXPECT_TRUE(host.Sent().empty());
}

// --- Through the real data socket ---

TEST_F(DatagramFlowTest, StreamsThroughTheDataSocketAndAsksForAMissingPacket) {
    // The transcoder sits at 127.0.0.2 on the data port number, where the
    // flow sends its retransmission requests.
    const TranscoderAddress transcoder{Ip("127.0.0.2"), 5000};
    host.presenceAddress = transcoder;
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    const int on = 1;
    setsockopt(peer, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    timeval wait{5, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    bool bound = false;
    for (int attempt = 0; attempt < 20 && !bound; ++attempt) {
        StartFlow(transcoder);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = transcoder.ip;
        self.sin_port = htons(port);
        bound = bind(peer, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0;
    }
    ASSERT_TRUE(bound);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = Ip("127.0.0.1");
    server.sin_port = htons(port);
    auto send = [&](uint16_t seq) {
        const std::vector<uint8_t> packet = Packet(seq);
        ASSERT_EQ(sendto(peer, packet.data(), packet.size(), 0,
                         reinterpret_cast<sockaddr*>(&server), sizeof server),
                  static_cast<ssize_t>(packet.size()));
    };
    for (uint16_t seq = 0; seq < 10; ++seq) {
        if (seq != 3) {
            send(seq);
        }
    }
    uint8_t request[16] = {};
    const ssize_t got = recv(peer, request, sizeof request, 0);
    ASSERT_EQ(got, 4);
    EXPECT_EQ(request[0], 0x47);
    EXPECT_EQ(request[1], 0x47);
    EXPECT_EQ(request[2], 3);
    EXPECT_EQ(request[3], 0);
    send(3);
    for (int i = 0; i < 5000 && Statistics().nPacketReceive < 10; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Statistics().nResendPacketReceive, 1u);
    EXPECT_TRUE(event.TryReset());
    EXPECT_EQ(ReadAll(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    close(peer);
    flow.Stop();
}

}  // namespace
}  // namespace zorv
