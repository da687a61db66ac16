// The channel devices of the network transcoders (device kind 4): the j-th
// registered transcoder becomes a device of the class its stored type
// chooses. The datagram kind is a board device whose driver carries the
// board operations over the transcoder's data flow.
#pragma once

#include "devices/DspDevice.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

class CDatagramTranscoderDevice final : public CDspDevice {
public:
    // candidate: the position of the transcoder's registration.
    CDatagramTranscoderDevice(const DeviceContext& context, int candidate,
                              CTranscoderConfigurator& transcoders);

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;

private:
    CTranscoderConfigurator& m_transcoders;
};

}  // namespace zorv
