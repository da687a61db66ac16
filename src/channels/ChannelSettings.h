// The per-channel and per-device sections of the main settings file.
//
// A device's sections are named by its device number (the driver's serial
// number, or the device index when that is 0): "Channel<number>-<channel>"
// for each channel, "DeviceChannel<number>" for the device. Section "ALIAS"
// holds the line aliases by line number, "Default-Param" the values of the
// reset-to-defaults operation. Missing keys read as their defaults; integers
// are written as "%u", line-parameter bytes as "%03u".
//
// Integers are read as IniFile::GetUint / GetInt read them. A stored value
// too large for a narrower field is held at the field's largest value rather
// than cut to its low bits, so that a damaged number never reads as a small,
// plausible one: Treshold stops at 65535 (which validation replaces by 3276),
// a line-parameter byte at 255, the signed keys at the int32 limits. A
// negative number in an unsigned key reads as a large unsigned value, as with
// every "%u" key of the file, so in Treshold and the bytes it also reads as
// the largest value.
//
// Reads return raw values: validation of tagChanelParam is the caller's
// (ValidateChanelParam). Every write of several keys is one rewrite of the
// file. Safe from any thread (the file layer serialises writers).
#pragma once

#include <cstdint>
#include <string>

#include "channels/ChannelTypes.h"
#include "platform/IniFile.h"

namespace zorv {

// Keys of a channel section besides the recording parameters.
struct ChannelExtras {
    uint32_t sourceSignal = 1;
    uint32_t mute = 0;
    uint32_t alwaysUseMyPhoneNumber = 0;
    std::string myPhoneNumber;  // at most 39 characters
    uint32_t archivate = 1;
};

// Auto-answer and busy-analyzer keys of a channel section.
struct AutoAnswerSettings {
    uint32_t busyAnalyzer = 0;
    uint32_t mode = 0;
    uint32_t secondsToAnswer = 5;
    uint32_t timeOut = 60;
    uint32_t timeOutMode = 1;
    uint32_t wavFilterFreqLow = 350;
    uint32_t wavFilterFreqHi = 550;
    std::string waveFile;  // at most 259 characters
    uint32_t countCycles = 1;
    uint32_t pauseBetweenCycles = 0;
    uint32_t beepRequired = 1;
    uint32_t filterEnabled = 1;
    uint32_t busyMinVoiceAvg = 40;
    uint32_t busyMaxVoiceAvg = 80;
    uint32_t busyMaxVoiceDisp = 10;
    uint32_t busyMinSilenceAvg = 40;
    uint32_t busyMaxSilenceAvg = 80;
    uint32_t busyMaxSilenceDisp = 10;
    uint32_t busyFreqLow = 400;
    uint32_t busyFreqHi = 500;
};

// Frequency-activator keys of a channel section.
struct FrequencyActivatorSettings {
    uint32_t enable = 0;
    uint32_t f1 = 3000;
    uint32_t f2 = 2700;
    int32_t minSignalLevel = -76;
    uint32_t freqAutodetectEnable = 0;
    uint32_t startPauseIn = 65;
    uint32_t startPauseOut = 100;
    uint32_t stopPauseIn = 100;
    uint32_t stopPauseOut = 200;
    uint32_t minRing = 100;
    uint32_t maxRingPause = 7000;
    uint32_t minPulse = 40;
    uint32_t maxPulse = 80;
    uint32_t minPulsePause = 10;
    uint32_t maxPulsePause = 90;
    uint32_t useAonDecodeForOutRings = 0;
    uint32_t useDtmfDecodeForInRings = 0;
    uint32_t useFreqLevel = 0;
    int32_t f1FreqLevel = -16;
    int32_t f2FreqLevel = -16;
};

// The analysis keys of a channel section.
struct ChannelAnalysisSettings {
    AutoAnswerSettings autoAnswer;
    uint32_t polarity = 1;
    uint32_t polarityCheckTimeOut = 5;
    uint32_t gain = 0;
    uint32_t dtmfEnable = 1;
    uint32_t dtmfExtraSensitivity = 0;
    uint32_t keyEnable = 0;
    uint32_t inOutFilter = 0;
    uint32_t spectralSubtractionEnable = 0;
    uint32_t spectralSubtractionOrder = 11;
    // Stored as text, read as "%f" reads it: the number at the start of the
    // value. No number there, or one that is not finite, reads as 0.9.
    float spectralSubtractionP = 0.9f;
    FrequencyActivatorSettings frequencyActivator;
    uint32_t aonActivateEnable = 0;
    uint32_t aonFlags = 0;
    uint32_t voxModeAonEnabled = 0;
};

// The per-device keys.
struct DeviceSettings {
    // "DeviceChannel<number>"
    uint32_t codecCompress8Mode = 0;
    uint32_t codecSpeex8Mode = 16;
    uint32_t codecCompress16Mode = 0;
    uint32_t codecSpeex16Mode = 15;
    uint32_t codecCompress32Mode = 0;
    uint32_t codecBufferMode = 0;
    // "BusMaster"/"TransferSize"
    uint32_t transferSize = 5;
    // "Aon"/"Len", "Aon"/"DetectLength" (seconds), "Dtmf"/"DetectLength" (seconds)
    uint32_t aonLen = 7;
    uint32_t aonDetectLength = 120;
    uint32_t dtmfDetectLength = 30;
};

// "Default-Param": what reset to defaults applies.
struct DefaultParams {
    uint32_t compression = 1;
    uint32_t tOn = 1;
    uint32_t tOff = 5;
    uint32_t treshold = 3276;
};

class CChannelSettingsFile {
public:
    explicit CChannelSettingsFile(IniFile file);

