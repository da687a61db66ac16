// The datagram protocol of the network transcoders: one definition, used by
// the configurator, the transcoder simulator, the fuzz targets and the tests.
//
// Every packet begins with an 8-byte signature; the three layouts are told
// apart by the datagram length alone:
//   184 bytes  current layout (protocol version 1): sequence number, the whole
//              DeviceConfig, command code and two parameters;
//   150 bytes  earlier layout (version 0): no sequence number, DeviceConfig
//              without StartPassword;
//    72 bytes  scan answer of the NET2 kind (version 2): single fields, the
//              versions in network byte order, serial and port little-endian.
// Multi-byte fields of the 184- and 150-byte layouts are little-endian. The
// IPv4 addresses inside DeviceConfig are kept in network byte order (first
// byte of the dotted form first) in every layout.
//
// DecodeTranscoderPacket reads a datagram into the layout-free
// TranscoderPacket; EncodeTranscoderPacket writes one in a given layout.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zorv {

static_assert(std::endian::native == std::endian::little,
              "the packed transcoder records are little-endian in memory");

inline constexpr std::array<uint8_t, 8> kTranscoderSignature = {0x47, 0x25, 0x64, 0x92,
                                                                0x74, 0x56, 0x00, 0x01};

// Packet types (byte 8 of every layout).
enum TranscoderPacketType : uint8_t {
    FC_SCAN_DEVICE = 1,
    FT_SCAN_ACKNOWLEDGE = 2,
    FC_GET_CONFIG = 3,
    FT_BAD_PASSWORD = 4,
    FT_CONFIG_VALUE = 5,
    FC_SET_CONFIG = 6,
    FT_CONFIG_CHANGE_ERROR = 7,
    FT_CONFIG_CHANGE_OK = 8,
    FC_DEV_SETTINGS = 9,
    FT_EXEC_REJECT = 10,
    FT_EXEC_ACKNOWLEDGE = 11,
    FT_DEVICE_BUSY = 12,
    FT_DEVICE_RESTART = 13,
    FT_DEVICE_STOPPED = 14,
};

// Device commands carried by FC_DEV_SETTINGS (code, parameter 1, parameter 2).
enum TranscoderCommand : uint8_t {
    TCMD_STOP = 6,                   // 0, 0
    TCMD_START = 7,                  // local UDP port, 0
    TCMD_ENABLE_GROUP = 12,          // 0, bit mask of enabled line groups
    TCMD_OUT_DATA_TO_ADC = 16,       // 0, one 16-bit codec word
    TCMD_RESET_ADC = 17,             // 0, 0
    TCMD_WRITE_DATA_TO_SOGL = 24,    // 0, (line << 16) | (parameter << 8) | value
    TCMD_WRITE_AON_REQ_SAMPLE = 32,  // 0, (sample index << 16) | 16-bit sample
};

// Request codes of the configurator's request table beside the device
// command codes: a configuration read and a configuration write.
inline constexpr uint32_t kRequestGetConfig = 170;
inline constexpr uint32_t kRequestSetConfig = 187;

// The outcome of every transcoder command.
enum class RequestResult : uint32_t {
    kSuccess = 0,
    kRefused = 1,       // configuration change error, or a group beyond the transcoder's
    kNoTranscoder = 2,  // no such transcoder
    kSendFailed = 3,    // the datagram could not be sent (also: shell failure)
    kRejected = 4,      // command rejected
    kNoAnswer = 5,      // no answer in time, or replaced
    kBadPassword = 6,
    kBusy = 7,
};

// Packet layouts by their length.
enum class TranscoderLayout : uint32_t {
    kEarlier = 0,  // 150 bytes
    kCurrent = 1,  // 184 bytes
    kNet2Scan = 2, // 72 bytes
};
// The value stored as uProtocolVer for a layout.
inline constexpr uint32_t ProtocolVersion(TranscoderLayout layout) {
    return static_cast<uint32_t>(layout);
}

