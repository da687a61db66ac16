// The driver of a NET2 transcoder ("TranscoderNet2Device"): the board driver
// operations of its device mapped onto the transcoder's data flow. The NET2
// device reads its stream itself (CNet2Device); the driver carries the line
// commands and hands the data event to the flow.
//
// Open (j) takes the j-th registered transcoder (one group of up to six
// lines). Converter writes and the enable mask have no meaning for a NET2
// transcoder (its codec is set through the shell) and succeed.
//
// Threads: commands come from the device's configuration paths and its
// reading thread; the flow calls the sink and link operations from its own
// threads. The line-monitor flags are atomics; the flow serialises its own
// shell.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "core/Server.h"
#include "devices/DeviceDriver.h"
#include "transcoders/Net2FlowProcessor.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

class CNet2Driver final : public CDeviceDriver,
                          public CTranscoderFlowSink,
                          public CTranscoderDeviceLink {
public:
    static constexpr const char* kDeviceName = "TranscoderNet2Device";
    // The channel command that switches a line's monitor data on and off.
    static constexpr int kMonitorCommand = 24;

    CNet2Driver(CTranscoderConfigurator& transcoders, IServer& server);
    ~CNet2Driver() override;

    bool Open(int index) override;
    void Close() override;
    bool IsOpen() const override { return m_flow != nullptr; }
    bool StopTransfer() override;
    uint32_t GetSerialNumber() override { return m_serial; }
    bool GetHardwareInfo(tagHARDWARE_CONFIG& info) override;
    bool Read(void*, std::size_t, std::size_t& bytesRead) override {
        bytesRead = 0;
        return true;
    }
    bool Write(const void*, std::size_t, std::size_t& bytesWritten) override {
        bytesWritten = 0;
        return false;
    }
    int GetChannelCount() override { return m_channels; }
    int GetDeviceType() override { return 10; }
    bool MapRegisters() override { return true; }
    bool StartTransfer(uint32_t, CAutoResetEvent*) override { return true; }
    bool WriteGroupConfig(int, const uint16_t (&)[8]) override { return true; }
    bool SetEnableBit(int, bool) override { return true; }
    bool ResetBoard() override { return true; }
    bool StopGroup(int) override { return true; }
    uint32_t ReadStatus() override { return 0; }
    // Command 24 sets the line-monitor flag; lines above 5 are refused;
    // every other command goes to the transcoder as a line setting.
    bool ChannelCommand(int channel, int command, int value) override;
    bool IsLocalHardware() override { return false; }
    int StartDevice(uint32_t, CAutoResetEvent* dataEvent, uint32_t, CAutoResetEvent*) override;
    bool AfterRestart() override { return true; }
    void SetDeviceIndex(int index) override;
    std::size_t FillAfterTimeout(void*, std::size_t, std::size_t) override { return 0; }
    std::size_t FillAfterLoss(void*, std::size_t) override { return 0; }
    bool Resync() override { return true; }
    int GroupChannelCount(int group) const override { return group == 0 ? m_channels : 0; }
    int GroupFirstChannel(int group) const override { return group == 0 ? 0 : m_channels; }

    CNet2FlowProcessor* Flow() { return m_flow.get(); }
    bool MonitorOn(int channel) const;

    // CTranscoderFlowSink
    void Report(int level, const std::string& text) override;
    void OnStarted(uint32_t context) override;
    // CTranscoderDeviceLink
    bool CheckIdentity(const DeviceInfo& identity, uint32_t protocol) override;
    void OnFlowStopped() override {}

private:
    CTranscoderConfigurator& m_transcoders;
    IServer& m_server;

    // Set by Open and Close only.
    uint32_t m_serial = 0;
    int m_channels = 0;
    std::unique_ptr<CNet2FlowProcessor> m_flow;

    std::atomic<int> m_deviceIndex{0};
    std::array<std::atomic<bool>, 6> m_monitor{};
};

}  // namespace zorv
