#include "server/DeviceServer.h"

#include "channels/ChannelSettings.h"
#include "devices/DeviceClasses.h"
#include "devices/DspDevice.h"

namespace zorv {

CDeviceServer::CDeviceServer(ServerEnvironment environment, ServerComponents components,
                             IBoardIoOpener* boards, IRecorderFactory* recorders)
    : CServerCore(std::move(environment), std::move(components)),
      m_boards(boards != nullptr ? boards : &SystemBoardIoOpener()),
      m_recorders(recorders) {}

CDeviceServer::~CDeviceServer() { Stop(); }

DeviceContext CDeviceServer::Context(int firstLine) {
    DeviceContext context;
    context.server = this;
    context.clock = &Clock();
    context.recorders = m_recorders;
    context.deviceIndex = DeviceCount();
    context.firstLine = firstLine;
    return context;
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice0(int candidate, int firstLine) {
    return std::make_unique<CDspDevice>(Context(firstLine), candidate, m_boards);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice1(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    // The PCI board family is probed only when it is switched on.
    if (!CChannelSettingsFile(IniFile(SettingsPath())).VeskoSupportEnabled()) {
        return nullptr;
    }
    return std::make_unique<CVeskoPciDevice>(Context(firstLine), candidate, m_boards);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice2(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    return std::make_unique<CUsbHidDevice>(Context(firstLine), candidate);
}

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice3(int candidate, int firstLine,
                                                            int& report) {
    report = 0;
    return std::make_unique<CUsb6Device>(Context(firstLine), candidate);
}

void CDeviceServer::ApplyDeviceSettings(int index) {
    auto* device = dynamic_cast<CRecordDevice*>(Device(index));
    if (device == nullptr) {
        return;
    }
    DeviceRecordValues values;
    values.continueAfterSplit = Settings().maxSizeRecord;
    values.recordFromRing = Settings().callNotServices;
    values.registerAtStart = Settings().dataBaseMode;
    device->SetRecordValues(values);
    device->LoadSettings(CChannelSettingsFile(IniFile(SettingsPath())));
}

}  // namespace zorv
