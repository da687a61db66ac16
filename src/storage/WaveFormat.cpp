#include "storage/WaveFormat.h"

namespace zorv {

const int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                            {240, 0}, {460, -208}, {392, -232}};

namespace {

std::vector<uint8_t> Header(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg,
                            uint16_t blockAlign, uint16_t bits, uint16_t extra) {
    std::vector<uint8_t> bytes(sizeof(tagWaveFormatEx) + extra, 0);
    StoreLe16(&bytes[0], tag);
    StoreLe16(&bytes[2], channels);
    StoreLe32(&bytes[4], rate);
    StoreLe32(&bytes[8], avg);
    StoreLe16(&bytes[12], blockAlign);
    StoreLe16(&bytes[14], bits);
    StoreLe16(&bytes[16], extra);
    return bytes;
}

uint32_t AvgBytes(uint32_t rate, uint16_t blockAlign, uint32_t samplesPerBlock) {
    if (samplesPerBlock == 0) {
        return 0;
    }
    return static_cast<uint32_t>(static_cast<uint64_t>(rate) * blockAlign / samplesPerBlock);
}

}  // namespace

CWaveFormat CWaveFormat::Linear(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t rate) {
    const auto blockAlign = static_cast<uint16_t>(channels * bits / 8);
    CWaveFormat format;
    format.m_bytes = Header(tag, channels, rate, rate * blockAlign, blockAlign, bits, 0);
    return format;
}

CWaveFormat CWaveFormat::MsAdpcm(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
    // A block holds a 7-byte header per channel (two whole samples each) and
    // then two 4-bit samples per byte.
    uint32_t samplesPerBlock = 0;
    if (channels != 0 && blockAlign > 7u * channels) {
        samplesPerBlock = (blockAlign - 7u * channels) * 2u / channels + 2u;
    }
    CWaveFormat format;
    format.m_bytes = Header(kWaveFormatMsAdpcm, channels, rate,
                            AvgBytes(rate, blockAlign, samplesPerBlock), blockAlign, 4, 32);
    uint8_t* extra = &format.m_bytes[sizeof(tagWaveFormatEx)];
    StoreLe16(extra, static_cast<uint16_t>(samplesPerBlock));
    StoreLe16(extra + 2, 7);
    for (int i = 0; i < 7; ++i) {
        StoreLe16(extra + 4 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][0]));
        StoreLe16(extra + 6 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][1]));
    }
    return format;
}

CWaveFormat CWaveFormat::ImaAdpcm(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
    // A 4-byte header per channel (one whole sample), then two 4-bit samples
    // per byte.
    uint32_t samplesPerBlock = 0;
    if (channels != 0 && blockAlign > 4u * channels) {
        samplesPerBlock = (blockAlign - 4u * channels) * 2u / channels + 1u;
    }
    CWaveFormat format;
    format.m_bytes = Header(kWaveFormatImaAdpcm, channels, rate,
                            AvgBytes(rate, blockAlign, samplesPerBlock), blockAlign, 4, 2);
    StoreLe16(&format.m_bytes[sizeof(tagWaveFormatEx)], static_cast<uint16_t>(samplesPerBlock));
    return format;
}

CWaveFormat CWaveFormat::Gsm610(uint32_t rate) {
    CWaveFormat format;
    format.m_bytes = Header(kWaveFormatGsm610, 1, rate, AvgBytes(rate, 65, 320), 65, 0, 2);
    StoreLe16(&format.m_bytes[sizeof(tagWaveFormatEx)], 320);
    return format;
}

bool IsWellFormed(std::span<const uint8_t> block) {
    if (block.size() < sizeof(tagWaveFormatEx)) {
        return false;
    }
    const CWaveFormat format(block.first(sizeof(tagWaveFormatEx)));
    return sizeof(tagWaveFormatEx) + format.ExtraSize() <= block.size() && format.Channels() != 0 &&
           format.Rate() != 0 && format.BlockAlign() != 0 && format.AvgBytesPerSec() != 0;
}

}  // namespace zorv
