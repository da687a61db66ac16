#include "dsp/DtmfCallerIdDecoder.h"

#include <algorithm>
#include <cstring>

#include "dsp/DtmfTones.h"

namespace zorv {

namespace {

// Rows are the low frequencies, columns the high ones.
constexpr uint8_t kKeys[4][4] = {
    {1, 2, 3, 10},
    {4, 5, 6, 11},
    {7, 8, 9, 12},
    {15, 0, 16, 13},
};
constexpr int kMinSignChanges = 7;
constexpr int kMinPeak = 1000;
constexpr int kMaxOtherFrames = 3;
// A key's weaker tone must reach about -40 dBm0 (amplitude 228): the power
// of such a tone over a frame of L samples is (228 L / 2)^2.
constexpr double kMinToneAmplitude = 228.0;

bool IsDigit(uint8_t symbol) {
    return symbol <= 9;
}

}  // namespace

bool CDtmfCallerIdDecoder::Init(uint32_t sampleRate) {
    m_sampleRate = 0;
    m_state = 0;
    if (!IsToneDecoderRate(sampleRate)) {
        Reset();
        return false;
    }
    m_frameLength = sampleRate / 30;
    m_stepLength = sampleRate / 320;
    const double halfFrame = kMinToneAmplitude * static_cast<double>(m_frameLength) / 2.0;
    m_minTonePower = static_cast<float>(halfFrame * halfFrame);
    for (std::size_t f = 0; f < 8; ++f) {
        m_bank.SetCoefficient(f, GoertzelExactCoefficient(kDtmfFrequencies[f], sampleRate));
    }
    m_sampleRate = sampleRate;
    Reset();
    return true;
}

void CDtmfCallerIdDecoder::Reset() {
    Restart();
    m_state = m_sampleRate != 0 ? 1 : 0;
    m_tickSamples = 0;
    m_ticks = 0;
    m_numberLength = 0;
}

void CDtmfCallerIdDecoder::Restart() {
    m_state = 1;
    m_bank.Reset();
    m_fill = 0;
    m_signChanges = 0;
    m_peak = 0;
    m_lastNegative = false;
    m_otherFrames = 0;
    m_symbolCount = 0;
}

bool CDtmfCallerIdDecoder::Process(const int16_t* samples, std::size_t count) {
    bool ready = false;
    std::size_t pos = 0;
    while (pos < count && m_state != 0 && samples != nullptr) {
        // Every full second of samples is one tick of the optional limit.
        std::size_t run = std::min<std::size_t>(count - pos, m_sampleRate - m_tickSamples);
        if (m_state == 1) {
            run = std::min(run, m_stepLength - m_fill);
            for (std::size_t i = 0; i < run; ++i) {
                const int x = samples[pos + i];
                const bool negative = x < 0;
                if (m_fill + i > 0 && negative != m_lastNegative) {
                    ++m_signChanges;
                }
                m_lastNegative = negative;
                m_peak = std::max(m_peak, x < 0 ? -x : x);
            }
            m_fill += run;
            if (m_fill == m_stepLength) {
                EndStep();
            }
        } else {
            run = std::min(run, m_frameLength - m_fill);
            m_bank.Update(samples + pos, run);
            m_fill += run;
            if (m_fill == m_frameLength) {
                const uint8_t symbol = DecideFrame();
                m_bank.Reset();
                m_fill = 0;
                ready = OnFrame(symbol) || ready;
            }
        }
        pos += run;
        m_tickSamples += static_cast<uint32_t>(run);
        if (m_tickSamples == m_sampleRate) {
            m_tickSamples = 0;
            ++m_ticks;
            if (m_tickLimit != 0 && m_ticks >= m_tickLimit) {
                m_state = 0;
            }
        }
    }
    return ready;
}

void CDtmfCallerIdDecoder::EndStep() {
    const bool signal = m_signChanges >= kMinSignChanges && m_peak >= kMinPeak;
    m_fill = 0;
    m_signChanges = 0;
    m_peak = 0;
    if (signal) {
        m_bank.Reset();
        m_state = 2;
    }
}

uint8_t CDtmfCallerIdDecoder::DecideFrame() const {
    float power[8];
    m_bank.Powers(power);
    int first = -1;
    int second = -1;
    int third = -1;
    for (int f = 0; f < 8; ++f) {
        if (first < 0 || power[f] > power[first]) {
            third = second;
            second = first;
            first = f;
        } else if (second < 0 || power[f] > power[second]) {
            third = second;
            second = f;
        } else if (third < 0 || power[f] > power[third]) {
            third = f;
        }
    }
    if (!(power[second] * 0.25f > power[third]) || power[second] < m_minTonePower) {
        return kNoSymbol;
    }
    const int low = std::min(first, second);
    const int high = std::max(first, second);
    if (low >= 4 || high < 4) {
        return kNoSymbol;
    }
    return kKeys[low][high - 4];
}

void CDtmfCallerIdDecoder::Keep(uint8_t symbol) {
    if (m_symbolCount < kMaxSymbols) {
        m_symbols[m_symbolCount++] = symbol;
    }
}

bool CDtmfCallerIdDecoder::OnFrame(uint8_t symbol) {
    switch (m_state) {
        case 2:
            if (symbol == kSymbolA || symbol == kSymbolB || symbol == kSymbolD) {
                m_symbolCount = 0;
                Keep(symbol);
                m_state = 4;
            } else {
                Restart();
            }
            return false;
        case 4:
            if (symbol == kNoSymbol) {
                m_otherFrames = 0;
                m_state = 3;
            }
            return false;
        case 3:
            if (IsDigit(symbol) || symbol == kSymbolB || symbol == kSymbolD) {
                Keep(symbol);
                m_otherFrames = 0;
                m_state = 4;
            } else if (symbol == kSymbolC) {
                Keep(symbol);
                m_state = 5;
            } else if (++m_otherFrames >= kMaxOtherFrames) {
                Restart();
            }
            return false;
        case 5:
            if (symbol != kNoSymbol) {
                return false;
            }
            {
                const bool number = CompleteMessage();
                Restart();
                if (!m_continue) {
                    m_state = 0;
                }
                return number;
            }
        default:
            return false;
    }
}

bool CDtmfCallerIdDecoder::CompleteMessage() {
    const auto setText = [this](const char* text) {
        m_numberLength = std::min(std::strlen(text), kMaxNumber);
        std::memcpy(m_number.data(), text, m_numberLength);
        return true;
    };
    if (m_symbols[0] == kSymbolB && m_symbolCount >= 3) {
        if (m_symbols[1] == 0 && m_symbols[2] == 0) {
            return setText("Out of area");
        }
        if (m_symbols[1] == 1 && m_symbols[2] == 0) {
            return setText("Private");
        }
    }
    std::size_t length = 0;
    for (std::size_t i = 1; i < m_symbolCount && length < kMaxNumber && IsDigit(m_symbols[i]);
         ++i) {
        m_number[length++] = static_cast<char>('0' + m_symbols[i]);
    }
    // A message without digits leaves the previous number in place.
    if (length == 0) {
        return false;
    }
    m_numberLength = length;
    return true;
}

}  // namespace zorv
