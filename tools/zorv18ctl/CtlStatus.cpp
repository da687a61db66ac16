#include "CtlStatus.h"

#include <cstring>
#include <ostream>

#include "access/ClientProtocol.h"
#include "core/ServerDevice.h"
#include "core/ServerState.h"
#include "platform/Cp1251.h"

namespace zorv::ctl {
namespace {

template <typename T>
T RecordAt(const Message& message, std::size_t offset) {
    T value{};
    if (message.bytes.size() >= offset + sizeof(T)) {
        std::memcpy(&value, message.bytes.data() + offset, sizeof(T));
    }
    return value;
}

uint8_t Code(ClientCode code) {
    return static_cast<uint8_t>(code);
}

std::string Size(uint64_t bytes) {
    char text[32];
    const double gb = static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
    std::snprintf(text, sizeof(text), "%.1f GiB", gb);
    return text;
}

std::string Duration(uint32_t seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

}  // namespace

std::string TextField(const uint8_t* field, std::size_t size) {
    const void* zero = std::memchr(field, 0, size);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t*>(zero) - field)
                        : size;
    return Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(field), length));
}

const char* StateLineName(uint32_t stateLine) {
    switch (stateLine) {
        case CS_OFF:
            return "off";
        case CS_VOX:
            return "voice";
        case CS_FREE:
            return "free";
        case CS_CALL_IN:
            return "call in";
        case CS_CALL_OUT:
            return "call out";
        case CS_LOST:
            return "line lost";
        case CS_STEREO_SLAVE:
            return "stereo partner";
        case CS_STEREO_VOX:
            return "stereo voice";
        case CS_MANUAL:
            return "manual";
        case CS_RING:
            return "ringing";
        case CS_DSP_FAULT:
            return "no data";
        case CS_SPLIT_HOLD:
            return "split";
        default:
            return "unknown";
    }
}

const char* ServerStateName(uint32_t stateWord) {
    switch (StateOf(stateWord)) {
        case SS_INIT:
            return "starting up";
        case SS_STARTING:
            return "starting";
        case SS_RUNNING:
            return "running";
        case SS_FAILED:
            return "failed";
        case SS_STOPPED:
            return "stopped";
        default:
            return "unknown";
    }
}

bool ReadChannels(CCtlConnection& connection, DeviceView& device, bool withParams,
                  const CCtlConnection::PushHandler& onPush) {
    const auto index = static_cast<uint8_t>(device.index);
    if (!connection.Request(Code(ClientCode::kGetDeviceChannelState), index)) {
        return false;
    }
    const std::optional<Message> states =
        connection.Reply(Code(ClientCode::kGetDeviceChannelState), onPush);
    if (!states) {
        return false;
    }
    const auto all = RecordAt<tagCHANELS_STATE>(*states, 2);
    for (std::size_t i = 0; i < device.channels.size(); ++i) {
        ChannelView& c = device.channels[i];
        const tagChanelState& s = all.Chanel[i];
        c.stateLine = s.StateLine;
        c.recording = s.State != 0;
        c.level = s.Level;
        c.number = TextField(reinterpret_cast<const uint8_t*>(s.TlfString), sizeof(s.TlfString));
        if (withParams) {
            if (!connection.Request(Code(ClientCode::kGetChanelParam), index,
                                    static_cast<uint8_t>(i))) {
                return false;
            }
            // A pushed code 6 of another channel is not the reply: skip it.
            for (;;) {
                const std::optional<Message> reply =
                    connection.Reply(Code(ClientCode::kGetChanelParam), onPush);
                if (!reply) {
                    return false;
                }
                const auto param = RecordAt<ChannelParamMessage>(*reply, 0);
                if (param.Device == device.index && param.Channel == i) {
                    c.enabled = param.Param.Enable == 1;
                    c.sampleRate = param.Param.SampleRate;
                    break;
                }
                if (onPush) {
                    onPush(*reply);
                }
            }
        }
        c.recordSeconds = c.recording && c.sampleRate != 0 ? s.RecordTime / c.sampleRate : 0;
    }
    return true;
}

