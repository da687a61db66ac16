#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelSettings.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;

using test::ReadBytes;
using test::WriteBytes;

std::string SwapCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool SameBytes(const tagChanelParam& a, const tagChanelParam& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SameBytes(const LineParams& a, const LineParams& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------- reading

constexpr uint32_t kDevice = 7;
constexpr int kChannel = 2;
constexpr const char* kChan = "Channel7-2";
constexpr const char* kDev = "DeviceChannel7";

// Everything one channel of one device reads.
struct Snapshot {
    tagChanelParam param;
    ChannelExtras extras;
    LineParams line;
    ChannelAnalysisSettings analysis;
    DeviceSettings device;
    DefaultParams defaults;
};

Snapshot ReadAll(const CChannelSettingsFile& file, uint32_t device, int channel) {
    return Snapshot{file.ReadParam(device, channel),
                    file.ReadExtras(device, channel),
                    file.ReadLineParams(device, channel),
                    file.ReadAnalysis(device, channel),
                    file.ReadDevice(device),
                    file.ReadDefaults()};
}

// Every integer key with the default the settings file documents for it.
struct KeyCase {
    const char* section;
    const char* key;
    int64_t defaultValue;
    int64_t (*get)(const Snapshot&);
};

#define FIELD(expr) [](const Snapshot& s) -> int64_t { return s.expr; }

const KeyCase kKeys[] = {
    {kChan, "Enable", 1, FIELD(param.Enable)},
    {kChan, "Activate", 2, FIELD(param.Activate)},
    {kChan, "Compression", 1, FIELD(param.Compress)},
    {kChan, "TOn", 1, FIELD(param.TOn)},
    {kChan, "TOff", 5, FIELD(param.TOff)},
    {kChan, "Treshold", 3276, FIELD(param.Treshold)},
    {kChan, "SampleRate", 8000, FIELD(param.SampleRate)},
    {kChan, "Mode", 1, FIELD(param.Mode)},
    {kChan, "SlaveChannel", 0, FIELD(param.SlaveChannel)},
    {kChan, "HardActivateEnable", 0, FIELD(param.HardActivateEnable)},

    {kChan, "SourceSignal", 1, FIELD(extras.sourceSignal)},
    {kChan, "Mute", 0, FIELD(extras.mute)},
    {kChan, "AlwaysUseMyPhoneNumber", 0, FIELD(extras.alwaysUseMyPhoneNumber)},
    {kChan, "Archivate", 1, FIELD(extras.archivate)},

    {kChan, "LineFailureLevel", 4, FIELD(line.LineFailureLevel)},
    {kChan, "LineActivateLevel", 18, FIELD(line.LineActivateLevel)},
    {kChan, "LineRingLevel", 70, FIELD(line.LineRingLevel)},
    {kChan, "AonRequestLength", 100, FIELD(line.AonRequestLength)},
    {kChan, "AonRequestNumber", 1, FIELD(line.AonRequestNumber)},
    {kChan, "AonRequestPauseFirst", 20, FIELD(line.AonRequestPauseFirst)},
    {kChan, "AonRequestPauseBetween", 50, FIELD(line.AonRequestPauseBetween)},
    {kChan, "MaxRingPause", 50, FIELD(line.MaxRingPause)},
    {kChan, "MinActivateLevel", 0, FIELD(line.MinActivateLevel)},

    {kChan, "BusyAnalyzer", 0, FIELD(analysis.autoAnswer.busyAnalyzer)},
    {kChan, "AutoAnswer_Mode", 0, FIELD(analysis.autoAnswer.mode)},
    {kChan, "AutoAnswer_SecondsToAnswer", 5, FIELD(analysis.autoAnswer.secondsToAnswer)},
    {kChan, "AutoAnswer_TimeOut", 60, FIELD(analysis.autoAnswer.timeOut)},
    {kChan, "AutoAnswer_TimeOutMode", 1, FIELD(analysis.autoAnswer.timeOutMode)},
    {kChan, "AutoAnswer_WavFilterFreqLow", 350, FIELD(analysis.autoAnswer.wavFilterFreqLow)},
    {kChan, "AutoAnswer_WavFilterFreqHi", 550, FIELD(analysis.autoAnswer.wavFilterFreqHi)},
    {kChan, "AutoAnswer_CountCycles", 1, FIELD(analysis.autoAnswer.countCycles)},
    {kChan, "AutoAnswer_PauseBetweenCycles", 0, FIELD(analysis.autoAnswer.pauseBetweenCycles)},
    {kChan, "AutoAnswer_BeepRequired", 1, FIELD(analysis.autoAnswer.beepRequired)},
    {kChan, "AutoAnswer_FilterEnabled", 1, FIELD(analysis.autoAnswer.filterEnabled)},
    {kChan, "AutoAnswer_BuzyAnalyzerMinVoiceAvg", 40, FIELD(analysis.autoAnswer.busyMinVoiceAvg)},
    {kChan, "AutoAnswer_BuzyAnalyzerMaxVoiceAvg", 80, FIELD(analysis.autoAnswer.busyMaxVoiceAvg)},
    {kChan, "AutoAnswer_BuzyAnalyzerMaxVoiceDisp", 10, FIELD(analysis.autoAnswer.busyMaxVoiceDisp)},
    {kChan, "AutoAnswer_BuzyAnalyzerMinSilenceAvg", 40,
     FIELD(analysis.autoAnswer.busyMinSilenceAvg)},
    {kChan, "AutoAnswer_BuzyAnalyzerMaxSilenceAvg", 80,
     FIELD(analysis.autoAnswer.busyMaxSilenceAvg)},
    {kChan, "AutoAnswer_BuzyAnalyzerMaxSilenceDisp", 10,
     FIELD(analysis.autoAnswer.busyMaxSilenceDisp)},
    {kChan, "AutoAnswer_BuzyAnalyzerFreqLow", 400, FIELD(analysis.autoAnswer.busyFreqLow)},
    {kChan, "AutoAnswer_BuzyAnalyzerFreqHi", 500, FIELD(analysis.autoAnswer.busyFreqHi)},

    {kChan, "Polarity", 1, FIELD(analysis.polarity)},
    {kChan, "PolarityCheckTimeOut", 5, FIELD(analysis.polarityCheckTimeOut)},
    {kChan, "Gain", 0, FIELD(analysis.gain)},
    {kChan, "DtmfEnable", 1, FIELD(analysis.dtmfEnable)},
    {kChan, "DtmfExtraSensitivity", 0, FIELD(analysis.dtmfExtraSensitivity)},
    {kChan, "KeyEnable", 0, FIELD(analysis.keyEnable)},
    {kChan, "InOutFilter", 0, FIELD(analysis.inOutFilter)},
    {kChan, "SpectralSubtractionEnable", 0, FIELD(analysis.spectralSubtractionEnable)},
    {kChan, "SpectralSubtractionOrder", 11, FIELD(analysis.spectralSubtractionOrder)},
    {kChan, "AonActivateEnable", 0, FIELD(analysis.aonActivateEnable)},
    {kChan, "AonFlags", 0, FIELD(analysis.aonFlags)},
    {kChan, "VoxModeAonEnabled", 0, FIELD(analysis.voxModeAonEnabled)},

    {kChan, "FrequencyActivatorEnable", 0, FIELD(analysis.frequencyActivator.enable)},
    {kChan, "FA_F1", 3000, FIELD(analysis.frequencyActivator.f1)},
    {kChan, "FA_F2", 2700, FIELD(analysis.frequencyActivator.f2)},
    {kChan, "FA_MinSignalLevel", -76, FIELD(analysis.frequencyActivator.minSignalLevel)},
    {kChan, "FA_FreqAutodetectEnable", 0, FIELD(analysis.frequencyActivator.freqAutodetectEnable)},
    {kChan, "FA_StartPauseIn", 65, FIELD(analysis.frequencyActivator.startPauseIn)},
    {kChan, "FA_StartPauseOut", 100, FIELD(analysis.frequencyActivator.startPauseOut)},
    {kChan, "FA_StopPauseIn", 100, FIELD(analysis.frequencyActivator.stopPauseIn)},
    {kChan, "FA_StopPauseOut", 200, FIELD(analysis.frequencyActivator.stopPauseOut)},
    {kChan, "FA_MinRing", 100, FIELD(analysis.frequencyActivator.minRing)},
    {kChan, "FA_MaxRingPause", 7000, FIELD(analysis.frequencyActivator.maxRingPause)},
    {kChan, "FA_MinPulse", 40, FIELD(analysis.frequencyActivator.minPulse)},
    {kChan, "FA_MaxPulse", 80, FIELD(analysis.frequencyActivator.maxPulse)},
    {kChan, "FA_MinPulsePause", 10, FIELD(analysis.frequencyActivator.minPulsePause)},
    {kChan, "FA_MaxPulsePause", 90, FIELD(analysis.frequencyActivator.maxPulsePause)},
    {kChan, "UseAonDecodeForOutRings", 0,
     FIELD(analysis.frequencyActivator.useAonDecodeForOutRings)},
    {kChan, "UseDtmfDecodeForInRings", 0,
     FIELD(analysis.frequencyActivator.useDtmfDecodeForInRings)},
    {kChan, "UseFreqLevel", 0, FIELD(analysis.frequencyActivator.useFreqLevel)},
    {kChan, "F1_FreqLevel", -16, FIELD(analysis.frequencyActivator.f1FreqLevel)},
    {kChan, "F2_FreqLevel", -16, FIELD(analysis.frequencyActivator.f2FreqLevel)},

    {kDev, "CodecCompress8Mode", 0, FIELD(device.codecCompress8Mode)},
    {kDev, "CodecSpeex8Mode", 16, FIELD(device.codecSpeex8Mode)},
    {kDev, "CodecCompress16Mode", 0, FIELD(device.codecCompress16Mode)},
    {kDev, "CodecSpeex16Mode", 15, FIELD(device.codecSpeex16Mode)},
    {kDev, "CodecCompress32Mode", 0, FIELD(device.codecCompress32Mode)},
    {kDev, "CodecBufferMode", 0, FIELD(device.codecBufferMode)},
    {"BusMaster", "TransferSize", 5, FIELD(device.transferSize)},
    {"Aon", "Len", 7, FIELD(device.aonLen)},
    {"Aon", "DetectLength", 120, FIELD(device.aonDetectLength)},
    {"Dtmf", "DetectLength", 30, FIELD(device.dtmfDetectLength)},

    {"Default-Param", "Compression", 1, FIELD(defaults.compression)},
    {"Default-Param", "TOn", 1, FIELD(defaults.tOn)},
    {"Default-Param", "TOff", 5, FIELD(defaults.tOff)},
    {"Default-Param", "Treshold", 3276, FIELD(defaults.treshold)},
};

#undef FIELD

// A value for each key that differs from its default and from every other
// key's, so that a key read into the wrong field shows. All fit a byte.
int64_t StoredValue(std::size_t index, const KeyCase& c) {
    const int64_t value = 150 + static_cast<int64_t>(index);
    return c.defaultValue < 0 ? -value : value;
}

bool IsPerDevice(const KeyCase& c) {
    return std::string_view(c.section) == kChan || std::string_view(c.section) == kDev;
}

TEST(ChannelSettingsRead, MissingFileGivesEveryDefault) {
    CTempDir dir;
    const CChannelSettingsFile file{IniFile(dir.File("absent.ini"))};
    const Snapshot s = ReadAll(file, kDevice, kChannel);
    for (const KeyCase& c : kKeys) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.get(s), c.defaultValue);
    }
    EXPECT_TRUE(SameBytes(s.param, kDefaultChanelParam));
    EXPECT_TRUE(SameBytes(s.line, kDefaultLineParams));  // bytes 6 and 7 too
    EXPECT_EQ(s.extras.myPhoneNumber, "");
    EXPECT_EQ(s.analysis.autoAnswer.waveFile, "");
    EXPECT_FLOAT_EQ(s.analysis.spectralSubtractionP, 0.9f);
    EXPECT_EQ(file.ReadAlias(0), "");
    EXPECT_FALSE(file.VeskoSupportEnabled());
}

