// The server object of the process: the top of the server class chain, which
// builds every component the server owns.
#pragma once

#include <memory>

#include "devices/BoardIo.h"
#include "server/DeviceServer.h"

namespace zorv {

namespace detail {
// Holds what the device layer borrows, so that it exists before that layer.
struct RecordServerParts {
    std::unique_ptr<IBoardIoOpener> boards;
};
}  // namespace detail

class CRecordServer final : private detail::RecordServerParts, public CDeviceServer {
public:
    // boards: where the boards are found (null: the system, which has none
    // on Linux; a simulated opener for demonstrations and tests).
    explicit CRecordServer(ServerEnvironment environment = {},
                           std::unique_ptr<IBoardIoOpener> boards = nullptr);
    ~CRecordServer() override;
};

// The simulated boards of the scenario file named by $ZORV_BOARD_SCENARIO, or
// null when the variable is not set. Throws std::runtime_error with a message
// naming the file when the scenario cannot be used.
std::unique_ptr<IBoardIoOpener> BoardsFromEnvironment();

}  // namespace zorv
