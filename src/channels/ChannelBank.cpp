// Channel parameters: storing, validating and re-arming channels, stereo
// pairs, and writing changed keys back to the settings.
#include "channels/ChannelBank.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "channels/ChannelRecord.h"
#include "core/ServerMessage.h"

namespace zorv {
namespace {

// Samples in one 8-ms block at a rate; the longest block for a rate that no
// group supports.
std::size_t BlockSamples(uint32_t rate) {
    switch (rate) {
        case 8000: return 64;
        case 16000: return 128;
        case 32000: return 256;
        default: return 512;
    }
}

}  // namespace

CChannelBank::CChannelBank(IServer& server, IChannelRecorder& recorder, IChannelHooks& hooks,
                           IClock& clock, int deviceIndex, int firstLine, int channelCount)
    : m_server(server),
      m_recorder(recorder),
      m_hooks(hooks),
      m_clock(clock),
      m_deviceIndex(deviceIndex),
      m_firstLine(firstLine) {
    const int count = std::clamp(channelCount, 0, kMaxChannelsPerDevice);
    m_channels.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        m_channels.push_back(std::make_unique<Channel>());
    }
    CMutexLock lock(m_lock);
    for (int i = 0; i < count; ++i) {
        ArmLocked(i);
    }
}

CChannelBank::~CChannelBank() = default;

void CChannelBank::SetSettings(CChannelSettingsFile* settings, uint32_t deviceNumber) {
    CMutexLock lock(m_lock);
    m_settings = settings;
    m_deviceNumber = deviceNumber;
}

bool CChannelBank::InRange(int first, int last) const {
    return first >= 0 && last >= first && last < Count();
}

void CChannelBank::Persist(int first, int last, const char* key, uint32_t value) {
    CChannelSettingsFile* settings = nullptr;
    uint32_t number = 0;
    {
        CMutexLock lock(m_lock);
        settings = m_settings;
        number = m_deviceNumber;
    }
    if (settings != nullptr) {
        settings->WriteChannelRange(number, first, last, key, value);
    }
}

void CChannelBank::ReportAllocationFailure() {
    m_hooks.OnAllocationFailed();
    m_server.Post(kMsgFailure, 6, 0, 0);
}

// --- Applying parameters ------------------------------------------------

void CChannelBank::ArmLocked(int channel) {
    Channel& c = At(channel);
    tagChanelParam& p = c.param;
    c.stopCount = p.TOff * 125;
    c.startCount = p.TOn * 7;
    c.faultBySilence = false;
    StereoPair pair;
    const bool paired = PairLocked(channel, pair);
    if (paired && pair.slave == channel) {
        return;  // armed by its master
    }
    if (p.Enable != 1) {
        c.state.StateLine = CS_OFF;
        c.handler = Handler::kIdle;
        if (paired) {
            HoldSlaveOffLocked(pair.slave);
        }
        return;
    }
    if (paired) {
        At(pair.slave).param.Activate = p.Activate;
        if (!FormPairLocked(pair.master, pair.slave)) {
            SwitchOffLocked(channel);
            ReportAllocationFailure();
        }
        return;
    }
    // Half of a pair whose partner does not point back is no pair.
    p.Mode = kModeMono;
    p.SlaveChannel = 0;
    m_recorder.PrepareFormat(channel, 1, p.SampleRate);
    if (!AllocateBufferLocked(channel)) {
        SwitchOffLocked(channel);
        ReportAllocationFailure();
        return;
    }
    if (IsLevelActivation(p.Activate)) {
        c.state.StateLine = CS_VOX;
        SetupLevelWindowLocked(channel);
        c.handler = Handler::kLevel;
    } else {
        c.state.StateLine = CS_FREE;
        c.handler = Handler::kIdle;
    }
}

