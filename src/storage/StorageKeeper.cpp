#include "storage/StorageKeeper.h"

#include <fmt/format.h>

#include <ctime>
#include <limits>
#include <utility>

#include "core/CodedException.h"
#include "core/Journal.h"
#include "core/ServerMessage.h"
#include "platform/IniFile.h"

namespace zorv {
namespace {

constexpr const char* kAgeSection = "DeleteFilesAtDate";
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

uint32_t ToMegabytes(uint64_t bytes) {
    const uint64_t megabytes = bytes / CStorageKeeper::kMegabyte;
    return megabytes > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                            : static_cast<uint32_t>(megabytes);
}

// Local broken-down time of a calendar second; false when it has none (a
// year before 1 or beyond what the platform converts).
bool LocalDate(int64_t seconds, std::tm& out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    if (::localtime_r(&t, &out) == nullptr) {
        return false;
    }
    const int64_t year = int64_t{out.tm_year} + 1900;
    return year >= 1 && year <= 9999;
}

StoredDateTime ToStored(const std::tm& t, int milliseconds) {
    StoredDateTime date{};
    date.year = static_cast<uint16_t>(t.tm_year + 1900);
    date.month = static_cast<uint16_t>(t.tm_mon + 1);
    date.dayOfWeek = static_cast<uint16_t>(t.tm_wday);
    date.day = static_cast<uint16_t>(t.tm_mday);
    date.hour = static_cast<uint16_t>(t.tm_hour);
    date.minute = static_cast<uint16_t>(t.tm_min);
    date.second = static_cast<uint16_t>(t.tm_sec);
    date.milliseconds = static_cast<uint16_t>(milliseconds);
    return date;
}

// The line that follows text 214: how many record files went, and the start
// dates of the oldest and the newest of them.
std::string DeletedFilesText(const RecordDeletionTally& tally) {
    if (tally.files == 0) {
        return "Record files deleted: 0";
    }
    const auto date = [](const RecordDeletionTally::Start& s) {
        return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", s[0], s[1], s[2], s[3], s[4],
                           s[5]);
    };
    return fmt::format("Record files deleted: {}, started from {} to {}", tally.files,
                       date(tally.oldest), date(tally.newest));
}

}  // namespace

CStorageKeeper::CStorageKeeper(IServer& server, IStorageHost& host, IRecordDeletion& records,
                               const IFreeSpace& space, IClock& clock, std::string settingsPath)
    : m_server(server),
      m_host(host),
      m_records(records),
      m_space(space),
      m_clock(clock),
      m_settingsPath(std::move(settingsPath)) {}

void CStorageKeeper::Configure(const StorageSettings& settings) {
    m_quota1Mb = settings.quota1Mb;
    m_quota2Mb = settings.quota2Mb;
    m_delSizeMb = settings.delSizeMb;
    CMutexLock lock(m_ageLock);
    m_deleteByAge = settings.deleteByAgeEnable != 0;
    m_storageDays = settings.storageDays;
    m_lastDeleteDate = settings.lastDeleteFilesDate;
}

StorageSettings CStorageKeeper::Current() const {
    StorageSettings settings;
    settings.quota1Mb = m_quota1Mb;
    settings.quota2Mb = m_quota2Mb;
    settings.delSizeMb = m_delSizeMb;
    CMutexLock lock(m_ageLock);
    settings.deleteByAgeEnable = m_deleteByAge ? 1 : 0;
    settings.storageDays = m_storageDays;
    settings.lastDeleteFilesDate = m_lastDeleteDate;
    return settings;
}

void CStorageKeeper::SetQuotas(uint32_t quota1Mb, uint32_t quota2Mb) {
    CMutexLock lock(m_writeLock);
    m_quota1Mb = quota1Mb;
    m_quota2Mb = quota2Mb;
    IniFile file(m_settingsPath);
    file.WriteUint("Path", "Quota1_Ex", quota1Mb);
    file.WriteUint("Path", "Quota2_Ex", quota2Mb);
}

void CStorageKeeper::SetDeleteSize(uint32_t megabytes) {
    CMutexLock lock(m_writeLock);
    m_delSizeMb = megabytes;
    IniFile file(m_settingsPath);
    file.WriteUint("Path", "DelSize_Ex", megabytes);
}

void CStorageKeeper::SetDeleteByAge(bool enable, uint32_t days) {
    CMutexLock lock(m_ageLock);
    m_deleteByAge = enable;
    m_storageDays = days;
    IniFile file(m_settingsPath);
    file.WriteUint(kAgeSection, "Enable", enable ? 1 : 0);
    file.WriteUint(kAgeSection, "StorageDaysCount", days);
}

CStorageKeeper::DeleteByAge CStorageKeeper::GetDeleteByAge() const {
    CMutexLock lock(m_ageLock);
    return {m_deleteByAge, m_storageDays};
}

template <typename Call>
int32_t CStorageKeeper::Delete(Call&& call) {
    try {
        return call();
    } catch (...) {
        m_server.Post(kMsgException, CurrentExceptionCode(), kSourceDatabase, 0);
        return -1;
    }
}

void CStorageKeeper::Mail(const std::string& text) {
    m_host.Mail().Notify(kMailEventDeletion, CatalogText(Msg{kTextDeletionSubject}), text,
                         m_host.JournalPath(), 1);
}

