// Scenario files of the simulated boards are written by hand: any text must
// either load or be refused with an error, what loads must hold only values
// the simulator can use, and the boards it describes must play through the
// driver without a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/BoardDriver.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedBoardOpener.h"
#include "platform/AutoResetEvent.h"

namespace {

// WAV files from memory: "*bad*" is refused, "*16k*" plays at 16000 Hz.
std::vector<int16_t> ReadWav(const std::string& path, uint32_t& rate) {
    if (path.find("bad") != std::string::npos) {
        throw zorv::CBoardScenarioError(path + ": not a RIFF/WAVE file");
    }
    rate = path.find("16k") != std::string::npos ? 16000 : 8000;
    return {100, -2000, 30000, -32768, 0};
}

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void CheckValues(const zorv::SimScenario& scenario) {
    Check(!scenario.boards.empty() && scenario.boards.size() <= 16);
    for (std::size_t i = 0; i < scenario.boards.size(); ++i) {
        const zorv::SimBoardConfig& board = scenario.boards[i];
        Check(board.index >= 0 && board.index <= 99);
        for (std::size_t j = 0; j < i; ++j) {
            Check(board.deviceName != scenario.boards[j].deviceName ||
                  board.index != scenario.boards[j].index);
        }
        Check(board.repeatMs >= 0 && board.heartbeatMs >= 0);
        Check(std::is_sorted(board.faults.begin(), board.faults.end(),
                             [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; }));
        for (const zorv::SimFault& fault : board.faults) {
            Check(fault.timeMs >= 0 && fault.amount >= 0);
            Check(fault.group >= 0 && fault.group < zorv::kMaxGroups);
        }
        for (const zorv::SimChannel& channel : board.channels) {
            Check(channel.polarity == 1 || channel.polarity == -1);
            Check(channel.driftField >= -1 && channel.driftField < 11);
            Check(std::is_sorted(channel.timeline.begin(), channel.timeline.end(),
                                 [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; }));
            const zorv::SimAudio& audio = channel.audio;
            Check(audio.amplitude >= 0 && audio.amplitude <= 32767);
            if (audio.kind == zorv::SimAudioKind::Wav) {
                Check(audio.wavSamples && !audio.wavSamples->empty());
                Check(audio.wavRate == 8000 || audio.wavRate == 16000);
            }
        }
    }
}

// Opens the first board through the driver, streams every group for a
// little while of board time and reads what comes.
void Play(const zorv::SimScenario& scenario) {
    zorv::CSimulatedBoardOpener opener(scenario.boards, zorv::CSimulatedBoard::Clock::Virtual);
    zorv::CBoardDriver driver(opener);
    if (!driver.Open(scenario.boards[0].index)) {
        return;  // another driver family, or a board the driver refuses
    }
    zorv::CAutoResetEvent event;
    if (!driver.StartTransfer(65536, &event)) {
        return;
    }
    for (int bit = 0; bit < 6; ++bit) {
        driver.SetEnableBit(bit, true);
    }
    std::vector<uint8_t> chunk(1 << 16);
    for (int step = 0; step < 4; ++step) {
        opener.BoardAt(0).Advance(50);
        std::size_t n = 0;
        for (int reads = 0; reads < 64 && driver.Read(chunk.data(), chunk.size(), n) && n > 0;
             ++reads) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    zorv::SimScenario scenario;
    try {
        scenario = zorv::ParseBoardScenario(text, "fuzz.ini", "/scenarios", ReadWav);
    } catch (const zorv::CBoardScenarioError&) {
        return 0;
    }
    CheckValues(scenario);
    Play(scenario);
    return 0;
}
