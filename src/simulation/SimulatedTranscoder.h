// One simulated network transcoder on a loopback address, for demonstrations
// and tests: the transcoder's side of the datagram configuration protocol
// (transcoders/TranscoderProtocol.h) and, for the NET2 kind, of the text
// configuration shell.
//
// Sockets (all on the transcoder's own 127.x.y.z address):
//   - the configuration socket, UDP on ConfigPort: requests come in here and
//     every answer leaves from it, so the sender address of an answer is the
//     transcoder's own address and port;
//   - the broadcast socket, UDP on 127.255.255.255:ConfigPort with
//     SO_REUSEADDR: Linux delivers a datagram sent to the loopback broadcast
//     address only to sockets bound to that address (or to the wildcard),
//     never to a socket bound to 127.0.0.x, and delivers one copy to every
//     such socket of the port. Each transcoder thus gets its own copy of a
//     broadcast scan and answers it from its configuration socket;
//   - NET2 kind: the shell listener, TCP on ShellPort, and its connections;
//     the data listener, TCP on ConfigPort + 1, and its one connection
//     (simulation/TranscoderNet2Stream.h);
//   - datagram kind, after TCMD_START: the data socket
//     (simulation/TranscoderDatagramStream.h).
// Port 0 in the configuration asks the system for a port; ConfigPort() and
// ShellPort() tell the ports in use after Start.
//
// Threads: one worker thread per transcoder polls its sockets (50 ms at most
// per wait) and sends every answer; delayed answers and slow shell replies
// wait in a queue of timed sends served by that loop, so a delay never blocks
// other requests. The worker also runs the data streams (it wakes at least
// every 5 ms while one streams). All public methods may be called from any
// thread; the request observer is called on the worker thread without any
// lock held.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Mutex.h"
#include "simulation/NumberSignal.h"
#include "transcoders/TranscoderProtocol.h"

struct pollfd;

namespace zorv {

class CSimDatagramStream;
class CSimNet2Stream;

enum class SimTranscoderKind { kDatagram, kNet2 };

// How the transcoder treats requests (FC_GET_CONFIG, FC_SET_CONFIG,
// FC_DEV_SETTINGS).
enum class SimTranscoderMode {
    kNormal,
    kBusy,    // device commands are answered FT_DEVICE_BUSY
    kReject,  // device commands are answered FT_EXEC_REJECT
    kSilent,  // requests are not answered; scans still are
    kMute,    // nothing is answered, not even scans
};

// How the NET2 shell sends its replies.
enum class SimShellMode {
    kNormal,
    kOversize,  // every reply after the login is longer than 1024 bytes
    kNoPrompt,  // replies after the login end without the prompt
    kSlow,      // replies go out in pieces of 8 bytes, 100 ms apart
};

// What one line of a transcoder carries and when its calls come (both kinds).
// Audio: a tone (toneHz above 0) or a WAV file's samples, heard only during
// calls when the line has a call timeline, all the time otherwise. Calls:
// ring for ringMs, call in for callMs, free for freeMs, over and over; the
// timeline of every line restarts together, after the longest cycle of the
// transcoder's lines (lines with shorter cycles stay free until then).
struct SimTranscoderLine {
    double toneHz = 0;
    int amplitude = 8000;
    std::shared_ptr<const std::vector<int16_t>> wavSamples;  // 16-bit mono
    uint32_t wavRate = 0;
    std::string wavPath;
    int64_t ringMs = 0;
    int64_t callMs = 0;  // 0: no calls
    int64_t freeMs = 0;
    bool lost = false;  // no line connected: reported lost from the start (no calls)
    // A caller number every call carries: an FSK message 2 s into the ring,
    // DTMF caller-ID keys 1.5 s before the call is taken, or an AON answer
    // 600 ms after (its time is set from the call's timeline).
    std::optional<SimNumberSignal> number;
};

// Faults of the data streams, from the scenario or set at run time.
struct SimStreamFaults {
    // Datagram kind. Packets held back are kept for retransmission.
    int dropEvery = 0;       // every Nth data packet is not sent
    bool reorderPairs = false;  // every two packets go out in reverse order
    int duplicateEvery = 0;  // every Nth data packet is sent twice
    int gapOnce = 0;         // once, after kGapAfterPackets packets, this many are not sent
    uint16_t sequenceStart = 0;  // the first sequence number of a start
    bool refuseStart = false;  // TCMD_START answered FT_BAD_PASSWORD; NET2: "user" login
                               // and "start $" refused
    // Both kinds: the stream stops for silenceMs, silenceAfterMs after it started.
    int64_t silenceAfterMs = 0;
    int64_t silenceMs = 0;
    // NET2 kind.
    bool speexRefused = false;  // "info" shows hardware code 0x4, SPEEX refused
    std::string speexErrorCode = "0x0";
    int64_t dropDataAfterMs = 0;  // the data connection closed this long after "start"
};

// The numbers a stream shows to tests.
struct SimStreamStats {
    uint64_t packetsSent = 0;      // datagram packets (repeats counted) or NET2 packets
    uint64_t resendsAnswered = 0;  // datagram retransmission requests answered
    uint64_t resendsUnknown = 0;   // requests for a packet no longer (or never) kept
    uint16_t nextSequence = 0;     // datagram kind
    bool streaming = false;
    int startsRefused = 0;         // NET2: "start $" with a wrong password
};

// The codec of a NET2 transcoder, as the shell sets it ("codec:update"
// applies the pending one to the stream).
struct SimNet2Codec {
    uint32_t compression = 0;  // Net2Compression
    uint32_t rateHz = 8000;    // 8000, 16000 or 32000
    uint32_t speex8Mode = 16;
    uint32_t speex16Mode = 15;
    uint32_t buffer = 0;       // "codec:setbuff" value, recorded
    uint32_t lineOnOff = 0x3F; // channels that stream audio

