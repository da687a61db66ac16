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

// A result and one value (87: the age deletion switch and days; 225: a
// broadcast port; 83, 84: the channel and the result).
struct ValueReply {
    uint8_t Code;
    uint8_t Index;
    uint32_t First;
    uint32_t Second;
};
static_assert(sizeof(ValueReply) == 10);

// A result and two values (28, 72, 211, 220, 226, 227, 229-232, 237).
struct PairReply {
    uint8_t Code;
    uint8_t Index;
    int32_t Result;
    uint32_t First;
    uint32_t Second;
};
static_assert(sizeof(PairReply) == 14);
static_assert(offsetof(PairReply, First) == 6 && offsetof(PairReply, Second) == 10);

// Code 82: a channel's monitor record.
struct MonitorStateReply {
    uint8_t Code;
    uint8_t Device;
    uint32_t Channel;
    uint32_t Running;  // 1 while it runs
    uint32_t Seconds;  // length of the running monitor record
    uint32_t Result;   // 0 done, 1 device or channel out of range
};
static_assert(sizeof(MonitorStateReply) == 18);
static_assert(offsetof(MonitorStateReply, Result) == 14);

#pragma pack(pop)

// What a command needs and journals, and whether this server serves it.
enum CommandFlags : uint8_t {
    kCmdServed = 1,     // its operation exists here; otherwise "unavailable"
    kCmdChannels = 2,   // addresses channels: also needs the channel range
    kCmdStream = 4,     // answers several messages of `reply` bytes (or fewer)
    kCmdStatus = 8,     // the reply is the status reply (byte 2: i32 result)
};

// No function bit needed.
inline constexpr int8_t kNoRight = -1;
// Administrators only: a bit of the mask's last byte, which is never granted
// to anyone else.
inline constexpr int8_t kAdminRight = 127;

// One row of the command table: every code the server knows.
struct CommandSize {
    uint8_t code;
    uint16_t request;  // bytes of the request
    uint16_t reply;    // bytes of the reply, or of each message of a stream; 0: none
    int8_t right = kNoRight;   // function bit needed
    int8_t right2 = kNoRight;  // a second bit also needed
    uint16_t journal = 0;      // catalogue text on success, 0 none
    uint16_t refusal = 0;      // catalogue text on refusal, 0 none
    uint8_t flags = 0;
};

namespace detail {
inline constexpr uint8_t S = kCmdServed;
inline constexpr uint8_t C = kCmdChannels;
inline constexpr uint8_t M = kCmdStream;
inline constexpr uint8_t T = kCmdStatus;
inline constexpr int8_t A = kAdminRight;
inline constexpr int8_t N = kNoRight;
}  // namespace detail

