// What makes a file one the server could have written as a record. The record
// intake (rows other programs offer for the record database) and the record
// database's deletions (CRecordFileRemover) both apply this one definition
// before they take a file or unlink it.
//
// A record file
//  - is named as the recorder names its records (IsRecordFileName): the start
//    "YYYYMMDDhhmmss" (a month 01..12, a day 01..31, a time of day), the line
//    (at least three digits), the channel's file counter and the device index
//    (at least one digit each), "_rmo_" for a monitor record, the file suffix
//    (kRecordFileSuffix) and ".wav"; letters in any case, as the compressor
//    and the start-up scan match them;
//  - lies directly in a record root (flat layout) or in a day directory
//    "<YYYYMMDD>.<day suffix>" of a root (day layout), and no symbolic link,
//    "." or ".." lies below the root: resolved, the path is the resolved root
//    followed by the same one or two names (the root itself may be reached
//    through links);
//  - is a regular file; and
//  - holds a record header: RIFF/WAVE with "fmt ", "fact", the call's metadata
//    "SHDR" (at least 1013 bytes) and "data" (ParseWavRecord), read through the
//    descriptor the caller opened and goes on to use, so that the file checked
//    is the file taken or removed.
// The row's namefile and dates are not compared with the file's "SHDR" copy,
// since records the server wrote differ there too: a record cut short by a
// crash carries the previous record's name in its copy, the compressor's
// repair may replace the start time by the time of the repair, and records
// of a root that was moved keep the old paths.
//
// Pure functions of the file system; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/ProductNames.h"

namespace zorv {

enum class ERecordFileFault {
    kNone,
    kNotInRoot,   // below none of the record roots
    kBadName,     // not named as a record, or not in a root or a day directory of it
    kLinked,      // a symbolic link, "." or ".." below the root
    kMissing,     // no such file
    kNotRegular,  // a directory, a device, a link, ...
    kNoHeader,    // no record header with its metadata ("SHDR")
    kInUse,       // held (flock) by a recorder or the compressor
    kUnreadable,  // cannot be opened or read
};

// The reason as the tail of a sentence about the file ("is not ...").
const char* RecordFileFaultText(ERecordFileFault fault);

// Whether name (a base name) is a record file's name (above).
bool IsRecordFileName(std::string_view name);
// Whether name is a day directory's name: "YYYYMMDD." and the day suffix,
// any letter case.
bool IsRecordDayDirectoryName(std::string_view name, std::string_view daySuffix = kRecordDaySuffix);
// The record name of a namefile: what follows its last '/'.
std::string_view RecordNameOf(std::string_view namefile);

// Where a path lies among the record roots.
struct SRecordPlace {
    // kNotInRoot (root empty), kBadName, kLinked, or kNone for a record
    // file's place.
    ERecordFileFault fault = ERecordFileFault::kNotInRoot;
    std::string root;  // resolved: the root the path names a file below
    std::string file;  // resolved path
};
// path: absolute, as a row names it. A path below several roots (one root
// inside another) takes the root where it is a record file's place.
SRecordPlace LocateRecordFile(const std::string& path, const std::vector<std::string>& roots);

// Whether the open file fd is a regular file holding a record header: kNone,
// kNotRegular, kNoHeader or kUnreadable. Reads through fd only.
ERecordFileFault CheckRecordContents(int fd);

}  // namespace zorv
