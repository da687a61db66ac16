#include "simulation/TranscoderScenario.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <optional>
#include <set>

#include "platform/IniFile.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

namespace {

constexpr int kMaxAnswerDelayMs = 60'000;
constexpr int kMaxDropRequests = 1000;
constexpr uint16_t kDefaultShellPort = 23;

const char* const kKnownKeys[] = {
    "Kind",          "Address",         "ConfigPort",     "ShellPort",      "Layout",
    "Serial",        "Channels",        "HardwareVersion", "SoftwareVersion", "DeviceType",
    "StateFlags",    "Description",     "ProtectLevel",   "ConfigPassword", "StartPassword",
    "Protocol",      "Mode",            "AnswerDelayMs",  "DropRequests",   "ConfigChangeError",
    "ShellMode",
};

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The values of one section, each checked where it is read.
class CSectionReader {
public:
    CSectionReader(const IniFile& file, std::string section)
        : m_file(file), m_section(std::move(section)) {}

    [[noreturn]] void Fail(std::string_view key, std::string_view message) const {
        throw CTranscoderScenarioError(
            fmt::format("{}: [{}] {}: {}", m_file.Path(), m_section, key, message));
    }

    std::optional<std::string> Find(std::string_view key) const {
        return m_file.Find(m_section, key);
    }

    uint32_t Number(std::string_view key, uint32_t min, uint32_t max,
                    std::optional<uint32_t> defaultValue) const {
        const auto text = Find(key);
        if (!text) {
            if (!defaultValue) {
                Fail(key, "missing");
            }
            return *defaultValue;
        }
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
        if (text->empty() || error != std::errc() || end != text->data() + text->size()) {
            Fail(key, fmt::format("'{}' is not a decimal number", *text));
        }
        if (value < min || value > max) {
            Fail(key, fmt::format("{} is outside {}..{}", value, min, max));
        }
        return static_cast<uint32_t>(value);
    }

    // A text that fits a 32-byte field with its terminating zero.
    std::string Text(std::string_view key) const {
        std::string text = Find(key).value_or("");
        if (text.size() >= kTranscoderTextSize) {
            Fail(key, fmt::format("longer than {} bytes", kTranscoderTextSize - 1));
        }
        return text;
    }

    // One of the words, as its index.
    std::size_t Choice(std::string_view key, std::initializer_list<std::string_view> words,
                       std::size_t defaultIndex) const {
        const auto text = Find(key);
        if (!text) {
            return defaultIndex;
        }
        std::size_t index = 0;
        std::string expected;
        for (const auto word : words) {
            if (SameName(*text, word)) {
                return index;
            }
            expected += fmt::format("{}{}", index == 0 ? "" : ", ", word);
            ++index;
        }
        Fail(key, fmt::format("'{}' is not one of {}", *text, expected));
    }

    const std::string& Section() const { return m_section; }

private:
    const IniFile& m_file;
    std::string m_section;
};

SimTranscoderConfig ReadTranscoder(const IniFile& file, const std::string& section) {
    const CSectionReader reader(file, section);
    for (const std::string& key : file.Keys(section)) {
        const bool known = std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                                       [&](const char* name) { return SameName(key, name); });
        if (!known) {
            reader.Fail(key, "unknown key");
        }
    }

    SimTranscoderConfig transcoder;
    transcoder.kind =
        reader.Choice("Kind", {"datagram", "net2"}, 0) == 0 ? SimTranscoderKind::kDatagram
                                                            : SimTranscoderKind::kNet2;
    const bool net2 = transcoder.kind == SimTranscoderKind::kNet2;

    const auto addressText = reader.Find("Address");
    if (!addressText) {
        reader.Fail("Address", "missing");
    }
    const auto address = ParseAddressText(*addressText);
    const auto* bytes = address ? reinterpret_cast<const uint8_t*>(&address->ip) : nullptr;
    if (!address || addressText->find(':') != std::string::npos || bytes[0] != 127 ||
        address->ip == ParseAddressText("127.255.255.255")->ip ||
        address->ip == ParseAddressText("127.0.0.0")->ip) {
        reader.Fail("Address", fmt::format("'{}' is not a host address of 127.0.0.0/8",
                                           *addressText));
    }
    DeviceConfig& config = transcoder.config;
    config.IpAddr = address->ip;
    config.ConfigPort = static_cast<uint16_t>(reader.Number("ConfigPort", 0, 65535, 0));
    if (net2) {
        transcoder.shellPort =
            static_cast<uint16_t>(reader.Number("ShellPort", 0, 65535, kDefaultShellPort));
    } else if (reader.Find("ShellPort")) {
        reader.Fail("ShellPort", "only the net2 kind has a shell");
    }

    const uint32_t layout = reader.Number("Layout", 72, 184, net2 ? 72 : 184);
    if (layout == kCurrentPacketSize) {
        transcoder.layout = TranscoderLayout::kCurrent;
    } else if (layout == kEarlierPacketSize) {
        transcoder.layout = TranscoderLayout::kEarlier;
    } else if (layout == kNet2ScanPacketSize && net2) {
        transcoder.layout = TranscoderLayout::kNet2Scan;
    } else {
        reader.Fail("Layout", fmt::format("{} is not one of {}", layout,
                                          net2 ? "184, 150, 72" : "184, 150"));
    }

