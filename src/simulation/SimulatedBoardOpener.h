// Serves simulated boards to board drivers in place of the kernel devices.
//
// The opener owns the boards of a scenario for its whole life, as boards sit
// in the machine: opening a board hands out a handle (one at a time per
// board) through which the driver reaches it, and closing the handle stops
// its transfer. The opener must outlive every handle it gave out.
//
// Threads: Open may be called from any thread; the boards are thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devices/BoardIo.h"
#include "simulation/BoardScenario.h"
#include "simulation/SimulatedBoard.h"

namespace zorv {

class CSimulatedBoardOpener final : public IBoardIoOpener {
public:
    // takeClock: measures the boards' command take delays (see
    // CSimulatedBoard); must outlive the opener.
    CSimulatedBoardOpener(std::vector<SimBoardConfig> boards, CSimulatedBoard::Clock clock,
                          IClock& takeClock = SystemClock());

    // Boards of a scenario file running on the real clock. Throws
    // CBoardScenarioError when the file cannot be used.
    static std::unique_ptr<CSimulatedBoardOpener> FromScenarioFile(
        const std::string& path, CSimulatedBoard::Clock clock = CSimulatedBoard::Clock::RealTime);

    // Null when no board has that device name and index, or when the board
    // is open already.
    std::unique_ptr<IBoardIo> Open(const std::string& deviceName, int index) override;

    // The board of that device name and index, or null.
    CSimulatedBoard* Board(const std::string& deviceName, int index);
    std::size_t BoardCount() const { return m_boards.size(); }
    CSimulatedBoard& BoardAt(std::size_t i) { return *m_boards.at(i); }

private:
    std::vector<std::unique_ptr<CSimulatedBoard>> m_boards;  // Owned, constant after construction
};

}  // namespace zorv
