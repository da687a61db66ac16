#include "server/DeviceServer.h"

namespace zorv {
namespace {

// A board candidate on a machine without the board's kernel driver: the open
// reports absent hardware (error 1), which is normal at start and not journaled.
class CAbsentBoard final : public IServerDevice {
public:
    void SetDeviceIndex(int) override {}
    void SetFileSuffixes(const std::string&, const std::string&) override {}
    bool Open() override { return false; }
    void Close() override {}
    bool Start() override { return false; }
    void Stop() override {}
    int LastError() const override { return kDeviceNotFound; }
    uint32_t BoardId() const override { return 0; }
    int ChannelCount() const override { return 0; }
    uint32_t GetDeviceNumber() const override { return 0; }
    void SetRecordLengths(uint32_t, uint32_t) override {}
    void SetRecordRoot(const std::string&) override {}
    void SetServerName(const std::string&) override {}
    int SetCompress(int, int, int) override { return 0; }
    int RestartHardware() override { return 0; }
    int OnDeviceNotification(int) override { return kNotSupported; }
    int SetCodecMode(int, int, int, int) override { return kNotSupported; }
};

}  // namespace

CDeviceServer::CDeviceServer(ServerEnvironment environment, ServerComponents components)
    : CServerCore(std::move(environment), std::move(components)) {}

CDeviceServer::~CDeviceServer() { Stop(); }

std::unique_ptr<IServerDevice> CDeviceServer::CreateDevice0(int, int) {
    return std::make_unique<CAbsentBoard>();
}

}  // namespace zorv
