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

// Where a line's caller number goes in its calls: the FSK message (about
// 0.6 s) 2 s into the ring, as between a first and a second ring burst
// (a receiver listens for 4 s from the first ring); the DTMF caller ID
// (about 1.3 s) ends before the call is taken, late in the ring (a ring's
// first moments may pass while a stream is being set up); the AON answer
// follows the request after the call is taken.
constexpr int64_t kFskIntoRingMs = 2000;
constexpr int64_t kDtmfBeforeCallInMs = 1500;
constexpr int64_t kNumberRingMs = 3000;
constexpr int64_t kAonAfterCallInMs = 600;

constexpr int kMaxAnswerDelayMs = 60'000;
constexpr int kMaxDropRequests = 1000;
constexpr uint16_t kDefaultShellPort = 23;

const char* const kKnownKeys[] = {
    "Kind",          "Address",         "ConfigPort",     "ShellPort",      "Layout",
    "Serial",        "Channels",        "HardwareVersion", "SoftwareVersion", "DeviceType",
    "StateFlags",    "Description",     "ProtectLevel",   "ConfigPassword", "StartPassword",
    "Protocol",      "Mode",            "AnswerDelayMs",  "DropRequests",   "ConfigChangeError",
    "ShellMode",     "DropEvery",       "ReorderPairs",   "DuplicateEvery", "GapOnce",
    "SequenceStart", "RefuseStart",     "SilenceAfterSeconds", "SilenceSeconds", "SpeexRefused",
    "SpeexErrorCode", "DropDataAfterSeconds", "ReuseSpeexFrames",
};


bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

constexpr int kLineToneAmplitude = 8000;
constexpr uint32_t kMaxToneHz = 15000;
constexpr uint32_t kMaxCallSeconds = 86400;

// "Line<N><Suffix>" with N 1..6 and a known suffix.
bool IsLineKey(std::string_view key) {
    constexpr std::string_view kPrefix = "Line";
    if (key.size() < kPrefix.size() + 2 || !SameName(key.substr(0, kPrefix.size()), kPrefix)) {
        return false;
    }
    const char digit = key[kPrefix.size()];
    if (digit < '1' || digit > '0' + kSimTranscoderLines) {
        return false;
    }
    const auto suffix = key.substr(kPrefix.size() + 1);
    return SameName(suffix, "Tone") || SameName(suffix, "Wav") || SameName(suffix, "Calls") ||
           SameName(suffix, "Lost") || SameName(suffix, "Number");
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

// Whole decimal numbers separated by blanks.
std::optional<std::vector<uint32_t>> Numbers(std::string_view text) {
    std::vector<uint32_t> numbers;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        uint32_t value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), value);
        if (error != std::errc()) {
            return std::nullopt;
        }
        numbers.push_back(value);
        i = static_cast<std::size_t>(end - text.data());
        if (i < text.size() && text[i] != ' ' && text[i] != '\t') {
            return std::nullopt;
        }
    }
    return numbers;
}

void ReadLines(const CSectionReader& reader, const std::filesystem::path& directory,
               SimTranscoderConfig& transcoder) {
    for (int n = 1; n <= kSimTranscoderLines; ++n) {
        SimTranscoderLine& line = transcoder.lines[static_cast<std::size_t>(n - 1)];
        const std::string toneKey = fmt::format("Line{}Tone", n);
        const std::string wavKey = fmt::format("Line{}Wav", n);
        const std::string callsKey = fmt::format("Line{}Calls", n);
        if (reader.Find(toneKey) && reader.Find(wavKey)) {
            reader.Fail(wavKey, fmt::format("a line plays a tone ({}) or a file, not both", toneKey));
        }
        if (reader.Find(toneKey)) {
            line.toneHz = reader.Number(toneKey, 1, kMaxToneHz, 0);
            line.amplitude = kLineToneAmplitude;
        }
        if (const auto wav = reader.Find(wavKey)) {
            const std::filesystem::path path = directory / *wav;
            try {
                uint32_t rate = 0;
                line.wavSamples =
                    std::make_shared<const std::vector<int16_t>>(ReadBoardWav(path.string(), rate));
                line.wavRate = rate;
                line.wavPath = path.string();
            } catch (const CBoardScenarioError& error) {
                reader.Fail(wavKey, error.what());
            }
        }
        if (const auto calls = reader.Find(callsKey)) {
            const auto numbers = Numbers(*calls);
            if (!numbers || numbers->size() != 3 || (*numbers)[1] == 0 ||
                std::any_of(numbers->begin(), numbers->end(),
                            [](uint32_t v) { return v > kMaxCallSeconds; })) {
                reader.Fail(callsKey,
                            fmt::format("'{}' is not three whole seconds: ring, call in (at "
                                        "least 1), free",
                                        *calls));
            }
            line.ringMs = int64_t{(*numbers)[0]} * 1000;
            line.callMs = int64_t{(*numbers)[1]} * 1000;
            line.freeMs = int64_t{(*numbers)[2]} * 1000;
        }
        const std::string lostKey = fmt::format("Line{}Lost", n);
        line.lost = reader.Number(lostKey, 0, 1, 0) == 1;
        if (line.lost && line.callMs > 0) {
            reader.Fail(lostKey, fmt::format("a lost line has no calls ({})", callsKey));
        }
        const std::string numberKey = fmt::format("Line{}Number", n);
        if (const auto text = reader.Find(numberKey)) {
            SimNumberSignal signal;
            std::string error;
            if (!ParseNumberSignal(*text, signal, error)) {
                reader.Fail(numberKey, error.empty() ? "expected aon, fsk or dtmf" : error);
            }
            if (line.callMs == 0) {
                reader.Fail(numberKey, fmt::format("a number comes with calls ({})", callsKey));
            }
            if (signal.kind != SimSignalKind::kAon && line.ringMs < kNumberRingMs) {
                reader.Fail(numberKey, fmt::format("a caller ID during the ring needs a ring of "
                                                   "{} s or more",
                                                   kNumberRingMs / 1000));
            }
            line.number = signal;
        }
    }
}

