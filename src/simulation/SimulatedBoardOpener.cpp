#include "simulation/SimulatedBoardOpener.h"

namespace zorv {

namespace {

// The kernel handle of an open simulated board.
class CSimulatedBoardHandle final : public IBoardIo {
public:
    explicit CSimulatedBoardHandle(CSimulatedBoard& board) : m_board(board) {}
    ~CSimulatedBoardHandle() override { m_board.CloseHandle(); }

    bool Control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                 std::size_t& outLength) override {
        return m_board.Control(code, in, out, outLength);
    }
    bool Read(void* buffer, std::size_t size, std::size_t& bytesRead) override {
        return m_board.Read(buffer, size, bytesRead);
    }
    bool Write(const void* buffer, std::size_t size, std::size_t& bytesWritten) override {
        return m_board.Write(buffer, size, bytesWritten);
    }
    uint32_t ReadRegister(int word) override { return m_board.ReadRegister(word); }
    void WriteRegister(int word, uint32_t value) override { m_board.WriteRegister(word, value); }
    void SetDataEvent(CAutoResetEvent* event) override { m_board.SetDataEvent(event); }

private:
    CSimulatedBoard& m_board;
};

}  // namespace

CSimulatedBoardOpener::CSimulatedBoardOpener(std::vector<SimBoardConfig> boards,
                                             CSimulatedBoard::Clock clock, IClock& takeClock) {
    m_boards.reserve(boards.size());
    for (auto& config : boards) {
        m_boards.push_back(std::make_unique<CSimulatedBoard>(std::move(config), clock, takeClock));
    }
}

std::unique_ptr<CSimulatedBoardOpener> CSimulatedBoardOpener::FromScenarioFile(
    const std::string& path, CSimulatedBoard::Clock clock) {
    return std::make_unique<CSimulatedBoardOpener>(LoadBoardScenario(path).boards, clock);
}

std::unique_ptr<IBoardIo> CSimulatedBoardOpener::Open(const std::string& deviceName, int index) {
    CSimulatedBoard* board = Board(deviceName, index);
    if (board == nullptr || !board->OpenHandle()) {
        return nullptr;
    }
    return std::make_unique<CSimulatedBoardHandle>(*board);
}

CSimulatedBoard* CSimulatedBoardOpener::Board(const std::string& deviceName, int index) {
    for (auto& board : m_boards) {
        if (board->Config().deviceName == deviceName && board->Config().index == index) {
            return board.get();
        }
    }
    return nullptr;
}

}  // namespace zorv
