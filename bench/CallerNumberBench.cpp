// Cost of the caller-number decoders per sample at 8000 Hz, beside
// spandsp's DTMF receiver on the same audio: recorded speech (what the
// decoders hear most of the time) and tone signals (DTMF keys, an AON
// answer). Audio is fed in 8 ms blocks, as a device does.
//
// Counters, from the thread's CPU time over the timed loop: ns_per_sample,
// and lines_per_tenth_core: how many 8000 Hz lines decoders of the kind
// could serve in a tenth of one core (1800 needs ns_per_sample <= 6.9).
#include <benchmark/benchmark.h>
#include <spandsp.h>

#include <ctime>
#include <string>
#include <vector>

#include "dsp/AonDecoder.h"
#include "dsp/AonSignals.h"
#include "dsp/DtmfCallerIdDecoder.h"
#include "dsp/DtmfDecoder.h"
#include "dsp/SpeechCorpus.h"
#include "dsp/ToneSignals.h"

namespace {

using zorv::test::Signal;

constexpr uint32_t kRate = 8000;
constexpr std::size_t kBlock = 64;

const Signal& Speech() {
    static const Signal speech = zorv::test::LoadSpeech(150, kRate, 20.0);
    return speech;
}

const Signal& DtmfKeys() {
    static const Signal keys = [] {
        Signal signal;
        while (signal.size() < 20u * kRate) {
            zorv::test::Append(signal, zorv::test::Dtmf("A0123456789*#BCD", 70, 70));
        }
        return signal;
    }();
    return keys;
}

const Signal& AonAnswers() {
    static const Signal answers = [] {
        Signal signal;
        while (signal.size() < 20u * kRate) {
            zorv::test::Append(signal, zorv::test::AonSymbols(zorv::test::AonExample(), 40));
            zorv::test::Append(signal, zorv::test::Silence(300));
        }
        return signal;
    }();
    return answers;
}

const Signal& Input(int which) {
    switch (which) {
        case 0:
            return Speech();
        case 1:
            return DtmfKeys();
        default:
            return AonAnswers();
    }
}

double ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void SetCounters(benchmark::State& state, std::size_t samples, double cpuNs) {
    const double total = static_cast<double>(samples) * static_cast<double>(state.iterations());
    const double nsPerSample = cpuNs / total;
    state.counters["ns_per_sample"] = nsPerSample;
    state.counters["lines_per_tenth_core"] = 0.1e9 / (nsPerSample * kRate);
}

template <typename Feed>
void Run(benchmark::State& state, Feed&& feed) {
    const Signal& signal = Input(static_cast<int>(state.range(0)));
    if (signal.empty()) {
        state.SkipWithError("no speech: install asterisk-core-sounds-en-wav and sox");
        return;
    }
    const double start = ThreadCpuNs();
    for (auto _ : state) {
        for (std::size_t pos = 0; pos + kBlock <= signal.size(); pos += kBlock) {
            feed(signal.data() + pos, kBlock);
        }
    }
    SetCounters(state, signal.size() / kBlock * kBlock, ThreadCpuNs() - start);
}

void BM_DtmfDecoder(benchmark::State& state) {
    zorv::CDtmfDecoder decoder;
    decoder.Init(kRate);
    Run(state, [&](const int16_t* samples, std::size_t n) {
        decoder.Process(samples, n);
        if (decoder.DigitCount() == zorv::CDtmfDecoder::kMaxDigits) {
            decoder.Reset();
        }
    });
    benchmark::DoNotOptimize(decoder.DigitCount());
}

void BM_DtmfCallerIdDecoder(benchmark::State& state) {
    zorv::CDtmfCallerIdDecoder decoder;
    decoder.Init(kRate);
    Run(state, [&](const int16_t* samples, std::size_t n) {
        benchmark::DoNotOptimize(decoder.Process(samples, n));
    });
}

void BM_AonDecoder(benchmark::State& state) {
    zorv::CAonDecoder decoder;
    decoder.Init(kRate);
    Run(state, [&](const int16_t* samples, std::size_t n) { decoder.Process(samples, n); });
    benchmark::DoNotOptimize(decoder.HasNumber());
}

void BM_SpandspDtmfRx(benchmark::State& state) {
    int digits = 0;
    dtmf_rx_state_t* rx = dtmf_rx_init(
        nullptr, [](void* user, const char*, int length) { *static_cast<int*>(user) += length; },
        &digits);
    Run(state,
        [&](const int16_t* samples, std::size_t n) { dtmf_rx(rx, samples, static_cast<int>(n)); });
    benchmark::DoNotOptimize(digits);
    dtmf_rx_free(rx);
}

// Argument: 0 recorded speech, 1 DTMF keys, 2 AON answers.
BENCHMARK(BM_DtmfDecoder)->ArgName("input")->Arg(0)->Arg(1);
BENCHMARK(BM_SpandspDtmfRx)->ArgName("input")->Arg(0)->Arg(1);
BENCHMARK(BM_DtmfCallerIdDecoder)->ArgName("input")->Arg(0)->Arg(1);
BENCHMARK(BM_AonDecoder)->ArgName("input")->Arg(0)->Arg(2);

}  // namespace
