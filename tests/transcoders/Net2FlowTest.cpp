// The NET2 data flow against a scripted shell peer and a TCP data peer on
// 127.0.0.1: the connect sequence, the info codes, the data timeouts, the
// stream control bytes, the receive buffer and every shell command text.
#include "transcoders/Net2FlowProcessor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/Journal.h"
#include "platform/AutoResetEvent.h"
#include "support/ShellPeer.h"
#include "transcoders/TranscoderDataProtocol.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;
using test::CShellPeer;
using test::ShellPeerScript;
using test::ShellReply;

constexpr const char* kPassword = "secret";
constexpr const char* kHost = "127.0.0.1";
constexpr uint32_t kContext = 77;
constexpr auto kPatience = 10s;  // bound of every wait for the peers

// The transcoder's side of the data connection: a listener on 127.0.0.1
// (port 0), driven from the test thread.
class CDataPeer {
public:
    CDataPeer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_listener, 4) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "data peer cannot listen";
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~CDataPeer() {
        CloseConnection();
        ::close(m_listener);
    }
    CDataPeer(const CDataPeer&) = delete;
    CDataPeer& operator=(const CDataPeer&) = delete;

    uint16_t Port() const { return m_port; }

    // A connection waits to be accepted (the flow's connect has completed).
    bool Pending() const {
        pollfd ready{m_listener, POLLIN, 0};
        return ::poll(&ready, 1, 0) > 0;
    }
    bool Accept() {
        pollfd ready{m_listener, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0) {
            return false;
        }
        CloseConnection();
        m_connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        return m_connection >= 0;
    }
    // Exactly count bytes, or fewer when they do not come in time.
    std::string Receive(std::size_t count) {
        std::string bytes;
        const auto end = std::chrono::steady_clock::now() + kPatience;
        while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd ready{m_connection, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) {
                continue;
            }
            char chunk[256];
            const ssize_t n =
                ::recv(m_connection, chunk, std::min(sizeof(chunk), count - bytes.size()), 0);
            if (n <= 0) {
                break;
            }
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        const auto end = std::chrono::steady_clock::now() + kPatience;
        while (sent < bytes.size() && std::chrono::steady_clock::now() < end) {
            pollfd ready{m_connection, POLLOUT, 0};
            if (::poll(&ready, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::send(m_connection, bytes.data() + sent, bytes.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return sent == bytes.size();
    }
    void CloseConnection() {
        if (m_connection >= 0) {
            ::close(m_connection);
            m_connection = -1;
        }
    }

private:
    int m_listener = -1;
    int m_connection = -1;
    uint16_t m_port = 0;
};

class CFakeHost final : public ITranscoderFlowHost {
public:
    uint32_t PresenceState(const TranscoderAddress&) const override { return presence.load(); }
    RequestHandle SendDeviceCommand(const TranscoderAddress&, uint8_t, uint32_t,
                                    uint32_t) override {
        return CompletedRequest(RequestResult::kRefused);
    }
    RequestHandle EnableGroup(const TranscoderAddress&, uint32_t, bool) override {
        return CompletedRequest(RequestResult::kRefused);
    }
    bool GetAonForm(uint32_t, uint32_t&, uint32_t&) const override { return false; }
    void RegisterFlow(uint32_t, CTranscoderFlow*) override {}

    std::atomic<uint32_t> presence{kPresenceAnswering};
};

class CFakeSink final : public CTranscoderFlowSink {
public:
    void Report(int level, const std::string& text) override {
        std::lock_guard lock(m_lock);
        m_reports.push_back({level, text});
    }
    void OnStarted(uint32_t context) override {
        lastContext = context;
        ++started;
    }
    std::vector<std::pair<int, std::string>> Reports() const {
        std::lock_guard lock(m_lock);
        return m_reports;
    }

    std::atomic<int> started{0};
    std::atomic<uint32_t> lastContext{0};

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<int, std::string>> m_reports;
};

class CFakeDevice final : public CTranscoderDeviceLink {
public:
    bool CheckIdentity(const DeviceInfo& identity, uint32_t protocol) override {
        lastChannels = identity.Channels;
        lastProtocol = protocol;
        return accept;
    }
    void OnFlowStopped() override { ++stopped; }

    bool accept = true;
    uint32_t lastChannels = 0;
    uint32_t lastProtocol = 0;
    std::atomic<int> stopped{0};
};

std::string InfoReply(std::optional<std::string> hardware, std::optional<std::string> speex) {
    std::string text = "OK: NET2 summary info\r\nOK: Device description: line room\r\n";
    if (hardware) {
        text += "OK: Hardware error code: " + *hardware + "\r\n";
    }
    if (speex) {
        text += "OK: SPEEX error code: " + *speex + "\r\n";
    }
    return text + "NET2 shell>";
}

ShellPeerScript Net2Script(std::string hardware = "0x0", std::string speex = "0x0") {
    ShellPeerScript script;
    script.user = "user";
    script.password = kPassword;
    script.replies["lock"] = {"OK: locked\r\nNET2 shell>"};
    script.replies["info"] = {InfoReply(hardware, speex)};
    script.unknownReply = "OK\r\nNET2 shell>";
    return script;
}

std::string StreamBytes(std::string_view text) {
    std::string bytes(text);
    bytes += kPassword;
    bytes.push_back('\0');
    return bytes;
}

std::pair<int, std::string> Error(int id, const std::string& a, const std::string& b = {}) {
    return {1, b.empty() ? FormatCatalogText(Msg{id}, a) : FormatCatalogText(Msg{id}, a, b)};
}

// One flow with its peers and fakes; the supervision runs from the test
// through Tick unless threaded.
struct Rig {
    explicit Rig(ShellPeerScript script, bool threaded = false) : shell(std::move(script)) {
        flow = std::make_unique<CNet2FlowProcessor>(host, sink, device, shell.Port());
        flow->RunSupervisionThread(threaded);
        flow->AllocateBuffer();
        flow->SetDataEvent(&event);
        flow->SetContext(kContext);
    }
    bool Start(const std::string& password = kPassword) {
        DeviceInfo identity{};
        identity.Channels = 6;
        return flow->Start(identity, static_cast<uint16_t>(data.Port() - 1), 0,
                           *ParseAddressText(kHost), 5, password);
    }
    // Start, one tick, the data connection accepted: FS_CONNECTED.
    void Connect() {
        ASSERT_TRUE(Start());
        flow->Tick();
        ASSERT_EQ(flow->State(), FS_CONNECTED);
        ASSERT_TRUE(data.Accept());
    }
    void Stream() {
        ASSERT_NO_FATAL_FAILURE(Connect());
        ASSERT_TRUE(flow->StartStream());
        ASSERT_EQ(data.Receive(StreamBytes(kStreamStart).size()), StreamBytes(kStreamStart));
        ASSERT_EQ(flow->State(), FS_STREAMING);
    }
    uint32_t StreamLost() { return flow->GetStatistics()->nStreamLost; }
    bool TakeRestart() {
        uint8_t byte = 0;
        bool restart = false;
        flow->ReadData(&byte, 0, restart);
        return restart;
    }

    CFakeHost host;
    CFakeSink sink;
    CFakeDevice device;
    CDataPeer data;
    CShellPeer shell;
    CAutoResetEvent event;
    std::unique_ptr<CNet2FlowProcessor> flow;  // destroyed first
};

TEST(Net2Flow, ConnectSequence) {
    struct Case {
        const char* name;
        ShellPeerScript script;
        uint32_t presence;
        uint32_t state;
        std::vector<std::string> commands;
        std::vector<std::pair<int, std::string>> reports;
    };
    ShellPeerScript lockRefused = Net2Script();
    lockRefused.replies["lock"] = {"ERROR: locked by another user\r\nNET2 shell>"};
    ShellPeerScript otherPassword = Net2Script();
    otherPassword.password = "other";
    ShellPeerScript noSpeexLine = Net2Script();
    noSpeexLine.replies["info"] = {InfoReply("0x0", std::nullopt)};
    const std::vector<Case> cases = {
        {"codes fine", Net2Script(), kPresenceAnswering, FS_CONNECTED, {"lock", "info"}, {}},
        {"no SPEEX hardware: SPEEX line ignored", Net2Script("0x4", "0x3"), kPresenceAnswering,
         FS_CONNECTED, {"lock", "info"}, {}},
        {"fatal hardware code", Net2Script("0x7"), kPresenceAnswering, FS_FAILED,
         {"lock", "info"}, {Error(442, kHost, "0x7")}},
        {"no SPEEX line", noSpeexLine, kPresenceAnswering, FS_STARTING,
         {"lock", "info"}, {}},
        {"lock refused", lockRefused, kPresenceAnswering, FS_STARTING, {"lock"}, {}},
        {"not answering", Net2Script(), kPresencePolled, FS_STARTING, {}, {}},
        {"unknown transcoder", Net2Script(), kPresenceUnknown, FS_STARTING, {}, {}},
        {"wrong password", otherPassword, kPresenceAnswering, FS_FAILED, {},
         {Error(324, kHost)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.script);
        rig.host.presence = c.presence;
        ASSERT_TRUE(rig.Start());
        EXPECT_EQ(rig.flow->State(), FS_STARTING);
        rig.flow->Tick();
        EXPECT_EQ(rig.flow->State(), c.state);
        EXPECT_EQ(rig.sink.Reports(), c.reports);
        const bool connected = c.state == FS_CONNECTED;
        EXPECT_EQ(rig.data.Pending(), connected);
        EXPECT_EQ(rig.sink.started.load(), connected ? 1 : 0);
        if (connected) {
            EXPECT_EQ(rig.sink.lastContext.load(), kContext);
        }
        if (c.presence != kPresenceAnswering) {
            EXPECT_EQ(rig.shell.Connections(), 0);
        } else if (c.state != FS_FAILED || !c.commands.empty()) {
            const std::vector<std::string> received = rig.shell.Received();
            ASSERT_GE(received.size(), 2u);
            EXPECT_EQ(received[0], "user");
            EXPECT_EQ(received[1], kPassword);
            EXPECT_EQ(rig.shell.Commands(), c.commands);
        }
    }
}

TEST(Net2Flow, StartChecksIdentityAndStopTellsTheDevice) {
    Rig rig(Net2Script());
    rig.device.accept = false;
    EXPECT_FALSE(rig.Start());
    EXPECT_EQ(rig.device.lastChannels, 6u);
    EXPECT_EQ(rig.device.lastProtocol, 5u);
    EXPECT_EQ(rig.flow->State(), FS_STOPPED);
    EXPECT_EQ(rig.sink.Reports(), (std::vector{Error(320, kHost)}));

    rig.device.accept = true;
    // The data port (portA + 1) would wrap to 0.
    EXPECT_FALSE(rig.flow->Start(DeviceInfo{}, UINT16_MAX, 0, *ParseAddressText(kHost), 5,
                                 kPassword));
    EXPECT_EQ(rig.sink.Reports().back(), Error(318, kHost));
    EXPECT_EQ(rig.flow->State(), FS_STOPPED);

    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    // Started again (the transcoder moved): the old run ends, the new one
    // connects afresh.
    ASSERT_TRUE(rig.Start());
    EXPECT_EQ(rig.flow->State(), FS_STARTING);
    rig.flow->Tick();
    EXPECT_EQ(rig.flow->State(), FS_CONNECTED);
    EXPECT_TRUE(rig.flow->Stop());
    EXPECT_EQ(rig.flow->State(), FS_STOPPED);
    EXPECT_EQ(rig.device.stopped.load(), 1);
}

// The transcoder reports a SPEEX codec error: restarted twice, stopped at
// the third error; a stream start in between counts from zero again.
TEST(Net2Flow, SpeexErrors) {
    const std::pair<int, std::string> restart = Error(443, "0x3", kHost);
    const std::pair<int, std::string> stopped = Error(444, "0x3", kHost);

    Rig rig(Net2Script("0x0", "0x3"));
    ASSERT_TRUE(rig.Start());
    for (const uint32_t state : {FS_RECONNECT, FS_RECONNECT, FS_FAILED, FS_FAILED}) {
        rig.flow->Tick();
        EXPECT_EQ(rig.flow->State(), state);
    }
    EXPECT_EQ(rig.sink.Reports(), (std::vector{restart, restart, stopped}));
    const std::vector<std::string> received = rig.shell.Received();
    EXPECT_EQ(std::count(received.begin(), received.end(), "restart"), 2);
    EXPECT_FALSE(rig.data.Pending());

    Rig again(Net2Script("0x0", "0x3"));
    ASSERT_TRUE(again.Start());
    again.flow->Tick();
    again.flow->Tick();
    again.shell.SetReply("info", {InfoReply("0x0", "0x0")});
    again.flow->Tick();
    ASSERT_EQ(again.flow->State(), FS_CONNECTED);
    ASSERT_TRUE(again.data.Accept());
    ASSERT_TRUE(again.flow->StartStream());
    again.shell.SetReply("info", {InfoReply("0x0", "0x3")});
    for (int second = 0; second < 10; ++second) {
        again.flow->Tick();
    }
    ASSERT_EQ(again.flow->State(), FS_RECONNECT);
    for (const uint32_t state : {FS_RECONNECT, FS_RECONNECT, FS_FAILED}) {
        again.flow->Tick();
        EXPECT_EQ(again.flow->State(), state);
    }
    EXPECT_EQ(again.sink.Reports(), (std::vector{restart, restart, restart, restart, stopped}));
}

TEST(Net2Flow, SpeexCompressionRefusedWithoutSpeexHardware) {
    Rig rig(Net2Script("0x4", "0x0"));
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    bool speexOk = false;
    EXPECT_TRUE(rig.flow->SetCompression(kCompressAdpcm, speexOk));
    EXPECT_TRUE(speexOk);
    EXPECT_FALSE(rig.flow->SetCompression(kCompressSpeex, speexOk));
    EXPECT_FALSE(speexOk);
    EXPECT_EQ(rig.flow->State(), FS_RECONNECT);
    EXPECT_EQ(rig.StreamLost(), 1u);
    EXPECT_EQ(rig.shell.Commands().back(), "codec:setcompress ADPCM");
}

// Seconds without data: exactly the timeout reconnects, one less does not.
TEST(Net2Flow, DataTimeouts) {
    struct Case {
        const char* name;
        std::optional<uint32_t> compression;
        bool stream;
        int timeout;
    };
    const Case cases[] = {
        {"streaming, compression never set", std::nullopt, true, 10},
        {"streaming ADPCM", kCompressAdpcm, true, 15},
        {"streaming NONE", kCompressNone, true, 15},
        {"streaming SPEEX", kCompressSpeex, true, 35},
        {"connected, stream never started", std::nullopt, false, 15},
        {"connected SPEEX, stream never started", kCompressSpeex, false, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(Net2Script());
        ASSERT_NO_FATAL_FAILURE(rig.Connect());
        if (c.compression) {
            bool speexOk = false;
            ASSERT_TRUE(rig.flow->SetCompression(*c.compression, speexOk));
        }
        if (c.stream) {
            ASSERT_TRUE(rig.flow->StartStream());
        }
        const uint32_t state = rig.flow->State();
        for (int second = 1; second < c.timeout; ++second) {
            rig.flow->Tick();
        }
        EXPECT_EQ(rig.flow->State(), state);
        EXPECT_FALSE(rig.TakeRestart());
        rig.flow->Tick();
        EXPECT_EQ(rig.flow->State(), FS_RECONNECT);
        EXPECT_EQ(rig.StreamLost(), 1u);
        EXPECT_TRUE(rig.TakeRestart());
        EXPECT_FALSE(rig.TakeRestart());
        rig.flow->Tick();  // the connect sequence runs again
        EXPECT_EQ(rig.flow->State(), FS_CONNECTED);
    }
}

TEST(Net2Flow, StreamControlBytes) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    const std::string start = StreamBytes(kStreamStart);
    const std::string stop = StreamBytes(kStreamStop);
    EXPECT_EQ(start, std::string("start $secret\0", 14));
    EXPECT_EQ(stop, std::string("stop $secret\0", 13));

    // Bytes from before the start are not part of the new stream.
    ASSERT_TRUE(rig.data.Send("stale"));
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (rig.flow->GetStatistics()->nPacketReceive == 0 &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(rig.flow->GetStatistics()->nPacketReceive, 1u);
    EXPECT_TRUE(rig.flow->StartStream());
    EXPECT_EQ(rig.data.Receive(start.size()), start);
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);
    uint8_t byte = 0;
    bool restart = true;
    EXPECT_EQ(rig.flow->ReadData(&byte, 1, restart), 0u);
    EXPECT_FALSE(restart);
    EXPECT_TRUE(rig.flow->StopStream());
    EXPECT_EQ(rig.data.Receive(stop.size()), stop);

    EXPECT_TRUE(rig.flow->UpdateCodec());
    EXPECT_EQ(rig.data.Receive(stop.size() + start.size()), stop + start);
    EXPECT_EQ(rig.shell.Commands().back(), "codec:update");

    // Restart: stop on the old connection, start on a new one.
    EXPECT_TRUE(rig.flow->RestartStream());
    EXPECT_EQ(rig.data.Receive(stop.size()), stop);
    ASSERT_TRUE(rig.data.Accept());
    EXPECT_EQ(rig.data.Receive(start.size()), start);
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);
    EXPECT_EQ(rig.StreamLost(), 1u);
    EXPECT_TRUE(rig.TakeRestart());
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);
}

// A data connection the transcoder closed is given a new one when a stream
// control needs it.
TEST(Net2Flow, StreamControlReconnectsTheDataSocket) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Stream());
    rig.data.CloseConnection();
    // Until the receive side has seen the close, a send may still succeed;
    // the tick closes the socket once it has.
    for (int i = 0; i < 100 && rig.flow->StopStream(); ++i) {
        std::this_thread::sleep_for(10ms);
        rig.flow->Tick();
        if (rig.data.Pending()) {
            break;
        }
    }
    ASSERT_TRUE(rig.data.Accept());
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);
}

