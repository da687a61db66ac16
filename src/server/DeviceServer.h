// The device layer of the server: the factories that create a device of each
// kind for the probing of the start sequence, the loading of a device's
// channel settings, the finishing of the channels once the devices run, and
// the per-channel settings writers that the client interfaces call.
//
// The writers run on client threads; each addresses a device by its table
// index and changes the device (which takes its channel lock) and stores the
// changed keys in the device's channel sections of the main settings file.
// Results are the device's: nonzero for success, 0 for a device index,
// channel or value out of range, 6 for an operation the device class does not
// support.
#pragma once

#include <mutex>

#include "channels/ChannelSettings.h"
#include "core/ServerCore.h"
#include "devices/BoardIo.h"
#include "devices/RecordDevice.h"
#include "platform/Mutex.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

class CDeviceServer : public CServerCore {
public:
    // boards: where the board drivers find their hardware (null: the
    // system's). recorders: the record-file writer of the devices (null:
    // records are discarded).
    // transcoders: the configurator of the network transcoders, whose
    // registrations are the candidates of device kind 4 (null: none).
    CDeviceServer(ServerEnvironment environment, ServerComponents components,
                  IBoardIoOpener* boards = nullptr, IRecorderFactory* recorders = nullptr,
                  CTranscoderConfigurator* transcoders = nullptr);
    ~CDeviceServer() override;

    // "Default-Param" as last read (ReadChannelDefaults).
    DefaultParams ChannelDefaults() const;

    // --- Per-channel settings writers ---------------------------------------
    int SetChannelEnable(int device, int first, int last, int32_t value);
    int SetChannelActivate(int device, int first, int last, uint32_t value);
    int SetChannelCompress(int device, int first, int last, uint32_t value);
    int SetChannelTOn(int device, int first, int last, uint32_t value);
    int SetChannelTOff(int device, int first, int last, uint32_t value);
    int SetChannelTreshold(int device, int first, int last, uint32_t value);
    int SetChannelSampleRate(int device, int first, int last, uint32_t value);
    int SetStereoChannel(int device, int master, int slave);
    int UndoStereoChannel(int device, int master, int slave);
    int SetChannelMute(int device, int channel, bool on);
    // 1 suppressed, 0 not, -1 no such channel.
    int GetChannelMute(int device, int channel) const;
    int ManualActivateChannel(int device, int channel, bool on);
    // The "Default-Param" values on channels first..last.
    int SetChannelDefaultParam(int device, int first, int last);
    int AddAlias(int device, int channel, const std::string& alias);
    bool GetAonFlags(int device, int channel, uint32_t& flags) const;
    bool GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) const;
    // The channel keys as their setters stored them ("SourceSignal",
    // "KeyEnable", "Polarity"); false when there is no such channel.
    bool GetChannelSourceSignal(int device, int channel, uint32_t& value) const;
    bool GetChannelKeyEnable(int device, int channel, uint32_t& value) const;
    bool GetPolarity(int device, int channel, uint32_t& mode) const;
    int SetChannelSourceSignal(int device, int first, int last, uint32_t value);
    int SetChannelKeyEnable(int device, int first, int last, uint32_t value);
    int SetTlfParam(int device, int first, int last, const LineParams& params);
    int SetPolarity(int device, int channel, int mode);
    int SetPolarityCheckTimeOut(int device, int channel, uint32_t seconds);
    int SetGainAdc(int device, int channel, int gain);
    // Keys that other parts read at their start: "AonFlags" (caller-number
    // options) and "Archivate" (archiving of the channel).
    int SetAonFlags(int device, int channel, uint32_t flags);
    int SetChannelArchivate(int device, int channel, uint32_t value);
    // The codec and buffer modes of a network transcoder device (NET2 kind),
    // stored in its device section; 1 done, 0 refused or no such device, 6
    // for another kind of device.
    int SetNet2CompressMode(int device, uint32_t rate, uint32_t compression, uint32_t speexMode);
    bool GetNet2CompressMode(int device, uint32_t rate, uint32_t& compression,
                             uint32_t& speexMode) const;
    int SetNet2BufferMode(int device, uint32_t mode);
    bool GetNet2BufferMode(int device, uint32_t& mode) const;
    // The monitor record of a channel; 0 for no such device or channel.
    // Starting a running or stopping a stopped one is done without effect.
    int StartMonitorRecord(int device, int channel);
    int StopMonitorRecord(int device, int channel);
    int GetMonitorRecord(int device, int channel, bool& running, uint32_t& seconds) const;

protected:
    std::unique_ptr<IServerDevice> CreateDevice0(int candidate, int firstLine) override;
    std::unique_ptr<IServerDevice> CreateDevice1(int candidate, int firstLine,
                                                 int& report) override;
    std::unique_ptr<IServerDevice> CreateDevice2(int candidate, int firstLine,
                                                 int& report) override;
    std::unique_ptr<IServerDevice> CreateDevice3(int candidate, int firstLine,
                                                 int& report) override;
    std::unique_ptr<IServerDevice> CreateDevice4(int candidate, int firstLine,
                                                 int& report) override;
    void ApplyDeviceSettings(int index) override;
    void StoreCodecMode(int device, uint32_t rate, uint32_t compression,
                        uint32_t speexMode) override;
    void ReadSettings() override;
    void ReadChannelDefaults() override;
    // Starts the devices, then finishes the channels of every device.
    void OnStartDevices() override;
    // The parameters of channels first..last (either order) of a device
    // changed through a setter above (the client layer pushes them). Called
    // on the setter's thread, without the device table or any device lock.
    virtual void OnChannelParamsChanged(int /*device*/, int /*first*/, int /*last*/) {}

private:
    DeviceContext Context(int firstLine);
    // Message thread only.
    CRecordDevice* RecordDevice(int index) const;
    // Runs fn(CRecordDevice&) on the device at index with the device table
    // held (any thread; see CServerCore::WithDevice); 0 when there is none.
    template <typename Fn>
    int OnRecordDevice(int index, Fn&& fn) const {
        int result = 0;
        WithDevice(index, [&](IServerDevice& device) {
            if (auto* record = dynamic_cast<CRecordDevice*>(&device)) {
                result = fn(*record);
            }
        });
        return result;
    }
    // Stereo pairs and forced recordings from the settings, once the device
    // runs.
    void FinishChannels(CRecordDevice& device);
    // Reports a successful change of channels first..last; returns result.
    int Changed(int device, int first, int last, int result);
    // Writes one integer key of a channel that the device does not hold.
    int WriteChannelKey(int device, int channel, const char* key, uint32_t value);

    IBoardIoOpener* m_boards;
    IRecorderFactory* m_recorders;
    CTranscoderConfigurator* m_transcoders;

    mutable CMutex m_defaultsLock;
    DefaultParams m_defaults GUARDED_BY(m_defaultsLock);
};

}  // namespace zorv
