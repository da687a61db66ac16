#include "server/ServerOperations.h"

#include <signal.h>
#include <unistd.h>

#include "access/ClientServer.h"
#include "server/RecordServer.h"

namespace zorv {

int CServerOperations::SetChannelEnable(int device, int first, int last, int32_t value) {
    return m_server->SetChannelEnable(device, first, last, value);
}
int CServerOperations::SetChannelCompress(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelCompress(device, first, last, value);
}
int CServerOperations::SetChannelActivate(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelActivate(device, first, last, value);
}
int CServerOperations::SetChannelTOn(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelTOn(device, first, last, value);
}
int CServerOperations::SetChannelTOff(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelTOff(device, first, last, value);
}
int CServerOperations::SetChannelTreshold(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelTreshold(device, first, last, value);
}
int CServerOperations::SetChannelSampleRate(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelSampleRate(device, first, last, value);
}
int CServerOperations::SetStereoChannel(int device, int master, int slave) {
    return m_server->SetStereoChannel(device, master, slave);
}
int CServerOperations::UndoStereoChannel(int device, int master, int slave) {
    return m_server->UndoStereoChannel(device, master, slave);
}
int CServerOperations::ManualActivateChannel(int device, int channel, bool on) {
    return m_server->ManualActivateChannel(device, channel, on);
}
int CServerOperations::SetChannelDefaultParam(int device, int first, int last) {
    return m_server->SetChannelDefaultParam(device, first, last);
}
int CServerOperations::SetGainAdc(int device, int channel, int gain) {
    return m_server->SetGainAdc(device, channel, gain);
}
int CServerOperations::SetChannelMute(int device, int channel, bool on) {
    return m_server->SetChannelMute(device, channel, on);
}
int CServerOperations::GetChannelMute(int device, int channel) {
    return m_server->GetChannelMute(device, channel);
}
int CServerOperations::AddAlias(int device, int channel, const std::string& alias) {
    return m_server->AddAlias(device, channel, alias);
}
int CServerOperations::SetTlfParam(int device, int first, int last, const LineParams& params) {
    return m_server->SetTlfParam(device, first, last, params);
}
int CServerOperations::SetChannelSourceSignal(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelSourceSignal(device, first, last, value);
}
int CServerOperations::SetChannelKeyEnable(int device, int first, int last, uint32_t value) {
    return m_server->SetChannelKeyEnable(device, first, last, value);
}
bool CServerOperations::GetAonFlags(int device, int channel, uint32_t& flags) {
    return m_server->GetAonFlags(device, channel, flags);
}
int CServerOperations::SetAonFlags(int device, int channel, uint32_t flags) {
    return m_server->SetAonFlags(device, channel, flags);
}
int CServerOperations::SetPolarity(int device, int channel, int mode) {
    return m_server->SetPolarity(device, channel, mode);
}
bool CServerOperations::GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) {
    return m_server->GetPolarityCheckTimeOut(device, channel, seconds);
}
int CServerOperations::SetPolarityCheckTimeOut(int device, int channel, uint32_t seconds) {
    return m_server->SetPolarityCheckTimeOut(device, channel, seconds);
}
int CServerOperations::SetChannelArchivate(int device, int channel, uint32_t value) {
    return m_server->SetChannelArchivate(device, channel, value);
}

