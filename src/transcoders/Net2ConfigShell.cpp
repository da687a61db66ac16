#include "transcoders/Net2ConfigShell.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>

#include "transcoders/TranscoderFlow.h"

namespace zorv {

namespace {

// The shell refused the login.
class CNet2BadPasswordException {};

// Any other failure of a read or write.
class CNet2Exception {};

// The lines "info" answers with, in this order; each value follows its label
// and one blank.
constexpr std::array<std::string_view, 6> kInfoLabels = {
    "OK: NET2 summary info", "OK: Device description:", "OK: IP address:",
    "OK: IP mask:",          "OK: IP router:",          "OK: Configuration port:",
};
enum InfoLine { kSummary, kDescription, kAddress, kMask, kRouter, kConfigPort };

constexpr std::string_view kStartUserAsksPassword = "OK: User number 1 passmode 0";
constexpr std::string_view kStartUserOpen = "OK: User number 1 passmode 1";
constexpr std::string_view kConfigUserAsksPassword = "OK: User number 0 passmode 0";

// 0.0.0.1 and 255.255.255.255 in network byte order.
constexpr uint32_t kNet2FilterMin = 0x01000000u;
constexpr uint32_t kNet2FilterMax = 0xFFFFFFFFu;

// Opens the shell as "admin"; a refused login and every other failure raise
// their exceptions.
void LogIn(CTelnetController& shell, const std::string& host, uint16_t port,
           const std::string& password) {
    if (!shell.Connect(host, kNet2AdminUser, password, port)) {
        if (shell.LastError() == TelnetError::kLoginRefused) {
            throw CNet2BadPasswordException();
        }
        throw CNet2Exception();
    }
}

// Sends text; the reply must be complete and begin with "OK".
void OkCommand(CTelnetController& shell, std::string_view text) {
    if (!shell.Command(text) || !shell.IsOk()) {
        throw CNet2Exception();
    }
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of an "info" line: the text after label and one blank. A line
// that does not begin with label is out of place.
std::string_view InfoValue(std::string_view line, std::string_view label) {
    if (!line.starts_with(label)) {
        throw CNet2Exception();
    }
    line.remove_prefix(label.size());
    if (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
    }
    return line;
}

// A dotted IPv4 address, network byte order.
uint32_t InfoAddress(std::string_view line, std::string_view label) {
    const std::string_view value = TrimBlanks(InfoValue(line, label));
    if (value.empty() || value.find(':') != std::string_view::npos) {
        throw CNet2Exception();
    }
    const std::optional<TranscoderAddress> address = ParseAddressText(value);
    if (!address) {
        throw CNet2Exception();
    }
    return address->ip;
}

uint16_t InfoPort(std::string_view line, std::string_view label) {
    const std::string_view value = TrimBlanks(InfoValue(line, label));
    uint32_t port = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        port > 0xFFFF) {
        throw CNet2Exception();
    }
    return static_cast<uint16_t>(port);
}

void ReadInfo(CTelnetController& shell, DeviceConfig& config) {
    OkCommand(shell, "info");
    const std::vector<std::string_view> lines = shell.ReplyLines();
    if (lines.size() < kInfoLabels.size()) {
        throw CNet2Exception();
    }
    InfoValue(lines[kSummary], kInfoLabels[kSummary]);
    SetFieldText(config.Description, InfoValue(lines[kDescription], kInfoLabels[kDescription]));
    config.IpAddr = InfoAddress(lines[kAddress], kInfoLabels[kAddress]);
    config.SubNetMask = InfoAddress(lines[kMask], kInfoLabels[kMask]);
    config.DefaultGateway = InfoAddress(lines[kRouter], kInfoLabels[kRouter]);
    config.ConfigPort = InfoPort(lines[kConfigPort], kInfoLabels[kConfigPort]);
}

// 2: the start user (1) asks a password; 1: only the configuration user (0)
// does; 0: neither.
uint8_t ReadProtectLevel(CTelnetController& shell) {
    OkCommand(shell, "user:getpassmode 1");
    if (shell.ReplyText().starts_with(kStartUserAsksPassword)) {
        return 2;
    }
    OkCommand(shell, "user:getpassmode 0");
    return shell.ReplyText().starts_with(kConfigUserAsksPassword) ? 1 : 0;
}

// A text goes into one shell line: no control characters.
bool SendableText(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

bool SendableConfig(const DeviceConfig& config) {
    if (!SendableText(FieldText(config.Description)) ||
        !SendableText(FieldText(config.CurrPassword))) {
        return false;
    }
    if ((config.ProtectLevel == 1 || config.ProtectLevel == 2) &&
        !SendableText(FieldText(config.NewPassword))) {
        return false;
    }
    return config.ProtectLevel != 2 || SendableText(FieldText(config.StartPassword));
}

void WriteConfig(CTelnetController& shell, const DeviceConfig& config) {
    const std::string startPassword = FieldText(config.StartPassword);
    OkCommand(shell, "user:getpassmode 1");
    // Protecting the start user without a password to give it would lock
    // every start out.
    if (shell.ReplyText().starts_with(kStartUserOpen) && config.ProtectLevel == 2 &&
        startPassword.empty()) {
        throw CNet2Exception();
    }
    OkCommand(shell, fmt::format("setdescription {}", FieldText(config.Description)));
    OkCommand(shell, fmt::format("IP {}", DottedAddress(config.IpAddr)));
    OkCommand(shell, fmt::format("mask {}", DottedAddress(config.SubNetMask)));
    OkCommand(shell, fmt::format("router {}", DottedAddress(config.DefaultGateway)));
    const std::string newPassword = FieldText(config.NewPassword);
    switch (config.ProtectLevel) {
        case 0:
            OkCommand(shell, "user:setpassmode 0 1");
            OkCommand(shell, "user:setpassmode 1 1");
            break;
        case 1:
            OkCommand(shell, "user:setpassmode 0 0");
            OkCommand(shell, "user:setpassmode 1 1");
            OkCommand(shell, fmt::format("user:password 0 {}", newPassword));
            break;
        case 2:
            OkCommand(shell, "user:setpassmode 0 0");
            OkCommand(shell, "user:setpassmode 1 0");
            OkCommand(shell, fmt::format("user:password 0 {}", newPassword));
            if (!startPassword.empty()) {
                OkCommand(shell, fmt::format("user:password 1 {}", startPassword));
            }
            break;
        default:
            throw CNet2Exception();
    }
    OkCommand(shell, fmt::format("configport {}", config.ConfigPort));
    // The transcoder saves and restarts; it may drop the connection while it
    // answers, so these replies are not checked.
    shell.Command("user:save");
    shell.Command("restart");
}

}  // namespace

RequestResult ReadNet2Config(CTelnetController& shell, const std::string& host, uint16_t shellPort,
                             const std::string& password, DeviceConfig& config) {
    DeviceConfig read = config;
    try {
        LogIn(shell, host, shellPort, password);
        ReadInfo(shell, read);
        read.ProtectLevel = ReadProtectLevel(shell);
    } catch (const CNet2BadPasswordException&) {
        shell.Close();
        return RequestResult::kBadPassword;
    } catch (const CNet2Exception&) {
        shell.Close();
        return RequestResult::kSendFailed;
    }
    shell.Close();
    read.FilterMinAddr = kNet2FilterMin;
    read.FilterMaxAddr = kNet2FilterMax;
    config = read;
    return RequestResult::kSuccess;
}

RequestResult WriteNet2Config(CTelnetController& shell, const std::string& host, uint16_t shellPort,
                              const DeviceConfig& newConfig, const DeviceConfig& current,
                              bool& addressChanged) {
    addressChanged = false;
    if (!SendableConfig(newConfig)) {
        return RequestResult::kSendFailed;
    }
    try {
        LogIn(shell, host, shellPort, FieldText(newConfig.CurrPassword));
        WriteConfig(shell, newConfig);
    } catch (const CNet2BadPasswordException&) {
        shell.Close();
        return RequestResult::kBadPassword;
    } catch (const CNet2Exception&) {
        shell.Close();
        return RequestResult::kSendFailed;
    }
    shell.Close();
    addressChanged = newConfig.AddressType != current.AddressType ||
                     newConfig.IpAddr != current.IpAddr ||
                     newConfig.ConfigPort != current.ConfigPort;
    return RequestResult::kSuccess;
}

}  // namespace zorv
