#include "channels/ChannelSettings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv {
namespace {

constexpr const char* kAliasSection = "ALIAS";
constexpr const char* kDefaultsSection = "Default-Param";
constexpr std::size_t kMyPhoneNumberBuffer = 40;  // 39 characters
constexpr std::size_t kWaveFileBuffer = 260;      // 259 characters
constexpr std::size_t kAliasLength = 20;
constexpr float kDefaultSpectralSubtractionP = 0.9f;

// The nine line-parameter keys; AonRequestForm and AonRequestAmplitude have
// none and keep their defaults.
struct LineParamKey {
    const char* key;
    uint8_t LineParams::*field;
};
constexpr LineParamKey kLineParamKeys[] = {
    {"LineFailureLevel", &LineParams::LineFailureLevel},
    {"LineActivateLevel", &LineParams::LineActivateLevel},
    {"LineRingLevel", &LineParams::LineRingLevel},
    {"AonRequestLength", &LineParams::AonRequestLength},
    {"AonRequestNumber", &LineParams::AonRequestNumber},
    {"AonRequestPauseFirst", &LineParams::AonRequestPauseFirst},
    {"AonRequestPauseBetween", &LineParams::AonRequestPauseBetween},
    {"MaxRingPause", &LineParams::MaxRingPause},
    {"MinActivateLevel", &LineParams::MinActivateLevel},
};

// Reads of one section. Unsigned keys are read as every "%u" key of the
// settings file is (IniFile::GetUint); the narrower fields saturate instead of
// keeping the low bits, so that a stored value too large for its field never
// turns into a small, plausible one.
class CSectionReader {
public:
    CSectionReader(const IniFile& file, std::string section)
        : m_file(file), m_section(std::move(section)) {}

    uint32_t Uint(const char* key, uint32_t defaultValue) const {
        return m_file.GetUint(m_section, key, defaultValue);
    }
    int32_t Int(const char* key, int32_t defaultValue) const {
        const int64_t value = m_file.GetInt(m_section, key, defaultValue);
        constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
        constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
        return static_cast<int32_t>(value < kMin ? kMin : (value > kMax ? kMax : value));
    }
    uint16_t Uint16(const char* key, uint16_t defaultValue) const {
        return static_cast<uint16_t>(Saturated(key, defaultValue, 0xFFFF));
    }
    uint8_t Byte(const char* key, uint8_t defaultValue) const {
        return static_cast<uint8_t>(Saturated(key, defaultValue, 0xFF));
    }
    std::string String(const char* key, std::size_t bufferSize) const {
        return m_file.GetString(m_section, key, "", bufferSize);
    }
    // A decimal number at the start of the value, as "%f" reads it; the default
    // when there is none or it is not finite.
    float Float(const char* key, float defaultValue) const {
        const std::optional<std::string> text = m_file.Find(m_section, key);
        if (!text) {
            return defaultValue;
        }
        std::string_view digits = *text;
        while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) {
            digits.remove_prefix(1);
        }
        if (!digits.empty() && digits.front() == '+') {
            digits.remove_prefix(1);
        }
        float value = 0;
        const std::from_chars_result parsed =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return parsed.ec == std::errc() && std::isfinite(value) ? value : defaultValue;
    }

private:
    // The whole stored number held to 0..max. A negative number is taken as
    // the large unsigned value GetUint would give, so it also becomes max.
    uint32_t Saturated(const char* key, uint32_t defaultValue, uint32_t max) const {
        const int64_t value = m_file.GetInt(m_section, key, defaultValue);
        return value < 0 || value > max ? max : static_cast<uint32_t>(value);
    }

    const IniFile& m_file;
    std::string m_section;
};

bool IsChannelRange(int first, int last) {
    return first >= 0 && first <= last && last < kMaxChannelsPerDevice;
}

std::string ThreeDigits(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(value));
    return text;
}

}  // namespace

CChannelSettingsFile::CChannelSettingsFile(IniFile file) : m_file(std::move(file)) {}

std::string CChannelSettingsFile::ChannelSection(uint32_t deviceNumber, int channel) {
    return "Channel" + std::to_string(deviceNumber) + "-" + std::to_string(channel);
}

std::string CChannelSettingsFile::DeviceSection(uint32_t deviceNumber) {
    return "DeviceChannel" + std::to_string(deviceNumber);
}

