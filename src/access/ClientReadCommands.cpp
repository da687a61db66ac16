// The read commands of the client protocol: they need no right and answer
// with the server's data (IClientData).
#include <cstring>
#include <fstream>

#include "access/ClientConnection.h"
#include "access/ClientServer.h"

namespace zorv {
namespace {

// A reply of code, index and one record.
template <typename T>
std::array<uint8_t, 2 + sizeof(T)> DataReply(uint8_t code, uint8_t index, const T& record) {
    std::array<uint8_t, 2 + sizeof(T)> bytes{code, index};
    std::memcpy(bytes.data() + 2, &record, sizeof(T));
    return bytes;
}

}  // namespace

bool CClientConnection::RunReadCommand(uint8_t code, uint8_t index,
                                       std::span<const uint8_t> request) {
    IClientData& data = m_server.Data();
    const int channel = request.size() > 2 ? request[2] : 0;
    switch (static_cast<ClientCode>(code)) {
        case ClientCode::kGetStateDvr: {
            tagStateProgramm state{};
            data.StateDvr(state);
            return ReplyWith(DataReply(code, index, state));
        }
        case ClientCode::kGetDvrConfig: {
            tagDvrConfig config{};
            data.DvrConfig(config);
            return ReplyWith(DataReply(code, index, config));
        }
        case ClientCode::kGetServiceParam: {
            ServiceParametrs params{};
            data.ServiceParam(params);
            params.MaxDevices = 100;
            params.MaxClients = kMaxClients;
            params.ClientCount = static_cast<uint32_t>(m_server.GetServerUsers().size());
            params.ServerPort = m_server.Port();
            return ReplyWith(DataReply(code, index, params));
        }
        case ClientCode::kGetDeviceConfig: {
            DeviceConfigReply config{};
            if (data.DeviceConfig(index, config)) {
                config.Present = 1;
                config.ChannelCount =
                    std::min<uint32_t>(config.ChannelCount, kMaxChannelsPerDevice);
            } else {
                config = {};
            }
            return ReplyWith(DataReply(code, index, config));
        }
        case ClientCode::kGetChanelParam: {
            tagChanelParam param{};
            if (!data.ChannelParam(index, channel, param)) {
                param = {};
            }
            return ReplyWith(
                ChannelParamMessage{code, index, static_cast<uint32_t>(channel), param});
        }
        case ClientCode::kGetDeviceChannelState: {
            tagCHANELS_STATE states{};
            if (!data.ChannelStates(index, states)) {
                states = {};
            }
            return ReplyWith(DataReply(code, index, states));
        }
        case ClientCode::kGetGainAdc: {
            StatusReply reply{code, index, 0};
            int32_t gain = 0;
            if (data.GainAdc(index, channel, gain)) {
                reply.Result = gain;
            }
            return ReplyWith(reply);
        }
        case ClientCode::kGetPathSpace: {
            PathSpaceReply space{};
            data.PathSpace(space);
            return ReplyWith(DataReply(code, index, space));
        }
        case ClientCode::kGetServerUsers:
            SendServerUsers();
            return !m_ending;
        case ClientCode::kListAliases:
            for (const IClientData::LineAlias& alias : data.Aliases()) {
                // The index byte names the line: lines above 255 cannot be
                // named and are left out rather than shown on another line.
                if (alias.line < 0 || alias.line > 255) {
                    continue;
                }
                AliasMessage message{code, static_cast<uint8_t>(alias.line), {}};
                std::memcpy(message.Alias, alias.alias.data(),
                            std::min(alias.alias.size(), sizeof(message.Alias) - 1));
                if (!ReplyWith(message)) {
                    return false;
                }
            }
            return true;
        case ClientCode::kGetTlfParam: {
            LineParams params{};
            if (!data.TlfParam(index, channel, params)) {
                params = {};
            }
            return ReplyWith(TlfParamMessage{code, index, static_cast<uint32_t>(channel), params});
        }
        case ClientCode::kGetServiceTlfParam: {
            std::array<uint8_t, kServiceTlfParamSize> block{};
            if (!data.ServiceTlfParam(index, block)) {
                block = {};
            }
            return ReplyWith(DataReply(code, index, block));
        }
        case ClientCode::kReadJournal:
            SendJournalFile(index);
            return !m_ending;
        default:
            return true;  // known to the gate, served elsewhere: no reply
    }
}

std::vector<ServerUserMessage> ServerUserMessages(const std::vector<ClientAtr>& users) {
    const uint8_t code = static_cast<uint8_t>(ClientCode::kGetServerUsers);
    std::vector<ServerUserMessage> messages;
    uint8_t index = 1;
    for (const ClientAtr& user : users) {
        messages.push_back(ServerUserMessage{code, index++, user});
    }
    messages.push_back(ServerUserMessage{code, 0, {}});
    return messages;
}

void CClientConnection::SendServerUsers() {
    for (const ServerUserMessage& message : ServerUserMessages(m_server.GetServerUsers())) {
        if (!ReplyWith(message)) {
            return;
        }
    }
}

void CClientConnection::SendJournalFile(uint8_t index) {
    (void)index;
    const uint8_t code = static_cast<uint8_t>(ClientCode::kReadJournal);
    std::ifstream file(m_server.Data().JournalPath(), std::ios::binary);
    if (file) {
        file.seekg(0, std::ios::end);
        const auto length = static_cast<uint32_t>(std::max<std::streamoff>(file.tellg(), 0));
        file.seekg(0);
        std::array<uint8_t, kJournalMessageSize> message{};
        bool first = true;
        std::size_t used = 0;
        std::size_t room = 0;
        std::size_t textAt = 0;
        const auto begin = [&] {
            message.fill(0);
            message[0] = code;
            message[1] = first ? 0 : 1;
            textAt = first ? 6 : 2;
            room = first ? kJournalFirstText : kJournalNextText;
            if (first) {
                std::memcpy(message.data() + 2, &length, sizeof(length));
            }
            used = 0;
        };
        const auto finish = [&] {
            first = false;
            const bool ok = Reply(message);
            begin();
            return ok;
        };
        begin();
        char c = 0;
        while (file.get(c)) {
            if (c == '\n') {
                continue;
            }
            if (c == '\r') {
                if (!finish()) {
                    return;
                }
                continue;
            }
            message[textAt + used++] = static_cast<uint8_t>(c);
            if (used == room && !finish()) {
                return;
            }
        }
        if ((first || used > 0) && !finish()) {
            return;
        }
    }
    const uint8_t end[kJournalEndSize] = {code, 2};
    Reply(end);
}

}  // namespace zorv
