// zorv18ctl set, shutdown, quota and monitor: change commands answered by a
// status reply (or, for the monitor records, by the channel and a result).
#include <array>
#include <iostream>
#include <string_view>

#include "CtlCommands.h"
#include "access/ClientProtocol.h"
#include "channels/ChannelTypes.h"

namespace zorv::ctl {
namespace {

enum class ValueKind { kOnOff, kNumber, kActivation, kRate, kStereo };

// One key of `set`: the command it sends and the values it accepts.
struct SettingKey {
    std::string_view key;
    uint8_t code;
    ValueKind kind;
    long low = 0;
    long high = 0;
};

// The ranges are the ones the channels keep (ChannelTypes.h); the server
// would correct a value outside them silently, so the tool refuses it.
constexpr std::array<SettingKey, 8> kKeys = {{
    {"enable", 7, ValueKind::kOnOff},
    {"compression", 8, ValueKind::kOnOff},
    {"activation", 9, ValueKind::kActivation, kActivateLevel, kActivateLevelToo},
    {"ton", 10, ValueKind::kNumber, 0, 50},
    {"toff", 11, ValueKind::kNumber, 0, 100},
    {"threshold", 12, ValueKind::kNumber, 0, 32768},
    {"rate", 18, ValueKind::kRate},
    {"stereo", 19, ValueKind::kStereo},
}};

// The activation modes by name (or number 1..3).
constexpr std::array<std::pair<std::string_view, uint32_t>, 3> kActivations = {{
    {"level", kActivateLevel},
    {"line", kActivateLine},
    {"level2", kActivateLevelToo},
}};

bool ParseOnOff(const std::string& text, uint32_t& value) {
    if (text == "on" || text == "1") {
        value = 1;
    } else if (text == "off" || text == "0") {
        value = 0;
    } else {
        return false;
    }
    return true;
}

bool ParseValue(const SettingKey& key, const std::string& text, uint32_t& value) {
    long number = 0;
    switch (key.kind) {
        case ValueKind::kOnOff:
        case ValueKind::kStereo:
            return ParseOnOff(text, value);
        case ValueKind::kActivation:
            for (const auto& [name, mode] : kActivations) {
                if (text == name) {
                    value = mode;
                    return true;
                }
            }
            [[fallthrough]];
        case ValueKind::kNumber:
            if (!ParseNumber(text, key.low, key.high, number)) {
                return false;
            }
            value = static_cast<uint32_t>(number);
            return true;
        case ValueKind::kRate:
            if (text != "8000" && text != "16000" && text != "32000") {
                return false;
            }
            value = static_cast<uint32_t>(std::stoul(text));
            return true;
    }
    return false;
}

bool ParseDevice(const std::string& text, uint8_t& device) {
    long number = 0;
    if (!ParseNumber(text, 0, kIndexLimit - 1, number)) {
        return false;
    }
    device = static_cast<uint8_t>(number);
    return true;
}

}  // namespace

int RunSet(const Args& args, const Opener& open) {
    if (args.size() != 4) {
        return BadUsage("set needs DEVICE CHANNEL[-LAST] KEY VALUE");
    }
    uint8_t device = 0;
    long first = 0;
    long last = 0;
    if (!ParseDevice(args[0], device)) {
        return BadUsage("not a device number: " + args[0]);
    }
    if (!ParseRange(args[1], 0, 255, first, last)) {
        return BadUsage("not a channel or channel range: " + args[1]);
    }
    const SettingKey* key = nullptr;
    for (const SettingKey& k : kKeys) {
        if (args[2] == k.key) {
            key = &k;
        }
    }
    if (key == nullptr) {
        return BadUsage("unknown setting " + args[2] +
                        " (enable, activation, ton, toff, threshold, rate, stereo, compression)");
    }
    uint32_t value = 0;
    if (!ParseValue(*key, args[3], value)) {
        return BadUsage("not a value of " + args[2] + ": " + args[3]);
    }
    std::vector<uint8_t> request;
    if (key->kind == ValueKind::kStereo) {
        // A pair is named MASTER-SLAVE.
        if (first == last) {
            return BadUsage("stereo needs two channels, MASTER-SLAVE");
        }
        request = NewRequest(value == 1 ? 19 : 20, device);
    } else {
        request = NewRequest(key->code, device);
        PutU32(request, 4, value);
    }
    request[2] = static_cast<uint8_t>(first);
    request[3] = static_cast<uint8_t>(last);
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    return RunStatusRequest(connection, request);
}

int RunShutdown(const Args& args, const Opener& open) {
    if (!args.empty()) {
        return BadUsage("shutdown takes no arguments");
    }
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    return RunStatusRequest(connection, NewRequest(16, 0));
}

int RunQuota(const Args& args, const Opener& open) {
    long quota[2] = {};
    if (args.size() != 2 || !ParseNumber(args[0], 0, UINT32_MAX, quota[0]) ||
        !ParseNumber(args[1], 0, UINT32_MAX, quota[1])) {
        return BadUsage("quota needs two sizes in MB: MB1 MB2");
    }
    // Header, then the quotas of the two record directories (u32 MB each).
    std::vector<uint8_t> request = NewRequest(15, 0);
    PutU32(request, 4, static_cast<uint32_t>(quota[0]));
    PutU32(request, 8, static_cast<uint32_t>(quota[1]));
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    return RunStatusRequest(connection, request);
}

int RunMonitor(const Args& args, const Opener& open) {
    uint8_t device = 0;
    long channel = 0;
    if (args.size() != 3 || (args[0] != "start" && args[0] != "stop")) {
        return BadUsage("monitor needs start|stop DEVICE CHANNEL");
    }
    if (!ParseDevice(args[1], device) || !ParseNumber(args[2], 0, 255, channel)) {
        return BadUsage("not a device and channel: " + args[1] + " " + args[2]);
    }
    std::vector<uint8_t> request = NewRequest(args[0] == "start" ? 83 : 84, device);
    request[2] = static_cast<uint8_t>(channel);
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    const std::optional<Message> reply = Exchange(connection, request);
    if (!reply) {
        return kNoConnection;
    }
    // Code, device, u32 channel, u32 result: 0 done, 1 not available (no
    // such device or channel, or no monitor records on the server).
    const uint32_t result = GetU32(reply->bytes, reply->bytes.size() - 4);
    if (result == 0) {
        std::cout << "done" << std::endl;
        return 0;
    }
    std::cout << "not available (no such device or channel, or not on this server)" << std::endl;
    return kCommandFailed;
}

}  // namespace zorv::ctl
