#include "server/DeviceServer.h"

#include "channels/ChannelSettings.h"
#include "devices/DeviceClasses.h"
#include "devices/DspDevice.h"
#include "devices/Net2Device.h"
#include "devices/TranscoderDevices.h"

namespace zorv {

CDeviceServer::CDeviceServer(ServerEnvironment environment, ServerComponents components,
                             IBoardIoOpener* boards, IRecorderFactory* recorders,
                             CTranscoderConfigurator* transcoders)
    : CServerCore(std::move(environment), std::move(components)),
      m_boards(boards != nullptr ? boards : &SystemBoardIoOpener()),
      m_recorders(recorders),
      m_transcoders(transcoders) {}

CDeviceServer::~CDeviceServer() {
    Stop();
}

DeviceContext CDeviceServer::Context(int firstLine) {
    DeviceContext context;
    context.server = this;
    context.clock = &Clock();
    context.recorders = m_recorders;
    context.deviceIndex = DeviceCount();
    context.firstLine = firstLine;
    return context;
}

CRecordDevice* CDeviceServer::RecordDevice(int index) const {
    if (index < 0 || index >= DeviceCount()) {
        return nullptr;
    }
    return dynamic_cast<CRecordDevice*>(Device(index));
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice0(int candidate, int firstLine) {
    return std::make_unique<CDspDevice>(Context(firstLine), candidate, m_boards);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice1(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    // The PCI board family is probed only when it is switched on.
    if (!CChannelSettingsFile(IniFile(SettingsPath())).VeskoSupportEnabled()) {
        return nullptr;
    }
    return std::make_unique<CVeskoPciDevice>(Context(firstLine), candidate, m_boards);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice2(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    return std::make_unique<CUsbHidDevice>(Context(firstLine), candidate);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice3(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    return std::make_unique<CUsb6Device>(Context(firstLine), candidate);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice4(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    tagStoredTranscoderConfig stored{};
    if (m_transcoders == nullptr ||
        !m_transcoders->getConfigNetDevice(static_cast<uint32_t>(candidate), stored)) {
        return nullptr;  // no transcoder registered at this position
    }
    switch (stored.deviceClass) {
        case kDatagramTranscoder:
            return std::make_unique<CDatagramTranscoderDevice>(Context(firstLine), candidate,
                                                               *m_transcoders);
        case kNet2Transcoder:
            return std::make_unique<CNet2Device>(Context(firstLine), candidate, *m_transcoders);
        default:
            return nullptr;
    }
}

void CDeviceServer::StoreCodecMode(int device, uint32_t rate, uint32_t compression,
                                   uint32_t speexMode) {
    uint32_t number = 0;
    if (OnRecordDevice(device, [&](CRecordDevice& d) {
            number = d.GetDeviceNumber();
            return 1;
        }) != 0) {
        CChannelSettingsFile(IniFile(SettingsPath()))
            .WriteCodecMode(number, rate, compression, speexMode);
    }
}

void CDeviceServer::ApplyDeviceSettings(int index) {
    auto* device = dynamic_cast<CRecordDevice*>(Device(index));
    if (device == nullptr) {
        return;
    }
    DeviceRecordValues values;
    values.continueAfterSplit = Settings().maxSizeRecord;
    values.recordFromRing = Settings().callNotServices;
    values.registerAtStart = Settings().dataBaseMode;
    device->SetRecordValues(values);
    device->LoadSettings(CChannelSettingsFile(IniFile(SettingsPath())));
}

void CDeviceServer::ReadSettings() {
    CServerCore::ReadSettings();
    ReadChannelDefaults();
}

void CDeviceServer::ReadChannelDefaults() {
    const DefaultParams defaults = CChannelSettingsFile(IniFile(SettingsPath())).ReadDefaults();
    CMutexLock lock(m_defaultsLock);
    m_defaults = defaults;
}

DefaultParams CDeviceServer::ChannelDefaults() const {
    CMutexLock lock(m_defaultsLock);
    return m_defaults;
}

void CDeviceServer::OnStartDevices() {
    CServerCore::OnStartDevices();
    for (int i = 0; i < DeviceCount(); ++i) {
        // A device whose start failed was stopped again: it records nothing.
        CRecordDevice* device = RecordDevice(i);
        if (device != nullptr && device->LastError() == kDeviceOk) {
            FinishChannels(*device);
        }
    }
}

void CDeviceServer::FinishChannels(CRecordDevice& device) {
    CChannelBank* bank = device.Bank();
    if (bank == nullptr) {
        return;
    }
    const CChannelSettingsFile file{IniFile(SettingsPath())};
    const uint32_t number = device.SettingsNumber();
    const int count = device.ChannelCount();
    // Pairs first: a forced recording of a master records the pair.
    for (int ch = 0; ch < count; ++ch) {
        const tagChanelParam stored = file.ReadParam(number, ch);
        tagChanelParam now{};
        if (stored.Mode != kModeStereoMaster || !bank->GetChannelParam(ch, now)) {
            continue;
        }
        const bool formed =
            now.Mode == kModeStereoMaster && now.SlaveChannel == stored.SlaveChannel;
        if (!formed && stored.SlaveChannel < static_cast<uint32_t>(count)) {
            // Refused by the bank when either channel belongs to another pair.
            bank->SetStereo(ch, static_cast<int>(stored.SlaveChannel), false);
        }
    }
    // "HardActivateEnable" 1 keeps a level channel recording from the start,
    // as a client's manual activation would (released when the device stops).
    for (int ch = 0; ch < count; ++ch) {
        if (file.ReadParam(number, ch).HardActivateEnable == 1) {
            bank->ManualActivate(ch, true);
        }
    }
}

// --- Per-channel settings writers -------------------------------------------

int CDeviceServer::Changed(int device, int first, int last, int result) {
    // Outside the device table: the listener reads the channels back.
    if (result != 0 && result != kNotSupported) {
        OnChannelParamsChanged(device, first, last);
    }
    return result;
}

int CDeviceServer::SetChannelEnable(int device, int first, int last, int32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetEnable(first, last, value, true);
                   }));
}

int CDeviceServer::SetChannelActivate(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetActivate(first, last, value, true);
                   }));
}

