#include "simulation/BoardScenario.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "devices/BoardDriver.h"
#include "platform/IniDocument.h"
#include "storage/WaveFormat.h"

namespace zorv {

namespace {

constexpr std::size_t kMaxWavBytes = 64u << 20;
constexpr int kMaxBoards = 16;
constexpr double kMaxSeconds = 10'000'000.0;

constexpr std::size_t kMaxScenarioBytes = 32u << 20;

// The value of a key, or defaultValue when the key is missing.
std::string Get(const CIniDocument& ini, std::string_view section, std::string_view key,
                std::string_view defaultValue) {
    const std::string* value = ini.Find(section, key);
    return value != nullptr ? *value : std::string(defaultValue);
}

// Where a value came from, for the messages of the errors.
struct Where {
    const std::string& file;
    std::string section;
    std::string key;

    [[noreturn]] void Fail(std::string_view message) const {
        throw CBoardScenarioError(fmt::format("{}: [{}] {}: {}", file, section, key, message));
    }
};

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream stream{std::string(text)};
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

// Items of a list separated by ';', blank items skipped.
std::vector<std::string> SplitItems(std::string_view text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view item = text.substr(start, end - start);
        if (item.find_first_not_of(" \t") != std::string_view::npos) {
            items.emplace_back(item);
        }
        start = end + 1;
    }
    return items;
}

// A whole word as an integer (decimal, or hex with 0x) within min..max.
int64_t ParseInteger(const Where& where, const std::string& word, int64_t min, int64_t max) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(word.c_str(), &end, 0);
    if (word.empty() || end != word.c_str() + word.size() || errno == ERANGE) {
        where.Fail(fmt::format("'{}' is not a number", word));
    }
    if (value < min || value > max) {
        where.Fail(fmt::format("{} is outside {}..{}", value, min, max));
    }
    return value;
}

double ParseNumber(const Where& where, const std::string& word, double min, double max) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (word.empty() || end != word.c_str() + word.size() || errno == ERANGE ||
        !std::isfinite(value)) {
        where.Fail(fmt::format("'{}' is not a number", word));
    }
    if (value < min || value > max) {
        where.Fail(fmt::format("{} is outside {}..{}", word, min, max));
    }
    return value;
}

int64_t ParseMs(const Where& where, const std::string& word) {
    return std::llround(ParseNumber(where, word, 0, kMaxSeconds) * 1000.0);
}

uint32_t ParseWord(const Where& where, const std::string& word) {
    return static_cast<uint32_t>(ParseInteger(where, word, 0, 0xFFFFFFFF));
}

void ExpectWords(const Where& where, const std::vector<std::string>& words, std::size_t min,
                 std::size_t max, std::string_view form) {
    if (words.size() < min || words.size() > max) {
        where.Fail(fmt::format("expected '{}'", form));
    }
}

std::array<uint8_t, kMaxGroups> ParseGroupBytes(const Where& where, const std::string& text) {
    const auto words = SplitWords(text);
    if (words.size() != 1 && words.size() != kMaxGroups) {
        where.Fail("expected one byte, or one per group");
    }
    std::array<uint8_t, kMaxGroups> bytes{};
    for (int g = 0; g < kMaxGroups; ++g) {
        const auto& word = words[words.size() == 1 ? 0 : static_cast<std::size_t>(g)];
        bytes[static_cast<std::size_t>(g)] =
            static_cast<uint8_t>(ParseInteger(where, word, 0, 255));
    }
    return bytes;
}

