#include "server/ServerOperations.h"

#include <signal.h>
#include <unistd.h>

#include "server/DeviceServer.h"

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

int CServerOperations::ShutDown() {
    // The service stop request: the process entry takes it and runs the
    // stop sequence, as for the service manager's stop.
    return ::kill(::getpid(), SIGTERM) == 0 ? 1 : 0;
}

int CServerOperations::ClearJournal() {
    return m_server->ClearJournal() ? 1 : 0;
}

}  // namespace zorv
