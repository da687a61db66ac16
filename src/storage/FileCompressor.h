// CFileCompressor: the background compressor. Records made in the flat
// layout (channel Compress 1) wait in the record roots as 16-bit PCM; the
// compressor's thread finds them ("<root>/*<suffix>.wav", passes alternating
// between the two roots), repairs their metadata (RecordRepair.h), lets the
// fax decoder look at them, converts them into the target format of the
// formats table for their rate and channels (RecordConverter.h), places the
// result in the day directory "<root>/<YYYYMMDD>.<day suffix>/" and tells
// the record database (an update of a registered record, an insertion of an
// unregistered one; the hidden mark says which, and is cleared on the move).
//
// A file moves from its root into its day directory exactly once: converted
// (the new file written, the source deleted) or moved unchanged (no target
// format, a failed conversion: Format 0). A file that is no record or whose
// format cannot be computed with is never deleted: it is set aside into
// "<root>/unreadable/" with a note "<name>.txt" saying why, and journaled.
// A file that cannot be moved stays where it is, its row pointing there,
// and is not tried again until the next start.
//
// Errors are posted as failure kind 5 with the compressor's error code; the
// server journals them and writes DumpState into its exception file. An
// exception in the thread leaves the file in work where it lies, with a row
// that points there, posts message 3 (source 120) and ends the thread.
//
// Owned by the server object. Start, Stop and the setters come from the
// server's threads (message thread, timer); Set/Get from client threads;
// Snapshot from the timer; the work runs on the compressor's own thread
// (or on the caller's, through RunPass, while the thread is not running).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/Server.h"
#include "core/ServerComponents.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "storage/AcmCodec.h"
#include "storage/FormatTable.h"
#include "storage/HiddenMark.h"
#include "storage/RecordConverter.h"
#include "storage/RecordFaxDecoder.h"
#include "storage/RecordQueue.h"
#include "storage/WavFile.h"

namespace zorv {

class CFileCompressor final : public ICompressor, private CFormatTable::IListener {
public:
    // Compress State codes.
    enum EState : int {
        kNoFile = 0,
        kFileExist = 1,
        kFileOpen = 2,
        kFaxProcessing = 3,
        kCompressProcessing = 4,
        kAonProcessing = 5,  // defined, not entered by this loop
        kAddDataBase = 6,
    };
    // Compressor error codes (catalogue text 201 + code).
    enum EError : int32_t {
        kErrorInit = 1,
        kErrorOutputFile = 2,
        kErrorConversion = 3,
        kErrorCodecStream = 4,
        kErrorNoFormat = 5,
    };
    // The directory of a root where files that cannot be used are set aside.
    static constexpr const char* kSetAsideDirectory = "unreadable";

    // database may be null (nothing is entered); fax may be null (no fax
    // decoding). formatFileName: the formats file (CFormatTable::FilePath),
    // also settable later, before Start.
    CFileCompressor(IServer& server, IRecordQueue* database, IClock& clock,
                    std::string formatFileName, const CHiddenMark& marks,
                    IRecordFaxDecoder* fax = nullptr);
    void SetFormatFileName(const std::string& path);
    ~CFileCompressor() override;
    CFileCompressor(const CFileCompressor&) = delete;
    CFileCompressor& operator=(const CFileCompressor&) = delete;

    // ICompressor
    // Loads the formats table (false when it cannot be used) and starts the
    // thread, one step below normal priority (the lowest with CompressIdle).
    bool Start() override;
    // Stops the thread (a conversion in progress ends; its source is moved
    // unchanged with Format 0), empties the table, resets the counters.
    void Stop() override;
    void SetMinSizeFile(uint32_t seconds) override;
    void SetCompressIdle(bool idleOnly) override;
    void SetRecordPath(int index, const std::string& path) override;
    CompressorSnapshot Snapshot() const override;
    void DumpState(std::ostream& out) const override;

    // The file suffix (taken when shorter than 4 characters) and the day
    // directory extension (when shorter than 8).
    void SetPrefixes(const std::string& suffix, const std::string& dirExt);
    void SetFax(bool on);
    // With held, every Start leaves the thread waiting for Release before
    // its first pass: the server first lets the start-up scan of the record
    // roots repair and enter what an abrupt stop left, so that the two never
    // enter the same record twice.
    void SetStartHeld(bool held) { m_startHeld.store(held); }
    void Release();
    // The formats table's Set: adds or replaces the target format of the
    // block's rate and channels, and saves the table. False when refused.
    bool Set(const void* block, std::size_t size);
    // The target format of a rate and channel count; false when none.
    bool Get(uint32_t rate, uint16_t channels, CWaveFormat& format) const;

