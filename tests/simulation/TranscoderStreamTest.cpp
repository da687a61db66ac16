// The simulated transcoders' data streams as a server sees them, over real
// sockets on loopback: the datagram kind's numbered packets of board records
// (read back with the record stream parser of the devices), retransmission
// and the faults; the NET2 kind's data connection read by a plain TCP client
// and decoded here with small helpers of this file. Every transcoder binds
// port 0 on an address of this file's own 127.0.74.0/24 range.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <speex/speex.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/Net2Format.h"
#include "devices/RecordStreamParser.h"
#include "simulation/SimulatedTranscoder.h"
#include "support/ChildProcess.h"
#include "support/ShellClient.h"
#include "transcoders/TranscoderDataProtocol.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {
namespace {
using test::CShellClient;

using namespace std::chrono_literals;

constexpr auto kWait = 5000ms;
// How long a stream that must stay quiet is listened to.
constexpr auto kQuietWait = 300ms;

uint32_t Ip(const char* text) { return ParseAddressText(text)->ip; }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

SimTranscoderConfig MakeConfig(const char* address, SimTranscoderKind kind, int channels,
                               uint16_t hardwareVersion = 203) {
    SimTranscoderConfig config;
    config.kind = kind;
    config.layout = kind == SimTranscoderKind::kNet2 ? TranscoderLayout::kNet2Scan
                                                     : TranscoderLayout::kCurrent;
    config.info = {.HardwareVersion = hardwareVersion, .DeviceType = 1,
                   .Channels = static_cast<uint8_t>(channels), .SerialNumber = 7401,
                   .SoftwareVersion = 100, .StateFlags = 0};
    SetFieldText(config.config.StartPassword, "go");
    config.config.IpAddr = Ip(address);
    config.lines[0].toneHz = 440;
    config.lines[1].toneHz = 1000;
    return config;
}

std::unique_ptr<CSimulatedTranscoder> StartTranscoder(const SimTranscoderConfig& config) {
    auto transcoder = std::make_unique<CSimulatedTranscoder>(config);
    std::string error;
    EXPECT_TRUE(transcoder->Start(error)) << error;
    return transcoder;
}

struct DataPacket {
    uint16_t sequence = 0;
    uint32_t from = 0;
    std::vector<uint8_t> bytes;  // the whole datagram
};

// The server's side of the datagram kind: one socket on 127.0.0.1 that sends
// the device commands and receives their answers and the data packets.
class CDataServer {
public:
    CDataServer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = Ip("127.0.0.1");
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~CDataServer() { ::close(m_fd); }
    uint16_t Port() const { return m_port; }

    // One device command; the answer's type (0: none within the wait).
    uint8_t Command(const CSimulatedTranscoder& to, uint8_t code, uint32_t param1,
                    uint32_t param2 = 0) {
        TranscoderPacket packet;
        packet.type = FC_DEV_SETTINGS;
        packet.sequence = ++m_sequence;
        packet.command = code;
        packet.param1 = param1;
        packet.param2 = param2;
        uint8_t bytes[kCurrentPacketSize];
        const std::size_t size = EncodeTranscoderPacket(packet, bytes);
        SendTo(bytes, size, to.Address(), to.ConfigPort());
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            auto received = ReceiveRaw(100ms);
            if (!received) {
                continue;
            }
            if (auto answer = DecodeTranscoderPacket({received->bytes.data(), received->bytes.size()});
                answer && answer->sequence == m_sequence) {
                return answer->type;
            }
            if (IsData(*received)) {
                m_stash.push_back(std::move(*received));
            }
        }
        return 0;
    }

    uint8_t Start(const CSimulatedTranscoder& to) { return Command(to, TCMD_START, m_port); }

    void AskResend(const CSimulatedTranscoder& to, uint16_t dataPort, uint16_t sequence) {
        const uint8_t bytes[4] = {0x47, 0x47, static_cast<uint8_t>(sequence),
                                  static_cast<uint8_t>(sequence >> 8)};
        SendTo(bytes, sizeof bytes, to.Address(), dataPort);
    }

