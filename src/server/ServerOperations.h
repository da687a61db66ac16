// The server operations behind the client commands (and the local interface
// to come): IClientOperations over the device server's setters, the storage
// keeper, the transcoder configurator, the journal and the service stop.
//
// Called from connection threads; the device server, the keeper and the
// configurator lock for themselves. The device server pushes changed channel
// parameters through its client server (OnChannelParamsChanged); the storage
// changes push the server configuration (code 3) from here.
#pragma once

#include "access/ClientOperations.h"

namespace zorv {

class CRecordServer;

class CServerOperations final : public IClientOperations {
public:
    // The server is attached once it is built (before the network starts).
    void Attach(CRecordServer& server) { m_server = &server; }

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
    bool GetChannelSourceSignal(int device, int channel, uint32_t& value) override;
    bool GetChannelKeyEnable(int device, int channel, uint32_t& value) override;
    bool GetPolarity(int device, int channel, uint32_t& mode) override;
    int SetNet2CompressMode(int device, uint32_t rate, uint32_t compression,
                            uint32_t speexMode) override;
    bool GetNet2CompressMode(int device, uint32_t rate, uint32_t& compression,
                             uint32_t& speexMode) override;
    int SetNet2BufferMode(int device, uint32_t mode) override;
    bool GetNet2BufferMode(int device, uint32_t& mode) override;
    int StartMonitorRecord(int device, int channel) override;
    int StopMonitorRecord(int device, int channel) override;
    int GetMonitorRecord(int device, int channel, bool& running, uint32_t& seconds) override;
    int ShutDown() override;
    int ClearJournal() override;

    int SetQuota(uint32_t quota1Mb, uint32_t quota2Mb) override;
    int SetDelSize(uint32_t megabytes) override;
    int SetPath(int index, const std::string& path) override;
    int SetFileSizes(uint32_t minSeconds, uint32_t maxSeconds) override;
    void GetDeleteFilesAtDateConfig(bool& enable, uint32_t& days) override;
    bool GetCompressFormat(uint32_t rate, uint32_t channels, uint32_t& formatTag,
                           uint32_t& bytesPerSecond) override;
    int SetDeleteFilesAtDateConfig(bool enable, uint32_t days) override;

    uint32_t GetFoundTranscodersCount() override;
    bool GetFoundTranscoder(uint32_t index, tagTranscoderEntry& entry) override;
    int StartTranscoder(uint32_t serial) override;
    int StopTranscoder(uint32_t serial) override;
    bool GetTranscoderStatistic(uint32_t serial, tagTranscoderStatistic& statistic) override;
    uint32_t GetTranscoderConfig(uint32_t serial, const std::string& password,
                                 DeviceConfig& config) override;
    uint32_t SetTranscoderConfig(uint32_t serial, const DeviceConfig& config) override;
    int StartTranscodersSearch() override;
    int StopTranscodersSearch() override;
    bool GetTranscodersSearchStatus() override;
    bool GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) override;
    int SetAonForm(uint32_t serial, uint32_t level, uint32_t form) override;
    int AddConfigPort(uint16_t port) override;
    int DelConfigPort(uint16_t port) override;
    uint32_t GetCountConfigPorts() override;
    bool GetConfigPort(uint32_t index, uint16_t& port) override;
    int AddStaticAddress(uint32_t ip, uint16_t port) override;
    int DelStaticAddress(uint32_t ip, uint16_t port) override;
    uint32_t GetCountStaticAddress() override;
    bool GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) override;
    int AddNetDevice(uint32_t position, const tagStoredTranscoderConfig& config,
                     uint32_t& placedAt, uint32_t& serial) override;
    int RemoveNetDevice(uint32_t serial, uint32_t& position) override;
    int ReposNetDevice(uint32_t position, uint32_t newPosition, uint32_t& serial) override;
    uint32_t GetCountNetDevice() override;
    bool GetConfigNetDevice(uint32_t position, tagStoredTranscoderConfig& config) override;
    int SetConfigNetDevice(uint32_t serial, const tagStoredTranscoderConfig& config,
                           uint32_t flags, uint32_t& position) override;

private:
    // Pushes code 3 after a storage change that took; returns result.
    int StorageChanged(int result);

    CRecordServer* m_server = nullptr;  // set before the network starts
};

}  // namespace zorv
