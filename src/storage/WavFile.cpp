#include "storage/WavFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/FileOps.h"

namespace zorv {

namespace {

constexpr uint64_t kMaxChunkSize = std::numeric_limits<uint32_t>::max();

int LockOperation(int shareMode) {
    return shareMode == CWavFile::kShareNone ? LOCK_EX : LOCK_SH;
}

uint8_t SilenceByte(uint16_t tag) {
    switch (tag) {
        case kWaveFormatAlaw:
            return 0xD5;
        case kWaveFormatMulaw:
            return 0xFF;
        default:
            return 0;
    }
}

}  // namespace

CWavFile::CWavFile() {
    m_chunks.reserve(8);
}

CWavFile::~CWavFile() {
    Close();
}

void CWavFile::SetFormat(uint16_t channels, uint16_t bits, uint32_t rate, uint16_t tag) {
    m_format = CWaveFormat::Linear(tag, channels, bits, rate);
}

bool CWavFile::SetFormatBlock(const void* block, std::size_t size) {
    if (block == nullptr || size > kMaxFormatChunk) {
        return false;
    }
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(block), size);
    if (!IsWellFormed(bytes)) {
        return false;
    }
    m_format = CWaveFormat(bytes.first(sizeof(tagWaveFormatEx) + LoadLe16(&bytes[16])));
    return true;
}

bool CWavFile::SetFormatBlock(const CWaveFormat& format) {
    return SetFormatBlock(format.Data(), format.Size());
}

const tagWaveFormatEx* CWavFile::GetWfx() const {
    return m_format.Empty() ? nullptr : reinterpret_cast<const tagWaveFormatEx*>(m_format.Data());
}

// ---------------------------------------------------------------- opening

bool CWavFile::CreateNew(const std::string& name, uint32_t startSamples, int shareMode,
                         bool mustBeNew) {
    Close();
    if (m_format.Empty() || !IsWellFormed(m_format.Bytes())) {
        return false;
    }
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (mustBeNew ? O_EXCL : 0),
                          kDataFileMode);
    if (fd < 0) {
        return false;
    }
    // Emptied only under an exclusive lock: a record that anyone still has
    // open (a reader's mapped view would fault) is left alone. Then the lock
    // of the share mode is kept.
    // An empty file is not truncated: on ext4 a truncated file is flushed to
    // disk when it is closed, which would make every record's close wait.
    struct stat st {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 ||
        (st.st_size != 0 && ::ftruncate(fd, 0) != 0) ||
        (shareMode != kShareNone && ::flock(fd, LOCK_SH | LOCK_NB) != 0)) {
        const int error = errno;
        ::close(fd);
        if (mustBeNew) {
            ::unlink(name.c_str());  // created just now: our own empty file
        }
        errno = error;
        return false;
    }
    m_fd = fd;
    m_name = name;
    m_writeMode = true;
    if (!m_buffer) {
        m_buffer = std::make_unique_for_overwrite<uint8_t[]>(kBufferSize);
    }

    std::array<uint8_t, 12> riff{};
    StoreLe32(&riff[0], kChunkRiff);
    StoreLe32(&riff[8], kChunkWave);
    std::array<uint8_t, 4> samples{};
    StoreLe32(samples.data(), startSamples);
    bool ok = Append(riff.data(), riff.size()) &&
              WriteChunk(kChunkFmt, m_format.Data(), m_format.Size()) && FinishChunk() &&
              WriteChunk(kChunkFact, samples.data(), samples.size()) && FinishChunk() &&
              WriteChunk(kChunkShdr, &m_record, sizeof(m_record)) && FinishChunk();
    if (ok) {
        // The RIFF size that the file has once the data header follows, so
        // that a file that is never closed still says something sensible.
        const uint64_t end = m_bufferStart + m_buffered;
        std::array<uint8_t, 4> riffSize{};
        StoreLe32(riffSize.data(), static_cast<uint32_t>(end));
        ok = WriteAt(4, riffSize.data(), riffSize.size()) && StartChunk(kChunkData) && Flush();
    }
    if (!ok) {
        Reset();
        ::unlink(name.c_str());
        return false;
    }
    m_state = kStateAudio;
    m_samples = startSamples;
    return true;
}

int CWavFile::OpenExisting(const std::string& name, int shareMode, bool wantView) {
    return OpenFile(name, shareMode, wantView, true);
}

