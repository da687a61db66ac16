// The driver of the PCI family boards ("VeskoPCIDevice").
//
// The register protocol is that of CBoardDriver, with these differences: the
// enable bits are switched by a control call instead of the mask command, the
// converter gets 0x8261 for the configuration word 0x82E1, channel command 27
// (initialise) becomes command 26 with 5 or 6, the stream is started by
// StartDevice (which also uploads the request signal) rather than
// StartTransfer, and the board has an output switch, a readable hardware
// configuration and line key shortcuts for the auto-answer.
//
// Threads: as CBoardDriver.
#pragma once

#include <array>

#include "devices/BoardDriver.h"

namespace zorv {

// The caller-number request signal uploaded to every group: one period of 32
// samples at full scale. The constant is the board's own, not 2 pi.
inline constexpr int kRequestSignalSamples = 32;
inline constexpr double kRequestSignalPeriod = 6.28256;
std::array<int16_t, kRequestSignalSamples> RequestSignalSamples();

class CVeskoBoardDriver : public CBoardDriver {
public:
    static constexpr const char* kDeviceName = "VeskoPCIDevice";

    explicit CVeskoBoardDriver(IBoardIoOpener& opener, IClock& clock = SystemClock());

    int GetDeviceType() override { return 2; }
    // The stream starts with StartDevice; nothing to do here.
    bool StartTransfer(uint32_t transferSize, CAutoResetEvent* dataEvent) override;
    bool SetEnableBit(int bit, bool on) override;
    // Starts the stream with both sizes and both events, then uploads the
    // request signal to every group present. 0 on success, 2 when the board
    // refused to start.
    int StartDevice(uint32_t transferSize, CAutoResetEvent* dataEvent, uint32_t transferSize2,
                    CAutoResetEvent* secondEvent) override;

    // 28. Switches the output of slot a: control 0x222010 with a, 1, b AND 0xFF.
    bool SetOutputSwitch(uint32_t a, uint32_t b);
    // 29. The board's hardware configuration (control 0x22200C, 24 bytes).
    bool ReadHardwareConfig(tagHARDWARE_CONFIG& config);
    // 30 to 34. Line key shortcuts: command 26 with 1 (off hook), 0 (on
    // hook), 3 and 4 to a channel, and 7 to channel 0.
    bool KeyOn(int channel) { return ChannelCommand(channel, 26, 1); }
    bool KeyOff(int channel) { return ChannelCommand(channel, 26, 0); }
    bool KeyValue3(int channel) { return ChannelCommand(channel, 26, 3); }
    bool KeyValue4(int channel) { return ChannelCommand(channel, 26, 4); }
    bool KeyValue7() { return ChannelCommand(0, 26, 7); }

protected:
    uint16_t ConverterWord(uint16_t word) const override;
    void TranslateCommand(int& command, int& value) const override;

private:
    void UploadRequestSignal();
};

}  // namespace zorv
