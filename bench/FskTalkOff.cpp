// Talk-off of the Bell 202 caller-ID decoder: a few minutes of recorded speech
// (the first prompt files by name), the decoder started as after a ring every
// 4 s. Prints the messages and numbers it reports (every one is false) and its
// errors by code, and the messages spandsp's adsi_rx reports on the same audio.
//
// Usage: FskTalkOff [files (default 50)] [rate: 8000, 16000 or 32000]
#include <array>
#include <cstdio>
#include <cstdlib>

#include "FskBenchSignals.h"
#include "dsp/FskCallerIdDecoder.h"

namespace {

void PutMessage(void* user, const uint8_t*, int len) {
    if (len > 0) {
        ++*static_cast<int*>(user);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 50;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 8000;
    const std::vector<int16_t> speech = zorv::bench::Speech(files, rate);
    if (speech.empty()) {
        std::fprintf(stderr, "no speech (asterisk-core-sounds-en-wav and sox needed)\n");
        return 1;
    }
    zorv::CFskCallerIdDecoder decoder;
    if (!decoder.Init(static_cast<uint32_t>(rate))) {
        std::fprintf(stderr, "rate %d not supported\n", rate);
        return 1;
    }
    const std::size_t block = static_cast<std::size_t>(rate) / 125;
    const std::size_t ringEvery = 4 * static_cast<std::size_t>(rate);
    int starts = 0;
    int messages = 0;
    int numbers = 0;
    std::array<int, 8> errors{};
    int maxState = 0;
    std::array<int, 6> reached{};  // windows in which each state was reached
    int windowMax = 0;
    for (std::size_t at = 0; at < speech.size(); at += block) {
        if (at % ringEvery == 0) {
            if (starts > 0) {
                ++reached[static_cast<std::size_t>(windowMax)];
            }
            decoder.Reset();
            decoder.Start();
            ++starts;
            windowMax = 1;
        }
        const auto n = std::min(block, speech.size() - at);
        const auto result = decoder.Process(speech.data() + at, n);
        windowMax = std::max(windowMax, decoder.State());
        maxState = std::max(maxState, decoder.State());
        if (result == zorv::CFskCallerIdDecoder::Result::NumberReady) {
            ++messages;
            if (decoder.HasNumber()) {
                ++numbers;
                std::printf("false number at %.2f s: \"%s\"\n", static_cast<double>(at) / rate,
                            decoder.Number());
            }
        } else if (result == zorv::CFskCallerIdDecoder::Result::Failed) {
            ++errors[static_cast<std::size_t>(std::min(decoder.LastError(), 7))];
        }
    }
    ++reached[static_cast<std::size_t>(windowMax)];

    std::printf("speech: %d files, %.1f s at %d Hz, %d starts (every 4 s)\n", files,
                static_cast<double>(speech.size()) / rate, rate, starts);
    std::printf("decoder: %d false messages, %d false numbers\n", messages, numbers);
    std::printf(
        "errors: type %d, no start bit %d, stop bit %d, checksum %d, short %d, "
        "time limit %d\n",
        errors[1], errors[2], errors[3], errors[4], errors[5], errors[6]);
    std::printf(
        "furthest state per start: seizure %d, mark %d, first start bit %d, "
        "header %d, body %d\n",
        reached[1], reached[2], reached[3], reached[4], reached[5]);

    // spandsp's receiver hears 8000 Hz only.
    const std::vector<int16_t> speech8k = rate == 8000 ? speech : zorv::bench::Speech(files);
    int spandspMessages = 0;
    adsi_rx_state_t* rx = adsi_rx_init(nullptr, ADSI_STANDARD_CLASS, PutMessage, &spandspMessages);
    for (std::size_t at = 0; at < speech8k.size(); at += 64) {
        adsi_rx(rx, speech8k.data() + at,
                static_cast<int>(std::min<std::size_t>(64, speech8k.size() - at)));
    }
    adsi_rx_free(rx);
    std::printf("spandsp adsi_rx (8000 Hz, listening throughout): %d false messages\n",
                spandspMessages);
    return numbers == 0 ? 0 : 2;
}
