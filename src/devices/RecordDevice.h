// The base of every capture device: a fixed set of channels that receive
// audio blocks and line events, with their parameters, recording logic and
// record files.
//
// The server holds devices through IServerDevice and calls the operations of
// the device interface below; an operation a device class does not support
// answers 6. Channel state lives in the channel bank, under the device's
// channel lock; the reading thread of a device class delivers blocks and
// events under that lock. Called from the server thread (life cycle), client
// threads and the scheduler (channel operations), and the device's reading
// thread (delivery).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/ChannelBank.h"
#include "channels/ChannelHooks.h"
#include "channels/ChannelSettings.h"
#include "core/AudioObserver.h"
#include "core/Server.h"
#include "core/ServerDevice.h"
#include "devices/DeviceDriver.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "storage/RecordFiles.h"

namespace zorv {

class CRecordDevice;

// Makes the record files of a device's channels.
class IRecorderFactory {
public:
    virtual ~IRecorderFactory() = default;
    virtual std::unique_ptr<IChannelRecorder> Create(CRecordDevice& device, int channelCount) = 0;
};

// Server-wide values a device is given when it is configured.
struct DeviceRecordValues {
    uint32_t continueAfterSplit = 1;  // "MaxSizeRecord"
    uint32_t recordFromRing = 1;      // "CallNotServices"
    uint32_t registerAtStart = 0;     // "DataBaseMode"
};

// What a device is built with.
struct DeviceContext {
    IServer* server = nullptr;
    IClock* clock = nullptr;
    IRecorderFactory* recorders = nullptr;  // null: records are discarded
    int deviceIndex = 0;
    int firstLine = 0;
};

class CRecordDevice : public IServerDevice, public IRecordFileOwner, protected IChannelHooks {
public:
    explicit CRecordDevice(const DeviceContext& context);
    ~CRecordDevice() override;
    CRecordDevice(const CRecordDevice&) = delete;
    CRecordDevice& operator=(const CRecordDevice&) = delete;

    // --- The device interface, in the order of its operation table --------
    virtual CDeviceDriver* GetDriver() { return nullptr; }
    virtual int FinishRecord(int channel);
    virtual int SetLevelWindow(int channel, uint32_t tOn, uint32_t tOff);
    virtual int StopRecord(int channel);
    virtual void Destroy() {}
    void SetDeviceIndex(int index) override;
    virtual bool IsReady() const { return m_bank != nullptr; }
    virtual int SetChannelParam(int channel, const tagChanelParam& param);
    bool Open() override = 0;
    void Close() override;
    bool Start() override = 0;
    void Stop() override;
    void SetRecordRoot(const std::string& path) override;
    virtual int SetSampleRate(int first, int last, uint32_t rate, bool persist);
    virtual int SetEnable(int first, int last, int32_t value, bool persist);
    virtual int SetMute(int channel, bool on, bool persist);
    virtual int GetMute(int channel);
    virtual int SetActivate(int first, int last, uint32_t value, bool persist);
    int SetCompress(int first, int last, int value, bool persist) override;
    virtual int SetTOn(int first, int last, uint32_t value, bool persist);
    virtual int SetTOff(int first, int last, uint32_t value, bool persist);
    virtual int SetTreshold(int first, int last, uint32_t value, bool persist);
    virtual int SetStereo(int master, int slave, bool persist);
    virtual int UndoStereo(int master, int slave, bool persist);
    virtual int ManualActivate(int channel, bool on, int variant);
    virtual int ApplyDefaults(const DefaultParams& defaults, int first, int last);
    virtual int SetScheduling(int channel, uint32_t value);
    virtual int SetAlias(int channel, const std::string& alias, bool persist);
    virtual int GetAlias(int channel, std::string& alias);
    virtual int SetTariffGroup(int flag, const std::string& groupName);
    virtual int SetSourceSignal(int first, int last, uint32_t value, bool persist);
    uint32_t GetDeviceNumber() const override { return 0; }
    virtual int GetObserverFormat(int /*channel*/) { return 1; }
    virtual bool CreateDriver() { return false; }
    virtual int SetGroupSampleRate(int /*group*/, uint32_t /*rate*/) { return kNotSupported; }
    // "AonFlags" of a channel changed: the decoders follow at once.
    virtual void ApplyAonFlags(int /*channel*/, uint32_t /*flags*/) {}
    virtual int SetGain(int /*channel*/, int /*gain*/, bool /*program*/, bool /*persist*/) {
        return kNotSupported;
    }
    virtual int SetFrequencyActivator(int /*channel*/, bool /*on*/) { return 0; }
    // Auto-answer and busy analyzer: boards of the PCI family only.
    virtual int SetAutoAnswer(int /*channel*/, int /*mode*/, int /*secondsToAnswer*/,
                              int /*timeOut*/, int /*timeOutMode*/) {
        return kNotSupported;
    }
    virtual int SetBusyAnalyzerLimits(int /*channel*/, const int (&/*limits*/)[6]) {
        return kNotSupported;
    }
    virtual int StartBusyAnalyzerTune(int /*channel*/) { return kNotSupported; }
    virtual int SetBusyAnalyzerBand(int /*channel*/, int /*lowHz*/, int /*highHz*/) {
        return kNotSupported;
    }
    virtual int SetAutoAnswerFilter(int /*channel*/, int /*lowHz*/, int /*highHz*/) {
        return kNotSupported;
    }
    // Network transcoders only.
    virtual int GetCodecMode(int /*sampleRate*/, int& /*compression*/, int& /*speexMode*/) {
        return kNotSupported;
    }
    virtual int SetBufferMode(int /*mode*/, int /*flag*/) { return kNotSupported; }
    virtual int GetBufferMode(int& /*mode*/) { return kNotSupported; }
    virtual int Reserved() { return 0; }
    virtual int OnDeviceNotificationFor(int /*channel*/) { return kNotSupported; }
    int OnDeviceNotification(int value) override { return OnDeviceNotificationFor(value); }
    int RestartHardware() override { return kNotSupported; }
    int SetCodecMode(int, int, int, int) override { return kNotSupported; }
    // Class-specific processing of each block (auto-answer on boards).
    virtual void ProcessBlock(int /*channel*/, int16_t* /*samples*/, std::size_t /*count*/) {}

