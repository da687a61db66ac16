#include "simulation/NumberSignal.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>
#include <numbers>

namespace zorv {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kAonHz[6] = {700, 900, 1100, 1300, 1500, 1700};
// The pair of each AON symbol 0..11, as indexes into kAonHz.
constexpr int kAonPairs[12][2] = {
    {3, 4},  // 0: 1300 + 1500
    {0, 1},  // 1: 700 + 900
    {0, 2},  // 2: 700 + 1100
    {1, 2},  // 3: 900 + 1100
    {0, 3},  // 4: 700 + 1300
    {1, 3},  // 5: 900 + 1300
    {2, 3},  // 6: 1100 + 1300
    {0, 4},  // 7: 700 + 1500
    {1, 4},  // 8: 900 + 1500
    {2, 4},  // 9: 1100 + 1500
    {3, 5},  // 10, repeat: 1300 + 1700
    {2, 5},  // 11, start: 1100 + 1700
};
constexpr int kAonRepeat = 10;
constexpr int kAonStart = 11;

constexpr std::string_view kDtmfKeys = "123A456B789C*0#D";
constexpr double kDtmfRows[4] = {697, 770, 852, 941};
constexpr double kDtmfColumns[4] = {1209, 1336, 1477, 1633};

constexpr double kMarkHz = 1200;   // bit 1
constexpr double kSpaceHz = 2200;  // bit 0
// Date and time the simulated exchange puts into its messages: 10 December,
// 15:30.
constexpr std::string_view kFskDateTime = "12101530";

bool AllOf(std::string_view text, std::string_view allowed) {
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

}  // namespace

std::string CheckNumberSignal(const SimNumberSignal& signal) {
    const std::string_view text = signal.text;
    switch (signal.kind) {
        case SimSignalKind::kAon:
            if (text.size() != 7 || !AllOf(text, "0123456789")) {
                return "an AON answer carries seven digits";
            }
            if (signal.category < 0 || signal.category > 9) {
                return "an AON category is 0..9";
            }
            return {};
        case SimSignalKind::kFsk:
            if (text == "P" || text == "O") {
                return {};
            }
            if (text.empty() || text.size() > 40 || !AllOf(text, "0123456789")) {
                return "an FSK caller ID carries 1 to 40 digits, P or O";
            }
            return {};
        case SimSignalKind::kDtmf:
            if (text.empty() || text.size() > 40 || !AllOf(text, kDtmfKeys)) {
                return "DTMF carries 1 to 40 keys of 0-9, A-D, * and #";
            }
            return {};
    }
    return "unknown signal";
}

bool ParseNumberSignal(std::string_view text, SimNumberSignal& signal, std::string& error) {
    std::vector<std::string_view> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    error.clear();
    static constexpr std::pair<std::string_view, SimSignalKind> kKinds[] = {
        {"aon", SimSignalKind::kAon}, {"fsk", SimSignalKind::kFsk}, {"dtmf", SimSignalKind::kDtmf}};
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const auto& k) {
        return !words.empty() && words[0] == k.first;
    });
    if (kind == std::end(kKinds)) {
        return false;
    }
    const bool withCategory = kind->second == SimSignalKind::kAon && words.size() == 3;
    if (words.size() != 2 && !withCategory) {
        error = "expected aon <digits> [<category>], fsk <number> or dtmf <keys>";
        return false;
    }
    signal.kind = kind->second;
    signal.text = std::string(words[1]);
    signal.category = 1;
    if (withCategory) {
        if (words[2].size() != 1 || words[2][0] < '0' || words[2][0] > '9') {
            error = "an AON category is 0..9";
            return false;
        }
        signal.category = words[2][0] - '0';
    }
    error = CheckNumberSignal(signal);
    return error.empty();
}

std::vector<int> CNumberSignal::AonSymbols(std::string_view digits, int category) {
    std::vector<int> sent = {kAonStart, category};
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        sent.push_back(*it - '0');
    }
    // A symbol equal to the one after it is sent as the repeat symbol,
    // unless that one is a repeat already (X X X goes out as X R X).
    for (std::size_t i = sent.size() - 1; i-- > 0;) {
        if (sent[i] == sent[i + 1]) {
            sent[i] = kAonRepeat;
        }
    }
    return sent;
}