tagChanelParam CChannelSettingsFile::ReadParam(uint32_t deviceNumber, int channel) const {
    const CSectionReader r(m_file, ChannelSection(deviceNumber, channel));
    tagChanelParam p = kDefaultChanelParam;
    p.Enable = r.Int("Enable", p.Enable);
    p.Activate = r.Uint("Activate", p.Activate);
    p.Compress = r.Uint("Compression", p.Compress);
    p.TOn = r.Uint("TOn", p.TOn);
    p.TOff = r.Uint("TOff", p.TOff);
    p.Treshold = r.Uint16("Treshold", p.Treshold);
    p.TresholdPad = 0;
    p.SampleRate = r.Uint("SampleRate", p.SampleRate);
    p.Mode = r.Uint("Mode", p.Mode);
    p.SlaveChannel = r.Uint("SlaveChannel", p.SlaveChannel);
    p.HardActivateEnable = r.Uint("HardActivateEnable", p.HardActivateEnable);
    return p;
}

ChannelExtras CChannelSettingsFile::ReadExtras(uint32_t deviceNumber, int channel) const {
    const CSectionReader r(m_file, ChannelSection(deviceNumber, channel));
    ChannelExtras e;
    e.sourceSignal = r.Uint("SourceSignal", e.sourceSignal);
    e.mute = r.Uint("Mute", e.mute);
    e.alwaysUseMyPhoneNumber = r.Uint("AlwaysUseMyPhoneNumber", e.alwaysUseMyPhoneNumber);
    e.myPhoneNumber = r.String("MyPhoneNumber", kMyPhoneNumberBuffer);
    e.archivate = r.Uint("Archivate", e.archivate);
    return e;
}

LineParams CChannelSettingsFile::ReadLineParams(uint32_t deviceNumber, int channel) const {
    const CSectionReader r(m_file, ChannelSection(deviceNumber, channel));
    LineParams params = kDefaultLineParams;
    for (const LineParamKey& k : kLineParamKeys) {
        params.*k.field = r.Byte(k.key, params.*k.field);
    }
    return params;
}