    static std::string ChannelSection(uint32_t deviceNumber, int channel);  // "Channel%u-%d"
    static std::string DeviceSection(uint32_t deviceNumber);                // "DeviceChannel%u"

    // The ten recording-parameter keys, as stored (not validated).
    tagChanelParam ReadParam(uint32_t deviceNumber, int channel) const;
    ChannelExtras ReadExtras(uint32_t deviceNumber, int channel) const;
    LineParams ReadLineParams(uint32_t deviceNumber, int channel) const;
    ChannelAnalysisSettings ReadAnalysis(uint32_t deviceNumber, int channel) const;
    DeviceSettings ReadDevice(uint32_t deviceNumber) const;
    DefaultParams ReadDefaults() const;
    // "ALIAS"/"Line<line>", at most 20 characters (a longer stored alias is
    // cut).
    std::string ReadAlias(uint32_t line) const;
    // "VeskoSupport"/"Enable" is 1.
    bool VeskoSupportEnabled() const;

    // Channel writes take channels within 0..kMaxChannelsPerDevice-1 and
    // first <= last; any other range writes nothing and gives false. A key
    // the file cannot hold (see IniFile::WriteString) also gives false.
    //
    // Writes one integer key of a channel section ("%u").
    bool WriteChannelValue(uint32_t deviceNumber, int channel, const char* key, uint32_t value);
    // Writes the same integer key for channels first..last (one rewrite).
    bool WriteChannelRange(uint32_t deviceNumber, int first, int last, const char* key,
                           uint32_t value);
    // Writes "Mode" and "SlaveChannel" of one channel.
    bool WriteStereo(uint32_t deviceNumber, int channel, uint32_t mode, uint32_t partner);
    // Writes the nine line-parameter keys ("%03u") of channels first..last.
    bool WriteLineParams(uint32_t deviceNumber, int first, int last, const LineParams& params);
    // Stores the first 20 characters of alias.
    bool WriteAlias(uint32_t line, const std::string& alias);
    // Writes the codec keys of a sample rate (8000, 16000 or 32000) to
    // "DeviceChannel<number>"; false for other rates.
    bool WriteCodecMode(uint32_t deviceNumber, uint32_t sampleRate, uint32_t compression,
                        uint32_t speexMode);

    // Writes "CodecBufferMode" (0 or 1) to "DeviceChannel<number>".
    bool WriteBufferMode(uint32_t deviceNumber, uint32_t mode);

    IniFile& File() { return m_file; }

private:
    IniFile m_file;
};

}  // namespace zorv
