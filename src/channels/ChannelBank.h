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
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelHooks.h"
#include "channels/ChannelSettings.h"
#include "channels/ChannelTypes.h"
#include "core/Server.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

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
    void SetSettings(CChannelSettingsFile* settings, uint32_t deviceNumber) EXCLUDES(m_lock);
    void SetDeviceIndex(int index) { m_deviceIndex = index; }
    void SetFirstLine(int line) { m_firstLine = line; }
    // The device-wide values; the caller holds Lock().
    DeviceValues& Values() REQUIRES(m_lock) { return m_values; }

    // The vector is filled by the constructor and never resized, so its size
    // is read without the lock.
    int Count() const NO_THREAD_SAFETY_ANALYSIS { return static_cast<int>(m_channels.size()); }
    CMutex& Lock() RETURN_CAPABILITY(m_lock) { return m_lock; }

    // --- Parameters (the client and scheduler interface) -----------------
    // Validates and stores a whole parameter record and re-arms the channel.
    // A change of the record's pair goes through undo and set stereo: the
    // pair the channel was in is split, and Mode 3 forms a pair with a slave
    // that is in no other pair. Mode 2 only keeps the pair the channel is
    // already the slave of (a pair is formed from its master's record).
    // Writes nothing.
    bool SetChannelParam(int channel, const tagChanelParam& param) EXCLUDES(m_lock);
    // The parameters; a pending deferred Compress is reported as Compress.
    bool GetChannelParam(int channel, tagChanelParam& out) const EXCLUDES(m_lock);
    tagChanelState GetChannelState(int channel) const EXCLUDES(m_lock);
    void GetChannelStates(tagCHANELS_STATE& out) const EXCLUDES(m_lock);

    // Range setters: first..last inside the device, else nothing changes and
    // the result is 0. With persist the changed key of every channel of the
    // range is written after the lock is released.
    int SetEnable(int first, int last, int32_t value, bool persist) EXCLUDES(m_lock);
    int SetActivate(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetCompress(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetTOn(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetTOff(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetTreshold(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetSampleRate(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    int SetMute(int channel, bool mute, bool persist) EXCLUDES(m_lock);
    int GetMute(int channel) const EXCLUDES(m_lock);
    // Pairs master and slave; 0 (nothing changes) unless both are in no pair
    // or already form this one.
    int SetStereo(int master, int slave, bool persist) EXCLUDES(m_lock);
    // Splits the pair; 0 (nothing changes) unless master and slave form it.
    int UndoStereo(int master, int slave, bool persist) EXCLUDES(m_lock);
    // Writes nothing: the client operation decides what to store.
    int ApplyDefaults(const DefaultParams& defaults, int first, int last) EXCLUDES(m_lock);
    int ManualActivate(int channel, bool on) EXCLUDES(m_lock);
    int SetScheduling(int channel, uint32_t value) EXCLUDES(m_lock);
    int SetAlias(int channel, const std::string& alias, bool persist) EXCLUDES(m_lock);
    std::string Alias(int channel) const EXCLUDES(m_lock);
    int SetMyPhoneNumber(int channel, const std::string& number, bool alwaysUse) EXCLUDES(m_lock);
    int SetDtmfEnable(int channel, bool enable) EXCLUDES(m_lock);
    int SetForcedDirection(int channel, uint32_t direction) EXCLUDES(m_lock);
    int SetSourceSignal(int first, int last, uint32_t value, bool persist) EXCLUDES(m_lock);
    // Stops the open record of the channel and returns it to its waiting state.
    int StopRecord(int channel) EXCLUDES(m_lock);
    // Releases every manual activation (device stop).
    void ReleaseManualActivations() EXCLUDES(m_lock);
    // Stops every record (device stop or close).
    void StopAllRecords() EXCLUDES(m_lock);

    // --- Reading thread, under Lock() ------------------------------------
    // One 8-ms block of a channel with its level (mean absolute amplitude).
    void DeliverBlockLocked(int channel, const int16_t* samples, std::size_t count, uint32_t level)
        REQUIRES(m_lock);
    // A line event (LineEventValue) or a dialled digit (0..15).
    void LineEventLocked(int channel, int value) REQUIRES(m_lock);
    void DigitEventLocked(int channel, int digit) REQUIRES(m_lock);
    // The processor of the channel's group failed: record ended, StateLine 12.
    void MarkFaultLocked(int channel) REQUIRES(m_lock);
    // StateLine 12 set by a silent group returns to the waiting state.
    void ClearFaultLocked(int channel) REQUIRES(m_lock);
    // A network device sends no data: a channel not showing StateLine 12
    // remembers its state and shows 12 (its record goes on); the analyzer
    // of every channel starts over. NoDataEndedLocked gives a channel that
    // shows 12 the remembered state back.
    void ShowNoDataLocked(int channel) REQUIRES(m_lock);
    void NoDataEndedLocked(int channel) REQUIRES(m_lock);

    // Caller numbers found by the device's decoders. PutCallerNumberLocked
    // puts number (at most 40 characters) into the record's caller number
    // and into TlfString (emptied first when clearShown), and category into
    // the record when one is given.
    void PutCallerNumberLocked(int channel, std::string_view number, const uint32_t* category,
                               bool clearShown) REQUIRES(m_lock);
    // The direction of the record's call (inout).
    void SetDirectionLocked(int channel, uint32_t direction) REQUIRES(m_lock);
    // A level-activated channel that is waiting starts its record with this
    // block, as if the activation count had been reached.
    void ForceLevelStartLocked(int channel) REQUIRES(m_lock);
    // The windows of the current call in which numbers may still be taken.
    bool NumberWindowLocked(int channel) const REQUIRES(m_lock);
    bool DtmfWindowLocked(int channel) const REQUIRES(m_lock);
    bool RecordOpenLocked(int channel) const REQUIRES(m_lock);

    // The state of a channel while the caller holds Lock().
    const tagChanelState& StateLocked(int channel) const REQUIRES(m_lock);
    const tagChanelParam& ParamLocked(int channel) const REQUIRES(m_lock);
    const std::string& AliasLocked(int channel) const REQUIRES(m_lock);

    // For tests and diagnostics.
    Handler HandlerOf(int channel) const EXCLUDES(m_lock);
    std::size_t BufferCapacity(int channel) const EXCLUDES(m_lock);

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
    Channel& At(int channel) REQUIRES(m_lock) {
        return *m_channels[static_cast<std::size_t>(channel)];
    }
    const Channel& At(int channel) const REQUIRES(m_lock) {
        return *m_channels[static_cast<std::size_t>(channel)];
    }
    void Persist(int first, int last, const char* key, uint32_t value) EXCLUDES(m_lock);
    void PersistStereo(int master, int slave, bool paired) EXCLUDES(m_lock);

    // The pair a channel is in: true only when its Mode is 2 or 3, its
    // partner is another channel of the device and the partner's Mode and
    // SlaveChannel point back. Every use of a partner index goes through here.
    bool PairLocked(int channel, StereoPair& pair) const REQUIRES(m_lock);
    // The channel whose buffer and record take a channel's audio: the master
    // of its pair, else the channel itself.
    int OwnerLocked(int channel) const REQUIRES(m_lock);

    // Parameter application (lock held).
    void ArmLocked(int channel) REQUIRES(m_lock);
    bool AllocateBufferLocked(int channel) REQUIRES(m_lock);
    void SetupLevelWindowLocked(int channel) REQUIRES(m_lock);
    void FreeLevelWindowLocked(int channel) REQUIRES(m_lock);
    bool FormPairLocked(int master, int slave) REQUIRES(m_lock);
    void HoldSlaveOffLocked(int slave) REQUIRES(m_lock);
    void SwitchOffLocked(int channel) REQUIRES(m_lock);
    void ReportAllocationFailure();
    bool SetStereoLocked(int master, int slave) REQUIRES(m_lock);
    bool UndoStereoLocked(int master, int slave) REQUIRES(m_lock);

    // Recording (lock held).
    bool OpenRecordLocked(int channel) REQUIRES(m_lock);
    void WriteBufferLocked(int channel, Channel& owner) REQUIRES(m_lock);
    void ApplyLengthRuleLocked(int decider) REQUIRES(m_lock);
    void StopRecordLocked(int channel) REQUIRES(m_lock);
    void FinishRecordLocked(int channel) REQUIRES(m_lock);
    void ApplyDeferredCompress(Channel& c) REQUIRES(m_lock);

    // Handlers (lock held).
    void LevelMonoLocked(int channel, const int16_t* samples, std::size_t count) REQUIRES(m_lock);
    void StereoLowLocked(int channel, const int16_t* samples, std::size_t count) REQUIRES(m_lock);
    void StereoHighLocked(int channel, const int16_t* samples, std::size_t count) REQUIRES(m_lock);
    void LineRecordingLocked(int channel, const int16_t* samples, std::size_t count)
        REQUIRES(m_lock);
    bool LevelWindowLocked(int decider, bool loud, bool quiet, uint32_t resumeState)
        REQUIRES(m_lock);
    void StartFromRingLocked(int decider, int owner, uint32_t frameBytes) REQUIRES(m_lock);

    // Line-state machine (lock held).
    void RingLocked(int channel) REQUIRES(m_lock);
    void CallTakenLocked(int channel, int value) REQUIRES(m_lock);
    void FreeLocked(int channel) REQUIRES(m_lock);
    void LostLocked(int channel) REQUIRES(m_lock);
    void PollWindowsLocked(int channel, bool callOut) REQUIRES(m_lock);
    void CloseWindowsLocked(int channel) REQUIRES(m_lock);
    void EndLineRecordLocked(int channel) REQUIRES(m_lock);
    void TakeDtmfLocked(int channel) REQUIRES(m_lock);
    void TakeCallerNumberLocked(int channel, bool resetAfter) REQUIRES(m_lock);
    void NoteCallStart(Channel& c) REQUIRES(m_lock);

    // Constant after construction
    IServer& m_server;
    IChannelRecorder& m_recorder;
    IChannelHooks& m_hooks;
    IClock& m_clock;
    // Set by the device before its reading thread starts
    int m_deviceIndex;
    int m_firstLine;

    mutable CMutex m_lock;
    DeviceValues m_values GUARDED_BY(m_lock);
    CChannelSettingsFile* m_settings GUARDED_BY(m_lock) = nullptr;
    uint32_t m_deviceNumber GUARDED_BY(m_lock) = 0;
    // The channels and their contents
    std::vector<std::unique_ptr<Channel>> m_channels GUARDED_BY(m_lock);
};

}  // namespace zorv