int CWavFile::OpenForReading(const std::string& name) {
    return OpenFile(name, kShareRead, true, false);
}

int CWavFile::OpenFile(const std::string& name, int shareMode, bool wantView, bool writable) {
    Close();
    // O_NONBLOCK keeps a FIFO that happens to carry a record's name from
    // blocking the open; it is refused below as not a regular file.
    const int fd =
        ::open(name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return kOpenFailed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ::flock(fd, LockOperation(shareMode) | LOCK_NB) != 0) {
        ::close(fd);
        return kOpenFailed;
    }
    m_fd = fd;
    m_name = name;

    SWavRecordHeader header;
    if (ParseWavRecord(CFileByteSource(fd, static_cast<uint64_t>(info.st_size)), header) !=
        EWavParseResult::kOk) {
        // Not a record file: closed without touching it.
        Reset();
        return kOpenInvalid;
    }
    m_chunks = std::move(header.chunks);
    m_format = std::move(header.format);
    m_samples = header.samples;
    m_record = header.record;
    m_fileEnd = static_cast<uint64_t>(info.st_size);
    m_writeMode = writable;
    if (writable) {
        if (!m_buffer) {
            m_buffer = std::make_unique_for_overwrite<uint8_t[]>(kBufferSize);
        }
        const SWavChunk& last = m_chunks.back();
        m_current = static_cast<int>(m_chunks.size()) - 1;
        m_currentHeaderStale = true;
        m_state = last.id == kChunkMark ? kStateMarks : kStateAudio;
        m_bufferStart = last.offset + 8 + last.size;
    }
    m_wantView = wantView;
    if (wantView && !MapView()) {
        Reset();
        return kOpenInvalid;
    }
    return kOpenReady;
}

// ---------------------------------------------------------------- writing

std::size_t CWavFile::WriteAudio(const void* bytes, std::size_t n) {
    if (m_state != kStateAudio || !CanWrite(n) || (bytes == nullptr && !m_mute)) {
        return 0;
    }
    if (m_currentHeaderStale && !MarkCurrentChunkOpen()) {
        return 0;
    }
    const uint32_t before = m_chunks[m_current].size;
    if (m_mute) {
        AppendSilence(n);
        if (n >= kBufferSize && m_buffered > 0) {
            Flush();
        }
    } else if (n >= kBufferSize) {
        // A large piece (the recorder hands over up to a second at a time)
        // goes to the file at once, together with what is buffered, without
        // being copied.
        AppendDirect(static_cast<const uint8_t*>(bytes), n);
    } else {
        Append(bytes, n);
    }
    const uint32_t after = m_chunks[m_current].size;
    return after > before ? after - before : 0;
}

bool CWavFile::CanWrite(uint64_t n) const {
    if (m_fd < 0 || m_current < 0 || n > kMaxFileSize) {
        return false;
    }
    const uint64_t end = m_bufferStart + m_buffered + n + 1;  // + a pad byte
    return end + kMarkReserve <= kMaxFileSize && m_chunks[m_current].size + n + 1 <= kMaxChunkSize;
}

bool CWavFile::BeginMarks() {
    if (m_fd < 0 || !m_writeMode) {
        return false;
    }
    if (m_state == kStateMarks) {
        return true;
    }
    if (!StartChunk(kChunkMark)) {
        return false;
    }
    m_state = kStateMarks;
    return true;
}

std::size_t CWavFile::WriteMark(const void* bytes, std::size_t n) {
    if (m_state != kStateMarks || bytes == nullptr ||
        m_bufferStart + m_buffered + n + 1 > kMaxFileSize) {
        return 0;
    }
    if (m_currentHeaderStale && !MarkCurrentChunkOpen()) {
        return 0;
    }
    const uint32_t before = m_chunks[m_current].size;
    Append(bytes, n);
    const uint32_t after = m_chunks[m_current].size;
    return after > before ? after - before : 0;
}

// ---------------------------------------------------------------- closing

bool CWavFile::Close(uint32_t samples) {
    m_samples = samples;
    return Close();
}

