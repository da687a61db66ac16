// WAV files named by simulated-board scenarios: any bytes must either give
// samples or be refused with an error.
#include <cstddef>
#include <cstdint>
#include <span>

#include "simulation/BoardScenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t rate = 0;
    try {
        const auto samples =
            zorv::ParseBoardWav(std::span<const uint8_t>(data, size), rate, "fuzz");
        if (samples.empty() || samples.size() > size / 2) {
            __builtin_trap();
        }
    } catch (const zorv::CBoardScenarioError&) {
    }
    return 0;
}
