// The parsed contents of one ini file, with a case-insensitive index.
//
// A CIniDocument keeps every line of the file exactly as read (minus the line
// terminator), so that an edit changes only the lines it must and the rest of
// the file - comments, blank lines, lines it does not understand - is written
// back as it was. On top of the lines it keeps an index of sections and keys
// for lookups that do not depend on the file's size.
//
// How lines are read:
//   - lines end at LF; a CR just before the LF is dropped;
//   - a line whose first non-blank byte is ';' or '#' is a comment;
//   - a line whose first non-blank byte is '[' and that holds a ']' starts a
//     section named by the trimmed text between '[' and the last ']';
//   - inside a section, a line with '=' is a key: the trimmed text before the
//     first '=' is the name, the trimmed text after it the value, which loses
//     one matching pair of surrounding '"' or '\'' quotes;
//   - anything else (text before the first section, a key line without '=' or
//     with an empty name) is kept but ignored by lookups.
// Names match without regard to ASCII letter case; when a section or a key
// occurs more than once, the first occurrence is the one that counts.
//
// The class is a plain value: not thread-safe, copied by writers before an
// edit. It parses any bytes without failing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zorv {

class CIniDocument {
public:
    CIniDocument() = default;

    static CIniDocument Parse(std::string_view text);

    // The trimmed and unquoted value, or null when the section or key is
    // missing. The pointer is valid until the document is changed.
    const std::string* Find(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    // Distinct key names of a section, in file order, spelled as in the file.
    std::vector<std::string> Keys(std::string_view section) const;
    // Distinct section names, in file order, spelled as in the file.
    std::vector<std::string> Sections() const;

    // Edits. Names and values must already be checked by the caller: no CR or
    // LF anywhere, no '=' in a key name, nothing that would read back as
    // another kind of line.
    //
    // Replaces the value of the key in place (the line keeps its spelling of
    // the name), else adds the key after the last key of the section, else
    // adds the section with the key at the end of the file.
    void Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every occurrence of the key in the section that counts. True when
    // anything was removed.
    bool RemoveKey(std::string_view section, std::string_view key);
    // Removes every section of that name with all its lines. True when anything
    // was removed.
    bool RemoveSection(std::string_view section);
    // Adds an empty section at the end of the file when there is none of that
    // name. True when it was added.
    bool AddSection(std::string_view section);

    // The whole file: every line followed by CRLF when the file read used CRLF,
    // by LF otherwise.
    std::string Serialize() const;

private:
    // Case-insensitive (ASCII) hashing and comparison that also accept
    // string_view keys, so that lookups allocate nothing.
    struct NoCaseHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const;
    };
    struct NoCaseEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    template <typename T>
    using NoCaseMap = std::unordered_map<std::string, T, NoCaseHash, NoCaseEqual>;

    struct Key {
        std::string name;
        std::string value;
        std::size_t line;  // index into m_lines
    };
    struct Section {
        std::string name;
        std::size_t headerLine;           // index into m_lines
        std::size_t endLine;              // one past the section's last line
        std::vector<Key> keys;            // file order, duplicates included
        NoCaseMap<std::size_t> keyIndex;  // name -> first entry in keys
    };

    const Section* FindSection(std::string_view section) const;
    // Rebuilds m_sections and m_sectionIndex from m_lines.
    void Reindex();
    // Appends "[section]" (after a blank line when the file does not already
    // end with one) and returns the header's line index.
    std::size_t AppendSection(std::string_view section);

    std::vector<std::string> m_lines;  // without terminators
    bool m_crlf = false;
    std::vector<Section> m_sections;        // file order, duplicates included
    NoCaseMap<std::size_t> m_sectionIndex;  // name -> first entry in m_sections
};

}  // namespace zorv
