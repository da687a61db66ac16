// Wave format blocks: the WAVEFORMATEX header of a "fmt " chunk and the extra
// bytes that follow it, as record files, the formats file and clients carry
// them. Plain data; no threading concerns.
//
// All integers are little-endian and packed. The helpers here build the
// blocks of the formats this server writes and check blocks that come from
// files or clients before anything divides by their fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace zorv {

// Format tags of the codecs the server knows.
enum WaveFormatTag : uint16_t {
    kWaveFormatPcm = 1,
    kWaveFormatMsAdpcm = 2,
    kWaveFormatAlaw = 6,
    kWaveFormatMulaw = 7,
    kWaveFormatImaAdpcm = 0x11,
    kWaveFormatGsm610 = 0x31,
    kWaveFormatMpegLayer3 = 0x55,
};

#pragma pack(push, 1)
struct tagWaveFormatEx {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;  // extra bytes after these 18
};
#pragma pack(pop)
static_assert(sizeof(tagWaveFormatEx) == 18);

// The largest format block any codec of the server uses: MS-ADPCM with its
// seven coefficient pairs (18 + 32 bytes). Blocks from files and clients that
// are larger are refused.
constexpr std::size_t kMaxFormatSize = 50;

// Little-endian field access into byte buffers.
inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A format block: the 18-byte header followed by cbSize extra bytes.
class CWaveFormat {
public:
    CWaveFormat() = default;
    // Copies a block; the caller has checked it with IsWellFormed.
    explicit CWaveFormat(std::span<const uint8_t> block) : m_bytes(block.begin(), block.end()) {}

    // 16-bit PCM, A-law or µ-law (8 bits) header with cbSize 0:
    // nBlockAlign = channels × bits / 8, nAvgBytesPerSec = rate × nBlockAlign.
    static CWaveFormat Linear(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t rate);
    // MS-ADPCM with the seven standard coefficient pairs; the samples per
    // block follow from blockAlign.
    static CWaveFormat MsAdpcm(uint16_t channels, uint32_t rate, uint16_t blockAlign);
    // IMA ADPCM (4 bits), samples per block from blockAlign.
    static CWaveFormat ImaAdpcm(uint16_t channels, uint32_t rate, uint16_t blockAlign);
    // GSM 6.10 in the 65-byte blocks of 320 samples used in WAV files.
    static CWaveFormat Gsm610(uint32_t rate);

    bool Empty() const { return m_bytes.empty(); }
    std::size_t Size() const { return m_bytes.size(); }
    const uint8_t* Data() const { return m_bytes.data(); }
    std::span<const uint8_t> Bytes() const { return m_bytes; }

    // Header fields; all 0 for an empty block.
    uint16_t Tag() const { return Field16(0); }
    uint16_t Channels() const { return Field16(2); }
    uint32_t Rate() const { return Field32(4); }
    uint32_t AvgBytesPerSec() const { return Field32(8); }
    uint16_t BlockAlign() const { return Field16(12); }
    uint16_t BitsPerSample() const { return Field16(14); }
    uint16_t ExtraSize() const { return Field16(16); }
    // The first 16-bit word of the extra bytes (wSamplesPerBlock of the ADPCM
    // and GSM formats), 0 when there is none.
    uint16_t SamplesPerBlock() const { return Field16(18); }

    bool operator==(const CWaveFormat& other) const = default;

private:
    uint16_t Field16(std::size_t at) const {
        return at + 2 <= m_bytes.size() ? LoadLe16(m_bytes.data() + at) : 0;
    }
    uint32_t Field32(std::size_t at) const {
        return at + 4 <= m_bytes.size() ? LoadLe32(m_bytes.data() + at) : 0;
    }

    std::vector<uint8_t> m_bytes;
};

// True when block is a format block whose fields cannot mislead a reader:
// at least 18 bytes, 18 + cbSize ≤ its size, and nonzero channels, rate,
// block align and bytes per second. Says nothing about whether a codec
// exists for it.
bool IsWellFormed(std::span<const uint8_t> block);

// The seven standard MS-ADPCM coefficient pairs (coef1, coef2), ×256.
extern const int16_t kMsAdpcmCoefficients[7][2];

}  // namespace zorv
