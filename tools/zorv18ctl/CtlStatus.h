// What the command-line client reads from a server to show its state, and
// how it shows it: to people as text, to scripts as JSON. Texts are
// converted from the protocol's windows-1251 to UTF-8 when they are read.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CtlConnection.h"

namespace zorv::ctl {

struct ChannelView {
    int channel = 0;
    int line = 0;  // global line number, counted from 1
    bool enabled = false;
    uint32_t stateLine = 0;
    bool recording = false;
    uint32_t recordSeconds = 0;
    uint32_t sampleRate = 0;
    uint32_t level = 0;
    std::string number;
    std::string alias;

    // What a watcher reports as a change.
    bool SameLine(const ChannelView& o) const {
        return stateLine == o.stateLine && recording == o.recording && number == o.number;
    }
};

struct DeviceView {
    int index = 0;
    uint32_t boardId = 0;
    uint32_t serial = 0;
    uint32_t firstLine = 0;
    uint32_t lastError = 0;
    std::vector<ChannelView> channels;
};

struct ServerStatus {
    uint32_t stateWord = 0;
    uint32_t deviceCount = 0;
    uint32_t channelCount = 0;
    uint32_t clients = 0;
    uint32_t port = 0;
    uint32_t currentPath = 0;
    std::array<std::string, 2> paths;
    std::array<uint32_t, 2> quotaMb{};
    std::array<uint64_t, 2> freeBytes{};
    std::array<uint64_t, 2> totalBytes{};
    std::vector<DeviceView> devices;
};

// A connected client (code 38).
struct ClientView {
    std::string name;
    std::string address;
    uint32_t userId = 0;
};

// Each reads over a logged-in connection; pushed messages that arrive
// meanwhile go to onPush. False (the connection's Error() says why) when
// the connection fails.
bool ReadStatus(CCtlConnection& connection, ServerStatus& out,
                const CCtlConnection::PushHandler& onPush = {});
// The devices present, with their channels.
bool ReadDevices(CCtlConnection& connection, std::vector<DeviceView>& out,
                 const CCtlConnection::PushHandler& onPush = {});
// The channels of one device, parameters included when withParams.
bool ReadChannels(CCtlConnection& connection, DeviceView& device, bool withParams,
                  const CCtlConnection::PushHandler& onPush = {});
bool ReadClients(CCtlConnection& connection, std::vector<ClientView>& out,
                 const CCtlConnection::PushHandler& onPush = {});

const char* StateLineName(uint32_t stateLine);
const char* ServerStateName(uint32_t stateWord);
// A field of a message as UTF-8: up to its first zero byte, windows-1251.
std::string TextField(const uint8_t* field, std::size_t size);

nlohmann::json ToJson(const ServerStatus& status);
nlohmann::json ToJson(const DeviceView& device, const ChannelView& channel);
nlohmann::json ToJson(const ClientView& client);
// The record directories: path, free and total space, quota, the current one.
void PrintPaths(std::ostream& out, const ServerStatus& status);
void PrintStatus(std::ostream& out, const ServerStatus& status);
// One line: "line 3 (device 0, channel 3): call in, recording 0:12, number 123".
std::string DescribeChannel(const DeviceView& device, const ChannelView& channel);
// A pushed message (6 or 3) as a line of text or as JSON.
std::string DescribePush(const Message& message);
nlohmann::json PushToJson(const Message& message);

}  // namespace zorv::ctl
