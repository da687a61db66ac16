// The channels of one device: their parameters and state, the recording
// activation (by signal level, line state or client command), stereo pairs
// and the line-state machine.
//
// Owned by the device. One lock (the device's channel lock) guards every
// channel: the device's reading thread holds it while it delivers a block set
// or an event (the *Locked operations), and the setters, called from client
// threads, the scheduler and the server thread, take it themselves. Settings
// are written back after the lock is released. Per-block work allocates
// nothing: buffers change only when parameters do.
//
// Channel indexes count from 0 within the device; setters take an inclusive
// range first..last and change nothing when it is not inside the device.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/ChannelHooks.h"
#include "channels/ChannelSettings.h"
#include "channels/ChannelTypes.h"
#include "core/Server.h"
#include "platform/Clock.h"

namespace zorv {

class CChannelBank {
public:
    // How a channel's blocks are handled.
    enum class Handler { kIdle, kLineRecording, kLevel, kStereoLow, kStereoHigh };

    // Device-wide values the channels use (from the main settings).
    struct DeviceValues {
        uint32_t maxRecordSeconds = 28800000;  // until the server gives MaxSizeFile
        uint32_t continueAfterSplit = 1;       // "MaxSizeRecord"
        uint32_t recordFromRing = 1;           // "CallNotServices"
        uint32_t dtmfDetectSeconds = 30;
        uint32_t numberDetectSeconds = 120;
    };

    // deviceIndex: position in the server's list (for messages); firstLine:
    // line number of channel 0. settings may be null (nothing is persisted).
    CChannelBank(IServer& server, IChannelRecorder& recorder, IChannelHooks& hooks, IClock& clock,
                 int deviceIndex, int firstLine, int channelCount);
    ~CChannelBank();
    CChannelBank(const CChannelBank&) = delete;
    CChannelBank& operator=(const CChannelBank&) = delete;

    // Where setters persist their keys, under which device number (null:
    // nothing is persisted). Every setter that writes takes a persist flag.
    void SetSettings(CChannelSettingsFile* settings, uint32_t deviceNumber);
    void SetDeviceIndex(int index) { m_deviceIndex = index; }
    void SetFirstLine(int line) { m_firstLine = line; }
    DeviceValues& Values() { return m_values; }

    int Count() const { return static_cast<int>(m_channels.size()); }
    std::mutex& Lock() { return m_lock; }

    // --- Parameters (the client and scheduler interface) -----------------
    // Validates and stores a whole parameter record and re-arms the channel.
    // A change of the record's pair goes through undo and set stereo: the
    // pair the channel was in is split, and Mode 3 forms a pair with a slave
    // that is in no other pair. Mode 2 only keeps the pair the channel is
    // already the slave of (a pair is formed from its master's record).
    // Writes nothing.
    bool SetChannelParam(int channel, const tagChanelParam& param);
    // The parameters; a pending deferred Compress is reported as Compress.
    bool GetChannelParam(int channel, tagChanelParam& out) const;
    tagChanelState GetChannelState(int channel) const;
    void GetChannelStates(tagCHANELS_STATE& out) const;

    // Range setters: first..last inside the device, else nothing changes and
    // the result is 0. With persist the changed key of every channel of the
    // range is written after the lock is released.
    int SetEnable(int first, int last, int32_t value, bool persist);
    int SetActivate(int first, int last, uint32_t value, bool persist);
    int SetCompress(int first, int last, uint32_t value, bool persist);
    int SetTOn(int first, int last, uint32_t value, bool persist);
    int SetTOff(int first, int last, uint32_t value, bool persist);
    int SetTreshold(int first, int last, uint32_t value, bool persist);
    int SetSampleRate(int first, int last, uint32_t value, bool persist);
    int SetMute(int channel, bool mute, bool persist);
    int GetMute(int channel) const;
    // Pairs master and slave; 0 (nothing changes) unless both are in no pair
    // or already form this one.
    int SetStereo(int master, int slave, bool persist);
    // Splits the pair; 0 (nothing changes) unless master and slave form it.
    int UndoStereo(int master, int slave, bool persist);
    // Writes nothing: the client operation decides what to store.
    int ApplyDefaults(const DefaultParams& defaults, int first, int last);
    int ManualActivate(int channel, bool on);
    int SetScheduling(int channel, uint32_t value);
    int SetAlias(int channel, const std::string& alias, bool persist);
    std::string Alias(int channel) const;
    int SetMyPhoneNumber(int channel, const std::string& number, bool alwaysUse);
    int SetDtmfEnable(int channel, bool enable);
    int SetForcedDirection(int channel, uint32_t direction);
    int SetSourceSignal(int first, int last, uint32_t value, bool persist);
    // Stops the open record of the channel and returns it to its waiting state.
    int StopRecord(int channel);
    // Releases every manual activation (device stop).
    void ReleaseManualActivations();
    // Stops every record (device stop or close).
    void StopAllRecords();

