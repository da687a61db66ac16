// Reading the header of a record file: the walk over its RIFF chunks and the
// checks that make it a record file ("fmt ", "fact", "SHDR", "data", and the
// audio or marks chunk last).
//
// Every byte of the file is untrusted. Sizes are checked against the file's
// real length before anything is read, copied or allocated, and format
// fields that a reader divides by are checked for zero. Pure functions over a
// byte source, so that the same code reads files and fuzzer input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/DbRecord.h"
#include "storage/WaveFormat.h"

namespace zorv {

// Four-character chunk and form identifiers as they appear in the file.
constexpr uint32_t FourCc(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24);
}
constexpr uint32_t kChunkRiff = FourCc("RIFF");
constexpr uint32_t kChunkWave = FourCc("WAVE");
constexpr uint32_t kChunkFmt = FourCc("fmt ");
constexpr uint32_t kChunkFact = FourCc("fact");
constexpr uint32_t kChunkShdr = FourCc("SHDR");
constexpr uint32_t kChunkData = FourCc("data");
constexpr uint32_t kChunkMark = FourCc("MARK");

// One chunk of a file: its identifier, its size and the file offset of its
// 8-byte header. The size is the declared one, except for an audio or marks
// chunk whose writer never closed it (declared 0) or whose declared size runs
// past the end of the file: those get the real extent up to the end.
struct SWavChunk {
    uint32_t id = 0;
    uint32_t size = 0;
    uint64_t offset = 0;
};

// Random access to the bytes of a file or of a memory buffer.
class CByteSource {
public:
    virtual ~CByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly dst.size() bytes at offset; false when they are not all there.
    virtual bool ReadAt(uint64_t offset, std::span<uint8_t> dst) const = 0;
};

class CMemoryByteSource final : public CByteSource {
public:
    explicit CMemoryByteSource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    uint64_t Size() const override { return m_bytes.size(); }
    bool ReadAt(uint64_t offset, std::span<uint8_t> dst) const override;

private:
    std::span<const uint8_t> m_bytes;
};

// A file descriptor read with pread; borrowed, never closed here.
class CFileByteSource final : public CByteSource {
public:
    CFileByteSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, std::span<uint8_t> dst) const override;

private:
    int m_fd;
    uint64_t m_size;
};

enum class EWavParseResult {
    kOk,
    kNotRiff,       // under 12 bytes, or not "RIFF" .. "WAVE"
    kBadChunk,      // a chunk that runs past the end, a repeated chunk, too many chunks
    kBadFormat,     // "fmt " missing, short, cbSize past the chunk, zero fields
    kBadFact,       // "fact" missing or not 4 bytes
    kBadMetadata,   // "SHDR" missing or under 1013 bytes
    kNoData,        // no "data" chunk
    kBadLastChunk,  // the last chunk is neither "data" nor "MARK"
    kReadFailed,
};

// What the header of a record file says.
struct SWavRecordHeader {
    std::vector<SWavChunk> chunks;  // in file order
    CWaveFormat format;             // 18 + cbSize bytes of "fmt "
    uint32_t samples = 0;           // "fact"
    tagDB_Record record{};          // first 1013 bytes of "SHDR"
};

// More chunks than a record file could sensibly hold make a file invalid
// rather than an unbounded index.
constexpr std::size_t kMaxWavChunks = 64;
// Largest "fmt " block read from a file.
constexpr std::size_t kMaxFormatChunk = 1024;

EWavParseResult ParseWavRecord(const CByteSource& source, SWavRecordHeader& header);

// The chunk with identifier id, or null.
const SWavChunk* FindChunk(const std::vector<SWavChunk>& chunks, uint32_t id);

}  // namespace zorv
