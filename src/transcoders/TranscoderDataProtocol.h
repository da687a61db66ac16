// The data side of the network transcoders: one definition of what travels
// between a transcoder and the server's data flows, used by the flows, the
// transcoder simulator and the tests.
//
// Datagram kind: numbered UDP data packets (0x4747, u16 sequence number,
// 1280 bytes of payload) sent to the server's data port; the server asks for
// a missing packet with a 4-byte retransmission request (0x4747, u16 missing
// sequence number) sent to the transcoder's address on the same port number.
// The payload is the board record stream of the device (opaque to the flow).
//
// NET2 kind: a text shell on TCP (commands below, each answered with a text
// that ends in the prompt; "OK" first means success) and a TCP data
// connection on the configuration port + 1 which carries the NET2 packets
// (devices/Net2Format.h) once "start $<password>\0" was sent on it, until
// "stop $<password>\0".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorv {

// Datagram data packets.
inline constexpr uint16_t kDataPacketMark = 0x4747;
inline constexpr std::size_t kDataPayloadSize = 1280;
inline constexpr std::size_t kDataPacketSize = 4 + kDataPayloadSize;  // 1284
inline constexpr std::size_t kResendRequestSize = 4;
// Local data ports at or below this are refused.
inline constexpr uint16_t kHighestRefusedDataPort = 4095;

#pragma pack(push, 1)
struct DataPacketHeader {
    uint16_t mark;      // kDataPacketMark
    uint16_t sequence;  // little-endian
};
#pragma pack(pop)
static_assert(sizeof(DataPacketHeader) == 4);

// Compression kinds of the NET2 stream (and of the "DeviceChannel%u" codec
// keys): the index is the kind.
enum Net2Compression : uint32_t {
    kCompressNone = 0,   // 16-bit linear
    kCompressSpeex = 1,
    kCompressAdpcm = 2,  // IMA ADPCM
    kCompressAlaw = 3,
};
inline constexpr std::array<std::string_view, 4> kCompressionNames = {"NONE", "SPEEX", "ADPCM",
                                                                     "ALAW"};

// NET2 shell: the login users and the commands (printf formats, decimal
// numbers) of the flow and the configuration, and their replies.
inline constexpr std::string_view kShellPrompt = ">";
inline constexpr std::string_view kShellLoggedIn = "NET2 shell>";
inline constexpr std::string_view kShellUserStream = "user";
inline constexpr std::string_view kShellUserAdmin = "admin";

inline constexpr const char* kCmdLock = "lock";
inline constexpr const char* kCmdInfo = "info";
inline constexpr const char* kCmdRestart = "restart";
inline constexpr const char* kCmdSetChannel = "codec:setchannel %u";
inline constexpr const char* kCmdSetCompress = "codec:setcompress %s";  // kCompressionNames
inline constexpr const char* kCmdSetFreq = "codec:setfreq %u";          // 8, 16, 32
inline constexpr const char* kCmdSetGain = "codec:setgain %u %u";
inline constexpr const char* kCmdSetBlockGain = "block:codec:setgain %u %u %u %u %u %u";
inline constexpr const char* kCmdSetSpeex8 = "codec:setspeex8kHz %u";
inline constexpr const char* kCmdSetSpeex16 = "codec:setspeex16kHz %u";
inline constexpr const char* kCmdSetBuffSpeex = "codec:setbuff SPEEX %u";
inline constexpr const char* kCmdSetBuffNone = "codec:setbuff NONE %u";
inline constexpr const char* kCmdUpdateCodec = "codec:update";
inline constexpr const char* kCmdLineSet = "line:set %u %u";  // (line << 5) | param, value
inline constexpr const char* kCmdBlockLineSet = "block:line:set %u %u %u %u %u %u %u %u %u %u";
inline constexpr const char* kCmdLineOnOff = "line:setonoff %u";
inline constexpr const char* kCmdLineState = "line:setstate %u";

// Lines of the "info" reply the flow looks for; the value follows the label
// and one blank.
inline constexpr std::string_view kInfoHardwareError = "OK: Hardware error code:";
inline constexpr std::string_view kInfoSpeexError = "OK: SPEEX error code:";
inline constexpr std::string_view kInfoCodeFine = "0x0";
inline constexpr std::string_view kInfoHardwareNoSpeex = "0x4";

// Stream control on the data connection: the text, the password, a zero.
inline constexpr std::string_view kStreamStart = "start $";
inline constexpr std::string_view kStreamStop = "stop $";

}  // namespace zorv
