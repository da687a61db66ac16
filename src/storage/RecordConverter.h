// The conversion of one record's audio into a target format: the audio of an
// open record (read through its view) goes through a codec stream in
// one-second pieces into the "data" chunk of a new record.
//
// Input tags: 1 (16-bit PCM), 6 (A-law) and 7 (µ-law), which are expanded to
// 16-bit PCM first; the codec stream must have been opened from the PCM
// equivalent of the input (PcmSourceFormat) with a source buffer of one
// second. Used by the compressor's thread only.
#pragma once

#include <atomic>
#include <cstdint>

#include "storage/AcmCodec.h"
#include "storage/WavFile.h"

namespace zorv {

enum class EConvertResult {
    kDone,
    kUnsupportedInput,  // a tag other than PCM, A-law and µ-law
    kCodecError,        // the codec failed (its error state says how)
    kWriteFailed,       // the output file took less than it was given
    kStopped,           // the stop flag was set
};

// The 16-bit PCM format the codec stream is opened from for input of this
// format (itself for PCM; A-law and µ-law with doubled sizes); empty for any
// other input.
CWaveFormat PcmSourceFormat(const CWaveFormat& input);

// Progress of a conversion: source bytes read so far. Written by the
// converting thread, read by anyone.
struct SConvertProgress {
    std::atomic<uint32_t> sourceBytes{0};
};

// Converts in's audio through codec into out (created and in kStateAudio) and
// sets out's sample count to the frames converted. stop is tested before
// every piece.
EConvertResult ConvertRecord(CWavFile& in, CWavFile& out, CAcmCodec& codec,
                             const std::atomic<bool>& stop, SConvertProgress& progress);

}  // namespace zorv
