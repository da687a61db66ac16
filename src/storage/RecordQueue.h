// The record database as the recording threads see it: operations that copy
// the record, queue it and return at once (false when the queue is full and
// the item was lost; the database reports that itself).
#pragma once

#include <cstdint>

#include "core/DbRecord.h"

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

}  // namespace zorv