    friend bool operator==(const SimNet2Codec&, const SimNet2Codec&) = default;
};

inline constexpr int kSimTranscoderLines = 6;
// The gap fault comes after this many packets of a start.
inline constexpr int kGapAfterPackets = 20;

struct SimTranscoderConfig {
    SimTranscoderKind kind = SimTranscoderKind::kDatagram;
    // The layout of the scan answers; requests are answered in the layout
    // they came in. kNet2Scan only for the NET2 kind.
    TranscoderLayout layout = TranscoderLayout::kCurrent;
    uint16_t shellPort = 0;  // NET2 kind; 0: chosen by the system
    DeviceInfo info{};
    // IpAddr (a 127.0.0.0/8 address, network byte order) and ConfigPort (0:
    // chosen by the system) say where the transcoder listens. CurrPassword
    // holds the configuration password, StartPassword the start password;
    // NewPassword is unused.
    DeviceConfig config{};
    SimTranscoderMode mode = SimTranscoderMode::kNormal;
    int answerDelayMs = 0;   // every answer and shell reply is sent this late
    int dropRequests = 0;    // the first N requests are not answered
    bool configChangeError = false;  // FC_SET_CONFIG is answered FT_CONFIG_CHANGE_ERROR
    SimShellMode shellMode = SimShellMode::kNormal;
    // NET2 kind: Speex frames of repeating audio are encoded once and sent
    // again (CSpeexFrameEncoder::SetReuse), for load runs.
    bool reuseSpeexFrames = false;
    // The streams (at most six lines carry audio and line states).
    std::array<SimTranscoderLine, kSimTranscoderLines> lines{};
    SimStreamFaults faults;
};

// A device command as the transcoder received it.
struct SimReceivedCommand {
    uint8_t code = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;

    friend bool operator==(const SimReceivedCommand&, const SimReceivedCommand&) = default;
};

class CSimulatedTranscoder {
public:
    // Called on the worker thread once per received request or shell line,
    // with a one-line description (no line end).
    using RequestObserver = std::function<void(const std::string& line)>;

    explicit CSimulatedTranscoder(const SimTranscoderConfig& config);
    ~CSimulatedTranscoder();  // stops
    CSimulatedTranscoder(const CSimulatedTranscoder&) = delete;
    CSimulatedTranscoder& operator=(const CSimulatedTranscoder&) = delete;

    // Set before Start.
    void SetObserver(RequestObserver observer);

    // Binds the sockets and starts the worker thread. False with a text in
    // error when a socket cannot be opened (nothing is left open then).
    bool Start(std::string& error);
    // Stops the worker thread and closes every socket; answers still waiting
    // for their time are dropped. Safe to call twice.
    void Stop();

    // Where the transcoder listens now (it moves on a configuration change).
    uint32_t Address() const;  // network byte order
    uint16_t ConfigPort() const;
    uint16_t ShellPort() const;

    // State, as the transcoder holds it now.
    DeviceInfo Info() const;
    DeviceConfig Config() const;
    bool IsStarted() const;
    uint32_t EnabledGroups() const;
    std::vector<SimReceivedCommand> ReceivedCommands() const;
    std::vector<std::string> ShellLines() const;  // every line received on the shell
    int RequestCount() const;  // requests received (dropped ones too)
    int MoveCount() const;     // completed moves to a new address or port

    // Run-time changes of the behaviour.
    void SetMode(SimTranscoderMode mode);
    void SetAnswerDelay(int ms);
    void SetDropRequests(int count);
    void SetConfigChangeError(bool on);
    void SetShellMode(SimShellMode mode);

