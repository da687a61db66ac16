#include "simulation/SimulatedTranscoderShell.h"

#include <fmt/format.h>

#include <charconv>
#include <vector>

#include "devices/Net2Format.h"

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

// Blank-separated whole numbers, each within 0..max; exactly count of them.
bool ParseNumbers(std::string_view text, std::size_t count, uint32_t max,
                  std::vector<uint32_t>& values) {
    values.clear();
    while (!text.empty()) {
        const auto [head, tail] = SplitCommand(text);
        uint32_t value = 0;
        if (!ParseNumber(head, max, value)) {
            return false;
        }
        values.push_back(value);
        if (head.size() == text.size()) {
            break;
        }
        text = tail;
    }
    return values.size() == count;
}

// The lines of "info" about the codec hardware (NET2 kind only).
std::string CodecInfo(const CShellState& state) {
    if (state.codec == nullptr) {
        return "";
    }
    const bool refused = state.faults != nullptr && state.faults->speexRefused;
    return fmt::format("\r\n{} {}\r\n{} {}", kInfoHardwareError,
                       refused ? kInfoHardwareNoSpeex : kInfoCodeFine, kInfoSpeexError,
                       state.faults != nullptr ? state.faults->speexErrorCode
                                               : std::string(kInfoCodeFine));
}

bool IsLoopbackHostAddress(uint32_t ip) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
    return bytes[0] == 127 && !(bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255) &&
           !(bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0);
}

}  // namespace

bool Net2CodecValid(const SimNet2Codec& codec) {
    if (codec.rateHz != 8000 && codec.rateHz != 16000 && codec.rateHz != 32000) {
        return false;
    }
    if (codec.compression == kCompressSpeex) {
        const uint32_t mode = codec.rateHz == 8000 ? codec.speex8Mode : codec.speex16Mode;
        return codec.rateHz != 32000 && SpeexFrameBytes(codec.rateHz, mode) != 0;
    }
    return codec.compression <= kCompressAlaw;
}

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
                const bool refused = state.faults != nullptr && state.faults->refuseStart;
                accepted = !refused && (ShellPassMode(config.ProtectLevel, 1) == 1 ||
                                        line == FieldText(config.StartPassword));
            }
            m_stage = accepted ? Stage::kShell : Stage::kUser;
            reply.text = accepted ? kShellLoggedIn : kShellLoginIncorrect;
            return reply;
        }
        case Stage::kShell:
            break;
    }
    reply.afterLogin = true;
    reply.text = Command(line, state, reply);
    return reply;
}

std::string CShellSession::Command(const std::string& line, CShellState& state,
                                   ShellReply& reply) const {
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
            "OK: Protocol: {}{}",
            FieldText(config.Description), DottedAddress(config.IpAddr),
            DottedAddress(config.SubNetMask), DottedAddress(config.DefaultGateway),
            uint16_t{config.ConfigPort}, unsigned{config.Protocol}, CodecInfo(state));
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
        reply.restart = true;
        return "OK";
    }
    if (state.codec != nullptr) {
        return CodecCommand(word, rest, state, reply);
    }
    return "ERROR: unknown command";
}

// The stream's commands: the codec ("codec:update" applies what the others
// set) and the line settings (taken and kept in the shell log only).
std::string CShellSession::CodecCommand(std::string_view word, std::string_view rest,
                                        CShellState& state, ShellReply& reply) const {
    SimNet2Codec& codec = *state.codec;
    std::vector<uint32_t> numbers;
    const auto one = [&](uint32_t max) { return ParseNumbers(rest, 1, max, numbers); };
    if (word == kCmdLock) {
        return rest.empty() ? "OK" : "ERROR: lock takes nothing";
    }
    if (word == "codec:setchannel") {
        return one(kNet2MaxChannels - 1) ? "OK" : "ERROR: channel 0..5 expected";
    }
    if (word == "codec:setcompress") {
        for (std::size_t kind = 0; kind < kCompressionNames.size(); ++kind) {
            if (rest != kCompressionNames[kind]) {
                continue;
            }
            if (kind == kCompressSpeex && state.faults != nullptr && state.faults->speexRefused) {
                return "ERROR: SPEEX not available";
            }
            codec.compression = static_cast<uint32_t>(kind);
            return "OK";
        }
        return "ERROR: NONE, SPEEX, ADPCM or ALAW expected";
    }
    if (word == "codec:setfreq") {
        if (!one(32) || (numbers[0] != 8 && numbers[0] != 16 && numbers[0] != 32)) {
            return "ERROR: 8, 16 or 32 expected";
        }
        codec.rateHz = numbers[0] * 1000;
        return "OK";
    }
    if (word == "codec:setspeex8kHz" || word == "codec:setspeex16kHz") {
        const uint32_t rate = word == "codec:setspeex8kHz" ? 8000 : 16000;
        if (!one(255) || SpeexFrameBytes(rate, numbers[0]) == 0) {
            return "ERROR: no such Speex mode";
        }
        (rate == 8000 ? codec.speex8Mode : codec.speex16Mode) = numbers[0];
        return "OK";
    }
    if (word == "codec:setbuff") {
        const auto [kind, value] = SplitCommand(rest);
        if ((kind != "SPEEX" && kind != "NONE") || !ParseNumbers(value, 1, 65535, numbers)) {
            return "ERROR: SPEEX or NONE and a number expected";
        }
        codec.buffer = numbers[0];
        return "OK";
    }
    if (word == kCmdUpdateCodec && rest.empty()) {
        if (!Net2CodecValid(codec)) {
            return "ERROR: the codec settings do not fit together";
        }
        reply.updateCodec = true;
        return "OK";
    }
    if (word == "codec:setgain" || word == "line:set") {
        return ParseNumbers(rest, 2, 65535, numbers) ? "OK" : "ERROR: two numbers expected";
    }
    if (word == "block:codec:setgain") {
        return ParseNumbers(rest, 6, 65535, numbers) ? "OK" : "ERROR: six numbers expected";
    }
    if (word == "block:line:set") {
        return ParseNumbers(rest, 10, 65535, numbers) ? "OK" : "ERROR: ten numbers expected";
    }
    if (word == "line:setonoff" || word == "line:setstate") {
        if (!one(255)) {
            return "ERROR: a number 0..255 expected";
        }
        if (word == "line:setonoff") {
            codec.lineOnOff = numbers[0] & 0x3F;
            reply.lineOnOff = true;
        }
        return "OK";
    }
    return "ERROR: unknown command";
}

}  // namespace zorv