// Every key from a file that spells section and key names in other letter
// case; the same keys are not seen by another device or channel.
TEST(ChannelSettingsRead, EveryKeyFromAFileInOtherLetterCase) {
    const std::string phone(45, '5');
    const std::string wave = "/var/lib/answer/" + std::string(300, 'w');
    std::map<std::string, std::string> sections;
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        const KeyCase& c = kKeys[i];
        ASSERT_NE(StoredValue(i, c), c.defaultValue) << c.key;
        sections[c.section] += SwapCase(c.key) + "=" + std::to_string(StoredValue(i, c)) + "\n";
    }
    sections[kChan] += "MYPHONENUMBER=" + phone + "\nautoanswer_wavefile=" + wave +
                       "\nspectralsubtractionp=0.25\n";
    sections["ALIAS"] = "line9=Reception desk, ground floor\n";
    sections["VeskoSupport"] = "ENABLE=1\n";
    std::string text;
    for (const auto& [name, keys] : sections) {
        text += "[" + SwapCase(name) + "]\n" + keys;
    }
    CTempDir dir;
    WriteBytes(dir.File("settings.ini"), text);
    const CChannelSettingsFile file{IniFile(dir.File("settings.ini"))};

    const Snapshot s = ReadAll(file, kDevice, kChannel);
    const Snapshot otherDevice = ReadAll(file, kDevice + 1, kChannel);
    const Snapshot otherChannel = ReadAll(file, kDevice, kChannel + 1);
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        const KeyCase& c = kKeys[i];
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.get(s), StoredValue(i, c));
        EXPECT_EQ(c.get(otherDevice), IsPerDevice(c) ? c.defaultValue : StoredValue(i, c));
        if (std::string_view(c.section) == kChan) {
            EXPECT_EQ(c.get(otherChannel), c.defaultValue);
        }
    }
    // Bytes without a key keep their defaults.
    EXPECT_EQ(s.line.AonRequestForm, 0);
    EXPECT_EQ(s.line.AonRequestAmplitude, 0);
    EXPECT_EQ(s.param.TresholdPad, 0);
    // Strings are cut to their buffers.
    EXPECT_EQ(s.extras.myPhoneNumber, phone.substr(0, 39));
    EXPECT_EQ(s.analysis.autoAnswer.waveFile, wave.substr(0, 259));
    EXPECT_FLOAT_EQ(s.analysis.spectralSubtractionP, 0.25f);
    EXPECT_EQ(file.ReadAlias(9), "Reception desk, grou");
    EXPECT_TRUE(file.VeskoSupportEnabled());
}

