#include "transcoders/TranscoderRegistry.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "platform/CredentialCipher.h"

namespace zorv {

namespace {

constexpr const char* kStarted = "Started";
constexpr const char* kSerialNumber = "SerialNumber";
constexpr const char* kIpAddress = "IPAddress";
constexpr const char* kAonLevel = "AonLevel";
constexpr const char* kAonReqForm = "AonReqForm";
constexpr const char* kTranscoderType = "TranscoderType";
constexpr const char* kDataPort = "DataPort";
constexpr const char* kChannelsCount = "ChannelsCount";
constexpr const char* kPassword = "Password";

constexpr const char* kPingPorts = "PingPorts";
constexpr const char* kPingAddress = "PingAddress";
constexpr const char* kAdvancedParam = "AdvancedParam";

std::string SectionName(std::size_t position) {
    return fmt::format("Transcoder-{}", position);
}

std::string PortKey(std::size_t index) {
    return fmt::format("Port{}", index);
}

std::string AddressKey(std::size_t index) {
    return fmt::format("Address{}", index);
}

// A settings number within 0..limit; nullopt when missing or out of range.
std::optional<uint32_t> NumberIn(const std::optional<std::string>& text, uint32_t limit) {
    if (!text) {
        return std::nullopt;
    }
    const int64_t value = IniFile::ParseLeadingInt(*text);
    if (value < 0 || value > static_cast<int64_t>(limit)) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kU16Max = std::numeric_limits<uint16_t>::max();

// Index of a key named prefix + decimal number (any letter case), or nullopt.
std::optional<std::size_t> IndexOfKey(std::string_view key, std::string_view prefix) {
    if (key.size() <= prefix.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(key[i]) != lower(prefix[i])) {
            return std::nullopt;
        }
    }
    std::size_t index = 0;
    const char* begin = key.data() + prefix.size();
    const char* end = key.data() + key.size();
    const auto [stop, error] = std::from_chars(begin, end, index);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return index;
}

// Deletes the keys prefix<k> of a section with k >= count: what lies beyond
// a list that was just written from index 0.
bool DeleteEntriesFrom(IniFile& file, std::string_view section, std::string_view prefix,
                       std::size_t count) {
    bool ok = true;
    for (const std::string& key : file.Keys(section)) {
        const std::optional<std::size_t> index = IndexOfKey(key, prefix);
        if (index && *index >= count) {
            ok = file.DeleteKey(section, key) && ok;
        }
    }
    return ok;
}

// The nine keys of a registration as written to its section.
void AppendSectionWrites(std::vector<IniWrite>& writes, std::size_t position,
                         const RegisteredTranscoder& transcoder) {
    const tagStoredTranscoderConfig& stored = transcoder.stored;
    const std::string section = SectionName(position);
    const uint32_t type =
        (stored.deviceClass == kDatagramTranscoder || stored.deviceClass == kNet2Transcoder)
            ? stored.deviceClass
            : 0;
    std::array<uint8_t, kTranscoderTextSize> password{};
    std::memcpy(password.data(), stored.Password, password.size());
    ApplyCredentialCipher(password);

    const auto add = [&](const char* key, std::string value) {
        writes.push_back(IniWrite{section, key, std::move(value)});
    };
    add(kStarted, std::to_string(stored.tsStarted));
    add(kSerialNumber, std::to_string(stored.tsSerialNumber));
    add(kIpAddress, AddressText(TranscoderAddress{stored.tsAddr, stored.tsPort}));
    add(kAonLevel, std::to_string(transcoder.aonLevel));
    add(kAonReqForm, std::to_string(transcoder.aonForm));
    add(kTranscoderType, std::to_string(type));
    add(kDataPort, std::to_string(stored.dataPort));
    add(kChannelsCount, std::to_string(stored.tsChannelsCount));
    add(kPassword, IniFile::EncodeStruct(password.data(), password.size()));
}

TranscoderSectionValues ReadSection(const IniFile& file, std::size_t position) {
    const std::string section = SectionName(position);
    TranscoderSectionValues values;
    values.started = file.Find(section, kStarted);
    values.serialNumber = file.Find(section, kSerialNumber);
    values.ipAddress = file.Find(section, kIpAddress);
    values.aonLevel = file.Find(section, kAonLevel);
    values.aonReqForm = file.Find(section, kAonReqForm);
    values.transcoderType = file.Find(section, kTranscoderType);
    values.dataPort = file.Find(section, kDataPort);
    values.channelsCount = file.Find(section, kChannelsCount);
    std::array<uint8_t, kTranscoderTextSize> password{};
    if (file.GetStruct(section, kPassword, password.data(), password.size())) {
        values.password = password;
    }
    return values;
}

// A password field as the registry keeps it: terminated within its size, the
// bytes after the terminator zero.
void NormalizePassword(char (&password)[kTranscoderTextSize]) {
    const std::string text = FieldText(password);
    SetFieldText(password, text);
}

}  // namespace

std::optional<RegisteredTranscoder> ValidateTranscoderSection(
    const TranscoderSectionValues& values) {
    const std::optional<uint32_t> started = NumberIn(values.started, kU32Max);
    const std::optional<uint32_t> serial = NumberIn(values.serialNumber, kU32Max);
    const std::optional<uint32_t> aonLevel = NumberIn(values.aonLevel, kU32Max);
    const std::optional<uint32_t> aonForm = NumberIn(values.aonReqForm, kU32Max);
    const std::optional<uint32_t> type = NumberIn(values.transcoderType, kU32Max);
    const std::optional<uint32_t> dataPort = NumberIn(values.dataPort, kU16Max);
    const std::optional<uint32_t> channels = NumberIn(values.channelsCount, kU16Max);
    const std::optional<TranscoderAddress> address =
        values.ipAddress ? ParseAddressText(*values.ipAddress) : std::nullopt;
    if (!started || !serial || !aonLevel || !aonForm || !type || !dataPort || !channels ||
        !address || !values.password) {
        return std::nullopt;
    }
    if (*type != kDatagramTranscoder && *type != kNet2Transcoder) {
        return std::nullopt;
    }

    RegisteredTranscoder transcoder;
    tagStoredTranscoderConfig& stored = transcoder.stored;
    stored.tsStarted = *started != 0 ? 1 : 0;
    stored.tsSerialNumber = *serial;
    stored.tsAddr = address->ip;
    stored.tsPort = address->port;
    stored.tsChannelsCount = static_cast<uint16_t>(*channels);
    stored.tsProtocolId = 0;  // not stored
    stored.dataPort = static_cast<uint16_t>(*dataPort);
    std::array<uint8_t, kTranscoderTextSize> password = *values.password;
    ApplyCredentialCipher(password);
    std::memcpy(stored.Password, password.data(), password.size());
    NormalizePassword(stored.Password);
    stored.deviceClass = static_cast<uint8_t>(*type);
    transcoder.aonLevel = *aonLevel;
    transcoder.aonForm = *aonForm;
    return transcoder;
}

CTranscoderRegistry::CTranscoderRegistry(std::string iniPath)
    : m_file(std::move(iniPath), IniAccess::kOwner) {}

void CTranscoderRegistry::Load() {
    m_file.RestrictAccess();
    m_transcoders.clear();
    m_pingPorts.clear();
    m_pingAddresses.clear();
    m_sectionsShifted = false;

    for (std::size_t position = 0; position < kMaxRegisteredTranscoders; ++position) {
        std::optional<RegisteredTranscoder> transcoder =
            ValidateTranscoderSection(ReadSection(m_file, position));
        // A serial registered twice (a hand-edited file, or a save cut short)
        // keeps its first section.
        if (!transcoder || FindBySerial(transcoder->stored.tsSerialNumber) != nullptr) {
            continue;
        }
        if (m_transcoders.size() != position) {
            m_sectionsShifted = true;
        }
        m_transcoders.push_back(*transcoder);
        Poll(TranscoderAddress{transcoder->stored.tsAddr, transcoder->stored.tsPort});
    }

    // The lists run from index 0 to the first missing key; a key that is
    // there but unusable is skipped without ending the list. At most
    // kMaxSearchListEntries keys of each are read.
    for (std::size_t index = 0; index < kMaxSearchListEntries; ++index) {
        const std::optional<std::string> text = m_file.Find(kPingPorts, PortKey(index));
        if (!text) {
            break;
        }
        const std::optional<uint32_t> port = NumberIn(text, kU16Max);
        if (port && *port != 0 &&
            std::find(m_pingPorts.begin(), m_pingPorts.end(), *port) == m_pingPorts.end()) {
            m_pingPorts.push_back(static_cast<uint16_t>(*port));
        }
    }
    for (std::size_t index = 0; index < kMaxSearchListEntries; ++index) {
        const std::optional<std::string> text = m_file.Find(kPingAddress, AddressKey(index));
        if (!text) {
            break;
        }
        if (const std::optional<TranscoderAddress> address = ParseAddressText(*text)) {
            Poll(*address);  // IP 0 and duplicates are left out
        }
    }

    m_searchAutoStopTime = NumberIn(m_file.Find(kAdvancedParam, "SearchAutoStopTime"), kU32Max)
                               .value_or(kDefaultSearchAutoStopTime);
    const std::optional<uint32_t> shellPort =
        NumberIn(m_file.Find(kAdvancedParam, "ShellPort"), kU16Max);
    m_shellPort =
        shellPort && *shellPort != 0 ? static_cast<uint16_t>(*shellPort) : kDefaultShellPort;
    m_broadcastAddress = 0xFFFFFFFF;
    if (const std::optional<std::string> text =
            m_file.Find(kAdvancedParam, "SearchBroadcastAddress")) {
        const std::optional<TranscoderAddress> address = ParseAddressText(*text);
        // A bare dotted address; one with a port or IP 0 is not a broadcast address.
        if (address && address->port == 0 && address->ip != 0 &&
            text->find(':') == std::string::npos) {
            m_broadcastAddress = address->ip;
        }
    }
}

RegisteredTranscoder* CTranscoderRegistry::FindBySerial(uint32_t serial) {
    for (RegisteredTranscoder& transcoder : m_transcoders) {
        if (transcoder.stored.tsSerialNumber == serial) {
            return &transcoder;
        }
    }
    return nullptr;
}

const RegisteredTranscoder* CTranscoderRegistry::FindBySerial(uint32_t serial) const {
    return const_cast<CTranscoderRegistry*>(this)->FindBySerial(serial);
}

std::optional<uint32_t> CTranscoderRegistry::PositionOf(uint32_t serial) const {
    for (std::size_t i = 0; i < m_transcoders.size(); ++i) {
        if (m_transcoders[i].stored.tsSerialNumber == serial) {
            return static_cast<uint32_t>(i);
        }
    }
    return std::nullopt;
}

std::optional<RegistryPlace> CTranscoderRegistry::Add(uint32_t position,
                                                      const tagStoredTranscoderConfig& config) {
    if (FindBySerial(config.tsSerialNumber) != nullptr ||
        m_transcoders.size() >= kMaxRegisteredTranscoders) {
        return std::nullopt;
    }
    RegisteredTranscoder transcoder;
    transcoder.stored = config;
    NormalizePassword(transcoder.stored.Password);
    transcoder.aonLevel = 100;
    transcoder.aonForm = 0;
    const std::size_t at = std::min<std::size_t>(position, m_transcoders.size());
    m_transcoders.insert(m_transcoders.begin() + static_cast<std::ptrdiff_t>(at), transcoder);
    const bool polled = Poll(TranscoderAddress{config.tsAddr, config.tsPort});
    const bool saved = SaveAll();
    m_lastSaveOk = (!polled || SavePingAddresses()) && saved;
    return RegistryPlace{static_cast<uint32_t>(at), config.tsSerialNumber};
}

std::optional<RegistryPlace> CTranscoderRegistry::Remove(uint32_t serial) {
    const std::optional<uint32_t> position = PositionOf(serial);
    if (!position) {
        return std::nullopt;
    }
    const TranscoderAddress address{m_transcoders[*position].stored.tsAddr,
                                    m_transcoders[*position].stored.tsPort};
    m_transcoders.erase(m_transcoders.begin() + *position);
    const bool unpolled = Unpoll(address);
    const bool saved = SaveAll();
    m_lastSaveOk = (!unpolled || SavePingAddresses()) && saved;
    return RegistryPlace{*position, serial};
}

std::optional<RegistryPlace> CTranscoderRegistry::Reposition(uint32_t position,
                                                             uint32_t newPosition) {
    if (position >= m_transcoders.size()) {
        return std::nullopt;
    }
    const std::size_t to = std::min<std::size_t>(newPosition, m_transcoders.size() - 1);
    const auto begin = m_transcoders.begin();
    if (to < position) {
        std::rotate(begin + static_cast<std::ptrdiff_t>(to), begin + position,
                    begin + position + 1);
    } else {
        std::rotate(begin + position, begin + position + 1,
                    begin + static_cast<std::ptrdiff_t>(to) + 1);
    }
    m_lastSaveOk = SaveAll();
    return RegistryPlace{static_cast<uint32_t>(to), m_transcoders[to].stored.tsSerialNumber};
}

std::optional<RegistryPlace> CTranscoderRegistry::Replace(uint32_t serial,
                                                          const tagStoredTranscoderConfig& config,
                                                          uint32_t flags) {
    const std::optional<uint32_t> position = PositionOf(serial);
    if (!position) {
        return std::nullopt;
    }
    // A new serial number must not be one another registration has.
    if (config.tsSerialNumber != serial && FindBySerial(config.tsSerialNumber) != nullptr) {
        return std::nullopt;
    }
    RegisteredTranscoder& transcoder = m_transcoders[*position];
    const TranscoderAddress oldAddress{transcoder.stored.tsAddr, transcoder.stored.tsPort};
    const TranscoderAddress newAddress{config.tsAddr, config.tsPort};

    tagStoredTranscoderConfig replaced = config;
    if ((flags & 1) == 0) {
        std::memcpy(replaced.Password, transcoder.stored.Password, sizeof replaced.Password);
    }
    NormalizePassword(replaced.Password);
    transcoder.stored = replaced;
    if (config.tsSerialNumber != serial) {
        transcoder.flow = nullptr;  // a flow serves one serial number
    }
    bool listChanged = false;
    if (oldAddress != newAddress) {
        listChanged = Unpoll(oldAddress);
        listChanged = Poll(newAddress) || listChanged;
    }
    const bool saved = SaveOne(*position);
    m_lastSaveOk = (!listChanged || SavePingAddresses()) && saved;
    return RegistryPlace{*position, config.tsSerialNumber};
}

bool CTranscoderRegistry::SetStarted(uint32_t serial, bool started) {
    const std::optional<uint32_t> position = PositionOf(serial);
    if (!position) {
        return false;
    }
    m_transcoders[*position].stored.tsStarted = started ? 1 : 0;
    m_lastSaveOk = SaveOne(*position);
    return true;
}

bool CTranscoderRegistry::MoveTo(uint32_t serial, const TranscoderAddress& address) {
    const std::optional<uint32_t> position = PositionOf(serial);
    if (!position) {
        return false;
    }
    tagStoredTranscoderConfig& stored = m_transcoders[*position].stored;
    const TranscoderAddress oldAddress{stored.tsAddr, stored.tsPort};
    if (oldAddress == address) {
        return true;
    }
    stored.tsAddr = address.ip;
    stored.tsPort = address.port;
    bool listChanged = Unpoll(oldAddress);
    listChanged = Poll(address) || listChanged;
    const bool saved = SaveOne(*position);
    m_lastSaveOk = (!listChanged || SavePingAddresses()) && saved;
    return true;
}

bool CTranscoderRegistry::SetAonForm(uint32_t serial, uint32_t level, uint32_t form) {
    const std::optional<uint32_t> position = PositionOf(serial);
    if (!position) {
        return false;
    }
    m_transcoders[*position].aonLevel = level;
    m_transcoders[*position].aonForm = form;
    m_lastSaveOk = SaveOne(*position);
    return true;
}

bool CTranscoderRegistry::AddPingPort(uint16_t port) {
    if (port == 0 || m_pingPorts.size() >= kMaxSearchListEntries ||
        std::find(m_pingPorts.begin(), m_pingPorts.end(), port) != m_pingPorts.end()) {
        return false;
    }
    m_pingPorts.push_back(port);
    m_lastSaveOk = SavePingPorts();
    return true;
}

bool CTranscoderRegistry::RemovePingPort(uint16_t port) {
    const auto it = std::find(m_pingPorts.begin(), m_pingPorts.end(), port);
    if (it == m_pingPorts.end()) {
        return false;
    }
    m_pingPorts.erase(it);
    m_lastSaveOk = SavePingPorts();
    return true;
}

bool CTranscoderRegistry::AddPingAddress(const TranscoderAddress& address) {
    if (!Poll(address)) {
        return false;
    }
    m_lastSaveOk = SavePingAddresses();
    return true;
}

bool CTranscoderRegistry::RemovePingAddress(const TranscoderAddress& address) {
    const auto it = std::find(m_pingAddresses.begin(), m_pingAddresses.end(), address);
    if (it == m_pingAddresses.end()) {
        return false;
    }
    m_pingAddresses.erase(it);
    m_lastSaveOk = SavePingAddresses();
    return true;
}

bool CTranscoderRegistry::Poll(const TranscoderAddress& address) {
    if (address.ip == 0 || m_pingAddresses.size() >= kMaxSearchListEntries ||
        std::find(m_pingAddresses.begin(), m_pingAddresses.end(), address) !=
            m_pingAddresses.end()) {
        return false;
    }
    m_pingAddresses.push_back(address);
    return true;
}

bool CTranscoderRegistry::Unpoll(const TranscoderAddress& address) {
    for (const RegisteredTranscoder& transcoder : m_transcoders) {
        if (TranscoderAddress{transcoder.stored.tsAddr, transcoder.stored.tsPort} == address) {
            return false;
        }
    }
    const auto it = std::find(m_pingAddresses.begin(), m_pingAddresses.end(), address);
    if (it == m_pingAddresses.end()) {
        return false;
    }
    m_pingAddresses.erase(it);
    return true;
}

bool CTranscoderRegistry::SaveOne(std::size_t position) {
    if (m_sectionsShifted) {
        // The sections do not match the positions since a skipped section:
        // writing one would leave this registration's old section behind.
        return SaveAll();
    }
    std::vector<IniWrite> writes;
    AppendSectionWrites(writes, position, m_transcoders[position]);
    return m_file.WriteMany(writes);
}

bool CTranscoderRegistry::SaveAll() {
    std::vector<IniWrite> writes;
    writes.reserve(m_transcoders.size() * 9);
    for (std::size_t position = 0; position < m_transcoders.size(); ++position) {
        AppendSectionWrites(writes, position, m_transcoders[position]);
    }
    bool ok = writes.empty() || m_file.WriteMany(writes);
    for (std::size_t position = m_transcoders.size(); position < kMaxRegisteredTranscoders;
         ++position) {
        const std::string section = SectionName(position);
        if (m_file.HasSection(section)) {
            ok = m_file.DeleteSection(section) && ok;
        }
    }
    if (ok) {
        m_sectionsShifted = false;
    }
    return ok;
}

bool CTranscoderRegistry::SavePingPorts() {
    std::vector<IniWrite> writes;
    for (std::size_t index = 0; index < m_pingPorts.size(); ++index) {
        writes.push_back(IniWrite{kPingPorts, PortKey(index), std::to_string(m_pingPorts[index])});
    }
    bool ok = writes.empty() || m_file.WriteMany(writes);
    return DeleteEntriesFrom(m_file, kPingPorts, "Port", m_pingPorts.size()) && ok;
}

bool CTranscoderRegistry::SavePingAddresses() {
    std::vector<IniWrite> writes;
    for (std::size_t index = 0; index < m_pingAddresses.size(); ++index) {
        writes.push_back(
            IniWrite{kPingAddress, AddressKey(index), AddressText(m_pingAddresses[index])});
    }
    bool ok = writes.empty() || m_file.WriteMany(writes);
    return DeleteEntriesFrom(m_file, kPingAddress, "Address", m_pingAddresses.size()) && ok;
}

}  // namespace zorv