bool CChannelBank::AllocateBufferLocked(int channel) {
    Channel& c = At(channel);
    const tagChanelParam& p = c.param;
    std::size_t size = 0;
    if (p.Mode == kModeStereoMaster) {
        size = static_cast<std::size_t>(p.SampleRate) * 4;
    } else if (IsLevelActivation(p.Activate)) {
        size = static_cast<std::size_t>(p.SampleRate) * 2 * p.TOn / 10;
    } else {
        size = static_cast<std::size_t>(p.SampleRate) * 2;
    }
    // Never smaller than one block, so that a block always fits into an empty
    // buffer (TOn 0 would otherwise give a buffer of no bytes at all).
    const std::size_t frameBytes = p.Mode == kModeStereoMaster ? 4 : 2;
    size = std::max(size, BlockSamples(p.SampleRate) * frameBytes);
    if (c.buffer.size() != size) {
        try {
            std::vector<uint8_t> fresh(size, 0);
            c.buffer.swap(fresh);
        } catch (const std::bad_alloc&) {
            return false;
        }
    } else {
        // A buffer kept at its size is emptied too: a master's old interleaved
        // buffer must not reach the mono record that follows the pair.
        std::fill(c.buffer.begin(), c.buffer.end(), 0);
    }
    c.used = 0;
    c.framePos = 0;
    return true;
}

void CChannelBank::SetupLevelWindowLocked(int channel) {
    Channel& c = At(channel);
    c.startWindow = c.param.TOn * 25 / 2;
    c.stopWindow = c.param.TOff * 125;
    // TOn 0 and TOff 0 are allowed: the ring keeps at least one flag.
    c.flags.assign(std::max<std::size_t>({c.startWindow, c.stopWindow, 1}), 0);
    c.flagPos = 0;
    c.flagged = 0;
}

void CChannelBank::FreeLevelWindowLocked(int channel) {
    Channel& c = At(channel);
    c.flags.clear();
    c.flags.shrink_to_fit();
    c.flagPos = 0;
    c.flagged = 0;
}

void CChannelBank::SwitchOffLocked(int channel) {
    Channel& c = At(channel);
    StereoPair pair;
    const bool master = PairLocked(channel, pair) && pair.master == channel;
    c.param.Enable = 0;
    c.state.StateLine = CS_OFF;
    c.handler = Handler::kIdle;
    if (master) {
        Channel& s = At(pair.slave);
        s.param.Enable = 0;
        s.state.StateLine = CS_OFF;
        s.handler = Handler::kIdle;
    }
}

// --- Whole records ------------------------------------------------------

bool CChannelBank::SetChannelParam(int channel, const tagChanelParam& param) {
    if (!InRange(channel, channel)) {
        return false;
    }
    tagChanelParam p = param;
    ValidateChanelParam(p, channel, Count());
    StereoPair wanted;
    if (p.Mode == kModeStereoMaster) {
        wanted = {channel, static_cast<int>(p.SlaveChannel)};
    } else if (p.Mode == kModeStereoSlave) {
        wanted = {static_cast<int>(p.SlaveChannel), channel};
    }
    CMutexLock lock(m_lock);
    StereoPair current;
    const bool paired = PairLocked(channel, current);
    const bool samePair =
        paired && current.master == wanted.master && current.slave == wanted.slave;
    if (paired && !samePair) {
        UndoStereoLocked(current.master, current.slave);
    }
    Channel& c = At(channel);
    if (!samePair) {
        // The pair fields change only through set stereo below.
        p.Mode = kModeMono;
        p.SlaveChannel = 0;
    } else if (channel == current.slave) {
        p.Activate = At(current.master).param.Activate;  // a pair has its master's
    }
    c.param = p;
    ArmLocked(channel);
    if (!samePair && wanted.master == channel) {
        SetStereoLocked(wanted.master, wanted.slave);
    }
    return true;
}

bool CChannelBank::GetChannelParam(int channel, tagChanelParam& out) const {
    if (!InRange(channel, channel)) {
        return false;
    }
    CMutexLock lock(m_lock);
    const Channel& c = At(channel);
    out = c.param;
    if (c.deferredCompress >= 0) {
        out.Compress = static_cast<uint32_t>(c.deferredCompress);
    }
    return true;
}

tagChanelState CChannelBank::GetChannelState(int channel) const {
    tagChanelState out{};
    if (InRange(channel, channel)) {
        CMutexLock lock(m_lock);
        out = At(channel).state;
    }
    return out;
}

void CChannelBank::GetChannelStates(tagCHANELS_STATE& out) const {
    std::memset(&out, 0, sizeof out);
    CMutexLock lock(m_lock);
    for (int i = 0; i < Count(); ++i) {
        out.Chanel[i] = At(i).state;
    }
}

// --- Range setters ------------------------------------------------------

