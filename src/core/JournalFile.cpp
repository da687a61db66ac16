#include "core/JournalFile.h"

#include <cerrno>

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "core/Journal.h"
#include "core/ServerComponents.h"
#include "platform/Cp1251.h"
#include "platform/FileOps.h"
#include "platform/ZipArchive.h"

namespace zorv {
namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// True for the journal's own archives, "<journal file>.<date digits>[-n].zip",
// in any letter case.
bool IsOwnArchive(const std::string& name, const std::string& journalFile) {
    const std::string lower = LowerAscii(name);
    const std::string prefix = LowerAscii(journalFile) + ".";
    return lower.size() > prefix.size() + 4 && lower.compare(0, prefix.size(), prefix) == 0 &&
           lower[prefix.size()] >= '0' && lower[prefix.size()] <= '9' &&
           lower.compare(lower.size() - 4, 4, ".zip") == 0;
}

}  // namespace

CJournal::CJournal(std::string path, IClock& clock, IMailNotifier* mail, bool echo)
    : m_path(std::move(path)),
      m_directory(std::filesystem::path(m_path).parent_path().string()),
      m_fileName(std::filesystem::path(m_path).filename().string()),
      m_clock(clock),
      m_echo(echo),
      m_mail(mail) {}

CJournal::~CJournal() {
    StopMail();
}

std::string CJournal::EscapeText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x20) {
            escaped += fmt::format("\\x{:02X}", b);
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string CJournal::FormatLine(const LocalTime& t, int kind, std::string_view text) {
    return fmt::format("{:02}.{:02}.{:04}  {:02}:{:02}:{:02} 1 {} {}", t.day, t.month, t.year,
                       t.hour, t.minute, t.second, kind, EscapeText(text));
}

std::string CJournal::RotatedName(const std::string& path, const LocalTime& t) {
    return fmt::format("{}.{}{}{}{}{}{}", path, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

void CJournal::Write(int kind, std::string_view text) {
    const LocalTime now = m_clock.Local();
    const std::string line = FormatLine(now, kind, text) + "\r\n";
    {
        std::lock_guard lock(m_lock);
        struct stat info {};
        if (::stat(m_path.c_str(), &info) == 0 &&
            static_cast<uint64_t>(info.st_size) > kRotateAbove) {
            RotateLocked(now);
        }
        // For the service's user and group only.
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
            ::close(fd);
        }
        // A line that cannot be written is dropped.
    }
    if (m_echo) {
        const std::string shown = Cp1251ToUtf8(line.substr(0, line.size() - 2)) + "\n";
        [[maybe_unused]] size_t n = std::fwrite(shown.data(), 1, shown.size(), stderr);
    }
}

bool CJournal::Clear() {
    std::lock_guard lock(m_lock);
    return ::unlink(m_path.c_str()) == 0 || errno == ENOENT;
}

void CJournal::RotateLocked(const LocalTime& time) {
    TrimArchivesLocked();
    const std::string rotated = RotatedName(m_path, time);
    // Two rotations within one second, or dates that write the same digits
    // (no zero padding), would give one name: take the next free one.
    const std::string archive = FreeFileName(rotated, ".zip");
    if (!archive.empty() && CreateZipWithFile(archive, m_path, m_fileName)) {
        QueueMail({CatalogText(Msg{218}), CatalogText(Msg{219}), archive, 0});
        ::unlink(m_path.c_str());
        return;
    }
    QueueMail({CatalogText(Msg{218}), " ", "", 1});
    const std::string renamed = FreeFileName(rotated, "");
    // A rename that fails leaves the journal in place; the next line tries again.
    if (!renamed.empty()) {
        RenameNoReplace(m_path, renamed);
    }
}

void CJournal::TrimArchivesLocked() {
    struct Archive {
        std::filesystem::path path;
        std::filesystem::file_time_type time;
        uint64_t size;
    };
    std::vector<Archive> archives;
    uint64_t total = 0;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(m_directory.empty() ? "." : m_directory, error)) {
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) ||
            !IsOwnArchive(entry.path().filename().string(), m_fileName)) {
            continue;
        }
        const uint64_t size = entry.file_size(entryError);
        const auto time = entry.last_write_time(entryError);
        if (entryError) {
            continue;
        }
        archives.push_back({entry.path(), time, size});
        total += size;
    }
    if (total <= kArchiveBudget) {
        return;
    }
    std::sort(archives.begin(), archives.end(), [](const Archive& a, const Archive& b) {
        return a.time != b.time ? a.time < b.time : a.path < b.path;
    });
    uint64_t excess = total - kArchiveBudget;
    for (const Archive& archive : archives) {
        if (excess == 0) {
            break;
        }
        if (std::filesystem::remove(archive.path, error)) {
            excess = archive.size >= excess ? 0 : excess - archive.size;
        }
    }
}

void CJournal::QueueMail(MailJob job) {
    CMutexLock lock(m_mailLock);
    if (m_mail == nullptr || m_mailStop) {
        return;
    }
    m_mailJobs.push_back(std::move(job));
    if (!m_mailThread.joinable()) {
        m_mailThread = std::thread(&CJournal::MailLoop, this);
    }
    m_mailWake.notify_one();
}

void CJournal::MailLoop() {
    CUniqueLock lock(m_mailLock);
    for (;;) {
        while (!m_mailStop && m_mailJobs.empty()) {
            m_mailWake.wait(lock.Native());
        }
        if (m_mailJobs.empty()) {
            return;  // stopped and drained
        }
        MailJob job = std::move(m_mailJobs.front());
        m_mailJobs.pop_front();
        IMailNotifier* mail = m_mail;
        lock.Unlock();
        try {
            mail->Notify(kRotationMailEvent, job.subject, job.body, job.attachment, job.zip);
        } catch (...) {
            // A failed notification must not end the journal's mail thread.
        }
        lock.Lock();
    }
}

void CJournal::StopMail() {
    std::thread thread;
    {
        CMutexLock lock(m_mailLock);
        m_mailStop = true;
        thread = std::move(m_mailThread);
    }
    m_mailWake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
    CMutexLock lock(m_mailLock);
    m_mail = nullptr;
}

}  // namespace zorv
