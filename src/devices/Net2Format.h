// The NET2 transcoder's packet stream: one definition used by the channel
// device's parser, the transcoder simulator and the tests.
//
// Packet: bytes 0-1 unused; bytes 2-3 a little-endian word (bits 0-5 the
// channels present, bit 14 an event block follows, bit 15 must be 0); bytes
// 4-7 unused; then one audio section per present channel in ascending order;
// then, when bit 14 is set, a u16 length L and an event block of L bytes.
//
// Audio sections:
//   NONE   u16 byte count n, n bytes of 16-bit little-endian samples;
//   ALAW   u16 byte count n, n A-law bytes;
//   SPEEX  u16 byte count n, n / frame-bytes whole frames, each 16-bit word
//          of a frame with its two bytes exchanged;
//   ADPCM  one unused byte, a byte k, then k blocks of 256 bytes: s16
//          predictor, u16 step index, 252 bytes of 4-bit codes (504
//          samples, the high nibble of each byte first).
// A count of 0 skips the channel.
//
// Event block: two bytes per channel, channel 0 first: a line-monitor data
// byte, then the line status (bits 0-1 line state 0 lost, 1 free, 2 ring,
// 3 call in, when bit 5 is clear; bit 5 set: taken for a call out, bit 4 a
// digit strobe toggled with every new digit, bits 0-3 the digit; bit 7 the
// line polarity).
#pragma once

#include <cstddef>
#include <cstdint>

#include "transcoders/TranscoderDataProtocol.h"

namespace zorv {

inline constexpr std::size_t kNet2HeaderSize = 8;
inline constexpr std::size_t kNet2MaskOffset = 2;
inline constexpr uint16_t kNet2ChannelBits = 0x003F;
inline constexpr uint16_t kNet2EventFlag = 0x4000;
inline constexpr uint16_t kNet2ErrorFlag = 0x8000;
inline constexpr int kNet2MaxChannels = 6;

inline constexpr std::size_t kAdpcmBlockSize = 256;
inline constexpr std::size_t kAdpcmBlockHeader = 4;
inline constexpr std::size_t kAdpcmBlockCodes = 252;
inline constexpr std::size_t kAdpcmBlockSamples = 504;

// The automatic polarity check of a line counts six blocks for each status
// block of the stream.
inline constexpr uint32_t kNet2BlocksPerStatus = 6;
inline constexpr std::size_t kSpeexNarrowSamples = 160;  // one frame at 8000 Hz
inline constexpr std::size_t kSpeexWideSamples = 320;    // one frame at 16000 Hz

// Event block status bits.
inline constexpr uint8_t kStatusLineMask = 0x03;
inline constexpr uint8_t kStatusDigitMask = 0x0F;
inline constexpr uint8_t kStatusStrobe = 0x10;
inline constexpr uint8_t kStatusCallOut = 0x20;
inline constexpr uint8_t kStatusPolarity = 0x80;

// Speex frame bytes for a rate and Speex mode; 0 when the pair is invalid
// (only 8000 and 16000 Hz carry Speex).
constexpr std::size_t SpeexFrameBytes(uint32_t rate, uint32_t mode) {
    if (rate == 8000) {
        switch (mode) {
            case 8: return 38;
            case 11: return 28;
            case 16: return 20;
            case 20: return 16;
            case 32: return 10;
            default: return 0;
        }
    }
    if (rate == 16000) {
        switch (mode) {
            case 10: return 60;
            case 12: return 52;
            case 15: return 42;
            case 20: return 32;
            case 24: return 26;
            case 32: return 20;
            case 40: return 16;
            default: return 0;
        }
    }
    return 0;
}

// The buffer value sent with the codec's buffer mode; 0 for an invalid
// combination.
constexpr uint32_t Net2BufferValue(uint32_t bufferMode, uint32_t rate, uint32_t compression,
                                   uint32_t speexMode) {
    const int r = rate == 8000 ? 0 : rate == 16000 ? 1 : rate == 32000 ? 2 : -1;
    if (r < 0 || compression > kCompressAlaw) {
        return 0;
    }
    if (compression == kCompressSpeex) {
        if (r == 2 || SpeexFrameBytes(rate, speexMode) == 0) {
            return 0;
        }
        if (bufferMode == 0) {
            return 1;
        }
        if (r == 0) {
            return speexMode == 8 ? 16 : speexMode == 32 ? 4 : 8;
        }
        return speexMode <= 20 ? 16 : 8;
    }
    // NONE, ADPCM, ALAW by rate.
    constexpr uint32_t kBuffered[3][4] = {{64, 0, 32, 64}, {128, 0, 64, 128}, {128, 0, 64, 128}};
    constexpr uint32_t kDirect[3][4] = {{8, 0, 2, 4}, {16, 0, 4, 8}, {32, 0, 8, 16}};
    return bufferMode != 0 ? kBuffered[r][compression] : kDirect[r][compression];
}

static_assert(Net2BufferValue(1, 8000, kCompressSpeex, 8) == 16);
static_assert(Net2BufferValue(1, 16000, kCompressSpeex, 24) == 8);
static_assert(Net2BufferValue(0, 32000, kCompressAlaw, 0) == 16);
static_assert(Net2BufferValue(1, 32000, kCompressSpeex, 16) == 0);

}  // namespace zorv
