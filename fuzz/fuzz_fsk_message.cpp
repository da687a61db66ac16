// Caller-ID messages come from the line: any bytes must parse without a
// fault, the texts must stay bounded and terminated, a message must read the
// same whatever follows it, and an accepted message must carry a known type
// and a checksum that holds. The same bytes taken as audio must not upset the
// decoder either.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/FskCallerIdDecoder.h"
#include "dsp/FskCallerIdMessage.h"

namespace {

void CheckText(const char* text, std::size_t capacity) {
    if (std::memchr(text, '\0', capacity) == nullptr) {
        std::abort();
    }
}

bool SameFields(const zorv::FskCallerIdFields& a, const zorv::FskCallerIdFields& b) {
    return std::strcmp(a.date, b.date) == 0 && std::strcmp(a.time, b.time) == 0 &&
           std::strcmp(a.number, b.number) == 0 && std::strcmp(a.name, b.name) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // An exact-size copy, so that any read past size is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    zorv::FskCallerIdFields fields;
    const auto error = zorv::ParseFskCallerIdMessage(bytes.data(), bytes.size(), fields);
    CheckText(fields.date, sizeof fields.date);
    CheckText(fields.time, sizeof fields.time);
    CheckText(fields.number, sizeof fields.number);
    CheckText(fields.name, sizeof fields.name);

    if (error == zorv::kFskErrorNone) {
        if (bytes[0] != zorv::kFskSingleDataMessage && bytes[0] != zorv::kFskMultipleDataMessage) {
            std::abort();
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i < bytes[1] + 3u; ++i) {
            sum += bytes[i];
        }
        if ((sum & 0xFF) != 0) {
            std::abort();
        }
    }
    if (error != zorv::kFskErrorTruncated) {
        std::vector<uint8_t> longer = bytes;
        longer.insert(longer.end(), {0x02, 0xFF, 0x31, 0x50});
        zorv::FskCallerIdFields again;
        if (zorv::ParseFskCallerIdMessage(longer.data(), longer.size(), again) != error ||
            !SameFields(fields, again)) {
            std::abort();
        }
    }

    // The bytes as 16-bit audio, in pieces whose size the first byte chooses.
    if (size >= 3) {
        std::vector<int16_t> samples((size - 1) / 2);
        std::memcpy(samples.data(), data + 1, samples.size() * sizeof(int16_t));
        static const uint32_t kRates[] = {8000, 16000, 32000};
        zorv::CFskCallerIdDecoder decoder;
        decoder.Init(kRates[data[0] % 3]);
        decoder.Start();
        const std::size_t piece = 1 + data[0] * 4u;
        for (std::size_t at = 0; at < samples.size(); at += piece) {
            decoder.Process(samples.data() + at, std::min(piece, samples.size() - at));
        }
        CheckText(decoder.Number(), zorv::FskCallerIdFields::kNumberMax + 1);
    }
    return 0;
}
