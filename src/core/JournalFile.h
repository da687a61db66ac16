// The journal file: one line per event, appended by any thread.
//
// A line is "DD.MM.YYYY  hh:mm:ss 1 <kind> <text>" with CRLF, in windows-1251,
// written with one open, one write and one close, so clients may read the
// file while the server writes it. Lines from concurrent writers never mix.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace zorv {

class CJournal {
public:
    CJournal(std::string path, IClock& clock);

    void Write(int kind, std::string_view text);

    const std::string& Path() const { return m_path; }

    // The line as written for a time, kind and text (without the line end).
    static std::string FormatLine(const LocalTime& time, int kind, std::string_view text);

private:
    const std::string m_path;
    IClock& m_clock;
    std::mutex m_lock;
};

}  // namespace zorv