inline constexpr std::size_t kCurrentPacketSize = 184;
inline constexpr std::size_t kEarlierPacketSize = 150;
inline constexpr std::size_t kNet2ScanPacketSize = 72;
// The largest datagram the configurator reads; longer ones are cut and dropped.
inline constexpr std::size_t kTranscoderDatagramMax = 1024;

inline constexpr std::size_t PacketSize(TranscoderLayout layout) {
    switch (layout) {
        case TranscoderLayout::kEarlier:
            return kEarlierPacketSize;
        case TranscoderLayout::kCurrent:
            return kCurrentPacketSize;
        case TranscoderLayout::kNet2Scan:
            return kNet2ScanPacketSize;
    }
    return 0;
}

#pragma pack(push, 1)

struct DeviceInfo {
    uint16_t HardwareVersion;  // v is shown as v / 100 . v % 100
    uint8_t DeviceType;
    uint8_t Channels;
    uint32_t SerialNumber;
    uint16_t SoftwareVersion;
    uint8_t StateFlags;
};
static_assert(sizeof(DeviceInfo) == 11);
static_assert(offsetof(DeviceInfo, DeviceType) == 2);
static_assert(offsetof(DeviceInfo, Channels) == 3);
static_assert(offsetof(DeviceInfo, SerialNumber) == 4);
static_assert(offsetof(DeviceInfo, SoftwareVersion) == 8);
static_assert(offsetof(DeviceInfo, StateFlags) == 10);

inline constexpr std::size_t kTranscoderTextSize = 32;

struct DeviceConfig {
    char Description[kTranscoderTextSize];
    char CurrPassword[kTranscoderTextSize];
    char NewPassword[kTranscoderTextSize];
    char StartPassword[kTranscoderTextSize];
    uint8_t ProtectLevel;   // 0 none, 1 configuration, 2 configuration and start
    uint8_t AddressType;
    uint32_t IpAddr;        // network byte order
    uint32_t SubNetMask;    // network byte order
    uint32_t DefaultGateway;
    uint32_t FilterMinAddr;
    uint32_t FilterMaxAddr;
    uint16_t ConfigPort;
    uint8_t Protocol;
};
static_assert(sizeof(DeviceConfig) == 153);
static_assert(offsetof(DeviceConfig, CurrPassword) == 32);
static_assert(offsetof(DeviceConfig, NewPassword) == 64);
static_assert(offsetof(DeviceConfig, StartPassword) == 96);
static_assert(offsetof(DeviceConfig, ProtectLevel) == 128);
static_assert(offsetof(DeviceConfig, AddressType) == 129);
static_assert(offsetof(DeviceConfig, IpAddr) == 130);
static_assert(offsetof(DeviceConfig, SubNetMask) == 134);
static_assert(offsetof(DeviceConfig, DefaultGateway) == 138);
static_assert(offsetof(DeviceConfig, FilterMinAddr) == 142);
static_assert(offsetof(DeviceConfig, FilterMaxAddr) == 146);
static_assert(offsetof(DeviceConfig, ConfigPort) == 150);
static_assert(offsetof(DeviceConfig, Protocol) == 152);

// Codec capabilities a NET2 transcoder announces in its scan answer; kept as
// received.
struct tagTCompressorInfo {
    uint8_t bytes[4];
};
static_assert(sizeof(tagTCompressorInfo) == 4);

// One transcoder found on the network, as clients receive it.
struct tagTranscoderEntry {
    DeviceInfo info;
    DeviceConfig config;
    uint32_t polling_state;  // TranscoderPresence
    uint32_t uUsesByAddr;    // the u32 the scan answers carry, stored as received
    uint32_t uProtocolVer;   // ProtocolVersion of the layout it answered with
    tagTCompressorInfo compressorInfo;
};
static_assert(sizeof(tagTranscoderEntry) == 180);
static_assert(offsetof(tagTranscoderEntry, config) == 11);
static_assert(offsetof(tagTranscoderEntry, polling_state) == 164);
static_assert(offsetof(tagTranscoderEntry, uUsesByAddr) == 168);
static_assert(offsetof(tagTranscoderEntry, uProtocolVer) == 172);
static_assert(offsetof(tagTranscoderEntry, compressorInfo) == 176);

