// Per-channel records shared with clients: the recording parameters
// (tagChanelParam), the live state (tagChanelState) and the line-signalling
// parameters sent to the signal processors (LineParams). Layouts are exact:
// clients and the processors exchange them byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

inline constexpr int kMaxChannelsPerDevice = 18;
inline constexpr int kTlfStringSize = 41;  // 40 digits and the terminating zero

// Activation modes (tagChanelParam::Activate).
enum ActivateMode : uint32_t {
    kActivateLevel = 1,
    kActivateLine = 2,
    kActivateLevelToo = 3,  // level activation, same host behaviour as 1
};

// Channel modes (tagChanelParam::Mode).
enum ChannelMode : uint32_t {
    kModeMono = 1,
    kModeStereoSlave = 2,
    kModeStereoMaster = 3,
};

// Channel and line state codes (tagChanelState::StateLine).
enum StateLineCode : uint32_t {
    CS_OFF = 0,
    CS_VOX = 1,
    CS_FREE = 2,
    CS_CALL_IN = 3,
    CS_CALL_OUT = 4,
    CS_LOST = 5,
    CS_STEREO_SLAVE = 6,
    CS_STEREO_VOX = 7,
    CS_MANUAL = 8,
    CS_RING = 11,
    CS_DSP_FAULT = 12,
    CS_SPLIT_HOLD = 13,
};

// Line-event values delivered to the line-state machine.
enum LineEventValue : int {
    kLineFree = 0,
    kLineRing = 1,
    kLineCallIn = 2,
    kLineCallOut = 3,
    kLineLost = 4,
};

struct tagChanelParam {
    int32_t Enable;      // 1: the channel records
    uint32_t Activate;   // ActivateMode
    uint32_t Compress;   // 1: left for the compressor
    uint32_t TOn;        // tenths of a second, 0..50
    uint32_t TOff;       // seconds, 0..100
    uint16_t Treshold;   // 0..32768
    uint16_t TresholdPad;
    uint32_t SampleRate;  // 8000..64000
    uint32_t Mode;        // ChannelMode
    uint32_t SlaveChannel;
    uint32_t HardActivateEnable;
};
static_assert(sizeof(tagChanelParam) == 40);
static_assert(offsetof(tagChanelParam, Treshold) == 20);
static_assert(offsetof(tagChanelParam, SampleRate) == 24);
static_assert(offsetof(tagChanelParam, HardActivateEnable) == 36);

struct tagChanelState {
    uint16_t Level;  // smoothed mean absolute amplitude, 0..32768
    uint16_t LevelPad;
    uint32_t State;      // 1 while a record file is open
    uint32_t StateLine;  // StateLineCode
    uint32_t RecordTime;  // samples of the current record
    uint32_t Listen;      // 0 nobody, 1 or 2 a network listener, 3 the line monitor
    uint32_t ShedulingOn;
    char TlfString[kTlfStringSize];
    uint32_t Category;
};
static_assert(sizeof(tagChanelState) == 72);
static_assert(offsetof(tagChanelState, TlfString) == 24);
static_assert(offsetof(tagChanelState, Category) == 68);

struct tagCHANELS_STATE {
    tagChanelState Chanel[kMaxChannelsPerDevice];
};
static_assert(sizeof(tagCHANELS_STATE) == 72 * 18);

// The line-signalling parameters of one channel, as the processor keeps them.
struct LineParams {
    uint8_t LineFailureLevel;
    uint8_t LineActivateLevel;
    uint8_t LineRingLevel;
    uint8_t AonRequestLength;
    uint8_t AonRequestNumber;
    uint8_t AonRequestPauseFirst;
    uint8_t AonRequestForm;
    uint8_t AonRequestAmplitude;
    uint8_t AonRequestPauseBetween;
    uint8_t MaxRingPause;
    uint8_t MinActivateLevel;
};
static_assert(sizeof(LineParams) == 11);
static_assert(offsetof(LineParams, AonRequestPauseBetween) == 8);
static_assert(offsetof(LineParams, MinActivateLevel) == 10);

inline constexpr LineParams kDefaultLineParams{4, 18, 70, 100, 1, 20, 0, 0, 50, 50, 0};

// The defaults of a channel section.
inline constexpr tagChanelParam kDefaultChanelParam{1, kActivateLine, 1, 1, 5, 3276, 0,
                                                    8000, kModeMono, 0, 0};

// Corrects out-of-range values of the record of channel `channel` in a
// device of channelCount channels, in this order: Activate not 1..3 becomes
// 2; SampleRate outside 8000..64000 becomes 8000; TOn above 50 becomes 50;
// TOff above 100 becomes 100; Treshold above 32768 becomes 3276. Mode 2 or 3
// needs a partner inside the device other than the channel itself; any other
// Mode, or a pair with no such partner, is Mode 1 with SlaveChannel 0. Every
// record, from a client or from the settings file, passes here before it
// reaches a channel.
inline void ValidateChanelParam(tagChanelParam& p, int channel, int channelCount) {
    if (p.Activate < kActivateLevel || p.Activate > kActivateLevelToo) {
        p.Activate = kActivateLine;
    }
    if (p.SampleRate < 8000 || p.SampleRate > 64000) {
        p.SampleRate = 8000;
    }
    if (p.TOn > 50) {
        p.TOn = 50;
    }
    if (p.TOff > 100) {
        p.TOff = 100;
    }
    if (p.Treshold > 32768) {
        p.Treshold = 3276;
    }
    p.TresholdPad = 0;
    const bool paired = p.Mode == kModeStereoSlave || p.Mode == kModeStereoMaster;
    const bool partnerOk = channelCount > 0 && p.SlaveChannel < static_cast<uint32_t>(channelCount) &&
                           static_cast<int64_t>(p.SlaveChannel) != channel;
    if (!paired || !partnerOk) {
        p.Mode = kModeMono;
        p.SlaveChannel = 0;
    }
}

inline bool IsLevelActivation(uint32_t activate) {
    return activate == kActivateLevel || activate == kActivateLevelToo;
}

}  // namespace zorv
