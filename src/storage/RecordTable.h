// One open table of call records, whatever keeps it: an SQLite file in the
// work directory or on an archive medium (CRecordDbTable), or a PostgreSQL
// database several servers share (CPgRecordTable). The record-database library
// serves its handles through this interface; the meaning of every operation
// is CRecordDbTable's.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "storage/RecordDbChange.h"
#include "storage/RecordDeletionTally.h"

namespace zorv {

class IRecordTable {
public:
    virtual ~IRecordTable() = default;

    virtual bool Append(const tagDB_Record& record) = 0;
    virtual bool Update(const tagDB_Record& record) = 0;
    virtual bool Delete(const tagDB_Record& record) = 0;
    virtual bool Apply(std::span<const RecordDbChange> changes, std::span<int32_t> results) = 0;
    virtual int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally* tally) = 0;
    virtual int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                                 RecordDeletionTally* tally) = 0;
    virtual int32_t FindFormat(const tagDB_Record& record, uint32_t& format) = 0;
    virtual int32_t FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) = 0;
    virtual bool SetRecordRoots(std::vector<std::string> roots) = 0;
};

}  // namespace zorv
