// A device's channel settings on a real settings file: loading by device
// number, validation, stereo pairs persisted and undone, line parameters.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>

#include "devices/DspDevice.h"
#include "support/ChannelDoubles.h"
#include "support/FakeDriver.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

class CFileDevice final : public CDspDevice {
public:
    CFileDevice(const DeviceContext& context, CFakeDriver* driver)
        : CDspDevice(context, 0), m_driver(driver) {}
    ~CFileDevice() override { Close(); }

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override {
        return std::unique_ptr<CDeviceDriver>(m_driver);
    }

private:
    CFakeDriver* m_driver;
};

class DeviceSettingsTest : public ::testing::Test {
protected:
    // A device of six channels at table position `index` with that serial.
    std::unique_ptr<CFileDevice> Device(int index, uint32_t serial) {
        auto* driver = new CFakeDriver({6, 0, 0});
        driver->m_serial = serial;
        m_driver = driver;
        DeviceContext context;
        context.server = &m_server;
        context.clock = &m_clock;
        context.deviceIndex = index;
        auto device = std::make_unique<CFileDevice>(context, driver);
        EXPECT_TRUE(device->Open());
        device->LoadSettings(CChannelSettingsFile(IniFile(m_file)));
        return device;
    }
    void Write(const std::string& text) { std::ofstream(m_file) << text; }

    CTempDir m_dir;
    std::string m_file = m_dir.File("ZORV_18.ini");
    CFakeDriver* m_driver = nullptr;  // owned by the last device made
    CallLog m_log;
    CPostRecorder m_server{m_log};
    CManualClock m_clock;
};

TEST_F(DeviceSettingsTest, SectionsAreNamedByTheDeviceNumber) {
    Write(
        "[Channel3-1]\nActivate=1\nTreshold=40000\nTOn=80\n"
        "[Channel1234-1]\nActivate=1\nTOff=7\nLineRingLevel=066\n");
    // Serial 0 at position 3: the sections of device number 3.
    auto byIndex = Device(3, 0);
    EXPECT_EQ(byIndex->SettingsNumber(), 3u);
    tagChanelParam p{};
    ASSERT_TRUE(byIndex->GetChannelParam(1, p));
    EXPECT_EQ(p.Activate, 1u);
    EXPECT_EQ(p.Treshold, 3276);  // 40000 is out of range
    EXPECT_EQ(p.TOn, 50u);
    EXPECT_EQ(byIndex->Bank()->GetChannelState(1).StateLine, static_cast<uint32_t>(CS_VOX));
    // A serial number names the sections instead.
    auto bySerial = Device(3, 1234);
    ASSERT_TRUE(bySerial->GetChannelParam(1, p));
    EXPECT_EQ(p.TOff, 7u);
    EXPECT_EQ(p.TOn, 1u);
    LineParams line{};
    ASSERT_TRUE(bySerial->GetLineParams(1, line));
    EXPECT_EQ(line.LineRingLevel, 66);
    EXPECT_EQ(line.LineFailureLevel, 4);  // the default
    // Everything else keeps its default.
    ASSERT_TRUE(bySerial->GetChannelParam(0, p));
    EXPECT_EQ(p.Activate, 2u);
    EXPECT_EQ(p.SampleRate, 8000u);
    EXPECT_EQ(p.Compress, 1u);
}

