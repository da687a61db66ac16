#include "devices/ImaAdpcmDecoder.h"

#include <algorithm>
#include <array>

#include "storage/ImaAdpcm.h"

namespace zorv {

void CImaAdpcmDecoder::Reset() {
    m_predictor = 0;
    m_stepIndex = 0;
    m_held = false;
    m_heldSample = 0;
}

bool CImaAdpcmDecoder::Start(int16_t predictor, uint16_t stepIndex) {
    if (stepIndex > kMaxStepIndex) {
        return false;
    }
    m_predictor = predictor;
    m_stepIndex = stepIndex;
    return true;
}

int16_t CImaAdpcmDecoder::DecodeNibble(uint8_t code) {
    code &= 0x0F;
    const int step = kImaStepTable[static_cast<std::size_t>(m_stepIndex)];
    int diff = step >> 3;
    if (code & 4) {
        diff += step;
    }
    if (code & 2) {
        diff += step >> 1;
    }
    if (code & 1) {
        diff += step >> 2;
    }
    m_predictor = (code & 8) ? m_predictor - diff : m_predictor + diff;
    m_predictor = std::clamp(m_predictor, -32767, 32767);
    m_stepIndex = std::clamp(m_stepIndex + kImaIndexTable[code], 0, kMaxStepIndex);
    return static_cast<int16_t>(m_predictor);
}

std::size_t CImaAdpcmDecoder::Decode(std::span<const uint8_t> codes, std::span<int16_t> out,
                                     std::size_t& consumed) {
    std::size_t written = 0;
    consumed = 0;
    if (m_held && !out.empty()) {
        out[written++] = m_heldSample;
        m_held = false;
    }
    while (consumed < codes.size() && written < out.size()) {
        const uint8_t byte = codes[consumed++];
        out[written++] = DecodeNibble(static_cast<uint8_t>(byte >> 4));
        const int16_t second = DecodeNibble(byte);
        if (written < out.size()) {
            out[written++] = second;
        } else {
            m_heldSample = second;
            m_held = true;
        }
    }
    return written;
}

}  // namespace zorv
