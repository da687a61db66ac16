#include "simulation/Net2Encoders.h"

#include <speex/speex.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "devices/Net2Format.h"
#include "storage/ImaAdpcm.h"

namespace zorv {

namespace {

const SpeexMode* ModeOfRate(uint32_t rateHz) {
    return speex_lib_get_mode(rateHz == 8000 ? SPEEX_MODEID_NB : SPEEX_MODEID_WB);
}

// Bytes of one frame at a quality (constant bit rate).
std::size_t FrameBytesAtQuality(uint32_t rateHz, int quality) {
    void* state = speex_encoder_init(ModeOfRate(rateHz));
    int q = quality;
    speex_encoder_ctl(state, SPEEX_SET_QUALITY, &q);
    int frameSize = 0;
    speex_encoder_ctl(state, SPEEX_GET_FRAME_SIZE, &frameSize);
    std::vector<spx_int16_t> frame(static_cast<std::size_t>(frameSize));
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<spx_int16_t>(
            8000 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / rateHz));
    }
    SpeexBits bits;
    speex_bits_init(&bits);
    speex_encode_int(state, frame.data(), &bits);
    const auto bytes = static_cast<std::size_t>(speex_bits_nbytes(&bits));
    speex_bits_destroy(&bits);
    speex_encoder_destroy(state);
    return bytes;
}

}  // namespace

uint8_t CNet2AdpcmEncoder::EncodeSample(int sample) {
    // The transcoder's decoder holds its predictor within -32767..32767.
    return ImaEncodeSample(sample, m_predictor, m_index, -32767);
}

void CNet2AdpcmEncoder::EncodeBlock(const int16_t* samples, uint8_t* block) {
    const auto predictor = static_cast<uint16_t>(static_cast<int16_t>(m_predictor));
    block[0] = static_cast<uint8_t>(predictor);
    block[1] = static_cast<uint8_t>(predictor >> 8);
    block[2] = static_cast<uint8_t>(m_index);
    block[3] = 0;
    for (std::size_t i = 0; i < kAdpcmBlockCodes; ++i) {
        const uint8_t high = EncodeSample(samples[2 * i]);
        const uint8_t low = EncodeSample(samples[2 * i + 1]);
        block[kAdpcmBlockHeader + i] = static_cast<uint8_t>((high << 4) | low);
    }
}

int SpeexQualityForMode(uint32_t rateHz, uint32_t mode) {
    const std::size_t wanted = SpeexFrameBytes(rateHz, mode);
    if (wanted == 0) {
        return -1;
    }
    // Computed once per rate: the frame size of every quality.
    static const std::array<std::array<std::size_t, 11>, 2> kBytes = [] {
        std::array<std::array<std::size_t, 11>, 2> bytes{};
        for (int q = 0; q <= 10; ++q) {
            bytes[0][static_cast<std::size_t>(q)] = FrameBytesAtQuality(8000, q);
            bytes[1][static_cast<std::size_t>(q)] = FrameBytesAtQuality(16000, q);
        }
        return bytes;
    }();
    const auto& sizes = kBytes[rateHz == 8000 ? 0 : 1];
    for (int q = 10; q >= 0; --q) {
        if (sizes[static_cast<std::size_t>(q)] <= wanted) {
            return q;
        }
    }
    return -1;
}

CSpeexFrameEncoder::~CSpeexFrameEncoder() { Release(); }

void CSpeexFrameEncoder::Release() {
    if (m_state != nullptr) {
        speex_encoder_destroy(m_state);
        m_state = nullptr;
    }
    if (m_bits != nullptr) {
        auto* bits = static_cast<SpeexBits*>(m_bits);
        speex_bits_destroy(bits);
        delete bits;
        m_bits = nullptr;
    }
}

bool CSpeexFrameEncoder::Init(uint32_t rateHz, uint32_t mode) {
    Release();
    m_encoded = 0;
    if (m_kept) {
        std::fill_n(m_kept.get(), kReuseSlots, KeptFrame{});
        m_keptCount = 0;
    }
    m_quality = SpeexQualityForMode(rateHz, mode);
    if (m_quality < 0) {
        m_frameBytes = 0;
        m_frameSamples = 0;
        return false;
    }
    m_frameBytes = SpeexFrameBytes(rateHz, mode);
    m_frameSamples = rateHz == 8000 ? kSpeexNarrowSamples : kSpeexWideSamples;
    m_state = speex_encoder_init(ModeOfRate(rateHz));
    int quality = m_quality;
    speex_encoder_ctl(m_state, SPEEX_SET_QUALITY, &quality);
    auto* bits = new SpeexBits;
    speex_bits_init(bits);
    m_bits = bits;
    return true;
}

void CSpeexFrameEncoder::SetReuse(bool on) {
    m_reuse = on;
    if (on && !m_kept) {
        m_kept = std::make_unique<KeptFrame[]>(kReuseSlots);
    }
}

void CSpeexFrameEncoder::Encode(const int16_t* samples, uint8_t* frame) {
    if (!m_reuse || m_state == nullptr) {
        EncodeNew(samples, frame);
        return;
    }
    // FNV-1a over the samples' bytes.
    uint64_t hash = 0xcbf29ce484222325u;
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
    for (std::size_t i = 0; i < m_frameSamples * sizeof(int16_t); ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001b3u;
    }
    std::size_t slot = hash % kReuseSlots;
    while (m_kept[slot].used) {
        if (m_kept[slot].hash == hash) {
            std::memcpy(frame, m_kept[slot].bytes, m_frameBytes);
            return;
        }
        slot = (slot + 1) % kReuseSlots;
    }
    EncodeNew(samples, frame);
    // At most half the slots are filled, so that a search always ends soon.
    if (m_keptCount < kReuseSlots / 2) {
        m_kept[slot].used = true;
        m_kept[slot].hash = hash;
        std::memcpy(m_kept[slot].bytes, frame, m_frameBytes);
        ++m_keptCount;
    }
}

void CSpeexFrameEncoder::EncodeNew(const int16_t* samples, uint8_t* frame) {
    auto* bits = static_cast<SpeexBits*>(m_bits);
    std::memset(frame, 0, m_frameBytes);
    if (m_state == nullptr) {
        return;
    }
    speex_bits_reset(bits);
    // speex_encode_int takes the samples as its scratch.
    std::array<spx_int16_t, kSpeexWideSamples> scratch{};
    std::copy_n(samples, m_frameSamples, scratch.begin());
    speex_encode_int(m_state, scratch.data(), bits);
    ++m_encoded;
    speex_bits_write(bits, reinterpret_cast<char*>(frame), static_cast<int>(m_frameBytes));
    for (std::size_t i = 0; i + 1 < m_frameBytes; i += 2) {
        std::swap(frame[i], frame[i + 1]);
    }
}

}  // namespace zorv