// Reads are raw; ValidateChanelParam then corrects what is out of range.
TEST(ChannelSettingsRead, OutOfRangeParametersComeBackRaw) {
    struct RawCase {
        const char* key;
        const char* stored;
        int64_t raw;
        int64_t validated;
        int64_t (*get)(const tagChanelParam&);
    };
#define PARAM(field) [](const tagChanelParam& p) -> int64_t { return p.field; }
    constexpr int64_t kMaxUint = std::numeric_limits<uint32_t>::max();
    const RawCase cases[] = {
        {"Activate", "7", 7, 2, PARAM(Activate)},
        {"Activate", "0", 0, 2, PARAM(Activate)},
        {"Activate", "3", 3, 3, PARAM(Activate)},
        {"SampleRate", "96000", 96000, 8000, PARAM(SampleRate)},
        {"SampleRate", "7999", 7999, 8000, PARAM(SampleRate)},
        {"SampleRate", "16000Hz", 16000, 16000, PARAM(SampleRate)},
        {"TOn", "80", 80, 50, PARAM(TOn)},
        {"TOn", "-1", kMaxUint, 50, PARAM(TOn)},
        {"TOff", "500", 500, 100, PARAM(TOff)},
        {"Treshold", "40000", 40000, 3276, PARAM(Treshold)},
        {"Treshold", "32768", 32768, 32768, PARAM(Treshold)},
        // Too large for 16 bits: held at the largest value, never wrapped to
        // 70000 - 65536 = 4464, which validation would keep.
        {"Treshold", "70000", 65535, 3276, PARAM(Treshold)},
        {"Treshold", "-1", 65535, 3276, PARAM(Treshold)},
        {"Treshold", "4294967296", 65535, 3276, PARAM(Treshold)},
        {"Enable", "abc", 0, 0, PARAM(Enable)},
        // A pair needs a partner inside the device (six channels) other than
        // the channel itself; anything else is mono.
        {"Mode", "3", 3, 3, PARAM(Mode)},
        {"Mode", "5", 5, 1, PARAM(Mode)},
        {"Mode", "0", 0, 1, PARAM(Mode)},
        {"SlaveChannel", "4", 4, 0, PARAM(SlaveChannel)},  // Mode 1 has no partner
        {"Enable", "99999999999", std::numeric_limits<int32_t>::max(),
         std::numeric_limits<int32_t>::max(), PARAM(Enable)},
    };
#undef PARAM
    CTempDir dir;
    CChannelSettingsFile file{IniFile(dir.File("settings.ini"))};
    for (const RawCase& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.stored);
        ASSERT_TRUE(file.File().WriteString(kChan, c.key, c.stored));
        tagChanelParam p = file.ReadParam(kDevice, kChannel);
        EXPECT_EQ(c.get(p), c.raw);
        ValidateChanelParam(p, kChannel, 6);
        EXPECT_EQ(c.get(p), c.validated);
        ASSERT_TRUE(file.File().DeleteKey(kChan, c.key));
    }
}