    // --- Reading thread, under Lock() ------------------------------------
    // One 8-ms block of a channel with its level (mean absolute amplitude).
    void DeliverBlockLocked(int channel, const int16_t* samples, std::size_t count, uint32_t level);
    // A line event (LineEventValue) or a dialled digit (0..15).
    void LineEventLocked(int channel, int value);
    void DigitEventLocked(int channel, int digit);
    // The processor of the channel's group failed: record ended, StateLine 12.
    void MarkFaultLocked(int channel);
    // StateLine 12 set by a silent group returns to the waiting state.
    void ClearFaultLocked(int channel);

    // The state of a channel while the caller holds Lock().
    const tagChanelState& StateLocked(int channel) const;
    const tagChanelParam& ParamLocked(int channel) const;
    const std::string& AliasLocked(int channel) const;

    // For tests and diagnostics.
    Handler HandlerOf(int channel) const;
    std::size_t BufferCapacity(int channel) const;

private:
    struct Channel;

    // The two channels of a stereo pair. The lower index decides (runs the
    // level window for both); the master owns the buffer and the record.
    struct StereoPair {
        int master = -1;
        int slave = -1;
        int Low() const { return master < slave ? master : slave; }
        int Other(int channel) const { return channel == master ? slave : master; }
    };

    bool InRange(int first, int last) const;
    Channel& At(int channel) { return *m_channels[static_cast<std::size_t>(channel)]; }
    const Channel& At(int channel) const { return *m_channels[static_cast<std::size_t>(channel)]; }
    void Persist(int first, int last, const char* key, uint32_t value);
    void PersistStereo(int master, int slave, bool paired);

    // The pair a channel is in: true only when its Mode is 2 or 3, its
    // partner is another channel of the device and the partner's Mode and
    // SlaveChannel point back. Every use of a partner index goes through here.
    bool PairLocked(int channel, StereoPair& pair) const;
    // The channel whose buffer and record take a channel's audio: the master
    // of its pair, else the channel itself.
    int OwnerLocked(int channel) const;

    // Parameter application (lock held).
    void ArmLocked(int channel);
    bool AllocateBufferLocked(int channel);
    void SetupLevelWindowLocked(int channel);
    void FreeLevelWindowLocked(int channel);
    bool FormPairLocked(int master, int slave);
    void HoldSlaveOffLocked(int slave);
    void SwitchOffLocked(int channel);
    void ReportAllocationFailure();
    bool SetStereoLocked(int master, int slave);
    bool UndoStereoLocked(int master, int slave);

    // Recording (lock held).
    bool OpenRecordLocked(int channel);
    void WriteBufferLocked(int channel, Channel& owner);
    void ApplyLengthRuleLocked(int decider);
    void StopRecordLocked(int channel);
    void FinishRecordLocked(int channel);
    void ApplyDeferredCompress(Channel& c);

    // Handlers (lock held).
    void LevelMonoLocked(int channel, const int16_t* samples, std::size_t count);
    void StereoLowLocked(int channel, const int16_t* samples, std::size_t count);
    void StereoHighLocked(int channel, const int16_t* samples, std::size_t count);
    void LineRecordingLocked(int channel, const int16_t* samples, std::size_t count);
    bool LevelWindowLocked(int decider, bool loud, bool quiet, uint32_t resumeState);
    void StartFromRingLocked(int decider, int owner, uint32_t frameBytes);

    // Line-state machine (lock held).
    void RingLocked(int channel);
    void CallTakenLocked(int channel, int value);
    void FreeLocked(int channel);
    void LostLocked(int channel);
    void PollWindowsLocked(int channel, bool callOut);
    void CloseWindowsLocked(int channel);
    void EndLineRecordLocked(int channel);
    void TakeDtmfLocked(int channel);
    void TakeCallerNumberLocked(int channel, bool resetAfter);
    void NoteCallStart(Channel& c);

    // Constant after construction
    IServer& m_server;
    IChannelRecorder& m_recorder;
    IChannelHooks& m_hooks;
    IClock& m_clock;
    // Set by the device before its reading thread starts
    int m_deviceIndex;
    int m_firstLine;
    DeviceValues m_values;  // Guarded by m_lock once the device runs

    mutable std::mutex m_lock;
    CChannelSettingsFile* m_settings = nullptr;        // Guarded by m_lock
    uint32_t m_deviceNumber = 0;                       // Guarded by m_lock
    std::vector<std::unique_ptr<Channel>> m_channels;  // Guarded by m_lock (contents)
};

}  // namespace zorv
