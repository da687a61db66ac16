#include "storage/Mp3Encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <climits>
#include <new>

namespace zorv {
namespace {

// Bit rates (kbit/s) of MPEG-1 (32, 44.1, 48 kHz) and of MPEG-2 and 2.5.
constexpr uint32_t kMpeg1Rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr uint32_t kMpeg2Rates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr uint32_t kSampleRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

bool Mpeg1(uint32_t rate) {
    return rate >= 32000;
}

}  // namespace

bool CMp3Encoder::Accepts(const CWaveFormat& f) {
    if (f.Tag() != kWaveFormatMpegLayer3 || f.Channels() < 1 || f.Channels() > 2 ||
        f.AvgBytesPerSec() % 125 != 0) {
        return false;
    }
    if (std::find(std::begin(kSampleRates), std::end(kSampleRates), f.Rate()) ==
        std::end(kSampleRates)) {
        return false;
    }
    const uint32_t kbps = f.AvgBytesPerSec() / 125;
    return Mpeg1(f.Rate()) ? std::find(std::begin(kMpeg1Rates), std::end(kMpeg1Rates), kbps) !=
                                 std::end(kMpeg1Rates)
                           : std::find(std::begin(kMpeg2Rates), std::end(kMpeg2Rates), kbps) !=
                                 std::end(kMpeg2Rates);
}

CWaveFormat CMp3Encoder::Format(uint16_t channels, uint32_t rate, uint32_t kbps) {
    uint8_t block[30] = {};
    const uint32_t samplesPerFrame = Mpeg1(rate) ? 1152 : 576;
    StoreLe16(block + 0, kWaveFormatMpegLayer3);
    StoreLe16(block + 2, channels);
    StoreLe32(block + 4, rate);
    StoreLe32(block + 8, kbps * 125);
    StoreLe16(block + 12, 1);  // nBlockAlign: frames vary in size
    StoreLe16(block + 14, 0);
    StoreLe16(block + 16, 12);
    StoreLe16(block + 18, 1);  // wID: MPEG layer 3
    StoreLe32(block + 20, 2);  // fdwFlags: padding off
    StoreLe16(block + 24, static_cast<uint16_t>(samplesPerFrame / 8 * kbps * 1000 / rate));
    StoreLe16(block + 26, 1);     // nFramesPerBlock
    StoreLe16(block + 28, 1393);  // nCodecDelay
    return CWaveFormat(std::span<const uint8_t>(block, sizeof(block)));
}

CMp3Encoder::CMp3Encoder(const CWaveFormat& format)
    : m_channels(format.Channels()),
      m_rate(format.Rate()),
      m_kbps(format.AvgBytesPerSec() / 125),
      m_framesPerBlock(Mpeg1(format.Rate()) ? 1152 : 576) {
    Open();
}

CMp3Encoder::~CMp3Encoder() {
    if (m_lame != nullptr) {
        lame_close(m_lame);
    }
}

void CMp3Encoder::Open() {
    if (m_lame != nullptr) {
        lame_close(m_lame);
    }
    m_lame = lame_init();
    if (m_lame == nullptr) {
        throw std::bad_alloc();
    }
    lame_set_in_samplerate(m_lame, static_cast<int>(m_rate));
    lame_set_out_samplerate(m_lame, static_cast<int>(m_rate));
    lame_set_num_channels(m_lame, m_channels);
    lame_set_mode(m_lame, m_channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(m_lame, static_cast<int>(m_kbps));
    lame_set_VBR(m_lame, vbr_off);
    lame_set_bWriteVbrTag(m_lame, 0);
    if (lame_init_params(m_lame) < 0) {
        lame_close(m_lame);
        m_lame = nullptr;
        throw std::bad_alloc();
    }
}

void CMp3Encoder::Reset() {
    Open();
}

std::size_t CMp3Encoder::Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) {
    std::size_t written = 0;
    // libmp3lame takes int counts: a long input goes in pieces.
    constexpr std::size_t kPiece = 1 << 16;
    for (std::size_t done = 0; done < frames; done += kPiece) {
        const std::size_t n = std::min(kPiece, frames - done);
        const int16_t* at = pcm + done * m_channels;
        const int room = static_cast<int>(std::min<std::size_t>(n * 5 / 4 + 7200, INT_MAX));
        int bytes = 0;
        if (m_channels == 2) {
            bytes = lame_encode_buffer_interleaved(m_lame, const_cast<int16_t*>(at),
                                                   static_cast<int>(n), out + written, room);
        } else {
            bytes = lame_encode_buffer(m_lame, at, at, static_cast<int>(n), out + written, room);
        }
        if (bytes < 0) {
            return written;
        }
        written += static_cast<std::size_t>(bytes);
    }
    return written;
}

std::size_t CMp3Encoder::Finish(uint8_t* out) {
    const int bytes = lame_encode_flush(m_lame, out, 7200);
    return bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

}  // namespace zorv
