#include "storage/WavRecordParser.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

namespace zorv {

bool CMemoryByteSource::ReadAt(uint64_t offset, std::span<uint8_t> dst) const {
    if (offset > m_bytes.size() || dst.size() > m_bytes.size() - offset) {
        return false;
    }
    std::memcpy(dst.data(), m_bytes.data() + offset, dst.size());
    return true;
}

bool CFileByteSource::ReadAt(uint64_t offset, std::span<uint8_t> dst) const {
    std::size_t done = 0;
    while (done < dst.size()) {
        const ssize_t n =
            ::pread(m_fd, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

const SWavChunk* FindChunk(const std::vector<SWavChunk>& chunks, uint32_t id) {
    const auto it =
        std::find_if(chunks.begin(), chunks.end(), [id](const SWavChunk& c) { return c.id == id; });
    return it == chunks.end() ? nullptr : &*it;
}

namespace {

constexpr uint64_t kMaxEvenChunkSize = std::numeric_limits<uint32_t>::max() - 1;  // even

// Audio and marks are streamed into the file; their sizes are written only at
// close, so a writer that stopped early leaves them at 0.
bool IsStreamedChunk(uint32_t id) {
    return id == kChunkData || id == kChunkMark;
}

// A "MARK" header right at offset whose extent lies inside the file: then an
// empty "data" chunk before it was closed, not left open.
bool MarkHeaderAt(const CByteSource& source, uint64_t offset) {
    std::array<uint8_t, 8> header{};
    if (!source.ReadAt(offset, header)) {
        return false;
    }
    const uint64_t size = LoadLe32(&header[4]);
    return LoadLe32(&header[0]) == kChunkMark && size <= source.Size() - offset - 8;
}

EWavParseResult WalkChunks(const CByteSource& source, std::vector<SWavChunk>& chunks) {
    const uint64_t fileSize = source.Size();
    uint64_t pos = 12;
    while (fileSize >= 8 && pos <= fileSize - 8) {
        std::array<uint8_t, 8> header{};
        if (!source.ReadAt(pos, header)) {
            return EWavParseResult::kReadFailed;
        }
        SWavChunk chunk{LoadLe32(&header[0]), LoadLe32(&header[4]), pos};
        const uint64_t available = fileSize - pos - 8;
        if (IsStreamedChunk(chunk.id)) {
            const bool leftOpen =
                chunk.size == 0 && !(chunk.id == kChunkData && MarkHeaderAt(source, pos + 8));
            if (leftOpen || chunk.size > available) {
                chunk.size = static_cast<uint32_t>(std::min(available, kMaxEvenChunkSize));
            }
        } else if (chunk.size > available) {
            return EWavParseResult::kBadChunk;
        }
        if (chunks.size() == kMaxWavChunks || FindChunk(chunks, chunk.id) != nullptr) {
            return EWavParseResult::kBadChunk;
        }
        chunks.push_back(chunk);
        pos += 8 + static_cast<uint64_t>(chunk.size) + (chunk.size & 1u);
    }
    return EWavParseResult::kOk;
}

EWavParseResult ReadFormat(const CByteSource& source, const SWavChunk* chunk, CWaveFormat& format) {
    if (chunk == nullptr || chunk->size < sizeof(tagWaveFormatEx)) {
        return EWavParseResult::kBadFormat;
    }
    std::array<uint8_t, kMaxFormatChunk> bytes{};
    if (!source.ReadAt(chunk->offset + 8, std::span(bytes).first(sizeof(tagWaveFormatEx)))) {
        return EWavParseResult::kReadFailed;
    }
    const std::size_t blockSize = sizeof(tagWaveFormatEx) + LoadLe16(&bytes[16]);
    if (blockSize > chunk->size || blockSize > bytes.size()) {
        return EWavParseResult::kBadFormat;
    }
    const std::span<uint8_t> block = std::span(bytes).first(blockSize);
    if (!source.ReadAt(chunk->offset + 8, block)) {
        return EWavParseResult::kReadFailed;
    }
    if (!IsWellFormed(block)) {
        return EWavParseResult::kBadFormat;
    }
    format = CWaveFormat(block);
    return EWavParseResult::kOk;
}

}  // namespace

EWavParseResult ParseWavRecord(const CByteSource& source, SWavRecordHeader& header) {
    header = SWavRecordHeader{};
    std::array<uint8_t, 12> riff{};
    if (source.Size() < riff.size()) {
        return EWavParseResult::kNotRiff;
    }
    if (!source.ReadAt(0, riff)) {
        return EWavParseResult::kReadFailed;
    }
    if (LoadLe32(&riff[0]) != kChunkRiff || LoadLe32(&riff[8]) != kChunkWave) {
        return EWavParseResult::kNotRiff;
    }
    if (const EWavParseResult walked = WalkChunks(source, header.chunks);
        walked != EWavParseResult::kOk) {
        return walked;
    }

    if (const EWavParseResult read =
            ReadFormat(source, FindChunk(header.chunks, kChunkFmt), header.format);
        read != EWavParseResult::kOk) {
        return read;
    }

    const SWavChunk* fact = FindChunk(header.chunks, kChunkFact);
    if (fact == nullptr || fact->size != 4) {
        return EWavParseResult::kBadFact;
    }
    std::array<uint8_t, 4> samples{};
    if (!source.ReadAt(fact->offset + 8, samples)) {
        return EWavParseResult::kReadFailed;
    }
    header.samples = LoadLe32(samples.data());

    const SWavChunk* shdr = FindChunk(header.chunks, kChunkShdr);
    if (shdr == nullptr || shdr->size < sizeof(tagDB_Record)) {
        return EWavParseResult::kBadMetadata;
    }
    std::array<uint8_t, sizeof(tagDB_Record)> record{};
    if (!source.ReadAt(shdr->offset + 8, record)) {
        return EWavParseResult::kReadFailed;
    }
    std::memcpy(&header.record, record.data(), record.size());

    if (FindChunk(header.chunks, kChunkData) == nullptr) {
        return EWavParseResult::kNoData;
    }
    if (!IsStreamedChunk(header.chunks.back().id)) {
        return EWavParseResult::kBadLastChunk;
    }
    return EWavParseResult::kOk;
}

}  // namespace zorv
