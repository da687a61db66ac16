// The server operations behind the client commands (and the local interface
// to come): IClientOperations over the device server's setters, the journal
// and the service stop.
//
// Called from connection threads; the device server locks for itself and
// pushes the changed channel parameters through its client server
// (OnChannelParamsChanged), so nothing here pushes.
#pragma once

#include "access/ClientOperations.h"

namespace zorv {

class CDeviceServer;

class CServerOperations final : public IClientOperations {
public:
    // The server is attached once it is built (before the network starts).
    void Attach(CDeviceServer& server) { m_server = &server; }

    int SetChannelEnable(int device, int first, int last, int32_t value) override;
    int SetChannelCompress(int device, int first, int last, uint32_t value) override;
    int SetChannelActivate(int device, int first, int last, uint32_t value) override;
    int SetChannelTOn(int device, int first, int last, uint32_t value) override;
    int SetChannelTOff(int device, int first, int last, uint32_t value) override;
    int SetChannelTreshold(int device, int first, int last, uint32_t value) override;
    int SetChannelSampleRate(int device, int first, int last, uint32_t value) override;
    int SetStereoChannel(int device, int master, int slave) override;
    int UndoStereoChannel(int device, int master, int slave) override;
    int ManualActivateChannel(int device, int channel, bool on) override;
    int SetChannelDefaultParam(int device, int first, int last) override;
    int SetGainAdc(int device, int channel, int gain) override;
    int SetChannelMute(int device, int channel, bool on) override;
    int GetChannelMute(int device, int channel) override;
    int AddAlias(int device, int channel, const std::string& alias) override;
    int SetTlfParam(int device, int first, int last, const LineParams& params) override;
    int SetChannelSourceSignal(int device, int first, int last, uint32_t value) override;
    int SetChannelKeyEnable(int device, int first, int last, uint32_t value) override;
    bool GetAonFlags(int device, int channel, uint32_t& flags) override;
    int SetAonFlags(int device, int channel, uint32_t flags) override;
    int SetPolarity(int device, int channel, int mode) override;
    bool GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) override;
    int SetPolarityCheckTimeOut(int device, int channel, uint32_t seconds) override;
    int SetChannelArchivate(int device, int channel, uint32_t value) override;
    int ShutDown() override;
    int ClearJournal() override;

private:
    CDeviceServer* m_server = nullptr;  // set before the network starts
};

}  // namespace zorv
