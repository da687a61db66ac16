// One change of a batch written to a record table in one transaction
// (IRecordDbLibrary::Apply). The record is borrowed for the call only.
#pragma once

#include <cstdint>

#include "core/DbRecord.h"

namespace zorv {

struct RecordDbChange {
    enum class Kind : int32_t {
        kAppend,  // as IRecordDbLibrary::Append
        kUpdate,  // as IRecordDbLibrary::Update
        kDelete,  // as IRecordDbLibrary::Delete
    };
    Kind kind;
    const tagDB_Record* record;  // never null
};

}  // namespace zorv
