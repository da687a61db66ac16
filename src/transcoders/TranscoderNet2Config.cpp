// Configuration of NET2 transcoders through their text shell.
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

RequestResult CTranscoderConfigurator::ReadNet2Configuration(uint32_t, const std::string&,
                                                             DeviceConfig&) {
    return RequestResult::kSendFailed;
}

RequestResult CTranscoderConfigurator::WriteNet2Configuration(uint32_t, const DeviceConfig&) {
    return RequestResult::kSendFailed;
}

}  // namespace zorv
