#include "platform/IniDocument.h"

#include <algorithm>
#include <cstdint>

namespace zorv {
namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Blanks as the ini format knows them. Bytes above 0x7F are text (windows-1251
// letters, including the no-break space 0xA0) and are never trimmed.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view Unquote(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

struct LineInfo {
    enum Kind { Other, Comment, SectionHeader, KeyValue } kind = Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed and unquoted
};

LineInfo Classify(std::string_view line) {
    LineInfo info;
    const std::string_view t = Trim(line);
    if (t.empty()) {
        return info;
    }
    if (t.front() == ';' || t.front() == '#') {
        info.kind = LineInfo::Comment;
        return info;
    }
    if (t.front() == '[') {
        const std::size_t close = t.rfind(']');
        if (close != std::string_view::npos) {
            info.kind = LineInfo::SectionHeader;
            info.name = Trim(t.substr(1, close - 1));
        }
        return info;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) {
        return info;
    }
    info.name = Trim(t.substr(0, eq));
    if (info.name.empty()) {
        return info;
    }
    info.kind = LineInfo::KeyValue;
    info.value = Unquote(Trim(t.substr(eq + 1)));
    return info;
}

bool IsBlankLine(std::string_view line) {
    return Trim(line).empty();
}

}  // namespace

std::size_t CIniDocument::NoCaseHash::operator()(std::string_view s) const {
    // FNV-1a over the lower-cased bytes.
    uint64_t h = 14695981039346656037ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(LowerAscii(c));
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

bool CIniDocument::NoCaseEqual::operator()(std::string_view a, std::string_view b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

CIniDocument CIniDocument::Parse(std::string_view text) {
    CIniDocument doc;
    std::size_t pos = 0;
    bool firstLine = true;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) {
            doc.m_lines.emplace_back(text.substr(pos));
            break;
        }
        std::string_view line = text.substr(pos, lf - pos);
        const bool cr = !line.empty() && line.back() == '\r';
        if (cr) {
            line.remove_suffix(1);
        }
        // The first line end decides how the file is written back.
        if (firstLine) {
            doc.m_crlf = cr;
            firstLine = false;
        }
        doc.m_lines.emplace_back(line);
        pos = lf + 1;
    }
    doc.Reindex();
    return doc;
}

void CIniDocument::Reindex() {
    m_sections.clear();
    m_sectionIndex.clear();
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const LineInfo info = Classify(m_lines[i]);
        if (info.kind == LineInfo::SectionHeader) {
            if (!m_sections.empty()) {
                m_sections.back().endLine = i;
            }
            m_sections.push_back(Section{std::string(info.name), i, m_lines.size(), {}, {}});
            m_sectionIndex.try_emplace(std::string(info.name), m_sections.size() - 1);
        } else if (info.kind == LineInfo::KeyValue && !m_sections.empty()) {
            Section& section = m_sections.back();
            section.keys.push_back(Key{std::string(info.name), std::string(info.value), i});
            section.keyIndex.try_emplace(std::string(info.name), section.keys.size() - 1);
        }
    }
}

const CIniDocument::Section* CIniDocument::FindSection(std::string_view section) const {
    const auto it = m_sectionIndex.find(section);
    return it == m_sectionIndex.end() ? nullptr : &m_sections[it->second];
}

const std::string* CIniDocument::Find(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr) {
        return nullptr;
    }
    const auto it = s->keyIndex.find(key);
    return it == s->keyIndex.end() ? nullptr : &s->keys[it->second].value;
}

bool CIniDocument::HasSection(std::string_view section) const {
    return FindSection(section) != nullptr;
}

std::vector<std::string> CIniDocument::Keys(std::string_view section) const {
    std::vector<std::string> names;
    const Section* s = FindSection(section);
    if (s == nullptr) {
        return names;
    }
    names.reserve(s->keyIndex.size());
    for (std::size_t i = 0; i < s->keys.size(); ++i) {
        // Only the first occurrence of a name is listed.
        if (s->keyIndex.find(s->keys[i].name)->second == i) {
            names.push_back(s->keys[i].name);
        }
    }
    return names;
}

std::vector<std::string> CIniDocument::Sections() const {
    std::vector<std::string> names;
    names.reserve(m_sectionIndex.size());
    for (std::size_t i = 0; i < m_sections.size(); ++i) {
        if (m_sectionIndex.find(m_sections[i].name)->second == i) {
            names.push_back(m_sections[i].name);
        }
    }
    return names;
}

std::size_t CIniDocument::AppendSection(std::string_view section) {
    if (!m_lines.empty() && !IsBlankLine(m_lines.back())) {
        m_lines.emplace_back();
    }
    std::string header;
    header.reserve(section.size() + 2);
    header.append("[").append(section).append("]");
    m_lines.push_back(std::move(header));
    return m_lines.size() - 1;
}

void CIniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string keyLine;
    keyLine.reserve(key.size() + 1 + value.size());
    keyLine.append(key).append("=").append(value);

    const auto sectionIt = m_sectionIndex.find(section);
    if (sectionIt == m_sectionIndex.end()) {
        AppendSection(section);
        m_lines.push_back(std::move(keyLine));
        Reindex();
        return;
    }
    Section& s = m_sections[sectionIt->second];
    const auto keyIt = s.keyIndex.find(key);
    if (keyIt == s.keyIndex.end()) {
        const std::size_t at = s.keys.empty() ? s.headerLine + 1 : s.keys.back().line + 1;
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(keyLine));
        Reindex();
        return;
    }
    // Replace only what follows the '=', so the line keeps its indentation and
    // its spelling of the name; no other line moves, so the index stays valid.
    Key& k = s.keys[keyIt->second];
    std::string& line = m_lines[k.line];
    line.erase(line.find('=') + 1);
    line.append(value);
    k.value = std::string(Unquote(Trim(value)));
}

bool CIniDocument::RemoveKey(std::string_view section, std::string_view key) {
    const Section* s = FindSection(section);
    if (s == nullptr) {
        return false;
    }
    std::vector<std::size_t> lines;
    for (const Key& k : s->keys) {
        if (NoCaseEqual{}(k.name, key)) {
            lines.push_back(k.line);
        }
    }
    if (lines.empty()) {
        return false;
    }
    // Back to front, so that earlier indexes stay valid.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(*it));
    }
    Reindex();
    return true;
}

bool CIniDocument::RemoveSection(std::string_view section) {
    bool removed = false;
    for (auto it = m_sections.rbegin(); it != m_sections.rend(); ++it) {
        if (NoCaseEqual{}(it->name, section)) {
            m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(it->headerLine),
                          m_lines.begin() + static_cast<std::ptrdiff_t>(it->endLine));
            removed = true;
        }
    }
    if (removed) {
        Reindex();
    }
    return removed;
}

bool CIniDocument::AddSection(std::string_view section) {
    if (HasSection(section)) {
        return false;
    }
    AppendSection(section);
    Reindex();
    return true;
}

std::string CIniDocument::Serialize() const {
    const std::string_view eol = m_crlf ? "\r\n" : "\n";
    std::size_t total = 0;
    for (const std::string& line : m_lines) {
        total += line.size() + eol.size();
    }
    std::string text;
    text.reserve(total);
    for (const std::string& line : m_lines) {
        text.append(line).append(eol);
    }
    return text;
}

}  // namespace zorv
