// The record files of one device's channels: where a call record is created,
// how it is named, what its metadata holds at the start and at the end, when
// a short record is thrown away, and how records reach the record database.
// Also the monitor records ("_rmo_"), a continuous recording of a channel.
//
// Layouts: a channel with Compress 1 records directly in the record root
// ("flat"), where the compressor later takes the file; any other Compress
// records into the day directory "<root>/<YYYYMMDD>.<day suffix>/". Names:
// start date and time, the line ("%03u"), the channel's file counter, the
// device index and the file suffix, ".wav". A name that exists is never
// reused: the counter moves on to the next free name; when 1000 names in a
// row are taken the open fails, and no existing file is ever emptied or
// removed. A registered record carries the hidden mark (CHiddenMark) from
// its open on; the close leaves it.
//
// Owned by the device; every call comes under the device's channel lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ChannelRecorder.h"
#include "core/Server.h"
#include "platform/Clock.h"
#include "storage/HiddenMark.h"
#include "storage/RecordQueue.h"
#include "storage/WavFile.h"

namespace zorv {

// What the record files ask of their device; values may change while it runs.
class IRecordFileOwner {
public:
    virtual ~IRecordFileOwner() = default;
    virtual int DeviceIndex() const = 0;
    virtual int FirstLine() const = 0;
    virtual uint32_t SerialNumber() const = 0;
    virtual std::string ServerName() const = 0;
    virtual std::string RecordRoot() const = 0;
    virtual std::string FileSuffix() const = 0;  // "z18"
    virtual std::string DaySuffix() const = 0;   // "zr18"
    virtual uint32_t MinRecordSeconds() const = 0;
    virtual uint32_t MaxRecordSeconds() const = 0;
    virtual bool RegisterAtStart() const = 0;  // "DataBaseMode" 1
    // The Compress value of a channel (the layout of its monitor record).
    virtual uint32_t ChannelCompress(int channel) const = 0;
    virtual uint32_t ChannelSampleRate(int channel) const = 0;
    // The line alias of a channel ("ALIAS"/"Line<line>"), at most 20 characters.
    virtual std::string ChannelAlias(int channel) const = 0;
};

class CRecordFiles final : public IChannelRecorder {
public:
    // database may be null (records are not entered); marks: where the
    // registered flag is kept (null: extended attributes where the file
    // system has them).
    CRecordFiles(IRecordFileOwner& owner, IServer& server, IRecordQueue* database, IClock& clock,
                 int channelCount, const CHiddenMark* marks = nullptr);
    ~CRecordFiles() override;

    // IChannelRecorder
    void PrepareFormat(int channel, int channels, uint32_t sampleRate) override;
    tagDB_Record& Metadata(int channel) override;
    bool OpenRecord(int channel, const RecordStart& start) override;
    bool IsRecordOpen(int channel) const override;
    std::size_t WriteRecord(int channel, const void* data, std::size_t bytes) override;
    void FinishRecord(int channel) override;
    void SetMute(int channel, bool mute) override;
    bool GetMute(int channel) const override;
    void AddCallWithoutFile(const tagDB_Record& record) override;
    void SetOwnNumber(int channel, const std::string& number, bool alwaysUse) override;

    // Monitor records. Start on a running one, or stop on a stopped one, does
    // nothing; both succeed for every channel of the device.
    bool StartMonitor(int channel) override;
    bool StopMonitor(int channel) override;
    bool IsMonitorRunning(int channel) const override;
    uint32_t MonitorSeconds(int channel) const override;
    void WriteMonitorBlock(int channel, const int16_t* samples, std::size_t count) override;

    uint32_t FileCounter(int channel) const;

    // The day directory of a date, and a record's file name in a directory
    // (which ends in '/').
    static std::string DayDirectory(const std::string& root, const LocalTime& start,
                                    const std::string& daySuffix);
    static std::string FileName(const std::string& directory, const LocalTime& start,
                                uint32_t line, uint32_t counter, int deviceIndex, bool monitor,
                                const std::string& suffix);

private:
    struct Channel;

    bool Valid(int channel) const { return channel >= 0 && channel < static_cast<int>(m_channels.size()); }
    Channel& At(int channel) { return *m_channels[static_cast<std::size_t>(channel)]; }
    const Channel& At(int channel) const { return *m_channels[static_cast<std::size_t>(channel)]; }
    void FillStart(int channel, tagDB_Record& meta, const LocalTime& start, uint32_t compress,
                   uint32_t inout);
    // Creates the record under the first free name of the channel, moving the
    // counter past taken names (at most 1000). A failure is posted (failure
    // kind 3) and leaves every existing file as it was.
    bool CreateRecordFile(int channel, CWavFile& file, const LocalTime& start, bool flat,
                          bool monitor);
    void Register(CWavFile& file, bool flat);
    // The close common to call and monitor records: duration, the file's own
    // copy of the metadata, a short record thrown away, the database told.
    void CloseFile(CWavFile& file, uint32_t samples, uint32_t compress);
    bool OpenMonitorFile(int channel);
    void CloseMonitorFile(int channel);

    IRecordFileOwner& m_owner;
    IServer& m_server;
    IRecordQueue* m_database;
    IClock& m_clock;
    const CHiddenMark& m_marks;
    std::vector<std::unique_ptr<Channel>> m_channels;
};

}  // namespace zorv
