#include "storage/DataBase.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>

#include "core/Journal.h"
#include "core/ProductNames.h"
#include "core/ServerMessage.h"
#include "platform/Cp1251.h"
#include "storage/RecordFileCheck.h"

namespace zorv {
namespace {

// Journal text the message catalogue has no number for.
const std::string& OverflowText() {
    static const std::string text = Utf8ToCp1251(
        "Очередь базы данных записей заполнена: записи ждут в дополнительной очереди.");
    return text;
}

}  // namespace

CDataBase::CDataBase(IServer& server, IRecordDbLibrary& library, IArchiveQueue* archiver,
                     std::string fileName)
    : m_server(server),
      m_library(library),
      m_archiver(archiver),
      m_fileName(fileName.empty() ? CProductNames::Instance().Name(CProductNames::kDatabaseFile)
                                  : std::move(fileName)),
      m_batch(std::make_unique<QueueItem[]>(kBatchItems)),
      m_changes(kBatchItems),
      m_changeItem(kBatchItems),
      m_changeResult(kBatchItems),
      m_itemResult(kBatchItems),
      m_recordQueue(std::make_unique<QueueItem[]>(kRingSlots)) {}

CDataBase::~CDataBase() {
    Close();
}

bool CDataBase::Open(const std::string& workDir) {
    try {
        Close();
        const int32_t handle = m_library.Open(IRecordDbLibrary::kKindRecordTable, workDir,
                                              m_fileName, IRecordDbLibrary::kModeServer);
        {
            CScopedLock<CSharedMutex> lock(m_handleLock);
            m_dbHandle = handle;
            if (handle != -1) {
                m_library.SetRecordRoots(handle, m_roots);
            }
        }
        m_isTerminate = false;
        if (handle != -1) {
            m_thread = std::thread(&CDataBase::Run, this);
            return true;
        }
    } catch (...) {
        m_server.Post(kMsgFailure, kFailureDatabase, kDbFailureOpen, 0);
        Close();  // no handle is left open behind a failed Open
        return false;
    }
    Close();
    return false;
}

void CDataBase::Close() {
    m_isTerminate = true;
    m_wake.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    // Waits for a deletion still working on the handle.
    CScopedLock<CSharedMutex> lock(m_handleLock);
    const int32_t handle = m_dbHandle.exchange(-1);
    if (handle != -1) {
        m_library.Close(handle);
    }
}

void CDataBase::SetRecordRoots(std::vector<std::string> roots) {
    CScopedLock<CSharedMutex> lock(m_handleLock);
    m_roots = std::move(roots);
    const int32_t handle = m_dbHandle;
    if (handle != -1) {
        m_library.SetRecordRoots(handle, m_roots);
    }
}

bool CDataBase::AddDbRecord(tagDB_Record& record) {
    record.Format = kFormatRecording;
    return Queue(record, kOpInsert);
}

bool CDataBase::UpdateDbRecord(tagDB_Record& record, int32_t registered, int32_t interim) {
    int32_t operation;
    if (record.Format == kFormatRecording) {
        record.Format = kFormatPcm;
        operation = interim == 1 ? kOpUpdate : kOpUpdateFinal;
    } else if (registered == 1) {
        operation = interim == 1 ? kOpUpdate : kOpUpdateFinal;
    } else {
        operation = kOpInsertFinal;
    }
    return Queue(record, operation);
}

bool CDataBase::DeleteDbRecord(const tagDB_Record& record) {
    return Queue(record, kOpDelete);
}

bool CDataBase::Queue(const tagDB_Record& record, int32_t operation) {
    bool queued = false;
    bool overflowBegins = false;
    {
        CMutexLock lock(m_queueLock);
        const int32_t next = (m_writePos + 1) % kRingSlots;
        if (m_overflow.empty() && next != m_readPos) {
            QueueItem& slot = m_recordQueue[m_writePos];
            slot.record = record;
            slot.operation = operation;
            m_writePos = next;
            queued = true;
        } else {
            // The ring is full (or items already wait behind it): the item
            // waits in the overflow queue, allocated only now.
            try {
                overflowBegins = m_overflow.empty();
                m_overflow.push_back(QueueItem{record, operation});
                ++m_overflowed;
                queued = true;
            } catch (const std::bad_alloc&) {
                overflowBegins = false;
            }
        }
    }
    if (!queued) {
        m_server.Post(kMsgFailure, kFailureDatabase, kDbFailureQueueFull, 0);
        return false;
    }
    if (overflowBegins) {
        m_server.WriteJournal(kJournalError, OverflowText());
    }
    m_wake.Set();
    return true;
}

int32_t CDataBase::TakeBatch() {
    CMutexLock lock(m_queueLock);
    int32_t count = 0;
    while (count < kBatchItems && m_readPos != m_writePos) {
        m_batch[count++] = m_recordQueue[m_readPos];
        m_readPos = (m_readPos + 1) % kRingSlots;
    }
    // The overflow queue only after the ring: its items are the newer ones.
    while (count < kBatchItems && !m_overflow.empty()) {
        m_batch[count++] = m_overflow.front();
        m_overflow.pop_front();
    }
    if (m_overflow.empty()) {
        m_overflow.shrink_to_fit();  // the memory of a burst goes back
    }
    return count;
}

int32_t CDataBase::QueuedCount() const {
    CMutexLock lock(m_queueLock);
    const std::size_t waiting =
        static_cast<std::size_t>((m_writePos - m_readPos + kRingSlots) % kRingSlots) +
        m_overflow.size();
    return waiting > INT32_MAX ? INT32_MAX : static_cast<int32_t>(waiting);
}

int64_t CDataBase::OverflowedCount() const {
    CMutexLock lock(m_queueLock);
    return m_overflowed;
}

// While items keep arriving, the first commit waits for them (a few
// milliseconds at most): a burst of closing records then goes to disk in a
// few large batches instead of filling the ring behind a commit of one item.
void CDataBase::GatherBurst() {
    constexpr int kMaxWaits = 8;
    constexpr int32_t kEnough = (kRingSlots - 1) * 4 / 5;
    int32_t seen = QueuedCount();
    for (int i = 0; i < kMaxWaits && !m_isTerminate && seen > 0 && seen < kEnough; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        const int32_t now = QueuedCount();
        if (now == seen) {
            return;  // no burst: write what is there
        }
        seen = now;
    }
}

void CDataBase::Run() {
    // The queue is emptied before the flag is tested, so everything queued
    // before Close is written before the table is closed. An exception costs
    // only the batch that raised it: the items behind it are still written,
    // also when Close is already waiting.
    for (;;) {
        GatherBurst();
        for (int32_t count; (count = TakeBatch()) > 0;) {
            try {
                WriteBatch(count);
            } catch (...) {
                m_server.Post(kMsgException, 0, kSourceDatabase, 0);
            }
        }
        if (m_isTerminate) {
            break;
        }
        m_wake.Wait();
    }
}

void CDataBase::WriteBatch(int32_t count) {
    std::size_t changes = 0;
    for (int32_t i = 0; i < count; ++i) {
        m_itemResult[i] = -1;  // also for an operation that does not exist
        const QueueItem& item = m_batch[i];
        RecordDbChange::Kind kind;
        switch (item.operation) {
            case kOpInsert:
            case kOpInsertFinal:
                kind = RecordDbChange::Kind::kAppend;
                break;
            case kOpUpdate:
            case kOpUpdateFinal:
                kind = RecordDbChange::Kind::kUpdate;
                break;
            case kOpDelete:
                kind = RecordDbChange::Kind::kDelete;
                break;
            default:
                continue;
        }
        m_changes[changes] = {kind, &item.record};
        m_changeItem[changes] = i;
        ++changes;
    }

    bool committed = true;
    bool threw = false;
    if (changes > 0) {
        try {
            committed = m_library.Apply(m_dbHandle, std::span(m_changes.data(), changes),
                                        std::span(m_changeResult.data(), changes)) == 0;
            for (std::size_t c = 0; committed && c < changes; ++c) {
                m_itemResult[m_changeItem[c]] = m_changeResult[c];
            }
        } catch (...) {
            m_server.Post(kMsgException, 0, kSourceDatabase, 0);
            threw = true;
        }
    }
    // A batch that failed as a whole is written again change by change, so
    // that one bad change, or a commit that failed once, loses nothing else.
    std::size_t written = changes;
    if (!committed && !threw) {
        written = WriteAlone(changes);
    }

    // Finished records go to the archiver whatever the library answered, in
    // the order they were queued, once the batch is on disk.
    for (int32_t i = 0; i < count; ++i) {
        const QueueItem& item = m_batch[i];
        if ((item.operation == kOpInsertFinal || item.operation == kOpUpdateFinal) && m_archiver) {
            try {
                m_archiver->Enqueue(item.record);
            } catch (...) {
                m_server.Post(kMsgException, 0, kSourceDatabase, 0);
            }
        }
    }
    if (threw) {
        return;
    }
    if (changes > 1 && written == 0) {
        // Not one change could be written, even alone: the table has failed,
        // and one report restarts the database.
        m_server.Post(kMsgFailure, kFailureDatabase, kDbFailureCall, 0);
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (m_itemResult[i] < 0) {
            m_server.Post(kMsgFailure, kFailureDatabase, kDbFailureCall, 0);
        }
    }
}

std::size_t CDataBase::WriteAlone(std::size_t changes) {
    std::size_t written = 0;
    for (std::size_t c = 0; c < changes; ++c) {
        int32_t result = -1;
        try {
            if (m_library.Apply(m_dbHandle, std::span(&m_changes[c], 1), std::span(&result, 1)) !=
                0) {
                result = -1;
            }
        } catch (...) {
            m_server.Post(kMsgException, 0, kSourceDatabase, 0);
            result = -1;
        }
        m_itemResult[m_changeItem[c]] = result;
        written += result >= 0 ? 1 : 0;
    }
    return written;
}

int32_t CDataBase::DeleteOldest(int32_t megabytes, RecordDeletionTally& tally) {
    int32_t result;
    {
        CSharedLock lock(m_handleLock);
        const int32_t handle = m_dbHandle;
        if (handle == -1) {
            return -1;
        }
        result = m_library.DeleteOldest(handle, megabytes, &tally);
    }
    if (m_archiver) {
        m_archiver->RefreshQueue();
    }
    return result;
}

int32_t CDataBase::DeleteBefore(int32_t year, int32_t month, int32_t day,
                                RecordDeletionTally& tally) {
    int32_t result;
    {
        CSharedLock lock(m_handleLock);
        const int32_t handle = m_dbHandle;
        if (handle == -1) {
            return -1;
        }
        result = m_library.DeleteBefore(handle, year, month, day, &tally);
    }
    if (m_archiver) {
        m_archiver->RefreshQueue();
    }
    return result;
}

bool CDataBase::WaitingItemNames(std::string_view recordName) const {
    const auto names = [recordName](const QueueItem& item) {
        const char* namefile = item.record.namefile;
        const std::size_t length = strnlen(namefile, sizeof item.record.namefile);
        return RecordNameOf(std::string_view(namefile, length)) == recordName;
    };
    CMutexLock lock(m_queueLock);
    for (int32_t i = m_readPos; i != m_writePos; i = (i + 1) % kRingSlots) {
        if (names(m_recordQueue[i])) {
            return true;
        }
    }
    return std::any_of(m_overflow.begin(), m_overflow.end(), names);
}

int32_t CDataBase::RecordFileOwned(const std::string& namefile) {
    const std::string_view name = RecordNameOf(namefile);
    if (name.empty()) {
        return -1;
    }
    // The waiting items first: an item leaves the ring only towards the table.
    if (WaitingItemNames(name)) {
        return 1;
    }
    tagDB_Record key{};
    SetText(key.namefile, namefile);
    uint32_t format = 0;
    return StoredFormat(key, format);
}

int32_t CDataBase::StoredFormat(const tagDB_Record& record, uint32_t& format) {
    CSharedLock lock(m_handleLock);
    const int32_t handle = m_dbHandle;
    return handle == -1 ? -1 : m_library.FindFormat(handle, record, format);
}

int32_t CDataBase::FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) {
    CSharedLock lock(m_handleLock);
    const int32_t handle = m_dbHandle;
    return handle == -1 ? -1 : m_library.FilesWithFormat(handle, format, namefiles);
}

void CDataBase::DumpState(std::ostream& out) const {
    out << "CDataBase\n"
        << "m_dbHandle=" << m_dbHandle.load() << "\n"
        << "m_isTerminate=" << (m_isTerminate.load() ? 1 : 0) << "\n"
        << "m_recordQueue.NumberOfItemsAvailableForRead()=" << QueuedCount() << "\n";
}

}  // namespace zorv
