// The transcoder configurator: the one owner of everything the server knows
// about network transcoders.
//
// It keeps the registered transcoders and the search configuration
// (CTranscoderRegistry, "Transcoders.ini"), the transcoders found on the
// network, one datagram socket on which it searches, polls and sends
// commands, and the table of command requests waiting for answers. It starts
// the data flow of a registered transcoder when that transcoder is first
// found, and carries the flows' device commands.
//
// Threads: datagrams are read on the configurator's receive thread; Tick runs
// every second on the tick thread; the operations run on their callers'
// threads (flows, client connections, the local interface). One recursive
// lock, m_lock, guards every table. Callers wait for an answer on the
// request's completion without holding it, and flows are started and stopped
// outside it (a flow may call back into the configurator).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Journal.h"
#include "core/ServerComponents.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/PeriodicTimer.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderRegistry.h"

namespace zorv {

// The configurator's datagram socket (kept out of this header).
class CTranscoderSocket;

// One command waiting for its answer.
struct TranscoderRequest {
    uint32_t code = 0;  // kRequestGetConfig, kRequestSetConfig or a device command
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    IClock::SteadyTime sentAt{};
    uint16_t sequence = 0;
    std::string password;
    DeviceConfig config{};  // what a configuration write sends
    RequestHandle completion;
};

class CTranscoderConfigurator final : public ITranscoderService, public ITranscoderFlowHost {
public:
    // clock: ages of requests; a manual clock with Tick called by the test
    // drives the resends without waiting.
    explicit CTranscoderConfigurator(IJournal& journal, IClock& clock = SystemClock());
    ~CTranscoderConfigurator() override;
    CTranscoderConfigurator(const CTranscoderConfigurator&) = delete;
    CTranscoderConfigurator& operator=(const CTranscoderConfigurator&) = delete;

    // ITranscoderService. Start loads the settings and opens the socket and
    // its receive thread; StartServiceThread starts the one-second tick;
    // Enable lets scan answers in; Stop completes every request with 5,
    // closes the socket and drops the tables.
    bool Start(const std::string& iniPath) override;
    void StartServiceThread() override;
    void Enable() override;
    void Stop() override;

    // The port of the NET2 text shell ("ShellPort", 23 by default).
    uint16_t ShellPort() const;
    // The port the datagram socket is bound to (0 when not started).
    uint16_t LocalPort() const;
    // One second of the configurator's life: resends and expiry of requests,
    // every fifth call presence ageing and the search and polling packets.
    void Tick();

    // Search.
    void startTranscodersSearch();
    void stopTranscodersSearch();
    bool getTranscodersSearchStatus() const;

    // Found transcoders.
    uint32_t getFoundTranscodersCount() const;
    std::vector<tagTranscoderEntry> getFoundTranscodersList() const;

    // Start flags of registered transcoders; false for an unknown serial.
    bool startTranscoder(uint32_t serial);
    bool stopTranscoder(uint32_t serial);
    // The statistics of the transcoder's flow; false when it has none.
    bool getTranscoderStatistic(uint32_t serial, tagTranscoderStatistic& statistic) const;

    // Configuration of a found transcoder: by datagram for the datagram kind,
    // through the text shell for the NET2 kind. Waits for the answer.
    RequestResult getTranscoderConfig(uint32_t serial, const std::string& password,
                                      DeviceConfig& config);
    RequestResult setTranscoderConfig(uint32_t serial, const DeviceConfig& config);

    bool getAonForm(uint32_t serial, uint32_t& level, uint32_t& form) const;
    bool setAonForm(uint32_t serial, uint32_t level, uint32_t form);

    // The broadcast port list.
    bool addConfigPort(uint16_t port);
    bool delConfigPort(uint16_t port);
    uint32_t getCountConfigPorts() const;
    bool getConfigPort(uint32_t index, uint16_t& port) const;

    // The polled address list.
    bool addStaticAddress(const TranscoderAddress& address);
    bool delStaticAddress(const TranscoderAddress& address);
    uint32_t getCountStaticAddress() const;
    bool getStaticAddress(uint32_t index, TranscoderAddress& address) const;

    // Registrations; each change returns the position and serial it acted on.
    std::optional<RegistryPlace> addNetDevice(uint32_t position,
                                              const tagStoredTranscoderConfig& config);
    std::optional<RegistryPlace> removeNetDevice(uint32_t serial);
    std::optional<RegistryPlace> reposNetDevice(uint32_t position, uint32_t newPosition);
    uint32_t getCountNetDevice() const;
    bool getConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& config) const;
    std::optional<RegistryPlace> setConfigNetDevice(uint32_t serial,
                                                    const tagStoredTranscoderConfig& config,
                                                    uint32_t flags);

