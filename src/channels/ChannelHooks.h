// What the channel logic needs from around it: the record files of the
// channels, and the device's decoders, analysers, listeners and line hooks.
//
// Both interfaces are implemented by the device that owns the channels. All
// calls come under the device's channel lock, on the device's reading thread
// or on a client thread that changes a channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/DbRecord.h"

namespace zorv {

// What a channel tells the recorder when a record opens.
struct RecordStart {
    uint32_t compress = 1;       // the channel's Compress: layout and Format
    uint32_t stateLine = 0;      // the channel's StateLine at the start (inout)
    uint32_t sampleRate = 8000;
    int audioChannels = 1;       // 2 for a stereo pair
};

// The record file of each channel.
class IChannelRecorder {
public:
    virtual ~IChannelRecorder() = default;

    // Sets the format of the channel's next record (channels 1 or 2, 16 bits).
    virtual void PrepareFormat(int channel, int channels, uint32_t sampleRate) = 0;
    // The metadata of the channel's current (or next) record.
    virtual tagDB_Record& Metadata(int channel) = 0;
    // Opens a record for the channel; false when no file could be opened (the
    // recorder reports that itself). The metadata's ring time and numbers are
    // kept; the start time, line, format and direction are filled.
    virtual bool OpenRecord(int channel, const RecordStart& start) = 0;
    virtual bool IsRecordOpen(int channel) const = 0;
    // Appends audio; returns the bytes stored (fewer means a failed write).
    virtual std::size_t WriteRecord(int channel, const void* data, std::size_t bytes) = 0;
    // Finishes the open record (naming, database entry).
    virtual void FinishRecord(int channel) = 0;
    // Mutes the channel's record writer (it writes silence).
    virtual void SetMute(int channel, bool mute) = 0;
    virtual bool GetMute(int channel) const = 0;
    // Enters a call without a recording into the record database.
    virtual void AddCallWithoutFile(const tagDB_Record& record) = 0;
};

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
