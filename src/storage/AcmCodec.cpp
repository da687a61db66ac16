#include "storage/AcmCodec.h"

#include <algorithm>
#include <new>

namespace zorv {

namespace {

struct SDriver {
    const char* shortName;
    uint16_t tags[2];
};

constexpr SDriver kDrivers[] = {
    {"MS-ADPCM", {kWaveFormatMsAdpcm, 0}}, {"IMA ADPCM", {kWaveFormatImaAdpcm, 0}},
    {"GSM 6.10", {kWaveFormatGsm610, 0}},  {"CCITT G.711", {kWaveFormatAlaw, kWaveFormatMulaw}},
    {"MS-PCM", {kWaveFormatPcm, 0}},
};

}  // namespace

CAcmCodec::CAcmCodec() = default;

CAcmCodec::CAcmCodec(const std::string& driverShortName) {
    m_error = kErrorDriverNotFound;
    for (const SDriver& driver : kDrivers) {
        if (driverShortName == driver.shortName) {
            m_driverTags[0] = driver.tags[0];
            m_driverTags[1] = driver.tags[1];
            m_error = kErrorNone;
        }
    }
}

CAcmCodec::~CAcmCodec() = default;

bool CAcmCodec::DriverAccepts(uint16_t tag) const {
    return m_driverTags[0] == 0 || tag == m_driverTags[0] || tag == m_driverTags[1];
}

bool CAcmCodec::CanConvert(const CWaveFormat& src, const CWaveFormat& dst) const {
    if (m_error == kErrorDriverNotFound || !DriverAccepts(dst.Tag())) {
        return false;
    }
    const CWaveFormat pcm = CWaveFormat::Linear(kWaveFormatPcm, src.Channels(), 16, src.Rate());
    return src.Size() >= sizeof(tagWaveFormatEx) &&
           std::equal(pcm.Data(), pcm.Data() + 16, src.Data()) &&
           src.Channels() == dst.Channels() && src.Rate() == dst.Rate() && CanEncode(src) &&
           CanEncode(dst);
}

int CAcmCodec::Open(const CWaveFormat& src, const void* dst, std::size_t dstSize,
                    std::size_t srcBufferBytes) {
    if (dst == nullptr || dstSize > kMaxFormatSize) {
        Close();
        m_error = m_error == kErrorDriverNotFound ? m_error : kErrorStreamOpen;
        return -1;
    }
    const std::span<const uint8_t> block(static_cast<const uint8_t*>(dst), dstSize);
    return Open(src, IsWellFormed(block) ? CWaveFormat(block) : CWaveFormat(), srcBufferBytes);
}

int CAcmCodec::Open(const CWaveFormat& src, const CWaveFormat& dst, std::size_t srcBufferBytes) {
    const bool noDriver = m_error == kErrorDriverNotFound;
    Close();
    if (noDriver) {
        m_error = kErrorDriverNotFound;
        return -1;
    }
    if (!CanConvert(src, dst)) {
        m_error = kErrorStreamOpen;
        return -1;
    }
    const std::size_t frameBytes = 2u * src.Channels();
    const std::size_t frames = srcBufferBytes / frameBytes;
    try {
        m_encoder = CreateAudioEncoder(dst);
        if (!m_encoder || frames == 0) {
            m_encoder.reset();
            m_error = kErrorStreamOpen;
            return -1;
        }
        m_sourceBytes = frames * frameBytes;
        m_destinationBytes = m_encoder->MaxBytes(frames);
        m_source = std::make_unique<int16_t[]>(frames * src.Channels());
        m_destination = std::make_unique<uint8_t[]>(m_destinationBytes);
    } catch (const std::bad_alloc&) {
        Close();
        m_error = kErrorBuffers;
        return -1;
    }
    m_sourceFormat = src;
    m_destinationFormat = dst;
    return 0;
}

std::size_t CAcmCodec::Convert(std::size_t n, uint32_t flags, std::size_t& produced) {
    produced = 0;
    if (!m_encoder || m_error != kErrorNone) {
        m_error = kErrorConvert;
        return 0;
    }
    if (flags & kConvertStart) {
        m_encoder->Reset();
    }
    const std::size_t frameBytes = 2u * m_sourceFormat.Channels();
    std::size_t frames = std::min(n, m_sourceBytes) / frameBytes;
    if (flags & kConvertBlockAlign) {
        frames -= frames % m_encoder->FramesPerBlock();
    }
    produced = m_encoder->Encode(m_source.get(), frames, m_destination.get());
    if (!(flags & kConvertBlockAlign)) {
        produced += m_encoder->Finish(m_destination.get() + produced);
    }
    // At the end of a stream a stray byte of an incomplete frame is taken
    // too, so that a caller giving back what was not consumed is done.
    return (flags & kConvertBlockAlign) ? frames * frameBytes : std::min(n, m_sourceBytes);
}

void CAcmCodec::Close() {
    m_encoder.reset();
    m_source.reset();
    m_destination.reset();
    m_sourceBytes = 0;
    m_destinationBytes = 0;
    m_sourceFormat = CWaveFormat();
    m_destinationFormat = CWaveFormat();
    if (m_error != kErrorDriverNotFound) {
        m_error = kErrorNone;
    }
}

}  // namespace zorv