bool CServerOperations::GetChannelSourceSignal(int device, int channel, uint32_t& value) {
    return m_server->GetChannelSourceSignal(device, channel, value);
}
bool CServerOperations::GetChannelKeyEnable(int device, int channel, uint32_t& value) {
    return m_server->GetChannelKeyEnable(device, channel, value);
}
bool CServerOperations::GetPolarity(int device, int channel, uint32_t& mode) {
    return m_server->GetPolarity(device, channel, mode);
}
int CServerOperations::SetNet2CompressMode(int device, uint32_t rate, uint32_t compression,
                                           uint32_t speexMode) {
    return m_server->SetNet2CompressMode(device, rate, compression, speexMode);
}
bool CServerOperations::GetNet2CompressMode(int device, uint32_t rate, uint32_t& compression,
                                            uint32_t& speexMode) {
    return m_server->GetNet2CompressMode(device, rate, compression, speexMode);
}
int CServerOperations::SetNet2BufferMode(int device, uint32_t mode) {
    return m_server->SetNet2BufferMode(device, mode);
}
bool CServerOperations::GetNet2BufferMode(int device, uint32_t& mode) {
    return m_server->GetNet2BufferMode(device, mode);
}
int CServerOperations::StartMonitorRecord(int device, int channel) {
    return m_server->StartMonitorRecord(device, channel);
}
int CServerOperations::StopMonitorRecord(int device, int channel) {
    return m_server->StopMonitorRecord(device, channel);
}
int CServerOperations::GetMonitorRecord(int device, int channel, bool& running,
                                        uint32_t& seconds) {
    return m_server->GetMonitorRecord(device, channel, running, seconds);
}

int CServerOperations::ShutDown() {
    // The service stop request: the process entry takes it and runs the
    // stop sequence, as for the service manager's stop.
    return ::kill(::getpid(), SIGTERM) == 0 ? 1 : 0;
}

int CServerOperations::ClearJournal() {
    return m_server->ClearJournal() ? 1 : 0;
}

int CServerOperations::StorageChanged(int result) {
    if (result == 1) {
        m_server->Clients().BroadcastDvrConfig();
    }
    return result;
}

int CServerOperations::SetQuota(uint32_t quota1Mb, uint32_t quota2Mb) {
    m_server->Storage().SetQuotas(quota1Mb, quota2Mb);
    return StorageChanged(1);
}

int CServerOperations::SetDelSize(uint32_t megabytes) {
    m_server->Storage().SetDeleteSize(megabytes);
    return StorageChanged(1);
}

int CServerOperations::SetPath(int index, const std::string& path) {
    return StorageChanged(m_server->SetRecordDirectory(index, path) == 0 ? 1 : 0);
}

int CServerOperations::SetFileSizes(uint32_t minSeconds, uint32_t maxSeconds) {
    return StorageChanged(m_server->SetFileSizes(minSeconds, maxSeconds) ? 1 : 0);
}

void CServerOperations::GetDeleteFilesAtDateConfig(bool& enable, uint32_t& days) {
    const CStorageKeeper::DeleteByAge age = m_server->Storage().GetDeleteByAge();
    enable = age.enable;
    days = age.days;
}

bool CServerOperations::GetCompressFormat(uint32_t rate, uint32_t channels, uint32_t& formatTag,
                                          uint32_t& bytesPerSecond) {
    if (channels != 1 && channels != 2) {
        return false;
    }
    CWaveFormat format;
    if (!m_server->Compressor().Get(rate, static_cast<uint16_t>(channels), format)) {
        return false;
    }
    formatTag = format.Tag();
    bytesPerSecond = format.AvgBytesPerSec();
    return true;
}

int CServerOperations::SetDeleteFilesAtDateConfig(bool enable, uint32_t days) {
    m_server->Storage().SetDeleteByAge(enable, days);
    return StorageChanged(1);
}

uint32_t CServerOperations::GetFoundTranscodersCount() {
    return m_server->Transcoders().getFoundTranscodersCount();
}

bool CServerOperations::GetFoundTranscoder(uint32_t index, tagTranscoderEntry& entry) {
    const std::vector<tagTranscoderEntry> found = m_server->Transcoders().getFoundTranscodersList();
    if (index >= found.size()) {
        return false;
    }
    entry = found[index];
    return true;
}

int CServerOperations::StartTranscoder(uint32_t serial) {
    return m_server->Transcoders().startTranscoder(serial) ? 1 : 0;
}

int CServerOperations::StopTranscoder(uint32_t serial) {
    return m_server->Transcoders().stopTranscoder(serial) ? 1 : 0;
}

bool CServerOperations::GetTranscoderStatistic(uint32_t serial,
                                               tagTranscoderStatistic& statistic) {
    return m_server->Transcoders().getTranscoderStatistic(serial, statistic);
}

