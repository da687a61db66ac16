#include "simulation/TranscoderScenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/Files.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {
namespace {

uint32_t Ip(const char* text) { return ParseAddressText(text)->ip; }

TEST(TranscoderScenarioTest, ReadsEveryKeyOfBothKinds) {
    test::CTempDir dir;
    const std::string path = dir.File("sim.ini");
    test::WriteBytes(path,
                     "[Transcoder1]\n"
                     "Kind = datagram\nAddress = 127.0.0.21\nConfigPort = 5001\nLayout = 150\n"
                     "Serial = 21001\nChannels = 6\nHardwareVersion = 203\nSoftwareVersion = 117\n"
                     "DeviceType = 1\nStateFlags = 3\nDescription = First box\nProtectLevel = 2\n"
                     "ConfigPassword = cfg\nStartPassword = go\nProtocol = 1\nMode = busy\n"
                     "AnswerDelayMs = 3000\nDropRequests = 2\nConfigChangeError = 1\n"
                     "[transcoder2]\n"
                     "kind = NET2\naddress = 127.0.0.22\nserial = 22002\nmode = Silent\n"
                     "ShellMode = slow\n");
    const TranscoderScenario scenario = LoadTranscoderScenario(path);
    ASSERT_EQ(scenario.transcoders.size(), 2u);

    const SimTranscoderConfig& first = scenario.transcoders[0];
    EXPECT_EQ(first.kind, SimTranscoderKind::kDatagram);
    EXPECT_EQ(first.layout, TranscoderLayout::kEarlier);
    EXPECT_EQ(+first.config.IpAddr, Ip("127.0.0.21"));
    EXPECT_EQ(+first.config.ConfigPort, 5001);
    EXPECT_EQ(+first.info.SerialNumber, 21001u);
    EXPECT_EQ(+first.info.Channels, 6);
    EXPECT_EQ(+first.info.HardwareVersion, 203);
    EXPECT_EQ(+first.info.SoftwareVersion, 117);
    EXPECT_EQ(+first.info.DeviceType, 1);
    EXPECT_EQ(+first.info.StateFlags, 3);
    EXPECT_EQ(FieldText(first.config.Description), "First box");
    EXPECT_EQ(+first.config.ProtectLevel, 2);
    EXPECT_EQ(FieldText(first.config.CurrPassword), "cfg");
    EXPECT_EQ(FieldText(first.config.StartPassword), "go");
    EXPECT_EQ(+first.config.Protocol, 1);
    EXPECT_EQ(first.mode, SimTranscoderMode::kBusy);
    EXPECT_EQ(first.answerDelayMs, 3000);
    EXPECT_EQ(first.dropRequests, 2);
    EXPECT_TRUE(first.configChangeError);

    // Defaults: the NET2 kind answers scans in 72 bytes, its shell on port 23.
    const SimTranscoderConfig& second = scenario.transcoders[1];
    EXPECT_EQ(second.kind, SimTranscoderKind::kNet2);
    EXPECT_EQ(second.layout, TranscoderLayout::kNet2Scan);
    EXPECT_EQ(second.shellPort, 23);
    EXPECT_EQ(+second.config.ConfigPort, 0);
    EXPECT_EQ(+second.config.ProtectLevel, 0);
    EXPECT_EQ(second.mode, SimTranscoderMode::kSilent);
    EXPECT_EQ(second.shellMode, SimShellMode::kSlow);
    EXPECT_FALSE(second.configChangeError);
}

TEST(TranscoderScenarioTest, TheExampleScenarioLoads) {
    const TranscoderScenario scenario =
        LoadTranscoderScenario(std::string(ZORV_SOURCE_DIR) + "/tools/scenarios/transcoders.ini");
    ASSERT_EQ(scenario.transcoders.size(), 2u);
    EXPECT_EQ(scenario.transcoders[0].kind, SimTranscoderKind::kDatagram);
    EXPECT_EQ(scenario.transcoders[1].kind, SimTranscoderKind::kNet2);
}

TEST(TranscoderScenarioTest, BadFilesNameTheFileSectionAndKey) {
    const std::string kGood = "Address = 127.0.0.5\nSerial = 7\n";
    struct Case {
        const char* name;
        std::string text;
        std::string where;  // expected after "<path>: "
    };
    const Case cases[] = {
        {"empty file", "", "no [Transcoder1] section"},
        {"no address", "[Transcoder1]\nSerial = 7\n", "[Transcoder1] Address: missing"},
        {"no serial", "[Transcoder1]\nAddress = 127.0.0.5\n", "[Transcoder1] Serial: missing"},
        {"address off loopback", "[Transcoder1]\nAddress = 10.0.0.5\nSerial = 7\n",
         "[Transcoder1] Address: '10.0.0.5' is not a host address"},
        {"loopback broadcast", "[Transcoder1]\nAddress = 127.255.255.255\nSerial = 7\n",
         "[Transcoder1] Address:"},
        {"address with port", "[Transcoder1]\nAddress = 127.0.0.5:80\nSerial = 7\n",
         "[Transcoder1] Address:"},
        {"kind", "[Transcoder1]\nKind = usb\n" + kGood,
         "[Transcoder1] Kind: 'usb' is not one of datagram, net2"},
        {"port too big", "[Transcoder1]\nConfigPort = 65536\n" + kGood,
         "[Transcoder1] ConfigPort: 65536 is outside 0..65535"},
        {"port not a number", "[Transcoder1]\nConfigPort = 50x\n" + kGood,
         "[Transcoder1] ConfigPort: '50x' is not a decimal number"},
        {"negative", "[Transcoder1]\nAnswerDelayMs = -1\n" + kGood,
         "[Transcoder1] AnswerDelayMs: '-1' is not a decimal number"},
        {"layout 72 of the datagram kind", "[Transcoder1]\nLayout = 72\n" + kGood,
         "[Transcoder1] Layout: 72 is not one of 184, 150"},
        {"layout", "[Transcoder1]\nKind = net2\nLayout = 100\n" + kGood,
         "[Transcoder1] Layout: 100 is not one of 184, 150, 72"},
        {"shell port of the datagram kind", "[Transcoder1]\nShellPort = 23\n" + kGood,
         "[Transcoder1] ShellPort: only the net2 kind"},
        {"channels 0", "[Transcoder1]\nChannels = 0\n" + kGood,
         "[Transcoder1] Channels: 0 is outside 1..255"},
        {"serial 0", "[Transcoder1]\nAddress = 127.0.0.5\nSerial = 0\n",
         "[Transcoder1] Serial: 0 is outside 1..4294967295"},
        {"serial too big", "[Transcoder1]\nAddress = 127.0.0.5\nSerial = 4294967296\n",
         "[Transcoder1] Serial: 4294967296 is outside"},
        {"description too long",
         "[Transcoder1]\nDescription = " + std::string(32, 'd') + "\n" + kGood,
         "[Transcoder1] Description: longer than 31 bytes"},
        {"password too long",
         "[Transcoder1]\nConfigPassword = " + std::string(40, 'p') + "\n" + kGood,
         "[Transcoder1] ConfigPassword: longer than 31 bytes"},
        {"protect level", "[Transcoder1]\nProtectLevel = 3\n" + kGood,
         "[Transcoder1] ProtectLevel: 3 is outside 0..2"},
        {"mode", "[Transcoder1]\nMode = asleep\n" + kGood,
         "[Transcoder1] Mode: 'asleep' is not one of normal, busy, reject, silent, mute"},
        {"delay", "[Transcoder1]\nAnswerDelayMs = 600000\n" + kGood,
         "[Transcoder1] AnswerDelayMs: 600000 is outside 0..60000"},
        {"unknown key", "[Transcoder1]\nSerail = 8\n" + kGood, "[Transcoder1] Serail: unknown key"},
        {"gap", "[Transcoder1]\n" + kGood + "[Transcoder3]\nAddress = 127.0.0.6\nSerial = 8\n",
         "[Transcoder3]: not a section of the scenario"},
        {"other section", "[Transcoder1]\n" + kGood + "[Board0]\n",
         "[Board0]: not a section of the scenario"},
        {"same place",
         "[Transcoder1]\nConfigPort = 5001\n" + kGood +
             "[Transcoder2]\nAddress = 127.0.0.5\nConfigPort = 5001\nSerial = 8\n",
         "[Transcoder2] ConfigPort: another transcoder listens at the same address and port"},
        {"same shell",
         "[Transcoder1]\nKind = net2\n" + kGood +
             "[Transcoder2]\nKind = net2\nAddress = 127.0.0.5\nSerial = 8\n",
         "[Transcoder2] ShellPort: another transcoder's shell"},
        {"same serial",
         "[Transcoder1]\n" + kGood + "[Transcoder2]\nAddress = 127.0.0.6\nSerial = 7\n",
         "[Transcoder2] Serial: 7 is the serial number of another transcoder"},
    };
    test::CTempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(std::to_string(n++) + ".ini");
        test::WriteBytes(path, c.text);
        try {
            LoadTranscoderScenario(path);
            ADD_FAILURE() << "accepted";
        } catch (const CTranscoderScenarioError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + ": " + c.where, 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(LoadTranscoderScenario(dir.File("missing.ini")), CTranscoderScenarioError);
}

TEST(TranscoderScenarioTest, StreamKeys) {
    test::CTempDir dir;
    const std::string path = dir.File("sim.ini");
    std::filesystem::copy_file(ZORV_SOURCE_DIR "/tools/scenarios/voice.wav", dir.File("voice.wav"));
    std::ofstream(path) << "[Transcoder1]\nAddress = 127.0.74.20\nSerial = 1\n"
                           "Line1Tone = 440\nLine2Wav = voice.wav\nLine2Calls = 3 10 5\nLine3Lost = 1\n"
                           "Line2Number = fsk 5551234\nLine4Calls = 1 8 5\n"
                           "Line4Number = aon 8901234 2\n"
                           "DropEvery = 7\nReorderPairs = 1\nDuplicateEvery = 9\nGapOnce = 11\n"
                           "SequenceStart = 65530\nRefuseStart = 1\nSilenceAfterSeconds = 3\n"
                           "SilenceSeconds = 4\n"
                           "[Transcoder2]\nKind = net2\nAddress = 127.0.74.21\nSerial = 2\n"
                           "SpeexRefused = 1\nSpeexErrorCode = 0x3\nDropDataAfterSeconds = 9\n"
                           "ReuseSpeexFrames = 1\n";
    const auto scenario = LoadTranscoderScenario(path);
    const SimTranscoderConfig& first = scenario.transcoders.at(0);
    EXPECT_EQ(first.lines[0].toneHz, 440);
    ASSERT_TRUE(first.lines[1].wavSamples);
    EXPECT_EQ(first.lines[1].wavRate, 8000u);
    EXPECT_EQ(first.lines[1].ringMs, 3000);
    EXPECT_EQ(first.lines[1].callMs, 10'000);
    EXPECT_EQ(first.lines[1].freeMs, 5000);
    EXPECT_EQ(CallCycleMs(first), 18'000);
    EXPECT_TRUE(first.lines[2].lost);
    // Numbers take their place in the calls: FSK 2 s into the ring, AON
    // 600 ms after the call is taken.
    const SimChannel fsk = LineChannel(first.lines[1]);
    ASSERT_EQ(fsk.signals.size(), 1u);
    EXPECT_EQ(fsk.signals[0].kind, SimSignalKind::kFsk);
    EXPECT_EQ(fsk.signals[0].timeMs, 2000);
    const SimChannel aon = LineChannel(first.lines[3]);
    ASSERT_EQ(aon.signals.size(), 1u);
    EXPECT_EQ(aon.signals[0].timeMs, 1600);
    EXPECT_EQ(aon.signals[0].category, 2);
    const SimStreamFaults& f = first.faults;
    EXPECT_EQ(f.dropEvery, 7);
    EXPECT_TRUE(f.reorderPairs);
    EXPECT_EQ(f.duplicateEvery, 9);
    EXPECT_EQ(f.gapOnce, 11);
    EXPECT_EQ(f.sequenceStart, 65530);
    EXPECT_TRUE(f.refuseStart);
    EXPECT_EQ(f.silenceAfterMs, 3000);
    EXPECT_EQ(f.silenceMs, 4000);
    const SimStreamFaults& g = scenario.transcoders.at(1).faults;
    EXPECT_TRUE(g.speexRefused);
    EXPECT_EQ(g.speexErrorCode, "0x3");
    EXPECT_EQ(g.dropDataAfterMs, 9000);
    EXPECT_FALSE(first.reuseSpeexFrames);
    EXPECT_TRUE(scenario.transcoders.at(1).reuseSpeexFrames);

    const std::pair<const char*, const char*> bad[] = {
        {"Line7Tone = 440", "Line7Tone: unknown key"},
        {"Line1Calls = 2 0 5", "Line1Calls: '2 0 5' is not three whole seconds"},
        {"Line1Tone = 440\nLine1Wav = voice.wav", "Line1Wav: a line plays a tone"},
        {"Line1Wav = missing.wav", "Line1Wav:"},
        {"SpeexRefused = 1", "SpeexRefused: only the net2 kind"},
        {"ReuseSpeexFrames = 1", "ReuseSpeexFrames: only the net2 kind"},
        {"Line3Calls = 1 2 3\nLine3Lost = 1", "Line3Lost: a lost line has no calls"},
        {"Line1Number = fsk 555", "Line1Number: a number comes with calls"},
        {"Line1Calls = 2 5 5\nLine1Number = fsk 555", "Line1Number: a caller ID during the ring needs a ring"},
        {"Line1Calls = 3 5 5\nLine1Number = aon 12345", "Line1Number: an AON answer carries"},
        {"Line1Calls = 3 5 5\nLine1Number = mf 12345", "Line1Number: expected aon, fsk or dtmf"},
    };
    for (const auto& [line, message] : bad) {
        std::ofstream(path) << "[Transcoder1]\nAddress = 127.0.74.20\nSerial = 1\n" << line << "\n";
        try {
            LoadTranscoderScenario(path);
            ADD_FAILURE() << line;
        } catch (const CTranscoderScenarioError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace zorv