int CChannelBank::SetEnable(int first, int last, int32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            if (c.param.Enable == value || c.param.Mode == kModeStereoSlave) {
                continue;
            }
            c.param.Enable = value;
            if (value == 1) {
                ArmLocked(i);
                continue;
            }
            StopRecordLocked(i);
            StereoPair pair;
            const bool master = PairLocked(i, pair) && pair.master == i;
            c.state.StateLine = CS_OFF;
            c.handler = Handler::kIdle;
            c.buffer.clear();
            c.buffer.shrink_to_fit();
            FreeLevelWindowLocked(i);
            if (master) {
                SwitchOffLocked(i);
            }
        }
    }
    m_hooks.OnEnableChanged();
    if (persist) {
        Persist(first, last, "Enable", static_cast<uint32_t>(value));
    }
    return 1;
}

int CChannelBank::SetActivate(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    if (value < kActivateLevel || value > kActivateLevelToo) {
        value = kActivateLine;
    }
    std::vector<StereoPair> split;
    {
        // One lock for both steps, so that no pair forms in between.
        CMutexLock lock(m_lock);
        // Either half of a stereo pair first splits the pair.
        for (int i = first; i <= last; ++i) {
            StereoPair pair;
            if (PairLocked(i, pair) && UndoStereoLocked(pair.master, pair.slave)) {
                split.push_back(pair);
            }
        }
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            c.param.Activate = value;
            if (c.param.Enable != 1) {
                c.state.StateLine = CS_OFF;
                continue;
            }
            StopRecordLocked(i);
            if (IsLevelActivation(value)) {
                SetupLevelWindowLocked(i);
                c.handler = Handler::kLevel;
                c.state.StateLine = CS_VOX;
            } else {
                FreeLevelWindowLocked(i);
                c.handler = Handler::kIdle;
                c.state.StateLine = CS_FREE;
            }
            m_recorder.PrepareFormat(i, 1, c.param.SampleRate);
            if (!AllocateBufferLocked(i)) {
                SwitchOffLocked(i);
                ReportAllocationFailure();
            }
        }
    }
    if (persist) {
        for (const StereoPair& pair : split) {
            PersistStereo(pair.master, pair.slave, false);
        }
        Persist(first, last, "Activate", value);
    }
    return 1;
}

int CChannelBank::SetCompress(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            if (c.state.State == 1 && c.param.Mode != kModeStereoSlave) {
                c.deferredCompress = static_cast<int32_t>(value);
            } else {
                c.param.Compress = value;
                c.deferredCompress = -1;
            }
        }
    }
    if (persist) {
        Persist(first, last, "Compression", value);
    }
    return 1;
}

int CChannelBank::SetTOn(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    value = std::min<uint32_t>(value, 50);
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            c.param.TOn = value;
            c.startCount = value * 7;
            if (c.param.Enable != 1 || c.param.Mode == kModeStereoSlave ||
                !IsLevelActivation(c.param.Activate)) {
                continue;
            }
            if (c.state.State == 1) {
                WriteBufferLocked(i, c);
            }
            StereoPair pair;
            if (PairLocked(i, pair)) {
                At(pair.master).framePos = 0;
                At(pair.slave).framePos = 0;
            }
            if (!AllocateBufferLocked(i)) {
                SwitchOffLocked(i);
                ReportAllocationFailure();
                continue;
            }
            SetupLevelWindowLocked(i);
        }
    }
    if (persist) {
        Persist(first, last, "TOn", value);
    }
    return 1;
}

int CChannelBank::SetTOff(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    value = std::min<uint32_t>(value, 100);
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            c.param.TOff = value;
            c.stopCount = value * 125;
            if (c.param.Enable == 1 && c.param.Mode != kModeStereoSlave &&
                IsLevelActivation(c.param.Activate)) {
                SetupLevelWindowLocked(i);
            }
        }
    }
    if (persist) {
        Persist(first, last, "TOff", value);
    }
    return 1;
}

int CChannelBank::SetTreshold(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    if (value > 32768) {
        value = 3276;
    }
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            At(i).param.Treshold = static_cast<uint16_t>(value);
        }
    }
    if (persist) {
        Persist(first, last, "Treshold", static_cast<uint16_t>(value));
    }
    return 1;
}