uint32_t CServerOperations::GetTranscoderConfig(uint32_t serial, const std::string& password,
                                                DeviceConfig& config) {
    return static_cast<uint32_t>(m_server->Transcoders().getTranscoderConfig(serial, password, config));
}

uint32_t CServerOperations::SetTranscoderConfig(uint32_t serial, const DeviceConfig& config) {
    return static_cast<uint32_t>(m_server->Transcoders().setTranscoderConfig(serial, config));
}

int CServerOperations::StartTranscodersSearch() {
    m_server->Transcoders().startTranscodersSearch();
    return 1;
}

int CServerOperations::StopTranscodersSearch() {
    m_server->Transcoders().stopTranscodersSearch();
    return 1;
}

bool CServerOperations::GetTranscodersSearchStatus() {
    return m_server->Transcoders().getTranscodersSearchStatus();
}

bool CServerOperations::GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) {
    return m_server->Transcoders().getAonForm(serial, level, form);
}

int CServerOperations::SetAonForm(uint32_t serial, uint32_t level, uint32_t form) {
    return m_server->Transcoders().setAonForm(serial, level, form) ? 1 : 0;
}

int CServerOperations::AddConfigPort(uint16_t port) {
    return m_server->Transcoders().addConfigPort(port) ? 1 : 0;
}

int CServerOperations::DelConfigPort(uint16_t port) {
    return m_server->Transcoders().delConfigPort(port) ? 1 : 0;
}

uint32_t CServerOperations::GetCountConfigPorts() {
    return m_server->Transcoders().getCountConfigPorts();
}

bool CServerOperations::GetConfigPort(uint32_t index, uint16_t& port) {
    return m_server->Transcoders().getConfigPort(index, port);
}

int CServerOperations::AddStaticAddress(uint32_t ip, uint16_t port) {
    return m_server->Transcoders().addStaticAddress(TranscoderAddress{ip, port}) ? 1 : 0;
}

int CServerOperations::DelStaticAddress(uint32_t ip, uint16_t port) {
    return m_server->Transcoders().delStaticAddress(TranscoderAddress{ip, port}) ? 1 : 0;
}

uint32_t CServerOperations::GetCountStaticAddress() {
    return m_server->Transcoders().getCountStaticAddress();
}

bool CServerOperations::GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) {
    TranscoderAddress address;
    if (!m_server->Transcoders().getStaticAddress(index, address)) {
        return false;
    }
    ip = address.ip;
    port = address.port;
    return true;
}

int CServerOperations::AddNetDevice(uint32_t position, const tagStoredTranscoderConfig& config,
                                    uint32_t& placedAt, uint32_t& serial) {
    const std::optional<RegistryPlace> place = m_server->Transcoders().addNetDevice(position, config);
    if (!place) {
        return 0;
    }
    placedAt = place->position;
    serial = place->serial;
    return 1;
}

int CServerOperations::RemoveNetDevice(uint32_t serial, uint32_t& position) {
    const std::optional<RegistryPlace> place = m_server->Transcoders().removeNetDevice(serial);
    if (!place) {
        return 0;
    }
    position = place->position;
    return 1;
}

int CServerOperations::ReposNetDevice(uint32_t position, uint32_t newPosition, uint32_t& serial) {
    const std::optional<RegistryPlace> place =
        m_server->Transcoders().reposNetDevice(position, newPosition);
    if (!place) {
        return 0;
    }
    serial = place->serial;
    return 1;
}

uint32_t CServerOperations::GetCountNetDevice() {
    return m_server->Transcoders().getCountNetDevice();
}

bool CServerOperations::GetConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& config) {
    return m_server->Transcoders().getConfigNetDevice(position, config);
}

int CServerOperations::SetConfigNetDevice(uint32_t serial, const tagStoredTranscoderConfig& config,
                                          uint32_t flags, uint32_t& position) {
    const std::optional<RegistryPlace> place =
        m_server->Transcoders().setConfigNetDevice(serial, config, flags);
    if (!place) {
        return 0;
    }
    position = place->position;
    return 1;
}

}  // namespace zorv
