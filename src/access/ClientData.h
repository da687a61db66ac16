// What the client server reads of the recording server for the read
// commands: the server implements it (CRecordServer's client view), tests
// give a fake.
//
// Called from connection threads at any time while the client server runs;
// implementations lock for themselves. Device and channel numbers come
// validated only against the protocol's limits (device < 100, channel <
// 256): implementations answer false for anything they do not hold.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "access/ClientProtocol.h"

namespace zorv {

class IClientData {
public:
    virtual ~IClientData() = default;

    virtual void StateDvr(tagStateProgramm& out) = 0;
    virtual void DvrConfig(tagDvrConfig& out) = 0;
    // Fills what the server knows; ClientCount and ServerPort are the client
    // server's.
    virtual void ServiceParam(ServiceParametrs& out) = 0;
    virtual bool DeviceConfig(int device, DeviceConfigReply& out) = 0;
    virtual bool ChannelParam(int device, int channel, tagChanelParam& out) = 0;
    virtual bool ChannelStates(int device, tagCHANELS_STATE& out) = 0;
    virtual bool GainAdc(int device, int channel, int32_t& gain) = 0;
    virtual void PathSpace(PathSpaceReply& out) = 0;
    struct LineAlias {
        int line;
        std::string alias;  // windows-1251, not empty
    };
    virtual std::vector<LineAlias> Aliases() = 0;
    virtual bool TlfParam(int device, int channel, LineParams& out) = 0;
    virtual bool ServiceTlfParam(int device, std::span<uint8_t, kServiceTlfParamSize> out) = 0;
    // The journal text file.
    virtual std::string JournalPath() = 0;
};

}  // namespace zorv
