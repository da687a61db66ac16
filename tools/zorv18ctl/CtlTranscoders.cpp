// zorv18ctl paths, and transcoder: the registered network transcoders
// (count 233, record 234, add 230, remove 231, start 212, stop 213) and the
// search for them (start 216, stop 217, state 218).
#include <arpa/inet.h>

#include <cstring>
#include <iostream>

#include "CtlCommands.h"
#include "CtlStatus.h"
#include "access/ClientProtocol.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv::ctl {
namespace {

// A registered transcoder travels as its stored record after a u32
// position (230) or after the result (234).
constexpr std::size_t kRecordAt = 8;
constexpr std::size_t kConfigRecordAt = 6;
// Replies of 14 bytes carry the result at byte 2.
constexpr std::size_t kResultAt = 2;

int Usage() {
    return BadUsage(
        "transcoder needs list | start SERIAL | stop SERIAL | remove SERIAL | "
        "add SERIAL ADDRESS PORT CHANNELS [--position N] [--class 1|2] [--data-port N] | "
        "search start|stop|state");
}

bool ParseU32(const std::string& text, uint32_t& value) {
    long number = 0;
    if (!ParseNumber(text, 0, UINT32_MAX, number)) {
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

// Prints the result of a reply that is not a status reply but carries one
// at byte 2 (1 done, 0 failed or not served, -1 refused).
int PrintResult(const Message& reply) {
    const auto result = static_cast<int32_t>(GetU32(reply.bytes, kResultAt));
    std::cout << StatusText(reply.code, result) << std::endl;
    return StatusExit(result);
}

int List(CCtlConnection& connection) {
    const std::optional<Message> count = Exchange(connection, NewRequest(233, 0));
    if (!count) {
        return kNoConnection;
    }
    const auto n = static_cast<int32_t>(GetU32(count->bytes, kResultAt));
    if (n <= 0) {
        if (n == 0 && (FindCommand(233)->flags & kCmdServed) != 0) {
            std::cout << "no transcoder is registered" << std::endl;
            return 0;
        }
        std::cout << StatusText(233, n) << std::endl;
        return StatusExit(n);
    }
    for (int32_t i = 0; i < n; ++i) {
        std::vector<uint8_t> request = NewRequest(234, 0);
        PutU32(request, 4, static_cast<uint32_t>(i));
        const std::optional<Message> m = Exchange(connection, request);
        if (!m) {
            return kNoConnection;
        }
        if (GetU32(m->bytes, kResultAt) != 1 ||
            m->bytes.size() < kConfigRecordAt + sizeof(tagStoredTranscoderConfig)) {
            std::cout << i << "\t(not readable)\n";
            continue;
        }
        tagStoredTranscoderConfig t{};
        std::memcpy(&t, m->bytes.data() + kConfigRecordAt, sizeof(t));
        char address[INET_ADDRSTRLEN] = {};
        in_addr a{};
        a.s_addr = t.tsAddr;
        ::inet_ntop(AF_INET, &a, address, sizeof(address));
        std::cout << i << "\tserial " << t.tsSerialNumber << "\t" << address << ":" << t.tsPort
                  << "\t" << t.tsChannelsCount << " channel(s)\tclass "
                  << static_cast<int>(t.deviceClass) << "\t"
                  << (t.tsStarted != 0 ? "started" : "stopped") << "\n";
    }
    std::cout.flush();
    return 0;
}

}  // namespace

int RunPaths(const Args& args, bool json, const Opener& open) {
    if (!args.empty()) {
        return BadUsage("paths takes no arguments");
    }
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    ServerStatus status;
    if (!ReadStatus(connection, status)) {
        return Failed(connection);
    }
    if (json) {
        std::cout << ToJson(status)["paths"].dump(2, ' ', false,
                                                  nlohmann::json::error_handler_t::replace)
                  << std::endl;
    } else {
        PrintPaths(std::cout, status);
    }
    return 0;
}

int RunTranscoder(const Args& args, const Opener& open) {
    if (args.empty()) {
        return Usage();
    }
    const std::string& what = args[0];
    std::vector<uint8_t> request;
    bool statusReply = true;
    uint32_t serial = 0;
    if (what == "list" && args.size() == 1) {
        // Read below.
    } else if (what == "search" && args.size() == 2 &&
               (args[1] == "start" || args[1] == "stop" || args[1] == "state")) {
        request = NewRequest(args[1] == "start" ? 216 : args[1] == "stop" ? 217 : 218, 0);
    } else if ((what == "start" || what == "stop" || what == "remove") && args.size() == 2 &&
               ParseU32(args[1], serial)) {
        request = NewRequest(what == "start" ? 212 : what == "stop" ? 213 : 231, 0);
        PutU32(request, 4, serial);
        statusReply = what != "remove";
    } else if (what == "add" && args.size() >= 5) {
        tagStoredTranscoderConfig t{};
        uint32_t position = UINT32_MAX;  // at or beyond the end: appended
        long number = 0;
        in_addr address{};
        if (!ParseU32(args[1], serial) || ::inet_pton(AF_INET, args[2].c_str(), &address) != 1 ||
            !ParseNumber(args[3], 1, 65535, number)) {
            return Usage();
        }
        t.tsSerialNumber = serial;
        t.tsAddr = address.s_addr;
        t.tsPort = static_cast<uint16_t>(number);
        if (!ParseNumber(args[4], 1, 65535, number)) {
            return Usage();
        }
        t.tsChannelsCount = static_cast<uint16_t>(number);
        t.deviceClass = 1;
        // Options, each with a value.
        for (std::size_t i = 5; i < args.size(); i += 2) {
            const std::string& option = args[i];
            const std::string value = i + 1 < args.size() ? args[i + 1] : std::string();
            if (option == "--position" && ParseU32(value, position)) {
                continue;
            }
            if (option == "--class" && ParseNumber(value, 1, 2, number)) {
                t.deviceClass = static_cast<uint8_t>(number);
            } else if (option == "--data-port" && ParseNumber(value, 0, 65535, number)) {
                t.dataPort = static_cast<uint16_t>(number);
            } else {
                return Usage();
            }
        }
        request = NewRequest(230, 0);
        PutU32(request, 4, position);
        std::memcpy(request.data() + kRecordAt, &t, sizeof(t));
        statusReply = false;
    } else {
        return Usage();
    }
    CCtlConnection connection;
    if (const int rc = open(connection); rc != 0) {
        return rc;
    }
    if (request.empty()) {
        return List(connection);
    }
    if (request[0] == 218) {
        // The result is the search's state.
        const std::optional<Message> m = Exchange(connection, request);
        if (!m) {
            return kNoConnection;
        }
        const auto result = static_cast<int32_t>(GetU32(m->bytes, kResultAt));
        if (result == 0 && (FindCommand(218)->flags & kCmdServed) == 0) {
            std::cout << StatusText(218, 0) << std::endl;
            return kCommandFailed;
        }
        std::cout << (result == 1 ? "searching" : "not searching") << std::endl;
        return 0;
    }
    if (statusReply) {
        return RunStatusRequest(connection, request);
    }
    const std::optional<Message> m = Exchange(connection, request);
    return m ? PrintResult(*m) : kNoConnection;
}

}  // namespace zorv::ctl
