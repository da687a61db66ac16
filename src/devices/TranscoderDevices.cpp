#include "devices/TranscoderDevices.h"

#include "devices/DatagramTranscoderDriver.h"

namespace zorv {

CDatagramTranscoderDevice::CDatagramTranscoderDevice(const DeviceContext& context, int candidate,
                                                     CTranscoderConfigurator& transcoders)
    : CDspDevice(context, candidate), m_transcoders(transcoders) {}

std::unique_ptr<CDeviceDriver> CDatagramTranscoderDevice::MakeDriver() {
    return std::make_unique<CDatagramTranscoderDriver>(m_transcoders, Server());
}

}  // namespace zorv