bool CWavFile::Close() {
    if (m_fd < 0) {
        return false;
    }
    bool ok = true;
    if (m_writeMode && StandardLayout()) {
        // The image holds the "data" header; a "MARK" chunk after it writes
        // its own.
        ok = FinishChunk(m_current != 3);
        ok = Flush() && ok;
        ok = WriteHeaderImage() && ok;
    } else if (m_writeMode) {
        ok = FinishChunk();
        if (const SWavChunk* shdr = FindChunk(m_chunks, kChunkShdr)) {
            ok = WriteAt(shdr->offset + 8, &m_record, sizeof(m_record)) && ok;
        }
        if (const SWavChunk* fact = FindChunk(m_chunks, kChunkFact)) {
            std::array<uint8_t, 4> samples{};
            StoreLe32(samples.data(), m_samples);
            ok = WriteAt(fact->offset + 8, samples.data(), samples.size()) && ok;
        }
        ok = Flush() && ok;
        std::array<uint8_t, 8> riff{};
        StoreLe32(&riff[0], kChunkRiff);
        StoreLe32(&riff[4], static_cast<uint32_t>(std::min(m_fileEnd - 8, kMaxChunkSize)));
        ok = WriteAt(0, riff.data(), riff.size()) && ok;
    }
    Reset();
    return ok;
}

bool CWavFile::DeleteFile() {
    if (m_fd < 0) {
        return false;
    }
    const std::string name = m_name;
    Close();
    return ::unlink(name.c_str()) == 0;
}

bool CWavFile::MoveTo(const std::string& newName) {
    if (m_fd < 0) {
        return false;
    }
    const std::string name = m_name;
    Close();
    return RenameNoReplace(name, newName);
}

void CWavFile::Reset() {
    UnmapView();
    if (m_fd >= 0) {
        ::close(m_fd);  // also releases the flock
    }
    m_fd = -1;
    m_name.clear();
    m_writeMode = false;
    m_state = kStateNone;
    m_samples = 0;
    m_chunks.clear();
    m_current = -1;
    m_currentHeaderStale = false;
    m_fileEnd = 0;
    m_buffered = 0;
    m_bufferStart = 0;
    m_wantView = false;
}

// ---------------------------------------------------------------- chunks

bool CWavFile::StartChunk(uint32_t id) {
    if (FindChunk(m_chunks, id) != nullptr || m_chunks.size() == kMaxWavChunks || !FinishChunk()) {
        return false;
    }
    // A new chunk goes at the end of the file, which after reopening a file
    // with trailing bytes may lie past the append position.
    const uint64_t end = std::max(m_fileEnd, m_bufferStart + m_buffered);
    if (end != m_bufferStart + m_buffered) {
        if (!Flush()) {
            return false;
        }
        m_bufferStart = end;
    }
    std::array<uint8_t, 8> header{};
    StoreLe32(&header[0], id);
    if (!Append(header.data(), header.size())) {
        return false;
    }
    m_chunks.push_back(SWavChunk{id, 0, end});
    m_current = static_cast<int>(m_chunks.size()) - 1;
    m_currentHeaderStale = false;
    return true;
}

bool CWavFile::FinishChunk(bool writeHeader) {
    if (m_current < 0) {
        return true;
    }
    bool ok = true;
    if (m_chunks[m_current].size & 1u) {
        // The pad byte is counted in the chunk's size, so players take it
        // for one more sample: in the audio it is the format's silence
        // (a zero byte would be a full-scale click in µ-law).
        const uint8_t pad = m_chunks[m_current].id == kChunkData ? SilenceByte(m_format.Tag()) : 0;
        ok = Append(&pad, 1);
    }
    if (m_chunks[m_current].offset < m_bufferStart) {
        // A streamed chunk: its size is final only once the file took its
        // bytes (a refused write trims it).
        ok = Flush() && ok;
    }
    if (writeHeader) {
        const SWavChunk chunk = m_chunks[m_current];
        std::array<uint8_t, 8> header{};
        StoreLe32(&header[0], chunk.id);
        StoreLe32(&header[4], chunk.size);
        ok = WriteAt(chunk.offset, header.data(), header.size()) && ok;
    }
    m_current = -1;
    m_currentHeaderStale = false;
    return ok;
}

bool CWavFile::WriteChunk(uint32_t id, const void* bytes, std::size_t n) {
    return StartChunk(id) && Append(bytes, n);
}

bool CWavFile::MarkCurrentChunkOpen() {
    const std::array<uint8_t, 4> zero{};
    if (!WriteAt(m_chunks[m_current].offset + 4, zero.data(), zero.size())) {
        return false;
    }
    m_currentHeaderStale = false;
    return true;
}

