// Removal of record files on behalf of the record database.
//
// The record database removes a record's file together with its entry when it
// frees space. The path comes from the table file, so it is untrusted: a file
// is removed only when
//  - it is a record file (storage/RecordFileCheck.h): named as a record,
//    directly in one of the allowed roots or in a day directory of one, with
//    no symbolic link below the root, a regular file holding a record header
//    with its metadata ("SHDR"), read through the descriptor that is locked
//    and then unlinked;
//  - nobody holds a lock on it: the recorder and the compressor keep the files
//    they work on locked (flock), and the remover takes an exclusive lock
//    without waiting before it looks at the header and unlinks; and
//  - the name still leads to the file locked.
// A file that is already gone counts as absent (its entry may go) only when
// the root it would lie in exists, so an unmounted or missing record root never
// makes its entries disappear.
//
// Owned by one record table; not synchronised itself (the table calls it under
// its own lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorv {

class CRecordFileRemover {
public:
    enum class Outcome {
        kRemoved,  // the file was removed; bytes holds its size
        kAbsent,   // no such file inside an existing root; nothing to remove
        kKept,     // the file must stay (no record file of the roots, locked, or an error)
    };
    struct Result {
        Outcome outcome = Outcome::kKept;
        uint64_t bytes = 0;
    };

    // Directories inside which files may be removed; replaces the previous list.
    // The directories need not exist yet: they are resolved at each removal.
    void SetRoots(std::vector<std::string> roots);

    // Removes the file at path (absolute) when the rules above allow it.
    Result Remove(const std::string& path) const;

private:
    std::vector<std::string> m_roots;
};

}  // namespace zorv