    // ITranscoderFlowHost.
    uint32_t PresenceState(const TranscoderAddress& address) const override;
    RequestHandle SendDeviceCommand(const TranscoderAddress& address, uint8_t code,
                                    uint32_t param1, uint32_t param2) override;
    RequestHandle EnableGroup(const TranscoderAddress& address, uint32_t group,
                              bool on) override;
    bool GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) const override {
        return getAonForm(serial, level, form);
    }
    void RegisterFlow(uint32_t serial, CTranscoderFlow* flow) override;

    // Handles one received datagram (the receive thread's work; public for
    // the fuzz target and tests).
    void OnDatagram(std::span<const uint8_t> datagram, const TranscoderAddress& sender);

private:
    // A transcoder found on the network.
    struct FoundTranscoder {
        tagTranscoderEntry entry{};
        TranscoderAddress address;
        TranscoderLayout layout = TranscoderLayout::kCurrent;
        uint16_t lastSequence = 0;
        uint32_t enabledGroups = 0;
        bool started = false;  // by acknowledged TCMD_START / TCMD_STOP
        uint32_t missedPolls = 0;
        std::map<uint16_t, TranscoderRequest> requests;
    };

    // A flow to start after the lock is released.
    struct FlowStart {
        CTranscoderFlow* flow = nullptr;
        DeviceInfo identity{};
        uint16_t portA = 0;
        uint16_t portB = 0;
        TranscoderAddress address;
        uint32_t protocol = 0;
        std::string password;
        std::string description;
    };

    void ReceiveLoop();
    void OnScanAnswer(const TranscoderPacket& packet, const TranscoderAddress& sender)
        REQUIRES(m_lock);
    void OnRequestAnswer(const TranscoderPacket& packet, FoundTranscoder& found)
        REQUIRES(m_lock);
    void ExpireRequests(FoundTranscoder& found, IClock::SteadyTime now) REQUIRES(m_lock);
    void AgePresence() REQUIRES(m_lock);
    void SendSearchAndPolls() REQUIRES(m_lock);
    // address by value: callers pass the key of the entry it erases.
    void Forget(TranscoderAddress address) REQUIRES(m_lock);
    FoundTranscoder* FindFound(const TranscoderAddress& address) REQUIRES(m_lock);
    FoundTranscoder* FindFoundBySerial(uint32_t serial) REQUIRES(m_lock);
    const FoundTranscoder* FindFoundBySerial(uint32_t serial) const REQUIRES(m_lock);

    // Sends a request to a found transcoder and stores it; the handle
    // completes with its answer.
    RequestHandle SendRequest(FoundTranscoder& found, TranscoderRequest request)
        REQUIRES(m_lock);
    bool SendPacket(const FoundTranscoder& found, const TranscoderRequest& request)
        REQUIRES(m_lock);
    bool SendTo(const TranscoderPacket& packet, const TranscoderAddress& to) REQUIRES(m_lock);
    // Waits for a request without the lock; 5 when the configurator stops
    // answering altogether.
    static RequestResult Await(const RequestHandle& handle);

    // Where the shell of a found NET2 transcoder is, and what the
    // configurator holds of it; nullopt when it is not found.
    struct ShellTarget;
    std::optional<ShellTarget> ShellTargetOf(uint32_t serial);
    RequestResult ReadNet2Configuration(uint32_t serial, const std::string& password,
                                        DeviceConfig& config);
    RequestResult WriteNet2Configuration(uint32_t serial, const DeviceConfig& config);
    void StartFlow(const FlowStart& start, uint32_t serial);
    // True while flow is the one registered for serial (m_flowCalls held).
    bool FlowRegistered(uint32_t serial, const CTranscoderFlow* flow) const;

    IJournal& m_journal;
    IClock& m_clock;

    // Held around every call into a flow and by RegisterFlow, so that no flow
    // is called after its device unregistered it (and may destroy it).
    // Taken before m_lock.
    mutable std::mutex m_flowCalls;
    mutable CRecursiveMutex m_lock;
    std::unique_ptr<CTranscoderRegistry> m_registry GUARDED_BY(m_lock);
    std::map<TranscoderAddress, FoundTranscoder> m_found GUARDED_BY(m_lock);
    std::map<uint32_t, TranscoderAddress> m_foundBySerial GUARDED_BY(m_lock);
    bool m_searchActive GUARDED_BY(m_lock) = false;
    uint32_t m_searchCycles GUARDED_BY(m_lock) = 0;
    uint32_t m_tickCount GUARDED_BY(m_lock) = 0;

    // Set and reset under m_lock, by Start before the receive thread runs and
    // by Stop after it ended; between the two the receive thread reads from
    // it without the lock and senders (under m_lock) write to it.
    std::unique_ptr<CTranscoderSocket> m_socket;
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_stopReceive{false};
    std::atomic<uint16_t> m_localPort{0};
    std::thread m_receiveThread;  // started and joined by Start and Stop only
    CPeriodicTimer m_tickTimer;
};

}  // namespace zorv