// A data connection that stays quiet for many receive waits (the transcoder
// sends nothing before its stream starts, and one that is busy starts late)
// is still open at the next tick, and what comes afterwards is read.
TEST(Net2Flow, QuietDataConnectionStaysOpen) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Stream());
    std::this_thread::sleep_for(300ms);  // the quiet time itself, not a wait for a state
    rig.flow->Tick();
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);
    ASSERT_TRUE(rig.data.Send("late"));
    std::string read;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (read.size() < 4 && std::chrono::steady_clock::now() < end) {
        rig.event.Wait(100ms);
        uint8_t part[8];
        bool restart = false;
        const std::size_t n = rig.flow->ReadData(part, sizeof(part), restart);
        read.append(reinterpret_cast<const char*>(part), n);
    }
    EXPECT_EQ(read, "late");
    EXPECT_FALSE(rig.data.Pending());  // no new data connection was made
}

TEST(Net2Flow, ReceivedDataIsReadInOrder) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Stream());
    std::string sent;
    for (int i = 0; i < 5000; ++i) {
        sent += static_cast<char>('a' + i % 23);
    }
    ASSERT_TRUE(rig.data.Send(sent));
    std::string read;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (read.size() < sent.size() && std::chrono::steady_clock::now() < end) {
        rig.event.Wait(100ms);
        // A small capacity: the rest stays at the front for the next read.
        uint8_t part[7];
        bool restart = true;
        std::size_t n;
        while ((n = rig.flow->ReadData(part, sizeof(part), restart)) > 0) {
            EXPECT_FALSE(restart);
            read.append(reinterpret_cast<const char*>(part), n);
        }
    }
    EXPECT_EQ(read, sent);
    EXPECT_GE(rig.flow->GetStatistics()->nPacketReceive, 1u);
    EXPECT_EQ(rig.StreamLost(), 0u);
    // The rate is the window's bytes over its three ticks (the connect was
    // the first).
    EXPECT_EQ(rig.flow->GetStatistics()->streamSpeed, 0u);
    rig.flow->Tick();
    rig.flow->Tick();
    EXPECT_EQ(rig.flow->GetStatistics()->streamSpeed, sent.size() / 3);
}