TEST(ChannelSettingsRead, SpectralSubtractionFactor) {
    struct FloatCase {
        const char* stored;
        float expected;
    };
    const FloatCase cases[] = {
        {"0.5", 0.5f},  {"+1.5", 1.5f}, {"-0.25", -0.25f}, {".75 ; tuned", 0.75f},
        {"2e-1", 0.2f}, {"3", 3.0f},    {"", 0.9f},        {"abc", 0.9f},
        {"nan", 0.9f},  {"inf", 0.9f},  {"1e99", 0.9f},    {"- 1", 0.9f},
    };
    CTempDir dir;
    CChannelSettingsFile file{IniFile(dir.File("settings.ini"))};
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(file.File().WriteString(kChan, "SpectralSubtractionP", c.stored));
        const float value = file.ReadAnalysis(kDevice, kChannel).spectralSubtractionP;
        EXPECT_FLOAT_EQ(value, c.expected);
    }
}

TEST(ChannelSettingsRead, SectionNames) {
    EXPECT_EQ(CChannelSettingsFile::ChannelSection(1234, 0), "Channel1234-0");
    EXPECT_EQ(CChannelSettingsFile::ChannelSection(0, 17), "Channel0-17");
    EXPECT_EQ(CChannelSettingsFile::DeviceSection(1234), "DeviceChannel1234");

    // A device whose driver reports serial number 0 is named by its position
    // (here 3); once it reports 1234, the sections of 1234 count.
    CTempDir dir;
    WriteBytes(dir.File("settings.ini"),
               "[Channel3-1]\nTOff=30\n[Channel1234-1]\nTOff=40\n"
               "[DeviceChannel3]\nCodecSpeex8Mode=3\n[DeviceChannel1234]\nCodecSpeex8Mode=4\n");
    const CChannelSettingsFile file{IniFile(dir.File("settings.ini"))};
    EXPECT_EQ(file.ReadParam(3, 1).TOff, 30u);
    EXPECT_EQ(file.ReadParam(1234, 1).TOff, 40u);
    EXPECT_EQ(file.ReadDevice(3).codecSpeex8Mode, 3u);
    EXPECT_EQ(file.ReadDevice(1234).codecSpeex8Mode, 4u);
}

