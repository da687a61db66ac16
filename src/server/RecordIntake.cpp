#include "server/RecordIntake.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Journal.h"
#include "storage/RecordFileCheck.h"
#include "storage/RecordQueue.h"

namespace zorv {
namespace {

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

// The file checks: its place and name, then its contents through the
// descriptor opened (never following a link), and whether anyone holds it.
ERecordFileFault CheckOfferedFile(const std::string& path, const std::vector<std::string>& roots) {
    if (path.empty() || path.front() != '/') {
        return ERecordFileFault::kNotInRoot;
    }
    const SRecordPlace place = LocateRecordFile(path, roots);
    if (place.fault != ERecordFileFault::kNone) {
        return place.fault;
    }
    const int fd = ::open(place.file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT  ? ERecordFileFault::kMissing
               : errno == ELOOP ? ERecordFileFault::kLinked
                                : ERecordFileFault::kUnreadable;
    }
    ERecordFileFault fault = CheckRecordContents(fd);
    // A recorder (shared lock) or the compressor (exclusive) still at work.
    if (fault == ERecordFileFault::kNone && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fault = ERecordFileFault::kInUse;
    }
    ::close(fd);  // also releases the lock
    return fault;
}

std::string FileReason(const std::string& file, const char* what) {
    return "the record file \"" + file + "\" " + what;
}

}  // namespace

std::string CheckOfferedRecord(const tagDB_Record& r, const std::vector<std::string>& roots) {
    if (!Terminated(r.serverName) || !Terminated(r.TlfString_1) || !Terminated(r.TlfString_2) ||
        !Terminated(r.alias) || !Terminated(r.namefile) || !Terminated(r.Remark) ||
        !Terminated(r.extraInfo) || !Terminated(r.document)) {
        return "a text field is not terminated";
    }
    if (r.Format != kFormatPcm && r.Format != kFormatConverted && r.Format != kFormatRecording &&
        r.Format != kFormatWaiting) {
        return "unknown Format " + std::to_string(r.Format);
    }
    if (r.year < 1980 || r.year > 9999 || r.mon < 1 || r.mon > 12 || r.day < 1 || r.day > 31 ||
        (r.hour > 23 && r.hour != 99) || r.min > 59 || r.sec > 59 || r.rhour > 23 || r.rmin > 59 ||
        r.rsec > 59 || r.dmin > 59 || r.dsek > 59) {
        return "a date or time out of range";
    }
    const std::string file = GetText(r.namefile);
    const ERecordFileFault fault = CheckOfferedFile(file, roots);
    if (fault != ERecordFileFault::kNone) {
        return FileReason(file, RecordFileFaultText(fault));
    }
    return {};
}

CRecordIntake::CRecordIntake(IRecordQueue& database, IRecordLookup& lookup, IJournal& journal,
                             std::function<std::vector<std::string>()> roots,
                             std::function<bool()> hasDevice)
    : m_database(database),
      m_lookup(lookup),
      m_journal(journal),
      m_roots(std::move(roots)),
      m_hasDevice(std::move(hasDevice)) {}

bool CRecordIntake::OfferRecord(const tagDB_Record& record) {
    std::string error = CheckOfferedRecord(record, m_roots());
    if (error.empty()) {
        // A file the database owns is never offered again: a second row would
        // let its own dates decide when the file is deleted.
        const std::string file = GetText(record.namefile);
        const int32_t owned = m_lookup.RecordFileOwned(file);
        if (owned == 1) {
            error = FileReason(file, "belongs to a record of the database already");
        } else if (owned != 0) {
            error = FileReason(file, "cannot be looked up in the record database");
        }
    }
    if (!error.empty()) {
        m_journal.FormatJournal(kJournalError, "Record offered for the database refused: %s",
                                error);
        return false;
    }
    if (!m_hasDevice()) {
        return false;
    }
    tagDB_Record copy = record;
    try {
        return m_database.UpdateDbRecord(copy, 0, 0);
    } catch (const std::exception& e) {
        m_journal.FormatJournal(kJournalError, "Record offered for the database not taken: %s",
                                e.what());
        return false;
    }
}

}  // namespace zorv
