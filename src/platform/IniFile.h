// Settings files in the ini format ("profile strings").
//
// Every settings file of the server (main settings, language file, transcoder
// list, registry file, ...) is read and written through this class, with the
// semantics the stored files were written for:
//   - section and key names are compared without regard to ASCII letter case;
//   - a missing file, section or key gives the caller's default;
//   - names and values are trimmed of surrounding blanks, and a value enclosed
//     in a matching pair of double or single quotes loses the quotes;
//   - integers are the leading decimal digits of the value (an optional sign
//     first), so "12abc" reads as 12 and "abc" as 0;
//   - strings are cut to the caller's buffer size minus the terminating zero;
//   - writes replace a whole key (or append it to its section, or append the
//     section to the file) and leave every other line as it was;
//   - the file is rewritten atomically (temporary file, then rename) under one
//     process-wide lock, so a reader never sees half a file;
//   - bytes are passed through unchanged (texts are windows-1251);
//   - a file the server creates is for the service's user and group (0640),
//     one that holds passwords for its user only (0600, IniAccess::kOwner);
//     a rewrite keeps the mode of the file it replaces, less the group's and
//     others' bits for an owner-only file.
// The 16-byte structure values are stored as the uppercase hex of each byte
// followed by a checksum byte (the byte sum modulo 256), also in hex.
//
// An IniFile is a path plus operations; it holds no open file. Parsed contents
// are cached process-wide per path and revalidated against the file's
// modification time, size and inode on every read. All operations are safe to
// call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorv {

// One key of a batch write.
struct IniWrite {
    std::string section;
    std::string key;
    std::string value;
};

// Who may read a settings file the server writes.
enum class IniAccess {
    kGroup,  // the service's user and group (kDataFileMode)
    kOwner,  // the service's user only: the file holds passwords (kSecretFileMode)
};

class IniFile {
public:
    explicit IniFile(std::string path, IniAccess access = IniAccess::kGroup);

    const std::string& Path() const { return m_path; }

    // The value of key in section, or nullopt when the file, section or key is
    // missing. The value is trimmed and unquoted, not cut.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    // The value, or defaultValue when missing; cut to bufferSize - 1 bytes
    // (bufferSize 0 gives an empty string). An empty value gives "", not the
    // default.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, std::size_t bufferSize = 260) const;

    // Leading decimal digits of the value (optional sign), defaultValue when the
    // key is missing, 0 when the value holds no digits.
    int64_t GetInt(std::string_view section, std::string_view key, int64_t defaultValue) const;
    uint32_t GetUint(std::string_view section, std::string_view key, uint32_t defaultValue) const {
        return static_cast<uint32_t>(GetInt(section, key, defaultValue));
    }

    // Reads a structure value of exactly size bytes. False (and data untouched)
    // when the key is missing, the length differs or the checksum is wrong.
    bool GetStruct(std::string_view section, std::string_view key, void* data,
                   std::size_t size) const;

    // Writes the whole key. False when the file could not be written.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteUint(std::string_view section, std::string_view key, uint32_t value);
    bool WriteInt(std::string_view section, std::string_view key, int64_t value);
    bool WriteStruct(std::string_view section, std::string_view key, const void* data,
                     std::size_t size);
    // Writes several keys with one rewrite of the file: all or none (false
    // when any of them would be refused or the file could not be written).
    bool WriteMany(const std::vector<IniWrite>& writes);

    // Removes one key, or a whole section with its keys. True when the file is
    // as asked afterwards (removing what is not there succeeds).
    bool DeleteKey(std::string_view section, std::string_view key);
    bool DeleteSection(std::string_view section);
    // Adds an empty section when the file has none of that name.
    bool EnsureSection(std::string_view section);

    // Takes the group's and others' bits from an owner-only file that has
    // them (one written before, or by hand). True when the file is missing or
    // private afterwards; a group file is left as it is.
    bool RestrictAccess() const;

    bool HasSection(std::string_view section) const;
    // Key names of a section in file order (empty when missing).
    std::vector<std::string> Keys(std::string_view section) const;
    // Section names in file order.
    std::vector<std::string> Sections() const;

    // The structure encoding, exposed for tests and for callers that need the
    // text form: uppercase hex of each byte, then the checksum byte in hex.
    static std::string EncodeStruct(const void* data, std::size_t size);
    static bool DecodeStruct(std::string_view text, void* data, std::size_t size);

    // Leading-digit integer reading of a value, as GetInt does.
    static int64_t ParseLeadingInt(std::string_view value);

private:
    std::string m_path;
    IniAccess m_access;
};

}  // namespace zorv
