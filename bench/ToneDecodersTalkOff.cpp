// Talk-off of the caller-number decoders: a few minutes of recorded speech
// (the first prompts by name of asterisk-core-sounds-en-wav) fed through
// the dialled-digit decoder (normal and extra sensitivity), the DTMF
// caller-ID decoder and the AON decoder, at 8000 Hz and at the other rates
// (resampled by sox); spandsp's DTMF receiver hears the same 8000 Hz audio.
// Every digit or number reported is false.
//
// Usage: ToneDecodersTalkOff [files (default 150)]
#include <cstdio>
#include <cstdlib>

#include "dsp/SpeechCorpus.h"
#include "dsp/TalkOff.h"

int main(int argc, char** argv) {
    const std::size_t files = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 150;
    std::printf("%-7s %7s | %-26s | %-26s | %-26s | %-26s | %-26s\n", "rate", "minutes",
                "DTMF normal digits (/min)", "DTMF extra digits (/min)", "caller-ID numbers (/min)",
                "AON numbers (/min)", "spandsp dtmf_rx (/min)");
    for (uint32_t rate : {8000u, 16000u, 32000u}) {
        const auto speech = zorv::test::LoadSpeech(files, rate);
        if (speech.empty()) {
            std::fprintf(stderr, "no speech: install asterisk-core-sounds-en-wav and sox\n");
            return 1;
        }
        const auto c = zorv::test::RunTalkOff(speech, rate);
        const auto perMinute = [&](int n) { return n / c.minutes; };
        char spandsp[32] = "-";
        if (c.spandspDigits >= 0) {
            std::snprintf(spandsp, sizeof spandsp, "%d (%.2f)", c.spandspDigits,
                          perMinute(c.spandspDigits));
        }
        std::printf(
            "%-7u %7.2f | %8d (%6.2f)%9s | %8d (%6.2f)%9s | %8d (%6.2f)%9s | %8d (%6.2f)%9s | %s\n",
            rate, c.minutes, c.dtmfNormalDigits, perMinute(c.dtmfNormalDigits), "",
            c.dtmfExtraDigits, perMinute(c.dtmfExtraDigits), "", c.callerIdNumbers,
            perMinute(c.callerIdNumbers), "", c.aonNumbers, perMinute(c.aonNumbers), "", spandsp);
    }
    return 0;
}
