#include "dsp/DtmfDecoder.h"

#include <algorithm>
#include <cmath>

#include "dsp/DtmfTones.h"

namespace zorv {

namespace {

constexpr char kSymbols[4][4] = {
    {'1', '2', '3', 'A'},
    {'4', '5', '6', 'B'},
    {'7', '8', '9', 'C'},
    {'x', '0', '#', 'D'},
};
constexpr float kGroupShare = 0.8f;
// The row and column tones together must hold this share of the frame's
// energy (as their bins measure it). Speech with one strong formant in each
// group passes the 0.8 rule but spreads its energy elsewhere; a DTMF key
// keeps its share even 1.5 % off frequency, where a tone can lie 0.8 bins
// from its filter and keep only a twentieth of its power there.
constexpr float kToneShare = 0.1f;

// Sum of squares, exact in integers (and so free to vectorise).
float Energy(const int16_t* samples, std::size_t count) {
    int64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += static_cast<int32_t>(samples[i]) * samples[i];
    }
    return static_cast<float>(sum);
}

// The member of a group of four with more than kGroupShare of the group's
// power, or -1.
int Dominant(const float* power) {
    const float sum = power[0] + power[1] + power[2] + power[3];
    int best = -1;
    for (int i = 0; i < 4; ++i) {
        if (power[i] > kGroupShare * sum && (best < 0 || power[i] > power[best])) {
            best = i;
        }
    }
    return best;
}

}  // namespace

bool CDtmfDecoder::Init(uint32_t sampleRate) {
    m_sampleRate = 0;
    m_frameLength = 0;
    m_chunkLength = 0;
    if (!IsToneDecoderRate(sampleRate)) {
        Reset();
        return false;
    }
    m_frameLength = static_cast<std::size_t>(std::lround(0.03 * sampleRate));
    m_chunkLength = sampleRate / 500;
    for (std::size_t f = 0; f < 8; ++f) {
        m_bank.SetCoefficient(
            f, GoertzelBinCoefficient(kDtmfFrequencies[f], m_frameLength, sampleRate));
    }
    m_sampleRate = sampleRate;
    Reset();
    return true;
}

void CDtmfDecoder::Reset() {
    m_bank.Reset();
    m_frameFill = 0;
    m_frameEnergy = 0.0f;
    m_chunkFill = 0;
    m_previous = kNoSymbol;
    m_accepted = false;
    m_digitCount = 0;
}

void CDtmfDecoder::Process(const int16_t* samples, std::size_t count) {
    if (m_sampleRate == 0 || samples == nullptr) {
        return;
    }
    std::size_t pos = 0;
    if (m_chunkFill > 0) {
        const std::size_t take = std::min(count, m_chunkLength - m_chunkFill);
        std::copy_n(samples, take, m_chunk.begin() + static_cast<std::ptrdiff_t>(m_chunkFill));
        m_chunkFill += take;
        pos = take;
        if (m_chunkFill < m_chunkLength) {
            return;
        }
        ProcessChunk(m_chunk.data());
        m_chunkFill = 0;
    }
    while (count - pos >= m_chunkLength) {
        ProcessChunk(samples + pos);
        pos += m_chunkLength;
    }
    const std::size_t rest = count - pos;
    std::copy_n(samples + pos, rest, m_chunk.begin());
    m_chunkFill = rest;
}

void CDtmfDecoder::ProcessChunk(const int16_t* chunk) {
    int high = 0;
    int low = 0;
    for (std::size_t i = 0; i < m_chunkLength; ++i) {
        high = std::max<int>(high, chunk[i]);
        low = std::min<int>(low, chunk[i]);
    }
    if (std::max(high, -low) < kPeakGate) {
        m_bank.Reset();
        m_frameFill = 0;
        m_frameEnergy = 0.0f;
        OnSymbol(kNoSymbol);
        return;
    }
    const std::size_t take = std::min(m_chunkLength, m_frameLength - m_frameFill);
    m_bank.Update(chunk, take);
    m_frameEnergy += Energy(chunk, take);
    m_frameFill += take;
    if (m_frameFill < m_frameLength) {
        return;
    }
    const char symbol = DecideFrame();
    m_bank.Reset();
    m_frameFill = m_chunkLength - take;
    m_bank.Update(chunk + take, m_frameFill);
    m_frameEnergy = Energy(chunk + take, m_frameFill);
    OnSymbol(symbol);
}

char CDtmfDecoder::DecideFrame() const {
    float power[8];
    m_bank.Powers(power);
    const int row = Dominant(power);
    const int column = Dominant(power + 4);
    if (row < 0 || column < 0) {
        return kNoSymbol;
    }
    // A tone of energy E over N samples has the Goertzel power E N / 2.
    const float tonePower = power[row] + power[4 + column];
    if (tonePower < kToneShare * 0.5f * static_cast<float>(m_frameLength) * m_frameEnergy) {
        return kNoSymbol;
    }
    return kSymbols[row][column];
}

void CDtmfDecoder::OnSymbol(char symbol) {
    bool take = false;
    if (symbol == kNoSymbol) {
        m_accepted = false;
    } else if (m_extraSensitivity) {
        take = symbol != m_previous;
    } else if (symbol != m_previous) {
        m_accepted = false;
    } else if (!m_accepted) {
        m_accepted = true;
        take = true;
    }
    m_previous = symbol;
    if (take && m_digitCount < kMaxDigits) {
        m_digits[m_digitCount++] = symbol;
    }
}

}  // namespace zorv
