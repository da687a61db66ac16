// The record stream comes from hardware and from the network: any bytes,
// cut into reads anywhere, must parse without a fault, and a stream must give
// the same blocks and events however it is cut.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/RecordStreamParser.h"

namespace {

// Sums what the parser delivers, so two runs can be compared cheaply.
class CDigestSink final : public zorv::IRecordStreamSink {
public:
    explicit CDigestSink(zorv::CRecordStreamParser*& parser) : m_parser(parser) {}
    void OnBlock(int group) override {
        Mix(0x100 + static_cast<uint64_t>(group));
        const int first = m_first[static_cast<size_t>(group)];
        for (int ch = first; ch < first + m_count[static_cast<size_t>(group)]; ++ch) {
            const int16_t* samples = m_parser->ChannelSamples(ch);
            for (int i = 0; i < m_parser->BlockSamples(group); ++i) {
                Mix(static_cast<uint16_t>(samples[i]));
            }
        }
    }
    void OnEvent(int group, int field, uint8_t value, uint8_t code) override {
        Mix(0x200 + static_cast<uint64_t>(group) * 256 + static_cast<uint64_t>(field));
        Mix(static_cast<uint64_t>(value) << 8 | code);
    }
    void OnResync(int rejected) override { m_rejected += rejected; }
    void OnSplitLimit() override {}
    void OnSinkFailure() override {}

    uint64_t m_digest = 1469598103934665603ull;
    int64_t m_rejected = 0;
    std::array<int, 3> m_first{};
    std::array<int, 3> m_count{};

private:
    void Mix(uint64_t value) { m_digest = (m_digest ^ value) * 1099511628211ull; }
    zorv::CRecordStreamParser*& m_parser;
};

uint64_t Run(const uint8_t* data, size_t size, int audioLength, const std::array<int, 3>& counts,
             size_t cut, int blockSamples) {
    zorv::CRecordStreamParser* parserPtr = nullptr;
    CDigestSink sink(parserPtr);
    zorv::CRecordStreamParser parser(sink);
    parserPtr = &parser;
    std::array<int, 3> first{};
    int total = 0;
    for (int g = 0; g < 3; ++g) {
        first[static_cast<size_t>(g)] = total;
        total += counts[static_cast<size_t>(g)];
    }
    sink.m_first = first;
    sink.m_count = counts;
    parser.Configure(audioLength, counts, first);
    for (int g = 0; g < 3; ++g) {
        parser.SetBlockSamples(g, blockSamples);
    }
    parser.Feed(data, cut);
    parser.Feed(data + cut, size - cut);
    return sink.m_digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    // The first bytes choose the layout and where the stream is cut.
    const int audioLength = (data[0] & 1) ? 26 : 14;
    // Up to six channels per group, as a device has.
    const std::array<int, 3> counts{data[1] % 7, (data[1] >> 3) % 7, data[2] % 7};
    const int blockSamples = 1 + data[3] % 64;
    data += 4;
    size -= 4;
    const size_t cut = size == 0 ? 0 : (size * 7919) % (size + 1);
    const uint64_t whole = Run(data, size, audioLength, counts, size, blockSamples);
    const uint64_t split = Run(data, size, audioLength, counts, cut, blockSamples);
    if (whole != split) {
        __builtin_trap();
    }
    return 0;
}
