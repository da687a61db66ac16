#include "devices/RecordDevice.h"

#include <array>

#include "core/Journal.h"

namespace zorv {
namespace {

// Records of a device without a record-file writer: the channel logic runs
// as usual, the audio goes nowhere.
class CDiscardingRecorder final : public IChannelRecorder {
public:
    void PrepareFormat(int, int, uint32_t) override {}
    tagDB_Record& Metadata(int channel) override { return m_meta[Index(channel)]; }
    bool OpenRecord(int channel, const RecordStart&) override {
        m_open[Index(channel)] = true;
        return true;
    }
    bool IsRecordOpen(int channel) const override { return m_open[Index(channel)]; }
    std::size_t WriteRecord(int, const void*, std::size_t bytes) override { return bytes; }
    void FinishRecord(int channel) override {
        m_open[Index(channel)] = false;
        m_meta[Index(channel)] = tagDB_Record{};
    }
    void SetMute(int channel, bool mute) override { m_mute[Index(channel)] = mute; }
    bool GetMute(int channel) const override { return m_mute[Index(channel)]; }
    void AddCallWithoutFile(const tagDB_Record&) override {}

private:
    static std::size_t Index(int channel) {
        return static_cast<std::size_t>(channel) % kMaxChannelsPerDevice;
    }
    std::array<tagDB_Record, kMaxChannelsPerDevice> m_meta{};
    std::array<bool, kMaxChannelsPerDevice> m_open{};
    std::array<bool, kMaxChannelsPerDevice> m_mute{};
};

}  // namespace

CRecordDevice::CRecordDevice(const DeviceContext& context)
    : m_server(context.server),
      m_clock(context.clock != nullptr ? context.clock : &SystemClock()),
      m_recorders(context.recorders),
      m_deviceIndex(context.deviceIndex),
      m_firstLine(context.firstLine) {}

CRecordDevice::~CRecordDevice() = default;

bool CRecordDevice::CreateChannels(int channelCount) {
    m_channelCount = channelCount;
    m_recorder = m_recorders != nullptr ? m_recorders->Create(*this, channelCount) : nullptr;
    if (!m_recorder) {
        m_recorder = std::make_unique<CDiscardingRecorder>();
    }
    IChannelHooks& hooks = *this;
    m_bank = std::make_unique<CChannelBank>(*m_server, *m_recorder, hooks, *m_clock,
                                            m_deviceIndex.load(), m_firstLine, channelCount);
    CMutexLock lock(m_bank->Lock());
    m_bank->Values().maxRecordSeconds = MaxRecordSeconds();
    m_bank->Values().continueAfterSplit = m_values.continueAfterSplit;
    m_bank->Values().recordFromRing = m_values.recordFromRing;
    return true;
}

void CRecordDevice::DestroyChannels() {
    if (m_bank) {
        m_bank->StopAllRecords();
        CMutexLock lock(m_bank->Lock());
        m_observers = {};
    }
    m_bank.reset();
    m_recorder.reset();
}

void CRecordDevice::Close() {
    DestroyChannels();
}

void CRecordDevice::Stop() {
    if (m_bank) {
        m_bank->ReleaseManualActivations();
    }
}

void CRecordDevice::SetDeviceIndex(int index) {
    m_deviceIndex = index;
    if (m_bank) {
        m_bank->SetDeviceIndex(index);
    }
}

uint32_t CRecordDevice::SettingsNumber() const {
    const uint32_t serial = GetDeviceNumber();
    return serial != 0 ? serial : static_cast<uint32_t>(m_deviceIndex.load());
}

void CRecordDevice::SetFileSuffixes(const std::string& fileSuffix, const std::string& dirSuffix) {
    m_fileSuffix = fileSuffix;
    m_dirSuffix = dirSuffix;
}

void CRecordDevice::SetRecordLengths(uint32_t minSeconds, uint32_t maxSeconds) {
    {
        CMutexLock lock(m_lengthsLock);
        m_minSeconds = minSeconds;
        m_maxSeconds = maxSeconds;
    }
    if (m_bank) {
        CMutexLock lock(m_bank->Lock());
        m_bank->Values().maxRecordSeconds = maxSeconds;
    }
}

void CRecordDevice::SetServerName(const std::string& name) {
    m_serverName = name.substr(0, 20);
}

void CRecordDevice::SetRecordValues(const DeviceRecordValues& values) {
    m_values = values;
    if (m_bank) {
        CMutexLock lock(m_bank->Lock());
        m_bank->Values().continueAfterSplit = values.continueAfterSplit;
        m_bank->Values().recordFromRing = values.recordFromRing;
    }
}

void CRecordDevice::SetRecordRoot(const std::string& path) {
    // Replaced under the channel lock: the record files read it there.
    if (m_bank) {
        CMutexLock lock(m_bank->Lock());
        m_recordRoot = path;
    } else {
        m_recordRoot = path;
    }
}

uint32_t CRecordDevice::ChannelCompress(int channel) const {
    return m_bank && channel >= 0 && channel < m_channelCount
               ? m_bank->ParamLocked(channel).Compress
               : 1;
}

uint32_t CRecordDevice::ChannelSampleRate(int channel) const {
    return m_bank && channel >= 0 && channel < m_channelCount
               ? m_bank->ParamLocked(channel).SampleRate
               : 8000;
}

std::string CRecordDevice::ChannelAlias(int channel) const {
    return m_bank && channel >= 0 && channel < m_channelCount ? m_bank->AliasLocked(channel)
                                                              : std::string();
}

int CRecordDevice::StartMonitorRecord(int channel) {
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    m_recorder->StartMonitor(channel);
    return 1;
}

int CRecordDevice::StopMonitorRecord(int channel) {
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    m_recorder->StopMonitor(channel);
    return 1;
}

int CRecordDevice::GetMonitorRecord(int channel, bool& running, uint32_t& seconds) {
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    running = m_recorder->IsMonitorRunning(channel);
    seconds = m_recorder->MonitorSeconds(channel);
    return 1;
}

void CRecordDevice::LoadSettings(const CChannelSettingsFile& settings) {
    if (!m_bank) {
        return;
    }
    // The bank points at the new file before the old one goes; loading
    // itself writes nothing back.
    auto fresh = std::make_unique<CChannelSettingsFile>(settings);
    const uint32_t number = SettingsNumber();
    m_bank->SetSettings(fresh.get(), number);
    m_settings = std::move(fresh);
    for (int ch = 0; ch < m_channelCount; ++ch) {
        // Validated by the bank, as a client's record is.
        m_bank->SetChannelParam(ch, m_settings->ReadParam(number, ch));
        const ChannelExtras extras = m_settings->ReadExtras(number, ch);
        m_bank->SetSourceSignal(ch, ch, extras.sourceSignal, false);
        m_bank->SetMute(ch, extras.mute != 0, false);
        m_bank->SetMyPhoneNumber(ch, extras.myPhoneNumber, extras.alwaysUseMyPhoneNumber != 0);
        m_bank->SetAlias(ch, m_settings->ReadAlias(static_cast<uint32_t>(m_firstLine + ch)), false);
    }
    m_deviceSettings = m_settings->ReadDevice(number);
    {
        CMutexLock lock(m_bank->Lock());
        m_bank->Values().dtmfDetectSeconds = m_deviceSettings.dtmfDetectLength;
        m_bank->Values().numberDetectSeconds = m_deviceSettings.aonDetectLength;
    }
    for (int ch = 0; ch < m_channelCount; ++ch) {
        const ChannelAnalysisSettings analysis = m_settings->ReadAnalysis(number, ch);
        m_bank->SetDtmfEnable(ch, analysis.dtmfEnable != 0);
        m_bank->SetForcedDirection(ch, analysis.inOutFilter);
    }
}

// --- Channel operations -------------------------------------------------
//
// Every operation checks its channels here, where a bad index becomes device
// error 4, before the channel bank sees them.

bool CRecordDevice::ChannelsValid(int first, int last) {
    if (first >= 0 && first <= last && last < m_channelCount) {
        return true;
    }
    m_error = kDeviceBadChannelOrRate;
    return false;
}

int CRecordDevice::FinishRecord(int channel) {
    return StopRecord(channel);
}

int CRecordDevice::SetLevelWindow(int channel, uint32_t tOn, uint32_t tOff) {
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return 0;
    }
    return m_bank->SetTOn(channel, channel, tOn, true) &&
                   m_bank->SetTOff(channel, channel, tOff, true)
               ? 1
               : 0;
}