// ---------------------------------------------------------------- buffer

bool CWavFile::Append(const void* bytes, std::size_t n) {
    const auto* src = static_cast<const uint8_t*>(bytes);
    while (n > 0) {
        if (m_buffered == kBufferSize && !Flush()) {
            return false;
        }
        const std::size_t piece = std::min(n, kBufferSize - m_buffered);
        std::memcpy(m_buffer.get() + m_buffered, src, piece);
        m_buffered += piece;
        if (m_current >= 0) {
            m_chunks[m_current].size += static_cast<uint32_t>(piece);
        }
        src += piece;
        n -= piece;
    }
    return true;
}

bool CWavFile::AppendSilence(std::size_t n) {
    const uint8_t fill = SilenceByte(m_format.Tag());
    while (n > 0) {
        if (m_buffered == kBufferSize && !Flush()) {
            return false;
        }
        const std::size_t piece = std::min(n, kBufferSize - m_buffered);
        std::memset(m_buffer.get() + m_buffered, fill, piece);
        m_buffered += piece;
        m_chunks[m_current].size += static_cast<uint32_t>(piece);
        n -= piece;
    }
    return true;
}

bool CWavFile::AppendDirect(const uint8_t* bytes, std::size_t n) {
    std::size_t head = 0;  // of the buffered bytes, written
    std::size_t tail = 0;  // of bytes, written
    while (head < m_buffered || tail < n) {
        iovec pieces[2];
        int count = 0;
        if (head < m_buffered) {
            pieces[count++] = iovec{m_buffer.get() + head, m_buffered - head};
        }
        pieces[count++] = iovec{const_cast<uint8_t*>(bytes) + tail, n - tail};
        const ssize_t k =
            ::pwritev(m_fd, pieces, count, static_cast<off_t>(m_bufferStart + head + tail));
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            break;
        }
        auto done = static_cast<std::size_t>(k);
        const std::size_t fromBuffer = std::min(done, m_buffered - head);
        head += fromBuffer;
        tail += done - fromBuffer;
    }
    m_chunks[m_current].size += static_cast<uint32_t>(tail);
    const bool ok = head == m_buffered && tail == n;
    return BufferWritten(m_bufferStart + head + tail, ok);
}

namespace {

// The header chunks of a record in the order CreateNew writes them.
constexpr uint32_t kHeaderOrder[] = {kChunkFmt, kChunkFact, kChunkShdr, kChunkData};

}  // namespace

bool CWavFile::StandardLayout() const {
    // RIFF header, then "fmt ", "fact", "SHDR" and "data" back to back (a
    // "MARK" chunk may follow), each header chunk holding what this object
    // knows (a pad byte may be counted in its size).
    if (m_chunks.size() < 4 || m_format.Empty()) {
        return false;
    }
    const std::size_t known[] = {m_format.Size(), 4, sizeof(m_record)};
    uint64_t offset = 12;
    for (std::size_t i = 0; i < 4; ++i) {
        const SWavChunk& chunk = m_chunks[i];
        if (chunk.id != kHeaderOrder[i] || chunk.offset != offset) {
            return false;
        }
        if (i < 3 && chunk.size != known[i] && chunk.size != known[i] + 1) {
            return false;
        }
        offset += 8 + chunk.size + (chunk.size & 1u);
    }
    return true;
}

bool CWavFile::WriteHeaderImage() {
    // RIFF 12, "fmt " 8 + format, "fact" 8 + 4, "SHDR" 8 + record, "data" 8,
    // each content with its pad byte.
    constexpr std::size_t kMaxFormat = 256;
    std::array<uint8_t, 12 + 8 + kMaxFormat + 8 + 4 + 8 + sizeof(tagDB_Record) + 1 + 8> image{};
    if (m_chunks[0].size > kMaxFormat) {
        return false;
    }
    std::array<uint8_t, 4> samples{};
    StoreLe32(samples.data(), m_samples);
    const std::pair<const void*, std::size_t> contents[] = {{m_format.Data(), m_format.Size()},
                                                            {samples.data(), samples.size()},
                                                            {&m_record, sizeof(m_record)}};

    StoreLe32(&image[0], kChunkRiff);
    StoreLe32(&image[4], static_cast<uint32_t>(std::min(m_fileEnd - 8, kMaxChunkSize)));
    StoreLe32(&image[8], kChunkWave);
    std::size_t at = 12;
    for (std::size_t i = 0; i < 4; ++i) {
        const SWavChunk& chunk = m_chunks[i];
        StoreLe32(&image[at], chunk.id);
        StoreLe32(&image[at + 4], chunk.size);
        at += 8;
        if (i < 3) {
            // The bytes past the content (a counted or uncounted pad) stay 0.
            std::memcpy(&image[at], contents[i].first, contents[i].second);
            at += chunk.size + (chunk.size & 1u);
        }
    }
    return WriteAt(0, image.data(), at);
}

