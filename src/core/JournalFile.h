// The journal file: one line per event, appended by any thread.
//
// A line is "DD.MM.YYYY  hh:mm:ss 1 <kind> <text>" with CRLF, in windows-1251,
// written with one open, one write and one close, so clients may read the
// file while the server writes it. When the file has grown above 499999 bytes
// the next line first rotates it: the old journal goes into a zip archive
// beside it ("<journal>.<y><m><d><h><min><s>.zip", the date without zero
// padding) and the line starts a new file. The oldest of the journal's own
// archives are deleted while they hold more than 1 MiB together. A rotation
// is announced by mail (event 32) from a thread of the journal's own, never
// from the thread that wrote the line.
//
// Writing, the size check and the rotation are serialised, so concurrent
// writers lose no line and never interleave one. The file is created for the
// service's user and group only (0640).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace zorv {

class IMailNotifier;

class CJournal {
public:
    static constexpr std::size_t kRotateAbove = 499999;
    static constexpr uint64_t kArchiveBudget = 1048576;
    static constexpr int kRotationMailEvent = 32;

    // mail may be null (no rotation mails). echo: also print every line, in
    // UTF-8, to standard error (for a server run by hand in a terminal).
    CJournal(std::string path, IClock& clock, IMailNotifier* mail, bool echo = false);
    ~CJournal();
    CJournal(const CJournal&) = delete;
    CJournal& operator=(const CJournal&) = delete;

    void Write(int kind, std::string_view text);
    // Deletes the journal file (the next line starts a new one). False when
    // it exists and cannot be deleted.
    bool Clear();

    // Delivers the queued rotation mails and ends the mail thread. Called
    // before the mail notifier goes away; later rotations are not mailed.
    void StopMail();

    const std::string& Path() const { return m_path; }

    // The line as written for a time, kind and text (without the line end).
    // Every byte of the text below 0x20 is written as "\xHH": texts carry
    // what clients send (user names, file names), and a line end among them
    // would let a client write a line of its own into the journal.
    static std::string FormatLine(const LocalTime& time, int kind, std::string_view text);
    static std::string EscapeText(std::string_view text);
    // The rotated journal's name for a time: path + ".2009358145".
    static std::string RotatedName(const std::string& path, const LocalTime& time);

private:
    struct MailJob {
        std::string subject;
        std::string body;
        std::string attachment;
        int zip;
    };

    void RotateLocked(const LocalTime& time);  // m_lock held
    void TrimArchivesLocked();                 // m_lock held
    void QueueMail(MailJob job);
    void MailLoop();

    // Constant after construction
    const std::string m_path;
    const std::string m_directory;
    const std::string m_fileName;
    IClock& m_clock;
    const bool m_echo;

    std::mutex m_lock;  // serialises lines and rotations (guards the file itself)

    CMutex m_mailLock;
    std::condition_variable m_mailWake;
    IMailNotifier* m_mail GUARDED_BY(m_mailLock);  // null after StopMail
    std::deque<MailJob> m_mailJobs GUARDED_BY(m_mailLock);
    bool m_mailStop GUARDED_BY(m_mailLock) = false;
    std::thread m_mailThread GUARDED_BY(m_mailLock);  // started with the first mail
};

}  // namespace zorv