std::vector<uint8_t> CNumberSignal::SdmfMessage(std::string_view number) {
    std::vector<uint8_t> message;
    message.reserve(3 + kFskDateTime.size() + number.size());
    message.push_back(0x04);
    message.push_back(static_cast<uint8_t>(kFskDateTime.size() + number.size()));
    for (const std::string_view part : {kFskDateTime, number}) {
        for (const char c : part) {
            message.push_back(static_cast<uint8_t>(c));
        }
    }
    unsigned sum = 0;
    for (const uint8_t byte : message) {
        sum += byte;
    }
    message.push_back(static_cast<uint8_t>(-sum & 0xFF));
    return message;
}

CNumberSignal::CNumberSignal(const SimNumberSignal& signal)
    : m_startMs(signal.timeMs), m_kind(signal.kind) {
    switch (signal.kind) {
        case SimSignalKind::kAon: {
            const std::vector<int> cycle = AonSymbols(signal.text, signal.category);
            double at = 0;
            for (int r = 0; r < kAonRepeats; ++r) {
                for (const int symbol : cycle) {
                    const auto& pair = kAonPairs[symbol];
                    m_tones.push_back({at, kAonSymbolSeconds, kAonHz[pair[0]], kAonHz[pair[1]]});
                    at += kAonSymbolSeconds;
                }
            }
            m_seconds = at;
            break;
        }
        case SimSignalKind::kDtmf: {
            double at = 0;
            for (const char key : signal.text) {
                const std::size_t k = kDtmfKeys.find(key);
                m_tones.push_back({at, kDtmfOnSeconds, kDtmfRows[k / 4], kDtmfColumns[k % 4]});
                at += kDtmfOnSeconds + kDtmfOffSeconds;
            }
            m_seconds = at;
            break;
        }
        case SimSignalKind::kFsk: {
            for (int i = 0; i < kSeizureBits; ++i) {
                m_bits.push_back(static_cast<uint8_t>(i & 1));
            }
            m_bits.insert(m_bits.end(), kMarkBits, 1);
            for (const uint8_t byte : SdmfMessage(signal.text)) {
                m_bits.push_back(0);  // start bit
                for (int b = 0; b < 8; ++b) {
                    m_bits.push_back(static_cast<uint8_t>((byte >> b) & 1));
                }
                m_bits.push_back(1);  // stop bit
            }
            m_bits.insert(m_bits.end(), kTrailingMarkBits, 1);
            // Phase-continuous: each bit starts where the one before ended.
            double phase = 0;
            for (const uint8_t bit : m_bits) {
                m_phases.push_back(phase);
                phase = std::fmod(phase + kTwoPi * (bit != 0 ? kMarkHz : kSpaceHz) / kFskBaud,
                                  kTwoPi);
            }
            m_seconds = static_cast<double>(m_bits.size()) / kFskBaud;
            break;
        }
    }
}

double CNumberSignal::At(double t) const {
    if (t < 0 || t >= m_seconds) {
        return 0;
    }
    if (m_kind == SimSignalKind::kFsk) {
        const auto k = static_cast<std::size_t>(t * kFskBaud);
        if (k >= m_bits.size()) {
            return 0;
        }
        const double hz = m_bits[k] != 0 ? kMarkHz : kSpaceHz;
        const double into = t - static_cast<double>(k) / kFskBaud;
        return kFskAmplitude * std::sin(m_phases[k] + kTwoPi * hz * into);
    }
    for (const Tone& tone : m_tones) {
        if (t >= tone.start && t < tone.start + tone.seconds) {
            const double into = t - tone.start;
            return kToneAmplitude *
                   (std::sin(kTwoPi * tone.f1 * into) + std::sin(kTwoPi * tone.f2 * into));
        }
    }
    return 0;
}

}  // namespace zorv
