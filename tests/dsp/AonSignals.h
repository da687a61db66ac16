// AON answers for tests: 2-out-of-6 symbols from spandsp's tone generator.
#pragma once

#include <vector>

#include "dsp/ToneSignals.h"

namespace zorv::test {

// Symbol codes 0..9, 10 repeat, 11 start; kTriple is a frame of three
// equal tones (700+900+1100 Hz) that is no symbol.
constexpr int kAonRepeat = 10;
constexpr int kAonStart = 11;
constexpr int kAonTriple = 99;

struct AonPair {
    int low;
    int high;
};

inline AonPair AonTones(int symbol) {
    static const AonPair kPairs[12] = {
        {1300, 1500}, {700, 900},  {700, 1100}, {900, 1100},  {700, 1300},  {900, 1300},
        {1100, 1300}, {700, 1500}, {900, 1500}, {1100, 1500}, {1300, 1700}, {1100, 1700},
    };
    return kPairs[symbol];
}

// The symbols, each `ms` long, at levelDbm0 per tone; frequencies moved by
// `share` (0.015 = +1.5 %).
inline Signal AonSymbols(const std::vector<int>& symbols, int ms, int levelDbm0 = -10,
                         double share = 0.0) {
    Signal out;
    for (int symbol : symbols) {
        if (symbol == kAonTriple) {
            Append(out, Mix(Tones(700, levelDbm0, 900, levelDbm0, ms),
                            Tones(1100, levelDbm0, 0, 0, ms)));
            continue;
        }
        const AonPair pair = AonTones(symbol);
        Append(out, Tones(static_cast<int>(std::lround(pair.low * (1 + share))), levelDbm0,
                          static_cast<int>(std::lround(pair.high * (1 + share))), levelDbm0, ms));
    }
    return out;
}

// A typical answer: start, category 1, the digits
// of 8901234 from the last.
inline std::vector<int> AonExample() {
    return {kAonStart, 1, 4, 3, 2, 1, 0, 9, 8};
}

}  // namespace zorv::test
