// Parsing and decoding one line of a NET2 transcoder's stream: one second of
// audio in 20 ms packets, parsed whole and the decoded samples taken away at
// each packet start, as the device's reading thread does. Shows the cost per
// decoded sample and how many lines one core keeps up with.
#include <benchmark/benchmark.h>
#include <speex/speex.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "devices/Net2PacketParser.h"

namespace {

using namespace zorv;
using Bytes = std::vector<uint8_t>;

void PutU16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutHeader(Bytes& out) {
    out.insert(out.end(), {0, 0, 0x01, 0x40, 0, 0, 0, 0});  // channel 0 and an event block
}

void PutEvents(Bytes& out) {
    PutU16(out, 2);
    out.insert(out.end(), {0x00, 0x01});
}

int16_t Tone(long t, double rate) {
    return static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * static_cast<double>(t) / rate));
}

Bytes LinearSecond() {
    Bytes out;
    long t = 0;
    for (int packet = 0; packet < 50; ++packet) {
        PutHeader(out);
        PutU16(out, 160 * 2);
        for (int i = 0; i < 160; ++i) {
            PutU16(out, static_cast<uint16_t>(Tone(t++, 8000)));
        }
        PutEvents(out);
    }
    return out;
}

Bytes AdpcmSecond() {
    // 16 blocks of 504 samples (8064) in packets of one block; the codes
    // are arbitrary, the decoder's cost does not depend on them.
    Bytes out;
    uint32_t random = 1;
    for (int packet = 0; packet < 16; ++packet) {
        PutHeader(out);
        out.insert(out.end(), {0, 1});
        PutU16(out, 0);
        PutU16(out, 20);
        for (size_t i = 0; i < kAdpcmBlockCodes; ++i) {
            random = random * 1103515245u + 12345u;
            out.push_back(static_cast<uint8_t>(random >> 16));
        }
        PutEvents(out);
    }
    return out;
}

Bytes SpeexWideSecond() {
    // Mode 15 at 16000 Hz: 42-byte frames (wideband quality 5).
    void* encoder = speex_encoder_init(&speex_wb_mode);
    spx_int32_t quality = 5;
    speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
    SpeexBits bits;
    speex_bits_init(&bits);
    Bytes out;
    std::vector<spx_int16_t> pcm(kSpeexWideSamples);
    long t = 0;
    for (int packet = 0; packet < 50; ++packet) {
        for (auto& s : pcm) {
            s = Tone(t++, 16000);
        }
        speex_bits_reset(&bits);
        speex_encode_int(encoder, pcm.data(), &bits);
        char frame[64] = {};
        const int n = speex_bits_write(&bits, frame, sizeof frame);
        PutHeader(out);
        PutU16(out, static_cast<uint16_t>(n));
        for (int i = 0; i + 1 < n; i += 2) {
            out.push_back(static_cast<uint8_t>(frame[i + 1]));
            out.push_back(static_cast<uint8_t>(frame[i]));
        }
        PutEvents(out);
    }
    speex_bits_destroy(&bits);
    speex_encoder_destroy(encoder);
    return out;
}

class CTaker final : public INet2PacketHandler {
public:
    explicit CTaker(CNet2PacketParser& parser) : m_parser(parser) {}
    void OnPacketStart() override { Take(); }
    void OnEventBlock(std::span<const uint8_t> block) override { benchmark::DoNotOptimize(block); }
    void Take() {
        const auto decoded = m_parser.Decoded(0);
        taken += decoded.size();
        benchmark::DoNotOptimize(decoded.data());
        m_parser.Drop(0, decoded.size());
    }
    size_t taken = 0;

private:
    CNet2PacketParser& m_parser;
};

void RunLine(benchmark::State& state, uint32_t rate, uint32_t compression, uint32_t mode,
             const Bytes& stream) {
    CNet2PacketParser parser(1);
    if (!parser.Init(rate, compression, mode)) {
        state.SkipWithError("Init refused");
        return;
    }
    CTaker taker(parser);
    size_t samples = 0;
    for (auto _ : state) {
        taker.taken = 0;
        bool error = false;
        const size_t used = parser.Parse(stream.data(), stream.size(), taker, error);
        taker.Take();
        if (error || used != stream.size()) {
            state.SkipWithError("stream did not parse");
            return;
        }
        samples = taker.taken;
    }
    const double perIteration = static_cast<double>(samples);
    // Seconds per decoded sample (printed with its SI prefix, "n" for ns),
    // and seconds of one line's audio decoded per second of one core.
    state.counters["time_per_sample"] = benchmark::Counter(
        perIteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["lines_per_core"] =
        benchmark::Counter(perIteration / rate, benchmark::Counter::kIsIterationInvariantRate);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(samples));
}

void BM_Net2LineNone8000(benchmark::State& state) {
    static const Bytes stream = LinearSecond();
    RunLine(state, 8000, kCompressNone, 0, stream);
}
BENCHMARK(BM_Net2LineNone8000);

void BM_Net2LineAdpcm8000(benchmark::State& state) {
    static const Bytes stream = AdpcmSecond();
    RunLine(state, 8000, kCompressAdpcm, 0, stream);
}
BENCHMARK(BM_Net2LineAdpcm8000);

void BM_Net2LineSpeexWide(benchmark::State& state) {
    static const Bytes stream = SpeexWideSecond();
    RunLine(state, 16000, kCompressSpeex, 15, stream);
}
BENCHMARK(BM_Net2LineSpeexWide);

}  // namespace
