// The message that components post to the server's message thread.
#pragma once

#include <cstdint>

namespace zorv {

// Four signed 32-bit values; the meaning of a, b and c depends on the code.
struct ServerMessage {
    int32_t code = 0;
    int32_t a = 0;
    int32_t b = 0;
    int32_t c = 0;
};
static_assert(sizeof(ServerMessage) == 16);

// Message codes the server handles.
enum MessageCode : int32_t {
    kMsgStart = 1,
    kMsgStop = 2,
    kMsgException = 3,   // a: exception code (0 when none), b: source number
    kMsgNoAction = 4,
    kMsgRun = 5,
    kMsgFailure = 6,     // a: failure kind, b and c: arguments
    kMsgDeviceBytes = 7, // a: device, b: byte count skipped in its stream
    kMsgRecordDirectory = 8,
    kMsgArchiver = 9,    // a: event, b: argument
    kMsgLineLost = 16,   // a: channel within device, b: device
    kMsgLineBack = 17,   // a: channel within device, b: device
    kMsgLineParamFirst = 20,  // 20..28: a: device, b: line; parameter mismatch
    kMsgLineParamLast = 28,
    kMsgRestartHardware = 38,     // a: device
    kMsgStartDevices = 40,
    kMsgDeviceNotification = 41,  // a: device, b: value
    kMsgTranscoderCodec = 43,     // a: device, b: serial number, c: sample rate
};

// Exception source numbers (b of message 3).
enum ExceptionSource : int32_t {
    kSourceDevice = 20,      // + device slot
    kSourceDatabase = 40,
    kSourceTimer = 60,
    kSourceArchiver = 80,
    kSourceDChannel = 100,   // + device slot
    kSourceCompressor = 120,
    kSourceFaxDecoder = 140,
};

}  // namespace zorv