// A registered transcoder.
struct tagStoredTranscoderConfig {
    uint8_t tsStarted;
    uint32_t tsSerialNumber;
    uint32_t tsAddr;  // network byte order
    uint16_t tsPort;
    uint16_t tsChannelsCount;
    uint8_t tsProtocolId;
    uint16_t dataPort;
    char Password[kTranscoderTextSize];
    uint8_t deviceClass;  // TranscoderClass
};
static_assert(sizeof(tagStoredTranscoderConfig) == 49);
static_assert(offsetof(tagStoredTranscoderConfig, tsSerialNumber) == 1);
static_assert(offsetof(tagStoredTranscoderConfig, tsAddr) == 5);
static_assert(offsetof(tagStoredTranscoderConfig, tsPort) == 9);
static_assert(offsetof(tagStoredTranscoderConfig, tsChannelsCount) == 11);
static_assert(offsetof(tagStoredTranscoderConfig, tsProtocolId) == 13);
static_assert(offsetof(tagStoredTranscoderConfig, dataPort) == 14);
static_assert(offsetof(tagStoredTranscoderConfig, Password) == 16);
static_assert(offsetof(tagStoredTranscoderConfig, deviceClass) == 48);

// The nine counters of a data flow (zeroed at its start).
struct tagTranscoderStatistic {
    uint32_t streamSpeed;
    uint32_t nPacketReceive;
    uint32_t nResendPacketReceive;
    uint32_t nPacketLost;
    uint32_t nResendPacketRequest[3];
    uint32_t nStreamLost;
    uint32_t resendQueueSize;
};
static_assert(sizeof(tagTranscoderStatistic) == 36);

// The three wire layouts.

struct TranscoderWire184 {
    uint8_t signature[8];
    uint8_t type;
    uint16_t sequence;
    DeviceInfo info;
    DeviceConfig config;
    uint8_t command;
    uint32_t param1;
    uint32_t param2;
};
static_assert(sizeof(TranscoderWire184) == kCurrentPacketSize);
static_assert(offsetof(TranscoderWire184, type) == 8);
static_assert(offsetof(TranscoderWire184, sequence) == 9);
static_assert(offsetof(TranscoderWire184, info) == 11);
static_assert(offsetof(TranscoderWire184, config) == 22);
static_assert(offsetof(TranscoderWire184, command) == 175);
static_assert(offsetof(TranscoderWire184, param1) == 176);
static_assert(offsetof(TranscoderWire184, param2) == 180);

struct TranscoderWire150 {
    uint8_t signature[8];
    uint8_t type;
    DeviceInfo info;
    char Description[kTranscoderTextSize];
    char CurrPassword[kTranscoderTextSize];
    char NewPassword[kTranscoderTextSize];
    uint8_t ProtectLevel;
    uint8_t AddressType;
    uint32_t IpAddr;
    uint32_t SubNetMask;
    uint32_t DefaultGateway;
    uint32_t FilterMinAddr;
    uint32_t FilterMaxAddr;
    uint16_t ConfigPort;
    uint8_t Protocol;
    uint8_t command;
    uint32_t param1;
    uint32_t param2;
};
static_assert(sizeof(TranscoderWire150) == kEarlierPacketSize);
static_assert(offsetof(TranscoderWire150, info) == 9);
static_assert(offsetof(TranscoderWire150, Description) == 20);
static_assert(offsetof(TranscoderWire150, CurrPassword) == 52);
static_assert(offsetof(TranscoderWire150, NewPassword) == 84);
static_assert(offsetof(TranscoderWire150, ProtectLevel) == 116);
static_assert(offsetof(TranscoderWire150, AddressType) == 117);
static_assert(offsetof(TranscoderWire150, IpAddr) == 118);
static_assert(offsetof(TranscoderWire150, SubNetMask) == 122);
static_assert(offsetof(TranscoderWire150, DefaultGateway) == 126);
static_assert(offsetof(TranscoderWire150, FilterMinAddr) == 130);
static_assert(offsetof(TranscoderWire150, FilterMaxAddr) == 134);
static_assert(offsetof(TranscoderWire150, ConfigPort) == 138);
static_assert(offsetof(TranscoderWire150, Protocol) == 140);
static_assert(offsetof(TranscoderWire150, command) == 141);
static_assert(offsetof(TranscoderWire150, param1) == 142);
static_assert(offsetof(TranscoderWire150, param2) == 146);