int CRecordDevice::StopRecord(int channel) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->StopRecord(channel) : 0;
}

int CRecordDevice::SetChannelParam(int channel, const tagChanelParam& param) {
    return m_bank && ChannelsValid(channel, channel) && m_bank->SetChannelParam(channel, param) ? 1
                                                                                                : 0;
}

int CRecordDevice::SetSampleRate(int first, int last, uint32_t rate, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetSampleRate(first, last, rate, persist)
                                                : 0;
}

int CRecordDevice::SetEnable(int first, int last, int32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetEnable(first, last, value, persist)
                                                : 0;
}

int CRecordDevice::SetMute(int channel, bool on, bool persist) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->SetMute(channel, on, persist) : 0;
}

int CRecordDevice::GetMute(int channel) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->GetMute(channel) : 0;
}

int CRecordDevice::SetActivate(int first, int last, uint32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetActivate(first, last, value, persist)
                                                : 0;
}

int CRecordDevice::SetCompress(int first, int last, int value, bool persist) {
    return m_bank && ChannelsValid(first, last)
               ? m_bank->SetCompress(first, last, static_cast<uint32_t>(value), persist)
               : 0;
}

int CRecordDevice::SetTOn(int first, int last, uint32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetTOn(first, last, value, persist) : 0;
}