    // One pass over the roots on the caller's thread (tests; never while the
    // thread runs): the files found, 0 when there were none. Exceptions pass.
    int RunPass();

    static const char* StateName(int state);
    uint32_t ProcessedFiles() const { return m_countFileProcessing.load(); }

private:
    // What the state dump shows of a CWavFile; copied under m_lock by the
    // compressor's thread whenever the file changes, so that the dump never
    // reads a file the thread is working on.
    struct SFileView {
        bool opened = false;
        std::string name;
        uint32_t samples = 0;
        tagWaveFormatEx wfx{};
        tagDB_Record record{};
    };
    struct SGroupMark {
        int32_t value = 0;
        std::string text;
        uint8_t bytes[CWavFile::kMarkSize] = {};
    };

    void OnFormatError(int code) override;
    void PostError(int32_t code);
    void Run();
    void SetState(int state);
    void Sleep(std::chrono::milliseconds duration);
    // Files "*<suffix>.wav" of a root, sorted; regular files only.
    std::vector<std::string> FindFiles(const std::string& root, const std::string& suffix) const;
    void ProcessFile(const std::string& root, const std::string& name);
    // Fax step; true when the file was handled as a fax.
    bool TryFax(bool hidden);
    // Moves FileIn into the day directory (namefile) and clears its marks;
    // false (journaled, the file left where it is with namefile pointing
    // there) when the move fails.
    bool MoveSource();
    // The database row of the file and the group copies.
    void Register(tagDB_Record& record, bool hidden);
    void SetAside(const std::string& path, const std::string& reason);
    void HandleException(const char* what);
    void RefreshViews() REQUIRES(m_lock);
    static void DumpFile(std::ostream& out, const char* title, const SFileView& view);

    // Constant after construction
    IServer& m_server;
    IRecordQueue* const m_database;
    IClock& m_clock;
    const CHiddenMark& m_marks;
    IRecordFaxDecoder* const m_fax;

    // Paths, prefixes, the formats table and the file selection.
    mutable CMutex m_lock;
    std::string m_paths[2] GUARDED_BY(m_lock);
    std::string m_fileExt GUARDED_BY(m_lock) = "z18";
    std::string m_dirExt GUARDED_BY(m_lock) = "zr18";
    std::string m_formatFileName GUARDED_BY(m_lock);
    std::unique_ptr<CFormatTable> m_table GUARDED_BY(m_lock);
    bool m_tableLoaded GUARDED_BY(m_lock) = false;
    bool m_isFormatChanged GUARDED_BY(m_lock) = false;
    std::string m_findName GUARDED_BY(m_lock);
    std::string m_fileName GUARDED_BY(m_lock);
    SFileView m_inView GUARDED_BY(m_lock);
    SFileView m_outView GUARDED_BY(m_lock);
    std::size_t m_codecOutSize GUARDED_BY(m_lock) = 0;
    std::size_t m_codecInSize GUARDED_BY(m_lock) = 0;
    uint16_t m_codecChannels GUARDED_BY(m_lock) = 0;
    uint32_t m_codecRate GUARDED_BY(m_lock) = 0;
    uint64_t m_lastFoundSize GUARDED_BY(m_lock) = 0;

    // Settings read by the thread without the lock.
    std::atomic<bool> m_isTerminate{false};
    std::atomic<bool> m_isCompressIdle{false};
    std::atomic<uint32_t> m_minSizeFile{5};
    std::atomic<bool> m_faxEnable{true};
    std::atomic<bool> m_startHeld{false};
    std::atomic<bool> m_held{false};

    // Published for the hang detection: state, files, progress and source
    // duration move together under m_snapshotLock.
    mutable CMutex m_snapshotLock;
    CompressorSnapshot m_snapshot GUARDED_BY(m_snapshotLock);
    std::atomic<uint32_t> m_countFileProcessing{0};
    SConvertProgress m_progress;

    // The compressor's thread only (or RunPass's caller).
    CAcmCodec m_acmDrv;
    CWavFile m_fileIn;
    CWavFile m_fileOut;
    std::vector<SGroupMark> m_groupMarks;
    // The converted file while its source still exists: removed again when
    // the work on the source ends by an exception.
    std::string m_pendingOutput;
    int m_lastRoot = 0;
    // Files that could not be moved or deleted: not tried again in this run.
    std::set<std::string> m_passedOver;
    // Files found too short for a header once: set aside when found so again.
    std::set<std::string> m_youngFiles;

    std::thread m_thread;  // Start and Stop only
    std::mutex m_sleepLock;
    std::condition_variable m_sleepWake;
};

}  // namespace zorv
