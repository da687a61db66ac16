// NET2 event blocks come from the network: any status bytes, and any block
// or output length, decode without a fault into events that follow the
// status bits; a digit comes exactly when the strobe bit changes within a
// call out (the strobe memory starting at 0 with each call out).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devices/Net2PacketParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Byte 0: the decoder's channel count (beyond six too); byte 1: how many
    // outputs the caller passes.
    const int channels = data[0] % 10;
    const size_t outputs = data[1] % 8;
    data += 2;
    size -= 2;
    zorv::CNet2EventDecoder decoder(channels);
    const size_t covered = static_cast<size_t>(std::min(channels, zorv::kNet2MaxChannels));
    const size_t blockSize = 2 * static_cast<size_t>(std::max(channels, 1));
    std::array<bool, zorv::kNet2MaxChannels> inCallOut{};
    std::array<bool, zorv::kNet2MaxChannels> strobe{};
    std::vector<zorv::CNet2EventDecoder::ChannelEvents> out(outputs);
    for (size_t pos = 0; pos < size; pos += blockSize) {
        const size_t length = std::min(blockSize, size - pos);
        std::vector<uint8_t> block(data + pos, data + pos + length);
        std::fill(out.begin(), out.end(), zorv::CNet2EventDecoder::ChannelEvents{});
        decoder.Decode(block, out);
        const size_t decoded = std::min({covered, length / 2, outputs});
        for (size_t i = 0; i < outputs; ++i) {
            const auto& e = out[i];
            if (i >= decoded) {
                if (e.callOut || e.lineValue != -1 || e.digit != -1 || e.polarity != 0) {
                    __builtin_trap();
                }
                continue;
            }
            const uint8_t status = block[2 * i + 1];
            const bool callOut = (status & 0x20) != 0;
            int digit = -1;
            if (callOut) {
                if (!inCallOut[i]) {
                    strobe[i] = false;
                }
                if (((status & 0x10) != 0) != strobe[i]) {
                    strobe[i] = !strobe[i];
                    digit = status & 0x0F;
                }
            }
            inCallOut[i] = callOut;
            const int line = callOut ? -1 : std::array<int, 4>{4, 0, 1, 2}[status & 3];
            if (e.callOut != callOut || e.lineValue != line || e.digit != digit ||
                e.polarity != ((status & 0x80) ? 1 : -1) || e.monitorByte != block[2 * i]) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
