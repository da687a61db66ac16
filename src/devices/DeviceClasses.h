// The device classes besides the board of kind 0: the PCI board family
// (kind 1) and the USB recorders (kinds 2 and 3). The USB recorders have no
// driver on this system yet: their open reports absent hardware.
#pragma once

#include "devices/DspDevice.h"

namespace zorv {

class CVeskoPciDevice final : public CDspDevice {
public:
    using CDspDevice::CDspDevice;

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;
};

class CUsbHidDevice final : public CDspDevice {
public:
    using CDspDevice::CDspDevice;

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;
};

class CUsb6Device final : public CDspDevice {
public:
    using CDspDevice::CDspDevice;

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;
};

// A driver for hardware this system cannot reach: nothing opens.
std::unique_ptr<CDeviceDriver> MakeAbsentDriver();

}  // namespace zorv