void ReadFaults(const CSectionReader& reader, bool net2, SimStreamFaults& faults) {
    const char* const datagramOnly[] = {"DropEvery", "ReorderPairs", "DuplicateEvery", "GapOnce",
                                        "SequenceStart"};
    const char* const net2Only[] = {"SpeexRefused", "SpeexErrorCode", "DropDataAfterSeconds"};
    const auto refuse = [&](const auto& keys, const char* message) {
        for (const char* key : keys) {
            if (reader.Find(key)) {
                reader.Fail(key, message);
            }
        }
    };
    if (net2) {
        refuse(datagramOnly, "only the datagram kind streams datagrams");
    } else {
        refuse(net2Only, "only the net2 kind has this fault");
    }
    faults.dropEvery = static_cast<int>(reader.Number("DropEvery", 0, 1000, 0));
    faults.reorderPairs = reader.Number("ReorderPairs", 0, 1, 0) == 1;
    faults.duplicateEvery = static_cast<int>(reader.Number("DuplicateEvery", 0, 1000, 0));
    faults.gapOnce = static_cast<int>(reader.Number("GapOnce", 0, 255, 0));
    faults.sequenceStart = static_cast<uint16_t>(reader.Number("SequenceStart", 0, 65535, 0));
    faults.refuseStart = reader.Number("RefuseStart", 0, 1, 0) == 1;
    faults.silenceAfterMs = int64_t{reader.Number("SilenceAfterSeconds", 0, kMaxCallSeconds, 0)} * 1000;
    faults.silenceMs = int64_t{reader.Number("SilenceSeconds", 0, kMaxCallSeconds, 0)} * 1000;
    faults.speexRefused = reader.Number("SpeexRefused", 0, 1, 0) == 1;
    if (const auto code = reader.Find("SpeexErrorCode")) {
        const bool hex = code->size() >= 3 && code->size() <= 10 && code->starts_with("0x") &&
                         std::all_of(code->begin() + 2, code->end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                         });
        if (!hex) {
            reader.Fail("SpeexErrorCode", fmt::format("'{}' is not a code like 0x3", *code));
        }
        faults.speexErrorCode = *code;
    }
    faults.dropDataAfterMs =
        int64_t{reader.Number("DropDataAfterSeconds", 0, kMaxCallSeconds, 0)} * 1000;
}

SimTranscoderConfig ReadTranscoder(const IniFile& file, const std::string& section) {
    const CSectionReader reader(file, section);
    for (const std::string& key : file.Keys(section)) {
        const bool known = std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                                       [&](const char* name) { return SameName(key, name); });
        if (!known && !IsLineKey(key)) {
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
    if (!net2 && reader.Find("ReuseSpeexFrames")) {
        reader.Fail("ReuseSpeexFrames", "only the net2 kind sends Speex");
    }
    transcoder.reuseSpeexFrames = reader.Number("ReuseSpeexFrames", 0, 1, 0) == 1;
    ReadLines(reader, std::filesystem::absolute(file.Path()).parent_path(), transcoder);
    ReadFaults(reader, net2, transcoder.faults);
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

SimChannel LineChannel(const SimTranscoderLine& line) {
    SimChannel channel;
    SimAudio& audio = channel.audio;
    if (line.wavSamples && !line.wavSamples->empty()) {
        audio.kind = SimAudioKind::Wav;
        audio.wavSamples = line.wavSamples;
        audio.wavRate = line.wavRate;
        audio.wavPath = line.wavPath;
    } else if (line.toneHz > 0) {
        audio.kind = SimAudioKind::Tone;
        audio.frequencyHz = line.toneHz;
        audio.amplitude = line.amplitude;
    }
    if (line.lost) {
        audio.kind = SimAudioKind::Silence;
        channel.timeline = {{0, Code(DspEvent::Line), kLineLost}};
    } else if (line.callMs > 0) {
        audio.duringCallsOnly = true;
        const uint8_t code = Code(DspEvent::Line);
        channel.timeline = {{0, code, kLineRing},
                            {line.ringMs, code, kLineCallIn},
                            {line.ringMs + line.callMs, code, kLineFree}};
        if (line.number) {
            SimNumberSignal signal = *line.number;
            switch (signal.kind) {
                case SimSignalKind::kFsk:
                    signal.timeMs = kFskIntoRingMs;
                    break;
                case SimSignalKind::kDtmf:
                    signal.timeMs = line.ringMs - kDtmfBeforeCallInMs;
                    break;
                case SimSignalKind::kAon:
                    signal.timeMs = line.ringMs + kAonAfterCallInMs;
                    break;
            }
            channel.signals.push_back(signal);
        }
    }
    return channel;
}

int64_t CallCycleMs(const SimTranscoderConfig& config) {
    int64_t cycle = 0;
    for (const SimTranscoderLine& line : config.lines) {
        if (line.callMs > 0) {
            cycle = std::max(cycle, line.ringMs + line.callMs + line.freeMs);
        }
    }
    return cycle;
}

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
