#include "simulation/SimulatedLine.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zorv {

CSimulatedLine::CSimulatedLine(const SimChannel& config) : m_config(config) {
    for (const SimNumberSignal& signal : config.signals) {
        m_signals.emplace_back(signal);
    }
    Initialise();
}

double CSimulatedLine::SourceSample(int64_t sampleIndex, uint32_t rateHz) {
    if (!m_signals.empty()) {
        // Signals follow the timeline, which starts over every m_repeatMs.
        double t = static_cast<double>(sampleIndex) / rateHz;
        if (m_repeatMs > 0) {
            t = std::fmod(t, static_cast<double>(m_repeatMs) / 1000);
        }
        for (const CNumberSignal& signal : m_signals) {
            const double into = t - static_cast<double>(signal.StartMs()) / 1000;
            if (into >= 0 && into < signal.Seconds()) {
                return signal.At(into);
            }
        }
    }
    const SimAudio& audio = m_config.audio;
    if (audio.duringCallsOnly && !m_inCall) {
        return 0;
    }
    switch (audio.kind) {
        case SimAudioKind::Silence:
            return 0;
        case SimAudioKind::Wav: {
            if (audio.wavRate != rateHz) {
                m_rateMismatch = true;
                return 0;
            }
            const auto& samples = *audio.wavSamples;
            const auto n = static_cast<int64_t>(samples.size());
            return samples[static_cast<std::size_t>(sampleIndex % n)];
        }
        case SimAudioKind::Tone: {
            const double t = static_cast<double>(sampleIndex) / rateHz;
            if (audio.onSeconds > 0 &&
                std::fmod(t, audio.onSeconds + audio.offSeconds) >= audio.onSeconds) {
                return 0;
            }
            double level = audio.amplitude;
            if (audio.modulationHz > 0) {
                level *= 0.55 + 0.45 * std::sin(2 * std::numbers::pi * audio.modulationHz * t);
            }
            return level * std::sin(2 * std::numbers::pi * audio.frequencyHz * t);
        }
    }
    return 0;
}

int16_t CSimulatedLine::Sample(int64_t sampleIndex, uint32_t rateHz) {
    double value = SourceSample(sampleIndex, rateHz);
    if (m_pulseStartMs >= 0) {
        const int64_t start = m_pulseStartMs * rateHz / 1000;
        const int64_t half = int64_t{kTestPulseHalfMs} * rateHz / 1000;
        if (sampleIndex >= start && sampleIndex < start + 2 * half) {
            const int sign = (sampleIndex < start + half ? 1 : -1) * m_config.polarity;
            value += sign * kTestPulseAmplitude;
        } else if (sampleIndex >= start + 2 * half) {
            m_pulseStartMs = -1;
        }
    }
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

void CSimulatedLine::TakeDueEvents(int64_t nowMs, int64_t repeatMs,
                                   std::vector<SimLineEvent>& due) {
    m_repeatMs = repeatMs;
    const auto& timeline = m_config.timeline;
    while (!timeline.empty()) {
        if (m_next == timeline.size()) {
            if (repeatMs <= 0) {
                return;
            }
            m_cycleStartMs += repeatMs;
            m_next = 0;
        }
        const SimLineEvent& event = timeline[m_next];
        if (m_cycleStartMs + event.timeMs > nowMs) {
            return;
        }
        if (event.code == Code(DspEvent::Line)) {
            m_inCall = event.value == kLineCallIn || event.value == kLineCallOut;
        }
        due.push_back(event);
        ++m_next;
    }
}

void CSimulatedLine::Initialise() {
    m_params = m_config.powerUpParams;
    if (m_config.driftField >= 0) {
        StoreParam(m_config.driftField, Param(m_config.driftField));
    }
    m_polarityCommand = -1;
    m_key = 0;
    m_monitor = false;
}

void CSimulatedLine::StoreParam(int field, uint8_t value) {
    if (field < 0 || field >= static_cast<int>(sizeof(LineParams))) {
        return;
    }
    if (field == m_config.driftField) {
        value = static_cast<uint8_t>(value + m_config.driftDelta);
    }
    reinterpret_cast<uint8_t*>(&m_params)[field] = value;
}

uint8_t CSimulatedLine::Param(int field) const {
    if (field < 0 || field >= static_cast<int>(sizeof(LineParams))) {
        return 0;
    }
    return reinterpret_cast<const uint8_t*>(&m_params)[field];
}

void CSimulatedLine::StartTestPulse(int64_t nowMs) {
    m_pulseStartMs = nowMs + kTestPulseDelayMs;
    ++m_testPulses;
}

}  // namespace zorv
