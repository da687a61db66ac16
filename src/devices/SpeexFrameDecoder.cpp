#include "devices/SpeexFrameDecoder.h"

#include <speex/speex.h>

#include <algorithm>
#include <cmath>

namespace zorv {

namespace {

// Rounds and clips one decoded value the way the library's integer output does.
int16_t ToSample(float value) {
    if (!(value > -32768.0f)) {
        return value < 0.0f ? int16_t{-32768} : int16_t{0};  // NaN → silence
    }
    if (value > 32767.0f) {
        return 32767;
    }
    return static_cast<int16_t>(std::floor(0.5f + value));
}

}  // namespace

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
    if (frameSize != (wideband ? static_cast<spx_int32_t>(kWideSamples) : 160)) {
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
    // The library's own integer decoding goes through a float buffer on its
    // stack, and some malformed frames leave part of it unwritten: the same
    // frame then decodes to whatever the stack held. Decoding into a buffer
    // of ours, cleared first, gives the same samples for the same frame.
    std::fill_n(m_decoded.begin(), m_samples, 0.0f);
    if (speex_decode(m_state, &m_bits, m_decoded.data()) != 0) {
        return false;
    }
    for (std::size_t k = 0; k < m_samples; ++k) {
        out[k] = ToSample(m_decoded[k]);
    }
    return true;
}

}  // namespace zorv