// ---------------------------------------------------------------- writing

class ChannelSettingsWrite : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("settings.ini"); }

    CTempDir m_dir;
    CChannelSettingsFile m_file{IniFile(Path())};
};

TEST_F(ChannelSettingsWrite, LineParamsAsThreeDigits) {
    const LineParams written{4, 18, 70, 255, 0, 9, 77, 88, 50, 123, 7};
    ASSERT_TRUE(m_file.WriteLineParams(5, 1, 2, written));

    const std::string section =
        "[Channel5-1]\n"
        "LineFailureLevel=004\n"
        "LineActivateLevel=018\n"
        "LineRingLevel=070\n"
        "AonRequestLength=255\n"
        "AonRequestNumber=000\n"
        "AonRequestPauseFirst=009\n"
        "AonRequestPauseBetween=050\n"
        "MaxRingPause=123\n"
        "MinActivateLevel=007\n";
    const std::string text = ReadBytes(Path());
    EXPECT_EQ(text.substr(0, section.size()), section);

    // Read back: request form and amplitude have no key and stay 0.
    LineParams expected = written;
    expected.AonRequestForm = 0;
    expected.AonRequestAmplitude = 0;
    EXPECT_TRUE(SameBytes(m_file.ReadLineParams(5, 1), expected));
    EXPECT_TRUE(SameBytes(m_file.ReadLineParams(5, 2), expected));
    EXPECT_TRUE(SameBytes(m_file.ReadLineParams(5, 0), kDefaultLineParams));
    EXPECT_TRUE(SameBytes(m_file.ReadLineParams(5, 3), kDefaultLineParams));

    // A stored number too large for a byte reads as 255, never as its low bits.
    struct ByteCase {
        const char* stored;
        uint8_t expected;
    };
    const ByteCase bytes[] = {{"256", 255}, {"300", 255}, {"4294967296", 255},
                              {"-1", 255},  {"12x", 12},  {"abc", 0}};
    for (const ByteCase& c : bytes) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(m_file.File().WriteString("Channel5-1", "LineRingLevel", c.stored));
        EXPECT_EQ(m_file.ReadLineParams(5, 1).LineRingLevel, c.expected);
    }
}

