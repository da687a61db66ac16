// Scenario files of simulated network transcoders: which transcoders run,
// where they listen, who they are and how they behave. The format is
// documented in docs/simulated-transcoder.md.
//
// One section per transcoder, [Transcoder1], [Transcoder2], ... numbered
// without gaps; every value is checked here, and the first one that cannot be
// used throws CTranscoderScenarioError naming the file, the section and the
// key. Plain values; LoadTranscoderScenario may be called from any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "simulation/BoardScenario.h"
#include "simulation/SimulatedTranscoder.h"

namespace zorv {

inline constexpr int kMaxScenarioTranscoders = 100;

struct TranscoderScenario {
    std::vector<SimTranscoderConfig> transcoders;
};

class CTranscoderScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// WAV paths are relative to the scenario file's directory.
TranscoderScenario LoadTranscoderScenario(const std::string& path);

// A transcoder line as a simulated board's channel: its audio (heard only
// during calls when it has calls) and one cycle of its call timeline (ring at
// 0, call in, free).
SimChannel LineChannel(const SimTranscoderLine& line);
// The period after which every line's timeline starts over: the longest
// cycle of the transcoder's lines (0: no calls).
int64_t CallCycleMs(const SimTranscoderConfig& config);

}  // namespace zorv
