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

    // A transcoder older than board id 0x300 samples at 8000 and 16000 Hz
    // only: a higher rate is refused (error 4) rather than recorded at the
    // wrong speed.
    bool Start() override;
    int SetGroupSampleRate(int group, uint32_t rate) override;

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;

private:
    bool RateRefused(uint32_t rate);

    CTranscoderConfigurator& m_transcoders;
};

}  // namespace zorv
