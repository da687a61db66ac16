// Journal lines: the interface through which every component reports events.
//
// WriteJournal appends one line of the given kind (0 information, 1 error)
// with a text in windows-1251. FormatJournal formats first, printf-style,
// into at most 259 bytes. Given a catalogue number (Msg), the text comes from
// the message catalogue (which a language file may have replaced); when the
// replaced text does not fit the arguments, the built-in text is used, so a
// language file can never crash the server.
//
// Implementations must accept calls from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/MessageCatalog.h"
#include "core/PrintfFormat.h"

namespace zorv {

enum JournalKind : int { kJournalInfo = 0, kJournalError = 1 };

// A message catalogue number, used instead of a literal format.
struct Msg {
    int id;
};

// A catalogue text as a whole journal line (not a format).
inline std::string CatalogText(Msg text) { return CMessageCatalog::Instance().Text(text.id); }

// The longest text a formatted journal line carries.
inline constexpr std::size_t kJournalTextMax = 259;

// Formats a catalogue text with the arguments: the current text when it fits
// them, else the built-in one, else the built-in text unformatted. Cut to
// kJournalTextMax bytes.
template <typename... Args>
std::string FormatCatalogText(Msg text, const Args&... args) {
    const CMessageCatalog& catalog = CMessageCatalog::Instance();
    std::optional<std::string> out = SafeSprintf(catalog.Text(text.id), args...);
    if (!out) {
        out = SafeSprintf(CMessageCatalog::BuiltinText(text.id), args...);
    }
    std::string result = out ? std::move(*out) : std::string(CMessageCatalog::BuiltinText(text.id));
    if (result.size() > kJournalTextMax) {
        result.resize(kJournalTextMax);
    }
    return result;
}

// Formats a literal printf format; a format that does not fit its arguments is
// written unformatted. Cut to kJournalTextMax bytes.
template <typename... Args>
std::string FormatText(std::string_view format, const Args&... args) {
    std::optional<std::string> out = SafeSprintf(format, args...);
    std::string result = out ? std::move(*out) : std::string(format);
    if (result.size() > kJournalTextMax) {
        result.resize(kJournalTextMax);
    }
    return result;
}

class IJournal {
public:
    virtual ~IJournal() = default;

    virtual void WriteJournal(int kind, std::string_view text) = 0;

    template <typename... Args>
    void FormatJournal(int kind, std::string_view format, const Args&... args) {
        WriteJournal(kind, FormatText(format, args...));
    }

    template <typename... Args>
    void FormatJournal(int kind, Msg text, const Args&... args) {
        WriteJournal(kind, FormatCatalogText(text, args...));
    }
};

// A journal that drops every line (benchmarks, fuzz targets, tests that do
// not look at the journal).
class CNullJournal final : public IJournal {
public:
    void WriteJournal(int, std::string_view) override {}
};

}  // namespace zorv
