// The driver of a datagram-kind network transcoder ("TranscoderZi18Device"):
// the board driver operations of a CDspDevice carried out over the
// transcoder's data flow, so that the board device runs unchanged on the
// record stream the transcoder sends in numbered datagrams.
//
// Open (j) takes the j-th registered transcoder: its serial number and
// configured channel count (one group of up to six lines). Until the
// transcoder is found and its identity accepted (its channel count equals
// the configured one), every command succeeds without effect and the board
// id is 0, so the settings load and the start do not fail for a transcoder
// that is not connected yet; once accepted, the board id comes from the
// transcoder's hardware version (version 300 and up: 26-byte records).
//
// Threads: commands come from the device's configuration paths and its
// reading thread; the flow calls CheckIdentity, OnFlowStopped and OnStarted
// from its own threads. m_lock serialises the commands; the identity
// fields are atomics.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "core/Server.h"
#include "devices/DeviceDriver.h"
#include "transcoders/DatagramFlowProcessor.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

class CDatagramTranscoderDriver final : public CDeviceDriver,
                                        public CTranscoderFlowSink,
                                        public CTranscoderDeviceLink {
public:
    static constexpr const char* kDeviceName = "TranscoderZi18Device";

    CDatagramTranscoderDriver(CTranscoderConfigurator& transcoders, IServer& server);
    ~CDatagramTranscoderDriver() override;

    bool Open(int index) override;
    void Close() override;
    bool IsOpen() const override;
    bool StopTransfer() override;
    uint32_t GetSerialNumber() override { return m_serial; }
    bool GetHardwareInfo(tagHARDWARE_CONFIG& info) override;
    bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) override;
    bool Write(const void*, std::size_t, std::size_t& bytesWritten) override {
        bytesWritten = 0;
        return false;
    }
    int GetChannelCount() override { return m_channels; }
    int GetDeviceType() override;
    bool MapRegisters() override { return true; }
    bool StartTransfer(uint32_t, CAutoResetEvent*) override { return true; }
    bool WriteGroupConfig(int group, const uint16_t (&words)[8]) override;
    bool SetEnableBit(int bit, bool on) override;
    bool ResetBoard() override { return true; }
    bool StopGroup(int group) override;
    uint32_t ReadStatus() override { return 0; }
    bool ChannelCommand(int channel, int command, int value) override;
    bool IsLocalHardware() override { return false; }
    int StartDevice(uint32_t transferSize, CAutoResetEvent* dataEvent, uint32_t transferSize2,
                    CAutoResetEvent* secondEvent) override;
    bool AfterRestart() override;
    void SetDeviceIndex(int index) override;
    std::size_t FillAfterTimeout(void* buffer, std::size_t size, std::size_t samples) override;
    std::size_t FillAfterLoss(void* buffer, std::size_t size) override;
    bool Resync() override { return true; }
    int GroupChannelCount(int group) const override;
    int GroupFirstChannel(int group) const override { return group == 0 ? 0 : m_channels; }

    // The board id from the accepted identity (0 until then).
    uint32_t BoardId() const { return m_boardId; }
    bool IsStarted() const { return m_started; }
    CDatagramFlowProcessor* Flow() { return m_flow.get(); }

    // CTranscoderFlowSink
    void Report(int level, const std::string& text) override;
    void OnStarted(uint32_t context) override;
    // CTranscoderDeviceLink
    bool CheckIdentity(const DeviceInfo& identity, uint32_t protocol) override;
    void OnFlowStopped() override;

private:
    bool Streaming() const;

    CTranscoderConfigurator& m_transcoders;
    IServer& m_server;

    // Set by Open and Close only.
    uint32_t m_serial = 0;
    int m_channels = 0;
    std::unique_ptr<CDatagramFlowProcessor> m_flow;

    std::atomic<int> m_deviceIndex{0};
    std::atomic<uint32_t> m_boardId{0};
    std::atomic<bool> m_started{false};
    std::mutex m_lock;  // serialises the commands
};

}  // namespace zorv