bool ReadDevices(CCtlConnection& connection, std::vector<DeviceView>& out,
                 const CCtlConnection::PushHandler& onPush) {
    out.clear();
    for (int i = 0; i < kMaxDevices; ++i) {
        if (!connection.Request(Code(ClientCode::kGetDeviceConfig), static_cast<uint8_t>(i))) {
            return false;
        }
        const std::optional<Message> reply =
            connection.Reply(Code(ClientCode::kGetDeviceConfig), onPush);
        if (!reply) {
            return false;
        }
        const auto config = RecordAt<DeviceConfigReply>(*reply, 2);
        if (config.Present != 1) {
            continue;
        }
        DeviceView device;
        device.index = i;
        device.boardId = config.BoardId;
        device.serial = config.DeviceNumber;
        device.firstLine = config.FirstLine;
        device.lastError = config.LastError;
        const uint32_t count = std::min<uint32_t>(config.ChannelCount, kMaxChannelsPerDevice);
        for (uint32_t c = 0; c < count; ++c) {
            ChannelView channel;
            channel.channel = static_cast<int>(c);
            channel.line = static_cast<int>(config.FirstLine + c + 1);
            device.channels.push_back(channel);
        }
        if (!ReadChannels(connection, device, true, onPush)) {
            return false;
        }
        out.push_back(std::move(device));
    }
    // Line aliases: one message per line that has one, then nothing: the
    // server sends no terminator, so a closing read asks for code 4.
    if (!connection.Request(Code(ClientCode::kListAliases), 0) ||
        !connection.Request(Code(ClientCode::kGetServiceParam), 0)) {
        return false;
    }
    for (;;) {
        const std::optional<Message> reply = connection.Next(20000);
        if (!reply) {
            return false;
        }
        if (reply->code == Code(ClientCode::kGetServiceParam)) {
            return true;
        }
        if (reply->code != Code(ClientCode::kListAliases)) {
            if (onPush) {
                onPush(*reply);
            }
            continue;
        }
        const auto alias = RecordAt<AliasMessage>(*reply, 0);
        for (DeviceView& d : out) {
            for (ChannelView& c : d.channels) {
                if ((c.line - 1) % 256 == alias.Index) {
                    c.alias = TextField(reinterpret_cast<const uint8_t*>(alias.Alias),
                                        sizeof(alias.Alias));
                }
            }
        }
    }
}

bool ReadStatus(CCtlConnection& connection, ServerStatus& out,
                const CCtlConnection::PushHandler& onPush) {
    if (!connection.Request(Code(ClientCode::kGetServiceParam), 0)) {
        return false;
    }
    const std::optional<Message> service =
        connection.Reply(Code(ClientCode::kGetServiceParam), onPush);
    if (!service) {
        return false;
    }
    const auto params = RecordAt<ServiceParametrs>(*service, 2);
    out.stateWord = params.State;
    out.deviceCount = params.DeviceCount;
    out.channelCount = params.ChannelCount;
    out.clients = params.ClientCount;
    out.port = params.ServerPort;

    if (!connection.Request(Code(ClientCode::kGetStateDvr), 0)) {
        return false;
    }
    const std::optional<Message> state = connection.Reply(Code(ClientCode::kGetStateDvr), onPush);
    if (!state) {
        return false;
    }
    out.currentPath = RecordAt<tagStateProgramm>(*state, 2).CurrentPath;

    if (!connection.Request(Code(ClientCode::kGetDvrConfig), 0)) {
        return false;
    }
    const std::optional<Message> config = connection.Reply(Code(ClientCode::kGetDvrConfig), onPush);
    if (!config) {
        return false;
    }
    const auto dvr = RecordAt<tagDvrConfig>(*config, 2);
    for (int i = 0; i < 2; ++i) {
        out.paths[i] =
            TextField(reinterpret_cast<const uint8_t*>(dvr.Path[i]), sizeof(dvr.Path[i]));
        out.quotaMb[i] = dvr.Quota[i];
    }

    if (!connection.Request(Code(ClientCode::kGetPathSpace), 0)) {
        return false;
    }
    const std::optional<Message> space = connection.Reply(Code(ClientCode::kGetPathSpace), onPush);
    if (!space) {
        return false;
    }
    const auto bytes = RecordAt<PathSpaceReply>(*space, 2);
    for (int i = 0; i < 2; ++i) {
        out.freeBytes[i] = bytes.Free[i];
        out.totalBytes[i] = bytes.Total[i];
    }
    return ReadDevices(connection, out.devices, onPush);
}

