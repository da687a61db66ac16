#include "devices/TranscoderDevices.h"

#include "devices/BoardDriver.h"
#include "devices/DatagramTranscoderDriver.h"

namespace zorv {

CDatagramTranscoderDevice::CDatagramTranscoderDevice(const DeviceContext& context, int candidate,
                                                     CTranscoderConfigurator& transcoders)
    : CDspDevice(context, candidate), m_transcoders(transcoders) {}

std::unique_ptr<CDeviceDriver> CDatagramTranscoderDevice::MakeDriver() {
    return std::make_unique<CDatagramTranscoderDriver>(m_transcoders, Server());
}

bool CDatagramTranscoderDevice::RateRefused(uint32_t rate) {
    auto* driver = dynamic_cast<CDatagramTranscoderDriver*>(GetDriver());
    const uint32_t boardId = driver != nullptr ? driver->BoardId() : 0;
    if (boardId != 0 && boardId < kFirstWideRecordBoardId && rate >= 32000) {
        m_error = kDeviceBadChannelOrRate;
        return true;
    }
    return false;
}

bool CDatagramTranscoderDevice::Start() {
    tagChanelParam param{};
    if (m_bank != nullptr && m_bank->GetChannelParam(0, param) && RateRefused(param.SampleRate)) {
        return false;
    }
    return CDspDevice::Start();
}

int CDatagramTranscoderDevice::SetGroupSampleRate(int group, uint32_t rate) {
    if (RateRefused(rate)) {
        return 0;
    }
    return CDspDevice::SetGroupSampleRate(group, rate);
}

}  // namespace zorv
