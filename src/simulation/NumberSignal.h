// The number signals a simulated line can carry, as an exchange or a phone
// sends them: the AON answer of a Russian exchange (2-out-of-6 multi-frequency
// symbols of 40 ms: start, category, the seven digits last to first, twice),
// a Bell 202 FSK caller-ID message in the single-data format (channel
// seizure, mark, type 4 with date, time and number, checksum), and DTMF keys
// (70 ms on, 70 ms off) for a DTMF caller ID ("A5551234C") or dialled digits.
//
// A signal is a pure function of the time since it began; the waveforms are
// laid out once when the signal is made. Plain values, no locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorv {

enum class SimSignalKind { kAon, kFsk, kDtmf };

struct SimNumberSignal {
    int64_t timeMs = 0;  // when it begins on the line's timeline
    SimSignalKind kind = SimSignalKind::kDtmf;
    // AON: seven digits; FSK: up to 40 digits, or "P" (private) or "O" (out
    // of area); DTMF: up to 40 keys of "0123456789ABCD*#".
    std::string text;
    int category = 1;  // AON: 0..9
};

// An empty text when the signal can be sent, else what is wrong with it.
std::string CheckNumberSignal(const SimNumberSignal& signal);

// Reads "aon <7 digits> [<category>]", "fsk <number>|P|O" or "dtmf <keys>"
// into signal (its time left alone). False with a reason in error when the
// text is a number signal that cannot be sent; false with an empty error
// when it does not begin with one of the three kinds.
bool ParseNumberSignal(std::string_view text, SimNumberSignal& signal, std::string& error);

class CNumberSignal {
public:
    // Peaks of each tone of a pair (AON, DTMF) and of the FSK carrier: about
    // -10 dBm0 per tone.
    static constexpr double kToneAmplitude = 7000;
    static constexpr double kFskAmplitude = 7000;
    static constexpr double kAonSymbolSeconds = 0.040;
    static constexpr int kAonRepeats = 2;
    static constexpr double kDtmfOnSeconds = 0.070;
    static constexpr double kDtmfOffSeconds = 0.070;
    static constexpr double kFskBaud = 1200;
    static constexpr int kSeizureBits = 300;
    static constexpr int kMarkBits = 180;
    static constexpr int kTrailingMarkBits = 10;

    // The signal must be valid (CheckNumberSignal).
    explicit CNumberSignal(const SimNumberSignal& signal);

    int64_t StartMs() const { return m_startMs; }
    double Seconds() const { return m_seconds; }
    // The value t seconds after the signal began; 0 outside it.
    double At(double t) const;

    // The 2-out-of-6 symbols of an AON answer in the order they are sent
    // (one cycle): start (11), the category, then the digits from last to
    // first; of two equal neighbours the earlier becomes the repeat symbol
    // (10).
    static std::vector<int> AonSymbols(std::string_view digits, int category);
    // The bytes of a single-data-format message with its checksum.
    static std::vector<uint8_t> SdmfMessage(std::string_view number);

private:
    struct Tone {
        double start;
        double seconds;
        double f1;
        double f2;
    };

    int64_t m_startMs;
    SimSignalKind m_kind;
    double m_seconds = 0;
    std::vector<Tone> m_tones;      // AON and DTMF
    std::vector<uint8_t> m_bits;    // FSK, in the order sent
    std::vector<double> m_phases;   // FSK: carrier phase at the start of each bit
};

}  // namespace zorv