TEST_F(ChannelSettingsWrite, RangesTouchExactlyTheirChannels) {
    std::string before;
    for (int channel = 0; channel < 5; ++channel) {
        before += "[Channel5-" + std::to_string(channel) + "]\nEnable=1\nTreshold=100\n";
    }
    before += "[Channel6-2]\nEnable=1\n";
    WriteBytes(Path(), before);

    ASSERT_TRUE(m_file.WriteChannelRange(5, 1, 3, "Enable", 0));
    ASSERT_TRUE(m_file.WriteChannelValue(5, 4, "Treshold", 40000));
    ASSERT_TRUE(m_file.WriteChannelRange(5, 6, 6, "SampleRate", 16000));  // a new section
    struct Expect {
        int channel;
        int32_t enable;
        uint16_t treshold;
        uint32_t sampleRate;
    };
    const Expect expected[] = {
        {0, 1, 100, 8000},   {1, 0, 100, 8000},  {2, 0, 100, 8000},   {3, 0, 100, 8000},
        {4, 1, 40000, 8000}, {5, 1, 3276, 8000}, {6, 1, 3276, 16000},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.channel);
        const tagChanelParam p = m_file.ReadParam(5, e.channel);
        EXPECT_EQ(p.Enable, e.enable);
        EXPECT_EQ(p.Treshold, e.treshold);
        EXPECT_EQ(p.SampleRate, e.sampleRate);
    }
    EXPECT_EQ(m_file.ReadParam(6, 2).Enable, 1);
    EXPECT_EQ(m_file.File().Find("Channel5-4", "Treshold"), "40000");

    // Ranges outside one device's channels, and keys the file cannot hold,
    // write nothing.
    struct Refused {
        const char* what;
        int first, last;
        const char* key;
    };
    const Refused refused[] = {
        {"first after last", 3, 2, "Enable"},
        {"negative first", -1, 2, "Enable"},
        {"last beyond 18 channels", 0, 18, "Enable"},
        {"huge range", 0, 0x7FFFFFFF, "Enable"},
        {"no key", 0, 1, nullptr},
        {"equals in key", 0, 1, "En=able"},
        {"line break in key", 0, 1, "Enable\nMode"},
    };
    const std::string after = ReadBytes(Path());
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_FALSE(m_file.WriteChannelRange(5, r.first, r.last, r.key, 9));
        EXPECT_EQ(ReadBytes(Path()), after);
    }
    EXPECT_FALSE(m_file.WriteChannelValue(5, -1, "Enable", 9));
    EXPECT_FALSE(m_file.WriteStereo(5, 18, kModeStereoMaster, 0));
    EXPECT_FALSE(m_file.WriteLineParams(5, 2, 1, kDefaultLineParams));
    EXPECT_EQ(ReadBytes(Path()), after);
}