    // The next data packet (nullopt: none within the wait).
    std::optional<DataPacket> Next(std::chrono::milliseconds wait = kWait) {
        if (!m_stash.empty()) {
            DataPacket packet = std::move(m_stash.front());
            m_stash.pop_front();
            return packet;
        }
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            auto received = ReceiveRaw(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (received && IsData(*received)) {
                return received;
            }
        }
        return std::nullopt;
    }

    std::vector<DataPacket> Take(int count) {
        std::vector<DataPacket> packets;
        while (static_cast<int>(packets.size()) < count) {
            auto packet = Next();
            if (!packet) {
                ADD_FAILURE() << "only " << packets.size() << " packets of " << count;
                break;
            }
            packets.push_back(std::move(*packet));
        }
        return packets;
    }

    // Drops what arrives until the stream is quiet for kQuietWait.
    int Drain() {
        m_stash.clear();
        int drained = 0;
        while (Next(kQuietWait)) {
            ++drained;
        }
        return drained;
    }

private:
    static bool IsData(const DataPacket& packet) {
        return packet.bytes.size() == kDataPacketSize && Le16(packet.bytes.data()) == kDataPacketMark;
    }

    void SendTo(const uint8_t* bytes, std::size_t size, uint32_t ip, uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ip;
        address.sin_port = htons(port);
        ASSERT_EQ(::sendto(m_fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&address),
                           sizeof address),
                  static_cast<ssize_t>(size));
    }

    std::optional<DataPacket> ReceiveRaw(std::chrono::milliseconds wait) {
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(std::max<int64_t>(wait.count(), 0))) != 1) {
            return std::nullopt;
        }
        DataPacket packet;
        packet.bytes.resize(2048);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = ::recvfrom(m_fd, packet.bytes.data(), packet.bytes.size(), 0,
                                        reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0) {
            return std::nullopt;
        }
        packet.bytes.resize(static_cast<std::size_t>(size));
        packet.from = sender.sin_addr.s_addr;
        if (size >= 4) {
            packet.sequence = Le16(packet.bytes.data() + 2);
        }
        return packet;
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    uint16_t m_sequence = 0;
    std::deque<DataPacket> m_stash;  // data that came while a command waited
};

std::vector<uint16_t> Sequences(const std::vector<DataPacket>& packets) {
    std::vector<uint16_t> sequences;
    for (const DataPacket& packet : packets) {
        sequences.push_back(packet.sequence);
    }
    return sequences;
}

// Counts what the record stream parser finds in the payloads.
class CRecordCounter : public IRecordStreamSink {
public:
    void OnBlock(int) override { ++blocks; }
    void OnEvent(int group, int channelField, uint8_t value, uint8_t code) override {
        events.push_back({group, channelField, value, code});
    }
    void OnResync(int rejected) override { resyncs += rejected; }
    void OnSplitLimit() override {}
    void OnSinkFailure() override {}

    struct Event {
        int group, channel;
        uint8_t value, code;
    };
    int blocks = 0;
    int resyncs = 0;
    std::vector<Event> events;
};

struct ParsedStream {
    int blocks = 0;
    int resyncs = 0;
    std::vector<CRecordCounter::Event> events;
};

ParsedStream ParsePayloads(const std::vector<DataPacket>& packets, int audioLength, int channels) {
    CRecordCounter counter;
    CRecordStreamParser parser(counter);
    parser.Configure(audioLength, {channels, 0, 0}, {0, channels, channels});
    parser.SetBlockSamples(0, 64);
    for (const DataPacket& packet : packets) {
        parser.Feed(packet.bytes.data() + sizeof(DataPacketHeader), kDataPayloadSize);
    }
    return {counter.blocks, counter.resyncs, counter.events};
}

