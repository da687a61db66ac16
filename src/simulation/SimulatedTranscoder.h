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
//   - NET2 kind: the shell listener, TCP on ShellPort, and its connections.
// Port 0 in the configuration asks the system for a port; ConfigPort() and
// ShellPort() tell the ports in use after Start.
//
// Threads: one worker thread per transcoder polls its sockets (50 ms at most
// per wait) and sends every answer; delayed answers and slow shell replies
// wait in a queue of timed sends served by that loop, so a delay never blocks
// other requests. All public methods may be called from any thread; the
// request observer is called on the worker thread without any lock held.
#pragma once

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
#include "transcoders/TranscoderProtocol.h"

namespace zorv {

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

    // Constant after Start.
    SimTranscoderKind m_kind;
    RequestObserver m_observer;

    // Owned by the worker thread (by the caller of Start and Stop while the
    // thread does not run).
    std::unique_ptr<Sockets> m_sockets;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<TimedSend> m_sends;  // in no order; served when due
    uint64_t m_nextConnectionId = 1;
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
};

}  // namespace zorv
