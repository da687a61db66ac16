// CAcmCodec: converts 16-bit PCM into a target wave format, block by block,
// for the compressor (whole records) and for live listening (MS-ADPCM
// datagrams). It stands in for the platform's audio compression manager:
// the "drivers" are the encoders of this folder (PCM, A-law, µ-law,
// MS-ADPCM, IMA ADPCM, GSM 6.10), and the format blocks, block layouts and
// results are those of the manager.
//
// Open allocates the source and destination buffers once; Convert then
// works in them without allocating. Used by its owner's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "storage/AudioEncoder.h"
#include "storage/WaveFormat.h"

namespace zorv {

class CAcmCodec {
public:
    // Error states.
    enum EError : int {
        kErrorNone = 0,
        kErrorDriverNotFound = 1,
        kErrorDriverEnable = 2,
        kErrorDriverOpen = 3,
        kErrorStreamOpen = 4,
        kErrorBuffers = 5,
        kErrorFormatMemory = 6,
        kErrorFormatQuery = 7,
        kErrorConvert = 7,
    };
    // Convert flags (the manager's values).
    enum EConvertFlags : uint32_t {
        kConvertBlockAlign = 0x04,  // only whole blocks; the rest is given again
        kConvertStart = 0x10,       // a new stream: codec state is forgotten
        kConvertEnd = 0x20,         // the end of the stream
    };

    // Any driver.
    CAcmCodec();
    // The driver with this short name ("MS-ADPCM", "IMA ADPCM", "GSM 6.10",
    // "CCITT G.711", "MS-PCM"); an unknown name leaves the error state 1
    // and every Open fails.
    explicit CAcmCodec(const std::string& driverShortName);
    ~CAcmCodec();
    CAcmCodec(const CAcmCodec&) = delete;
    CAcmCodec& operator=(const CAcmCodec&) = delete;

    // Closes any stream and opens one from src (16-bit PCM) to dst, with a
    // source buffer of srcBufferBytes (whole frames of src). 0 on success,
    // -1 on failure (error state 4 for formats that cannot be converted, 5
    // for buffers).
    int Open(const CWaveFormat& src, const CWaveFormat& dst, std::size_t srcBufferBytes);
    // The same with dst as a raw block of dstSize bytes (from a client or a
    // file): the block is checked before use.
    int Open(const CWaveFormat& src, const void* dst, std::size_t dstSize,
             std::size_t srcBufferBytes);

    // Converts the first min(n, GetInputSize()) bytes of the source buffer.
    // With kConvertBlockAlign only whole blocks are taken; otherwise all
    // whole frames are, the last partial block ending the stream. Returns
    // the source bytes consumed; produced gets the bytes placed in the
    // destination buffer. On failure: 0 and error state 7.
    std::size_t Convert(std::size_t n, uint32_t flags, std::size_t& produced);

    // Whether a stream from src to dst can be opened (with this object's
    // driver, when it has one).
    bool CanConvert(const CWaveFormat& src, const CWaveFormat& dst) const;

    // Ends the stream and frees the buffers; the error state becomes 0.
    void Close();

    int GetError() const { return m_error; }
    bool IsOpen() const { return m_encoder != nullptr; }
    uint8_t* GetSrcBuffer() { return reinterpret_cast<uint8_t*>(m_source.get()); }
    const uint8_t* GetDstBuffer() const { return m_destination.get(); }
    // Source and destination buffer sizes in bytes; 0 without a stream.
    std::size_t GetInputSize() const { return m_error == kErrorNone ? m_sourceBytes : 0; }
    std::size_t GetOutSize() const { return m_error == kErrorNone ? m_destinationBytes : 0; }
    // The largest format block of any driver.
    static constexpr std::size_t GetFormatSize() { return kMaxFormatSize; }
    uint16_t GetSrcnChannels() const { return m_sourceFormat.Channels(); }
    uint32_t GetSrcnSamplesPerSec() const { return m_sourceFormat.Rate(); }
    const CWaveFormat& GetDstFormat() const { return m_destinationFormat; }

private:
    bool DriverAccepts(uint16_t tag) const;

    // The driver's format tags; 0 for any driver.
    uint16_t m_driverTags[2] = {0, 0};
    int m_error = kErrorNone;

    CWaveFormat m_sourceFormat;
    CWaveFormat m_destinationFormat;
    std::unique_ptr<CAudioEncoder> m_encoder;
    std::unique_ptr<int16_t[]> m_source;
    std::size_t m_sourceBytes = 0;
    std::unique_ptr<uint8_t[]> m_destination;
    std::size_t m_destinationBytes = 0;
};

}  // namespace zorv
