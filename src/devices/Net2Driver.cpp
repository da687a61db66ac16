#include "devices/Net2Driver.h"

#include <algorithm>

#include "core/ServerMessage.h"

namespace zorv {

CNet2Driver::CNet2Driver(CTranscoderConfigurator& transcoders, IServer& server)
    : m_transcoders(transcoders), m_server(server) {}

CNet2Driver::~CNet2Driver() {
    Close();
}

bool CNet2Driver::Open(int index) {
    Close();
    tagStoredTranscoderConfig stored{};
    if (index < 0 || !m_transcoders.getConfigNetDevice(static_cast<uint32_t>(index), stored) ||
        stored.deviceClass != kNet2Transcoder) {
        return false;
    }
    m_serial = stored.tsSerialNumber;
    m_channels = std::clamp<int>(stored.tsChannelsCount, 0, static_cast<int>(m_monitor.size()));
    CTranscoderFlowSink& sink = *this;
    CTranscoderDeviceLink& link = *this;
    m_flow =
        std::make_unique<CNet2FlowProcessor>(m_transcoders, sink, link, m_transcoders.ShellPort());
    m_flow->AllocateBuffer();
    m_transcoders.RegisterFlow(m_serial, m_flow.get());
    return true;
}

void CNet2Driver::Close() {
    if (!m_flow) {
        return;
    }
    m_transcoders.RegisterFlow(m_serial, nullptr);
    m_flow->Stop();
    m_flow.reset();
}

bool CNet2Driver::StopTransfer() {
    if (m_flow) {
        m_flow->Stop();
    }
    return true;
}

bool CNet2Driver::GetHardwareInfo(tagHARDWARE_CONFIG& info) {
    info = tagHARDWARE_CONFIG{};
    info.BoardID = static_cast<uint32_t>(m_channels);  // one group of the configured lines
    info.DeviceType = static_cast<uint32_t>(GetDeviceType());
    info.SerialNumber = m_serial;
    return true;
}

bool CNet2Driver::ChannelCommand(int channel, int command, int value) {
    if (channel < 0 || channel >= m_channels || channel >= static_cast<int>(m_monitor.size())) {
        return false;
    }
    if (command == kMonitorCommand) {
        m_monitor[static_cast<std::size_t>(channel)] = value == 1;
        return true;
    }
    return m_flow && m_flow->SetLine(static_cast<uint32_t>(command), static_cast<uint32_t>(channel),
                                     static_cast<uint32_t>(value));
}

bool CNet2Driver::MonitorOn(int channel) const {
    return channel >= 0 && channel < static_cast<int>(m_monitor.size()) &&
           m_monitor[static_cast<std::size_t>(channel)].load();
}

int CNet2Driver::StartDevice(uint32_t, CAutoResetEvent* dataEvent, uint32_t, CAutoResetEvent*) {
    if (!m_flow) {
        return 5;
    }
    m_flow->SetDataEvent(dataEvent);
    return 0;
}

void CNet2Driver::SetDeviceIndex(int index) {
    m_deviceIndex = index;
    if (m_flow) {
        m_flow->SetContext(static_cast<uint32_t>(index));
    }
}

void CNet2Driver::Report(int level, const std::string& text) {
    m_server.WriteJournal(level, text);
}

void CNet2Driver::OnStarted(uint32_t) {
    // Connected: the device sets the lines and the codec, which starts the stream.
    m_server.Post(kMsgRestartHardware, m_deviceIndex.load(), 0, 0);
}

bool CNet2Driver::CheckIdentity(const DeviceInfo& identity, uint32_t) {
    return identity.Channels == m_channels;
}

}  // namespace zorv
