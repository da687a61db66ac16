// The storage keeper: keeps the record disks from filling up.
//
// Two checks run on every tick of the server's timer, in this order:
//  - CheckDeleteByAge: once per local calendar day, when enabled, the records
//    older than the storage days are deleted through the record database; the
//    day of the last successful deletion is kept in "LastDeleteFilesDate"
//    (section "DeleteFilesAtDate"), so a failed deletion is tried again on
//    the next tick and a restart does not delete twice in one day.
//  - CheckDiskSpace: the free space of both record roots is measured on the
//    directories themselves. While the current root keeps more than its quota
//    nothing happens; when only the other one does, recording switches to it
//    and stays there (the switch is sticky); when both miss their quotas the
//    database deletes the oldest records, "DelSize_Ex" megabytes per tick,
//    which is journaled and mailed (event 4), and a disk that stays full
//    after that is journaled and mailed as well.
// A quota is met when the free space is strictly greater than the quota. A
// root whose free space cannot be measured keeps its last measurement; a
// current root never measured is not checked at all (nothing is deleted on a
// guess), and another root never measured is no place to switch to.
//
// Nothing here stops recording: with both disks full the server records on
// and the keeper keeps asking for deletions.
//
// Threads: the checks run on the timer thread, one at a time. The setters run
// on client threads. The quotas and the deletion size are single words
// (atomics; their setters are serialized by m_writeLock); the age settings
// and the last deletion date are guarded by m_ageLock, which the age check
// releases before it calls the database.
// Owned by the server object.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "core/Server.h"
#include "core/ServerComponents.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "storage/FreeSpace.h"
#include "storage/RecordQueue.h"

namespace zorv {

// What the keeper needs of the server besides messages and the journal.
class IStorageHost {
public:
    virtual ~IStorageHost() = default;
    // Record directory index (0 or 1), as currently set.
    virtual std::string RecordDirectory(int index) const = 0;
    // The index devices record to now.
    virtual int CurrentDirectory() const = 0;
    // Makes directory index the record root of every device and posts
    // message 8 (record directory changed) with the index.
    virtual void SelectRecordDirectory(int index) = 0;
    virtual IMailNotifier& Mail() = 0;
    // The journal file, attached to the mails.
    virtual std::string JournalPath() const = 0;
};

// Catalogue texts of the checks.
inline constexpr int kTextDirectorySelected = 210;
inline constexpr int kTextDisk1Free = 211;
inline constexpr int kTextDisk2Free = 212;
inline constexpr int kTextDeletionStart = 213;
inline constexpr int kTextDeleted = 214;
inline constexpr int kTextDeletionSubject = 215;
inline constexpr int kTextDiskFull = 216;
inline constexpr int kTextDiskFullFree = 217;
// The mail event of the deletions.
inline constexpr int kMailEventDeletion = 4;

class CStorageKeeper final : public IStorageKeeper {
public:
    static constexpr uint64_t kMegabyte = uint64_t{1} << 20;
    // Below this much free space on both drives a failed deletion reports the
    // disks as full.
    static constexpr uint64_t kDiskFullBytes = 10 * kMegabyte;

    // settingsPath: the main settings file, where the age settings and the
    // last deletion date are written. Every reference must outlive this.
    CStorageKeeper(IServer& server, IStorageHost& host, IRecordDeletion& records,
                   const IFreeSpace& space, IClock& clock, std::string settingsPath);

    // IStorageKeeper
    void Configure(const StorageSettings& settings) override;
    StorageSettings Current() const override;
    void CheckDeleteByAge() override;
    void CheckDiskSpace() override;

    // Client commands. Quotas and the deletion size in megabytes, written to
    // the settings file at once (and again by the server's stop), so that an
    // abrupt end of the process does not lose them.
    void SetQuotas(uint32_t quota1Mb, uint32_t quota2Mb);
    void SetDeleteSize(uint32_t megabytes);
    // Writes "Enable" and "StorageDaysCount" at once. days 0: everything
    // older than today.
    void SetDeleteByAge(bool enable, uint32_t days);
    struct DeleteByAge {
        bool enable = false;
        uint32_t days = 0;
    };
    DeleteByAge GetDeleteByAge() const;

private:
    struct Measurement {
        std::string directory;  // what was measured
        std::optional<uint64_t> bytes;
    };

    // Measures directory index, keeping the last value when that fails.
    void Measure(int index);
    std::optional<uint64_t> Free(int index) const {
        return m_free[static_cast<size_t>(index)].bytes;
    }
    bool QuotaMet(int index) const;
    // Free megabytes of drive index for the texts (0 when never measured).
    uint32_t FreeMegabytes(int index) const;
    // A database deletion with its exceptions reported (message 3, source 40)
    // and counted as -1.
    template <typename Call>
    int32_t Delete(Call&& call);
    // Journals text 214 for megabytes and the files line of tally, and mails
    // text 214.
    void ReportDeleted(int32_t megabytes, const RecordDeletionTally& tally);
    // Journals the files line of a deletion that failed after it removed
    // files.
    void ReportFailedDeletion(const RecordDeletionTally& tally);
    void Mail(const std::string& text);

    // Constant after construction
    IServer& m_server;
    IStorageHost& m_host;
    IRecordDeletion& m_records;
    const IFreeSpace& m_space;
    IClock& m_clock;
    const std::string m_settingsPath;

    // Written by the start and by client commands, read by the timer.
    std::atomic<uint32_t> m_quota1Mb{50};
    std::atomic<uint32_t> m_quota2Mb{50};
    std::atomic<uint32_t> m_delSizeMb{50};
    // Held by the setters over their value and its write, so that the file
    // ends with the value in force when two clients set at once.
    CMutex m_writeLock;

    mutable CMutex m_ageLock;
    bool m_deleteByAge GUARDED_BY(m_ageLock) = false;
    uint32_t m_storageDays GUARDED_BY(m_ageLock) = 90;
    StoredDateTime m_lastDeleteDate GUARDED_BY(m_ageLock){};

    // Timer thread only
    std::array<Measurement, 2> m_free;
};

}  // namespace zorv
