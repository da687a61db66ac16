#include "core/MessageCatalog.h"

#include <cstddef>
#include <string>
#include <utility>

#include "platform/Cp1251.h"
#include "platform/IniFile.h"

namespace zorv {
namespace {

// Buffer sizes of the reads, terminating zero included: a language file name
// keeps at most 259 characters, a text at most 511.
constexpr std::size_t kLanguageNameBuffer = 260;
constexpr std::size_t kTextBuffer = 512;

std::string JoinPath(const std::string& dir, std::string_view name) {
    if (dir.empty()) {
        return std::string(name);
    }
    std::string path = dir;
    if (path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

bool IsValidId(int id) {
    return id >= 0 && id < CMessageCatalog::kEntryCount;
}

}  // namespace

CMessageCatalog::CMessageCatalog() {
    for (int id = 0; id < kEntryCount; ++id) {
        m_texts[id] = BuiltinText(id);
    }
}

std::string_view CMessageCatalog::BuiltinText(int id) {
    // Converted once, on first use; the initialisation of a function-local
    // static is thread-safe.
    static const std::array<std::string, kEntryCount> texts = [] {
        std::array<std::string, kEntryCount> converted;
        for (const SourceText& source : SourceTexts()) {
            converted[source.id] = Utf8ToCp1251(source.utf8);
        }
        return converted;
    }();
    return IsValidId(id) ? std::string_view(texts[id]) : std::string_view();
}

std::string CMessageCatalog::Text(int id) const {
    return IsValidId(id) ? m_texts[id] : m_texts[0];
}

void CMessageCatalog::Build(const std::string& workDir, const std::string& prefix) {
    const IniFile selection(JoinPath(workDir, prefix + ".ini"));
    const std::string languageName = selection.GetString(kSelectionSection, kSelectionKey,
                                                         kDefaultLanguageFile, kLanguageNameBuffer);

    m_texts[0].clear();
    if (languageName.empty()) {
        // "Language=" names no file at all: nothing can replace the texts.
        for (int id = 1; id < kEntryCount; ++id) {
            m_texts[id] = BuiltinText(id);
        }
        return;
    }
    const bool hasDirectory = languageName.find('/') != std::string::npos;
    const IniFile language(hasDirectory ? languageName : JoinPath(workDir, languageName));
    for (int id = 1; id < kEntryCount; ++id) {
        std::string text =
            language.GetString(kLanguageSection, std::to_string(id), BuiltinText(id), kTextBuffer);
        // Texts are used as C strings (format strings, journal lines); a zero
        // byte inside a replaced value ends the text there.
        if (const std::size_t zero = text.find('\0'); zero != std::string::npos) {
            text.resize(zero);
        }
        m_texts[id] = std::move(text);
    }
}

CMessageCatalog& CMessageCatalog::Instance() {
    static CMessageCatalog catalog;
    return catalog;
}

}  // namespace zorv
