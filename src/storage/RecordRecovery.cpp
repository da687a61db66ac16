#include "storage/RecordRecovery.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <system_error>

#include "core/Journal.h"
#include "platform/Cp1251.h"
#include "storage/RecordFileCheck.h"
#include "storage/WavFile.h"
#include "storage/WaveFormat.h"

namespace zorv {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRiff = 0x46464952;  // "RIFF"
constexpr uint32_t kWave = 0x45564157;  // "WAVE"
constexpr uint32_t kData = 0x61746164;  // "data"

// Journal texts the message catalogue has no number for.
const std::string& RepairedText() {
    static const std::string text =
        Utf8ToCp1251("Запись %s, прерванная остановкой сервера, восстановлена: %u с.");
    return text;
}
const std::string& EnteredText() {
    static const std::string text =
        Utf8ToCp1251("Записей, внесённых в базу данных при запуске: %d.");
    return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           ::strcasecmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// What a look at the header of a record file found.
enum class Probe { kHeld, kNotARecord, kClosed, kCut };

// Looks at the file without changing it: held by someone (any flock), not a
// RIFF/WAVE file, closed (its RIFF size is the file's size) or cut short.
Probe ProbeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Probe::kNotARecord;
    }
    Probe probe = Probe::kNotARecord;
    struct stat info {};
    std::array<uint8_t, 12> header{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        probe = Probe::kNotARecord;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        probe = Probe::kHeld;
    } else if (::pread(fd, header.data(), header.size(), 0) ==
                   static_cast<ssize_t>(header.size()) &&
               LoadLe32(&header[0]) == kRiff && LoadLe32(&header[8]) == kWave) {
        const uint64_t declared = static_cast<uint64_t>(LoadLe32(&header[4])) + 8;
        probe = declared == static_cast<uint64_t>(info.st_size) ? Probe::kClosed : Probe::kCut;
    }
    ::close(fd);  // also releases the lock
    return probe;
}

}  // namespace

CRecordRecovery::CRecordRecovery(IServer& server, IRecordQueue& queue, IRecordLookup& lookup,
                                 const CHiddenMark& marks, std::string fileSuffix,
                                 std::string daySuffix)
    : m_server(server),
      m_queue(queue),
      m_lookup(lookup),
      m_marks(marks),
      m_fileSuffix(std::move(fileSuffix)),
      m_daySuffix(std::move(daySuffix)) {}

bool CRecordRecovery::IsRecordName(const std::string& name) const {
    return name.size() > m_fileSuffix.size() + 4 && name.front() != '.' &&
           EndsWithNoCase(name, m_fileSuffix + ".wav");
}

bool CRecordRecovery::IsDayDirectory(const std::string& name) const {
    return IsRecordDayDirectoryName(name, m_daySuffix);
}

CRecordRecovery::Layout CRecordRecovery::LayoutOf(const std::string& path,
                                                  const std::vector<std::string>& roots) const {
    const fs::path file(path);
    if (!file.is_absolute() || !IsRecordName(file.filename().string())) {
        return Layout::kNone;
    }
    const std::string parent = file.parent_path().lexically_normal().string();
    const std::string grandParent = file.parent_path().parent_path().lexically_normal().string();
    const bool inDay = IsDayDirectory(file.parent_path().filename().string());
    for (const std::string& root : roots) {
        const std::string normal = WithoutTrailingSlash(fs::path(root).lexically_normal().string());
        if (parent == normal) {
            return Layout::kFlat;
        }
        if (inDay && grandParent == normal) {
            return Layout::kDay;
        }
    }
    return Layout::kNone;
}

void CRecordRecovery::Collect(const std::string& root, std::vector<std::string>& files) const {
    std::error_code ec;
    fs::directory_iterator it(root, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        const std::string name = entry.path().filename().string();
        std::error_code typeError;
        if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
            if (!IsDayDirectory(name)) {
                continue;
            }
            std::error_code dayError;
            fs::directory_iterator day(entry.path(), dayError);
            for (; !dayError && day != fs::directory_iterator(); day.increment(dayError)) {
                if (IsRecordName(day->path().filename().string())) {
                    files.push_back(day->path().string());
                }
            }
        } else if (IsRecordName(name)) {
            files.push_back(entry.path().string());
        }
    }
}

