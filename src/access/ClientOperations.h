// The server operations that client commands change state with: the one set
// of operations behind the network commands and the local interface alike.
// The recording server implements it (CServerOperations); tests give doubles.
//
// Called from connection threads (and later the local interface) at any
// time while the server runs; implementations lock for themselves and may
// push the changed channel parameters themselves (the server does, through
// its client server). Devices are table indexes, channels count from 0
// within a device. Results follow the device layer: 1 done, 0 failed or out
// of range, 6 not supported by the device; the client commands answer 1 only
// for 1.
#pragma once

#include <cstdint>
#include <string>

#include "channels/ChannelTypes.h"

namespace zorv {

class IClientOperations {
public:
    virtual ~IClientOperations() = default;

    // Channel parameters of channels first..last (as given).
    virtual int SetChannelEnable(int device, int first, int last, int32_t value) = 0;
    virtual int SetChannelCompress(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelActivate(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelTOn(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelTOff(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelTreshold(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelSampleRate(int device, int first, int last, uint32_t value) = 0;
    virtual int SetStereoChannel(int device, int master, int slave) = 0;
    virtual int UndoStereoChannel(int device, int master, int slave) = 0;
    virtual int ManualActivateChannel(int device, int channel, bool on) = 0;
    // The default channel parameters on channels first..last.
    virtual int SetChannelDefaultParam(int device, int first, int last) = 0;
    virtual int SetGainAdc(int device, int channel, int gain) = 0;
    virtual int SetChannelMute(int device, int channel, bool on) = 0;
    // 1 suppressed, 0 not, negative when there is no such channel.
    virtual int GetChannelMute(int device, int channel) = 0;
    virtual int AddAlias(int device, int channel, const std::string& alias) = 0;

    // Line signalling.
    virtual int SetTlfParam(int device, int first, int last, const LineParams& params) = 0;
    virtual int SetChannelSourceSignal(int device, int first, int last, uint32_t value) = 0;
    virtual int SetChannelKeyEnable(int device, int first, int last, uint32_t value) = 0;
    // False when there is no such channel.
    virtual bool GetAonFlags(int device, int channel, uint32_t& flags) = 0;
    virtual int SetAonFlags(int device, int channel, uint32_t flags) = 0;
    virtual int SetPolarity(int device, int channel, int mode) = 0;
    virtual bool GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) = 0;
    virtual int SetPolarityCheckTimeOut(int device, int channel, uint32_t seconds) = 0;
    // Whether the archiver copies the channel's records ("Archivate").
    virtual int SetChannelArchivate(int device, int channel, uint32_t value) = 0;

    // The server: asks it to stop (it stops on its own thread); 1 when asked.
    virtual int ShutDown() = 0;
    // Empties the journal file; 1 done.
    virtual int ClearJournal() = 0;
};

}  // namespace zorv
