// Call records that other programs hand the server for its record database
// (the local interface's addDataBaseRecord). A record is checked before use:
// every text terminated inside its field, a Format the database knows, the
// time fields in range, and a record file the server could have written
// (storage/RecordFileCheck.h): an absolute path without "." or ".." parts,
// named as a record, directly in a record root or in a day directory of one
// with no symbolic link below the root, a regular file with a record header
// and its metadata ("SHDR"), and held by nobody (a recorder or the compressor
// still at work on it). Then the record database must not own the file yet:
// no record of it stored or waiting to be stored (the same record name, also
// in another directory). A record that passes goes to the record database as
// a finished record not yet registered; a refused one is journaled with the
// reason.
//
// Thread safety: OfferRecord may come from any thread; the record database
// and the roots lock for themselves.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "access/LocalServices.h"

namespace zorv {

class IJournal;
class IRecordLookup;
class IRecordQueue;

// Why the record cannot be taken, or empty when it can, apart from whether
// the record database owns its file already. Looks at the file.
std::string CheckOfferedRecord(const tagDB_Record& record, const std::vector<std::string>& roots);

class CRecordIntake final : public IRecordIntake {
public:
    // roots: the record roots now; hasDevice: whether the server has a device
    // (without one the record goes nowhere).
    CRecordIntake(IRecordQueue& database, IRecordLookup& lookup, IJournal& journal,
                  std::function<std::vector<std::string>()> roots, std::function<bool()> hasDevice);

    bool OfferRecord(const tagDB_Record& record) override;

private:
    // Constant after construction
    IRecordQueue& m_database;
    IRecordLookup& m_lookup;
    IJournal& m_journal;
    const std::function<std::vector<std::string>()> m_roots;
    const std::function<bool()> m_hasDevice;
};

}  // namespace zorv