// The command table (docs/protocol.md shows the same as a table for clients).
// Sizes of the shapes: short form 4 (code, device, a, b), value form 8 (code,
// device, first, last, u32 value), record form 4 + the record; status reply
// 6, a data reply 2 + its record.
inline constexpr auto kCommands = [] {
    using namespace detail;
    return std::to_array<CommandSize>({
        {1, sizeof(LoginRequest), sizeof(LoginReply), N, N, 0, 0, S},
        {2, 4, 2 + sizeof(tagStateProgramm), N, N, 0, 0, S},
        {3, 4, sizeof(DvrConfigMessage), N, N, 0, 0, S},
        {4, 4, 2 + sizeof(ServiceParametrs), N, N, 0, 0, S},
        {5, 4, 2 + sizeof(DeviceConfigReply), N, N, 0, 0, S},
        {6, 4, sizeof(ChannelParamMessage), N, N, 0, 0, S},
        // Channel parameters: value form, a status reply.
        {7, 8, 6, 15, N, 148, 0, S | C | T},
        {8, 8, 6, 14, N, 149, 0, S | C | T},
        {9, 8, 6, 15, N, 150, 0, S | C | T},
        {10, 8, 6, 17, N, 0, 0, S | C | T},
        {11, 8, 6, 17, N, 0, 0, S | C | T},
        {12, 8, 6, 16, N, 151, 0, S | C | T},
        {13, 4, 2 + sizeof(tagCHANELS_STATE), N, N, 0, 0, S},
        {15, 12, 6, 4, N, 0, 0, S | T},
        {16, 4, 6, 2, N, 152, 0, S | T},
        {17, 8, 6, 3, N, 0, 0, T},
        {18, 8, 6, 5, N, 153, 0, S | C | T},
        {19, 4, 6, 15, N, 154, 0, S | C | T},
        {20, 4, 6, 15, N, 155, 0, S | C | T},
        {21, 8, 6, 27, N, 0, 0, S | C | T},
        {22, 8, 6, 15, N, 0, 0, S | C | T},
        {23, 8, 6, 15, N, 0, 0, S | C | T},
        {24, 8, 6, 15, N, 0, 0, S | C | T},
        {25, 8, 6, 15, N, 0, 0, S | C | T},
        {28, 8, 14, N, N, 0, 0, S},
        {29, 4, 6, 24, N, 160, 0, S | C | T},
        {30, 8, 6, 6, N, 161, 0, S | C | T},
        {31, 4, 6, N, N, 0, 0, S | T},
        // Users: the users database decides (acting user).
        {32, 4 + sizeof(tagUserAccountRecord), 6, N, N, 162, 0, S | T},
        {33, 52, 6, N, N, 163, 0, S | T},
        {34, 4 + sizeof(tagUserAccountRecord), 6, N, N, 164, 0, S | T},
        {35, 4, 6 + sizeof(tagUserAccountRecord), N, N, 0, 0, S | M},
        {36, 52, 6, N, N, 165, 0, S | T},
        {37, 4, 2 + sizeof(PathSpaceReply), N, N, 0, 0, S},
        {38, 4, sizeof(ServerUserMessage), N, N, 0, 0, S | M},
        {39, 4 + sizeof(ClientAtr), 6, A, N, 0, 0, S | T},
        {40, 4, sizeof(AliasMessage), N, N, 0, 0, S | M},
        {41, 4 + 21, 6, 15, N, 0, 0, S | C | T},
        {42, 8, 6, 4, N, 0, 0, S | T},
        {43, 16, 6, 4, N, 0, 0, S | T},
        {44, 4, sizeof(TlfParamMessage), N, N, 0, 0, S},
        {45, 4 + sizeof(LineParams), 6, 9, N, 147, 0, S | C | T},
        {50, 4, 2 + kServiceTlfParamSize, N, N, 0, 0, S},
        {53, 8, 6, 15, N, 0, 0, S | C | T},
        {54, 4, 6, N, N, 0, 0, S | T},
        {58, 4, kJournalMessageSize, N, N, 0, 0, S | M},
        {59, 4, 6, A, N, 197, 0, S | T},
        // Line signalling.
        {60, 8, 6, 9, N, 0, 0, S | C | T},
        {61, 8, 6, 9, N, 166, 0, S | C | T},
        {62, 4, 6, N, N, 0, 0, S | T},
        {63, 4, 6, N, N, 0, 0, S | T},
        {70, 4, 6, N, N, 0, 0, T},
        {71, 16, 6, 9, N, 0, 0, C | T},
        {72, 4, 14, N, N, 0, 0, 0},
        {73, 4, 6, N, N, 0, 0, S | T},
        {74, 8, 6, 9, N, 167, 168, S | C | T},
        {75, 4, 6, N, N, 0, 0, S | T},
        {76, 8, 6, 9, N, 169, 170, S | C | T},
        {77, 4, 6, N, N, 0, 0, S | T},
        {78, 8, 6, 9, N, 169, 170, S | C | T},
        {79, 4, 6, N, N, 0, 0, S | T},
        {80, 8, 6 + sizeof(tagUserAccountRecord), N, N, 0, 0, S},
        {81, 4 + 21 + 27, 6 + sizeof(tagUserAccountRecord), N, N, 0, 0, S},
        // Monitor records: no rights; the channel is byte 2.
        {82, 4, 18, N, N, 0, 0, S},
        {83, 4, 10, N, N, 0, 0, S},
        {84, 4, 10, N, N, 0, 0, S},
        {85, 4, 6, N, N, 0, 0, T},
        {86, 8, 6, 9, N, 413, 414, C | T},
        {87, 4, 10, N, N, 0, 0, S},
        {88, 12, 6, 4, N, 427, 429, S | T},
        // Scheduler.
        {100, 72, 6, A, N, 0, 0, T},
        {101, 8, 6, A, N, 0, 0, T},
        {102, 72, 6, A, N, 0, 0, T},
        {103, 4, 70, N, N, 0, 0, 0},
        {104, 4, 6, N, N, 0, 0, T},
        {105, 4, 6, N, N, 0, 0, T},
        // Archiver: the storage settings bit.
        {110, 8, 6, 4, N, 0, 0, T},
        {111, 8, 6, 4, N, 0, 0, T},
        {112, 8, 6, 4, N, 0, 0, S | C | T},
        {113, 4, 6, 4, N, 0, 0, T},
        {114, 4, 6, 4, N, 0, 0, T},
        {115, 316, 6, 4, N, 0, 0, T},
        {116, 8, 6, 4, N, 0, 0, T},
        {117, 4, 6, N, N, 0, 0, T},
        {118, 4, 314, N, N, 0, 0, 0},
        {119, 4, 6, N, N, 0, 0, T},
        {120, 4, 6, N, N, 0, 0, T},
        {121, 4, 6, N, N, 0, 0, T},
        {122, 316, 6, 4, N, 0, 0, T},
        // Number filters.
        {130, 8, 6, A, N, 0, 0, T},
        {131, 4, 6, N, N, 0, 0, T},
        {132, 332, 6, A, N, 0, 0, T},
        {133, 332, 6, A, N, 0, 0, T},
        {134, 8, 6, A, N, 0, 0, T},
        {135, 4, 330, N, N, 0, 0, 0},
        // Mail.
        {140, 1036, 6, A, N, 0, 0, T},
        {141, 8, 6, A, N, 0, 0, T},
        {142, 1036, 6, A, N, 0, 0, T},
        {143, 4, 1034, N, N, 0, 0, 0},
        {144, 4, 6, N, N, 0, 0, T},
        {145, 1040, 6, A, N, 0, 0, T},
        {146, 4, 1038, N, N, 0, 0, 0},
        // Operators file: no rights. 150 answers messages of 24 + 50 n bytes.
        {150, 24, 24, N, N, 0, 0, S | M},
        {151, 74, 6, N, N, 0, 0, S | T},
        {152, 24, 6, N, N, 0, 0, S | T},
        {155, 74, 6, N, N, 0, 0, S | T},
        {156, 24, 6, N, N, 0, 0, S | T},
        // Property tree: no rights; 195 and 196 answer nothing.
        {192, 4, 6, N, N, 0, 0, T},
        {193, 4, 14, N, N, 0, 0, 0},
        {194, 8, 550, N, N, 0, 0, 0},
        {195, 276, 0, N, N, 0, 0, 0},
        {196, 4, 0, N, N, 0, 0, 0},
        {197, 16, 262, N, N, 0, 0, 0},
        {198, 8, 6, N, N, 0, 0, T},
        // Auto-answer and busy analyzer.
        {200, 4, 22, N, N, 0, 0, 0},
        {201, 20, 6, 11, N, 171, 172, C | T},
        {202, 4, 282, N, N, 0, 0, 0},
        {203, 280, 6, 11, N, 173, 174, C | T},
        {204, 28, 6, 11, N, 0, 172, C | T},
        {205, 4, 30, N, N, 0, 0, 0},
        {206, 4, 6, N, N, 0, 0, T},
        {207, 8, 6, 11, N, 0, 172, C | T},
        // Network transcoders.
        {210, 4, 6, N, N, 0, 0, S | T},
        {211, 8, 14, N, N, 0, 0, S},
        {212, 8, 6, 28, N, 175, 176, S | T},
        {213, 8, 6, 28, N, 177, 178, S | T},
        {214, 8, 42, N, N, 0, 0, S},
        {215, 161, 6, 28, N, 0, 0, S | T},
        {216, 4, 6, N, N, 0, 0, S | T},
        {217, 4, 6, N, N, 0, 0, S | T},
        {218, 4, 6, N, N, 0, 0, S | T},
        {219, 40, 159, N, N, 0, 0, S},
        {220, 8, 14, N, N, 0, 0, S},
        {221, 16, 6, 28, N, 179, 180, S | T},
        {222, 8, 6, 28, N, 181, 182, S | T},
        {223, 8, 6, 28, N, 183, 184, S | T},
        {224, 4, 6, N, N, 0, 0, S | T},
        {225, 8, 10, N, N, 0, 0, S},
        {226, 12, 14, 28, N, 185, 186, S},
        {227, 12, 14, 28, N, 187, 188, S},
        {228, 4, 6, N, N, 0, 0, S | T},
        {229, 8, 14, N, N, 0, 0, S},
        {230, 57, 14, 28, 32, 189, 190, S},
        {231, 8, 14, 28, N, 191, 192, S},
        {232, 12, 14, 28, N, 193, 194, S},
        {233, 4, 6, N, N, 0, 0, S | T},
        {234, 8, 55, N, N, 0, 0, S},
        {235, 61, 6, 28, N, 195, 196, S | T},
        {236, 16, 6, 9, N, 421, 422, S | T},
        {237, 12, 14, N, N, 0, 0, S},
        {238, 4, 6, N, N, 0, 0, S | T},
        {239, 8, 6, 9, N, 417, 418, S | T},
        // Live audio streams.
        {253, 8, 6, 3, N, 0, 0, T},
        {254, 8, 6, 3, N, 0, 0, T},
    });
}();

