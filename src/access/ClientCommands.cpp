// The change commands of the client protocol, driven by the command table:
// the device and channel checks, the rights, the journal texts of success
// and refusal, and the server operations (IClientOperations); with them the
// channel getters, the monitor records and the storage settings.
#include <cstring>

#include "access/ClientConnection.h"
#include "access/ClientServer.h"
#include "access/WireFields.h"

namespace zorv {
namespace {

// Commands whose channel is byte 2 alone (byte 3 is not a last channel).
bool SingleChannel(uint8_t code) {
    switch (code) {
        case 30: case 41: case 74: case 76: case 78: case 86: case 112:
        case 201: case 203: case 204: case 207:
            return true;
        default:
            return false;
    }
}

// The read commands of ClientReadCommands.cpp.
bool IsReadCommand(uint8_t code) {
    switch (code) {
        case 2: case 3: case 4: case 5: case 6: case 13: case 31:
        case 37: case 38: case 40: case 44: case 50: case 58:
            return true;
        default:
            return false;
    }
}

bool IsUsersCommand(uint8_t code) {
    return (code >= 32 && code <= 36) || code == 39 || (code >= 79 && code <= 81);
}

}  // namespace

std::string CompressionName(uint32_t compression) {
    static constexpr const char* kNames[] = {"NONE", "SPEEX", "ADPCM", "ALAW"};
    return compression < 4 ? kNames[compression] : std::to_string(compression);
}

std::string SpeexModeText(uint32_t compression, uint32_t speexMode) {
    return compression == 1 ? std::to_string(speexMode) + " " : std::string();
}

namespace {

// Shown as a number counted from 1.
unsigned One(int n) {
    return static_cast<unsigned>(n + 1);
}

}  // namespace

bool CClientConnection::Status(std::span<const uint8_t> request, int32_t result) {
    return ReplyWith(StatusReply{request[0], request[1], result});
}

bool CClientConnection::RowStatus(const CommandSize& row, std::span<const uint8_t> request,
                                  int32_t result) {
    if (row.reply <= sizeof(StatusReply)) {
        return Status(request, result);
    }
    // A longer reply keeps its size: the result at byte 2, the rest zero.
    std::vector<uint8_t> reply(row.reply, 0);
    reply[0] = request[0];
    reply[1] = request[1];
    std::memcpy(reply.data() + 2, &result, sizeof(result));
    return Reply(reply);
}

bool CClientConnection::RunTableCommand(const CommandSize& row, std::span<const uint8_t> request) {
    if (IsReadCommand(row.code)) {
        return RunReadCommand(row.code, request[1], request);
    }
    if ((row.flags & kCmdServed) == 0) {
        return RunUnavailable(row, request);
    }
    if (IsUsersCommand(row.code)) {
        return RunUsersCommand(row, request);
    }
    if (row.code >= 150 && row.code <= 156) {
        return RunOperatorsCommand(row, request);
    }
    if (row.code >= 210 && row.code <= 239) {
        return RunTranscoderCommand(row, request);
    }
    switch (row.code) {
        case 15: case 28: case 42: case 43: case 87: case 88:
            return RunStorageCommand(row, request);
        default:
            return RunChangeCommand(row, request);
    }
}

bool CClientConnection::Admit(const CommandSize& row, std::span<const uint8_t> request) {
    const int device = request[1];
    int first = request[2];
    int last = SingleChannel(row.code) ? first : request[3];
    if ((row.flags & kCmdChannels) != 0) {
        // The device first: a command for a device or channel that does not
        // exist fails before any right is looked at.
        DeviceConfigReply config{};
        if (!m_server.Data().DeviceConfig(device, config) ||
            static_cast<uint32_t>(std::max(first, last)) >= config.ChannelCount) {
            RowStatus(row, request, 0);
            return false;
        }
        first += static_cast<int>(config.FirstLine);
        last += static_cast<int>(config.FirstLine);
    }
    const bool allowed =
        (row.right == kNoRight || m_rights.HasFunction(row.right)) &&
        (row.right2 == kNoRight || m_rights.HasFunction(row.right2)) &&
        ((row.flags & kCmdChannels) == 0 || m_rights.HasChannels(first, last));
    if (!allowed) {
        JournalRefusal(row, request);
        RowStatus(row, request, -1);
        return false;
    }
    return true;
}

bool CClientConnection::RunUnavailable(const CommandSize& row, std::span<const uint8_t> request) {
    if (row.right != kNoRight && !Admit(row, request)) {
        return !m_ending;
    }
    if (row.reply == 0) {
        return true;
    }
    // The reply's size, zero after code and index: status 0 for a status
    // reply, empty data otherwise.
    std::vector<uint8_t> reply(row.reply, 0);
    reply[0] = request[0];
    reply[1] = request[1];
    if (row.code >= 82 && row.code <= 84) {
        // Monitor records: the channel, and result 1 (not available here).
        const uint32_t channel = request[2];
        const uint32_t outOfRange = 1;
        std::memcpy(reply.data() + 2, &channel, sizeof(channel));
        std::memcpy(reply.data() + reply.size() - 4, &outOfRange, sizeof(outOfRange));
    }
    return Reply(reply);
}

bool CClientConnection::RunChangeCommand(const CommandSize& row, std::span<const uint8_t> request) {
    IClientOperations* ops = m_server.Operations();
    if (ops == nullptr) {
        return RunUnavailable(row, request);
    }
    if (!Admit(row, request)) {
        return !m_ending;
    }
    const int device = request[1];
    const int a = request[2];
    const int b = request[3];
    const uint32_t value = request.size() >= 8 ? U32At(request, 4) : 0;
    int result = 0;
    switch (row.code) {
        case 7: result = ops->SetChannelEnable(device, a, b, static_cast<int32_t>(value)); break;
        case 8: result = ops->SetChannelCompress(device, a, b, value); break;
        case 9: result = ops->SetChannelActivate(device, a, b, value); break;
        case 10: result = ops->SetChannelTOn(device, a, b, value); break;
        case 11: result = ops->SetChannelTOff(device, a, b, value); break;
        case 12: result = ops->SetChannelTreshold(device, a, b, value); break;
        case 18: result = ops->SetChannelSampleRate(device, a, b, value); break;
        case 19: result = ops->SetStereoChannel(device, a, b); break;
        case 20: result = ops->UndoStereoChannel(device, a, b); break;
        case 21:
        case 53: {
            result = 1;
            for (int c = std::min(a, b); c <= std::max(a, b); ++c) {
                const int r = row.code == 21 ? ops->ManualActivateChannel(device, c, value != 0)
                                             : ops->SetChannelMute(device, c, value != 0);
                if (r != 1) {
                    result = 0;
                }
            }
            break;
        }
        case 22: case 23: case 24: case 25:
            // Listening and the input gain control belong to other paths:
            // allowed, they change nothing.
            result = 1;
            break;
        case 29: result = ops->SetChannelDefaultParam(device, a, b); break;
        case 30: result = ops->SetGainAdc(device, a, static_cast<int32_t>(value)); break;
        case 41: {
            char alias[21];
            std::memcpy(alias, request.data() + 4, sizeof(alias));
            result = ops->AddAlias(device, a, FieldText(alias, sizeof(alias) - 1));
            break;
        }
        case 45: {
            LineParams params{};
            std::memcpy(&params, request.data() + 4, sizeof(params));
            result = ops->SetTlfParam(device, a, b, params);
            break;
        }
        case 54: {
            const int state = ops->GetChannelMute(device, a);
            return Status(request, state > 0 ? 1 : 0);
        }
        case 60: result = ops->SetChannelSourceSignal(device, a, b, value); break;
        case 61: result = ops->SetChannelKeyEnable(device, a, b, value); break;
        case 62: case 63: case 73: case 75: {
            // The value is the result (0 when there is no such channel).
            uint32_t v = 0;
            const bool found = row.code == 62   ? ops->GetChannelSourceSignal(device, a, v)
                               : row.code == 63 ? ops->GetChannelKeyEnable(device, a, v)
                               : row.code == 73 ? ops->GetAonFlags(device, a, v)
                                                : ops->GetPolarity(device, a, v);
            return Status(request, found ? static_cast<int32_t>(v) : 0);
        }
        case 82: {
            bool running = false;
            uint32_t seconds = 0;
            const int r = ops->GetMonitorRecord(device, a, running, seconds);
            return ReplyWith(MonitorStateReply{request[0], request[1], static_cast<uint32_t>(a),
                                               r == 1 && running ? 1u : 0u,
                                               r == 1 && running ? seconds : 0u, r == 1 ? 0u : 1u});
        }
        case 83: case 84: {
            const int r = row.code == 83 ? ops->StartMonitorRecord(device, a)
                                         : ops->StopMonitorRecord(device, a);
            return ReplyWith(ValueReply{request[0], request[1], static_cast<uint32_t>(a),
                                        r == 1 ? 0u : 1u});
        }
        case 74: result = ops->SetAonFlags(device, a, value); break;
        case 76: result = ops->SetPolarity(device, a, static_cast<int32_t>(value)); break;
        case 77: {
            uint32_t seconds = 0;
            ops->GetPolarityCheckTimeOut(device, a, seconds);
            return Status(request, static_cast<int32_t>(seconds));
        }
        case 78: result = ops->SetPolarityCheckTimeOut(device, a, value); break;
        case 112: result = ops->SetChannelArchivate(device, a, value); break;
        case 16:
            JournalSuccess(row, request);
            if (!Status(request, 1)) {
                return false;
            }
            ops->ShutDown();
            return true;
        case 59:
            // The text goes into the journal that was just emptied.
            result = ops->ClearJournal();
            break;
        default:
            return RunUnavailable(row, request);
    }
    const int32_t status = result == 1 ? 1 : 0;
    if (status == 1) {
        JournalSuccess(row, request);
    }
    return Status(request, status);
}

bool CClientConnection::RunStorageCommand(const CommandSize& row,
                                          std::span<const uint8_t> request) {
    IClientOperations* ops = m_server.Operations();
    if (ops == nullptr) {
        return RunUnavailable(row, request);
    }
    if (!Admit(row, request)) {
        return !m_ending;
    }
    if (row.code == 28) {
        // The channel count at byte 2, the sample rate at byte 4.
        PairReply reply{request[0], request[1], 0, 0, 0};
        uint32_t tag = 0;
        uint32_t bytesPerSecond = 0;
        if (ops->GetCompressFormat(U32At(request, 4), request[2], tag, bytesPerSecond)) {
            reply = {request[0], request[1], 1, tag, bytesPerSecond};
        }
        return ReplyWith(reply);
    }
    if (row.code == 87) {
        bool enable = false;
        uint32_t days = 0;
        ops->GetDeleteFilesAtDateConfig(enable, days);
        return ReplyWith(ValueReply{request[0], request[1], enable ? 1u : 0u, days});
    }
    // Megabytes or seconds at byte 4, a second value at byte 8.
    const uint32_t first = U32At(request, 4);
    const uint32_t second = request.size() >= 12 ? U32At(request, 8) : 0;
    int result = 0;
    switch (row.code) {
        case 15: result = ops->SetQuota(first, second); break;
        case 42: result = ops->SetDelSize(first); break;
        case 43: result = ops->SetFileSizes(first, second); break;
        case 88:
            // A switch of 0 or 1 and the days to keep.
            result = first <= 1 ? ops->SetDeleteFilesAtDateConfig(first == 1, second) : 0;
            if (result == 1) {
                IJournal& journal = m_server.Journal();
                if (first == 1) {
                    journal.FormatJournal(kJournalInfo, Msg{427}, Name(), m_address, second);
                } else {
                    journal.FormatJournal(kJournalInfo, Msg{428}, Name(), m_address);
                }
            }
            break;
        default:
            return RunUnavailable(row, request);
    }
    return Status(request, result == 1 ? 1 : 0);
}

void CClientConnection::JournalSuccess(const CommandSize& row, std::span<const uint8_t> request) {
    if (row.journal == 0) {
        return;
    }
    IJournal& journal = m_server.Journal();
    const std::string name = Name();
    const int device = request[1];
    const int a = request[2];
    const int b = request[3];
    const uint32_t value = request.size() >= 8 ? U32At(request, 4) : 0;
    const Msg text{row.journal};
    switch (row.code) {
        case 7:
            journal.FormatJournal(kJournalInfo, text, name, m_address,
                                  CatalogText(Msg{value != 0 ? 15 : 14}), One(a), One(b),
                                  One(device));
            break;
        case 12:
            journal.FormatJournal(kJournalInfo, text, name, m_address, value, One(a), One(b),
                                  One(device));
            break;
        case 18:
            journal.FormatJournal(kJournalInfo, text, name, m_address, value, One(device));
            break;
        case 30:
            journal.FormatJournal(kJournalInfo, text, name, m_address, One(a), One(device));
            break;
        case 74: case 76: case 78: case 86:
            journal.FormatJournal(kJournalInfo, text, name, m_address, One(device), One(a));
            break;
        case 16: case 59:
            journal.FormatJournal(kJournalInfo, text, name, m_address);
            break;
        default:  // channels first..last of the device
            journal.FormatJournal(kJournalInfo, text, name, m_address, One(a), One(b),
                                  One(device));
            break;
    }
}

void CClientConnection::JournalRefusal(const CommandSize& row, std::span<const uint8_t> request) {
    if (row.refusal == 0) {
        return;
    }
    IJournal& journal = m_server.Journal();
    const std::string name = Name();
    const std::string denied = CatalogText(Msg{7});
    const int device = request[1];
    const int a = request[2];
    const Msg text{row.refusal};
    switch (row.refusal) {
        case 168: case 170: case 414:  // device, channel; the text ends with the refusal
            journal.FormatJournal(kJournalError, text, name, m_address, One(device), One(a));
            break;
        case 172: case 174:
            journal.FormatJournal(kJournalError, text, name, m_address, One(a), One(device), denied);
            break;
        case 176: case 178: case 180: case 192: case 196:  // transcoder serial at byte 4
            journal.FormatJournal(kJournalError, text, name, m_address, U32At(request, 4), denied);
            break;
        case 182: case 184:  // search port
            journal.FormatJournal(kJournalError, text, name, m_address, U32At(request, 4) & 0xFFFF,
                                  denied);
            break;
        case 186: case 188:  // search address: IPv4 (network order), port
            journal.FormatJournal(kJournalError, text, name, m_address,
                                  AddressText(U32At(request, 4),
                                              static_cast<uint16_t>(U32At(request, 8) & 0xFFFF)),
                                  denied);
            break;
        case 190: {  // position, then the stored record (started byte, serial)
            journal.FormatJournal(kJournalError, text, name, m_address, U32At(request, 9),
                                  U32At(request, 4), denied);
            break;
        }
        case 194:
            journal.FormatJournal(kJournalError, text, name, m_address, U32At(request, 4),
                                  U32At(request, 8), denied);
            break;
        case 418:
            journal.FormatJournal(kJournalError, text, name, m_address, One(device));
            break;
        case 422: {  // the codec asked for: compression, Speex mode, rate, device
            const uint32_t compression = U32At(request, 8);
            journal.FormatJournal(kJournalError, text, name, m_address,
                                  CompressionName(compression),
                                  SpeexModeText(compression, U32At(request, 12)),
                                  U32At(request, 4) / 1000, One(device));
            break;
        }
        case 429:  // switching on shows the days; off has its own text
            if (request.size() >= 12 && U32At(request, 4) == 0) {
                journal.FormatJournal(kJournalError, Msg{430}, name, m_address);
            } else {
                journal.FormatJournal(kJournalError, text, name, m_address,
                                      request.size() >= 12 ? U32At(request, 8) : 0);
            }
            break;
        default:
            break;
    }
}

}  // namespace zorv