CRecordRecovery::Result CRecordRecovery::Run(const std::vector<std::string>& roots) {
    std::vector<std::string> absoluteRoots;
    for (const std::string& root : roots) {
        if (!root.empty() && root.front() == '/') {
            absoluteRoots.push_back(WithoutTrailingSlash(root));
        }
    }
    std::vector<std::string> files;
    for (const std::string& root : absoluteRoots) {
        Collect(root, files);
    }
    // Rows still being written name their files; only those inside the roots
    // are touched (the table's paths are not trusted further).
    std::vector<std::string> writing;
    if (m_lookup.FilesWithFormat(kFormatRecording, writing) > 0) {
        files.insert(files.end(), writing.begin(), writing.end());
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());

    Result result;
    for (const std::string& path : files) {
        const Layout layout = LayoutOf(path, absoluteRoots);
        if (layout != Layout::kNone) {
            Recover(path, layout, result);
        }
    }
    if (result.entered > 0) {
        m_server.FormatJournal(kJournalInfo, EnteredText(), result.entered);
    }
    return result;
}

void CRecordRecovery::Recover(const std::string& path, Layout layout, Result& result) {
    const bool flat = layout == Layout::kFlat;
    tagDB_Record key{};
    SetText(key.namefile, path);
    uint32_t storedFormat = 0;
    const int32_t stored = m_lookup.StoredFormat(key, storedFormat);
    if (stored < 0) {
        ++result.skipped;
        return;
    }
    const bool writing = stored == 1 && storedFormat == kFormatRecording;
    if (stored == 1 && !writing) {
        // Finished and entered, the common case: only a row with Format 4
        // belongs to a record that was still being written.
        if (flat && !m_marks.Has(path)) {
            m_marks.Set(path);  // the database holds it: the compressor must know
        }
        return;
    }
    const Probe probe = ProbeFile(path);
    if (probe == Probe::kHeld || probe == Probe::kNotARecord) {
        result.skipped += probe == Probe::kHeld ? 1 : 0;
        return;
    }

    CWavFile file;
    tagDB_Record meta{};
    if (probe == Probe::kCut) {
        if (file.OpenExisting(path, CWavFile::kShareNone, false) != CWavFile::kOpenReady) {
            ++result.skipped;
            return;
        }
        const tagWaveFormatEx* wfx = file.GetWfx();
        uint64_t dataBytes = 0;
        for (const SWavChunk& chunk : file.GetChunks()) {
            if (chunk.id == kData) {
                dataBytes = chunk.size;
            }
        }
        const uint32_t blockAlign = wfx != nullptr && wfx->nBlockAlign != 0 ? wfx->nBlockAlign : 2;
        const uint32_t rate =
            wfx != nullptr && wfx->nSamplesPerSec != 0 ? wfx->nSamplesPerSec : 8000;
        const uint64_t samples = dataBytes / blockAlign;
        meta = file.getDbRecord();
        SetDuration(meta, samples / rate);
        SetText(meta.namefile, path);
        // The copy inside the file says "finished as PCM", as after any close.
        tagDB_Record& inFile = file.getDbRecord();
        inFile = meta;
        inFile.Format = kFormatPcm;
        file.Close(static_cast<uint32_t>(std::min<uint64_t>(samples, UINT32_MAX)));
        ++result.repaired;
        m_server.FormatJournal(
            kJournalInfo, RepairedText(), path,
            static_cast<uint32_t>(std::min<uint64_t>(samples / rate, UINT32_MAX)));
    } else {
        if (file.OpenForReading(path) != CWavFile::kOpenReady) {
            ++result.skipped;
            return;
        }
        meta = file.getDbRecord();
        SetText(meta.namefile, path);
        file.Close();
    }

    if (flat) {
        // Waits for the compressor, which finds the row by the mark.
        meta.Format = kFormatWaiting;
        m_queue.UpdateDbRecord(meta, 1, 1);
        m_marks.Set(path);
    } else if (writing) {
        meta.Format = kFormatRecording;  // becomes 0 and is finished
        m_queue.UpdateDbRecord(meta, 1, 0);
    } else {
        meta.Format = kFormatPcm;
        m_queue.UpdateDbRecord(meta, 0, 0);
    }
    if (writing) {
        ++result.finished;
    } else {
        ++result.entered;
    }
}

}  // namespace zorv
