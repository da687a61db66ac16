#include "server/RecordServer.h"

#include <cstdlib>
#include <stdexcept>

#include "devices/SimulatedBoardOpener.h"

namespace zorv {
namespace {

ServerComponents BuildComponents() {
    ServerComponents components;
    components.FillDefaults();
    return components;
}

detail::RecordServerParts Parts(std::unique_ptr<IBoardIoOpener> boards) {
    detail::RecordServerParts parts;
    parts.boards = std::move(boards);
    return parts;
}

}  // namespace

CRecordServer::CRecordServer(ServerEnvironment environment, std::unique_ptr<IBoardIoOpener> boards)
    : detail::RecordServerParts(Parts(std::move(boards))),
      CDeviceServer(std::move(environment), BuildComponents(), detail::RecordServerParts::boards.get()) {}

CRecordServer::~CRecordServer() { Stop(); }

std::unique_ptr<IBoardIoOpener> BoardsFromEnvironment() {
    const char* path = std::getenv("ZORV_BOARD_SCENARIO");
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    try {
        return CSimulatedBoardOpener::FromScenarioFile(path);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("board scenario ") + path + ": " + e.what());
    }
}

}  // namespace zorv
