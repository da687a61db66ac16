#include "devices/SpeexFrameDecoder.h"

#include <speex/speex.h>

namespace zorv {

CSpeexFrameDecoder::~CSpeexFrameDecoder() {
    Close();
}

bool CSpeexFrameDecoder::Open(bool wideband) {
    Close();
    m_wideband = wideband;
    m_state = speex_decoder_init(wideband ? &speex_wb_mode : &speex_nb_mode);
    if (m_state == nullptr) {
        return false;
    }
    spx_int32_t enhancement = 0;
    speex_decoder_ctl(m_state, SPEEX_SET_ENH, &enhancement);
    spx_int32_t frameSize = 0;
    speex_decoder_ctl(m_state, SPEEX_GET_FRAME_SIZE, &frameSize);
    if (frameSize != (wideband ? 320 : 160)) {
        Close();
        return false;
    }
    m_samples = static_cast<std::size_t>(frameSize);
    // The bit buffer is allocated here once; frames of a few dozen bytes never
    // make the library grow it.
    speex_bits_init(&m_bits);
    m_bitsReady = true;
    return true;
}

void CSpeexFrameDecoder::Close() {
    if (m_state != nullptr) {
        speex_decoder_destroy(m_state);
        m_state = nullptr;
    }
    if (m_bitsReady) {
        speex_bits_destroy(&m_bits);
        m_bitsReady = false;
    }
    m_samples = 0;
}

void CSpeexFrameDecoder::Reset() {
    // The library's own reset leaves some state behind (a reset decoder
    // decodes the same frames differently from a new one): start anew.
    if (m_state != nullptr) {
        Open(m_wideband);
    }
}

bool CSpeexFrameDecoder::Decode(std::span<const uint8_t> frame, std::span<int16_t> out) {
    if (m_state == nullptr || frame.empty() || frame.size() > kMaxFrameBytes ||
        out.size() < m_samples) {
        return false;
    }
    std::size_t i = 0;
    for (; i + 1 < frame.size(); i += 2) {
        m_frame[i] = static_cast<char>(frame[i + 1]);
        m_frame[i + 1] = static_cast<char>(frame[i]);
    }
    if (i < frame.size()) {
        m_frame[i] = static_cast<char>(frame[i]);
    }
    speex_bits_read_from(&m_bits, m_frame.data(), static_cast<int>(frame.size()));
    return speex_decode_int(m_state, &m_bits, out.data()) == 0;
}

}  // namespace zorv
