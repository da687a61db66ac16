#include "storage/FileCompressor.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/Journal.h"
#include "core/ServerMessage.h"
#include "platform/FileOps.h"
#include "platform/ThreadPriority.h"
#include "storage/RecordRepair.h"

namespace zorv {
namespace {

constexpr char kGroupTag[] = "WMIDGRP";
constexpr char kFaxTag[] = "WMIDFAX";
constexpr uint8_t kGroupKind = 4;
constexpr uint8_t kFaxKind = 2;
constexpr std::size_t kMarkTextSize = 21;

bool EndsWithNoCase(const std::string& name, const std::string& tail) {
    if (name.size() < tail.size()) {
        return false;
    }
    return std::equal(tail.rbegin(), tail.rend(), name.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

// Two format blocks name the same format: PCM by their first 16 bytes,
// anything else by its whole block (cbSize included).
bool SameFormat(const CWaveFormat& a, const CWaveFormat& b) {
    if (a.Size() < sizeof(tagWaveFormatEx) || b.Size() < sizeof(tagWaveFormatEx)) {
        return false;
    }
    if (a.Tag() == kWaveFormatPcm && b.Tag() == kWaveFormatPcm) {
        return std::equal(a.Data(), a.Data() + 16, b.Data());
    }
    return a.ExtraSize() == b.ExtraSize() && a.Size() == b.Size() && a == b;
}

void AppendRemark(tagDB_Record& record, const std::string& text) {
    const std::string remark = GetText(record.Remark);
    if (remark.size() + text.size() < sizeof(record.Remark)) {
        SetText(record.Remark, remark + text);
    }
}

std::string DayDirectoryOf(const std::string& root, const tagDB_Record& record,
                           const std::string& dirExt) {
    char date[16];
    std::snprintf(date, sizeof(date), "%04u%02u%02u", record.year % 10000, record.mon % 100,
                  record.day % 100);
    return root + "/" + date + "." + dirExt + "/";
}

}  // namespace

CFileCompressor::CFileCompressor(IServer& server, IRecordQueue* database, IClock& clock,
                                 std::string formatFileName, const CHiddenMark& marks,
                                 IRecordFaxDecoder* fax)
    : m_server(server), m_database(database), m_clock(clock), m_marks(marks), m_fax(fax) {
    SetFormatFileName(formatFileName);
}

void CFileCompressor::SetFormatFileName(const std::string& path) {
    CMutexLock lock(m_lock);
    m_formatFileName = path;
    m_table = std::make_unique<CFormatTable>(path, static_cast<CFormatTable::IListener*>(this));
    m_tableLoaded = false;
}

CFileCompressor::~CFileCompressor() {
    Stop();
}

bool CFileCompressor::Start() {
    Stop();
    {
        CMutexLock lock(m_lock);
        if (!m_table->Load()) {
            m_table->Clear();
            m_tableLoaded = false;
            return false;
        }
        m_tableLoaded = true;
    }
    m_isTerminate.store(false);
    m_held.store(m_startHeld.load());
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CFileCompressor::Stop() {
    m_isTerminate.store(true);
    {
        std::lock_guard<std::mutex> wake(m_sleepLock);
        m_sleepWake.notify_all();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_acmDrv.Close();
    {
        CMutexLock lock(m_lock);
        m_table->Clear();
        m_tableLoaded = false;
        m_isFormatChanged = false;
        RefreshViews();
    }
    m_countFileProcessing.store(0);
    m_passedOver.clear();
    m_youngFiles.clear();
    SetState(kNoFile);
}

void CFileCompressor::SetMinSizeFile(uint32_t seconds) {
    m_minSizeFile.store(seconds);
}
void CFileCompressor::SetCompressIdle(bool idleOnly) {
    m_isCompressIdle.store(idleOnly);
}
void CFileCompressor::SetFax(bool on) {
    m_faxEnable.store(on);
}

void CFileCompressor::SetRecordPath(int index, const std::string& path) {
    if (index == 0 || index == 1) {
        CMutexLock lock(m_lock);
        m_paths[index] = path;
    }
}

void CFileCompressor::SetPrefixes(const std::string& suffix, const std::string& dirExt) {
    CMutexLock lock(m_lock);
    if (suffix.size() < 4) {
        m_fileExt = suffix;
    }
    if (dirExt.size() < 8) {
        m_dirExt = dirExt;
    }
}

bool CFileCompressor::Set(const void* block, std::size_t size) {
    CMutexLock lock(m_lock);
    if (!m_tableLoaded) {
        // Before the start the table is the file's: add to it, not replace it.
        m_tableLoaded = m_table->Load();
    }
    const bool ok = m_table->Set(block, size);
    m_isFormatChanged = m_table->m_isFormatChanged;
    return ok;
}

bool CFileCompressor::Get(uint32_t rate, uint16_t channels, CWaveFormat& format) const {
    CMutexLock lock(m_lock);
    const CWaveFormat* entry = m_table->Get(rate, channels);
    if (entry == nullptr) {
        return false;
    }
    format = *entry;
    return true;
}

CompressorSnapshot CFileCompressor::Snapshot() const {
    CMutexLock lock(m_snapshotLock);
    CompressorSnapshot snapshot = m_snapshot;
    snapshot.processedFiles = m_countFileProcessing.load();
    snapshot.packingProgress = snapshot.sourceSeconds != 0 ? m_progress.sourceBytes.load() : 0;
    return snapshot;
}

void CFileCompressor::SetState(int state) {
    CMutexLock lock(m_snapshotLock);
    m_snapshot.state = state;
    if (state == kNoFile || state == kFileExist) {
        m_snapshot.sourceSeconds = 0;
        m_progress.sourceBytes.store(0);
    }
}

void CFileCompressor::OnFormatError(int code) {
    PostError(code);
}

void CFileCompressor::PostError(int32_t code) {
    m_server.Post(kMsgFailure, kFailureCompressor, code, 0);
}

void CFileCompressor::Release() {
    std::lock_guard<std::mutex> wake(m_sleepLock);
    m_held.store(false);
    m_sleepWake.notify_all();
}

void CFileCompressor::Sleep(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_sleepLock);
    m_sleepWake.wait_for(lock, duration, [this] { return m_isTerminate.load(); });
}

void CFileCompressor::Run() {
    // Recording must never starve: one step below normal, or idle time only.
    if (m_isCompressIdle.load()) {
        SetCurrentThreadLowest();
    } else {
        LowerCurrentThreadPriority();
    }
    {
        std::unique_lock<std::mutex> lock(m_sleepLock);
        m_sleepWake.wait(lock, [this] { return m_isTerminate.load() || !m_held.load(); });
    }
    try {
        while (!m_isTerminate.load()) {
            const int found = RunPass();
            SetState(kNoFile);
            Sleep(std::chrono::milliseconds(found == 0 ? 1000 : 100));
        }
    } catch (const std::exception& e) {
        HandleException(e.what());
    } catch (...) {
        HandleException("unknown exception");
    }
}

std::vector<std::string> CFileCompressor::FindFiles(const std::string& root,
                                                    const std::string& suffix) const {
    std::vector<std::string> names;
    if (root.empty()) {
        return names;
    }
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) {
        return names;
    }
    const std::string tail = suffix + ".wav";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || !EndsWithNoCase(name, tail)) {
            continue;
        }
        struct stat st {};
        if (::stat((root + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            m_passedOver.count(root + "/" + name) == 0) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

int CFileCompressor::RunPass() {
    std::string root;
    std::vector<std::string> names;
    {
        CMutexLock lock(m_lock);
        const std::string suffix = m_fileExt;
        for (int i : {1 - m_lastRoot, m_lastRoot}) {
            // The two roots may be one directory: it is searched once.
            if (i != m_lastRoot && m_paths[i] == m_paths[m_lastRoot]) {
                continue;
            }
            m_findName = m_paths[i] + "/*" + suffix + ".wav";
            names = FindFiles(m_paths[i], suffix);
            if (!names.empty()) {
                root = m_paths[i];
                m_lastRoot = i;
                break;
            }
        }
    }
    if (names.empty()) {
        SetState(kNoFile);
        return 0;
    }
    for (const std::string& name : names) {
        if (m_isTerminate.load()) {
            break;
        }
        ProcessFile(root, name);
    }
    SetState(kNoFile);
    return static_cast<int>(names.size());
}

void CFileCompressor::RefreshViews() {
    for (auto [file, view] : {std::pair{&m_fileIn, &m_inView}, std::pair{&m_fileOut, &m_outView}}) {
        view->opened = file->isOpened();
        view->name = file->getFileName();
        view->samples = file->getSamplesCount();
        view->wfx = file->GetWfx() != nullptr ? *file->GetWfx() : tagWaveFormatEx{};
        view->record = file->getDbRecord();
    }
    m_codecOutSize = m_acmDrv.GetOutSize();
    m_codecInSize = m_acmDrv.GetInputSize();
    m_codecChannels = m_acmDrv.GetSrcnChannels();
    m_codecRate = m_acmDrv.GetSrcnSamplesPerSec();
}

void CFileCompressor::ProcessFile(const std::string& root, const std::string& name) {
    bool hidden = false;
    std::string dirExt;
    {
        CMutexLock lock(m_lock);
        SetState(kFileExist);
        m_fileName = root + "/" + name;
        dirExt = m_dirExt;
        struct stat st {};
        m_lastFoundSize =
            ::stat(m_fileName.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        const int opened = m_fileIn.OpenExisting(m_fileName, CWavFile::kShareNone, true);
        RefreshViews();
        if (opened == CWavFile::kOpenFailed) {
            return;  // still being recorded, or not accessible: a later pass
        }
        if (opened == CWavFile::kOpenInvalid) {
            // A recorder creates its file and then locks it and writes the
            // header: a file found empty may be that moment. It is set aside
            // only when a later pass finds it no better.
            if (m_lastFoundSize < 1024 && m_youngFiles.insert(m_fileName).second) {
                return;
            }
            m_youngFiles.erase(m_fileName);
            SetAside(m_fileName, "not a record file (damaged header)");
            return;
        }
        hidden = m_marks.Has(m_fileName);
        const tagWaveFormatEx& wfx = *m_fileIn.GetWfx();
        const uint64_t dataSize = m_fileIn.GetDataSize();
        if (dataSize == 0 ||
            dataSize < static_cast<uint64_t>(m_minSizeFile.load()) * wfx.nAvgBytesPerSec) {
            const tagDB_Record record = m_fileIn.getDbRecord();
            if (m_fileIn.DeleteFile()) {
                m_marks.Clear(m_fileName);
                if (hidden && m_database != nullptr) {
                    m_database->DeleteDbRecord(record);
                }
            } else {
                m_server.FormatJournal(kJournalError, "Compressor: %s cannot be deleted: %s",
                                       m_fileName, std::string(std::strerror(errno)));
                m_passedOver.insert(m_fileName);
            }
            RefreshViews();
            return;
        }
        const LocalTime now = m_clock.Local();
        const ERepairFailure failure = RepairRecordMetadata(m_fileIn, m_fileName, now);
        if (failure != ERepairFailure::kNone) {
            m_fileIn.Close();
            SetAside(m_fileName, RepairFailureText(failure));
            RefreshViews();
            return;
        }

        m_groupMarks.clear();
        const uint8_t* marks = m_fileIn.GetMarkPointer();
        const uint32_t markBytes = marks != nullptr ? m_fileIn.GetMarkSize() : 0;
        for (uint32_t at = 0; at + CWavFile::kMarkSize <= markBytes; at += CWavFile::kMarkSize) {
            const uint8_t* mark = marks + at;
            if (std::memcmp(mark, kGroupTag, 7) == 0 && mark[7] == kGroupKind) {
                SGroupMark group;
                std::memcpy(group.bytes, mark, CWavFile::kMarkSize);
                group.value = static_cast<int32_t>(LoadLe32(mark + 8));
                group.text.assign(reinterpret_cast<const char*>(mark + 12),
                                  strnlen(reinterpret_cast<const char*>(mark + 12), kMarkTextSize));
                m_groupMarks.push_back(std::move(group));
            }
        }

        SetState(kFileOpen);
        tagDB_Record& record = m_fileIn.getDbRecord();
        const std::string day = DayDirectoryOf(root, record, dirExt);
        if (::mkdir(day.c_str(), kDataDirectoryMode) != 0 && errno != EEXIST) {
            m_server.FormatJournal(kJournalError, "Compressor: directory %s cannot be made: %s",
                                   day, std::string(std::strerror(errno)));
            m_fileIn.Close();
            m_passedOver.insert(m_fileName);
            RefreshViews();
            return;
        }
        SetText(record.namefile, day + name);
        {
            CMutexLock published(m_snapshotLock);
            m_snapshot.sourceSeconds = static_cast<uint32_t>(dataSize / wfx.nAvgBytesPerSec);
        }
        RefreshViews();
    }

    if (TryFax(hidden)) {
        return;
    }

    const CWaveFormat input = m_fileIn.GetFormat();
    CWaveFormat target;
    {
        CMutexLock lock(m_lock);
        if (!m_tableLoaded) {
            m_tableLoaded = m_table->Load();  // RunPass without Start
        }
        const CWaveFormat* entry = m_table->Get(input.Rate(), input.Channels());
        if (entry != nullptr) {
            target = *entry;
        }
        m_isFormatChanged = false;
        m_table->m_isFormatChanged = false;
    }
    tagDB_Record& record = m_fileIn.getDbRecord();
    if (!target.Empty() && SameFormat(input, target)) {
        record.Format = kFormatConverted;
        if (MoveSource()) {
            Register(record, hidden);
            m_countFileProcessing.fetch_add(1);
        }
        SetState(kFileExist);
        return;
    }
    const CWaveFormat source = PcmSourceFormat(input);
    bool haveFormat = !target.Empty();
    if (haveFormat && m_acmDrv.Open(source, target, source.AvgBytesPerSec()) != 0) {
        PostError(kErrorCodecStream);
        haveFormat = false;
    }
    if (!haveFormat) {
        PostError(kErrorNoFormat);
        record.Format = kFormatPcm;
        if (MoveSource()) {
            Register(record, hidden);
        }
        return;
    }

    {
        CMutexLock lock(m_lock);
        m_fileOut.Close();
        m_fileOut.getDbRecord() = record;
        const bool created =
            m_fileOut.SetFormatBlock(target) &&
            m_fileOut.CreateNew(GetText(record.namefile), m_fileIn.getSamplesCount(),
                                CWavFile::kShareNone, true);
        RefreshViews();
        if (created) {
            m_pendingOutput = GetText(record.namefile);
        } else {
            PostError(kErrorOutputFile);
            m_acmDrv.Close();
            record.Format = kFormatPcm;
            if (MoveSource()) {
                Register(record, hidden);
            }
            return;
        }
    }

    SetState(kCompressProcessing);
    const EConvertResult result =
        ConvertRecord(m_fileIn, m_fileOut, m_acmDrv, m_isTerminate, m_progress);
    m_acmDrv.Close();
    if (result == EConvertResult::kCodecError) {
        PostError(kErrorConversion);
    }
    bool converted = result == EConvertResult::kDone;
    if (converted) {
        tagDB_Record& out = m_fileOut.getDbRecord();
        out.Format = kFormatConverted;
        SetState(kAddDataBase);
        if (!m_groupMarks.empty() && m_fileOut.BeginMarks()) {
            for (const SGroupMark& mark : m_groupMarks) {
                m_fileOut.WriteMark(mark.bytes, sizeof(mark.bytes));
            }
        }
        // A converted file that did not reach the disk whole is no result.
        converted = m_fileOut.Close();
        if (converted) {
            Register(out, hidden);
            const std::string source = m_fileIn.getFileName();
            if (m_fileIn.DeleteFile()) {
                m_pendingOutput.clear();
                m_marks.Clear(source);
            } else {
                m_server.FormatJournal(kJournalError,
                                       "Compressor: %s was converted but cannot be deleted: %s",
                                       source, std::string(std::strerror(errno)));
                m_passedOver.insert(source);
            }
        } else {
            PostError(kErrorConversion);
            ::unlink(GetText(out.namefile).c_str());
        }
    }
    m_pendingOutput.clear();
    if (!converted) {
        record.Format = kFormatPcm;
        SetState(kAddDataBase);
        if (m_fileOut.isOpened() && !m_fileOut.DeleteFile()) {
            m_server.FormatJournal(kJournalError, "Compressor: %s cannot be deleted: %s",
                                   GetText(record.namefile), std::string(std::strerror(errno)));
        }
        if (MoveSource()) {
            Register(record, hidden);
        }
    }
    m_countFileProcessing.fetch_add(1);
    SetState(kFileExist);
    CMutexLock lock(m_lock);
    RefreshViews();
}

bool CFileCompressor::TryFax(bool hidden) {
    tagDB_Record& record = m_fileIn.getDbRecord();
    if (m_fax == nullptr || !m_faxEnable.load() || record.inout < 1 || record.inout > 5) {
        return false;
    }
    SetState(kFaxProcessing);
    SFaxFinding finding;
    int result = 0;
    try {
        result = m_fax->Decode(m_fileIn, GetText(record.namefile), finding);
    } catch (...) {
        m_server.Post(kMsgException, 0, kSourceFaxDecoder, 0);
        result = 0;
    }
    if (result <= 1) {
        return false;
    }
    record.isFax = 1;
    record.Format = kFormatPcm;
    if (result == 6) {
        AppendRemark(record, "NSF ");
    }
    std::string markText;
    if (!finding.dcs.empty()) {
        markText = "DCS:" + finding.dcs;
        AppendRemark(record, "FAX DCS:" + finding.dcs);
    } else if (!finding.dis.empty()) {
        markText = "DIS:" + finding.dis;
        AppendRemark(record, "FAX DIS:" + finding.dis);
    }
    uint8_t mark[CWavFile::kMarkSize] = {};
    std::memcpy(mark, kFaxTag, 7);
    mark[7] = kFaxKind;
    StoreLe32(mark + 8, static_cast<uint32_t>(finding.offset));
    std::memcpy(mark + 12, markText.data(), std::min(markText.size(), kMarkTextSize - 1));
    if (m_fileIn.BeginMarks()) {
        m_fileIn.WriteMark(mark, sizeof(mark));
    }
    if (MoveSource()) {
        Register(record, hidden);
    }
    SetState(kFileExist);
    return true;
}

bool CFileCompressor::MoveSource() {
    tagDB_Record& record = m_fileIn.getDbRecord();
    const std::string from = m_fileIn.getFileName();
    const std::string to = GetText(record.namefile);
    if (m_fileIn.MoveTo(to)) {
        m_marks.Clear(to);
        m_marks.Clear(from);  // a side record stays behind
        return true;
    }
    const int error = errno;
    // The file stays in the root, where its row (if any) already points: the
    // database is not told. It is not tried again in this run.
    SetText(record.namefile, from);
    m_passedOver.insert(from);
    m_server.FormatJournal(kJournalError, "Compressor: %s cannot be moved to %s: %s", from, to,
                           std::string(std::strerror(error)));
    return false;
}

void CFileCompressor::Register(tagDB_Record& record, bool hidden) {
    if (m_database == nullptr) {
        return;
    }
    m_database->UpdateDbRecord(record, hidden ? 1 : 0, 0);
    for (const SGroupMark& mark : m_groupMarks) {
        tagDB_Record copy = record;
        SetText(copy.alias, mark.text);
        if (mark.value != 0) {
            copy.inout = static_cast<uint32_t>(mark.value);
        }
        m_database->UpdateDbRecord(copy, 0, 0);
    }
}

void CFileCompressor::SetAside(const std::string& path, const std::string& reason) {
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = path.substr(0, slash) + "/" + kSetAsideDirectory;
    const std::string name = path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    std::string target;
    if (::mkdir(directory.c_str(), kDataDirectoryMode) == 0 || errno == EEXIST) {
        target = FreeFileName(directory + "/" + name.substr(0, dot),
                              dot == std::string::npos ? "" : name.substr(dot));
    }
    if (target.empty() || !RenameNoReplace(path, target)) {
        m_server.FormatJournal(kJournalError,
                               "Compressor: %s cannot be used (%s) nor set aside: %s", path, reason,
                               std::string(std::strerror(errno)));
        m_passedOver.insert(path);
        return;
    }
    m_marks.Clear(path);
    WriteFile(target + ".txt",
              "Set aside by the compressor: " + reason + "\nFound as " + path + "\n", kDataFileMode,
              FileWrite::kReplace);
    m_server.FormatJournal(kJournalError, "Compressor: %s set aside as %s: %s", path, target,
                           reason);
}

void CFileCompressor::HandleException(const char* what) {
    try {
        m_fileOut.DeleteFile();
        std::string path;
        {
            CMutexLock lock(m_lock);
            path = m_fileName;
        }
        if (m_fileIn.isOpened() && !m_pendingOutput.empty()) {
            ::unlink(m_pendingOutput.c_str());
        }
        m_pendingOutput.clear();
        if (m_fileIn.isOpened()) {
            // The file stays where it lies: its row points there and says it
            // still waits, so that the next start converts it and updates it.
            tagDB_Record& record = m_fileIn.getDbRecord();
            const bool hidden = m_marks.Has(path);
            record.Format = kFormatPcm;
            SetText(record.namefile, m_fileIn.getFileName());
            m_fileIn.Close();
            if (m_database != nullptr) {
                m_database->UpdateDbRecord(record, hidden ? 1 : 0, 0);
                m_marks.Set(path);
            }
        }
        m_acmDrv.Close();
        m_server.FormatJournal(kJournalError, "Compressor: exception: %s", std::string(what));
    } catch (...) {
    }
    SetState(kNoFile);
    m_server.Post(kMsgException, 0, kSourceCompressor, 0);
}

}  // namespace zorv
