// The NET2 packet stream comes from the network: any bytes, in any
// compression, cut into reads anywhere, must parse without a fault and
// without reading past the data, and a stream must give the same samples,
// event blocks and framing errors however it is cut.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devices/Net2PacketParser.h"

namespace {

constexpr std::array<uint32_t, 3> kRates = {8000, 16000, 32000};
constexpr std::array<uint32_t, 8> kNarrowModes = {8, 11, 16, 20, 32, 8, 16, 12};
constexpr std::array<uint32_t, 8> kWideModes = {10, 12, 15, 20, 24, 32, 40, 16};

// Digests what the parser delivers; takes the decoded samples away at some
// packet starts only, so buffers also fill up.
class CDigest final : public zorv::INet2PacketHandler {
public:
    CDigest(zorv::CNet2PacketParser& parser, int drainEvery)
        : m_parser(parser), m_drainEvery(drainEvery) {}
    void OnPacketStart() override {
        Mix(0x1000);
        if (++m_packets % m_drainEvery == 0) {
            Drain();
        }
    }
    void OnEventBlock(std::span<const uint8_t> block) override {
        if (block.size() != 2 * static_cast<size_t>(m_parser.Channels())) {
            __builtin_trap();
        }
        Mix(0x2000 + block.size());
        for (uint8_t b : block) {
            Mix(b);
        }
    }
    void Drain() {
        for (int ch = 0; ch < m_parser.Channels(); ++ch) {
            const auto decoded = m_parser.Decoded(ch);
            if (decoded.size() > zorv::kNet2DecodedSamples) {
                __builtin_trap();
            }
            Mix(0x3000 + static_cast<uint64_t>(ch));
            for (int16_t s : decoded) {
                Mix(static_cast<uint16_t>(s));
            }
            m_parser.Drop(ch, decoded.size());
        }
    }
    void Mix(uint64_t value) { m_digest = (m_digest ^ value) * 1099511628211ull; }

    uint64_t m_digest = 1469598103934665603ull;

private:
    zorv::CNet2PacketParser& m_parser;
    int m_drainEvery;
    int m_packets = 0;
};

struct Settings {
    int channels;
    uint32_t rate;
    uint32_t compression;
    uint32_t speexMode;
    int drainEvery;
};

// Feeds the stream in chunks the way the device does (the unparsed rest
// stays at the front); after a framing error the parser is reset and the
// stream resumes one byte after the failing field.
uint64_t Run(const Settings& s, const uint8_t* data, size_t size, uint32_t seed) {
    zorv::CNet2PacketParser parser(s.channels);
    parser.Init(s.rate, s.compression, s.speexMode);
    CDigest digest(parser, s.drainEvery);
    std::vector<uint8_t> pending;
    size_t pos = 0;
    size_t absolute = 0;  // stream offset of pending[0]
    uint32_t random = seed;
    while (true) {
        bool framingError = false;
        const size_t used = parser.Parse(pending.data(), pending.size(), digest, framingError);
        if (used > pending.size()) {
            __builtin_trap();
        }
        if (framingError) {
            digest.Mix(0x4000 + absolute + used);
            parser.Reset();
            const size_t skip = std::min(used + 1, pending.size());
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(skip));
            absolute += skip;
            continue;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        absolute += used;
        if (pos == size) {
            break;
        }
        size_t n = size - pos;
        if (seed != 0) {
            random = random * 1103515245u + 12345u;
            n = std::min(n, size_t{1} + (random >> 16) % 97);
        }
        pending.insert(pending.end(), data + pos, data + pos + n);
        pos += n;
    }
    digest.Drain();
    return digest.m_digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    // Byte 0: compression (bits 0-1), rate (bits 2-3), Speex mode (bits 4-6).
    // Byte 1: channels (bits 0-2), how often samples are taken (bits 3-4).
    // Byte 2: how the stream is cut.
    Settings s;
    s.compression = data[0] & 3;
    s.rate = kRates[((data[0] >> 2) & 3) % 3];
    const size_t modeIndex = (data[0] >> 4) & 7;
    s.speexMode = s.rate == 8000 ? kNarrowModes[modeIndex] : kWideModes[modeIndex];
    s.channels = 1 + (data[1] & 7) % 6;
    s.drainEvery = 1 + ((data[1] >> 3) & 3);
    const uint32_t seed = 1u + data[2];
    data += 3;
    size -= 3;
    const uint64_t whole = Run(s, data, size, 0);
    const uint64_t split = Run(s, data, size, seed);
    if (whole != split) {
        __builtin_trap();
    }
    return 0;
}
