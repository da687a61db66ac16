// The interface through which a device hands the audio of one channel to a
// live listener: local listening and the network observer streams.
//
// Kinds of audio: kKindLineMonitor, the device's line-monitor bytes as they
// come; kKindPcm, 16-bit linear PCM at the channel's rate (both halves of a
// stereo pair as the device delivers them when stereo is set). Any other
// kind makes Open and Reformat fail.
//
// The device calls Open when the observer is attached and keeps it only
// when Open succeeds; Reformat when the channel's rate changes (an observer
// whose Reformat fails gets nothing more); Push on its reading thread, under
// its channel lock, for every piece of audio: Push must neither block nor
// allocate, and returns the bytes it took (what does not fit is dropped).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

class CAudioObserver {
public:
    static constexpr int kKindLineMonitor = 0;
    static constexpr int kKindPcm = 1;

    virtual ~CAudioObserver() = default;
    virtual bool Open(uint32_t sampleRate, bool stereo, int kind) = 0;
    virtual void Close() = 0;
    virtual bool Reformat(uint32_t sampleRate, bool stereo, int kind) = 0;
    virtual std::size_t Push(const uint8_t* bytes, std::size_t length) = 0;
};

}  // namespace zorv