// LineParams bytes by the names of the fields.
int LineParamsField(std::string_view name) {
    static constexpr std::pair<std::string_view, int> kFields[] = {
        {"LineFailureLevel", 0}, {"LineActivateLevel", 1},   {"LineRingLevel", 2},
        {"AonRequestLength", 3}, {"AonRequestNumber", 4},    {"AonRequestPauseFirst", 5},
        {"AonRequestForm", 6},   {"AonRequestAmplitude", 7}, {"AonRequestPauseBetween", 8},
        {"MaxRingPause", 9},     {"MinActivateLevel", 10},
    };
    for (const auto& [fieldName, index] : kFields) {
        if (fieldName.size() == name.size() &&
            std::equal(name.begin(), name.end(), fieldName.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
            return index;
        }
    }
    return -1;
}

// The WAV files one scenario has read: lines that name the same file share
// its samples.
struct LoadedWav {
    std::shared_ptr<const std::vector<int16_t>> samples;
    uint32_t rate = 0;
};
struct WavCache {
    const BoardWavReader& read;
    std::map<std::string, LoadedWav> files;
};

SimAudio ParseAudio(const Where& where, const std::string& text,
                    const std::filesystem::path& directory, WavCache& wavs) {
    const auto words = SplitWords(text);
    SimAudio audio;
    if (words.empty() || words[0] == "silence") {
        ExpectWords(where, words, 0, 1, "silence");
        return audio;
    }
    if (words[0] == "wav") {
        // The rest of the line is the path, which may hold blanks.
        std::string path = text.substr(text.find("wav") + 3);
        path.erase(0, path.find_first_not_of(" \t"));
        if (path.empty()) {
            where.Fail("expected 'wav <file>'");
        }
        std::filesystem::path file(path);
        if (file.is_relative()) {
            file = directory / file;
        }
        audio.kind = SimAudioKind::Wav;
        audio.wavPath = file.lexically_normal().string();
        auto [loaded, isNew] = wavs.files.try_emplace(audio.wavPath);
        if (isNew) {
            try {
                loaded->second.samples = std::make_shared<const std::vector<int16_t>>(
                    wavs.read(audio.wavPath, loaded->second.rate));
            } catch (const CBoardScenarioError& e) {
                wavs.files.erase(loaded);
                where.Fail(e.what());
            }
        }
        audio.wavSamples = loaded->second.samples;
        audio.wavRate = loaded->second.rate;
        return audio;
    }
    if (words[0] != "tone") {
        where.Fail("expected 'silence', 'tone ...' or 'wav <file>'");
    }
    constexpr std::string_view kToneForm =
        "tone <Hz> <amplitude> [burst <on s> <off s>] [swing <Hz>]";
    if (words.size() < 3) {
        where.Fail(fmt::format("expected '{}'", kToneForm));
    }
    audio.kind = SimAudioKind::Tone;
    audio.frequencyHz = ParseNumber(where, words[1], 0, 32000);
    audio.amplitude = static_cast<int>(ParseInteger(where, words[2], 0, 32767));
    for (std::size_t i = 3; i < words.size();) {
        if (words[i] == "burst" && i + 2 < words.size()) {
            audio.onSeconds = ParseNumber(where, words[i + 1], 0.001, kMaxSeconds);
            audio.offSeconds = ParseNumber(where, words[i + 2], 0, kMaxSeconds);
            i += 3;
        } else if (words[i] == "swing" && i + 1 < words.size()) {
            audio.modulationHz = ParseNumber(where, words[i + 1], 0, 1000);
            i += 2;
        } else {
            where.Fail(fmt::format("expected '{}'", kToneForm));
        }
    }
    return audio;
}

SimLineEvent ParseLineEvent(const Where& where, const std::string& item) {
    const auto words = SplitWords(item);
    constexpr std::string_view kForm =
        "<seconds> free|ring|in|out|lost, <seconds> digit <0..15> or <seconds> event <code> "
        "<value>";
    if (words.size() < 2) {
        where.Fail(fmt::format("'{}': expected {}", item, kForm));
    }
    SimLineEvent event;
    event.timeMs = ParseMs(where, words[0]);
    static constexpr std::pair<std::string_view, uint8_t> kLineStates[] = {{"free", kLineFree},
                                                                           {"ring", kLineRing},
                                                                           {"in", kLineCallIn},
                                                                           {"out", kLineCallOut},
                                                                           {"lost", kLineLost}};
    for (const auto& [name, value] : kLineStates) {
        if (words[1] == name && words.size() == 2) {
            event.code = Code(DspEvent::Line);
            event.value = value;
            return event;
        }
    }
    if (words[1] == "digit" && words.size() == 3) {
        event.code = Code(DspEvent::Digit);
        event.value = static_cast<uint8_t>(ParseInteger(where, words[2], 0, 15));
        return event;
    }
    if (words[1] == "event" && words.size() == 4) {
        event.code = static_cast<uint8_t>(ParseInteger(where, words[2], 0, 255));
        event.value = static_cast<uint8_t>(ParseInteger(where, words[3], 0, 255));
        return event;
    }
    where.Fail(fmt::format("'{}': expected {}", item, kForm));
}

// "<seconds> aon <7 digits> [<category>]", "<seconds> fsk <number>|P|O" or
// "<seconds> dtmf <keys>"; false when the item is no number signal.
bool ParseNumberSignalItem(const Where& where, const std::string& item, SimNumberSignal& signal) {
    const std::size_t blank = item.find_first_of(" \t", item.find_first_not_of(" \t"));
    if (blank == std::string::npos) {
        return false;
    }
    std::string error;
    if (!ParseNumberSignal(std::string_view(item).substr(blank), signal, error)) {
        if (error.empty()) {
            return false;
        }
        where.Fail(fmt::format("'{}': {}", item, error));
    }
    signal.timeMs = ParseMs(where, SplitWords(item)[0]);
    return true;
}

SimFault ParseFault(const Where& where, const std::string& item) {
    const auto words = SplitWords(item);
    if (words.size() < 2) {
        where.Fail(fmt::format("'{}': expected '<seconds> <fault> ...'", item));
    }
    SimFault fault;
    fault.timeMs = ParseMs(where, words[0]);
    const std::string& kind = words[1];
    auto group = [&](std::size_t i) {
        return static_cast<int>(ParseInteger(where, words[i], 0, kMaxGroups - 1));
    };
    if (kind == "garbage") {
        ExpectWords(where, words, 2, 4, "<seconds> garbage [count [byte]]");
        fault.kind = SimFaultKind::Garbage;
        fault.amount = words.size() > 2 ? ParseInteger(where, words[2], 1, 65536) : 1;
        const auto byte = words.size() > 3 ? ParseInteger(where, words[3], 0, 255) : 0xA5;
        fault.bytes.assign(static_cast<std::size_t>(fault.amount), static_cast<uint8_t>(byte));
    } else if (kind == "bad-group-audio" || kind == "bad-group-event") {
        ExpectWords(where, words, 2, 2, "<seconds> bad-group-audio|bad-group-event");
        fault.kind =
            kind == "bad-group-audio" ? SimFaultKind::BadGroupAudio : SimFaultKind::BadGroupEvent;
    } else if (kind == "stall") {
        ExpectWords(where, words, 3, 3, "<seconds> stall <seconds>");
        fault.kind = SimFaultKind::Stall;
        fault.amount = ParseMs(where, words[2]);
    } else if (kind == "read-error") {
        ExpectWords(where, words, 2, 3, "<seconds> read-error [count]");
        fault.kind = SimFaultKind::ReadError;
        fault.amount = words.size() > 2 ? ParseInteger(where, words[2], 1, 1'000'000) : 1;
    } else if (kind == "silent") {
        ExpectWords(where, words, 3, 4, "<seconds> silent <group> [seconds]");
        fault.kind = SimFaultKind::SilentGroup;
        fault.group = group(2);
        fault.amount = words.size() > 3 ? ParseMs(where, words[3]) : 0;
    } else if (kind == "converter-stuck") {
        ExpectWords(where, words, 3, 3, "<seconds> converter-stuck <group>");
        fault.kind = SimFaultKind::ConverterStuck;
        fault.group = group(2);
    } else if (kind == "raw") {
        ExpectWords(where, words, 3, 65536, "<seconds> raw <byte> ...");
        fault.kind = SimFaultKind::Raw;
        for (std::size_t i = 2; i < words.size(); ++i) {
            fault.bytes.push_back(static_cast<uint8_t>(ParseInteger(where, words[i], 0, 255)));
        }
    } else {
        where.Fail(fmt::format("'{}': unknown fault '{}'", item, kind));
    }
    return fault;
}

uint32_t InfoWordFromParts(const Where& where, const CIniDocument& ini,
                           const std::string& section) {
    Where groups{where.file, section, "Groups"};
    const auto counts = SplitWords(Get(ini, section, "Groups", "6 6 0"));
    if (counts.size() != kMaxGroups) {
        groups.Fail("expected three channel counts");
    }
    uint32_t word = 0;
    const int shifts[kMaxGroups] = {0, 4, 8};
    for (int g = 0; g < kMaxGroups; ++g) {
        const auto count = ParseInteger(groups, counts[static_cast<std::size_t>(g)], 0, 7);
        word |= static_cast<uint32_t>(count) << shifts[g];
    }
    Where id{where.file, section, "BoardId"};
    word |= static_cast<uint32_t>(ParseInteger(id, Get(ini, section, "BoardId", "0x12"), 0, 0xFFF))
            << 12;
    Where mode{where.file, section, "Group0Mode"};
    if (ParseInteger(mode, Get(ini, section, "Group0Mode", "0"), 0, 1) != 0) {
        word |= 0x8;
    }
    return word;
}

void LoadChannel(const std::string& file, const CIniDocument& ini, const std::string& section,
                 const std::filesystem::path& directory, WavCache& wavs, SimChannel& channel) {
    auto where = [&](const char* key) { return Where{file, section, key}; };
    if (auto audio = ini.Find(section, "Audio")) {
        channel.audio = ParseAudio(where("Audio"), *audio, directory, wavs);
    }
    if (auto during = ini.Find(section, "AudioDuring")) {
        if (*during != "calls" && *during != "always") {
            where("AudioDuring").Fail("expected 'calls' or 'always'");
        }
        channel.audio.duringCallsOnly = *during == "calls";
    }
    if (auto timeline = ini.Find(section, "Timeline")) {
        for (const auto& item : SplitItems(*timeline)) {
            SimNumberSignal signal;
            if (ParseNumberSignalItem(where("Timeline"), item, signal)) {
                channel.signals.push_back(signal);
            } else {
                channel.timeline.push_back(ParseLineEvent(where("Timeline"), item));
            }
        }
        std::stable_sort(channel.timeline.begin(), channel.timeline.end(),
                         [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
    }
    if (auto polarity = ini.Find(section, "Polarity")) {
        const auto value = ParseInteger(where("Polarity"), *polarity, -1, 1);
        if (value == 0) {
            where("Polarity").Fail("expected 1 or -1");
        }
        channel.polarity = static_cast<int>(value);
    }
    if (auto params = ini.Find(section, "Params")) {
        const auto words = SplitWords(*params);
        if (words.size() != sizeof(LineParams)) {
            where("Params").Fail("expected the 11 bytes of the line parameters");
        }
        auto* bytes = reinterpret_cast<uint8_t*>(&channel.powerUpParams);
        for (std::size_t i = 0; i < words.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(ParseInteger(where("Params"), words[i], 0, 255));
        }
    }
    if (auto drift = ini.Find(section, "Drift")) {
        const auto words = SplitWords(*drift);
        ExpectWords(where("Drift"), words, 2, 2, "<field> <delta>");
        channel.driftField = LineParamsField(words[0]);
        if (channel.driftField < 0) {
            where("Drift").Fail(fmt::format("'{}' is not a line parameter", words[0]));
        }
        channel.driftDelta = static_cast<int>(ParseInteger(where("Drift"), words[1], -255, 255));
    }
}

SimBoardConfig LoadBoard(const std::string& file, const CIniDocument& ini,
                         const std::string& section, const std::filesystem::path& directory,
                         int defaultIndex, WavCache& wavs) {
    SimBoardConfig board;
    auto where = [&](const char* key) { return Where{file, section, key}; };
    board.deviceName = Get(ini, section, "Driver", CBoardDriver::kDeviceName);
    if (board.deviceName != "Zorv18LDevice" && board.deviceName != "VeskoPCIDevice") {
        where("Driver").Fail("expected Zorv18LDevice or VeskoPCIDevice");
    }
    board.index = static_cast<int>(ParseInteger(
        where("Index"), Get(ini, section, "Index", std::to_string(defaultIndex)), 0, 99));
    if (auto info = ini.Find(section, "InfoWord")) {
        board.infoWord = ParseWord(where("InfoWord"), *info);
    } else {
        board.infoWord = InfoWordFromParts(where("InfoWord"), ini, section);
    }
    if (auto version = ini.Find(section, "Version")) {
        board.versionByte = ParseGroupBytes(where("Version"), *version);
    }
    if (auto status = ini.Find(section, "Status")) {
        board.statusByte = ParseGroupBytes(where("Status"), *status);
    }
    auto integer = [&](const char* key, int defaultValue, int max) {
        return static_cast<int>(
            ParseInteger(where(key), Get(ini, section, key, std::to_string(defaultValue)), 0, max));
    };
    board.commandTakeReads = integer("CommandTakeReads", board.commandTakeReads, 1'000'000);
    board.commandTakeMs = integer("CommandTakeMs", board.commandTakeMs, 60'000);
    board.converterBusyReads = integer("ConverterBusyReads", board.converterBusyReads, 1'000'000);
    // A working processor reports its group every second unless told otherwise.
    board.heartbeatMs = 1000;
    if (auto heartbeat = ini.Find(section, "Heartbeat")) {
        board.heartbeatMs = ParseMs(where("Heartbeat"), *heartbeat);
    }
    if (auto repeat = ini.Find(section, "Repeat")) {
        board.repeatMs = ParseMs(where("Repeat"), *repeat);
    }
    if (auto refused = ini.Find(section, "RefuseControls")) {
        for (const auto& word : SplitWords(*refused)) {
            board.refusedControls.push_back(ParseWord(where("RefuseControls"), word));
        }
    }
    if (auto faults = ini.Find(section, "Faults")) {
        for (const auto& item : SplitItems(*faults)) {
            board.faults.push_back(ParseFault(where("Faults"), item));
        }
        std::stable_sort(board.faults.begin(), board.faults.end(),
                         [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
    }
    for (int c = 0; c < kSimMaxChannels; ++c) {
        const std::string channelSection = fmt::format("{}.Channel{}", section, c);
        if (ini.HasSection(channelSection)) {
            LoadChannel(file, ini, channelSection, directory, wavs,
                        board.channels[static_cast<std::size_t>(c)]);
        }
    }
    return board;
}

// The bytes of a regular file of at most maxBytes, read into a buffer of the
// file's size (a scenario may name a WAV for every line of 16 boards). A
// FIFO or device is refused rather than waited on.
std::string ReadRegularFile(const std::string& path, std::size_t maxBytes,
                            std::string_view limitText) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw CBoardScenarioError(fmt::format("{}: cannot be opened (no regular file)", path));
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        throw CBoardScenarioError(fmt::format("{}: cannot be opened", path));
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || !in.seekg(0)) {
        throw CBoardScenarioError(fmt::format("{}: cannot be read", path));
    }
    if (static_cast<std::uintmax_t>(size) > maxBytes) {
        throw CBoardScenarioError(fmt::format("{}: larger than {}", path, limitText));
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace

uint32_t ConverterRateHz(uint16_t rateCode) {
    switch (rateCode) {
        case 0x810C:
            return 8000;
        case 0x810D:
            return 16000;
        case 0x810E:
            return 32000;
        case 0x810F:
            return 64000;
        default:
            return 0;
    }
}

std::vector<int16_t> ReadBoardWav(const std::string& path, uint32_t& rate) {
    const std::string bytes = ReadRegularFile(path, kMaxWavBytes, "64 MiB");
    return ParseBoardWav(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                         rate, path);
}

std::vector<int16_t> ParseBoardWav(std::span<const uint8_t> bytes, uint32_t& rate,
                                   const std::string& name) {
    auto fail = [&](std::string_view message) {
        throw CBoardScenarioError(fmt::format("{}: {}", name, message));
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        fail("not a RIFF/WAVE file");
    }
    bool haveFormat = false;
    std::optional<std::pair<std::size_t, std::size_t>> data;  // offset, size
    std::size_t p = 12;
    while (p + 8 <= bytes.size()) {
        const uint8_t* id = bytes.data() + p;
        const std::size_t size = LoadLe32(bytes.data() + p + 4);
        const std::size_t body = p + 8;
        const std::size_t available = std::min(size, bytes.size() - body);
        if (std::memcmp(id, "fmt ", 4) == 0) {
            if (available < 16) {
                fail("its format chunk is too short");
            }
            const uint8_t* f = bytes.data() + body;
            const uint16_t tag = LoadLe16(f);
            const uint16_t channels = LoadLe16(f + 2);
            rate = LoadLe32(f + 4);
            const uint16_t bits = LoadLe16(f + 14);
            bool pcm = tag == 1;
            if (tag == 0xFFFE && available >= 26) {  // extensible: PCM sub-format
                pcm = LoadLe16(f + 24) == 1;
            }
            if (!pcm || bits != 16 || channels != 1) {
                fail(fmt::format("must be 16-bit PCM mono (format {}, {} channels, {} bits)", tag,
                                 channels, bits));
            }
            if (rate != 8000 && rate != 16000 && rate != 32000 && rate != 64000) {
                fail(
                    fmt::format("{} Hz: the board samples at 8000, 16000, 32000 or 64000 Hz and "
                                "the simulator does not resample",
                                rate));
            }
            haveFormat = true;
        } else if (std::memcmp(id, "data", 4) == 0 && !data) {
            data = std::make_pair(body, available);
        }
        if (size > bytes.size() - body) {
            break;  // the last chunk, cut short
        }
        p = body + size + (size & 1);
    }
    if (!haveFormat) {
        fail("has no format chunk");
    }
    if (!data || data->second < 2) {
        fail("has no samples");
    }
    std::vector<int16_t> samples(data->second / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(LoadLe16(bytes.data() + data->first + 2 * i));
    }
    return samples;
}

SimScenario LoadBoardScenario(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw CBoardScenarioError(fmt::format("{}: no such scenario file", path));
    }
    const std::string text = ReadRegularFile(path, kMaxScenarioBytes, "32 MiB");
    return ParseBoardScenario(text, path, std::filesystem::path(path).parent_path(), ReadBoardWav);
}

SimScenario ParseBoardScenario(std::string_view text, const std::string& name,
                               const std::filesystem::path& directory,
                               const BoardWavReader& readWav) {
    const std::string& path = name;
    const CIniDocument ini = CIniDocument::Parse(text);
    SimScenario scenario;
    WavCache wavs{readWav, {}};
    for (int b = 0; b < kMaxBoards; ++b) {
        const std::string section = fmt::format("Board{}", b);
        if (!ini.HasSection(section)) {
            break;
        }
        const std::string driver = Get(ini, section, "Driver", CBoardDriver::kDeviceName);
        const auto sameDriver =
            std::count_if(scenario.boards.begin(), scenario.boards.end(),
                          [&](const SimBoardConfig& board) { return board.deviceName == driver; });
        scenario.boards.push_back(
            LoadBoard(path, ini, section, directory, static_cast<int>(sameDriver), wavs));
    }
    if (scenario.boards.empty()) {
        throw CBoardScenarioError(fmt::format("{}: no [Board0] section", path));
    }
    for (std::size_t i = 0; i < scenario.boards.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (scenario.boards[i].deviceName == scenario.boards[j].deviceName &&
                scenario.boards[i].index == scenario.boards[j].index) {
                throw CBoardScenarioError(fmt::format("{}: [Board{}] Index: {} {} is taken", path,
                                                      i, scenario.boards[i].deviceName,
                                                      scenario.boards[i].index));
            }
        }
    }
    return scenario;
}

}  // namespace zorv
