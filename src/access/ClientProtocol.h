// The client protocol's framing: the one definition of its codes, sizes and
// layouts, shared by the client server, its tests and the fuzz targets.
//
// A TCP stream of fixed-size messages. Byte 0 is the command code (255 is the
// server's disconnect notice), byte 1 an index, normally a device number
// (< 100), then the command's fields; all multi-byte fields little-endian.
// Each request code has one fixed size (kCommands). A reply repeats the
// request's code and index. Unknown codes and an index >= 100 consume 4
// bytes with no reply, so the stream never loses its framing.
//
// docs/protocol.md ("Client protocol") describes the same for clients.
//
// Plain data and constexpr functions: safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "access/UserAccount.h"
#include "channels/ChannelTypes.h"

namespace zorv {

// Command codes served here.
enum class ClientCode : uint8_t {
    kLogin = 1,
    kGetStateDvr = 2,
    kGetDvrConfig = 3,
    kGetServiceParam = 4,
    kGetDeviceConfig = 5,
    kGetChanelParam = 6,
    kGetDeviceChannelState = 13,
    kGetGainAdc = 31,
    kGetPathSpace = 37,
    kGetServerUsers = 38,
    kListAliases = 40,
    kGetTlfParam = 44,
    kGetServiceTlfParam = 50,
    kReadJournal = 58,
    kDisconnect = 255,
};

// Pushed without a request.
inline constexpr uint8_t kPushDvrConfig = 3;
inline constexpr uint8_t kPushChannelParam = 6;

// The index byte must be below this; otherwise the message counts 4 bytes.
inline constexpr uint8_t kIndexLimit = 100;
// What an unknown code or a bad index consumes.
inline constexpr std::size_t kSkipSize = 4;
// The largest request and the largest single reply.
inline constexpr std::size_t kMaxRequestSize = 2134;
inline constexpr std::size_t kMaxReplySize = 2136;

// Disconnect reasons.
enum DisconnectReason : uint32_t {
    kReasonClosed = 0,     // closed by the peer, or a network event failure
    kReasonTimeout = 1,    // time-out, or a command without authorization
    kReasonSendFailed = 2  // send or wait failure, or a client too slow to read
};

#pragma pack(push, 1)

struct MessageHeader {
    uint8_t Code;
    uint8_t Index;
};
static_assert(sizeof(MessageHeader) == 2);

// Short form: code, device, two byte arguments.
struct ShortRequest {
    uint8_t Code;
    uint8_t Index;
    uint8_t A;  // usually the first channel, or the channel
    uint8_t B;  // usually the last channel
};
static_assert(sizeof(ShortRequest) == 4);

// The common status reply, and the disconnect notice (code 255, the index of
// the last request, the reason).
struct StatusReply {
    uint8_t Code;
    uint8_t Index;
    int32_t Result;  // 1 done, 0 failed, -1 refused for lack of rights
};
static_assert(sizeof(StatusReply) == 6);
static_assert(offsetof(StatusReply, Result) == 2);

struct DisconnectNotice {
    uint8_t Code;  // 255
    uint8_t Index;
    uint32_t Reason;
};
static_assert(sizeof(DisconnectNotice) == 6);

struct LoginRequest {
    uint8_t Code;  // 1
    uint8_t Index;
    uint8_t Reserved[2];
    tagUserID User;  // UserName enciphered with the credential cipher
};
static_assert(sizeof(LoginRequest) == 52);
static_assert(offsetof(LoginRequest, User) == 4);

struct LoginReply {
    uint8_t Code;
    uint8_t Index;
    uint32_t Granted;              // 1 network access granted, 0 refused
    tagUserAccountRecord Account;  // enciphered; meaningful when granted
};
static_assert(sizeof(LoginReply) == 2136);
static_assert(offsetof(LoginReply, Account) == 6);

// A connected client as GetServerUsers and DetachUser carry it.
struct ClientAtr {
    char UserName[21];  // zero-terminated
    char UserAddr[21];  // "a.b.c.d:port", cut to 20 bytes and terminated
    uint8_t Reserved[2];
    uint32_t UserId;
};
static_assert(sizeof(ClientAtr) == 48);
static_assert(offsetof(ClientAtr, UserAddr) == 21);
static_assert(offsetof(ClientAtr, UserId) == 44);

// Code 38's messages: index 1, 2, ... per client, then index 0 with zeros.
struct ServerUserMessage {
    uint8_t Code;
    uint8_t Index;
    ClientAtr Client;
};
static_assert(sizeof(ServerUserMessage) == 50);

// The server configuration (code 3 reply and push 3).
struct tagDvrConfig {
    uint32_t DeviceCount;
    char Path[2][260];
    uint32_t Quota[2];     // megabytes
    uint32_t DelSize;      // megabytes
    uint32_t MinSizeFile;  // seconds
    uint32_t MaxFileSize;  // seconds
    uint32_t MaxSizeRecord;
};
static_assert(sizeof(tagDvrConfig) == 548);
static_assert(offsetof(tagDvrConfig, Quota) == 524);
static_assert(offsetof(tagDvrConfig, MaxSizeRecord) == 544);

struct DvrConfigMessage {
    uint8_t Code;   // 3
    uint8_t Index;  // reserved in the push
    tagDvrConfig Config;
};
static_assert(sizeof(DvrConfigMessage) == 550);

// Code 6 reply and push 6: one channel's parameters.
struct ChannelParamMessage {
    uint8_t Code;  // 6
    uint8_t Device;
    uint32_t Channel;
    tagChanelParam Param;
};
static_assert(sizeof(ChannelParamMessage) == 46);
static_assert(offsetof(ChannelParamMessage, Param) == 6);

// Code 2: the server's state (440 bytes).
struct tagStateProgramm {
    uint32_t State;  // the server state word (low byte the state, bits 8.. the failure kind)
    uint32_t DeviceCount;
    uint32_t ChannelCount;
    uint32_t CurrentPath;       // 0 or 1: the record directory written to
    uint32_t DeviceError[100];  // the last error of each device (0 none or no device)
    uint32_t Reserved[6];
};
static_assert(sizeof(tagStateProgramm) == 440);

// Code 4: service parameters (32 bytes).
struct ServiceParametrs {
    uint32_t State;
    uint32_t DeviceCount;
    uint32_t ChannelCount;
    uint32_t MaxDevices;   // 100
    uint32_t MaxClients;   // 20
    uint32_t ClientCount;  // authorized clients now
    uint32_t ServerPort;
    uint32_t Reserved;
};
static_assert(sizeof(ServiceParametrs) == 32);

// Code 5: one device (36 bytes); all zero for an empty slot.
struct DeviceConfigReply {
    uint32_t Present;  // 1 when the slot holds a device
    uint32_t BoardId;
    uint32_t ChannelCount;  // at most 18
    uint32_t DeviceNumber;  // serial number, 0 when the driver has none
    uint32_t FirstLine;     // global number of its channel 0
    uint32_t LastError;
    uint32_t Reserved[3];
};
static_assert(sizeof(DeviceConfigReply) == 36);

// Code 37: free and total bytes of the two record directories.
struct PathSpaceReply {
    uint64_t Free[2];
    uint64_t Total[2];
};
static_assert(sizeof(PathSpaceReply) == 32);

// Code 40: one line alias.
struct AliasMessage {
    uint8_t Code;
    uint8_t Index;  // the line (global channel) number, modulo 256
    char Alias[21];
};
static_assert(sizeof(AliasMessage) == 23);

// Code 44: a channel's line parameters.
struct TlfParamMessage {
    uint8_t Code;
    uint8_t Device;
    uint32_t Channel;
    LineParams Params;
};
static_assert(sizeof(TlfParamMessage) == 17);

// Code 50: the signal processors' service block of a device (52 bytes).
inline constexpr std::size_t kServiceTlfParamSize = 52;

// Code 58: journal file pieces.
inline constexpr std::size_t kJournalMessageSize = 282;
// Text at offset 6 after code, sub-code 0 and the u32 file length, or at
// offset 2 after code and sub-code 1; the rest of the message is zero.
inline constexpr std::size_t kJournalFirstText = 275;
inline constexpr std::size_t kJournalNextText = 279;
inline constexpr std::size_t kJournalEndSize = 2;

#pragma pack(pop)

// Request and first reply size of a served code.
struct CommandSize {
    uint8_t code;
    uint16_t request;
    uint16_t reply;  // a single reply, or each message of a stream
};

inline constexpr std::array<CommandSize, 14> kCommands{{
    {1, sizeof(LoginRequest), sizeof(LoginReply)},
    {2, 4, 2 + sizeof(tagStateProgramm)},
    {3, 4, sizeof(DvrConfigMessage)},
    {4, 4, 2 + sizeof(ServiceParametrs)},
    {5, 4, 2 + sizeof(DeviceConfigReply)},
    {6, 4, sizeof(ChannelParamMessage)},
    {13, 4, 2 + sizeof(tagCHANELS_STATE)},
    {31, 4, sizeof(StatusReply)},
    {37, 4, 2 + sizeof(PathSpaceReply)},
    {38, 4, sizeof(ServerUserMessage)},
    {40, 4, sizeof(AliasMessage)},
    {44, 4, sizeof(TlfParamMessage)},
    {50, 4, 2 + kServiceTlfParamSize},
    {58, 4, kJournalMessageSize},
}};

// The size of a request with this code; empty for an unknown code.
constexpr std::optional<std::size_t> RequestSize(uint8_t code) {
    for (const CommandSize& c : kCommands) {
        if (c.code == code) {
            return c.request;
        }
    }
    return std::nullopt;
}

static_assert(sizeof(tagCHANELS_STATE) + 2 == 1298);
static_assert(RequestSize(1) == 52 && RequestSize(58) == 4 && !RequestSize(7));

}  // namespace zorv