TEST(Net2Flow, OverflowDropsTheBufferAndReconnects) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Stream());
    // Nobody reads: the chunk that carries byte 384001 cannot fit.
    ASSERT_TRUE(rig.data.Send(std::string(kNet2ReceiveBufferSize + 1, 'x')));
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!rig.flow->ReconnectRequested() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(rig.flow->ReconnectRequested());
    EXPECT_EQ(rig.flow->State(), FS_STREAMING);  // the tick acts on it
    rig.flow->Tick();
    EXPECT_EQ(rig.flow->State(), FS_RECONNECT);
    EXPECT_FALSE(rig.flow->ReconnectRequested());
    EXPECT_EQ(rig.StreamLost(), 1u);
    uint8_t byte = 0;
    bool restart = false;
    EXPECT_EQ(rig.flow->ReadData(&byte, 1, restart), 0u);
    EXPECT_TRUE(restart);
    rig.flow->Tick();
    EXPECT_EQ(rig.flow->State(), FS_CONNECTED);
}

struct ShellOperation {
    const char* text;  // the exact command line
    std::function<bool(CNet2FlowProcessor&)> run;
};

std::vector<ShellOperation> ShellOperations() {
    bool speexOk = false;
    return {
        {"codec:setchannel 5", [](auto& f) { return f.SetChannel(5); }},
        {"codec:setcompress NONE", [=](auto& f) mutable { return f.SetCompression(0, speexOk); }},
        {"codec:setcompress SPEEX", [=](auto& f) mutable { return f.SetCompression(1, speexOk); }},
        {"codec:setcompress ADPCM", [=](auto& f) mutable { return f.SetCompression(2, speexOk); }},
        {"codec:setcompress ALAW", [=](auto& f) mutable { return f.SetCompression(3, speexOk); }},
        {"codec:setfreq 8", [](auto& f) { return f.SetFrequency(0); }},
        {"codec:setfreq 16", [](auto& f) { return f.SetFrequency(1); }},
        {"codec:setfreq 32", [](auto& f) { return f.SetFrequency(2); }},
        {"codec:setgain 3 7", [](auto& f) { return f.SetGain(3, 7); }},
        {"block:codec:setgain 1 2 3 4 5 6",
         [](auto& f) {
             const uint32_t gains[6] = {1, 2, 3, 4, 5, 6};
             return f.SetBlockGain(gains);
         }},
        {"codec:setspeex8kHz 4", [](auto& f) { return f.SetSpeex8kHz(4); }},
        {"codec:setspeex16kHz 8", [](auto& f) { return f.SetSpeex16kHz(8); }},
        {"codec:setbuff SPEEX 20", [](auto& f) { return f.SetBufferMode(1, 20); }},
        {"codec:setbuff NONE 30", [](auto& f) { return f.SetBufferMode(0, 30); }},
        {"codec:setbuff NONE 31", [](auto& f) { return f.SetBufferMode(2, 31); }},
        {"codec:setbuff NONE 32", [](auto& f) { return f.SetBufferMode(3, 32); }},
        {"line:set 67 255", [](auto& f) { return f.SetLine(3, 2, 0x1FF); }},
        // The parameter keeps five bits, the word sixteen.
        {"line:set 5 1", [](auto& f) { return f.SetLine(0x25, 0x800, 0x101); }},
        {"block:line:set 2 10 20 30 40 50 60 70 80 255",
         [](auto& f) {
             const uint8_t values[9] = {10, 20, 30, 40, 50, 60, 70, 80, 255};
             return f.SetBlockLine(2, values);
         }},
        {"line:setonoff 171", [](auto& f) { return f.SetLineOnOff(0x1AB); }},
        {"line:setstate 63", [](auto& f) { return f.SetLineState(0x3F); }},
        {"codec:update", [](auto& f) { return f.UpdateCodec(); }},
    };
}

