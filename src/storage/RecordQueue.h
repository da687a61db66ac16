// The record database as the recording threads see it: operations that copy
// the record, queue it and return at once (false only when the item was lost,
// for lack of memory; the database reports that itself). Also the lookups of
// what the database holds, for the start-up scan of the record roots, and the
// deletions of the storage keeper.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "storage/RecordDeletionTally.h"

namespace zorv {

class IRecordQueue {
public:
    virtual ~IRecordQueue() = default;
    // A record entered at its start: Format becomes 4 (being written).
    virtual bool AddDbRecord(tagDB_Record& record) = 0;
    // A record's new state. registered: the database holds it already;
    // interim: not final yet (not offered to the archiver).
    virtual bool UpdateDbRecord(tagDB_Record& record, int32_t registered, int32_t interim) = 0;
    virtual bool DeleteDbRecord(const tagDB_Record& record) = 0;
};

// What the record database holds, as the start-up scan and the record intake
// ask it (on the caller's thread, while the database thread may be writing).
class IRecordLookup {
public:
    virtual ~IRecordLookup() = default;
    // Whether a record of the database owns the record file namefile: one
    // with the same record name (RecordNameOf, the name a record keeps when
    // the compressor moves it), stored or still waiting to be stored. 1 when
    // one does, 0 when none does, -1 when the database cannot tell.
    virtual int32_t RecordFileOwned(const std::string& namefile) = 0;
    // The Format of the stored record of this call: 1 with format set when one
    // is stored, 0 when none is, -1 when the database cannot tell.
    virtual int32_t StoredFormat(const tagDB_Record& record, uint32_t& format) = 0;
    // The file names of the stored records with that Format; their number, or
    // -1 when the database cannot tell.
    virtual int32_t FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) = 0;
};

// The deletions that keep the record disks from filling up, run on the
// caller's thread (the server's timer). Both remove record files together
// with their entries, oldest first, and return the megabytes freed or -1;
// tally gets the files removed (also by a deletion that then failed).
class IRecordDeletion {
public:
    virtual ~IRecordDeletion() = default;
    // Oldest records first until about megabytes are freed.
    virtual int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally& tally) = 0;
    // Every record that started before the date (local time).
    virtual int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                                 RecordDeletionTally& tally) = 0;
};

}  // namespace zorv
