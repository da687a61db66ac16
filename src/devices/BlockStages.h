// The per-block processing stages of a channel, between the device's input
// filter and the channel's audio handler, in the order the reading loop runs
// them. Each stage object serves every channel of one device, keeps its
// per-channel state inside and allocates nothing per block. The default
// stage does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

class IBlockStage {
public:
    virtual ~IBlockStage() = default;
    // samples may be changed in place (noise suppression does).
    virtual void Process(int /*channel*/, int16_t* /*samples*/, std::size_t /*count*/) {}
    virtual void SetSampleRate(int /*channel*/, uint32_t /*rate*/) {}
    virtual void Reset(int /*channel*/) {}
};

// The stages of one device. A null member is skipped.
struct BlockStages {
    IBlockStage* callerIdDemodulator = nullptr;  // FSK caller ID
    IBlockStage* busyAnalyzer = nullptr;
    IBlockStage* aonActivation = nullptr;        // caller-number activation in level mode
    IBlockStage* aonDecoder = nullptr;
    IBlockStage* frequencyActivator = nullptr;
    IBlockStage* noiseSuppressor = nullptr;
};

}  // namespace zorv
