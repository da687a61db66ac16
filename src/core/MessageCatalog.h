// The numbered message catalogue.
//
// Every journal line, and a few texts shown to clients, come from this table:
// message number -> windows-1251 text. Entry 0 is the empty string, entries
// 1..458 hold the texts. Each number has a built-in Russian text (empty for the
// numbers that have none); a language file may replace any of them.
//
// Callers use a text either as a whole journal line or as the printf-style
// format of one; its placeholders ("%s", "%u", "%d", "%x") say which values
// the caller passes, in order. A language file may change the placeholders, so
// callers format the texts type-safely and fall back to BuiltinText when a
// replaced text does not fit their arguments.
//
// Threads: the process-wide catalogue (Instance) is built once, by the server
// object's constructor, after the work directory is known and before any other
// thread starts and before any journal line is written. From then on it is
// read-only, so Text needs no lock and may be called from any thread.
// BuiltinText is safe from any thread at any time.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace zorv {

class CMessageCatalog {
public:
    // Number of entries, entry 0 included.
    static constexpr int kEntryCount = 459;

    // Section of the language file that holds the replacement texts, one key
    // per message number in decimal ("1" .. "458").
    static constexpr std::string_view kLanguageSection = "RecordServer";
    // Key of the language file's name in the language-selection file.
    static constexpr std::string_view kSelectionSection = "Advanced";
    static constexpr std::string_view kSelectionKey = "Language";
    static constexpr std::string_view kDefaultLanguageFile = "Default.lng";

    // Holds the built-in texts.
    CMessageCatalog();

    CMessageCatalog(const CMessageCatalog&) = delete;
    CMessageCatalog& operator=(const CMessageCatalog&) = delete;

    // The built-in text of a message number in windows-1251; empty for entry 0,
    // for numbers without a text and for numbers outside 0..kEntryCount-1.
    // The view stays valid for the life of the process.
    static std::string_view BuiltinText(int id);

    // A copy of the current text of a message number (built-in or replaced);
    // empty for numbers outside 0..kEntryCount-1.
    std::string Text(int id) const;

    // Builds the catalogue from the language file.
    //
    // The language file is named by "Advanced"/"Language" (at most 259
    // characters, default "Default.lng") in the language-selection file
    // workDir/prefix.ini (ZORV.ini for the default prefix). A bare name is a
    // file in the work directory; a name with a '/' is used as it stands. For
    // every number 1..458 the key of that number in section "RecordServer"
    // replaces the built-in text, cut to 511 bytes and taken as the bytes
    // stand (windows-1251); an empty value gives an empty text. A missing
    // selection file, language file or key leaves the built-in text. Replaces
    // every entry, so a second Build forgets the first.
    void Build(const std::string& workDir, const std::string& prefix);

    // The process-wide catalogue: built-in texts until the server calls Build.
    static CMessageCatalog& Instance();

private:
    // A built-in text as written in the sources (UTF-8).
    struct SourceText {
        int id;
        const char* utf8;
    };
    // The built-in texts of the numbers that have one, ascending by number
    // (MessageCatalogTexts.cpp).
    static std::span<const SourceText> SourceTexts();

    // Constant after Build; Build runs before other threads read the catalogue.
    std::array<std::string, kEntryCount> m_texts;
};

}  // namespace zorv