int CDeviceServer::SetChannelCompress(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetCompress(first, last, static_cast<int>(value), true);
                   }));
}

int CDeviceServer::SetChannelTOn(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetTOn(first, last, value, true);
                   }));
}

int CDeviceServer::SetChannelTOff(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetTOff(first, last, value, true);
                   }));
}

int CDeviceServer::SetChannelTreshold(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetTreshold(first, last, value, true);
                   }));
}

int CDeviceServer::SetChannelSampleRate(int device, int first, int last, uint32_t value) {
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetSampleRate(first, last, value, true);
                   }));
}

int CDeviceServer::SetStereoChannel(int device, int master, int slave) {
    return Changed(device, master, slave, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.SetStereo(master, slave, true);
                   }));
}

int CDeviceServer::UndoStereoChannel(int device, int master, int slave) {
    return Changed(device, master, slave, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.UndoStereo(master, slave, true);
                   }));
}

int CDeviceServer::SetChannelMute(int device, int channel, bool on) {
    return OnRecordDevice(device, [&](CRecordDevice& d) { return d.SetMute(channel, on, true); });
}

int CDeviceServer::GetChannelMute(int device, int channel) const {
    int result = -1;
    OnRecordDevice(device, [&](CRecordDevice& d) {
        if (channel >= 0 && channel < d.ChannelCount()) {
            result = d.GetMute(channel) != 0 ? 1 : 0;
        }
        return 1;
    });
    return result;
}

int CDeviceServer::ManualActivateChannel(int device, int channel, bool on) {
    return Changed(device, channel, channel, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.ManualActivate(channel, on, 0);
                   }));
}

