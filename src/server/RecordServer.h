// The server object of the process: the top of the server class chain, which
// builds every component the server owns.
#pragma once

#include "server/DeviceServer.h"

namespace zorv {

class CRecordServer final : public CDeviceServer {
public:
    explicit CRecordServer(ServerEnvironment environment = {});
    ~CRecordServer() override;
};

}  // namespace zorv