TEST_F(DeviceSettingsTest, StereoPairIsPersistedAndUndone) {
    auto device = Device(0, 0);
    device->SetActivate(0, 1, kActivateLevel, true);
    ASSERT_EQ(device->SetStereo(0, 1, true), 1);
    IniFile file(m_file);
    EXPECT_EQ(file.Find("Channel0-0", "Mode"), "3");
    EXPECT_EQ(file.Find("Channel0-0", "SlaveChannel"), "1");
    EXPECT_EQ(file.Find("Channel0-1", "Mode"), "2");
    EXPECT_EQ(file.Find("Channel0-1", "SlaveChannel"), "0");
    // Loading rebuilds the pair from the master's keys.
    auto reloaded = Device(0, 0);
    EXPECT_EQ(reloaded->Bank()->GetChannelState(0).StateLine, static_cast<uint32_t>(CS_STEREO_VOX));
    EXPECT_EQ(reloaded->Bank()->GetChannelState(1).StateLine,
              static_cast<uint32_t>(CS_STEREO_SLAVE));

    ASSERT_EQ(device->UndoStereo(0, 1, true), 1);
    EXPECT_EQ(file.Find("Channel0-0", "Mode"), "1");
    EXPECT_EQ(file.Find("Channel0-0", "SlaveChannel"), "0");
    EXPECT_EQ(file.Find("Channel0-1", "Mode"), "1");
    EXPECT_EQ(device->Bank()->GetChannelState(1).StateLine, static_cast<uint32_t>(CS_VOX));
}

TEST_F(DeviceSettingsTest, PairsThatCannotBeAreRefused) {
    Write("[Channel0-2]\nMode=3\nSlaveChannel=2\n[Channel0-3]\nMode=3\nSlaveChannel=40\n");
    auto device = Device(0, 0);
    tagChanelParam p{};
    for (int ch : {2, 3}) {
        ASSERT_TRUE(device->GetChannelParam(ch, p));
        EXPECT_EQ(p.Mode, static_cast<uint32_t>(kModeMono)) << ch;
    }
    EXPECT_EQ(device->SetStereo(4, 4, true), 0);
    EXPECT_EQ(device->SetStereo(4, 6, true), 0);
}

TEST_F(DeviceSettingsTest, ClientSettersClampAndPersist) {
    auto device = Device(0, 0);
    EXPECT_EQ(device->SetSampleRate(0, 0, 0, true), 1);
    EXPECT_EQ(device->SetTreshold(0, 0, 50000, true), 1);
    EXPECT_EQ(device->SetActivate(1, 1, 9, true), 1);
    tagChanelParam p{};
    ASSERT_TRUE(device->GetChannelParam(0, p));
    EXPECT_EQ(p.SampleRate, 8000u);
    EXPECT_EQ(p.Treshold, 3276);
    ASSERT_TRUE(device->GetChannelParam(1, p));
    EXPECT_EQ(p.Activate, 2u);
    IniFile file(m_file);
    EXPECT_EQ(file.Find("Channel0-0", "SampleRate"), "8000");
    EXPECT_EQ(file.Find("Channel0-0", "Treshold"), "3276");
    // A range beyond the device changes nothing.
    EXPECT_EQ(device->SetTOff(4, 6, 9, true), 0);
    EXPECT_FALSE(file.Find("Channel0-4", "TOff"));
}