bool CWavFile::Flush() {
    std::size_t written = 0;
    while (written < m_buffered) {
        const ssize_t n = ::pwrite(m_fd, m_buffer.get() + written, m_buffered - written,
                                   static_cast<off_t>(m_bufferStart + written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    return BufferWritten(m_bufferStart + written, written == m_buffered);
}

bool CWavFile::BufferWritten(uint64_t diskEnd, bool ok) {
    if (!ok && m_current >= 0) {
        // What the file refused is lost: the chunk counts only what is on disk.
        SWavChunk& chunk = m_chunks[m_current];
        const uint64_t content = chunk.offset + 8;
        if (diskEnd < content + chunk.size) {
            chunk.size = diskEnd > content ? static_cast<uint32_t>(diskEnd - content) : 0;
        }
    }
    m_fileEnd = std::max(m_fileEnd, diskEnd);
    m_bufferStart = diskEnd;
    m_buffered = 0;
    return ok;
}

bool CWavFile::WriteAt(uint64_t offset, const void* bytes, std::size_t n) {
    const uint64_t bufferEnd = m_bufferStart + m_buffered;
    if (m_buffered > 0 && offset >= m_bufferStart && offset + n <= bufferEnd) {
        std::memcpy(m_buffer.get() + (offset - m_bufferStart), bytes, n);
        return true;
    }
    if (m_buffered > 0 && offset < bufferEnd && offset + n > m_bufferStart && !Flush()) {
        return false;
    }
    const auto* src = static_cast<const uint8_t*>(bytes);
    std::size_t written = 0;
    while (written < n) {
        const ssize_t k =
            ::pwrite(m_fd, src + written, n - written, static_cast<off_t>(offset + written));
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(k);
    }
    m_fileEnd = std::max(m_fileEnd, offset + n);
    return true;
}

// ---------------------------------------------------------------- view

bool CWavFile::MapView() {
    UnmapView();
    if (m_fileEnd == 0 || m_fileEnd > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    void* view = ::mmap(nullptr, m_fileEnd, PROT_READ, MAP_SHARED, m_fd, 0);
    if (view == MAP_FAILED) {
        return false;
    }
    m_view = static_cast<uint8_t*>(view);
    m_viewSize = m_fileEnd;
    return true;
}

void CWavFile::UnmapView() {
    if (m_view != nullptr) {
        ::munmap(m_view, m_viewSize);
    }
    m_view = nullptr;
    m_viewSize = 0;
}

const uint8_t* CWavFile::ChunkPointer(uint32_t id, uint32_t& size) {
    size = 0;
    const SWavChunk* chunk = FindChunk(m_chunks, id);
    if (m_fd < 0 || !m_wantView || chunk == nullptr) {
        return nullptr;
    }
    const uint64_t end = chunk->offset + 8 + chunk->size;
    if (end > m_viewSize) {
        // The chunk grew since the file was mapped: write out what is
        // buffered and map the file again.
        if (!Flush() || !MapView() || chunk->offset + 8 + chunk->size > m_viewSize) {
            return nullptr;
        }
    }
    size = chunk->size;
    return m_view + chunk->offset + 8;
}

const uint8_t* CWavFile::GetDataPointer() {
    uint32_t size = 0;
    return ChunkPointer(kChunkData, size);
}

uint32_t CWavFile::GetDataSize() {
    uint32_t size = 0;
    ChunkPointer(kChunkData, size);
    return size;
}

const uint8_t* CWavFile::GetMarkPointer() {
    uint32_t size = 0;
    return ChunkPointer(kChunkMark, size);
}

uint32_t CWavFile::GetMarkSize() {
    uint32_t size = 0;
    ChunkPointer(kChunkMark, size);
    return size;
}

}  // namespace zorv
