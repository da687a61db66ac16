#include "server/RecordServer.h"

namespace zorv {
namespace {

ServerComponents BuildComponents() {
    ServerComponents components;
    components.FillDefaults();
    return components;
}

}  // namespace

CRecordServer::CRecordServer(ServerEnvironment environment)
    : CDeviceServer(std::move(environment), BuildComponents()) {}

CRecordServer::~CRecordServer() { Stop(); }

}  // namespace zorv
