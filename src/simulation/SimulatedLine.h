// One telephone line of a simulated board, with the part of the group's
// signal processor that serves it: what the line carries (audio), what
// happens on it and when (its timeline), and what the processor keeps for it
// (line parameters, polarity, key, line monitor, a pending test pulse).
//
// Owned by CSimulatedBoard and used only under the board's lock; not
// thread-safe by itself. Audio is a pure function of the sample position, so
// the stream does not depend on how time is cut into steps.
#pragma once

#include <cstdint>
#include <vector>

#include "simulation/BoardScenario.h"
#include "simulation/NumberSignal.h"

namespace zorv {

class CSimulatedLine {
public:
    // Peak of the polarity test pulse and the length of each of its halves.
    static constexpr int kTestPulseAmplitude = 24000;
    static constexpr int kTestPulseHalfMs = 2;
    // The pulse begins this long after the processor took the command.
    static constexpr int kTestPulseDelayMs = 8;

    // The configuration must outlive the line.
    explicit CSimulatedLine(const SimChannel& config);

    // The sample at sampleIndex of a stream at rateHz (index 0 at board
    // time 0), including any test pulse. A WAV at another rate gives
    // silence and sets RateMismatch.
    int16_t Sample(int64_t sampleIndex, uint32_t rateHz);
    bool RateMismatch() const { return m_rateMismatch; }

    // Appends the timeline events due at nowMs (board time), in order, and
    // follows the line state they carry. The timeline starts over every
    // repeatMs when that is above 0.
    void TakeDueEvents(int64_t nowMs, int64_t repeatMs, std::vector<SimLineEvent>& due);
    bool InCall() const { return m_inCall; }

    // Processor state. Initialise restores the power-up parameters (through
    // the drift) and clears polarity, key and monitor.
    void Initialise();
    // Stores one byte of LineParams (0..10) as the processor would: a
    // drifting field takes the value plus the drift.
    void StoreParam(int field, uint8_t value);
    uint8_t Param(int field) const;
    const LineParams& Params() const { return m_params; }

    void SetPolarityCommand(int value) { m_polarityCommand = value; }
    int PolarityCommand() const { return m_polarityCommand; }
    void SetKey(int value) { m_key = value; }
    int Key() const { return m_key; }
    void SetMonitor(bool on) { m_monitor = on; }
    bool Monitor() const { return m_monitor; }
    // Schedules a test pulse: after kTestPulseDelayMs from nowMs, half a
    // pulse of the line's polarity sign, then half of the other sign.
    void StartTestPulse(int64_t nowMs);
    int TestPulses() const { return m_testPulses; }

private:
    double SourceSample(int64_t sampleIndex, uint32_t rateHz);

    const SimChannel& m_config;
    std::vector<CNumberSignal> m_signals;  // made from the configuration's

    // Timeline
    std::size_t m_next = 0;
    int64_t m_cycleStartMs = 0;
    int64_t m_repeatMs = 0;  // as the timeline is taken
    bool m_inCall = false;

    // Processor
    LineParams m_params{};
    int m_polarityCommand = -1;  // value of the last command 17, -1 none
    int m_key = 0;
    bool m_monitor = false;
    int64_t m_pulseStartMs = -1;
    int m_testPulses = 0;

    bool m_rateMismatch = false;
};

}  // namespace zorv