// The position of a code in the table; -1 for an unknown code.
constexpr int CommandIndex(uint8_t code) {
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        if (kCommands[i].code == code) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The row of a code; null for an unknown code.
inline const CommandSize* FindCommand(uint8_t code) {
    const int i = CommandIndex(code);
    return i < 0 ? nullptr : &kCommands[static_cast<std::size_t>(i)];
}

// The size of a request with this code; empty for an unknown code.
constexpr std::optional<std::size_t> RequestSize(uint8_t code) {
    const int i = CommandIndex(code);
    return i < 0 ? std::nullopt
                 : std::optional<std::size_t>(kCommands[static_cast<std::size_t>(i)].request);
}

constexpr bool TableIsSound() {
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        const CommandSize& c = kCommands[i];
        if ((i > 0 && kCommands[i - 1].code >= c.code) || c.request < kSkipSize ||
            c.request > kMaxRequestSize || c.reply > kMaxReplySize ||
            ((c.flags & kCmdStatus) != 0 && c.reply != sizeof(StatusReply)) || c.code == 255) {
            return false;
        }
    }
    return true;
}

static_assert(TableIsSound());
static_assert(sizeof(tagCHANELS_STATE) + 2 == 1298);
static_assert(RequestSize(1) == 52 && RequestSize(58) == 4 && RequestSize(7) == 8 &&
              !RequestSize(14));
static_assert(RequestSize(32) == 2134 && RequestSize(45) == 15 && RequestSize(230) == 57);

}  // namespace zorv
