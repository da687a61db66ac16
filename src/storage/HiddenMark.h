// The "hidden" mark of a record file: the flag that says the record is
// registered in the record database (entered at its start, "DataBaseMode" 1,
// or entered later by the start-up scan). The recorder sets it when it
// registers a record and leaves it after the close; the compressor reads it
// to decide between updating and inserting the record's row, and clears it
// when it moves the file into its day directory.
//
// The mark is the extended attribute "user.<prefix>.hidden". Where the file
// system keeps no user extended attributes, the mark is a side record: an
// empty file ".<record name>.hidden" beside the record. Has() accepts either,
// Clear() removes both, so a record copied between file systems keeps its
// flag. Deleting a record should also Clear() it, or a side record is left.
//
// Stateless apart from its store choice; any thread may call it.
#pragma once

#include <string>

namespace zorv {

class CHiddenMark {
public:
    enum class Store {
        kAttribute,   // the extended attribute, the side record where it is refused
        kSideRecord,  // always the side record (tests of the fallback)
    };

    explicit CHiddenMark(Store store = Store::kAttribute) : m_store(store) {}

    // Marks the record. False (errno set) when neither store took the mark.
    bool Set(const std::string& record) const;
    // Removes the mark from either store. False when a mark remains.
    bool Clear(const std::string& record) const;
    bool Has(const std::string& record) const;

    // The path of the side record of record.
    static std::string SideRecord(const std::string& record);
    // The extended attribute's name.
    static const std::string& AttributeName();

private:
    Store m_store;
};

}  // namespace zorv