TEST(TranscoderStreamTest, DatagramPacketsAreNumberedBoardRecordsFromTheTranscoder) {
    struct Case {
        uint16_t hardwareVersion;
        int audioLength;
    };
    const Case cases[] = {{203, kShortAudioRecordLength}, {300, kLongAudioRecordLength}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hardwareVersion);
        SimTranscoderConfig config =
            MakeConfig("127.0.74.1", SimTranscoderKind::kDatagram, 2, c.hardwareVersion);
        // Line 2 rings at once and is in a call 100 ms later.
        config.lines[1].ringMs = 100;
        config.lines[1].callMs = 60'000;
        auto transcoder = StartTranscoder(config);
        CDataServer server;
        ASSERT_EQ(server.Start(*transcoder), FT_EXEC_ACKNOWLEDGE);
        const auto packets = server.Take(30);
        ASSERT_EQ(packets.size(), 30u);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].sequence, i);
            EXPECT_EQ(packets[i].from, transcoder->Address());
        }
        const ParsedStream parsed = ParsePayloads(packets, c.audioLength, 2);
        EXPECT_EQ(parsed.resyncs, 0);
        EXPECT_GT(parsed.blocks, 0);
        std::vector<uint8_t> lineEvents;
        for (const auto& event : parsed.events) {
            if (event.code == Code(DspEvent::Line) && event.channel == 1) {
                lineEvents.push_back(event.value);
            }
        }
        EXPECT_EQ(lineEvents, (std::vector<uint8_t>{kLineRing, kLineCallIn}));

        ASSERT_EQ(server.Command(*transcoder, TCMD_STOP, 0), FT_EXEC_ACKNOWLEDGE);
        server.Drain();
        EXPECT_FALSE(server.Next(kQuietWait));
        EXPECT_FALSE(transcoder->StreamStats().streaming);
    }
}

TEST(TranscoderStreamTest, RetransmissionRequestsAreAnsweredFromTheLastPackets) {
    auto transcoder =
        StartTranscoder(MakeConfig("127.0.74.2", SimTranscoderKind::kDatagram, 1));
    CDataServer server;
    ASSERT_EQ(server.Start(*transcoder), FT_EXEC_ACKNOWLEDGE);
    const auto first = server.Take(4);
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(server.Command(*transcoder, TCMD_STOP, 0), FT_EXEC_ACKNOWLEDGE);
    server.Drain();

    // Asked at the data port number (the stream's own socket) and at the
    // configuration port: both answer with the very packet.
    for (const uint16_t port : {server.Port(), transcoder->ConfigPort()}) {
        server.AskResend(*transcoder, port, 2);
        const auto again = server.Next();
        ASSERT_TRUE(again) << port;
        EXPECT_EQ(again->bytes, first[2].bytes);
    }
    server.AskResend(*transcoder, server.Port(), 40000);  // never sent
    ASSERT_TRUE(test::PollUntil([&] { return transcoder->StreamStats().resendsUnknown == 1; }, kWait));
    EXPECT_FALSE(server.Next(kQuietWait));
    EXPECT_EQ(transcoder->StreamStats().resendsAnswered, 2u);
}