ChannelAnalysisSettings CChannelSettingsFile::ReadAnalysis(uint32_t deviceNumber,
                                                           int channel) const {
    const CSectionReader r(m_file, ChannelSection(deviceNumber, channel));
    ChannelAnalysisSettings s;

    AutoAnswerSettings& a = s.autoAnswer;
    a.busyAnalyzer = r.Uint("BusyAnalyzer", a.busyAnalyzer);
    a.mode = r.Uint("AutoAnswer_Mode", a.mode);
    a.secondsToAnswer = r.Uint("AutoAnswer_SecondsToAnswer", a.secondsToAnswer);
    a.timeOut = r.Uint("AutoAnswer_TimeOut", a.timeOut);
    a.timeOutMode = r.Uint("AutoAnswer_TimeOutMode", a.timeOutMode);
    a.wavFilterFreqLow = r.Uint("AutoAnswer_WavFilterFreqLow", a.wavFilterFreqLow);
    a.wavFilterFreqHi = r.Uint("AutoAnswer_WavFilterFreqHi", a.wavFilterFreqHi);
    a.waveFile = r.String("AutoAnswer_WaveFile", kWaveFileBuffer);
    a.countCycles = r.Uint("AutoAnswer_CountCycles", a.countCycles);
    a.pauseBetweenCycles = r.Uint("AutoAnswer_PauseBetweenCycles", a.pauseBetweenCycles);
    a.beepRequired = r.Uint("AutoAnswer_BeepRequired", a.beepRequired);
    a.filterEnabled = r.Uint("AutoAnswer_FilterEnabled", a.filterEnabled);
    a.busyMinVoiceAvg = r.Uint("AutoAnswer_BuzyAnalyzerMinVoiceAvg", a.busyMinVoiceAvg);
    a.busyMaxVoiceAvg = r.Uint("AutoAnswer_BuzyAnalyzerMaxVoiceAvg", a.busyMaxVoiceAvg);
    a.busyMaxVoiceDisp = r.Uint("AutoAnswer_BuzyAnalyzerMaxVoiceDisp", a.busyMaxVoiceDisp);
    a.busyMinSilenceAvg = r.Uint("AutoAnswer_BuzyAnalyzerMinSilenceAvg", a.busyMinSilenceAvg);
    a.busyMaxSilenceAvg = r.Uint("AutoAnswer_BuzyAnalyzerMaxSilenceAvg", a.busyMaxSilenceAvg);
    a.busyMaxSilenceDisp = r.Uint("AutoAnswer_BuzyAnalyzerMaxSilenceDisp", a.busyMaxSilenceDisp);
    a.busyFreqLow = r.Uint("AutoAnswer_BuzyAnalyzerFreqLow", a.busyFreqLow);
    a.busyFreqHi = r.Uint("AutoAnswer_BuzyAnalyzerFreqHi", a.busyFreqHi);

    s.polarity = r.Uint("Polarity", s.polarity);
    s.polarityCheckTimeOut = r.Uint("PolarityCheckTimeOut", s.polarityCheckTimeOut);
    s.gain = r.Uint("Gain", s.gain);
    s.dtmfEnable = r.Uint("DtmfEnable", s.dtmfEnable);
    s.dtmfExtraSensitivity = r.Uint("DtmfExtraSensitivity", s.dtmfExtraSensitivity);
    s.keyEnable = r.Uint("KeyEnable", s.keyEnable);
    s.inOutFilter = r.Uint("InOutFilter", s.inOutFilter);
    s.spectralSubtractionEnable = r.Uint("SpectralSubtractionEnable", s.spectralSubtractionEnable);
    s.spectralSubtractionOrder = r.Uint("SpectralSubtractionOrder", s.spectralSubtractionOrder);
    s.spectralSubtractionP = r.Float("SpectralSubtractionP", kDefaultSpectralSubtractionP);

    FrequencyActivatorSettings& f = s.frequencyActivator;
    f.enable = r.Uint("FrequencyActivatorEnable", f.enable);
    f.f1 = r.Uint("FA_F1", f.f1);
    f.f2 = r.Uint("FA_F2", f.f2);
    f.minSignalLevel = r.Int("FA_MinSignalLevel", f.minSignalLevel);
    f.freqAutodetectEnable = r.Uint("FA_FreqAutodetectEnable", f.freqAutodetectEnable);
    f.startPauseIn = r.Uint("FA_StartPauseIn", f.startPauseIn);
    f.startPauseOut = r.Uint("FA_StartPauseOut", f.startPauseOut);
    f.stopPauseIn = r.Uint("FA_StopPauseIn", f.stopPauseIn);
    f.stopPauseOut = r.Uint("FA_StopPauseOut", f.stopPauseOut);
    f.minRing = r.Uint("FA_MinRing", f.minRing);
    f.maxRingPause = r.Uint("FA_MaxRingPause", f.maxRingPause);
    f.minPulse = r.Uint("FA_MinPulse", f.minPulse);
    f.maxPulse = r.Uint("FA_MaxPulse", f.maxPulse);
    f.minPulsePause = r.Uint("FA_MinPulsePause", f.minPulsePause);
    f.maxPulsePause = r.Uint("FA_MaxPulsePause", f.maxPulsePause);
    f.useAonDecodeForOutRings = r.Uint("UseAonDecodeForOutRings", f.useAonDecodeForOutRings);
    f.useDtmfDecodeForInRings = r.Uint("UseDtmfDecodeForInRings", f.useDtmfDecodeForInRings);
    f.useFreqLevel = r.Uint("UseFreqLevel", f.useFreqLevel);
    f.f1FreqLevel = r.Int("F1_FreqLevel", f.f1FreqLevel);
    f.f2FreqLevel = r.Int("F2_FreqLevel", f.f2FreqLevel);

    s.aonActivateEnable = r.Uint("AonActivateEnable", s.aonActivateEnable);
    s.aonFlags = r.Uint("AonFlags", s.aonFlags);
    s.voxModeAonEnabled = r.Uint("VoxModeAonEnabled", s.voxModeAonEnabled);
    return s;
}

DeviceSettings CChannelSettingsFile::ReadDevice(uint32_t deviceNumber) const {
    const CSectionReader r(m_file, DeviceSection(deviceNumber));
    DeviceSettings d;
    d.codecCompress8Mode = r.Uint("CodecCompress8Mode", d.codecCompress8Mode);
    d.codecSpeex8Mode = r.Uint("CodecSpeex8Mode", d.codecSpeex8Mode);
    d.codecCompress16Mode = r.Uint("CodecCompress16Mode", d.codecCompress16Mode);
    d.codecSpeex16Mode = r.Uint("CodecSpeex16Mode", d.codecSpeex16Mode);
    d.codecCompress32Mode = r.Uint("CodecCompress32Mode", d.codecCompress32Mode);
    d.codecBufferMode = r.Uint("CodecBufferMode", d.codecBufferMode);
    d.transferSize = m_file.GetUint("BusMaster", "TransferSize", d.transferSize);
    d.aonLen = m_file.GetUint("Aon", "Len", d.aonLen);
    d.aonDetectLength = m_file.GetUint("Aon", "DetectLength", d.aonDetectLength);
    d.dtmfDetectLength = m_file.GetUint("Dtmf", "DetectLength", d.dtmfDetectLength);
    return d;
}

