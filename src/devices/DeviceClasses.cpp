#include "devices/DeviceClasses.h"

#include "devices/VeskoBoardDriver.h"

namespace zorv {
namespace {

class CAbsentDriver final : public CDeviceDriver {
public:
    bool Open(int) override { return false; }
    void Close() override {}
    bool IsOpen() const override { return false; }
    bool StopTransfer() override { return false; }
    uint32_t GetSerialNumber() override { return 0; }
    bool GetHardwareInfo(tagHARDWARE_CONFIG&) override { return false; }
    bool Read(void*, std::size_t, std::size_t& n) override {
        n = 0;
        return false;
    }
    bool Write(const void*, std::size_t, std::size_t& n) override {
        n = 0;
        return false;
    }
    int GetChannelCount() override { return 0; }
    int GetDeviceType() override { return 0; }
    bool MapRegisters() override { return false; }
    bool StartTransfer(uint32_t, CAutoResetEvent*) override { return false; }
    bool WriteGroupConfig(int, const uint16_t (&)[8]) override { return false; }
    bool SetEnableBit(int, bool) override { return false; }
    bool ResetBoard() override { return false; }
    bool StopGroup(int) override { return false; }
    uint32_t ReadStatus() override { return 0; }
    bool ChannelCommand(int, int, int) override { return false; }
    bool IsLocalHardware() override { return true; }
    int StartDevice(uint32_t, CAutoResetEvent*, uint32_t, CAutoResetEvent*) override { return 2; }
    bool AfterRestart() override { return false; }
    void SetDeviceIndex(int) override {}
    std::size_t FillAfterTimeout(void*, std::size_t, std::size_t) override { return 0; }
    std::size_t FillAfterLoss(void*, std::size_t) override { return 0; }
    bool Resync() override { return false; }
    int GroupChannelCount(int) const override { return 0; }
    int GroupFirstChannel(int) const override { return 0; }
};

}  // namespace

std::unique_ptr<CDeviceDriver> MakeAbsentDriver() { return std::make_unique<CAbsentDriver>(); }

std::unique_ptr<CDeviceDriver> CVeskoPciDevice::MakeDriver() {
    return std::make_unique<CVeskoBoardDriver>(Opener(), Clock());
}

std::unique_ptr<CDeviceDriver> CUsbHidDevice::MakeDriver() { return MakeAbsentDriver(); }

std::unique_ptr<CDeviceDriver> CUsb6Device::MakeDriver() { return MakeAbsentDriver(); }

}  // namespace zorv
