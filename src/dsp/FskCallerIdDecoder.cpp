#include "dsp/FskCallerIdDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/BandPassFir.h"
#include "dsp/FskDemodulator.h"
#include "dsp/SampleConvert.h"

namespace zorv {

namespace {

constexpr double kMarkHz = 1200.0;
constexpr double kSpaceHz = 2200.0;
constexpr double kBandwidthHz = 400.0;
// Weakest tone taken as a carrier, as a peak amplitude in 16-bit units:
// -48 dBm0, 0 dBm0 being a sine of amplitude 22768.
constexpr double kCarrierFloorAmplitude = 22768.0 * 0.003981072;  // 10^(-48/20)

struct RateTable {
    uint32_t rate;
    std::array<int, 3> phases;
    int lookAhead;
};

constexpr std::array<RateTable, 3> kRates{{
    {8000, {7, 6, 7}, 2},
    {16000, {13, 14, 13}, 3},
    {32000, {27, 26, 27}, 4},
}};

}  // namespace

CFskCallerIdDecoder::CFskCallerIdDecoder() = default;

bool CFskCallerIdDecoder::Init(uint32_t sampleRate) {
    m_sampleRate = 0;
    Reset();
    const auto* entry = std::find_if(kRates.begin(), kRates.end(),
                                     [&](const RateTable& r) { return r.rate == sampleRate; });
    if (entry == kRates.end()) {
        return false;
    }
    const double rate = sampleRate;
    m_phaseLength = entry->phases;
    m_lookAhead = entry->lookAhead;
    m_maxPhase = *std::max_element(m_phaseLength.begin(), m_phaseLength.end());
    for (std::size_t p = 0; p < kPhases; ++p) {
        const auto n = static_cast<std::size_t>(m_phaseLength[p]);
        const std::size_t taps = 2 * n + 1;
        static_assert(kMaxTaps <= kFskMaxTaps && kMaxPhase <= kFskMaxOutputs);
        m_markTaps[p].fill(0.0f);
        m_spaceTaps[p].fill(0.0f);
        if (!DesignBandPassFir(m_markTaps[p].data(), taps, kMarkHz / rate, kBandwidthHz / rate) ||
            !DesignBandPassFir(m_spaceTaps[p].data(), taps, kSpaceHz / rate, kBandwidthHz / rate)) {
            return false;
        }
        // A tone of amplitude A through gain g leaves about (A g)^2 / 2 of
        // energy per output, over the (n + 1) / 2 outputs of a window.
        const double gain = std::min(FirGainAt(m_markTaps[p].data(), taps, kMarkHz / rate),
                                     FirGainAt(m_spaceTaps[p].data(), taps, kSpaceHz / rate));
        const double amplitude = kCarrierFloorAmplitude * gain;
        m_carrierFloor[p] =
            static_cast<float>(static_cast<double>((n + 1) / 2) * amplitude * amplitude / 2.0);
    }
    m_sampleRate = sampleRate;
    return true;
}

void CFskCallerIdDecoder::Start() {
    if (m_sampleRate == 0 || m_state >= 3) {
        return;
    }
    Restart();
}

void CFskCallerIdDecoder::Reset() {
    m_state = 0;
    m_bufferStart = 0;
    m_bufferCount = 0;
    m_pos = 0;
    m_phase = 0;
    m_previousBit = -1;
    m_runCount = 0;
    m_lastMarkPos = -1;
    m_inFrame = false;
    m_frameBit = 0;
    m_byte = 0;
    m_gapHalfBits = 0;
    m_samplesSinceStart = 0;
    m_ticks = 0;
    m_messageCount = 0;
    m_messageSize = 0;
    m_lastError = 0;
    m_fields = FskCallerIdFields{};
}

void CFskCallerIdDecoder::Restart() {
    const FskCallerIdFields kept = m_fields;
    Reset();
    m_fields = kept;
    m_state = 1;
    // The first window reaches a phase back.
    m_pos = m_maxPhase;
}

void CFskCallerIdDecoder::Stop(Result result, int error) {
    m_state = 0;
    m_lastError = result == Result::Failed ? error : 0;
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::Process(const int16_t* samples,
                                                         std::size_t count) {
    if (m_state == 0 || samples == nullptr) {
        return Result::Off;
    }
    std::size_t done = 0;
    while (done < count) {
        const std::size_t piece = std::min(kPieceSamples, count - done);
        Append(samples + done, piece);
        done += piece;
        m_samplesSinceStart += piece;
        const Result result = RunBits();
        if (result != Result::Running) {
            return result;
        }
        m_ticks = static_cast<uint32_t>(m_samplesSinceStart / m_sampleRate);
        if (m_ticks >= kTickLimit) {
            Stop(Result::Failed, kFskErrorTimeout);
            return Result::Failed;
        }
    }
    return Result::Running;
}

void CFskCallerIdDecoder::Append(const int16_t* samples, std::size_t count) {
    // Keep what the next windows can still look back at: a phase before the
    // last mark window (start-bit search) and a phase of filter history.
    int64_t keepFrom = m_pos;
    if (m_lastMarkPos >= 0) {
        keepFrom = std::min(keepFrom, m_lastMarkPos);
    }
    keepFrom -= m_maxPhase + 2;
    const int64_t bufferEnd = m_bufferStart + static_cast<int64_t>(m_bufferCount);
    keepFrom = std::clamp(keepFrom, m_bufferStart, bufferEnd);
    // Never more than the buffer holds, whatever the positions say.
    keepFrom = std::max(keepFrom, bufferEnd - static_cast<int64_t>(kBufferSamples - count));
    const auto drop = static_cast<std::size_t>(keepFrom - m_bufferStart);
    if (drop > 0) {
        m_bufferCount -= drop;
        std::memmove(m_samples.data(), m_samples.data() + drop, m_bufferCount * sizeof(float));
        m_bufferStart = keepFrom;
    }
    ConvertToFloat(samples, m_samples.data() + m_bufferCount, count);
    m_bufferCount += count;
}

int CFskCallerIdDecoder::Decide(int64_t start, std::size_t phase) const {
    const int n = m_phaseLength[phase];
    const auto taps = static_cast<std::size_t>(2 * n + 1);
    // Only the middle half of the bit is weighed: its neighbours, which the
    // filters also reach, disturb the outer quarters most.
    const int outputs = (n + 1) / 2;
    const int64_t first = start - n + (n - outputs) / 2 - m_bufferStart;
    const auto read = static_cast<int64_t>(FskSamplesRead(static_cast<std::size_t>(outputs), taps));
    if (first < 0 || first + read > static_cast<int64_t>(m_bufferCount)) {
        return -1;  // not reached: RunBits and Append keep every window in the buffer
    }
    const FskEnergies e =
        FskFilterEnergies(m_samples.data() + first, static_cast<std::size_t>(outputs),
                          m_markTaps[phase].data(), m_spaceTaps[phase].data(), taps);
    if (std::max(e.mark, e.space) < m_carrierFloor[phase]) {
        return -1;
    }
    return e.mark > e.space ? 1 : 0;
}

void CFskCallerIdDecoder::Advance() {
    m_pos += m_phaseLength[m_phase];
    m_phase = (m_phase + 1) % kPhases;
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::RunBits() {
    const int64_t bufferEnd = m_bufferStart + static_cast<int64_t>(m_bufferCount);
    // Every step reads at most a look-ahead, three phases and the filters'
    // vector padding past m_pos.
    while (m_state != 0 && m_pos + m_lookAhead + 3 * m_maxPhase + 8 <= bufferEnd) {
        Result result = Result::Running;
        switch (m_state) {
            case 1:
                result = StepSeizure();
                break;
            case 2:
                result = StepMark();
                break;
            default:
                result = m_inFrame ? StepFrameBit() : StepAwaitStart();
                break;
        }
        if (result != Result::Running) {
            return result;
        }
    }
    return Result::Running;
}

void CFskCallerIdDecoder::LoseCarrier() {
    m_state = 1;
    m_runCount = 0;
    m_previousBit = -1;
    m_lastMarkPos = -1;
    m_inFrame = false;
    m_messageCount = 0;
    m_messageSize = 0;
    Advance();
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::StepSeizure() {
    const int bit = Decide(m_pos, m_phase);
    if (bit < 0) {
        LoseCarrier();
        return Result::Running;
    }
    if (bit != Decide(m_pos + m_lookAhead, m_phase)) {
        // The window sits on a bit edge: move on by the look-ahead. A sender
        // off the nominal rate needs this every few dozen bits, so the count
        // goes on; the bit after the move is not compared with the one before,
        // because the move may have stepped over a whole bit.
        m_pos += m_lookAhead;
        m_previousBit = -1;
        return Result::Running;
    }
    const bool compared = m_previousBit >= 0;
    if (compared && bit == m_previousBit) {
        m_runCount = 0;  // two equal bits: not a seizure (or not any more)
    }
    const bool alternated = compared && bit != m_previousBit;
    m_previousBit = bit;
    Advance();
    if (!alternated) {
        return Result::Running;
    }
    if (++m_runCount >= kRunBits) {
        m_pos += m_lookAhead / 2;
        m_state = 2;
        m_runCount = 0;
    }
    return Result::Running;
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::StepMark() {
    const int bit = Decide(m_pos, m_phase);
    if (bit < 0) {
        LoseCarrier();
        return Result::Running;
    }
    m_runCount = bit == 1 ? m_runCount + 1 : 0;
    m_lastMarkPos = bit == 1 ? m_pos : -1;
    Advance();
    if (m_runCount >= kRunBits) {
        m_state = 3;
        m_gapHalfBits = 0;
        m_inFrame = false;
    }
    return Result::Running;
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::StepAwaitStart() {
    const int bit = Decide(m_pos, m_phase);
    if (bit < 0) {
        LoseCarrier();
        return Result::Running;
    }
    if (bit == 1) {
        // Half-bit steps: a start bit cannot slip between two windows.
        m_lastMarkPos = m_pos;
        m_pos += std::max(1, m_phaseLength[m_phase] / 2);
        if (m_state != 3 && ++m_gapHalfBits > 2 * kMaxGapBits) {
            Stop(Result::Failed, kFskErrorNoStartBit);
            return Result::Failed;
        }
        return Result::Running;
    }
    // The start-bit edge lies between the last mark window and this one: the
    // first window start that already decides 0 is half a window before it.
    const int n = m_phaseLength[m_phase];
    int64_t first = m_lastMarkPos >= 0 ? m_lastMarkPos + 1 : m_pos;
    while (first < m_pos && Decide(first, m_phase) != 0) {
        ++first;
    }
    const int64_t startBit = first + n / 2;
    if (Decide(startBit, 0) != 0) {
        // Too short for a start bit: keep looking after it.
        m_lastMarkPos = -1;
        m_pos = startBit + 1;
        return Result::Running;
    }
    m_inFrame = true;
    m_frameBit = 1;
    m_byte = 0;
    m_phase = 0;
    m_pos = startBit;
    Advance();
    return Result::Running;
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::StepFrameBit() {
    const int bit = Decide(m_pos, m_phase);
    if (bit < 0) {
        LoseCarrier();
        return Result::Running;
    }
    if (m_frameBit <= 8) {
        m_byte |= static_cast<unsigned>(bit) << (m_frameBit - 1);
        ++m_frameBit;
        Advance();
        return Result::Running;
    }
    if (bit != 1) {
        Stop(Result::Failed, kFskErrorStopBit);
        return Result::Failed;
    }
    m_inFrame = false;
    m_lastMarkPos = m_pos;
    m_gapHalfBits = 0;
    m_pos += std::max(1, m_phaseLength[m_phase] / 2);
    return TakeByte(static_cast<uint8_t>(m_byte));
}

CFskCallerIdDecoder::Result CFskCallerIdDecoder::TakeByte(uint8_t byte) {
    if (m_messageCount >= m_message.size()) {
        Stop(Result::Failed, kFskErrorTruncated);  // cannot happen: L + 3 always fits
        return Result::Failed;
    }
    m_message[m_messageCount++] = byte;
    if (m_state == 3) {
        m_state = 4;
    }
    if (m_messageCount == 1) {
        if (byte != kFskSingleDataMessage && byte != kFskMultipleDataMessage) {
            Stop(Result::Failed, kFskErrorType);
            return Result::Failed;
        }
        return Result::Running;
    }
    if (m_messageCount == 2) {
        m_messageSize = static_cast<std::size_t>(byte) + 3;
        static_assert(255 + 3 <= kFskMaxMessageBytes, "every length byte fits the buffer");
        m_state = 5;
        return Result::Running;
    }
    if (m_messageCount < m_messageSize) {
        return Result::Running;
    }
    FskCallerIdFields fields;
    const FskCallerIdError error =
        ParseFskCallerIdMessage(m_message.data(), m_messageCount, fields);
    if (error != kFskErrorNone) {
        Stop(Result::Failed, error);
        return Result::Failed;
    }
    m_fields = fields;
    Stop(Result::NumberReady, 0);
    return Result::NumberReady;
}

}  // namespace zorv