TEST(Net2Flow, ShellOperationTexts) {
    Rig rig(Net2Script());
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    for (const ShellOperation& operation : ShellOperations()) {
        SCOPED_TRACE(operation.text);
        EXPECT_TRUE(operation.run(*rig.flow));
        EXPECT_EQ(rig.shell.Commands().back(), operation.text);
    }
    EXPECT_EQ(rig.shell.Connections(), 1);
    EXPECT_EQ(rig.StreamLost(), 0u);

    // A reply that is not OK fails the operation and nothing else.
    rig.shell.SetReply("codec:setchannel 9", {"ERROR: no such channel\r\nNET2 shell>"});
    const uint32_t state = rig.flow->State();
    EXPECT_FALSE(rig.flow->SetChannel(9));
    EXPECT_EQ(rig.flow->State(), state);
    EXPECT_EQ(rig.StreamLost(), 0u);
    // Values outside their tables are refused without sending.
    bool speexOk = false;
    const std::size_t before = rig.shell.Commands().size();
    EXPECT_FALSE(rig.flow->SetFrequency(3));
    EXPECT_FALSE(rig.flow->SetCompression(4, speexOk));
    EXPECT_FALSE(rig.flow->SetBufferMode(4, 1));
    EXPECT_EQ(rig.shell.Commands().size(), before);
}