TEST_F(ChannelSettingsWrite, StereoPairAndBack) {
    ASSERT_TRUE(m_file.WriteStereo(5, 0, kModeStereoMaster, 3));
    ASSERT_TRUE(m_file.WriteStereo(5, 3, kModeStereoSlave, 0));
    EXPECT_EQ(m_file.File().Find("Channel5-0", "Mode"), "3");
    EXPECT_EQ(m_file.File().Find("Channel5-0", "SlaveChannel"), "3");
    EXPECT_EQ(m_file.ReadParam(5, 3).Mode, uint32_t{kModeStereoSlave});
    EXPECT_EQ(m_file.ReadParam(5, 3).SlaveChannel, 0u);

    ASSERT_TRUE(m_file.WriteStereo(5, 0, kModeMono, 0));
    EXPECT_EQ(m_file.File().Find("Channel5-0", "Mode"), "1");
    EXPECT_EQ(m_file.File().Find("Channel5-0", "SlaveChannel"), "0");
}

TEST_F(ChannelSettingsWrite, Aliases) {
    const std::string longAlias = "Sales department, second floor";
    ASSERT_TRUE(m_file.WriteAlias(4, longAlias));
    EXPECT_EQ(m_file.File().Find("ALIAS", "Line4"), longAlias.substr(0, 20));
    EXPECT_EQ(m_file.ReadAlias(4), longAlias.substr(0, 20));

    ASSERT_TRUE(m_file.WriteAlias(5, "\xCA\xE0\xF1\xF1\xE0"));  // windows-1251 text
    EXPECT_EQ(m_file.ReadAlias(5), "\xCA\xE0\xF1\xF1\xE0");
    ASSERT_TRUE(m_file.WriteAlias(4, ""));
    EXPECT_EQ(m_file.ReadAlias(4), "");
    EXPECT_FALSE(m_file.WriteAlias(6, "two\nlines"));
    EXPECT_FALSE(m_file.File().Find("ALIAS", "Line6").has_value());
}

TEST_F(ChannelSettingsWrite, CodecKeysPerSampleRate) {
    struct CodecCase {
        uint32_t sampleRate;
        bool ok;
        std::vector<std::string> keys;  // written, in this order
    };
    const CodecCase cases[] = {
        {8000, true, {"CodecCompress8Mode", "CodecSpeex8Mode"}},
        {16000, true, {"CodecCompress16Mode", "CodecSpeex16Mode"}},
        {32000, true, {"CodecCompress32Mode"}},
        {11025, false, {}},
        {64000, false, {}},
        {0, false, {}},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(c.sampleRate);
        ASSERT_TRUE(m_file.File().DeleteSection("DeviceChannel5"));
        EXPECT_EQ(m_file.WriteCodecMode(5, c.sampleRate, 2, 9), c.ok);
        EXPECT_EQ(m_file.File().Keys("DeviceChannel5"), c.keys);
    }
    ASSERT_TRUE(m_file.WriteCodecMode(5, 16000, 1, 8));
    ASSERT_TRUE(m_file.WriteCodecMode(5, 32000, 4, 7));
    const DeviceSettings both = m_file.ReadDevice(5);
    EXPECT_EQ(both.codecCompress16Mode, 1u);
    EXPECT_EQ(both.codecSpeex16Mode, 8u);
    EXPECT_EQ(both.codecCompress32Mode, 4u);
    EXPECT_EQ(both.codecSpeex8Mode, 16u);
    // The buffer mode beside them.
    ASSERT_TRUE(m_file.WriteBufferMode(5, 1));
    EXPECT_EQ(m_file.ReadDevice(5).codecBufferMode, 1u);
    EXPECT_EQ(m_file.ReadDevice(5).codecCompress16Mode, 1u);
}

}  // namespace
}  // namespace zorv
