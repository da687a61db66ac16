#include "FskSignals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern "C" {
#include <spandsp.h>
}

#include "SpeechCorpus.h"
#include "support/TempDir.h"

namespace zorv::test {

namespace {

constexpr double kZeroDbm0Rms = 22768.0 / 1.41421356;

void WriteRaw(const std::string& path, const Samples& s) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(s.data()),
              static_cast<std::streamsize>(s.size() * sizeof(int16_t)));
}

Samples ReadRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Samples s;
    int16_t v = 0;
    while (in.read(reinterpret_cast<char*>(&v), sizeof v)) {
        s.push_back(v);
    }
    return s;
}

void RunSox(const std::string& args) {
    const std::string command = "sox " + args + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("sox failed: " + command);
    }
}

std::string RawFormat(int rate) {
    return "-t raw -e signed-integer -b 16 -c 1 -r " + std::to_string(rate);
}

struct BitSource {
    std::vector<int> bits;
    std::size_t next = 0;
};

int GetBit(void* user) {
    auto* source = static_cast<BitSource*>(user);
    return source->next < source->bits.size() ? source->bits[source->next++] : 1;
}

}  // namespace

Bytes SdmfMessage(const std::string& dateTime, const std::string& number) {
    adsi_tx_state_t* tx = adsi_tx_init(nullptr, ADSI_STANDARD_CLASS);
    uint8_t msg[256];
    int len = adsi_add_field(tx, msg, -1, CLASS_SDMF_CALLERID, nullptr, 0);
    len = adsi_add_field(tx, msg, len, 0, reinterpret_cast<const uint8_t*>(dateTime.data()),
                         static_cast<int>(dateTime.size()));
    len = adsi_add_field(tx, msg, len, 0, reinterpret_cast<const uint8_t*>(number.data()),
                         static_cast<int>(number.size()));
    adsi_tx_free(tx);
    return Bytes(msg, msg + len);
}

Bytes MdmfMessage(const std::vector<std::pair<uint8_t, std::string>>& params) {
    adsi_tx_state_t* tx = adsi_tx_init(nullptr, ADSI_STANDARD_CLASS);
    uint8_t msg[256];
    int len = adsi_add_field(tx, msg, -1, CLASS_MDMF_CALLERID, nullptr, 0);
    for (const auto& [type, value] : params) {
        len = adsi_add_field(tx, msg, len, type, reinterpret_cast<const uint8_t*>(value.data()),
                             static_cast<int>(value.size()));
    }
    adsi_tx_free(tx);
    return Bytes(msg, msg + len);
}

uint8_t ChecksumOf(const Bytes& bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint8_t>(-sum & 0xFF);
}

Samples AdsiClassSignal(const Bytes& message, int markBits) {
    adsi_tx_state_t* tx = adsi_tx_init(nullptr, ADSI_STANDARD_CLASS);
    if (markBits >= 0) {
        adsi_tx_set_preamble(tx, 300, markBits, -1, -1);
    }
    Samples out = Silence(8000, 100);
    if (adsi_tx_put_message(tx, message.data(), static_cast<int>(message.size())) <= 0) {
        adsi_tx_free(tx);
        throw std::runtime_error("adsi_tx_put_message refused the message");
    }
    int16_t block[160];
    for (int i = 0; i < 100; ++i) {  // at most 2 s
        const int n = adsi_tx(tx, block, 160);
        out.insert(out.end(), block, block + n);
        if (n < 160) {
            break;
        }
    }
    adsi_tx_free(tx);
    return Concat(out, Silence(8000, 200));
}

Samples FskBytesSignal(const Bytes& bytes, double speed, int seizureBits, int markBits,
                       int leadSilenceMs, int badStopByte) {
    BitSource source;
    for (int i = 0; i < seizureBits; ++i) {
        source.bits.push_back(i & 1);
    }
    source.bits.insert(source.bits.end(), static_cast<std::size_t>(markBits), 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        source.bits.push_back(0);
        for (int b = 0; b < 8; ++b) {
            source.bits.push_back((bytes[i] >> b) & 1);
        }
        source.bits.push_back(static_cast<int>(i) == badStopByte ? 0 : 1);
    }
    const int postamble = 5;
    source.bits.insert(source.bits.end(), postamble, 1);
    fsk_spec_t modem = preset_fsk_specs[FSK_BELL202];
    modem.baud_rate = static_cast<int>(std::lround(modem.baud_rate * speed));
    fsk_tx_state_t* tx = fsk_tx_init(nullptr, &modem, GetBit, &source);
    const auto length = static_cast<std::size_t>(
        std::ceil(static_cast<double>(source.bits.size()) * 8000.0 * 100.0 / modem.baud_rate));
    Samples fsk(length);
    fsk_tx(tx, fsk.data(), static_cast<int>(length));
    fsk_tx_free(tx);
    return Concat(Concat(Silence(8000, leadSilenceMs), fsk), Silence(8000, 200));
}

Samples AtLevel(Samples signal, double dbm0) {
    double sum = 0.0;
    std::size_t n = 0;
    for (int16_t v : signal) {
        if (v != 0) {
            sum += static_cast<double>(v) * v;
            ++n;
        }
    }
    if (n == 0) {
        return signal;
    }
    const double gain = kZeroDbm0Rms * std::pow(10.0, dbm0 / 20.0) / std::sqrt(sum / n);
    for (int16_t& v : signal) {
        v = static_cast<int16_t>(std::clamp(std::lround(v * gain), -32768L, 32767L));
    }
    return signal;
}

Samples WithNoise(Samples signal, double noiseDbm0, int seed) {
    awgn_state_t* noise = awgn_init_dbm0(nullptr, seed, static_cast<float>(noiseDbm0));
    for (int16_t& v : signal) {
        v = static_cast<int16_t>(std::clamp(static_cast<long>(v) + awgn(noise), -32768L, 32767L));
    }
    awgn_free(noise);
    return signal;
}

Samples AlawRoundTrip(Samples signal) {
    for (int16_t& v : signal) {
        v = alaw_to_linear(linear_to_alaw(v));
    }
    return signal;
}

Samples Resampled(const Samples& signal, int rate) {
    if (rate == 8000) {
        return signal;
    }
    CTempDir dir;
    WriteRaw(dir.File("in.raw"), signal);
    RunSox(RawFormat(8000) + " " + dir.File("in.raw") + " " + RawFormat(rate) + " " +
           dir.File("out.raw"));
    return ReadRaw(dir.File("out.raw"));
}

Samples Silence(int rate, int ms) {
    return Samples(static_cast<std::size_t>(rate) * static_cast<std::size_t>(ms) / 1000, 0);
}

Samples Concat(Samples a, const Samples& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Samples FirstMs(const Samples& signal, int ms) {
    const auto n = std::min(signal.size(), static_cast<std::size_t>(ms) * 8);
    return Samples(signal.begin(), signal.begin() + static_cast<std::ptrdiff_t>(n));
}

Samples SpeechSamples(int rate, int fileCount) {
    return LoadSpeech(static_cast<std::size_t>(std::max(fileCount, 0)), static_cast<uint32_t>(rate));
}

}  // namespace zorv::test
