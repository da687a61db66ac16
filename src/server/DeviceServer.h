// The device layer of the server: the factories that create a device of each
// kind for the probing of the start sequence, and the loading of a device's
// channel settings.
#pragma once

#include "core/ServerCore.h"
#include "devices/BoardIo.h"
#include "devices/RecordDevice.h"

namespace zorv {

class CDeviceServer : public CServerCore {
public:
    // boards: where the board drivers find their hardware (null: the
    // system's). recorders: the record-file writer of the devices (null:
    // records are discarded).
    CDeviceServer(ServerEnvironment environment, ServerComponents components,
                  IBoardIoOpener* boards = nullptr, IRecorderFactory* recorders = nullptr);
    ~CDeviceServer() override;

protected:
    std::unique_ptr<IServerDevice> CreateDevice0(int candidate, int firstLine) override;
    std::unique_ptr<IServerDevice> CreateDevice1(int candidate, int firstLine, int& report) override;
    std::unique_ptr<IServerDevice> CreateDevice2(int candidate, int firstLine, int& report) override;
    std::unique_ptr<IServerDevice> CreateDevice3(int candidate, int firstLine, int& report) override;
    void ApplyDeviceSettings(int index) override;

private:
    DeviceContext Context(int firstLine);

    IBoardIoOpener* m_boards;
    IRecorderFactory* m_recorders;
};

}  // namespace zorv
