// Where an exception reported with message 3 (a: exception code, b: source
// number, c: device tag) came from, so that the failure policy restarts the
// part that failed and nothing else.
//
// Source numbers: 0..19 the code of the message being handled, 20 + device a
// device's reading thread, 40 the record database, 60 the timer tick, 80 the
// archiver, 100 + device a device's D-channel, 120 the compressor, 140 the
// fax decoder. With up to 100 devices, 20 + device and 100 + device reach
// into the fixed numbers (device 20 gives 40, the database's), so a device
// also puts its slot + 1 into c; a message whose c names the device that b
// stands for is that device's, whatever b is. Without a tag (c = 0) b alone
// decides, by range; that is the only reading older posters and message
// codes (the worker thread posts the code being handled, c = 0) need: 20..39
// is then device b - 20, and a message code of 20 or more falls into the
// group of that number.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>

#include "core/ServerMessage.h"

namespace zorv {

enum class ExceptionGroup {
    kMessage,  // a message handler on the server thread; number: the code
    kDevice,   // a device's reading thread or event processing; number: the slot
    kDatabase,
    kTimer,
    kArchiver,
    kDChannel,  // a device's D-channel processing; number: the slot
    kCompressor,
    kFaxDecoder,
};

struct ExceptionOrigin {
    ExceptionGroup group = ExceptionGroup::kMessage;
    int32_t source = 0;  // b as posted
    int32_t number = 0;  // message code or device slot by group, else 0

    bool operator==(const ExceptionOrigin&) const = default;
};

// The b and c of message 3 for an exception of a device (slot 0..99).
struct ExceptionSourceFields {
    int32_t b = 0;
    int32_t c = 0;
};
constexpr ExceptionSourceFields DeviceExceptionSource(int32_t device) {
    return {kSourceDevice + device, device + 1};
}
constexpr ExceptionSourceFields DChannelExceptionSource(int32_t device) {
    return {kSourceDChannel + device, device + 1};
}

// The group of an exception message's b and c (see above).
ExceptionOrigin ClassifyExceptionSource(int32_t b, int32_t c);

const char* ExceptionGroupName(ExceptionGroup group);

}  // namespace zorv
