// CAudioEncoder: one encoder of 16-bit PCM into the blocks of a wave format,
// behind CAcmCodec. Each codec lives in its own file; CreateAudioEncoder
// picks it from a destination format block.
//
// An encoder is configured once (format, buffers) and then encodes without
// allocating. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "storage/WaveFormat.h"

namespace zorv {

class CAudioEncoder {
public:
    virtual ~CAudioEncoder() = default;

    // Frames (samples of every channel) in one block, and the block's bytes.
    // PCM and G.711 have blocks of one frame.
    virtual uint32_t FramesPerBlock() const = 0;
    virtual uint32_t BlockBytes() const = 0;
    // Starts a new stream: codecs with state across blocks forget it.
    virtual void Reset() {}
    // Encodes frames of interleaved samples into out, which has room for
    // MaxBytes(frames). Whole blocks come out whole; a last partial block is
    // as short as the format allows (or padded to a whole block where it has
    // to be). Returns the bytes written.
    virtual std::size_t Encode(const int16_t* pcm, std::size_t frames, uint8_t* out) = 0;
    // Ends the stream: writes what the codec still holds (encoders that
    // buffer across calls) into out, after an Encode of the same call, whose
    // room covers both. Returns the bytes written.
    virtual std::size_t Finish(uint8_t* /*out*/) { return 0; }

    std::size_t MaxBytes(std::size_t frames) const {
        return (frames + FramesPerBlock() - 1) / FramesPerBlock() * BlockBytes();
    }
};

// True when an encoder exists for format, fed with 16-bit PCM of the same
// rate and channel count, and the format's fields agree with each other.
bool CanEncode(const CWaveFormat& format);
// The encoder for format, or null when CanEncode says no.
std::unique_ptr<CAudioEncoder> CreateAudioEncoder(const CWaveFormat& format);

}  // namespace zorv
