#include "simulation/SimulatedTranscoderShell.h"

#include <fmt/format.h>

#include <charconv>

#include "transcoders/TranscoderFlow.h"

namespace zorv {

namespace {

// The first word of line and the text after it (one blank skipped).
std::pair<std::string_view, std::string_view> SplitCommand(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return {line, {}};
    }
    return {line.substr(0, blank), line.substr(blank + 1)};
}

// A whole decimal number within 0..max.
bool ParseNumber(std::string_view text, uint32_t max, uint32_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= max;
}

// Two numbers separated by one blank.
bool ParseTwoNumbers(std::string_view text, uint32_t maxFirst, uint32_t maxSecond,
                     uint32_t& first, uint32_t& second) {
    const auto [head, tail] = SplitCommand(text);
    return ParseNumber(head, maxFirst, first) && ParseNumber(tail, maxSecond, second);
}

// A dotted IPv4 address without a port.
bool ParseDotted(std::string_view text, uint32_t& ip) {
    if (text.find(':') != std::string_view::npos) {
        return false;
    }
    const auto address = ParseAddressText(text);
    if (!address) {
        return false;
    }
    ip = address->ip;
    return true;
}

bool IsLoopbackHostAddress(uint32_t ip) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
    return bytes[0] == 127 && !(bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255) &&
           !(bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0);
}

}  // namespace

int ShellPassMode(uint8_t protectLevel, int user) {
    if (user == 0) {
        return protectLevel >= 1 ? 0 : 1;
    }
    return protectLevel >= 2 ? 0 : 1;
}

uint8_t ProtectLevelOfPassModes(int passMode0, int passMode1) {
    if (passMode1 == 0) {
        return 2;
    }
    return passMode0 == 0 ? 1 : 0;
}

bool CShellSession::Feed(std::string_view bytes, std::vector<std::string>& lines) {
    for (const char c : bytes) {
        if (c == '\n' && m_skipLineFeed) {
            m_skipLineFeed = false;
            continue;
        }
        m_skipLineFeed = c == '\r';
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(m_partial));
            m_partial.clear();
            continue;
        }
        if (m_partial.size() >= kShellLineMax) {
            return false;
        }
        m_partial.push_back(c);
    }
    return true;
}

ShellReply CShellSession::Handle(const std::string& line, CShellState& state) {
    ShellReply reply;
    switch (m_stage) {
        case Stage::kUser:
            m_user = line;
            m_stage = Stage::kPassword;
            reply.text = kShellPasswordPrompt;
            return reply;
        case Stage::kPassword: {
            reply.wasPassword = true;
            bool accepted = false;
            const DeviceConfig& config = state.config;
            if (m_user == "admin") {
                accepted = ShellPassMode(config.ProtectLevel, 0) == 1 ||
                           line == FieldText(config.CurrPassword);
            } else if (m_user == "user") {
                accepted = ShellPassMode(config.ProtectLevel, 1) == 1 ||
                           line == FieldText(config.StartPassword);
            }
            m_stage = accepted ? Stage::kShell : Stage::kUser;
            reply.text = accepted ? kShellLoggedIn : kShellLoginIncorrect;
            return reply;
        }
        case Stage::kShell:
            break;
    }
    reply.afterLogin = true;
    reply.text = Command(line, state, reply.restart);
    return reply;
}

std::string CShellSession::Command(const std::string& line, CShellState& state,
                                   bool& restart) const {
    DeviceConfig& config = state.config;
    const auto [word, rest] = SplitCommand(line);
    uint32_t number = 0;
    uint32_t value = 0;
    if (line.empty()) {
        return "";
    }
    if (line == "info") {
        return fmt::format(
            "OK: NET2 summary info\r\n"
            "OK: Device description: {}\r\n"
            "OK: IP address: {}\r\n"
            "OK: IP mask: {}\r\n"
            "OK: IP router: {}\r\n"
            "OK: Configuration port: {}\r\n"
            "OK: Protocol: {}",
            FieldText(config.Description), DottedAddress(config.IpAddr),
            DottedAddress(config.SubNetMask), DottedAddress(config.DefaultGateway),
            uint16_t{config.ConfigPort}, unsigned{config.Protocol});
    }
    if (word == "user:getpassmode") {
        if (!ParseNumber(rest, 1, number)) {
            return "ERROR: user number 0 or 1 expected";
        }
        return fmt::format("OK: User number {} passmode {}", number,
                           ShellPassMode(config.ProtectLevel, static_cast<int>(number)));
    }
    if (word == "user:setpassmode") {
        if (!ParseTwoNumbers(rest, 1, 1, number, value)) {
            return "ERROR: user number and passmode (0 or 1) expected";
        }
        int modes[2] = {ShellPassMode(config.ProtectLevel, 0),
                        ShellPassMode(config.ProtectLevel, 1)};
        modes[number] = static_cast<int>(value);
        config.ProtectLevel = ProtectLevelOfPassModes(modes[0], modes[1]);
        return "OK";
    }
    if (word == "user:password") {
        const auto [user, password] = SplitCommand(rest);
        if (!ParseNumber(user, 1, number)) {
            return "ERROR: user number 0 or 1 expected";
        }
        if (password.size() >= kTranscoderTextSize) {
            return "ERROR: password too long";
        }
        SetFieldText(number == 0 ? config.CurrPassword : config.StartPassword, password);
        return "OK";
    }
    if (word == "setdescription") {
        if (rest.size() >= kTranscoderTextSize) {
            return "ERROR: description too long";
        }
        SetFieldText(config.Description, rest);
        return "OK";
    }
    if (word == "IP" || word == "mask" || word == "router") {
        uint32_t ip = 0;
        if (!ParseDotted(rest, ip)) {
            return "ERROR: dotted address expected";
        }
        if (word == "IP") {
            // The simulator lives on the loopback network only.
            if (!IsLoopbackHostAddress(ip)) {
                return "ERROR: address outside 127.0.0.0/8";
            }
            state.pendingIp = ip;
        } else if (word == "mask") {
            config.SubNetMask = ip;
        } else {
            config.DefaultGateway = ip;
        }
        return "OK";
    }
    if (word == "configport") {
        if (!ParseNumber(rest, 65535, number) || number == 0) {
            return "ERROR: port 1..65535 expected";
        }
        state.pendingPort = static_cast<uint16_t>(number);
        return "OK";
    }
    if (line == "user:save") {
        return "OK";
    }
    if (line == "restart") {
        restart = true;
        return "OK";
    }
    return "ERROR: unknown command";
}

}  // namespace zorv