void CStorageKeeper::ReportDeleted(int32_t megabytes, const RecordDeletionTally& tally) {
    const std::string text =
        FormatCatalogText(Msg{kTextDeleted}, static_cast<uint32_t>(megabytes), 0u);
    m_server.WriteJournal(kJournalError, text);
    m_server.WriteJournal(kJournalError, DeletedFilesText(tally));
    Mail(text);
}

void CStorageKeeper::ReportFailedDeletion(const RecordDeletionTally& tally) {
    // Files a failed deletion removed before it failed are gone all the same.
    if (tally.files > 0) {
        m_server.WriteJournal(kJournalError, DeletedFilesText(tally));
    }
}

void CStorageKeeper::CheckDeleteByAge() {
    const int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.Now().time_since_epoch())
            .count();
    const int64_t nowSeconds = nowMs >= 0 ? nowMs / 1000 : (nowMs - 999) / 1000;
    std::tm today{};
    std::tm cutoff{};
    {
        CMutexLock lock(m_ageLock);
        if (!m_deleteByAge) {
            return;
        }
        if (!LocalDate(nowSeconds, today)) {
            return;
        }
        if (today.tm_year + 1900 == m_lastDeleteDate.year &&
            today.tm_mon + 1 == m_lastDeleteDate.month && today.tm_mday == m_lastDeleteDate.day) {
            return;  // once per calendar day
        }
        // Days of 24 hours back from now; storage days reach at most about
        // 11.7 million years, far inside 64-bit seconds.
        if (!LocalDate(nowSeconds - int64_t{m_storageDays} * kSecondsPerDay, cutoff)) {
            return;
        }
    }
    m_server.WriteJournal(kJournalError, CatalogText(Msg{kTextDeletionStart}));
    RecordDeletionTally tally;
    const int32_t deleted = Delete([&] {
        return m_records.DeleteBefore(cutoff.tm_year + 1900, cutoff.tm_mon + 1, cutoff.tm_mday,
                                      tally);
    });
    if (deleted == -1) {
        ReportFailedDeletion(tally);
        return;  // the date stays: tried again on the next tick
    }
    {
        CMutexLock lock(m_ageLock);
        m_lastDeleteDate = ToStored(today, static_cast<int>(((nowMs % 1000) + 1000) % 1000));
        IniFile file(m_settingsPath);
        if (!file.WriteStruct(kAgeSection, "LastDeleteFilesDate", &m_lastDeleteDate,
                              sizeof m_lastDeleteDate)) {
            m_server.WriteJournal(kJournalError,
                                  "LastDeleteFilesDate cannot be written to " + m_settingsPath);
        }
    }
    ReportDeleted(deleted, tally);
}

void CStorageKeeper::Measure(int index) {
    Measurement& m = m_free[static_cast<size_t>(index)];
    const std::string directory = m_host.RecordDirectory(index);
    if (directory != m.directory) {
        m.directory = directory;
        m.bytes.reset();  // another directory: the old value says nothing
    }
    if (const std::optional<uint64_t> bytes = m_space.AvailableBytes(directory)) {
        m.bytes = bytes;
    }
}

bool CStorageKeeper::QuotaMet(int index) const {
    const std::optional<uint64_t> free = Free(index);
    const uint64_t quotaMb = index == 0 ? m_quota1Mb.load() : m_quota2Mb.load();
    return free.has_value() && *free > quotaMb * kMegabyte;
}

uint32_t CStorageKeeper::FreeMegabytes(int index) const {
    return ToMegabytes(Free(index).value_or(0));
}

void CStorageKeeper::CheckDiskSpace() {
    const int current = m_host.CurrentDirectory() == 1 ? 1 : 0;
    const int other = 1 - current;
    Measure(current);
    Measure(other);
    if (!Free(current).has_value() || QuotaMet(current)) {
        return;
    }
    if (QuotaMet(other)) {
        m_host.SelectRecordDirectory(other);
        m_server.FormatJournal(kJournalInfo, Msg{kTextDirectorySelected},
                               static_cast<uint32_t>(other + 1));
        m_server.WriteJournal(kJournalInfo, m_host.RecordDirectory(other));
        return;
    }

    m_server.FormatJournal(kJournalError, Msg{kTextDisk1Free}, FreeMegabytes(0), m_quota1Mb.load());
    m_server.FormatJournal(kJournalError, Msg{kTextDisk2Free}, FreeMegabytes(1), m_quota2Mb.load());
    m_server.WriteJournal(kJournalError, CatalogText(Msg{kTextDeletionStart}));
    const uint32_t amount = m_delSizeMb;
    const int32_t request = amount > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
                                ? std::numeric_limits<int32_t>::max()
                                : static_cast<int32_t>(amount);
    RecordDeletionTally tally;
    const int32_t deleted = Delete([&] { return m_records.DeleteOldest(request, tally); });
    if (deleted != -1) {
        ReportDeleted(deleted, tally);
    } else {
        ReportFailedDeletion(tally);
    }

    Measure(0);
    Measure(1);
    const bool shortDeletion = deleted == -1 || deleted == 0 || deleted < request;
    const bool bothFull =
        Free(0).value_or(0) <= kDiskFullBytes && Free(1).value_or(0) <= kDiskFullBytes;
    if (shortDeletion && bothFull) {
        m_server.FormatJournal(kJournalError, Msg{kTextDiskFullFree},
                               CatalogText(Msg{kTextDiskFull}), FreeMegabytes(0), FreeMegabytes(1));
        Mail(CatalogText(Msg{kTextDiskFull}));
    }
}

}  // namespace zorv
