// The meeting points of the transcoder configurator and the data flows that
// carry a transcoder's stream:
//   - CRequestCompletion: the completion of one transcoder command, shared by
//     the configurator's request table and the caller that waits for it;
//   - CTranscoderFlow: what the configurator asks of a flow (start it when its
//     transcoder answers a search, stop it when a user stops the transcoder);
//   - ITranscoderFlowHost: what a flow asks of the configurator.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "transcoders/TranscoderProtocol.h"

namespace zorv {

// An IPv4 address (network byte order, first dotted byte first in memory)
// and a port, the key of a found transcoder.
struct TranscoderAddress {
    uint32_t ip = 0;
    uint16_t port = 0;

    friend bool operator==(const TranscoderAddress&, const TranscoderAddress&) = default;
    friend auto operator<=>(const TranscoderAddress&, const TranscoderAddress&) = default;
};

// "a.b.c.d" of an address in network byte order.
std::string DottedAddress(uint32_t ip);
// "a.b.c.d:port".
std::string AddressText(const TranscoderAddress& address);
// Parses "a.b.c.d" or "a.b.c.d:port" (port 0 when absent); nullopt when the
// text is not that.
std::optional<TranscoderAddress> ParseAddressText(std::string_view text);

// The completion of one request: completed once with its result; waiters
// block on it without holding any lock of the configurator.
class CRequestCompletion {
public:
    // The first result counts; later ones are ignored.
    void Complete(RequestResult result);
    bool IsComplete() const;
    // Waits for the result.
    RequestResult Wait() const;
    // The result, or nullopt when it did not come within timeout.
    std::optional<RequestResult> WaitFor(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_completed;
    std::optional<RequestResult> m_result;  // guarded by m_lock
};

using RequestHandle = std::shared_ptr<CRequestCompletion>;

// A request that is already complete (refusals decided without sending).
RequestHandle CompletedRequest(RequestResult result);

// The data flow of one transcoder.
class CTranscoderFlow {
public:
    virtual ~CTranscoderFlow() = default;
    // portA: the port of the transcoder's registered address; portB: its data
    // port; protocol: the Protocol word of its scan answer. True when the
    // flow's supervision runs.
    virtual bool Start(const DeviceInfo& identity, uint16_t portA, uint16_t portB,
                       const TranscoderAddress& address, uint32_t protocol,
                       const std::string& password) = 0;
    virtual bool Stop() = 0;
    virtual const tagTranscoderStatistic* GetStatistics() = 0;
};

// States of a data flow. For the datagram flow FS_RECONNECT also means that
// a stop command is outstanding and FS_CONNECTED that a start command is.
enum FlowState : uint32_t {
    FS_STOPPED = 0,
    FS_STREAMING = 1,
    FS_RECONNECT = 2,
    FS_CONNECTED = 3,
    FS_STARTING = 4,
    FS_FAILED = 5,  // left only by Stop or Start
};

// The owner side of a flow: its journal path and its start notice.
class CTranscoderFlowSink {
public:
    virtual ~CTranscoderFlowSink() = default;
    // level 0 information, 1 error; the text is already formatted.
    virtual void Report(int level, const std::string& text) = 0;
    // The stream is ready to be (re)started; context as set on the flow.
    virtual void OnStarted(uint32_t context) = 0;
};

// The channel device a flow serves.
class CTranscoderDeviceLink {
public:
    virtual ~CTranscoderDeviceLink() = default;
    // True when the found transcoder matches the device (channel count and
    // protocol).
    virtual bool CheckIdentity(const DeviceInfo& identity, uint32_t protocol) = 0;
    virtual void OnFlowStopped() = 0;
};

// Presence of a found transcoder (polling_state).
enum TranscoderPresence : uint32_t {
    kPresenceAnswering = 0,
    kPresencePolled = 1,    // polled without answer
    kPresenceLost = 2,      // more than three further cycles without answer
    kPresenceChanged = 4,   // configuration changed, until the next answer
    kPresenceUnknown = 0xFFFFFFFF,  // not a found transcoder
};

// What a flow asks of the configurator. Safe to call from any thread.
class ITranscoderFlowHost {
public:
    virtual ~ITranscoderFlowHost() = default;
    // polling_state of the transcoder found at address, or kPresenceUnknown.
    virtual uint32_t PresenceState(const TranscoderAddress& address) const = 0;
    // Sends a device command (FC_DEV_SETTINGS) to the transcoder found at
    // address; the handle completes with its answer (2 at once when the
    // transcoder is not found, 3 when it could not be sent).
    virtual RequestHandle SendDeviceCommand(const TranscoderAddress& address, uint8_t code,
                                            uint32_t param1, uint32_t param2) = 0;
    // Sets or clears a line group of the transcoder at address in its
    // enabled-groups mask; sends TCMD_ENABLE_GROUP when it is started.
    virtual RequestHandle EnableGroup(const TranscoderAddress& address, uint32_t group,
                                      bool on) = 0;
    // AON request level (percent) and form (0 sine, 1 square) of a registered
    // transcoder; false when the serial is not registered.
    virtual bool GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) const = 0;
    // The flow that serves a registered serial number (null unregisters).
    virtual void RegisterFlow(uint32_t serial, CTranscoderFlow* flow) = 0;
};

}  // namespace zorv
