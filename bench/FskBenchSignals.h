// Audio for the caller-ID benchmark and talk-off program: a Bell 202 message
// from spandsp's adsi_tx, and recorded speech read through sox.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <spandsp.h>
}

#include "dsp/SpeechCorpus.h"

namespace zorv::bench {

// An SDMF message (date, time, ten-digit number) at 8000 Hz from its first
// seizure sample to the end of its postamble: 300 bits of seizure, 180 of mark.
inline std::vector<int16_t> CallerIdSignal() {
    adsi_tx_state_t* tx = adsi_tx_init(nullptr, ADSI_STANDARD_CLASS);
    adsi_tx_set_preamble(tx, 300, 180, -1, -1);
    uint8_t msg[64];
    int len = adsi_add_field(tx, msg, -1, CLASS_SDMF_CALLERID, nullptr, 0);
    len = adsi_add_field(tx, msg, len, 0, reinterpret_cast<const uint8_t*>("12251530"), 8);
    len = adsi_add_field(tx, msg, len, 0, reinterpret_cast<const uint8_t*>("5551234567"), 10);
    adsi_tx_put_message(tx, msg, len);
    std::vector<int16_t> out;
    int16_t block[160];
    for (int i = 0; i < 100; ++i) {
        const int n = adsi_tx(tx, block, 160);
        out.insert(out.end(), block, block + n);
        if (n < 160) {
            break;
        }
    }
    adsi_tx_free(tx);
    return out;
}

// The first fileCount prompt files, sorted by name, as one stream at rate;
// empty when they are not installed.
inline std::vector<int16_t> Speech(int fileCount, int rate = 8000) {
    return test::LoadSpeech(static_cast<std::size_t>(std::max(fileCount, 0)),
                            static_cast<uint32_t>(rate));
}

}  // namespace zorv::bench
