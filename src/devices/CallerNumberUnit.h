// The caller-number and dialled-digit decoders of a device's channels and
// the rules that feed them and take their numbers:
//
// - step 1 of a channel's block (CallerIdStage): the FSK caller ID that a
//   ring started, whose number counts while the line rings; the DTMF caller
//   ID, listening whenever the line is free or ringing;
// - step 4 (LevelStage): a level-activated channel (StateLine 1) feeds the
//   AON decoder with "VoxModeAonEnabled" and AON in "AonFlags", or with
//   "AonActivateEnable" (Activate 1), where a number starts the record;
// - step 5 (LineStage): the AON decoder during a call in (or a call out with
//   the frequency activator and "UseAonDecodeForOutRings") while the number
//   window is open; the dialled digits during a call out (or a call in with
//   the frequency activator and "UseDtmfDecodeForInRings") while the DTMF
//   window is open;
// - the line logic's hooks: numbers held, resets, the FSK start on a ring.
//
// Decoders exist for every channel a device may have, so the stages stay
// valid while channels come and go. Threads: everything runs under the
// device's channel lock (the bank's Lock()), on the reading thread or on the
// thread that configures a channel; the unit has no lock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "channels/ChannelBank.h"
#include "channels/ChannelSettings.h"
#include "channels/ChannelTypes.h"
#include "devices/BlockStages.h"
#include "dsp/AonDecoder.h"
#include "dsp/DtmfCallerIdDecoder.h"
#include "dsp/DtmfDecoder.h"
#include "dsp/FskCallerIdDecoder.h"
#include "platform/ThreadAnnotations.h"

namespace zorv {

class CCallerNumberUnit {
public:
    CCallerNumberUnit();

    // The bank whose channels the stages serve (null: the stages do
    // nothing). Set when the device's channels are made.
    void Attach(CChannelBank* bank) { m_bank = bank; }

    // A channel's settings and the device's "Aon"/"Len".
    void Configure(int channel, const ChannelAnalysisSettings& analysis,
                   const DeviceSettings& device);
    void SetAonFlags(int channel, uint32_t flags);

    IBlockStage& CallerIdStage() { return m_callerIdStage; }
    IBlockStage& LevelStage() { return m_levelStage; }
    IBlockStage& LineStage() { return m_lineStage; }

    // The line logic's hooks.
    void ResetDecoders(int channel);
    bool DtmfNumber(int channel, std::string& number);
    bool CallerNumber(int channel, std::string& number, uint32_t& category);
    void ResetCallerNumber(int channel);
    void StartCallerId(int channel);
    uint32_t AonFlags(int channel) const;
    bool FrequencyActivatorEnabled(int channel) const;
    bool UseDtmfDecodeForInRings(int channel) const;

private:
    struct Channel {
        CAonDecoder aon;
        CFskCallerIdDecoder fsk;
        CDtmfCallerIdDecoder dtmfCallerId;
        CDtmfDecoder dtmf;
        uint32_t aonFlags = 0;
        bool voxModeAon = false;
        bool aonActivate = false;
        bool frequencyActivator = false;
        bool useAonForOutRings = false;
        bool useDtmfForInRings = false;
    };

    // Adapters of the three pipeline steps.
    class CStage : public IBlockStage {
    public:
        using Step = void (CCallerNumberUnit::*)(int, int16_t*, std::size_t);
        using RateStep = void (CCallerNumberUnit::*)(int, uint32_t);
        CStage(CCallerNumberUnit& unit, Step step, RateStep rate)
            : m_unit(unit), m_step(step), m_rate(rate) {}
        void Process(int channel, int16_t* samples, std::size_t count) override {
            (m_unit.*m_step)(channel, samples, count);
        }
        void SetSampleRate(int channel, uint32_t rate) override {
            if (m_rate != nullptr) {
                (m_unit.*m_rate)(channel, rate);
            }
        }

    private:
        CCallerNumberUnit& m_unit;
        Step m_step;
        RateStep m_rate;
    };

    Channel* At(int channel);
    const Channel* At(int channel) const;
    void CallerId(int channel, int16_t* samples, std::size_t count) REQUIRES(m_bank->Lock());
    void Level(int channel, int16_t* samples, std::size_t count) REQUIRES(m_bank->Lock());
    void Line(int channel, int16_t* samples, std::size_t count) REQUIRES(m_bank->Lock());
    void CallerIdRate(int channel, uint32_t rate);
    void LineRate(int channel, uint32_t rate);

    CChannelBank* m_bank = nullptr;
    std::unique_ptr<std::array<Channel, kMaxChannelsPerDevice>> m_channels;
    CStage m_callerIdStage{*this, &CCallerNumberUnit::CallerId, &CCallerNumberUnit::CallerIdRate};
    CStage m_levelStage{*this, &CCallerNumberUnit::Level, nullptr};
    CStage m_lineStage{*this, &CCallerNumberUnit::Line, &CCallerNumberUnit::LineRate};
};

}  // namespace zorv
