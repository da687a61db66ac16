// Talk-off: speech fed through every tone decoder (and spandsp's DTMF
// receiver for comparison); whatever they report is false.
#pragma once

#include <spandsp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsp/AonDecoder.h"
#include "dsp/DtmfCallerIdDecoder.h"
#include "dsp/DtmfDecoder.h"

namespace zorv::test {

struct TalkOffCounts {
    double minutes = 0;
    int dtmfNormalDigits = 0;
    int dtmfExtraDigits = 0;
    int callerIdNumbers = 0;
    int aonNumbers = 0;
    int spandspDigits = 0;  // -1: not run (spandsp works at 8000 Hz only)
};

// Feeds the speech in blocks of 8 ms, as a device does; every digit or
// number is counted and the decoder reset, so each false report counts once.
inline TalkOffCounts RunTalkOff(const std::vector<int16_t>& speech, uint32_t rate) {
    TalkOffCounts counts;
    counts.minutes = static_cast<double>(speech.size()) / rate / 60.0;
    CDtmfDecoder normal;
    CDtmfDecoder extra;
    extra.SetExtraSensitivity(true);
    CDtmfCallerIdDecoder callerId;
    CAonDecoder aon;
    if (!normal.Init(rate) || !extra.Init(rate) || !callerId.Init(rate) || !aon.Init(rate)) {
        return counts;
    }
    dtmf_rx_state_t* rx = nullptr;
    if (rate == 8000) {
        rx = dtmf_rx_init(
            nullptr,
            [](void* user, const char* digits, int length) {
                *static_cast<int*>(user) += length;
                (void)digits;
            },
            &counts.spandspDigits);
    } else {
        counts.spandspDigits = -1;
    }
    const std::size_t block = rate / 125;
    for (std::size_t pos = 0; pos < speech.size(); pos += block) {
        const std::size_t n = std::min(block, speech.size() - pos);
        const int16_t* samples = speech.data() + pos;
        normal.Process(samples, n);
        extra.Process(samples, n);
        counts.callerIdNumbers += callerId.Process(samples, n) ? 1 : 0;
        aon.Process(samples, n);
        if (rx != nullptr) {
            dtmf_rx(rx, samples, static_cast<int>(n));
        }
        if (normal.DigitCount() > 0) {
            counts.dtmfNormalDigits += static_cast<int>(normal.DigitCount());
            normal.Reset();
        }
        if (extra.DigitCount() > 0) {
            counts.dtmfExtraDigits += static_cast<int>(extra.DigitCount());
            extra.Reset();
        }
        if (callerId.HasNumber()) {
            callerId.Reset();
        }
        if (aon.HasNumber() > 0) {
            ++counts.aonNumbers;
            aon.Reset();
        }
    }
    if (rx != nullptr) {
        dtmf_rx_free(rx);
    }
    return counts;
}

}  // namespace zorv::test
