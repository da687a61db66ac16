// The start-up scan of the record roots: records cut short by an abrupt stop
// of the server are repaired and finished, and finished records the record
// database has no row for are entered.
//
// A record is looked at when it lies in a record root (flat layout) or in a
// day directory "<YYYYMMDD>.<day suffix>" of a root (day layout), its name
// ends in "<file suffix>.wav" (any letter case), or the database holds it as
// still being written (Format 4). A record that anyone holds (a flock of a
// recorder or the compressor) is left alone.
//
// A record whose row is finished is passed over at once (a flat one only
// gets its hidden mark back if it lost it), so a start over many years of
// records costs one lookup per record.
//
// Cut short: the RIFF size in the header is not the file's size, which a
// closed record always has. Such a record is reopened (CWavFile::OpenExisting,
// whose audio chunk then reaches to the file's end), its length is set from
// the audio on disk and it is closed, so players see its real length. A file
// that is no record (a header never completed) is left as it is.
//
// Rows, by layout, as a close would have left them:
//  - day layout: a row still being written (Format 4) is finished (Format 0,
//    final, offered to the archiver); a record without a row is entered as
//    finished; the hidden mark stays as it is (kept by a registered record);
//  - flat layout: the record waits for the compressor, so its row says
//    Format 5 (updated, or entered when missing) and it carries the hidden
//    mark, which tells the compressor the database holds it.
// Records are kept whatever their length: the call's true length is unknown
// after a crash, and the compressor judges flat records itself.
//
// Runs on the server thread at start, after the record database opened and
// before the devices start recording. The database operations only queue.
#pragma once

#include <string>
#include <vector>

#include "core/Server.h"
#include "storage/HiddenMark.h"
#include "storage/RecordQueue.h"

namespace zorv {

class CRecordRecovery {
public:
    struct Result {
        int repaired = 0;  // records cut short, closed again with their real length
        int finished = 0;  // rows still being written that were finished
        int entered = 0;   // records that had no row
        int skipped = 0;   // held by someone, not a record, or the database could not tell
    };

    CRecordRecovery(IServer& server, IRecordQueue& queue, IRecordLookup& lookup,
                    const CHiddenMark& marks, std::string fileSuffix, std::string daySuffix);

    // Scans the roots (absolute paths; missing ones are passed over) and
    // journals each repaired record and a summary of the rows entered.
    Result Run(const std::vector<std::string>& roots);

private:
    enum class Layout { kFlat, kDay, kNone };

    // Where path lies among the roots.
    Layout LayoutOf(const std::string& path, const std::vector<std::string>& roots) const;
    bool IsRecordName(const std::string& name) const;
    bool IsDayDirectory(const std::string& name) const;
    void Collect(const std::string& root, std::vector<std::string>& files) const;
    void Recover(const std::string& path, Layout layout, Result& result);

    IServer& m_server;
    IRecordQueue& m_queue;
    IRecordLookup& m_lookup;
    const CHiddenMark& m_marks;
    const std::string m_fileSuffix;
    const std::string m_daySuffix;
};

}  // namespace zorv
