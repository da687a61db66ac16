// The network transcoder commands (210-239) of the client protocol: the
// request fields, the operations (IClientOperations over the transcoder
// configurator) and their replies. Rights and refusal texts come from the
// command table (Admit); the success texts carry what the operation acted on.
//
// Requests: the u32 at byte 4 is the serial number (212-215, 219-221, 231,
// 235), a list index (211, 225, 229) or a position (230, 232, 234); 222 and
// 223 carry a port there, 226 and 227 an IPv4 address in network byte order
// and a port at byte 8. 236-239 address a transcoder device by the index
// byte: 236 and 237 carry a sample rate at byte 4 (236 then the compression
// and the Speex mode), 239 the buffer mode.
#include <cstring>

#include "access/ClientConnection.h"
#include "access/ClientServer.h"
#include "access/WireFields.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {
namespace {

#pragma pack(push, 1)
// A result and a record of the transcoder layer.
template <typename Record>
struct RecordReply {
    uint8_t Code;
    uint8_t Index;
    int32_t Result;
    Record Data;
};
#pragma pack(pop)
static_assert(sizeof(RecordReply<tagTranscoderStatistic>) == 42);
static_assert(sizeof(RecordReply<DeviceConfig>) == 159);
static_assert(sizeof(RecordReply<tagStoredTranscoderConfig>) == 55);
static_assert(offsetof(RecordReply<DeviceConfig>, Data) == 6);

inline constexpr std::size_t kTranscoderPasswordField = 32;

// A port of a request's u32; empty when it is no port.
std::optional<uint16_t> PortOf(uint32_t value) {
    if (value == 0 || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

bool CClientConnection::RunTranscoderCommand(const CommandSize& row,
                                             std::span<const uint8_t> request) {
    IClientOperations* ops = m_server.Operations();
    if (ops == nullptr) {
        return RunUnavailable(row, request);
    }
    if (!Admit(row, request)) {
        return !m_ending;
    }
    // The counts and the search (4-byte requests) have no field.
    const uint32_t first = request.size() >= 8 ? U32At(request, 4) : 0;
    IJournal& journal = m_server.Journal();
    const std::string name = Name();
    // The success text of the row with the user first.
    auto done = [&](auto... args) {
        journal.FormatJournal(kJournalInfo, Msg{row.journal}, name, m_address, args...);
    };
    PairReply pair{request[0], request[1], 0, 0, 0};
    switch (row.code) {
        case 210:
            return Status(request, static_cast<int32_t>(ops->GetFoundTranscodersCount()));
        case 211: {
            tagTranscoderEntry entry{};
            if (ops->GetFoundTranscoder(first, entry)) {
                pair = {request[0], request[1], 1, entry.info.SerialNumber, entry.polling_state};
            }
            return ReplyWith(pair);
        }
        case 212:
        case 213: {
            const int result =
                row.code == 212 ? ops->StartTranscoder(first) : ops->StopTranscoder(first);
            if (result == 1) {
                done(first);
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        case 214: {
            RecordReply<tagTranscoderStatistic> reply{request[0], request[1], 0, {}};
            reply.Result = ops->GetTranscoderStatistic(first, reply.Data) ? 1 : 0;
            if (reply.Result == 0) {
                reply.Data = {};
            }
            return ReplyWith(reply);
        }
        case 215: {
            DeviceConfig config{};
            std::memcpy(&config, request.data() + 8, sizeof(config));
            return Status(request, ops->SetTranscoderConfig(first, config) == 0 ? 1 : 0);
        }
        case 216:
            return Status(request, ops->StartTranscodersSearch() == 1 ? 1 : 0);
        case 217:
            return Status(request, ops->StopTranscodersSearch() == 1 ? 1 : 0);
        case 218:
            return Status(request, ops->GetTranscodersSearchStatus() ? 1 : 0);
        case 219: {
            char password[kTranscoderPasswordField + 1] = {};
            std::memcpy(password, request.data() + 8, kTranscoderPasswordField);
            RecordReply<DeviceConfig> reply{request[0], request[1], 0, {}};
            reply.Result = ops->GetTranscoderConfig(first, password, reply.Data) == 0 ? 1 : 0;
            // The configuration without its passwords: the client gave the
            // current one, the others are the transcoder's own.
            std::memset(reply.Data.CurrPassword, 0, sizeof(reply.Data.CurrPassword));
            std::memset(reply.Data.NewPassword, 0, sizeof(reply.Data.NewPassword));
            std::memset(reply.Data.StartPassword, 0, sizeof(reply.Data.StartPassword));
            if (reply.Result == 0) {
                reply.Data = {};
            }
            return ReplyWith(reply);
        }
        case 220: {
            uint32_t level = 0;
            uint32_t form = 0;
            if (ops->GetAonForm(first, level, form)) {
                pair = {request[0], request[1], 1, level, form};
            }
            return ReplyWith(pair);
        }
        case 221: {
            const int result = ops->SetAonForm(first, U32At(request, 8), U32At(request, 12));
            if (result == 1) {
                done(first);
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        case 222:
        case 223: {
            const std::optional<uint16_t> port = PortOf(first);
            const int result = !port ? 0
                               : row.code == 222 ? ops->AddConfigPort(*port)
                                                 : ops->DelConfigPort(*port);
            if (result == 1) {
                done(static_cast<unsigned>(*port));
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        case 224:
            return Status(request, static_cast<int32_t>(ops->GetCountConfigPorts()));
        case 225: {
            uint16_t port = 0;
            const bool found = ops->GetConfigPort(first, port);
            return ReplyWith(ValueReply{request[0], request[1], found ? 1u : 0u, port});
        }
        case 226:
        case 227: {
            const std::optional<uint16_t> port = PortOf(U32At(request, 8));
            const int result = !port || first == 0 ? 0
                               : row.code == 226   ? ops->AddStaticAddress(first, *port)
                                                   : ops->DelStaticAddress(first, *port);
            if (result == 1) {
                done(AddressText(first, *port));
                pair = {request[0], request[1], 1, first, *port};
            }
            return ReplyWith(pair);
        }
        case 228:
            return Status(request, static_cast<int32_t>(ops->GetCountStaticAddress()));
        case 229: {
            uint32_t ip = 0;
            uint16_t port = 0;
            if (ops->GetStaticAddress(first, ip, port)) {
                pair = {request[0], request[1], 1, ip, port};
            }
            return ReplyWith(pair);
        }
        case 230: {
            tagStoredTranscoderConfig config{};
            std::memcpy(&config, request.data() + 8, sizeof(config));
            uint32_t position = 0;
            uint32_t serial = 0;
            if (ops->AddNetDevice(first, config, position, serial) == 1) {
                done(serial, position);
                pair = {request[0], request[1], 1, position, serial};
            }
            return ReplyWith(pair);
        }
        case 231: {
            uint32_t position = 0;
            if (ops->RemoveNetDevice(first, position) == 1) {
                done(first);
                pair = {request[0], request[1], 1, position, first};
            }
            return ReplyWith(pair);
        }
        case 232: {
            const uint32_t to = U32At(request, 8);
            uint32_t serial = 0;
            if (ops->ReposNetDevice(first, to, serial) == 1) {
                done(serial, first, to);
                pair = {request[0], request[1], 1, to, serial};
            }
            return ReplyWith(pair);
        }
        case 233:
            return Status(request, static_cast<int32_t>(ops->GetCountNetDevice()));
        case 234: {
            RecordReply<tagStoredTranscoderConfig> reply{request[0], request[1], 0, {}};
            reply.Result = ops->GetConfigNetDevice(first, reply.Data) ? 1 : 0;
            // The stored password stays here: 235 keeps it unless bit 0 of
            // its flags says otherwise.
            std::memset(reply.Data.Password, 0, sizeof(reply.Data.Password));
            if (reply.Result == 0) {
                reply.Data = {};
            }
            return ReplyWith(reply);
        }
        case 235: {
            tagStoredTranscoderConfig config{};
            std::memcpy(&config, request.data() + 8, sizeof(config));
            uint32_t position = 0;
            const int result = ops->SetConfigNetDevice(first, config, U32At(request, 57), position);
            if (result == 1) {
                done(first);
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        // A network transcoder device (the index byte): codec and buffering.
        case 236: {
            const uint32_t compression = U32At(request, 8);
            const uint32_t speexMode = U32At(request, 12);
            const int result = ops->SetNet2CompressMode(request[1], first, compression, speexMode);
            if (result == 1) {
                done(CompressionName(compression), SpeexModeText(compression, speexMode),
                     first / 1000, request[1] + 1u);
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        case 237: {
            uint32_t compression = 0;
            uint32_t speexMode = 0;
            if (ops->GetNet2CompressMode(request[1], first, compression, speexMode)) {
                pair = {request[0], request[1], 1, compression, speexMode};
            }
            return ReplyWith(pair);
        }
        case 238: {
            uint32_t mode = 0;
            ops->GetNet2BufferMode(request[1], mode);
            return Status(request, static_cast<int32_t>(mode));
        }
        case 239: {
            const int result = ops->SetNet2BufferMode(request[1], first);
            if (result == 1) {
                done(request[1] + 1u);
            }
            return Status(request, result == 1 ? 1 : 0);
        }
        default:
            return RunUnavailable(row, request);
    }
}

}  // namespace zorv