bool ReadClients(CCtlConnection& connection, std::vector<ClientView>& out,
                 const CCtlConnection::PushHandler& onPush) {
    out.clear();
    if (!connection.Request(Code(ClientCode::kGetServerUsers), 0)) {
        return false;
    }
    for (;;) {
        const std::optional<Message> reply =
            connection.Reply(Code(ClientCode::kGetServerUsers), onPush);
        if (!reply) {
            return false;
        }
        if (reply->index == 0) {
            return true;
        }
        const auto user = RecordAt<ServerUserMessage>(*reply, 0);
        ClientView client;
        client.name = TextField(reinterpret_cast<const uint8_t*>(user.Client.UserName),
                                sizeof(user.Client.UserName));
        client.address = TextField(reinterpret_cast<const uint8_t*>(user.Client.UserAddr),
                                   sizeof(user.Client.UserAddr));
        client.userId = user.Client.UserId;
        out.push_back(std::move(client));
    }
}

nlohmann::json ToJson(const DeviceView& device, const ChannelView& c) {
    return {{"device", device.index},
            {"channel", c.channel},
            {"line", c.line},
            {"enabled", c.enabled},
            {"state", StateLineName(c.stateLine)},
            {"stateCode", c.stateLine},
            {"recording", c.recording},
            {"recordSeconds", c.recordSeconds},
            {"sampleRate", c.sampleRate},
            {"level", c.level},
            {"number", c.number},
            {"alias", c.alias}};
}

nlohmann::json ToJson(const ClientView& client) {
    return {{"name", client.name}, {"address", client.address}, {"userId", client.userId}};
}

nlohmann::json ToJson(const ServerStatus& status) {
    nlohmann::json json;
    json["state"] = ServerStateName(status.stateWord);
    json["stateWord"] = status.stateWord;
    json["devices"] = status.deviceCount;
    json["channels"] = status.channelCount;
    json["clients"] = status.clients;
    json["port"] = status.port;
    json["paths"] = nlohmann::json::array();
    for (int i = 0; i < 2; ++i) {
        json["paths"].push_back({{"path", status.paths[i]},
                                 {"current", status.currentPath == static_cast<uint32_t>(i)},
                                 {"quotaMb", status.quotaMb[i]},
                                 {"freeBytes", status.freeBytes[i]},
                                 {"totalBytes", status.totalBytes[i]}});
    }
    json["deviceList"] = nlohmann::json::array();
    for (const DeviceView& d : status.devices) {
        nlohmann::json device = {{"index", d.index},         {"boardId", d.boardId},
                                 {"serial", d.serial},       {"firstLine", d.firstLine + 1},
                                 {"lastError", d.lastError}, {"channels", nlohmann::json::array()}};
        for (const ChannelView& c : d.channels) {
            device["channels"].push_back(ToJson(d, c));
        }
        json["deviceList"].push_back(std::move(device));
    }
    return json;
}

std::string DescribeChannel(const DeviceView& device, const ChannelView& c) {
    std::string text = "line " + std::to_string(c.line) + " (device " +
                       std::to_string(device.index) + ", channel " + std::to_string(c.channel + 1) +
                       "): " + StateLineName(c.stateLine);
    if (c.recording) {
        text += ", recording";
    }
    if (!c.number.empty()) {
        text += ", number " + c.number;
    }
    return text;
}

void PrintPaths(std::ostream& out, const ServerStatus& s) {
    for (int i = 0; i < 2; ++i) {
        out << "Record directory " << i + 1 << ": "
            << (s.paths[i].empty() ? std::string("(none)") : s.paths[i]);
        if (!s.paths[i].empty()) {
            out << ", " << Size(s.freeBytes[i]) << " free of " << Size(s.totalBytes[i]);
            if (s.quotaMb[i] != 0) {
                out << ", quota " << s.quotaMb[i] << " MB";
            }
        }
        if (s.currentPath == static_cast<uint32_t>(i)) {
            out << " (recording here)";
        }
        out << "\n";
    }
}

