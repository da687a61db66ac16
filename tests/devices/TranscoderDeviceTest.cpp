// The transcoder devices' own logic: the datagram driver's fill records and
// identity, the NET2 device's codec settings and buffer values.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "devices/DatagramTranscoderDriver.h"
#include "devices/DspProtocol.h"
#include "devices/Net2Device.h"
#include "devices/Net2Driver.h"
#include "devices/TranscoderDevices.h"
#include "devices/Net2Format.h"
#include "platform/IniFile.h"
#include "support/ChannelDoubles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

// A configurator with one registered transcoder of the given kind.
class TranscoderDeviceTest : public ::testing::Test {
protected:
    void Register(uint8_t kind, uint16_t channels) {
        ASSERT_TRUE(m_configurator.Start(m_dir.File("Transcoders.ini")));
        tagStoredTranscoderConfig stored{};
        stored.tsSerialNumber = 4242;
        stored.tsAddr = 0x0100007F;
        stored.tsPort = 5001;
        stored.tsChannelsCount = channels;
        stored.dataPort = 7001;
        stored.deviceClass = kind;
        ASSERT_TRUE(m_configurator.addNetDevice(0, stored));
    }
    void TearDown() override { m_configurator.Stop(); }

    CTempDir m_dir;
    CallLog m_log;
    CPostRecorder m_server{m_log};
    CTranscoderConfigurator m_configurator{m_server};
};

DeviceInfo Identity(uint8_t channels, uint16_t version) {
    DeviceInfo info{};
    info.Channels = channels;
    info.HardwareVersion = version;
    info.SerialNumber = 4242;
    return info;
}

TEST_F(TranscoderDeviceTest, DatagramDriverTakesOnlyItsKindAndLearnsItsBoardId) {
    Register(kDatagramTranscoder, 3);
    CDatagramTranscoderDriver driver(m_configurator, m_server);
    EXPECT_FALSE(driver.Open(1));  // nothing registered there
    ASSERT_TRUE(driver.Open(0));
    EXPECT_EQ(driver.GetSerialNumber(), 4242u);
    EXPECT_EQ(driver.GroupChannelCount(0), 3);
    EXPECT_EQ(driver.GroupChannelCount(1), 0);
    // Before the transcoder is there every command succeeds without effect.
    const uint16_t words[8] = {};
    EXPECT_TRUE(driver.WriteGroupConfig(0, words));
    EXPECT_TRUE(driver.ChannelCommand(0, 5, 1));
    EXPECT_EQ(driver.GetDeviceType(), 3);

    EXPECT_FALSE(driver.CheckIdentity(Identity(4, 300), 0));  // another channel count
    EXPECT_FALSE(driver.IsStarted());
    EXPECT_TRUE(driver.CheckIdentity(Identity(3, 302), 0));
    EXPECT_EQ(driver.BoardId(), 0x302u);
    EXPECT_EQ(driver.GetDeviceType(), 9);  // 26-byte records from now on
    tagHARDWARE_CONFIG info{};
    ASSERT_TRUE(driver.GetHardwareInfo(info));
    EXPECT_EQ(info.BoardID, 3u | (0x302u << 12));
    driver.OnFlowStopped();
    EXPECT_FALSE(driver.IsStarted());

    CNet2Driver net2(m_configurator, m_server);
    EXPECT_FALSE(net2.Open(0));  // a datagram transcoder is not a NET2 one
}

