// The registry file: the server's few machine-wide values (work directory,
// power stamp, restart counter, service registration) kept in one ini file.
//
// A registry key is a section named by its path ("SOFTWARE\ZORV_18",
// "AppID\{C25D32E0-...}"); its values are the keys of that section, stored as
// text. DWORD values are decimal text. The file's path is the environment
// variable ZORV_REGISTRY, or /etc/<file base name>/registry.ini.
//
// A CRegistryKey is a handle on one key of one file and is cheap to copy. All
// operations are safe from any thread (the ini layer serialises writers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/IniFile.h"

namespace zorv {

class CRegistryKey {
public:
    // The registry file's path: $ZORV_REGISTRY, else /etc/<baseName>/registry.ini.
    static std::string RegistryPath(std::string_view baseName);

    CRegistryKey(std::string registryFile, std::string keyPath);

    // True when the key exists in the file.
    bool Exists() const;
    // Creates the key (an empty section) when it is missing; creates the
    // registry file's directory when needed. True when the key exists afterwards.
    bool Create();
    // Removes the key with all its values.
    bool Remove();

    std::optional<std::string> GetString(std::string_view name) const;
    std::optional<uint32_t> GetDword(std::string_view name) const;
    bool SetString(std::string_view name, std::string_view value);
    bool SetDword(std::string_view name, uint32_t value);
    bool DeleteValue(std::string_view name);

    const std::string& KeyPath() const { return m_keyPath; }
    const std::string& FilePath() const { return m_file.Path(); }

private:
    IniFile m_file;
    std::string m_keyPath;
};

}  // namespace zorv
