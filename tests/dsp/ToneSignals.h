// Test signals for the tone decoders, made by spandsp's generators (DTMF
// sender, tone generator, white noise, G.711) at 8000 Hz and resampled by
// sox for the other rates, so that no decoder is judged by signals of the
// project's own making.
#pragma once

#include <spandsp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace zorv::test {

using Signal = std::vector<int16_t>;

inline void Append(Signal& to, const Signal& from) {
    to.insert(to.end(), from.begin(), from.end());
}

inline Signal Silence(int ms, uint32_t rate = 8000) {
    return Signal(static_cast<std::size_t>(rate) * ms / 1000, 0);
}

// DTMF keys (spandsp's characters: 0-9 * # A-D) sent by spandsp's DTMF sender
// with the given timing; levelDbm0 is the low tone, twistDb the high tone's
// extra level. Ends after the last off time.
inline Signal Dtmf(const std::string& keys, int onMs, int offMs, int levelDbm0 = -10,
                   int twistDb = 0) {
    dtmf_tx_state_t* tx = dtmf_tx_init(nullptr);
    dtmf_tx_set_level(tx, levelDbm0, twistDb);
    dtmf_tx_set_timing(tx, onMs, offMs);
    Signal out;
    std::size_t put = 0;
    int16_t buffer[160];
    for (;;) {
        if (put < keys.size()) {
            // Returns how many keys did not fit into the sender's queue.
            const int left =
                dtmf_tx_put(tx, keys.c_str() + put, static_cast<int>(keys.size() - put));
            put = keys.size() - static_cast<std::size_t>(left > 0 ? left : 0);
        }
        const int n = dtmf_tx(tx, buffer, 160);
        if (n <= 0 && put >= keys.size()) {
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    dtmf_tx_free(tx);
    return out;
}

// One or two tones (f2 = 0 for one) at the given levels in dBm0 for a time,
// from spandsp's tone generator.
inline Signal Tones(int f1, int level1, int f2, int level2, int ms) {
    tone_gen_descriptor_t* descriptor =
        tone_gen_descriptor_init(nullptr, f1, level1, f2, level2, ms, 0, 0, 0, 0);
    tone_gen_state_t* gen = tone_gen_init(nullptr, descriptor);
    Signal out(static_cast<std::size_t>(8 * ms), 0);
    const int n = tone_gen(gen, out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    tone_gen_free(gen);
    tone_gen_descriptor_free(descriptor);
    return out;
}

// The sum of two signals (as long as the shorter one), saturated.
inline Signal Mix(const Signal& a, const Signal& b) {
    Signal out(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int v = a[i] + b[i];
        out[i] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
    return out;
}

// Adds spandsp's white noise at levelDbm0 (seeded, so every run is the same).
inline Signal WithNoise(const Signal& in, float levelDbm0, int seed = 1234) {
    awgn_state_t* noise = awgn_init_dbm0(nullptr, seed, levelDbm0);
    Signal out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        const int v = in[i] + awgn(noise);
        out[i] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
    awgn_free(noise);
    return out;
}

// Sends the signal through an A-law link (spandsp's G.711 tables).
inline Signal AlawRoundTrip(const Signal& in) {
    Signal out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        out[i] = alaw_to_linear(linear_to_alaw(in[i]));
    }
    return out;
}

// Resamples an 8000 Hz signal to `rate` with sox.
inline Signal Resample(const Signal& in, uint32_t rate) {
    if (rate == 8000) {
        return in;
    }
    CTempDir dir;
    const std::string from = dir.File("in.raw");
    const std::string to = dir.File("out.raw");
    {
        std::ofstream file(from, std::ios::binary);
        file.write(reinterpret_cast<const char*>(in.data()),
                   static_cast<std::streamsize>(in.size() * sizeof(int16_t)));
    }
    const std::string command = "sox -q -D -t raw -r 8000 -e signed -b 16 -c 1 '" + from +
                                "' -t raw -r " + std::to_string(rate) + " -e signed -b 16 -c 1 '" +
                                to + "'";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("sox failed: " + command);
    }
    std::ifstream file(to, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    Signal out(bytes.size() / sizeof(int16_t));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(out.size() * 2),
              reinterpret_cast<char*>(out.data()));
    return out;
}

}  // namespace zorv::test
