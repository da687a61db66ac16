#include "core/ExceptionSource.h"

#include "core/ServerDevice.h"

namespace zorv {

ExceptionOrigin ClassifyExceptionSource(int32_t b, int32_t c) {
    if (c >= 1 && c <= kMaxDevices) {
        const int32_t device = c - 1;
        if (b == kSourceDevice + device) {
            return {ExceptionGroup::kDevice, b, device};
        }
        if (b == kSourceDChannel + device) {
            return {ExceptionGroup::kDChannel, b, device};
        }
    }
    if (b < kSourceDevice) {
        // Below 0 only a message code can be (a handler of an unknown code).
        return {ExceptionGroup::kMessage, b, b};
    }
    if (b < kSourceDatabase) {
        return {ExceptionGroup::kDevice, b, b - kSourceDevice};
    }
    if (b < kSourceTimer) {
        return {ExceptionGroup::kDatabase, b, 0};
    }
    if (b == kSourceArchiver) {
        return {ExceptionGroup::kArchiver, b, 0};
    }
    if (b < kSourceDChannel) {
        return {ExceptionGroup::kTimer, b, 0};
    }
    if (b < kSourceCompressor) {
        return {ExceptionGroup::kDChannel, b, b - kSourceDChannel};
    }
    if (b < kSourceFaxDecoder) {
        return {ExceptionGroup::kCompressor, b, 0};
    }
    return {ExceptionGroup::kFaxDecoder, b, 0};
}

const char* ExceptionGroupName(ExceptionGroup group) {
    switch (group) {
        case ExceptionGroup::kMessage:
            return "message";
        case ExceptionGroup::kDevice:
            return "device";
        case ExceptionGroup::kDatabase:
            return "database";
        case ExceptionGroup::kTimer:
            return "timer";
        case ExceptionGroup::kArchiver:
            return "archiver";
        case ExceptionGroup::kDChannel:
            return "d-channel";
        case ExceptionGroup::kCompressor:
            return "compressor";
        case ExceptionGroup::kFaxDecoder:
            return "fax decoder";
    }
    return "?";
}

}  // namespace zorv