int CRecordDevice::SetTOff(int first, int last, uint32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetTOff(first, last, value, persist) : 0;
}

int CRecordDevice::SetTreshold(int first, int last, uint32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last) ? m_bank->SetTreshold(first, last, value, persist)
                                                : 0;
}

int CRecordDevice::SetStereo(int master, int slave, bool persist) {
    return m_bank && ChannelsValid(master, master) && ChannelsValid(slave, slave)
               ? m_bank->SetStereo(master, slave, persist)
               : 0;
}

int CRecordDevice::UndoStereo(int master, int slave, bool persist) {
    return m_bank && ChannelsValid(master, master) && ChannelsValid(slave, slave)
               ? m_bank->UndoStereo(master, slave, persist)
               : 0;
}

int CRecordDevice::ManualActivate(int channel, bool on, int) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->ManualActivate(channel, on) : 0;
}

int CRecordDevice::ApplyDefaults(const DefaultParams& defaults, int first, int last) {
    return m_bank && ChannelsValid(first, last) ? m_bank->ApplyDefaults(defaults, first, last) : 0;
}

int CRecordDevice::SetScheduling(int channel, uint32_t value) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->SetScheduling(channel, value) : 0;
}

int CRecordDevice::SetAlias(int channel, const std::string& alias, bool persist) {
    return m_bank && ChannelsValid(channel, channel) ? m_bank->SetAlias(channel, alias, persist)
                                                     : 0;
}

int CRecordDevice::GetAlias(int channel, std::string& alias) {
    alias.clear();
    if (!m_bank || !ChannelsValid(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    if (m_recorder->IsRecordOpen(channel)) {
        alias = GetText(m_recorder->Metadata(channel).alias);
    }
    return 1;
}

int CRecordDevice::SetTariffGroup(int flag, const std::string& groupName) {
    if (!m_bank) {
        return 0;
    }
    CMutexLock lock(m_bank->Lock());
    m_tariffFlag = flag;
    m_tariffGroup = groupName;
    return 1;
}

int CRecordDevice::SetSourceSignal(int first, int last, uint32_t value, bool persist) {
    return m_bank && ChannelsValid(first, last)
               ? m_bank->SetSourceSignal(first, last, value, persist)
               : 0;
}

bool CRecordDevice::GetChannelParam(int channel, tagChanelParam& out) const {
    return m_bank && m_bank->GetChannelParam(channel, out);
}

void CRecordDevice::GetChannelStates(tagCHANELS_STATE& out) const {
    if (m_bank) {
        m_bank->GetChannelStates(out);
    } else {
        out = tagCHANELS_STATE{};
    }
}

}  // namespace zorv
