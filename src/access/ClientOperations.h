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

// The transcoder layer's records (transcoders/TranscoderProtocol.h), kept out
// of this header: its text helpers overload the user records' ones.
struct DeviceConfig;
struct tagStoredTranscoderConfig;
struct tagTranscoderEntry;
struct tagTranscoderStatistic;

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
    // The channel's stored signal source, key flag and polarity mode; false
    // when there is no such channel.
    virtual bool GetChannelSourceSignal(int device, int channel, uint32_t& value) = 0;
    virtual bool GetChannelKeyEnable(int device, int channel, uint32_t& value) = 0;
    virtual bool GetPolarity(int device, int channel, uint32_t& mode) = 0;
    // A network transcoder device's codec for a sample rate (8000, 16000,
    // 32000; compression 0 NONE, 1 SPEEX with its mode, 2 ADPCM, 3 ALAW) and
    // its extra buffering (0 or 1). 6 for a device of another kind.
    virtual int SetNet2CompressMode(int device, uint32_t rate, uint32_t compression,
                                    uint32_t speexMode) = 0;
    virtual bool GetNet2CompressMode(int device, uint32_t rate, uint32_t& compression,
                                     uint32_t& speexMode) = 0;
    virtual int SetNet2BufferMode(int device, uint32_t mode) = 0;
    virtual bool GetNet2BufferMode(int device, uint32_t& mode) = 0;
    // The monitor record of a channel: 1 done, 0 no such device or channel;
    // starting a running or stopping a stopped one is done without effect.
    virtual int StartMonitorRecord(int device, int channel) = 0;
    virtual int StopMonitorRecord(int device, int channel) = 0;
    virtual int GetMonitorRecord(int device, int channel, bool& running, uint32_t& seconds) = 0;
    // Whether the archiver copies the channel's records ("Archivate").
    virtual int SetChannelArchivate(int device, int channel, uint32_t value) = 0;

    // The server: asks it to stop (it stops on its own thread); 1 when asked.
    virtual int ShutDown() = 0;
    // Empties the journal file; 1 done.
    virtual int ClearJournal() = 0;

    // Storage: each change is written to the settings file at once and
    // pushed to the clients (code 3). Megabytes of free space to keep on the
    // two record directories.
    virtual int SetQuota(uint32_t quota1Mb, uint32_t quota2Mb) = 0;
    // Megabytes asked of the record database in one deletion.
    virtual int SetDelSize(uint32_t megabytes) = 0;
    // Record directory index (0 or 1): an absolute path, made when missing;
    // 1 done, 0 when it cannot be used (the default directory is then set).
    virtual int SetPath(int index, const std::string& path) = 0;
    // Shortest record kept and longest file, in seconds; the longest is kept
    // in whole minutes: at least one, and no fewer seconds than the shortest.
    virtual int SetFileSizes(uint32_t minSeconds, uint32_t maxSeconds) = 0;
    virtual void GetDeleteFilesAtDateConfig(bool& enable, uint32_t& days) = 0;
    // The format records of a sample rate and channel count (1 or 2) are
    // compressed to: its format tag and bytes per second; false when the
    // compressor has none for them.
    virtual bool GetCompressFormat(uint32_t rate, uint32_t channels, uint32_t& formatTag,
                                   uint32_t& bytesPerSecond) = 0;
    virtual int SetDeleteFilesAtDateConfig(bool enable, uint32_t days) = 0;

    // Network transcoders. Serial numbers name found and registered
    // transcoders; addresses are IPv4 in network byte order. Changes answer 1
    // done, 0 failed.
    virtual uint32_t GetFoundTranscodersCount() = 0;
    // False past the end of the list.
    virtual bool GetFoundTranscoder(uint32_t index, tagTranscoderEntry& entry) = 0;
    virtual int StartTranscoder(uint32_t serial) = 0;
    virtual int StopTranscoder(uint32_t serial) = 0;
    virtual bool GetTranscoderStatistic(uint32_t serial, tagTranscoderStatistic& statistic) = 0;
    // Read and write a found transcoder's own configuration (waits for its
    // answer): the transcoder request result, 0 for success.
    virtual uint32_t GetTranscoderConfig(uint32_t serial, const std::string& password,
                                         DeviceConfig& config) = 0;
    virtual uint32_t SetTranscoderConfig(uint32_t serial, const DeviceConfig& config) = 0;
    virtual int StartTranscodersSearch() = 0;
    virtual int StopTranscodersSearch() = 0;
    virtual bool GetTranscodersSearchStatus() = 0;
    virtual bool GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) = 0;
    virtual int SetAonForm(uint32_t serial, uint32_t level, uint32_t form) = 0;
    virtual int AddConfigPort(uint16_t port) = 0;
    virtual int DelConfigPort(uint16_t port) = 0;
    virtual uint32_t GetCountConfigPorts() = 0;
    virtual bool GetConfigPort(uint32_t index, uint16_t& port) = 0;
    virtual int AddStaticAddress(uint32_t ip, uint16_t port) = 0;
    virtual int DelStaticAddress(uint32_t ip, uint16_t port) = 0;
    virtual uint32_t GetCountStaticAddress() = 0;
    virtual bool GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) = 0;
    // Registrations: position and serial number of the one acted on.
    virtual int AddNetDevice(uint32_t position, const tagStoredTranscoderConfig& config,
                             uint32_t& placedAt, uint32_t& serial) = 0;
    virtual int RemoveNetDevice(uint32_t serial, uint32_t& position) = 0;
    virtual int ReposNetDevice(uint32_t position, uint32_t newPosition, uint32_t& serial) = 0;
    virtual uint32_t GetCountNetDevice() = 0;
    virtual bool GetConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& config) = 0;
    // flags bit 0: the stored password is replaced too.
    virtual int SetConfigNetDevice(uint32_t serial, const tagStoredTranscoderConfig& config,
                                   uint32_t flags, uint32_t& position) = 0;
};

}  // namespace zorv
