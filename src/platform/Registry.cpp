#include "platform/Registry.h"

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/FileOps.h"

namespace zorv {
namespace {

// True when the text starts (after blanks and an optional sign) with a digit,
// i.e. when it holds a number by the leading-digits rule.
bool HasLeadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

}  // namespace

std::string CRegistryKey::RegistryPath(std::string_view baseName) {
    const char* fromEnv = std::getenv("ZORV_REGISTRY");
    if (fromEnv != nullptr && *fromEnv != '\0') {
        return fromEnv;
    }
    return "/etc/" + std::string(baseName) + "/registry.ini";
}

CRegistryKey::CRegistryKey(std::string registryFile, std::string keyPath)
    : m_file(std::move(registryFile)), m_keyPath(std::move(keyPath)) {}

bool CRegistryKey::Exists() const {
    return m_file.HasSection(m_keyPath);
}

bool CRegistryKey::Create() {
    const std::filesystem::path parent = std::filesystem::path(m_file.Path()).parent_path();
    if (!parent.empty()) {
        // A failure shows up as a failed write just below.
        MakeDirectories(parent.string());
    }
    return m_file.EnsureSection(m_keyPath) && Exists();
}

bool CRegistryKey::Remove() {
    return m_file.DeleteSection(m_keyPath);
}

std::optional<std::string> CRegistryKey::GetString(std::string_view name) const {
    return m_file.Find(m_keyPath, name);
}

std::optional<uint32_t> CRegistryKey::GetDword(std::string_view name) const {
    const std::optional<std::string> text = m_file.Find(m_keyPath, name);
    if (!text || !HasLeadingNumber(*text)) {
        return std::nullopt;
    }
    // A DWORD written as a signed number ("-1") keeps its bit pattern; numbers
    // that fit neither reading are not a DWORD at all.
    const int64_t value = IniFile::ParseLeadingInt(*text);
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

bool CRegistryKey::SetString(std::string_view name, std::string_view value) {
    return m_file.WriteString(m_keyPath, name, value);
}

bool CRegistryKey::SetDword(std::string_view name, uint32_t value) {
    return m_file.WriteUint(m_keyPath, name, value);
}

bool CRegistryKey::DeleteValue(std::string_view name) {
    return m_file.DeleteKey(m_keyPath, name);
}

}  // namespace zorv
