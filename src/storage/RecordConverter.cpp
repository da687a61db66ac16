#include "storage/RecordConverter.h"

#include <algorithm>
#include <cstring>

#include "storage/G711.h"

namespace zorv {

CWaveFormat PcmSourceFormat(const CWaveFormat& input) {
    switch (input.Tag()) {
        case kWaveFormatPcm:
            return input;
        case kWaveFormatAlaw:
        case kWaveFormatMulaw:
            return CWaveFormat::Linear(kWaveFormatPcm, input.Channels(), 16, input.Rate());
        default:
            return CWaveFormat();
    }
}

EConvertResult ConvertRecord(CWavFile& in, CWavFile& out, CAcmCodec& codec,
                             const std::atomic<bool>& stop, SConvertProgress& progress) {
    const uint16_t tag = in.GetFormat().Tag();
    if (tag != kWaveFormatPcm && tag != kWaveFormatAlaw && tag != kWaveFormatMulaw) {
        return EConvertResult::kUnsupportedInput;
    }
    const bool companded = tag != kWaveFormatPcm;
    const std::array<int16_t, 256>& table = tag == kWaveFormatAlaw ? kAlawToLinear : kMulawToLinear;
    const uint8_t* input = in.GetDataPointer();
    const std::size_t inputSize = input != nullptr ? in.GetDataSize() : 0;
    const std::size_t bufferBytes = codec.GetInputSize();
    uint8_t* source = codec.GetSrcBuffer();
    const std::size_t frameBytes = 2u * std::max<uint16_t>(codec.GetSrcnChannels(), 1);
    if (bufferBytes < frameBytes || source == nullptr) {
        return EConvertResult::kCodecError;
    }
    // Input bytes per PCM byte of the source buffer.
    const std::size_t inputPerPcm = companded ? 1 : 2;

    std::size_t position = 0;
    uint64_t pcmBytes = 0;
    uint32_t flags = CAcmCodec::kConvertStart;
    bool ended = false;  // a call without the block-align flag ended the stream
    progress.sourceBytes.store(0);
    while (position < inputSize) {
        if (stop.load()) {
            return EConvertResult::kStopped;
        }
        const std::size_t room = bufferBytes * inputPerPcm / 2;  // input bytes that fill the buffer
        const std::size_t take = std::min(inputSize - position, room);
        std::size_t pcm = 0;
        if (companded) {
            auto* samples = reinterpret_cast<int16_t*>(source);
            for (std::size_t i = 0; i < take; ++i) {
                samples[i] = table[input[position + i]];
            }
            pcm = take * 2;
        } else {
            std::memcpy(source, input + position, take);
            pcm = take;
        }
        const bool full = take == room;
        ended = !full;
        std::size_t produced = 0;
        std::size_t consumed =
            codec.Convert(pcm, flags | (full ? CAcmCodec::kConvertBlockAlign : 0u), produced);
        if (codec.GetError() != CAcmCodec::kErrorNone) {
            return EConvertResult::kCodecError;
        }
        if (consumed == 0 && produced == 0) {
            // Less than one block left in a full buffer cannot happen with
            // one-second buffers; end the stream rather than loop.
            consumed = codec.Convert(pcm, flags, produced);
            ended = true;
            if (codec.GetError() != CAcmCodec::kErrorNone || consumed == 0) {
                return EConvertResult::kCodecError;
            }
        }
        flags = 0;
        if (produced != 0 && out.WriteAudio(codec.GetDstBuffer(), produced) != produced) {
            return EConvertResult::kWriteFailed;
        }
        const std::size_t used = companded ? consumed / 2 : consumed;
        position += std::min(used, take);
        pcmBytes += std::min(consumed, pcm);
        progress.sourceBytes.store(static_cast<uint32_t>(position));
    }
    if (!ended && inputSize != 0) {
        // The last piece filled the buffer and went block-aligned: end the
        // stream, so that a codec that buffers gives out what it holds.
        std::size_t produced = 0;
        codec.Convert(0, 0, produced);
        if (codec.GetError() != CAcmCodec::kErrorNone) {
            return EConvertResult::kCodecError;
        }
        if (produced != 0 && out.WriteAudio(codec.GetDstBuffer(), produced) != produced) {
            return EConvertResult::kWriteFailed;
        }
    }
    out.SetSamplesCount(static_cast<uint32_t>(pcmBytes / frameBytes));
    return EConvertResult::kDone;
}

}  // namespace zorv