    // --- Non-virtual operations of the server and the clients -------------
    bool GetChannelParam(int channel, tagChanelParam& out) const;
    void GetChannelStates(tagCHANELS_STATE& out) const;
    int LastError() const override { return m_error.load(); }
    void SetError(int error) { m_error = error; }
    uint32_t BoardId() const override { return m_hardware.BoardID; }
    const tagHARDWARE_CONFIG& HardwareConfig() const { return m_hardware; }
    int ChannelCount() const override { return m_channelCount; }
    // IRecordFileOwner (the record files ask under the channel lock)
    int DeviceIndex() const override { return m_deviceIndex; }
    int FirstLine() const override { return m_firstLine; }
    uint32_t SerialNumber() const override { return GetDeviceNumber(); }
    std::string ServerName() const override { return m_serverName; }
    std::string RecordRoot() const override { return m_recordRoot; }
    std::string FileSuffix() const override { return m_fileSuffix; }
    std::string DaySuffix() const override { return m_dirSuffix; }
    uint32_t MinRecordSeconds() const override {
        CMutexLock lock(m_lengthsLock);
        return m_minSeconds;
    }
    uint32_t MaxRecordSeconds() const override {
        CMutexLock lock(m_lengthsLock);
        return m_maxSeconds;
    }
    bool RegisterAtStart() const override { return m_values.registerAtStart == 1; }
    uint32_t ChannelCompress(int channel) const override REQUIRES(m_bank->Lock());
    uint32_t ChannelSampleRate(int channel) const override REQUIRES(m_bank->Lock());
    std::string ChannelAlias(int channel) const override REQUIRES(m_bank->Lock());

    // Live listening: observers of a channel's recorded audio (PCM at the
    // channel's rate; stereo when the channel is the master of a pair) and
    // of its line-monitor bytes (8000 Hz, mono). Attach opens the observer
    // and keeps it only when that succeeds (false otherwise, and for a
    // channel out of range). The caller owns the observer and detaches it
    // before it goes; Close forgets every observer.
    bool AttachRecordObserver(int channel, CAudioObserver* observer) override;
    void DetachRecordObserver(int channel, CAudioObserver* observer) override;
    bool AttachLineObserver(int channel, CAudioObserver* observer) override;
    void DetachLineObserver(int channel, CAudioObserver* observer) override;