// Silence after a wait without data: every channel gets the samples of the
// wait, whatever its channel count (26-byte records deal twelve samples).
TEST_F(TranscoderDeviceTest, SilenceFillGivesEveryChannelItsSamples) {
    struct Case {
        uint16_t channels;
        uint16_t version;  // 0: not identified (14-byte records)
        std::size_t records;
    };
    const Case cases[] = {
        {6, 0, 1000},  {1, 300, 84},  {2, 300, 167}, {3, 300, 250},
        {4, 300, 334}, {5, 300, 500}, {6, 300, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        m_configurator.Stop();
        std::filesystem::remove(m_dir.File("Transcoders.ini"));
        Register(kDatagramTranscoder, c.channels);
        CDatagramTranscoderDriver driver(m_configurator, m_server);
        ASSERT_TRUE(driver.Open(0));
        if (c.version != 0) {
            ASSERT_TRUE(
                driver.CheckIdentity(Identity(static_cast<uint8_t>(c.channels), c.version), 0));
        }
        std::vector<uint8_t> buffer(0x80000, 0xFF);
        const std::size_t samples = 1000;  // 125 ms at 8000 Hz
        const std::size_t length =
            c.version == 0 ? kShortAudioRecordLength : kLongAudioRecordLength;
        const std::size_t written = driver.FillAfterTimeout(buffer.data(), buffer.size(), samples);
        EXPECT_EQ(written, c.records * length);
        for (std::size_t at = 0; at < written; at += length) {
            EXPECT_EQ(buffer[at], 0);
            EXPECT_EQ(buffer[at + 1], kRecordMark);
        }
        // A short buffer is never overrun.
        EXPECT_EQ(driver.FillAfterTimeout(buffer.data(), length + 1, samples), length);

        // After the loss: every line free.
        const std::size_t loss = driver.FillAfterLoss(buffer.data(), buffer.size());
        ASSERT_EQ(loss, 4u * c.channels);
        for (int i = 0; i < c.channels; ++i) {
            const uint8_t* record = buffer.data() + 4 * i;
            EXPECT_EQ(record[0], 8 + 16 * i);
            EXPECT_EQ(record[1], kRecordMark);
            EXPECT_EQ(record[2], 0);
            EXPECT_EQ(record[3], static_cast<uint8_t>(DspEvent::Line));
        }
    }
}

// An old transcoder (board id below 0x300) cannot sample at 32 or 64 kHz:
// the rate is refused instead of recorded at the wrong speed.
TEST_F(TranscoderDeviceTest, OldDatagramTranscoderRefusesHighRates) {
    Register(kDatagramTranscoder, 2);
    DeviceContext context;
    context.server = &m_server;
    CDatagramTranscoderDevice device(context, 0, m_configurator);
    ASSERT_TRUE(device.Open());
    auto* driver = dynamic_cast<CDatagramTranscoderDriver*>(device.GetDriver());
    ASSERT_NE(driver, nullptr);
    // Before the transcoder is known nothing is refused.
    EXPECT_NE(device.SetGroupSampleRate(0, 16000), 0);
    ASSERT_TRUE(driver->CheckIdentity(Identity(2, 203), 0));
    EXPECT_EQ(device.SetGroupSampleRate(0, 32000), 0);
    EXPECT_EQ(device.LastError(), kDeviceBadChannelOrRate);
    EXPECT_EQ(device.SetGroupSampleRate(0, 64000), 0);
    tagChanelParam param{};
    ASSERT_TRUE(device.Bank()->GetChannelParam(1, param));
    EXPECT_EQ(param.SampleRate, 16000u);  // the refusal changed nothing
    device.Close();
}

TEST_F(TranscoderDeviceTest, Net2CodecModesAreValidatedPerRate) {
    Register(kNet2Transcoder, 2);
    DeviceContext context;
    context.server = &m_server;
    CNet2Device device(context, 0, m_configurator);
    struct Case {
        int rate, compression, speexMode, result;
    };
    const Case cases[] = {
        {8000, 1, 16, 0},  {8000, 1, 12, 1}, {16000, 1, 24, 0}, {16000, 1, 16, 1},
        {32000, 1, 16, 1}, {32000, 2, 0, 0}, {32000, 3, 0, 0},  {8000, 4, 0, 1},
        {11025, 0, 0, 1},  {16000, 0, 0, 0}, {8000, -1, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " " << c.compression << " " << c.speexMode);
        EXPECT_EQ(device.SetCodecMode(c.rate, c.compression, c.speexMode, 0), c.result);
    }
    int compression = -1;
    int speexMode = -1;
    ASSERT_EQ(device.GetCodecMode(16000, compression, speexMode), 0);
    EXPECT_EQ(compression, 0);
    EXPECT_EQ(speexMode, 24);  // stored with the SPEEX setting
    ASSERT_EQ(device.GetCodecMode(32000, compression, speexMode), 0);
    EXPECT_EQ(compression, 3);
    EXPECT_EQ(speexMode, 0);
    EXPECT_EQ(device.GetCodecMode(44100, compression, speexMode), 1);
    int mode = -1;
    EXPECT_EQ(device.SetBufferMode(5, 0), 0);
    ASSERT_EQ(device.GetBufferMode(mode), 0);
    EXPECT_EQ(mode, 1);
}

TEST(Net2Format, BufferValuesByModeRateAndCompression) {
    struct Case {
        uint32_t bufferMode, rate, compression, speexMode, value;
    };
    const Case cases[] = {
        {1, 8000, kCompressNone, 0, 64},    {1, 8000, kCompressSpeex, 8, 16},
        {1, 8000, kCompressSpeex, 11, 8},   {1, 8000, kCompressSpeex, 32, 4},
        {1, 8000, kCompressAdpcm, 0, 32},   {1, 8000, kCompressAlaw, 0, 64},
        {1, 16000, kCompressSpeex, 20, 16}, {1, 16000, kCompressSpeex, 40, 8},
        {1, 16000, kCompressAdpcm, 0, 64},  {1, 32000, kCompressNone, 0, 128},
        {1, 32000, kCompressSpeex, 16, 0},  {0, 8000, kCompressSpeex, 16, 1},
        {0, 16000, kCompressNone, 0, 16},   {0, 32000, kCompressAdpcm, 0, 8},
        {0, 32000, kCompressAlaw, 0, 16},   {0, 11025, kCompressNone, 0, 0},
        {1, 8000, kCompressSpeex, 12, 0},   {0, 8000, 7, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Net2BufferValue(c.bufferMode, c.rate, c.compression, c.speexMode), c.value)
            << c.bufferMode << " " << c.rate << " " << c.compression << " " << c.speexMode;
    }
}

}  // namespace
}  // namespace zorv::test
