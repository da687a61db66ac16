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

TranscoderScenario LoadTranscoderScenario(const std::string& path);

}  // namespace zorv