DefaultParams CChannelSettingsFile::ReadDefaults() const {
    const CSectionReader r(m_file, kDefaultsSection);
    DefaultParams d;
    d.compression = r.Uint("Compression", d.compression);
    d.tOn = r.Uint("TOn", d.tOn);
    d.tOff = r.Uint("TOff", d.tOff);
    d.treshold = r.Uint("Treshold", d.treshold);
    return d;
}

std::string CChannelSettingsFile::ReadAlias(uint32_t line) const {
    return m_file.GetString(kAliasSection, "Line" + std::to_string(line), "", kAliasLength + 1);
}

bool CChannelSettingsFile::VeskoSupportEnabled() const {
    return m_file.GetUint("VeskoSupport", "Enable", 0) == 1;
}

bool CChannelSettingsFile::WriteChannelValue(uint32_t deviceNumber, int channel, const char* key,
                                             uint32_t value) {
    return WriteChannelRange(deviceNumber, channel, channel, key, value);
}

bool CChannelSettingsFile::WriteChannelRange(uint32_t deviceNumber, int first, int last,
                                             const char* key, uint32_t value) {
    if (key == nullptr || !IsChannelRange(first, last)) {
        return false;
    }
    const std::string text = std::to_string(value);
    std::vector<IniWrite> writes;
    for (int channel = first; channel <= last; ++channel) {
        writes.push_back({ChannelSection(deviceNumber, channel), key, text});
    }
    return m_file.WriteMany(writes);
}

bool CChannelSettingsFile::WriteStereo(uint32_t deviceNumber, int channel, uint32_t mode,
                                       uint32_t partner) {
    if (!IsChannelRange(channel, channel)) {
        return false;
    }
    const std::string section = ChannelSection(deviceNumber, channel);
    return m_file.WriteMany({{section, "Mode", std::to_string(mode)},
                             {section, "SlaveChannel", std::to_string(partner)}});
}

bool CChannelSettingsFile::WriteLineParams(uint32_t deviceNumber, int first, int last,
                                           const LineParams& params) {
    if (!IsChannelRange(first, last)) {
        return false;
    }
    std::vector<IniWrite> writes;
    for (int channel = first; channel <= last; ++channel) {
        const std::string section = ChannelSection(deviceNumber, channel);
        for (const LineParamKey& k : kLineParamKeys) {
            writes.push_back({section, k.key, ThreeDigits(params.*k.field)});
        }
    }
    return m_file.WriteMany(writes);
}

bool CChannelSettingsFile::WriteAlias(uint32_t line, const std::string& alias) {
    return m_file.WriteString(kAliasSection, "Line" + std::to_string(line),
                              std::string_view(alias).substr(0, kAliasLength));
}

bool CChannelSettingsFile::WriteCodecMode(uint32_t deviceNumber, uint32_t sampleRate,
                                          uint32_t compression, uint32_t speexMode) {
    const std::string section = DeviceSection(deviceNumber);
    const std::string compressionText = std::to_string(compression);
    const std::string speexText = std::to_string(speexMode);
    switch (sampleRate) {
        case 8000:
            return m_file.WriteMany({{section, "CodecCompress8Mode", compressionText},
                                     {section, "CodecSpeex8Mode", speexText}});
        case 16000:
            return m_file.WriteMany({{section, "CodecCompress16Mode", compressionText},
                                     {section, "CodecSpeex16Mode", speexText}});
        case 32000:
            // Speex has no mode at this rate.
            return m_file.WriteUint(section, "CodecCompress32Mode", compression);
        default:
            return false;
    }
}

bool CChannelSettingsFile::WriteBufferMode(uint32_t deviceNumber, uint32_t mode) {
    return m_file.WriteUint(DeviceSection(deviceNumber), "CodecBufferMode", mode);
}

}  // namespace zorv
