// What clients read of the recording server: the read side of the client
// protocol (IClientData) over the device server's table, settings and
// record directories.
//
// Called from connection threads; devices are reached through WithDevice,
// which holds the device table for the call.
#pragma once

#include "access/ClientData.h"

namespace zorv {

class CDeviceServer;

class CClientView final : public IClientData {
public:
    // The server is attached once it is built (before the network starts).
    void Attach(const CDeviceServer& server) { m_server = &server; }

    void StateDvr(tagStateProgramm& out) override;
    void DvrConfig(tagDvrConfig& out) override;
    void ServiceParam(ServiceParametrs& out) override;
    bool DeviceConfig(int device, DeviceConfigReply& out) override;
    bool ChannelParam(int device, int channel, tagChanelParam& out) override;
    bool ChannelStates(int device, tagCHANELS_STATE& out) override;
    bool GainAdc(int device, int channel, int32_t& gain) override;
    void PathSpace(PathSpaceReply& out) override;
    std::vector<LineAlias> Aliases() override;
    bool TlfParam(int device, int channel, LineParams& out) override;
    bool ServiceTlfParam(int device, std::span<uint8_t, kServiceTlfParamSize> out) override;
    std::string JournalPath() override;

private:
    const CDeviceServer* m_server = nullptr;
};

}  // namespace zorv
