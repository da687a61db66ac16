#include "storage/GsmEncoder.h"

#include <gsm.h>

#include <algorithm>
#include <new>

namespace zorv {

namespace {

constexpr std::size_t kGsmFrame = 160;

gsm CreateWav49() {
    gsm state = gsm_create();
    if (state == nullptr) {
        throw std::bad_alloc();
    }
    int one = 1;
    gsm_option(state, GSM_OPT_WAV49, &one);
    return state;
}

}  // namespace

bool CGsmEncoder::Accepts(const CWaveFormat& f) {
    if (f.Tag() != kWaveFormatGsm610 || f.Channels() != 1 || f.BlockAlign() != kBlockBytes ||
        f.ExtraSize() < 2 || f.SamplesPerBlock() != kFramesPerBlock) {
        return false;
    }
    const uint32_t avg = CWaveFormat::Gsm610(f.Rate()).AvgBytesPerSec();
    return f.AvgBytesPerSec() + 1 >= avg && f.AvgBytesPerSec() <= avg + 1;
}

CGsmEncoder::CGsmEncoder(const CWaveFormat&) : m_gsm(CreateWav49()) {}

CGsmEncoder::~CGsmEncoder() {
    gsm_destroy(m_gsm);
}

void CGsmEncoder::Reset() {
    gsm fresh = CreateWav49();
    gsm_destroy(m_gsm);
    m_gsm = fresh;
}

std::size_t CGsmEncoder::Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) {
    std::size_t bytes = 0;
    gsm_signal frame[kGsmFrame];
    while (frames > 0) {
        // The first frame of a block packs into 32 bytes, the second into 33.
        for (int half = 0; half < 2; ++half) {
            const std::size_t n = std::min(frames, kGsmFrame);
            std::copy(pcm, pcm + n, frame);
            std::fill(frame + n, frame + kGsmFrame, 0);
            gsm_encode(m_gsm, frame, out + bytes);
            bytes += half == 0 ? 32 : 33;
            pcm += n;
            frames -= n;
        }
    }
    return bytes;
}

}  // namespace zorv