    // The monitor record of a channel (start and stop commands).
    int StartMonitorRecord(int channel);
    int StopMonitorRecord(int channel);
    // Whether it runs and its length in seconds; 0 for no such channel.
    int GetMonitorRecord(int channel, bool& running, uint32_t& seconds);
    // The number that names the device's settings sections.
    uint32_t SettingsNumber() const;
    void SetFileSuffixes(const std::string& fileSuffix, const std::string& dirSuffix) override;
    void SetRecordLengths(uint32_t minSeconds, uint32_t maxSeconds) override;
    void SetServerName(const std::string& name) override;
    void SetRecordValues(const DeviceRecordValues& values);

    // Loads the channel and device sections of the settings (after open,
    // before start) and keeps the file for the setters' writes.
    virtual void LoadSettings(const CChannelSettingsFile& settings);

    // The channels, for the reading loop and tests; null before open.
    CChannelBank* Bank() { return m_bank.get(); }

protected:
    // Creates the channel bank and recorder for channelCount channels.
    bool CreateChannels(int channelCount);
    void DestroyChannels();

    IServer& Server() { return *m_server; }
    IClock& Clock() { return *m_clock; }

    // True when first..last lies inside the device; otherwise the device
    // error becomes 4 (bad channel index). A device without channels (not
    // open) has no channel to be bad.
    bool ChannelsValid(int first, int last);

    // IChannelHooks
    void OnAllocationFailed() override { m_error = kDeviceNoMemory; }
    // A running monitor record continues in a new file at the new rate; the
    // channel's audio observers are reformatted (one that fails is dropped).
    void OnSampleRateChanged(int channel, uint32_t rate) override REQUIRES(m_bank->Lock());
    // The block goes to the channel's recorded-audio observers.
    void OnListenerAudio(int channel, const int16_t* samples, std::size_t count) override
        REQUIRES(m_bank->Lock());

    // A line-monitor byte of an enabled channel, for its line observers.
    void PushLineMonitorLocked(int channel, uint8_t byte) REQUIRES(m_bank->Lock());
    // Switches the device's line monitor of the channel (first observer
    // attached, last one gone); devices without one ignore it.
    virtual void SwitchLineMonitor(int /*channel*/, bool /*on*/) {}

    // Constant after construction
    IServer* m_server;
    IClock* m_clock;
    IRecorderFactory* m_recorders;

    std::atomic<int> m_deviceIndex;
    int m_firstLine;
    int m_channelCount = 0;
    std::atomic<int> m_error{kDeviceOk};
    tagHARDWARE_CONFIG m_hardware{};
    std::string m_recordRoot;
    std::string m_fileSuffix;
    std::string m_dirSuffix;
    // Set by clients at any time, read by the record files under the channel
    // lock: a lock of their own, taken last (after the channel lock).
    mutable CMutex m_lengthsLock;
    uint32_t m_minSeconds GUARDED_BY(m_lengthsLock) = 5;
    uint32_t m_maxSeconds GUARDED_BY(m_lengthsLock) = 28800000;
    DeviceRecordValues m_values;
    std::string m_serverName;  // at most 20 characters
    std::string m_tariffGroup;
    int m_tariffFlag = 0;
    DeviceSettings m_deviceSettings;
    // Replaced by LoadSettings on the server thread before the device starts;
    // the bank holds the same file under its channel lock.
    std::unique_ptr<CChannelSettingsFile> m_settings;

    std::unique_ptr<IChannelRecorder> m_recorder;
    std::unique_ptr<CChannelBank> m_bank;

    // The audio observers of each channel, under the channel lock (attached
    // and detached by client threads, fed by the reading thread).
    struct ChannelObservers {
        std::vector<CAudioObserver*> record;
        std::vector<CAudioObserver*> line;
    };
    std::array<ChannelObservers, kMaxChannelsPerDevice> m_observers GUARDED_BY(m_bank->Lock());
};

}  // namespace zorv