int CDeviceServer::SetChannelDefaultParam(int device, int first, int last) {
    const DefaultParams defaults = ChannelDefaults();
    return Changed(device, first, last, OnRecordDevice(device, [&](CRecordDevice& d) {
                       return d.ApplyDefaults(defaults, first, last);
                   }));
}

int CDeviceServer::AddAlias(int device, int channel, const std::string& alias) {
    return OnRecordDevice(device,
                          [&](CRecordDevice& d) { return d.SetAlias(channel, alias, true); });
}

bool CDeviceServer::GetAonFlags(int device, int channel, uint32_t& flags) const {
    // The key the decoders were given (SetAonFlags writes it first).
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               if (channel < 0 || channel >= d.ChannelCount()) {
                   return 0;
               }
               const CChannelSettingsFile file{IniFile(SettingsPath())};
               flags = file.ReadAnalysis(d.SettingsNumber(), channel).aonFlags;
               return 1;
           }) == 1;
}

bool CDeviceServer::GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) const {
    return OnRecordDevice(device, [&](CRecordDevice& r) {
               auto* d = dynamic_cast<CDspDevice*>(&r);
               if (d == nullptr || channel < 0 || channel >= d->ChannelCount()) {
                   return 0;
               }
               seconds = static_cast<uint32_t>(d->GetPolarityCheckTimeOut(channel));
               return 1;
           }) == 1;
}

bool CDeviceServer::GetChannelSourceSignal(int device, int channel, uint32_t& value) const {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               if (channel < 0 || channel >= d.ChannelCount()) {
                   return 0;
               }
               const CChannelSettingsFile file{IniFile(SettingsPath())};
               value = file.ReadExtras(d.SettingsNumber(), channel).sourceSignal;
               return 1;
           }) == 1;
}

bool CDeviceServer::GetChannelKeyEnable(int device, int channel, uint32_t& value) const {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               if (channel < 0 || channel >= d.ChannelCount()) {
                   return 0;
               }
               const CChannelSettingsFile file{IniFile(SettingsPath())};
               value = file.ReadAnalysis(d.SettingsNumber(), channel).keyEnable;
               return 1;
           }) == 1;
}

bool CDeviceServer::GetPolarity(int device, int channel, uint32_t& mode) const {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               if (channel < 0 || channel >= d.ChannelCount()) {
                   return 0;
               }
               const CChannelSettingsFile file{IniFile(SettingsPath())};
               mode = file.ReadAnalysis(d.SettingsNumber(), channel).polarity;
               return 1;
           }) == 1;
}

int CDeviceServer::SetChannelSourceSignal(int device, int first, int last, uint32_t value) {
    return OnRecordDevice(
        device, [&](CRecordDevice& d) { return d.SetSourceSignal(first, last, value, true); });
}

int CDeviceServer::SetChannelKeyEnable(int device, int first, int last, uint32_t value) {
    return OnRecordDevice(device, [&](CRecordDevice& r) {
        auto* d = dynamic_cast<CDspDevice*>(&r);
        return d != nullptr ? d->SetKeyEnable(first, last, value, true, true) : kNotSupported;
    });
}

int CDeviceServer::SetTlfParam(int device, int first, int last, const LineParams& params) {
    return OnRecordDevice(device, [&](CRecordDevice& r) {
        auto* d = dynamic_cast<CDspDevice*>(&r);
        return d != nullptr ? d->SetLineParams(first, last, params, true) : kNotSupported;
    });
}

int CDeviceServer::SetPolarity(int device, int channel, int mode) {
    return OnRecordDevice(device, [&](CRecordDevice& r) {
        auto* d = dynamic_cast<CDspDevice*>(&r);
        return d != nullptr ? d->SetPolarityMode(channel, mode, true) : kNotSupported;
    });
}

int CDeviceServer::SetPolarityCheckTimeOut(int device, int channel, uint32_t seconds) {
    return OnRecordDevice(device, [&](CRecordDevice& r) {
        auto* d = dynamic_cast<CDspDevice*>(&r);
        return d != nullptr ? d->SetPolarityCheckTimeOut(channel, seconds, true) : kNotSupported;
    });
}