struct TranscoderWire72 {
    uint8_t signature[8];
    uint32_t serialNumber;             // little-endian
    char description[kTranscoderTextSize];
    uint8_t channels;
    uint8_t hardwareVersionBe[2];      // network byte order
    uint8_t softwareVersionBe[2];      // network byte order
    uint8_t stateFlags;
    uint32_t ipAddr;                   // network byte order
    uint16_t configPort;               // little-endian
    uint32_t usesByAddr;
    uint8_t deviceType;
    uint8_t configPassMode;            // shell user 0 (configuration): 0 asks a password
    uint8_t startPassMode;             // shell user 1 (start): 0 asks a password
    uint8_t protocol;
    tagTCompressorInfo compressorInfo;
    uint8_t reserved[4];
};
static_assert(sizeof(TranscoderWire72) == kNet2ScanPacketSize);
static_assert(offsetof(TranscoderWire72, serialNumber) == 8);
static_assert(offsetof(TranscoderWire72, description) == 12);
static_assert(offsetof(TranscoderWire72, channels) == 44);
static_assert(offsetof(TranscoderWire72, hardwareVersionBe) == 45);
static_assert(offsetof(TranscoderWire72, softwareVersionBe) == 47);
static_assert(offsetof(TranscoderWire72, stateFlags) == 49);
static_assert(offsetof(TranscoderWire72, ipAddr) == 50);
static_assert(offsetof(TranscoderWire72, configPort) == 54);
static_assert(offsetof(TranscoderWire72, usesByAddr) == 56);
static_assert(offsetof(TranscoderWire72, deviceType) == 60);
static_assert(offsetof(TranscoderWire72, configPassMode) == 61);
static_assert(offsetof(TranscoderWire72, startPassMode) == 62);
static_assert(offsetof(TranscoderWire72, protocol) == 63);
static_assert(offsetof(TranscoderWire72, compressorInfo) == 64);

#pragma pack(pop)

// A packet of any layout, decoded. Fields a layout lacks read as zeros.
struct TranscoderPacket {
    TranscoderLayout layout = TranscoderLayout::kCurrent;
    uint8_t type = 0;
    uint16_t sequence = 0;
    DeviceInfo info{};
    DeviceConfig config{};
    uint8_t command = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint32_t usesByAddr = 0;             // 72-byte layout only
    tagTCompressorInfo compressorInfo{}; // 72-byte layout only
};

// Decodes a datagram: nullopt when its length is not one of the three or its
// signature is wrong. Text fields come back terminated within their size (a
// text that fills its field is cut at its last byte).
std::optional<TranscoderPacket> DecodeTranscoderPacket(std::span<const uint8_t> datagram);

// Encodes packet in packet.layout into out (at least PacketSize bytes) and
// returns the number of bytes written. The 72-byte layout carries only the
// scan-answer fields.
std::size_t EncodeTranscoderPacket(const TranscoderPacket& packet, std::span<uint8_t> out);

// A text field as a string: the bytes up to the first zero, at most size.
std::string FieldText(const char* field, std::size_t size);
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return FieldText(field, N);
}
// Copies text into a zero-padded field, cut to size - 1 bytes.
void SetFieldText(char* field, std::size_t size, std::string_view text);
template <std::size_t N>
void SetFieldText(char (&field)[N], std::string_view text) {
    SetFieldText(field, N, text);
}

}  // namespace zorv
