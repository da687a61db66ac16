#include "server/RecordIntake.h"

#include <cstring>
#include <filesystem>

#include "core/Journal.h"
#include "storage/RecordQueue.h"

namespace zorv {
namespace {

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

// Whether path names a file below root: both absolute, no "." or ".."
// parts in the path, and root followed by a separator.
bool Below(const std::string& path, const std::string& root) {
    if (root.empty() || path.empty() || path.front() != '/') {
        return false;
    }
    const std::filesystem::path p(path);
    for (const auto& part : p) {
        if (part == "." || part == "..") {
            return false;
        }
    }
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return path.size() > base.size() + 1 && path.compare(0, base.size(), base) == 0 &&
           path[base.size()] == '/';
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
        (r.hour > 23 && r.hour != 99) || r.min > 59 || r.sec > 59 || r.rhour > 23 ||
        r.rmin > 59 || r.rsec > 59 || r.dmin > 59 || r.dsek > 59) {
        return "a date or time out of range";
    }
    const std::string file = GetText(r.namefile);
    for (const std::string& root : roots) {
        if (Below(file, root)) {
            return {};
        }
    }
    return "the record file \"" + file + "\" is not under a record directory";
}

CRecordIntake::CRecordIntake(IRecordQueue& database, IJournal& journal,
                             std::function<std::vector<std::string>()> roots,
                             std::function<bool()> hasDevice)
    : m_database(database),
      m_journal(journal),
      m_roots(std::move(roots)),
      m_hasDevice(std::move(hasDevice)) {}

bool CRecordIntake::OfferRecord(const tagDB_Record& record) {
    const std::string error = CheckOfferedRecord(record, m_roots());
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
