// The device layer of the server: the factories that create a device of each
// kind for the probing of the start sequence.
#pragma once

#include "core/ServerCore.h"

namespace zorv {

class CDeviceServer : public CServerCore {
public:
    CDeviceServer(ServerEnvironment environment, ServerComponents components);
    ~CDeviceServer() override;

protected:
    std::unique_ptr<IServerDevice> CreateDevice0(int candidate, int firstLine) override;
};

}  // namespace zorv