TEST(Net2Flow, CommandsRefusedBeforeConnected) {
    Rig rig(Net2Script());
    ASSERT_TRUE(rig.Start());
    for (const ShellOperation& operation : ShellOperations()) {
        SCOPED_TRACE(operation.text);
        EXPECT_FALSE(operation.run(*rig.flow));
    }
    EXPECT_FALSE(rig.flow->StartStream());
    EXPECT_FALSE(rig.flow->StopStream());
    EXPECT_FALSE(rig.flow->RestartStream());
    EXPECT_EQ(rig.flow->State(), FS_STARTING);
    EXPECT_EQ(rig.shell.Connections(), 0);
    EXPECT_FALSE(rig.data.Pending());
    EXPECT_FALSE(rig.TakeRestart());
}

// A command whose connection fails logs in again once.
TEST(Net2Flow, FailedCommandLogsInOnce) {
    struct Case {
        int drops;
        bool result;
        uint32_t state;
        int connections;
        uint32_t streamLost;
    };
    for (const Case c : {Case{1, true, FS_CONNECTED, 2, 0}, Case{2, false, FS_RECONNECT, 2, 1}}) {
        SCOPED_TRACE(c.drops);
        Rig rig(Net2Script());
        rig.shell.SetReply("codec:setchannel 1", {"OK\r\nNET2 shell>", false, c.drops});
        ASSERT_NO_FATAL_FAILURE(rig.Connect());
        EXPECT_EQ(rig.flow->SetChannel(1), c.result);
        EXPECT_EQ(rig.flow->State(), c.state);
        EXPECT_EQ(rig.StreamLost(), c.streamLost);
        // The peer serves one connection at a time: the second login was
        // served once the first connection had gone.
        const auto end = std::chrono::steady_clock::now() + kPatience;
        while (rig.shell.Connections() < c.connections && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(rig.shell.Connections(), c.connections);
        const std::vector<std::string> received = rig.shell.Received();
        EXPECT_EQ(std::count(received.begin(), received.end(), "user"), 2);
    }
}

// The supervision thread, the receive thread, a reader and a thread issuing
// shell commands at the same time (run under ThreadSanitizer).
TEST(Net2Flow, ThreadsTogether) {
    Rig rig(Net2Script(), true);
    ASSERT_TRUE(rig.Start());
    auto end = std::chrono::steady_clock::now() + 3 * kPatience;
    while (rig.flow->State() != FS_CONNECTED && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(rig.flow->State(), FS_CONNECTED);
    ASSERT_TRUE(rig.data.Accept());
    ASSERT_TRUE(rig.flow->StartStream());
    ASSERT_EQ(rig.data.Receive(StreamBytes(kStreamStart).size()), StreamBytes(kStreamStart));

    std::atomic<bool> done{false};
    std::thread commands([&] {
        for (int i = 0; i < 40 && !done; ++i) {
            rig.flow->SetGain(static_cast<uint32_t>(i), 1);
            rig.flow->GetStatistics();
        }
    });
    std::string sent;
    for (int i = 0; i < 60000; ++i) {
        sent += static_cast<char>(i % 251);
    }
    std::string read;
    std::thread reader([&] {
        const auto stop = std::chrono::steady_clock::now() + kPatience;
        std::vector<uint8_t> part(4096);
        while (read.size() < sent.size() && std::chrono::steady_clock::now() < stop) {
            rig.event.Wait(50ms);
            bool restart = false;
            const std::size_t n = rig.flow->ReadData(part.data(), part.size(), restart);
            read.append(reinterpret_cast<const char*>(part.data()), n);
        }
    });
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
        if (!rig.data.Send(sent.substr(at, 1000))) {
            ADD_FAILURE() << "data peer send failed";
            break;
        }
    }
    reader.join();
    done = true;
    commands.join();
    EXPECT_EQ(read.size(), sent.size());
    EXPECT_TRUE(read == sent);
    EXPECT_TRUE(rig.flow->Stop());
    EXPECT_EQ(rig.flow->State(), FS_STOPPED);
    EXPECT_EQ(rig.device.stopped.load(), 1);
}

}  // namespace
}  // namespace zorv
