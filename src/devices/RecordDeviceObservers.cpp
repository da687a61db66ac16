// The audio observers of a device's channels (live listening).
#include <algorithm>

#include "devices/RecordDevice.h"

namespace zorv {
namespace {

void Remove(std::vector<CAudioObserver*>& list, CAudioObserver* observer) {
    list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

}  // namespace

bool CRecordDevice::AttachRecordObserver(int channel, CAudioObserver* observer) {
    if (observer == nullptr || !m_bank || channel < 0 || channel >= m_channelCount) {
        return false;
    }
    CMutexLock lock(m_bank->Lock());
    const tagChanelParam& param = m_bank->ParamLocked(channel);
    if (!observer->Open(param.SampleRate, param.Mode == kModeStereoMaster,
                        CAudioObserver::kKindPcm)) {
        return false;
    }
    auto& list = m_observers[static_cast<std::size_t>(channel)].record;
    Remove(list, observer);
    list.push_back(observer);
    return true;
}

void CRecordDevice::DetachRecordObserver(int channel, CAudioObserver* observer) {
    if (!m_bank || channel < 0 || channel >= m_channelCount) {
        return;
    }
    CMutexLock lock(m_bank->Lock());
    Remove(m_observers[static_cast<std::size_t>(channel)].record, observer);
}

bool CRecordDevice::AttachLineObserver(int channel, CAudioObserver* observer) {
    if (observer == nullptr || !m_bank || channel < 0 || channel >= m_channelCount) {
        return false;
    }
    CMutexLock lock(m_bank->Lock());
    if (!observer->Open(8000, false, CAudioObserver::kKindLineMonitor)) {
        return false;
    }
    auto& list = m_observers[static_cast<std::size_t>(channel)].line;
    Remove(list, observer);
    list.push_back(observer);
    if (list.size() == 1) {
        SwitchLineMonitor(channel, true);
    }
    return true;
}

void CRecordDevice::DetachLineObserver(int channel, CAudioObserver* observer) {
    if (!m_bank || channel < 0 || channel >= m_channelCount) {
        return;
    }
    CMutexLock lock(m_bank->Lock());
    auto& list = m_observers[static_cast<std::size_t>(channel)].line;
    const std::size_t before = list.size();
    Remove(list, observer);
    if (before > 0 && list.empty()) {
        SwitchLineMonitor(channel, false);
    }
}

void CRecordDevice::OnListenerAudio(int channel, const int16_t* samples, std::size_t count) {
    if (channel < 0 || channel >= kMaxChannelsPerDevice) {
        return;
    }
    for (CAudioObserver* observer : m_observers[static_cast<std::size_t>(channel)].record) {
        observer->Push(reinterpret_cast<const uint8_t*>(samples), count * sizeof(int16_t));
    }
}

void CRecordDevice::PushLineMonitorLocked(int channel, uint8_t byte) {
    if (channel < 0 || channel >= m_channelCount || m_bank->ParamLocked(channel).Enable != 1) {
        return;
    }
    for (CAudioObserver* observer : m_observers[static_cast<std::size_t>(channel)].line) {
        observer->Push(&byte, 1);
    }
}

void CRecordDevice::OnSampleRateChanged(int channel, uint32_t rate) {
    // Under the channel lock: the new file takes the channel's new rate.
    if (m_recorder && m_recorder->IsMonitorRunning(channel)) {
        m_recorder->StopMonitor(channel);
        m_recorder->StartMonitor(channel);
    }
    if (channel < 0 || channel >= kMaxChannelsPerDevice) {
        return;
    }
    // An observer that cannot take the new rate gets nothing more.
    auto& list = m_observers[static_cast<std::size_t>(channel)].record;
    const bool stereo = m_bank->ParamLocked(channel).Mode == kModeStereoMaster;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](CAudioObserver* observer) {
                                  return !observer->Reformat(rate, stereo,
                                                             CAudioObserver::kKindPcm);
                              }),
               list.end());
}

}  // namespace zorv