int CDeviceServer::SetGainAdc(int device, int channel, int gain) {
    return OnRecordDevice(device,
                          [&](CRecordDevice& d) { return d.SetGain(channel, gain, true, true); });
}

int CDeviceServer::SetAonFlags(int device, int channel, uint32_t flags) {
    const int result = WriteChannelKey(device, channel, "AonFlags", flags);
    if (result == 1) {
        OnRecordDevice(device, [&](CRecordDevice& d) {
            d.ApplyAonFlags(channel, flags);
            return 1;
        });
    }
    return result;
}

int CDeviceServer::SetChannelArchivate(int device, int channel, uint32_t value) {
    return WriteChannelKey(device, channel, "Archivate", value);
}

int CDeviceServer::SetNet2CompressMode(int device, uint32_t rate, uint32_t compression,
                                       uint32_t speexMode) {
    if (rate > 32000 || compression > 3 || speexMode > 0xFFFF) {
        return 0;
    }
    return OnRecordDevice(device, [&](CRecordDevice& d) {
        const int r = d.SetCodecMode(static_cast<int>(rate), static_cast<int>(compression),
                                     static_cast<int>(speexMode), 1);
        if (r != 0) {
            return r == kNotSupported ? kNotSupported : 0;
        }
        // The stored Speex mode is the one in force for the rate.
        int stored = 0;
        int speex = 0;
        d.GetCodecMode(static_cast<int>(rate), stored, speex);
        CChannelSettingsFile(IniFile(SettingsPath()))
            .WriteCodecMode(d.GetDeviceNumber(), rate, compression, static_cast<uint32_t>(speex));
        return 1;
    });
}

bool CDeviceServer::GetNet2CompressMode(int device, uint32_t rate, uint32_t& compression,
                                        uint32_t& speexMode) const {
    if (rate > 32000) {
        return false;
    }
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               int c = 0;
               int s = 0;
               if (d.GetCodecMode(static_cast<int>(rate), c, s) != 0) {
                   return 0;
               }
               compression = static_cast<uint32_t>(c);
               speexMode = static_cast<uint32_t>(s);
               return 1;
           }) == 1;
}

int CDeviceServer::SetNet2BufferMode(int device, uint32_t mode) {
    if (mode > 1) {
        return 0;
    }
    return OnRecordDevice(device, [&](CRecordDevice& d) {
        const int r = d.SetBufferMode(static_cast<int>(mode), 1);
        if (r != 0) {
            return r == kNotSupported ? kNotSupported : 0;
        }
        CChannelSettingsFile(IniFile(SettingsPath())).WriteBufferMode(d.GetDeviceNumber(), mode);
        return 1;
    });
}

bool CDeviceServer::GetNet2BufferMode(int device, uint32_t& mode) const {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
               int m = 0;
               if (d.GetBufferMode(m) != 0) {
                   return 0;
               }
               mode = static_cast<uint32_t>(m);
               return 1;
           }) == 1;
}

int CDeviceServer::StartMonitorRecord(int device, int channel) {
    return OnRecordDevice(device, [&](CRecordDevice& d) { return d.StartMonitorRecord(channel); });
}

int CDeviceServer::StopMonitorRecord(int device, int channel) {
    return OnRecordDevice(device, [&](CRecordDevice& d) { return d.StopMonitorRecord(channel); });
}

int CDeviceServer::GetMonitorRecord(int device, int channel, bool& running,
                                    uint32_t& seconds) const {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
        return d.GetMonitorRecord(channel, running, seconds);
    });
}

int CDeviceServer::WriteChannelKey(int device, int channel, const char* key, uint32_t value) {
    return OnRecordDevice(device, [&](CRecordDevice& d) {
        if (channel < 0 || channel >= d.ChannelCount()) {
            return 0;
        }
        CChannelSettingsFile file{IniFile(SettingsPath())};
        return file.WriteChannelValue(d.SettingsNumber(), channel, key, value) ? 1 : 0;
    });
}

}  // namespace zorv