TEST_F(DeviceSettingsTest, SettersWriteTheirKeyExactlyWhenAskedTo) {
    struct Case {
        const char* name;
        std::function<int(CFileDevice&)> set;
        const char* key;
        std::optional<std::string> stored;  // in "Channel0-1"; nullopt: not written
    };
    const Case cases[] = {
        // The compressor-down path switches compression off for this run only.
        {"compress, temporary", [](CFileDevice& d) { return d.SetCompress(0, 1, 0, false); },
         "Compression", std::nullopt},
        {"compress", [](CFileDevice& d) { return d.SetCompress(0, 1, 0, true); }, "Compression",
         "0"},
        {"TOn, temporary", [](CFileDevice& d) { return d.SetTOn(1, 1, 3, false); }, "TOn",
         std::nullopt},
        {"TOff", [](CFileDevice& d) { return d.SetTOff(1, 1, 9, true); }, "TOff", "9"},
        {"mute, temporary", [](CFileDevice& d) { return d.SetMute(1, true, false); }, "Mute",
         std::nullopt},
        {"key enable", [](CFileDevice& d) { return d.SetKeyEnable(0, 1, 1, true, true); },
         "KeyEnable", "1"},
        {"key enable, temporary", [](CFileDevice& d) { return d.SetKeyEnable(1, 1, 1, true, false); },
         "KeyEnable", std::nullopt},
        {"polarity mode", [](CFileDevice& d) { return d.SetPolarityMode(1, 0, true); }, "Polarity",
         "0"},
        {"reversed polarity", [](CFileDevice& d) { return d.SetPolarityMode(1, -1, true); },
         "Polarity", "4294967295"},
        {"polarity refused", [](CFileDevice& d) { return 1 - d.SetPolarityMode(1, 2, true); },
         "Polarity", std::nullopt},
        {"polarity time-out",
         [](CFileDevice& d) { return d.SetPolarityCheckTimeOut(1, 30, true); },
         "PolarityCheckTimeOut", "30"},
        {"gain", [](CFileDevice& d) { return d.SetGain(1, 3, false, true); }, "Gain", "3"},
        {"gain refused", [](CFileDevice& d) { return 1 - d.SetGain(1, 9, false, true); }, "Gain",
         std::nullopt},
        // Reset to defaults stores nothing itself, TOn included.
        {"defaults",
         [](CFileDevice& d) {
             d.SetActivate(1, 1, kActivateLevel, false);
             return d.ApplyDefaults(DefaultParams{0, 7, 9, 100}, 0, 1);
         },
         "TOn", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write("");
        auto device = Device(0, 0);
        EXPECT_EQ(c.set(*device), 1);
        EXPECT_EQ(IniFile(m_file).Find("Channel0-1", c.key), c.stored);
    }
    // The setters still persist after a reset to defaults.
    auto device = Device(0, 0);
    device->ApplyDefaults(DefaultParams{}, 0, 1);
    ASSERT_EQ(device->SetTOn(1, 1, 4, true), 1);
    EXPECT_EQ(IniFile(m_file).Find("Channel0-1", "TOn"), "4");
}

TEST_F(DeviceSettingsTest, SettingsReadBackAfterTheSetters) {
    // What the setters store is what the next load applies.
    auto device = Device(0, 0);
    ASSERT_EQ(device->SetPolarityMode(2, -1, true), 1);
    ASSERT_EQ(device->SetPolarityCheckTimeOut(2, 40, true), 1);
    ASSERT_EQ(device->SetKeyEnable(2, 2, 1, false, true), 1);
    auto reloaded = Device(0, 0);
    EXPECT_EQ(reloaded->GetPolarityCheckTimeOut(2), 40);
    const ChannelAnalysisSettings analysis =
        CChannelSettingsFile(IniFile(m_file)).ReadAnalysis(0, 2);
    EXPECT_EQ(static_cast<int>(analysis.polarity), -1);
    EXPECT_EQ(analysis.keyEnable, 1u);
}

TEST_F(DeviceSettingsTest, LineParametersAreSentByChangeAndWrittenAsThreeDigits) {
    auto device = Device(0, 0);
    LineParams params = kDefaultLineParams;
    params.LineRingLevel = 71;
    params.MinActivateLevel = 9;
    ASSERT_EQ(device->SetLineParams(0, 1, params, true), 1);
    // Only the bytes that changed go to the processors.
    std::vector<std::string> sent;
    for (const std::string& entry : m_driver->Log()) {
        if (entry.rfind("cmd(", 0) == 0) {
            sent.push_back(entry);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{
                        "cmd(0,WriteLineRingLevel,71)", "cmd(0,WriteMinActivateLevel,9)",
                        "cmd(1,WriteLineRingLevel,71)", "cmd(1,WriteMinActivateLevel,9)"}));
    EXPECT_EQ(device->SetLineParams(0, 1, params, true), 1);  // nothing changed: nothing sent
    size_t commands = 0;
    for (const std::string& entry : m_driver->Log()) {
        commands += entry.rfind("cmd(", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(commands, 4u);
    IniFile file(m_file);
    EXPECT_EQ(file.Find("Channel0-1", "LineRingLevel"), "071");
    EXPECT_EQ(file.Find("Channel0-1", "LineFailureLevel"), "004");
    EXPECT_EQ(file.Find("Channel0-0", "MinActivateLevel"), "009");
}

}  // namespace
}  // namespace zorv::test
