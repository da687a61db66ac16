#include "devices/ImaAdpcmDecoder.h"

#include <algorithm>
#include <array>

namespace zorv {

namespace {

constexpr std::array<int, 89> kStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<int, 16> kIndexTable = {-1, -1, -1, -1, 2, 4, 6, 8,
                                             -1, -1, -1, -1, 2, 4, 6, 8};

}  // namespace

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
    const int step = kStepTable[static_cast<std::size_t>(m_stepIndex)];
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
    m_stepIndex = std::clamp(m_stepIndex + kIndexTable[code], 0, kMaxStepIndex);
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