int CChannelBank::SetSampleRate(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    // The same correction as loading: a rate of 0 never reaches a size or a divisor.
    if (value < 8000 || value > 64000) {
        value = 8000;
    }
    int result = 1;
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            Channel& c = At(i);
            if (c.param.SampleRate == value) {
                continue;
            }
            c.param.SampleRate = value;
            if (c.param.Enable != 1 || c.param.Mode == kModeStereoSlave) {
                continue;
            }
            m_hooks.OnSampleRateChanged(i, value);
            StopRecordLocked(i);
            m_recorder.PrepareFormat(i, c.param.Mode == kModeStereoMaster ? 2 : 1, value);
            if (!AllocateBufferLocked(i)) {
                SwitchOffLocked(i);
                ReportAllocationFailure();
                result = 0;
                break;
            }
        }
    }
    if (persist) {
        Persist(first, last, "SampleRate", value);
    }
    return result;
}

int CChannelBank::SetMute(int channel, bool mute, bool persist) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    {
        CMutexLock lock(m_lock);
        m_recorder.SetMute(channel, mute);
    }
    if (persist) {
        Persist(channel, channel, "Mute", mute ? 1 : 0);
    }
    return 1;
}

int CChannelBank::GetMute(int channel) const {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    return m_recorder.GetMute(channel) ? 1 : 0;
}

int CChannelBank::ApplyDefaults(const DefaultParams& defaults, int first, int last) {
    if (!InRange(first, last)) {
        return 0;
    }
    for (int i = first; i <= last; ++i) {
        uint32_t activate = kActivateLine;
        StereoPair pair;
        bool master = false;
        {
            CMutexLock lock(m_lock);
            activate = At(i).param.Activate;
            master = PairLocked(i, pair) && pair.master == i;
        }
        if (activate != kActivateLine) {
            // Through the setters, so that windows and buffers follow.
            SetTOff(i, i, defaults.tOff, false);
            SetTOn(i, i, defaults.tOn, false);
            SetTreshold(i, i, defaults.treshold, false);
            if (master) {
                SetTreshold(pair.slave, pair.slave, defaults.treshold, false);
            }
        }
        SetCompress(i, i, defaults.compression, false);
    }
    return 1;
}

int CChannelBank::SetScheduling(int channel, uint32_t value) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    At(channel).state.ShedulingOn = value;
    return 1;
}

int CChannelBank::SetAlias(int channel, const std::string& alias, bool persist) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    const std::string cut = alias.substr(0, 20);
    CChannelSettingsFile* settings = nullptr;
    {
        CMutexLock lock(m_lock);
        At(channel).alias = cut;
        settings = m_settings;
    }
    if (persist && settings != nullptr) {
        settings->WriteAlias(static_cast<uint32_t>(m_firstLine + channel), cut);
    }
    return 1;
}

std::string CChannelBank::Alias(int channel) const {
    if (!InRange(channel, channel)) {
        return "";
    }
    CMutexLock lock(m_lock);
    return At(channel).alias;
}

int CChannelBank::SetMyPhoneNumber(int channel, const std::string& number, bool alwaysUse) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    At(channel).myPhoneNumber = number.substr(0, 40);
    At(channel).alwaysUseMyPhoneNumber = alwaysUse;
    m_recorder.SetOwnNumber(channel, At(channel).myPhoneNumber, alwaysUse);
    return 1;
}

int CChannelBank::SetDtmfEnable(int channel, bool enable) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    At(channel).dtmfEnable = enable;
    return 1;
}

int CChannelBank::SetForcedDirection(int channel, uint32_t direction) {
    if (!InRange(channel, channel)) {
        return 0;
    }
    CMutexLock lock(m_lock);
    At(channel).forcedDirection = direction;
    return 1;
}

int CChannelBank::SetSourceSignal(int first, int last, uint32_t value, bool persist) {
    if (!InRange(first, last)) {
        return 0;
    }
    {
        CMutexLock lock(m_lock);
        for (int i = first; i <= last; ++i) {
            At(i).sourceSignal = value;
        }
    }
    if (persist) {
        Persist(first, last, "SourceSignal", value);
    }
    return 1;
}

const tagChanelState& CChannelBank::StateLocked(int channel) const { return At(channel).state; }

const tagChanelParam& CChannelBank::ParamLocked(int channel) const { return At(channel).param; }

const std::string& CChannelBank::AliasLocked(int channel) const {
    return At(channel).alias;
}

CChannelBank::Handler CChannelBank::HandlerOf(int channel) const {
    CMutexLock lock(m_lock);
    return InRange(channel, channel) ? At(channel).handler : Handler::kIdle;
}

std::size_t CChannelBank::BufferCapacity(int channel) const {
    CMutexLock lock(m_lock);
    return InRange(channel, channel) ? At(channel).buffer.size() : 0;
}

}  // namespace zorv