    // The data streams (docs/simulated-transcoder.md).
    SimStreamStats StreamStats() const;
    // NET2 kind: the data port (configuration port + 1; 0 when none), the
    // codec the stream sends and the status of each line in the last packet.
    uint16_t DataPort() const;
    SimNet2Codec AppliedCodec() const;
    std::array<uint8_t, kSimTranscoderLines> LineStatuses() const;
    // Datagram kind: the converter words received (TCMD_OUT_DATA_TO_ADC), the
    // line commands its board took (TCMD_WRITE_DATA_TO_SOGL) and the request
    // signal (TCMD_WRITE_AON_REQ_SAMPLE).
    std::vector<uint16_t> AdcWords() const;
    std::vector<std::array<int, 3>> LineCommands() const;  // channel, command, value
    std::array<int16_t, 32> RequestSignal() const;
    // Faults of the streams from now on (a gap or a silence of the scenario
    // counts from the next start).
    void SetStreamFaults(const SimStreamFaults& faults);
    // The stream that runs falls silent for ms from now.
    void SetSilence(int64_t ms);

private:
    struct Sockets;
    struct Connection;
    struct TimedSend;

    void Run();
    void HandleDatagram(const uint8_t* bytes, std::size_t size, const void* sender,
                        bool broadcast);
    // The answer type to a datagram (0: none) and its bookkeeping; an
    // accepted configuration change comes back in change, not yet applied.
    uint8_t AnswerType(const TranscoderPacket& request, std::string& description,
                       std::optional<DeviceConfig>& change) REQUIRES(m_lock);
    void ApplyConfig(const DeviceConfig& wanted) REQUIRES(m_lock);
    void QueueDatagram(const TranscoderPacket& packet, const void* destination, int delayMs);
    void HandleShellInput(Connection& connection, const char* bytes, std::size_t size);
    void QueueShellReply(Connection& connection, std::string reply, bool afterLogin);
    void SendDue();
    std::unique_ptr<Sockets> OpenSockets(uint32_t address, uint16_t configPort,
                                         uint16_t shellPort, std::string& error) const;
    void InstallSockets(std::unique_ptr<Sockets> sockets);
    bool Rebind(uint32_t address, uint16_t configPort, uint16_t shellPort, std::string& error);
    void Observe(const std::string& line);
    // An acknowledged device command reaches the data stream.
    void DeviceCommand(const TranscoderPacket& request, const void* sender);
    // Adds the streams' poll entries; serves them after the poll.
    void AddStreamEntries(std::vector<pollfd>& fds, int& timeoutMs) const;
    void ServiceStreams(const pollfd* entries);

    // Constant after Start.
    SimTranscoderKind m_kind;
    RequestObserver m_observer;

    // Owned by the worker thread (by the caller of Start and Stop while the
    // thread does not run).
    std::unique_ptr<Sockets> m_sockets;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<TimedSend> m_sends;  // in no order; served when due
    uint64_t m_nextConnectionId = 1;
    std::unique_ptr<CSimDatagramStream> m_datagram;  // datagram kind, while running
    std::unique_ptr<CSimNet2Stream> m_net2;          // NET2 kind, while running
    // The address change a shell "restart" applies.
    uint32_t m_pendingIp = 0;
    uint16_t m_pendingPort = 0;

    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    mutable CMutex m_lock;
    SimTranscoderConfig m_config GUARDED_BY(m_lock);  // the device's state and modes
    uint16_t m_shellPort GUARDED_BY(m_lock) = 0;
    bool m_started GUARDED_BY(m_lock) = false;
    uint32_t m_enabledGroups GUARDED_BY(m_lock) = 0;
    std::vector<SimReceivedCommand> m_commands GUARDED_BY(m_lock);
    std::vector<std::string> m_shellLines GUARDED_BY(m_lock);
    int m_requestCount GUARDED_BY(m_lock) = 0;
    int m_moveCount GUARDED_BY(m_lock) = 0;
    SimNet2Codec m_pendingCodec GUARDED_BY(m_lock);  // what "codec:update" applies
    // Copies of the streams' state, published by the worker.
    SimStreamStats m_streamStats GUARDED_BY(m_lock);
    SimNet2Codec m_appliedCodec GUARDED_BY(m_lock);
    std::array<uint8_t, kSimTranscoderLines> m_lineStatuses GUARDED_BY(m_lock){};
    std::vector<uint16_t> m_adcWords GUARDED_BY(m_lock);
    uint16_t m_dataPort GUARDED_BY(m_lock) = 0;
    int64_t m_silenceRequestMs GUARDED_BY(m_lock) = -1;  // SetSilence not yet taken; -1 none
};

}  // namespace zorv
