// What the channel logic needs from the device around it: decoders,
// analysers, listeners and line hooks (the record files are
// core/ChannelRecorder.h).
//
// Implemented by the device that owns the channels. All calls come under the
// device's channel lock, on the device's reading thread or on a client thread
// that changes a channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ChannelRecorder.h"

namespace zorv {

// "AonFlags": which caller-number decoders a channel runs.
inline constexpr uint32_t kAonFlagAon = 1;         // the exchange's AON answer
inline constexpr uint32_t kAonFlagFsk = 2;         // FSK caller ID during ringing
inline constexpr uint32_t kAonFlagDtmfCallerId = 4;  // DTMF caller ID

// The device's per-channel decoders, analysers, listeners and line hooks.
// Every operation has a default that does nothing.
class IChannelHooks {
public:
    virtual ~IChannelHooks() = default;

    // Line-event hooks, run before the line-state machine acts.
    virtual void OnRing(int /*channel*/) {}
    virtual void OnCallIn(int /*channel*/) {}
    virtual void OnCallOut(int /*channel*/) {}
    virtual void OnFree(int /*channel*/) {}

    // Caller-number and DTMF decoders: whether each holds a number (and which).
    virtual void ResetDecoders(int /*channel*/) {}
    virtual bool DtmfNumber(int /*channel*/, std::string& /*number*/) { return false; }
    virtual bool CallerNumber(int /*channel*/, std::string& /*number*/, uint32_t& /*category*/) {
        return false;
    }
    virtual void ResetCallerNumber(int /*channel*/) {}
    virtual void StartCallerNumberRequest(int /*channel*/) {}
    // Caller-number option bits ("AonFlags").
    virtual uint32_t AonFlags(int /*channel*/) const { return 0; }

    // Busy analyzer and frequency activator.
    virtual void ResetBusyAnalyzer(int /*channel*/) {}
    virtual bool FrequencyActivatorEnabled(int /*channel*/) const { return false; }
    virtual bool UseDtmfDecodeForInRings(int /*channel*/) const { return false; }

    // A channel's block for its network listener and audio observers.
    virtual void OnListenerAudio(int /*channel*/, const int16_t* /*samples*/, std::size_t /*count*/) {}
    // A channel's sample rate changed (listeners, observers, monitor record).
    virtual void OnSampleRateChanged(int /*channel*/, uint32_t /*rate*/) {}
    // A line record ended: the network listener attached for it goes.
    virtual void OnLineRecordEnded(int /*channel*/) {}
    // Enable changed on some channel (the device may start or stop streaming).
    virtual void OnEnableChanged() {}
    // A buffer could not be allocated: the device error becomes 3.
    virtual void OnAllocationFailed() {}
};

}  // namespace zorv