void PrintStatus(std::ostream& out, const ServerStatus& s) {
    out << "Server: " << ServerStateName(s.stateWord) << ", " << s.deviceCount << " device(s), "
        << s.channelCount << " channel(s), " << s.clients << " client(s) logged in, port " << s.port
        << "\n";
    PrintPaths(out, s);
    for (const DeviceView& d : s.devices) {
        char board[16];
        std::snprintf(board, sizeof(board), "0x%X", d.boardId);
        out << "\nDevice " << d.index << ": board " << board;
        if (d.serial != 0) {
            out << ", serial " << d.serial;
        }
        out << ", lines " << d.firstLine + 1 << "-" << d.firstLine + d.channels.size();
        if (d.lastError != 0) {
            out << ", last error " << d.lastError;
        }
        out << "\n";
        char row[160];
        std::snprintf(row, sizeof(row), "  %-5s %-4s %-15s %-9s %-8s %-20s %s\n", "line", "on",
                      "state", "record", "rate", "number", "alias");
        out << row;
        for (const ChannelView& c : d.channels) {
            std::snprintf(row, sizeof(row), "  %-5d %-4s %-15s %-9s %-8u %-20s %s\n", c.line,
                          c.enabled ? "yes" : "no", StateLineName(c.stateLine),
                          c.recording ? Duration(c.recordSeconds).c_str() : "-", c.sampleRate,
                          c.number.empty() ? "-" : c.number.c_str(), c.alias.c_str());
            out << row;
        }
    }
}

std::string DescribePush(const Message& message) {
    if (message.code == kPushChannelParam) {
        const auto m = RecordAt<ChannelParamMessage>(message, 0);
        return "channel parameters changed: device " + std::to_string(m.Device) + ", channel " +
               std::to_string(m.Channel + 1) + ": " + (m.Param.Enable == 1 ? "on" : "off") + ", " +
               std::to_string(m.Param.SampleRate) + " Hz, activation " +
               std::to_string(m.Param.Activate) + ", threshold " + std::to_string(m.Param.Treshold);
    }
    if (message.code == kPushDvrConfig) {
        const auto m = RecordAt<DvrConfigMessage>(message, 0);
        return "server configuration changed: " + std::to_string(m.Config.DeviceCount) +
               " device(s), directory " +
               TextField(reinterpret_cast<const uint8_t*>(m.Config.Path[0]),
                         sizeof(m.Config.Path[0]));
    }
    return "message " + std::to_string(message.code);
}

namespace {

// A field of a packed record as a value: json must not bind a reference to
// a field that is not aligned.
template <typename T>
T Value(T field) {
    return field;
}

}  // namespace

nlohmann::json PushToJson(const Message& message) {
    if (message.code == kPushChannelParam) {
        const auto m = RecordAt<ChannelParamMessage>(message, 0);
        return {{"event", "channel-parameters"},
                {"device", Value(m.Device)},
                {"channel", Value(m.Channel)},
                {"enabled", m.Param.Enable == 1},
                {"activate", Value(m.Param.Activate)},
                {"compress", Value(m.Param.Compress)},
                {"tOn", Value(m.Param.TOn)},
                {"tOff", Value(m.Param.TOff)},
                {"threshold", Value(m.Param.Treshold)},
                {"sampleRate", Value(m.Param.SampleRate)},
                {"mode", Value(m.Param.Mode)}};
    }
    if (message.code == kPushDvrConfig) {
        const auto m = RecordAt<DvrConfigMessage>(message, 0);
        return {{"event", "server-configuration"},
                {"devices", Value(m.Config.DeviceCount)},
                {"paths",
                 {TextField(reinterpret_cast<const uint8_t*>(m.Config.Path[0]),
                            sizeof(m.Config.Path[0])),
                  TextField(reinterpret_cast<const uint8_t*>(m.Config.Path[1]),
                            sizeof(m.Config.Path[1]))}},
                {"quotaMb", {Value(m.Config.Quota[0]), Value(m.Config.Quota[1])}},
                {"delSizeMb", Value(m.Config.DelSize)}};
    }
    return {{"event", "message"}, {"code", message.code}};
}

}  // namespace zorv::ctl
