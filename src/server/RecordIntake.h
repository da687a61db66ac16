// Call records that other programs hand the server for its record database
// (the local interface's addDataBaseRecord). A record is checked before use:
// every text terminated inside its field, a Format the database knows, the
// time fields in range, and a record file under one of the record roots
// (absolute, no "." or ".." parts). A record that passes goes to the record
// database as a finished record not yet registered; a refused one is
// journaled with the reason.
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
class IRecordQueue;

// Why the record cannot be taken, or empty when it can.
std::string CheckOfferedRecord(const tagDB_Record& record, const std::vector<std::string>& roots);

class CRecordIntake final : public IRecordIntake {
public:
    // roots: the record roots now; hasDevice: whether the server has a device
    // (without one the record goes nowhere).
    CRecordIntake(IRecordQueue& database, IJournal& journal,
                  std::function<std::vector<std::string>()> roots,
                  std::function<bool()> hasDevice);

    bool OfferRecord(const tagDB_Record& record) override;

private:
    // Constant after construction
    IRecordQueue& m_database;
    IJournal& m_journal;
    const std::function<std::vector<std::string>()> m_roots;
    const std::function<bool()> m_hasDevice;
};

}  // namespace zorv
