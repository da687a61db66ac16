// The channel operations of a device with real record files: a bad channel
// index is device error 4, and a rate change carries a running monitor
// record on in a file of the new rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "devices/DspDevice.h"
#include "storage/RecordFiles.h"
#include "support/ChannelDoubles.h"
#include "support/FakeDriver.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

class CFakeBoardDevice final : public CDspDevice {
public:
    CFakeBoardDevice(const DeviceContext& context, CFakeDriver* driver)
        : CDspDevice(context, 0), m_driver(driver) {}
    ~CFakeBoardDevice() override { Close(); }

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override {
        return std::unique_ptr<CDeviceDriver>(m_driver);
    }

private:
    CFakeDriver* m_driver;
};

class CRecordFilesFactory final : public IRecorderFactory {
public:
    CRecordFilesFactory(IServer& server, IClock& clock) : m_server(server), m_clock(clock) {}
    std::unique_ptr<IChannelRecorder> Create(CRecordDevice& device, int channelCount) override {
        return std::make_unique<CRecordFiles>(device, m_server, nullptr, m_clock, channelCount);
    }

private:
    IServer& m_server;
    IClock& m_clock;
};

// The sample rate in the "fmt " chunk of a WAV file, 0 when there is none.
uint32_t HeaderRate(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    auto le32 = [&](std::size_t at) {
        return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
               static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    };
    for (std::size_t at = 12; at + 8 <= bytes.size(); at += 8 + ((le32(at + 4) + 1) & ~1u)) {
        if (std::equal(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 4,
                       "fmt ") &&
            at + 16 <= bytes.size()) {
            return le32(at + 12);
        }
    }
    return 0;
}

class RecordDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceContext context;
        context.server = &m_server;
        context.clock = &m_clock;
        context.recorders = &m_recorders;
        m_device = std::make_unique<CFakeBoardDevice>(context, new CFakeDriver({6, 0, 0}));
        m_device->SetRecordRoot(m_dir.Path());
        ASSERT_TRUE(m_device->Open());
    }

    // The monitor records in the record root, oldest first.
    std::vector<std::string> MonitorFiles() const {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.Path())) {
            if (entry.path().filename().string().find("_rmo_") != std::string::npos) {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());  // names begin with the start time
        return files;
    }

    CTempDir m_dir;
    CallLog m_log;
    CPostRecorder m_server{m_log};
    CManualClock m_clock;
    CRecordFilesFactory m_recorders{m_server, m_clock};
    std::unique_ptr<CFakeBoardDevice> m_device;
};

TEST_F(RecordDeviceTest, BadChannelIndexIsDeviceError4) {
    using Call = std::function<int(CDspDevice&)>;
    struct Case {
        const char* name;
        Call call;
    };
    const DefaultParams defaults{};
    const std::vector<Case> cases = {
        {"SetChannelParam", [](CDspDevice& d) { return d.SetChannelParam(6, kDefaultChanelParam); }},
        {"SetSampleRate", [](CDspDevice& d) { return d.SetSampleRate(0, 6, 16000, false); }},
        {"SetEnable", [](CDspDevice& d) { return d.SetEnable(-1, 0, 1, false); }},
        {"SetActivate, range the wrong way round", [](CDspDevice& d) { return d.SetActivate(3, 2, 2, false); }},
        {"SetCompress", [](CDspDevice& d) { return d.SetCompress(5, 6, 0, false); }},
        {"SetTOn", [](CDspDevice& d) { return d.SetTOn(6, 6, 1, false); }},
        {"SetTOff", [](CDspDevice& d) { return d.SetTOff(7, 9, 1, false); }},
        {"SetTreshold", [](CDspDevice& d) { return d.SetTreshold(-2, -1, 100, false); }},
        {"SetMute", [](CDspDevice& d) { return d.SetMute(6, true, false); }},
        {"GetMute", [](CDspDevice& d) { return d.GetMute(-1); }},
        {"SetStereo", [](CDspDevice& d) { return d.SetStereo(0, 6, false); }},
        {"UndoStereo", [](CDspDevice& d) { return d.UndoStereo(6, 0, false); }},
        {"ManualActivate", [](CDspDevice& d) { return d.ManualActivate(6, true, 0); }},
        {"ApplyDefaults", [&](CDspDevice& d) { return d.ApplyDefaults(defaults, 0, 6); }},
        {"SetScheduling", [](CDspDevice& d) { return d.SetScheduling(6, 1); }},
        {"SetAlias", [](CDspDevice& d) { return d.SetAlias(6, "x", false); }},
        {"GetAlias", [](CDspDevice& d) { std::string a; return d.GetAlias(6, a); }},
        {"SetSourceSignal", [](CDspDevice& d) { return d.SetSourceSignal(0, 6, 1, false); }},
        {"SetLevelWindow", [](CDspDevice& d) { return d.SetLevelWindow(6, 1, 1); }},
        {"StopRecord", [](CDspDevice& d) { return d.StopRecord(6); }},
        {"FinishRecord", [](CDspDevice& d) { return d.FinishRecord(-1); }},
        {"StartMonitorRecord", [](CDspDevice& d) { return d.StartMonitorRecord(6); }},
        {"StopMonitorRecord", [](CDspDevice& d) { return d.StopMonitorRecord(-1); }},
        {"SetGain", [](CDspDevice& d) { return d.SetGain(6, 1, false, false); }},
        {"SetLineParams", [](CDspDevice& d) { return d.SetLineParams(0, 6, kDefaultLineParams, false); }},
        {"SetKeyEnable", [](CDspDevice& d) { return d.SetKeyEnable(6, 6, 1, false, false); }},
        {"SetPolarityMode", [](CDspDevice& d) { return d.SetPolarityMode(6, 1, false); }},
        {"SetPolarityCheckTimeOut", [](CDspDevice& d) { return d.SetPolarityCheckTimeOut(-1, 10, false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_device->SetError(kDeviceOk);
        EXPECT_EQ(c.call(*m_device), 0);
        EXPECT_EQ(m_device->LastError(), kDeviceBadChannelOrRate);
    }
    // Channels inside the device leave the error alone.
    m_device->SetError(kDeviceOk);
    EXPECT_EQ(m_device->SetTOn(0, 5, 1, false), 1);
    EXPECT_EQ(m_device->SetGain(5, 1, false, false), 1);
    EXPECT_EQ(m_device->LastError(), kDeviceOk);
}

TEST_F(RecordDeviceTest, RateChangeContinuesTheMonitorRecordAtTheNewRate) {
    ASSERT_EQ(m_device->StartMonitorRecord(2), 1);
    ASSERT_EQ(MonitorFiles().size(), 1u);
    EXPECT_EQ(HeaderRate(MonitorFiles()[0]), 8000u);
    m_clock.Advance(std::chrono::hours{1});
    ASSERT_EQ(m_device->SetSampleRate(0, 5, 16000, false), 1);
    // The record at 8000 Hz ended; the one that goes on is at 16000 Hz.
    const auto files = MonitorFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(HeaderRate(files[0]), 8000u);
    EXPECT_EQ(HeaderRate(files[1]), 16000u);
    // The other channels changed too, but had no monitor record to carry on.
    EXPECT_EQ(m_device->StopMonitorRecord(2), 1);
    EXPECT_EQ(MonitorFiles().size(), 2u);
}

}  // namespace
}  // namespace zorv::test
