// The repair of a record's metadata before the compressor files it: a record
// left by a server that stopped abruptly (no close) carries the metadata of
// its start only (no length, no sample count), and an old or foreign file
// may carry any values at all. The repair makes every field the record
// database and the day directory rely on plausible, and refuses a file whose
// format block cannot be computed with.
//
// Pure function over an open CWavFile (with a view); the caller's thread.
#pragma once

#include <string>

#include "platform/Clock.h"
#include "storage/WavFile.h"

namespace zorv {

// Why a file cannot be repaired; kNone when it was.
enum class ERepairFailure {
    kNone,
    kNoFormat,        // no format block
    kBadFormatBlock,  // cbSize disagrees with the block's size
    kZeroBlockAlign,  // nBlockAlign 0: no sample count can be computed
    kZeroByteRate,    // nAvgBytesPerSec 0: no length can be computed
};

// A text for the journal and the set-aside note.
const char* RepairFailureText(ERepairFailure failure);

// Repairs file's metadata (getDbRecord) and sample count in memory; the file
// keeps them when it is closed. path: the file's full path (namefile). now:
// the current local time. Rules:
//  - a date more than 2 years from now, or with month or day out of range,
//    is taken from the file name (its first eight characters, YYYYMMDD), or
//    today's when the name holds no valid date;
//  - inout 11 (ringing) becomes 2 (free), 0 and above 13 become 2;
//  - a start time that is no time of day (hour 24 or more, 99 included: the
//    file has audio; minute or second 60 or more) becomes the current time;
//  - a ring time that is no time of day becomes the start time;
//  - a sample count of 0 becomes data size / nBlockAlign;
//  - a length of 0 with more than 1024 bytes of audio, or minutes or seconds
//    of 60 or more, is computed from data size / nAvgBytesPerSec;
//  - namefile becomes path; every text field ends inside its size.
// Returns kNone, or why the file's format cannot be trusted (nothing is
// divided by a zero field read from the file).
ERepairFailure RepairRecordMetadata(CWavFile& file, const std::string& path, const LocalTime& now);

}  // namespace zorv