    DeviceInfo& info = transcoder.info;
    info.SerialNumber = reader.Number("Serial", 1, 0xFFFFFFFFu, std::nullopt);
    info.Channels = static_cast<uint8_t>(reader.Number("Channels", 1, 255, 6));
    info.HardwareVersion = static_cast<uint16_t>(reader.Number("HardwareVersion", 0, 65535, 100));
    info.SoftwareVersion = static_cast<uint16_t>(reader.Number("SoftwareVersion", 0, 65535, 100));
    info.DeviceType = static_cast<uint8_t>(reader.Number("DeviceType", 0, 255, 1));
    info.StateFlags = static_cast<uint8_t>(reader.Number("StateFlags", 0, 255, 0));

    SetFieldText(config.Description, reader.Text("Description"));
    config.ProtectLevel = static_cast<uint8_t>(reader.Number("ProtectLevel", 0, 2, 0));
    SetFieldText(config.CurrPassword, reader.Text("ConfigPassword"));
    SetFieldText(config.StartPassword, reader.Text("StartPassword"));
    config.Protocol = static_cast<uint8_t>(reader.Number("Protocol", 0, 255, 0));
    config.SubNetMask = ParseAddressText("255.0.0.0")->ip;
    config.DefaultGateway = ParseAddressText("127.0.0.1")->ip;
    config.FilterMinAddr = ParseAddressText("0.0.0.1")->ip;
    config.FilterMaxAddr = ParseAddressText("255.255.255.255")->ip;

    static constexpr SimTranscoderMode kModes[] = {
        SimTranscoderMode::kNormal, SimTranscoderMode::kBusy, SimTranscoderMode::kReject,
        SimTranscoderMode::kSilent, SimTranscoderMode::kMute};
    transcoder.mode = kModes[reader.Choice("Mode", {"normal", "busy", "reject", "silent", "mute"}, 0)];
    transcoder.answerDelayMs =
        static_cast<int>(reader.Number("AnswerDelayMs", 0, kMaxAnswerDelayMs, 0));
    transcoder.dropRequests =
        static_cast<int>(reader.Number("DropRequests", 0, kMaxDropRequests, 0));
    transcoder.configChangeError = reader.Number("ConfigChangeError", 0, 1, 0) == 1;
    static constexpr SimShellMode kShellModes[] = {SimShellMode::kNormal, SimShellMode::kOversize,
                                                   SimShellMode::kNoPrompt, SimShellMode::kSlow};
    if (!net2 && reader.Find("ShellMode")) {
        reader.Fail("ShellMode", "only the net2 kind has a shell");
    }
    transcoder.shellMode =
        kShellModes[reader.Choice("ShellMode", {"normal", "oversize", "noprompt", "slow"}, 0)];
    return transcoder;
}

// "TranscoderN" with N a decimal number: N, else 0.
int SectionNumber(std::string_view name) {
    constexpr std::string_view kPrefix = "Transcoder";
    if (name.size() <= kPrefix.size() || !SameName(name.substr(0, kPrefix.size()), kPrefix)) {
        return 0;
    }
    int number = 0;
    const auto digits = name.substr(kPrefix.size());
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc() && end == digits.data() + digits.size() ? number : 0;
}

}  // namespace

TranscoderScenario LoadTranscoderScenario(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw CTranscoderScenarioError(fmt::format("{}: no such scenario file", path));
    }
    const IniFile file(path);
    const auto sections = file.Sections();
    TranscoderScenario scenario;
    for (int n = 1; n <= kMaxScenarioTranscoders; ++n) {
        const std::string section = fmt::format("Transcoder{}", n);
        if (!file.HasSection(section)) {
            break;
        }
        scenario.transcoders.push_back(ReadTranscoder(file, section));
    }
    if (scenario.transcoders.empty()) {
        throw CTranscoderScenarioError(fmt::format("{}: no [Transcoder1] section", path));
    }
    for (const auto& section : sections) {
        const int number = SectionNumber(section);
        if (number < 1 || number > static_cast<int>(scenario.transcoders.size())) {
            throw CTranscoderScenarioError(fmt::format(
                "{}: [{}]: not a section of the scenario (sections are [Transcoder1] to "
                "[Transcoder{}], numbered without gaps)",
                path, section, scenario.transcoders.size()));
        }
    }

    // Two transcoders cannot listen at one place, and the server tells
    // transcoders apart by their serial numbers.
    std::set<std::pair<uint32_t, uint16_t>> datagramPlaces;
    std::set<std::pair<uint32_t, uint16_t>> shellPlaces;
    std::set<uint32_t> serials;
    for (std::size_t i = 0; i < scenario.transcoders.size(); ++i) {
        const auto& transcoder = scenario.transcoders[i];
        const std::string section = fmt::format("Transcoder{}", i + 1);
        const auto fail = [&](std::string_view key, std::string_view message) {
            throw CTranscoderScenarioError(
                fmt::format("{}: [{}] {}: {}", path, section, key, message));
        };
        // Copies: the packed fields cannot be bound to references.
        const uint32_t ip = transcoder.config.IpAddr;
        const uint16_t configPort = transcoder.config.ConfigPort;
        const uint32_t serial = transcoder.info.SerialNumber;
        if (configPort != 0 && !datagramPlaces.emplace(ip, configPort).second) {
            fail("ConfigPort", "another transcoder listens at the same address and port");
        }
        if (transcoder.kind == SimTranscoderKind::kNet2 && transcoder.shellPort != 0 &&
            !shellPlaces.emplace(ip, transcoder.shellPort).second) {
            fail("ShellPort", "another transcoder's shell listens at the same address and port");
        }
        if (!serials.insert(serial).second) {
            fail("Serial", fmt::format("{} is the serial number of another transcoder", serial));
        }
    }
    return scenario;
}

}  // namespace zorv
