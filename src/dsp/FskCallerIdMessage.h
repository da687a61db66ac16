// Parsing of one caller-ID message as it arrives over Bell 202 FSK:
//
//   byte 0      message type: 0x04 single-data format, 0x80 multiple-data format
//   byte 1      length L: the number of bytes that follow, up to the checksum
//   bytes 2..   L bytes of message body
//   byte L+2    checksum: all bytes from byte 0 to here sum to 0 modulo 256
//
// Single-data body: month (2 digits), day, hour, minute, then the number, or
// one letter 'P' (private) or 'O' (out of area). Multiple-data body: parameters
// of (type, length, value): 1 date and time (as above, 8 bytes), 2 number,
// 4 reason the number is absent, 7 name, 8 reason the name is absent; other
// types are skipped. A parameter whose length runs past the body ends the
// parse; what was read before it is kept.
//
// The bytes come from the line, so nothing is trusted: the parser never reads
// past size nor past L, and texts are bounded and always terminated.
// Stateless; allocates nothing; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

// Errors of the caller-ID decoder; 1..5 are found in the message itself.
enum FskCallerIdError : int {
    kFskErrorNone = 0,
    kFskErrorType = 1,        // message type neither 0x04 nor 0x80
    kFskErrorNoStartBit = 2,  // no start bit where the next byte was due
    kFskErrorStopBit = 3,     // a byte's stop bit was 0
    kFskErrorChecksum = 4,    // the bytes do not sum to 0 modulo 256
    kFskErrorShortSdmf = 5,   // single-data message with L < 9
    kFskErrorTimeout = 6,     // no message within the time limit
    kFskErrorTruncated = 7,   // fewer bytes than L + 3 were given
};

struct FskCallerIdFields {
    static constexpr std::size_t kNumberMax = 40;
    static constexpr std::size_t kNameMax = 20;

    char date[6] = {};                 // "DD.MM" or empty
    char time[6] = {};                 // "HH:MM" or empty
    char number[kNumberMax + 1] = {};  // digits, "Private", "Out of area" or empty
    char name[kNameMax + 1] = {};      // name, "Private", "Out of area" or empty
};

// Message type bytes.
inline constexpr uint8_t kFskSingleDataMessage = 0x04;
inline constexpr uint8_t kFskMultipleDataMessage = 0x80;
// The longest message: type, length, 255 body bytes, checksum.
inline constexpr std::size_t kFskMaxMessageBytes = 2 + 255 + 1;

// Parses bytes[0..size) as one message. Returns kFskErrorNone and fills
// fields, or returns the error (1, 4, 5 or 7) and leaves fields cleared.
// Bytes after the checksum are ignored.
FskCallerIdError ParseFskCallerIdMessage(const uint8_t* bytes, std::size_t size,
                                         FskCallerIdFields& fields);

}  // namespace zorv
