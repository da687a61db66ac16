#include "CtlCommon.h"

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "access/ClientProtocol.h"

namespace zorv::ctl {

bool ParseNumber(const std::string& text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0 || errno != 0 ||
        end == text.c_str() || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

bool ParseRange(const std::string& text, long low, long high, long& first, long& last) {
    const std::size_t dash = text.find('-', 1);
    if (dash == std::string::npos) {
        if (!ParseNumber(text, low, high, first)) {
            return false;
        }
        last = first;
        return true;
    }
    return ParseNumber(text.substr(0, dash), low, high, first) &&
           ParseNumber(text.substr(dash + 1), low, high, last) && first <= last;
}

int Failed(const CCtlConnection& connection) {
    std::cerr << "zorv18ctl: " << connection.Error() << "\n";
    return kNoConnection;
}

int BadUsage(const std::string& what) {
    std::cerr << "zorv18ctl: " << what << "\n";
    return kUsage;
}

std::string ReadSecret(const char* variable, const char* prompt) {
    if (const char* env = std::getenv(variable); env != nullptr) {
        return env;
    }
    std::string secret;
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty != nullptr) {
        termios old{};
        const int fd = ::fileno(tty);
        const bool terminal = ::tcgetattr(fd, &old) == 0;
        if (terminal) {
            termios quiet = old;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(fd, TCSAFLUSH, &quiet);
            std::fputs(prompt, tty);
            std::fflush(tty);
            char line[256];
            if (std::fgets(line, sizeof(line), tty) != nullptr) {
                secret = line;
            }
            ::tcsetattr(fd, TCSAFLUSH, &old);
            std::fputs("\n", tty);
            std::memset(line, 0, sizeof(line));
        }
        std::fclose(tty);
        if (terminal) {
            while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) {
                secret.pop_back();
            }
            return secret;
        }
    }
    std::getline(std::cin, secret);
    if (!secret.empty() && secret.back() == '\r') {
        secret.pop_back();
    }
    return secret;
}

std::vector<uint8_t> NewRequest(uint8_t code, uint8_t index) {
    const std::optional<std::size_t> size = RequestSize(code);
    if (!size) {
        return {};
    }
    std::vector<uint8_t> request(*size, 0);
    request[0] = code;
    request[1] = index;
    return request;
}

void PutU32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + static_cast<std::size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutU16(std::vector<uint8_t>& bytes, std::size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

uint32_t GetU32(std::span<const uint8_t> bytes, std::size_t at) {
    if (at + 4 > bytes.size()) {
        return 0;
    }
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint16_t GetU16(std::span<const uint8_t> bytes, std::size_t at) {
    if (at + 2 > bytes.size()) {
        return 0;
    }
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::string StatusText(uint8_t code, int32_t result) {
    if (result == 1) {
        return "done";
    }
    if (result == -1) {
        return "refused (no rights)";
    }
    if (result == 0) {
        const CommandSize* row = FindCommand(code);
        return row != nullptr && (row->flags & kCmdServed) != 0 ? "failed"
                                                                : "not available on this server";
    }
    return "answered " + std::to_string(result);
}

int StatusExit(int32_t result) {
    return result == 1 ? 0 : result == -1 ? kCommandRefused : kCommandFailed;
}

std::optional<Message> Exchange(CCtlConnection& connection, const std::vector<uint8_t>& request) {
    if (request.empty() || !connection.Send(request)) {
        if (request.empty()) {
            std::cerr << "zorv18ctl: no such command in the protocol\n";
        } else {
            Failed(connection);
        }
        return std::nullopt;
    }
    std::optional<Message> reply = connection.Reply(request[0]);
    if (!reply) {
        Failed(connection);
    }
    return reply;
}

int RunStatusRequest(CCtlConnection& connection, const std::vector<uint8_t>& request,
                     const std::string& prefix) {
    const std::optional<Message> reply = Exchange(connection, request);
    if (!reply) {
        return kNoConnection;
    }
    const auto result = static_cast<int32_t>(GetU32(reply->bytes, offsetof(StatusReply, Result)));
    std::cout << prefix << StatusText(request[0], result) << std::endl;
    return StatusExit(result);
}

}  // namespace zorv::ctl
