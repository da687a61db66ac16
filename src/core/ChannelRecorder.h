// The record files of a device's channels, as the channel logic uses them.
//
// The channel logic (when records open and close) and the record files (what
// a record is on disk) meet here. Every call comes under the device's channel
// lock, on the device's reading thread or on a client thread that changes a
// channel.
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
    // The monitor record: a continuous recording of the channel, started and
    // stopped by command. Every block of every channel is offered to it,
    // before the channel logic sees the block.
    virtual bool StartMonitor(int /*channel*/) { return false; }
    virtual bool StopMonitor(int /*channel*/) { return false; }
    virtual bool IsMonitorRunning(int /*channel*/) const { return false; }
    // Seconds of audio in the running monitor record (0 when none runs).
    virtual uint32_t MonitorSeconds(int /*channel*/) const { return 0; }
    virtual void WriteMonitorBlock(int /*channel*/, const int16_t* /*samples*/,
                                   std::size_t /*count*/) {}
    // The channel's own number and whether it always replaces a detected one.
    virtual void SetOwnNumber(int /*channel*/, const std::string& /*number*/, bool /*alwaysUse*/) {}
};

}  // namespace zorv
