#include "core/JournalFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

namespace zorv {

CJournal::CJournal(std::string path, IClock& clock) : m_path(std::move(path)), m_clock(clock) {}

std::string CJournal::FormatLine(const LocalTime& t, int kind, std::string_view text) {
    return fmt::format("{:02}.{:02}.{:04}  {:02}:{:02}:{:02} 1 {} {}", t.day, t.month, t.year,
                       t.hour, t.minute, t.second, kind, text);
}

void CJournal::Write(int kind, std::string_view text) {
    const std::string line = FormatLine(m_clock.Local(), kind, text) + "\r\n";
    std::lock_guard lock(m_lock);
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;  // a line that cannot be written is dropped
    }
    [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

}  // namespace zorv
