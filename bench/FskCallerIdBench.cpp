// Cost of the Bell 202 caller-ID decoder per sample at 8000 Hz, on a caller-ID
// message and on speech (the decoder listening after a ring, started again
// every 4 s), next to spandsp's Bell 202 receiver (fsk_rx) and its caller-ID
// receiver (adsi_rx) on the same audio. Counters: ns per sample, and how many
// lines a tenth of one core keeps up with in real time.
#include <benchmark/benchmark.h>

#include "FskBenchSignals.h"
#include "dsp/FskCallerIdDecoder.h"

namespace {

constexpr std::size_t kBlock = 64;  // 8 ms at 8000 Hz

const std::vector<int16_t>& Audio(int kind) {
    static const std::vector<int16_t> signal = zorv::bench::CallerIdSignal();
    static const std::vector<int16_t> speech = [] {
        auto s = zorv::bench::Speech(20);
        s.resize(std::min<std::size_t>(s.size(), 60 * 8000));
        return s;
    }();
    return kind == 0 ? signal : speech;
}

void SetCounters(benchmark::State& state, std::size_t samples, double rate = 8000.0) {
    const auto total = static_cast<double>(samples) * static_cast<double>(state.iterations());
    state.counters["ns_per_sample"] =
        benchmark::Counter(total * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // Seconds of one line's audio per CPU second, times 0.1.
    state.counters["lines_per_tenth_core"] =
        benchmark::Counter(total / rate * 0.1, benchmark::Counter::kIsRate);
}

// range(0): 0 caller-ID message, 1 speech.
void BM_FskCallerIdDecoder(benchmark::State& state) {
    const auto& audio = Audio(static_cast<int>(state.range(0)));
    if (audio.empty()) {
        state.SkipWithError("no audio");
        return;
    }
    zorv::CFskCallerIdDecoder decoder;
    decoder.Init(8000);
    int numbers = 0;
    for (auto _ : state) {
        decoder.Start();
        for (std::size_t at = 0; at < audio.size(); at += kBlock) {
            if (at % (4 * 8000) == 0) {
                decoder.Start();
            }
            const auto r = decoder.Process(audio.data() + at, std::min(kBlock, audio.size() - at));
            numbers += r == zorv::CFskCallerIdDecoder::Result::NumberReady;
        }
        decoder.Reset();
    }
    benchmark::DoNotOptimize(numbers);
    SetCounters(state, audio.size());
    state.counters["numbers"] = numbers / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FskCallerIdDecoder)->Arg(0)->Arg(1);

// The decoder on speech at the higher channel rates (range(0) in Hz).
void BM_FskCallerIdDecoderSpeechAtRate(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    static std::vector<int16_t> speech;
    speech = zorv::bench::Speech(20, static_cast<int>(rate));
    speech.resize(std::min<std::size_t>(speech.size(), 60 * rate));
    if (speech.empty()) {
        state.SkipWithError("no audio");
        return;
    }
    zorv::CFskCallerIdDecoder decoder;
    decoder.Init(rate);
    const std::size_t block = rate / 125;
    for (auto _ : state) {
        for (std::size_t at = 0; at < speech.size(); at += block) {
            if (at % (4 * rate) == 0) {
                decoder.Start();
            }
            decoder.Process(speech.data() + at, std::min(block, speech.size() - at));
        }
        decoder.Reset();
    }
    SetCounters(state, speech.size(), rate);
}
BENCHMARK(BM_FskCallerIdDecoderSpeechAtRate)->Arg(16000)->Arg(32000);

void PutBit(void* user, int bit) {
    *static_cast<int*>(user) += bit;
}

void BM_SpandspFskRx(benchmark::State& state) {
    const auto& audio = Audio(static_cast<int>(state.range(0)));
    if (audio.empty()) {
        state.SkipWithError("no audio");
        return;
    }
    int ones = 0;
    fsk_rx_state_t* rx =
        fsk_rx_init(nullptr, &preset_fsk_specs[FSK_BELL202], FSK_FRAME_MODE_SYNC, PutBit, &ones);
    for (auto _ : state) {
        for (std::size_t at = 0; at < audio.size(); at += kBlock) {
            fsk_rx(rx, audio.data() + at, static_cast<int>(std::min(kBlock, audio.size() - at)));
        }
    }
    benchmark::DoNotOptimize(ones);
    fsk_rx_free(rx);
    SetCounters(state, audio.size());
}
BENCHMARK(BM_SpandspFskRx)->Arg(0)->Arg(1);

void PutMessage(void* user, const uint8_t*, int) {
    ++*static_cast<int*>(user);
}

void BM_SpandspAdsiRx(benchmark::State& state) {
    const auto& audio = Audio(static_cast<int>(state.range(0)));
    if (audio.empty()) {
        state.SkipWithError("no audio");
        return;
    }
    int messages = 0;
    adsi_rx_state_t* rx = adsi_rx_init(nullptr, ADSI_STANDARD_CLASS, PutMessage, &messages);
    for (auto _ : state) {
        for (std::size_t at = 0; at < audio.size(); at += kBlock) {
            adsi_rx(rx, audio.data() + at, static_cast<int>(std::min(kBlock, audio.size() - at)));
        }
    }
    benchmark::DoNotOptimize(messages);
    adsi_rx_free(rx);
    SetCounters(state, audio.size());
    state.counters["numbers"] = messages / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SpandspAdsiRx)->Arg(0)->Arg(1);

}  // namespace