TEST(TranscoderStreamTest, DatagramFaults) {
    struct Case {
        const char* name;
        SimStreamFaults faults;
        std::vector<uint16_t> expected;  // the first sequence numbers received
    };
    auto faults = [](auto set) {
        SimStreamFaults f;
        set(f);
        return f;
    };
    std::vector<uint16_t> gap11;
    std::vector<uint16_t> gap12;
    for (uint16_t s = 0; s < 20; ++s) {
        gap11.push_back(s);
        gap12.push_back(s);
    }
    gap11.insert(gap11.end(), {31, 32});
    gap12.insert(gap12.end(), {32, 33});
    const Case cases[] = {
        {"drop every 4th", faults([](auto& f) { f.dropEvery = 4; }), {0, 1, 2, 4, 5, 6, 8, 9}},
        {"reordered pairs", faults([](auto& f) { f.reorderPairs = true; }), {1, 0, 3, 2, 5, 4}},
        {"every 3rd twice", faults([](auto& f) { f.duplicateEvery = 3; }), {0, 1, 2, 2, 3, 4, 5, 5}},
        {"gap of 11", faults([](auto& f) { f.gapOnce = 11; }), gap11},
        {"gap of 12", faults([](auto& f) { f.gapOnce = 12; }), gap12},
        {"wrap", faults([](auto& f) { f.sequenceStart = 65530; }),
         {65530, 65531, 65532, 65533, 65534, 65535, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimTranscoderConfig config = MakeConfig("127.0.74.3", SimTranscoderKind::kDatagram, 1);
        config.faults = c.faults;
        auto transcoder = StartTranscoder(config);
        CDataServer server;
        ASSERT_EQ(server.Start(*transcoder), FT_EXEC_ACKNOWLEDGE);
        const auto packets = server.Take(static_cast<int>(c.expected.size()));
        EXPECT_EQ(Sequences(packets), c.expected);
        if (c.faults.dropEvery > 0) {
            // A packet that never came is still kept for a retransmission.
            server.AskResend(*transcoder, server.Port(), 3);
            std::optional<DataPacket> resent;
            while ((resent = server.Next()) && resent->sequence != 3) {
            }
            EXPECT_TRUE(resent);
        }
    }
}

TEST(TranscoderStreamTest, DatagramStartRefusedAndSilence) {
    SimTranscoderConfig config = MakeConfig("127.0.74.4", SimTranscoderKind::kDatagram, 1);
    config.faults.refuseStart = true;
    auto transcoder = StartTranscoder(config);
    CDataServer server;
    EXPECT_EQ(server.Start(*transcoder), FT_BAD_PASSWORD);
    EXPECT_FALSE(server.Next(kQuietWait));

    config.faults.refuseStart = false;
    transcoder->SetStreamFaults(config.faults);
    ASSERT_EQ(server.Start(*transcoder), FT_EXEC_ACKNOWLEDGE);
    ASSERT_TRUE(server.Next());
    transcoder->SetSilence(60'000);
    server.Drain();
    const uint64_t sent = transcoder->StreamStats().packetsSent;
    EXPECT_FALSE(server.Next(kQuietWait));
    EXPECT_EQ(transcoder->StreamStats().packetsSent, sent);
    // The silence ends; numbering goes on where it stopped.
    transcoder->SetSilence(0);
    const auto after = server.Next();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->sequence, static_cast<uint16_t>(sent));
}

TEST(TranscoderStreamTest, DeviceCommandsReachTheBoard) {
    auto transcoder =
        StartTranscoder(MakeConfig("127.0.74.5", SimTranscoderKind::kDatagram, 2));
    CDataServer server;
    ASSERT_EQ(server.Start(*transcoder), FT_EXEC_ACKNOWLEDGE);
    // Converter of group 0: 16000 Hz.
    ASSERT_EQ(server.Command(*transcoder, TCMD_RESET_ADC, 0), FT_EXEC_ACKNOWLEDGE);
    const std::vector<uint16_t> words = {0x810D, 1, 2, 3, 4, 5, 6, 7};
    for (const uint16_t word : words) {
        ASSERT_EQ(server.Command(*transcoder, TCMD_OUT_DATA_TO_ADC, 0, word), FT_EXEC_ACKNOWLEDGE);
    }
    EXPECT_EQ(transcoder->AdcWords(), words);
    // A request signal sample and a line command: the processor answers a
    // version request with an event record in the stream.
    ASSERT_EQ(server.Command(*transcoder, TCMD_WRITE_AON_REQ_SAMPLE, 0, (5u << 16) | 0xFFFE),
              FT_EXEC_ACKNOWLEDGE);
    EXPECT_EQ(transcoder->RequestSignal()[5], -2);
    const uint32_t versionRequest = (1u << 16) | (Code(DspCommand::RequestVersion) << 8);
    ASSERT_EQ(server.Command(*transcoder, TCMD_WRITE_DATA_TO_SOGL, 0, versionRequest),
              FT_EXEC_ACKNOWLEDGE);
    EXPECT_EQ(transcoder->LineCommands(),
              (std::vector<std::array<int, 3>>{{1, Code(DspCommand::RequestVersion), 0}}));
    const auto withAnswer = server.Take(20);
    const ParsedStream parsed = ParsePayloads(withAnswer, kShortAudioRecordLength, 2);
    bool versionSeen = false;
    for (const auto& event : parsed.events) {
        versionSeen |= event.code == Code(DspEvent::Version) && event.channel == 1;
    }
    EXPECT_TRUE(versionSeen);

    // Group 0 switched off: event records only, no audio at all.
    ASSERT_EQ(server.Command(*transcoder, TCMD_ENABLE_GROUP, 0, 0), FT_EXEC_ACKNOWLEDGE);
    server.Drain();
    EXPECT_FALSE(server.Next(kQuietWait));
    ASSERT_EQ(server.Command(*transcoder, TCMD_ENABLE_GROUP, 0, 1), FT_EXEC_ACKNOWLEDGE);
    EXPECT_TRUE(server.Next());
}

// The NET2 data connection, as a plain TCP client.
class CDataClient {
public:
    CDataClient(uint32_t ip, uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ip;
        address.sin_port = htons(port);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~CDataClient() { ::close(m_fd); }

    void Control(std::string_view text, const std::string& password) {
        std::string bytes(text);
        bytes += password;
        bytes.push_back('\0');
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // At least count bytes (fewer when the connection ends or the wait runs out).
    bool Fill(std::size_t count, std::chrono::milliseconds wait = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (m_bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 50) != 1) {
                continue;
            }
            uint8_t chunk[8192];
            const ssize_t size = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (size <= 0) {
                m_closed = true;
                return false;
            }
            m_bytes.insert(m_bytes.end(), chunk, chunk + size);
        }
        return m_bytes.size() >= count;
    }
    bool Closed() const { return m_closed; }
    std::vector<uint8_t>& Bytes() { return m_bytes; }

private:
    int m_fd = -1;
    bool m_closed = false;
    std::vector<uint8_t> m_bytes;
};

struct Net2Section {
    int channel = 0;
    std::size_t count = 0;  // bytes (NONE, ALAW, SPEEX) or blocks (ADPCM)
    std::vector<uint8_t> data;
};

struct Net2Packet {
    uint16_t word = 0;
    std::vector<Net2Section> sections;
    std::vector<uint8_t> events;
};

// Reads one NET2 packet of a compression from the client (nullopt when it
// does not come whole).
std::optional<Net2Packet> ReadNet2Packet(CDataClient& client, uint32_t compression) {
    std::size_t at = 0;
    auto need = [&](std::size_t n) { return client.Fill(at + n); };
    if (!need(kNet2HeaderSize)) {
        return std::nullopt;
    }
    Net2Packet packet;
    packet.word = Le16(client.Bytes().data() + kNet2MaskOffset);
    at = kNet2HeaderSize;
    for (int c = 0; c < kNet2MaxChannels; ++c) {
        if ((packet.word & (1u << c)) == 0) {
            continue;
        }
        Net2Section section;
        section.channel = c;
        if (!need(2)) {
            return std::nullopt;
        }
        std::size_t length = 0;
        if (compression == kCompressAdpcm) {
            section.count = client.Bytes()[at + 1];
            length = section.count * kAdpcmBlockSize;
        } else {
            section.count = Le16(client.Bytes().data() + at);
            length = section.count;
        }
        at += 2;
        if (!need(length)) {
            return std::nullopt;
        }
        section.data.assign(client.Bytes().begin() + static_cast<std::ptrdiff_t>(at),
                            client.Bytes().begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        packet.sections.push_back(std::move(section));
    }
    if ((packet.word & kNet2EventFlag) != 0) {
        if (!need(2)) {
            return std::nullopt;
        }
        const std::size_t length = Le16(client.Bytes().data() + at);
        at += 2;
        if (!need(length)) {
            return std::nullopt;
        }
        packet.events.assign(client.Bytes().begin() + static_cast<std::ptrdiff_t>(at),
                             client.Bytes().begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    client.Bytes().erase(client.Bytes().begin(), client.Bytes().begin() + static_cast<std::ptrdiff_t>(at));
    return packet;
}

TEST(TranscoderStreamTest, Net2ShellAnswersTheFlowsCommands) {
    struct Step {
        const char* command;
        const char* reply;
    };
    const Step steps[] = {
        {"lock", "OK"},
        {"codec:setchannel 5", "OK"},
        {"codec:setchannel 6", "ERROR: channel 0..5 expected"},
        {"codec:setcompress ALAW", "OK"},
        {"codec:setcompress MP3", "ERROR: NONE, SPEEX, ADPCM or ALAW expected"},
        {"codec:setfreq 16", "OK"},
        {"codec:setfreq 11", "ERROR: 8, 16 or 32 expected"},
        {"codec:setgain 1 3", "OK"},
        {"block:codec:setgain 1 2 3 4 5 6", "OK"},
        {"block:codec:setgain 1 2 3", "ERROR: six numbers expected"},
        {"codec:setspeex8kHz 12", "ERROR: no such Speex mode"},
        {"codec:setspeex8kHz 11", "OK"},
        {"codec:setspeex16kHz 24", "OK"},
        {"codec:setbuff NONE 128", "OK"},
        {"line:set 33 7", "OK"},
        {"block:line:set 0 1 2 3 4 5 6 7 8 9", "OK"},
        {"line:setonoff 3", "OK"},
        {"line:setstate 63", "OK"},
        {"codec:update", "OK"},
        // SPEEX at 32 kHz has no format.
        {"codec:setcompress SPEEX", "OK"},
        {"codec:setfreq 32", "OK"},
        {"codec:update", "ERROR: the codec settings do not fit together"},
    };
    SimTranscoderConfig config = MakeConfig("127.0.74.10", SimTranscoderKind::kNet2, 6);
    auto transcoder = StartTranscoder(config);
    CShellClient shell(transcoder->Address(), transcoder->ShellPort());
    shell.Read();
    ASSERT_EQ(shell.Reply("user"), "password>");
    ASSERT_EQ(shell.Reply("go"), "NET2 shell>");
    const std::string info = shell.Reply("info");
    EXPECT_TRUE(info.ends_with("\r\nOK: Hardware error code: 0x0\r\nOK: SPEEX error code: 0x0"))
        << info;
    for (const Step& step : steps) {
        EXPECT_EQ(shell.Reply(step.command), step.reply) << step.command;
    }
    ASSERT_TRUE(test::PollUntil([&] { return transcoder->AppliedCodec().rateHz == 16000; }, kWait));
    const SimNet2Codec applied = transcoder->AppliedCodec();
    EXPECT_EQ(applied.compression, kCompressAlaw);
    EXPECT_EQ(applied.speex8Mode, 11u);
    EXPECT_EQ(applied.speex16Mode, 24u);
    EXPECT_EQ(applied.lineOnOff, 3u);
}

TEST(TranscoderStreamTest, Net2ShellFaults) {
    SimTranscoderConfig config = MakeConfig("127.0.74.11", SimTranscoderKind::kNet2, 6);
    config.faults.speexRefused = true;
    config.faults.speexErrorCode = "0x3";
    auto transcoder = StartTranscoder(config);
    {
        CShellClient shell(transcoder->Address(), transcoder->ShellPort());
        shell.Read();
        shell.Reply("user");
        ASSERT_EQ(shell.Reply("go"), "NET2 shell>");
        EXPECT_TRUE(shell.Reply("info").ends_with(
            "\r\nOK: Hardware error code: 0x4\r\nOK: SPEEX error code: 0x3"));
        EXPECT_EQ(shell.Reply("codec:setcompress SPEEX"), "ERROR: SPEEX not available");
    }
    config.faults.refuseStart = true;
    transcoder->SetStreamFaults(config.faults);
    CShellClient shell(transcoder->Address(), transcoder->ShellPort());
    shell.Read();
    shell.Reply("user");
    EXPECT_EQ(shell.Reply("go"), "Login incorrect\r\nlogin>");
}

struct CodecCase {
    uint32_t compression;
    uint32_t freq;  // kHz
    uint32_t speexMode;
};

// Logs in as the flow does, sets the codec and applies it.
void SetCodec(CShellClient& shell, const CodecCase& c) {
    ASSERT_EQ(shell.Reply(fmt::format("codec:setcompress {}", kCompressionNames[c.compression])),
              "OK");
    ASSERT_EQ(shell.Reply(fmt::format("codec:setfreq {}", c.freq)), "OK");
    if (c.compression == kCompressSpeex) {
        const char* command = c.freq == 8 ? "codec:setspeex8kHz" : "codec:setspeex16kHz";
        ASSERT_EQ(shell.Reply(fmt::format("{} {}", command, c.speexMode)), "OK");
    }
    ASSERT_EQ(shell.Reply("codec:update"), "OK");
}

TEST(TranscoderStreamTest, Net2SectionsFollowTheCompression) {
    std::vector<CodecCase> cases = {{kCompressNone, 8, 0},  {kCompressNone, 32, 0},
                                    {kCompressAlaw, 16, 0}, {kCompressAdpcm, 8, 0},
                                    {kCompressAdpcm, 16, 0}};
    for (const uint32_t mode : {8u, 11u, 16u, 20u, 32u}) {
        cases.push_back({kCompressSpeex, 8, mode});
    }
    for (const uint32_t mode : {10u, 12u, 15u, 20u, 24u, 32u, 40u}) {
        cases.push_back({kCompressSpeex, 16, mode});
    }
    SimTranscoderConfig config = MakeConfig("127.0.74.12", SimTranscoderKind::kNet2, 2);
    config.config.ProtectLevel = 2;
    auto transcoder = StartTranscoder(config);
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(fmt::format("{} {} kHz mode {}", kCompressionNames[c.compression], c.freq,
                                 c.speexMode));
        const uint32_t rate = c.freq * 1000;
        CShellClient shell(transcoder->Address(), transcoder->ShellPort());
        shell.Read();
        shell.Reply("user");
        ASSERT_EQ(shell.Reply("go"), "NET2 shell>");
        SetCodec(shell, c);
        CDataClient data(transcoder->Address(), transcoder->DataPort());
        data.Control(kStreamStart, "go");
        std::size_t samples[2] = {};
        void* decoder = nullptr;
        if (c.compression == kCompressSpeex) {
            decoder = speex_decoder_init(
                speex_lib_get_mode(rate == 8000 ? SPEEX_MODEID_NB : SPEEX_MODEID_WB));
        }
        // About 300 ms of stream: every channel has had whole units by then.
        for (int n = 0; n < 15; ++n) {
            const auto packet = ReadNet2Packet(data, c.compression);
            ASSERT_TRUE(packet);
            EXPECT_EQ(packet->word & ~(kNet2EventFlag | 0x3u), 0);
            EXPECT_NE(packet->word & kNet2EventFlag, 0);
            EXPECT_EQ(packet->events.size(), 4u);
            for (const Net2Section& section : packet->sections) {
                EXPECT_GT(section.count, 0u);
                const auto channel = static_cast<std::size_t>(section.channel);
                switch (c.compression) {
                    case kCompressNone:
                        EXPECT_EQ(section.count % 2, 0u);
                        samples[channel] += section.count / 2;
                        break;
                    case kCompressAlaw:
                        samples[channel] += section.count;
                        break;
                    case kCompressAdpcm:
                        samples[channel] += section.count * kAdpcmBlockSamples;
                        break;
                    case kCompressSpeex: {
                        const std::size_t frameBytes = SpeexFrameBytes(rate, c.speexMode);
                        ASSERT_EQ(section.count % frameBytes, 0u);
                        samples[channel] += section.count / frameBytes *
                                            (rate == 8000 ? kSpeexNarrowSamples : kSpeexWideSamples);
                        // The first frame decodes once its words are put back in order.
                        std::vector<uint8_t> frame(section.data.begin(),
                                                   section.data.begin() +
                                                       static_cast<std::ptrdiff_t>(frameBytes));
                        for (std::size_t i = 0; i + 1 < frame.size(); i += 2) {
                            std::swap(frame[i], frame[i + 1]);
                        }
                        SpeexBits bits;
                        speex_bits_init(&bits);
                        speex_bits_read_from(&bits, reinterpret_cast<char*>(frame.data()),
                                             static_cast<int>(frame.size()));
                        spx_int16_t out[kSpeexWideSamples];
                        EXPECT_EQ(speex_decode_int(decoder, &bits, out), 0);
                        speex_bits_destroy(&bits);
                        break;
                    }
                    default:
                        break;
                }
            }
        }
        if (decoder != nullptr) {
            speex_decoder_destroy(decoder);
        }
        EXPECT_GT(samples[0], 0u);
        EXPECT_GT(samples[1], 0u);
        data.Control(kStreamStop, "go");
        ASSERT_TRUE(test::PollUntil([&] { return !transcoder->StreamStats().streaming; }, kWait));
    }
}

// The line states of the event blocks of the packets read, each state once
// in the order it came (line status bits 0-1).
std::vector<uint8_t> StateChanges(CDataClient& data, int line, int packets) {
    std::vector<uint8_t> states;
    for (int n = 0; n < packets; ++n) {
        const auto packet = ReadNet2Packet(data, kCompressNone);
        if (!packet) {
            ADD_FAILURE() << "packet " << n << " missing";
            break;
        }
        const uint8_t state = packet->events.at(2 * static_cast<std::size_t>(line) + 1) &
                              kStatusLineMask;
        if (states.empty() || states.back() != state) {
            states.push_back(state);
        }
    }
    return states;
}

TEST(TranscoderStreamTest, Net2EventStatusesFollowTheCallTimeline) {
    SimTranscoderConfig config = MakeConfig("127.0.74.13", SimTranscoderKind::kNet2, 3);
    // Line 1: ring 100 ms, call in 200 ms, free 100 ms, over again.
    config.lines[0].ringMs = 100;
    config.lines[0].callMs = 200;
    config.lines[0].freeMs = 100;
    config.lines[1].lost = true;
    auto transcoder = StartTranscoder(config);
    CDataClient data(transcoder->Address(), transcoder->DataPort());
    data.Control(kStreamStart, "");
    // 50 packets of 20 ms: two and a half cycles.
    EXPECT_EQ(StateChanges(data, 0, 50), (std::vector<uint8_t>{2, 3, 1, 2, 3, 1, 2, 3}));
    // Lines without calls stay free; a lost line stays lost.
    EXPECT_EQ(StateChanges(data, 1, 5), (std::vector<uint8_t>{0}));
    EXPECT_EQ(StateChanges(data, 2, 5), (std::vector<uint8_t>{1}));
}

TEST(TranscoderStreamTest, Net2DataConnectionFaults) {
    SimTranscoderConfig config = MakeConfig("127.0.74.14", SimTranscoderKind::kNet2, 1);
    config.config.ProtectLevel = 2;
    auto transcoder = StartTranscoder(config);
    {
        // A wrong password starts nothing.
        CDataClient data(transcoder->Address(), transcoder->DataPort());
        data.Control(kStreamStart, "wrong");
        EXPECT_FALSE(data.Fill(1, kQuietWait));
        EXPECT_EQ(transcoder->StreamStats().startsRefused, 1);
    }
    {
        // Silence: no packets while it lasts, then the stream goes on.
        CDataClient data(transcoder->Address(), transcoder->DataPort());
        data.Control(kStreamStart, "go");
        ASSERT_TRUE(ReadNet2Packet(data, kCompressNone));
        transcoder->SetSilence(60'000);
        data.Fill(1u << 20, kQuietWait);  // what was sent before
        data.Bytes().clear();
        EXPECT_FALSE(data.Fill(1, kQuietWait));
        transcoder->SetSilence(0);
        EXPECT_TRUE(ReadNet2Packet(data, kCompressNone));
    }
    // The connection dropped by the transcoder after 200 ms of stream.
    config.faults.dropDataAfterMs = 200;
    transcoder->SetStreamFaults(config.faults);
    CDataClient data(transcoder->Address(), transcoder->DataPort());
    data.Control(kStreamStart, "go");
    data.Fill(1u << 30);
    EXPECT_TRUE(data.Closed());
}

}  // namespace
}  // namespace zorv
