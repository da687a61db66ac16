#include "storage/G711.h"

namespace zorv {

namespace {

constexpr int kMulawBias = 0x84;
constexpr int kMulawClip = 32635;

constexpr int16_t AlawExpand(uint8_t code) {
    const int a = code ^ 0x55;
    int magnitude = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0) {
        magnitude += 8;
    } else {
        magnitude = (magnitude + 0x108) << (segment - 1);
    }
    return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

constexpr int16_t MulawExpand(uint8_t code) {
    const int u = ~code & 0xFF;
    const int exponent = (u >> 4) & 0x07;
    const int magnitude = ((((u & 0x0F) << 3) + kMulawBias) << exponent) - kMulawBias;
    return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

template <int16_t (*Expand)(uint8_t)>
constexpr std::array<int16_t, 256> ExpansionTable() {
    std::array<int16_t, 256> table{};
    for (int code = 0; code < 256; ++code) {
        table[code] = Expand(static_cast<uint8_t>(code));
    }
    return table;
}

// Position of the highest set bit of value above bit 'low', 0..7.
int Segment(int value, int low) {
    int segment = 0;
    for (value >>= low; value > 1 && segment < 7; value >>= 1) {
        ++segment;
    }
    return segment;
}

}  // namespace

const std::array<int16_t, 256> kAlawToLinear = ExpansionTable<AlawExpand>();
const std::array<int16_t, 256> kMulawToLinear = ExpansionTable<MulawExpand>();

uint8_t LinearToAlaw(int16_t sample) {
    // A-law works on 13 bits; negative values are coded as their ones'
    // complement, so -1 and 0 share a magnitude.
    int value = sample >> 3;
    uint8_t mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    if (value > 0xFFF) {
        return static_cast<uint8_t>(0x7F ^ mask);
    }
    const int segment = value < 0x20 ? 0 : Segment(value, 4);
    const int mantissa = segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

uint8_t LinearToMulaw(int16_t sample) {
    int value = sample;
    uint8_t sign = 0;
    if (value < 0) {
        sign = 0x80;
        value = -value;
    }
    if (value > kMulawClip) {
        value = kMulawClip;
    }
    value += kMulawBias;
    const int exponent = Segment(value, 7);
    const int mantissa = (value >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

}  // namespace zorv
