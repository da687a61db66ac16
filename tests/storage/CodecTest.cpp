#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/AcmCodec.h"
#include "storage/FormatTable.h"
#include "storage/G711.h"
#include "storage/WavFile.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Speech-like test signal: three partials whose amplitudes rise and fall a
// few times a second like syllables, with short pauses between them. The
// second channel of a stereo signal is a different voice.
std::vector<int16_t> SpeechLike(uint32_t rate, uint16_t channels, std::size_t frames) {
    std::vector<int16_t> pcm(frames * channels);
    for (std::size_t t = 0; t < frames; ++t) {
        const double s = static_cast<double>(t) / rate;
        for (uint16_t c = 0; c < channels; ++c) {
            const double f0 = c == 0 ? 180.0 : 240.0;
            const double syllable = std::sin(M_PI * s * (c == 0 ? 3.1 : 4.3));
            const double envelope = std::max(0.0, syllable) * (0.4 + 0.6 * std::sin(2.1 * s));
            const double v = 0.5 * std::sin(2 * M_PI * f0 * s) +
                             0.3 * std::sin(2 * M_PI * f0 * 3.7 * s + 1.0) +
                             0.2 * std::sin(2 * M_PI * 2300.0 * s + 2.0);
            pcm[t * channels + c] = static_cast<int16_t>(std::lround(16000.0 * envelope * v));
        }
    }
    return pcm;
}

double SnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < reference.size() && i < decoded.size(); ++i) {
        const double d = static_cast<double>(reference[i]) - decoded[i];
        signal += static_cast<double>(reference[i]) * reference[i];
        noise += d * d;
    }
    return noise == 0 ? 200.0 : 10.0 * std::log10(signal / noise);
}

std::vector<int16_t> ReadRaw(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(LoadLe16(&bytes[2 * i]));
    }
    return samples;
}

std::string Output(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        output += buffer;
    }
    ::pclose(pipe);
    return output;
}

// Converts pcm into a record file of format dst the way the compressor
// does: one second of source at a time, whole blocks while the buffer is
// full, what was not consumed given again, the last piece ending the stream.
void CompressToFile(const std::vector<int16_t>& pcm, const CWaveFormat& dst,
                    const std::string& path) {
    const CWaveFormat src = CWaveFormat::Linear(kWaveFormatPcm, dst.Channels(), 16, dst.Rate());
    CAcmCodec codec;
    ASSERT_EQ(codec.Open(src, dst, src.AvgBytesPerSec()), 0);
    CWavFile out;
    ASSERT_TRUE(out.SetFormatBlock(dst));
    const auto frames = static_cast<uint32_t>(pcm.size() / dst.Channels());
    ASSERT_TRUE(out.CreateNew(path, frames, CWavFile::kShareNone));
    const auto* input = reinterpret_cast<const uint8_t*>(pcm.data());
    std::size_t remaining = pcm.size() * 2;
    uint32_t flags = CAcmCodec::kConvertStart;
    while (remaining > 0) {
        const std::size_t take = std::min(remaining, codec.GetInputSize());
        std::memcpy(codec.GetSrcBuffer(), input, take);
        if (take == codec.GetInputSize()) {
            flags |= CAcmCodec::kConvertBlockAlign;
        }
        std::size_t produced = 0;
        const std::size_t consumed = codec.Convert(take, flags, produced);
        ASSERT_EQ(codec.GetError(), 0);
        ASSERT_LE(produced, codec.GetOutSize());
        ASSERT_EQ(out.WriteAudio(codec.GetDstBuffer(), produced), produced);
        input += consumed;
        remaining -= consumed;
        flags = 0;
    }
    ASSERT_TRUE(out.Close());
}

// ---------------------------------------------------------------- G.711

TEST(G711Test, CodesExpandToTheStandardValuesAndCompandBack) {
    EXPECT_EQ(kAlawToLinear[0xD5], 8);
    EXPECT_EQ(kAlawToLinear[0x55], -8);
    EXPECT_EQ(kAlawToLinear[0xAA], 32256);
    EXPECT_EQ(kAlawToLinear[0x2A], -32256);
    EXPECT_EQ(kMulawToLinear[0xFF], 0);
    EXPECT_EQ(kMulawToLinear[0x80], 32124);
    EXPECT_EQ(kMulawToLinear[0x00], -32124);
    EXPECT_EQ(LinearToAlaw(0), 0xD5);
    EXPECT_EQ(LinearToMulaw(0), 0xFF);
    for (int code = 0; code < 256; ++code) {
        // Every code is its own compression (µ-law's -0 becomes +0).
        EXPECT_EQ(kAlawToLinear[LinearToAlaw(kAlawToLinear[code])], kAlawToLinear[code]) << code;
        EXPECT_EQ(kMulawToLinear[LinearToMulaw(kMulawToLinear[code])], kMulawToLinear[code])
            << code;
    }
    for (int v = -32768; v <= 32767; v += 7) {
        // The error stays within one quantisation step of the value's segment
        // (a sixteenth of the segment).
        const auto x = static_cast<int16_t>(v);
        EXPECT_LE(std::abs(kAlawToLinear[LinearToAlaw(x)] - v), std::max(16, std::abs(v) / 16))
            << v;
        EXPECT_LE(std::abs(kMulawToLinear[LinearToMulaw(x)] - v), (std::abs(v) + 132) / 16) << v;
    }
}

// ---------------------------------------------------------------- streams

CWaveFormat Pcm(uint16_t channels, uint32_t rate) {
    return CWaveFormat::Linear(kWaveFormatPcm, channels, 16, rate);
}

// A copy of format with one 16-bit field (at a byte offset) changed.
CWaveFormat With(const CWaveFormat& format, std::size_t at, uint16_t value) {
    Bytes bytes(format.Bytes().begin(), format.Bytes().end());
    StoreLe16(&bytes[at], value);
    return CWaveFormat(bytes);
}

TEST(AcmCodecTest, RefusesStreamsItCannotConvert) {
    const CWaveFormat adpcm = CWaveFormat::MsAdpcm(1, 8000, 256);
    struct SCase {
        const char* name;
        CWaveFormat src;
        CWaveFormat dst;
    };
    const SCase cases[] = {
        {"other rate", Pcm(1, 16000), adpcm},
        {"other channels", Pcm(2, 8000), adpcm},
        {"8-bit source", CWaveFormat::Linear(kWaveFormatPcm, 1, 8, 8000), adpcm},
        {"A-law source", CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 8000), adpcm},
        {"three channels", Pcm(3, 8000), CWaveFormat::Linear(kWaveFormatAlaw, 3, 8, 8000)},
        {"empty destination", Pcm(1, 8000), CWaveFormat()},
        {"unknown tag", Pcm(1, 8000), With(adpcm, 0, 0x99)},
        {"block align 0", Pcm(1, 8000), With(adpcm, 12, 0)},
        {"samples per block off", Pcm(1, 8000), With(adpcm, 18, 499)},
        {"own coefficients", Pcm(1, 8000), With(adpcm, 22, 300)},
        {"six coefficients", Pcm(1, 8000), With(adpcm, 20, 6)},
        {"IMA block of 3 groups and a byte", Pcm(1, 8000), CWaveFormat::ImaAdpcm(1, 8000, 17)},
        {"stereo GSM", Pcm(2, 8000), With(CWaveFormat::Gsm610(8000), 2, 2)},
        {"GSM block of 64", Pcm(1, 8000), With(CWaveFormat::Gsm610(8000), 12, 64)},
        {"16-bit A-law", Pcm(1, 8000),
         With(CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 8000), 14, 16)},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        CAcmCodec codec;
        EXPECT_FALSE(codec.CanConvert(c.src, c.dst));
        EXPECT_EQ(codec.Open(c.src, c.dst, 16000), -1);
        EXPECT_EQ(codec.GetError(), CAcmCodec::kErrorStreamOpen);
        EXPECT_EQ(codec.GetInputSize(), 0u);
        codec.Close();
        EXPECT_EQ(codec.GetError(), CAcmCodec::kErrorNone);
    }
    // A raw block from a client is checked before it is looked at.
    CAcmCodec codec;
    const CWaveFormat gsm = CWaveFormat::Gsm610(8000);
    Bytes cbTooLarge(gsm.Bytes().begin(), gsm.Bytes().end());
    StoreLe16(&cbTooLarge[16], 30);
    EXPECT_EQ(codec.Open(Pcm(1, 8000), cbTooLarge.data(), cbTooLarge.size(), 16000), -1);
    EXPECT_EQ(codec.Open(Pcm(1, 8000), nullptr, 20, 16000), -1);
    EXPECT_EQ(codec.Open(Pcm(1, 8000), adpcm.Data(), adpcm.Size(), 16000), 0);
}

TEST(AcmCodecTest, NamedDriverOpensOnlyItsFormats) {
    CAcmCodec msAdpcm("MS-ADPCM");
    EXPECT_EQ(msAdpcm.GetError(), CAcmCodec::kErrorNone);
    EXPECT_EQ(msAdpcm.Open(Pcm(1, 8000), CWaveFormat::Gsm610(8000), 16000), -1);
    EXPECT_EQ(msAdpcm.Open(Pcm(1, 8000), CWaveFormat::MsAdpcm(1, 8000, 256), 16000), 0);

    CAcmCodec unknown("Fraunhofer MP3");
    EXPECT_EQ(unknown.GetError(), CAcmCodec::kErrorDriverNotFound);
    EXPECT_FALSE(unknown.CanConvert(Pcm(1, 8000), CWaveFormat::MsAdpcm(1, 8000, 256)));
    EXPECT_EQ(unknown.Open(Pcm(1, 8000), CWaveFormat::MsAdpcm(1, 8000, 256), 16000), -1);
    EXPECT_EQ(unknown.GetError(), CAcmCodec::kErrorDriverNotFound);
}

TEST(AcmCodecTest, BlockAlignedConversionLeavesTheRestForLater) {
    // The listening chunk of 8000 Hz mono: 7936 bytes, 3968 samples.
    CAcmCodec codec("MS-ADPCM");
    ASSERT_EQ(codec.Open(Pcm(1, 8000), CWaveFormat::MsAdpcm(1, 8000, 256), 7936), 0);
    EXPECT_EQ(codec.GetInputSize(), 7936u);
    EXPECT_EQ(codec.GetOutSize(), 8u * 256u);
    EXPECT_EQ(codec.GetSrcnChannels(), 1);
    EXPECT_EQ(codec.GetSrcnSamplesPerSec(), 8000u);
    std::size_t produced = 0;
    EXPECT_EQ(codec.Convert(7936, CAcmCodec::kConvertBlockAlign, produced), 7u * 1000u);
    EXPECT_EQ(produced, 7u * 256u);
    EXPECT_EQ(codec.Convert(999, CAcmCodec::kConvertBlockAlign, produced), 0u);
    EXPECT_EQ(produced, 0u);
    // The end of the stream takes everything; a partial block is shortened
    // (7 header bytes, two samples in it, then two codes a byte).
    EXPECT_EQ(codec.Convert(23, 0, produced), 23u);
    EXPECT_EQ(produced, 7u + 5u);
    EXPECT_EQ(codec.Convert(1'000'000, CAcmCodec::kConvertStart | CAcmCodec::kConvertEnd, produced),
              7936u);
    EXPECT_EQ(produced, 7u * 256u + 7u + (468u - 2u + 1u) / 2u);

    codec.Close();
    EXPECT_EQ(codec.Convert(100, 0, produced), 0u);
    EXPECT_EQ(codec.GetError(), CAcmCodec::kErrorConvert);
    codec.Close();
    EXPECT_EQ(codec.GetError(), CAcmCodec::kErrorNone);
}

// ---------------------------------------------------------------- decoders

struct SCodecCase {
    const char* name;
    CWaveFormat format;
    double minSnrDb;
    uint32_t granule;  // the decoded length may be rounded up to this
};

class CCodecFileTest : public ::testing::TestWithParam<SCodecCase> {};

// Every codec's file decodes in sox and in ffmpeg to the fed signal.
TEST_P(CCodecFileTest, DecodesInSoxAndFfmpeg) {
    const SCodecCase& c = GetParam();
    CTempDir dir;
    const std::string wav = dir.File("record.wav");
    const uint32_t rate = c.format.Rate();
    const uint16_t channels = c.format.Channels();
    const std::size_t frames = rate * 23 / 10 + 37;  // no whole number of blocks
    const std::vector<int16_t> pcm = SpeechLike(rate, channels, frames);
    CompressToFile(pcm, c.format, wav);
    if (HasFatalFailure()) {
        return;
    }

    const std::string soxRaw = dir.File("sox.raw");
    const std::string ffmpegRaw = dir.File("ffmpeg.raw");
    ASSERT_EQ(
        std::system(
            ("sox '" + wav + "' -t raw -e signed -b 16 -L '" + soxRaw + "' 2>/dev/null").c_str()),
        0)
        << "sox cannot decode " << c.name;
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + wav + "' -f s16le -acodec pcm_s16le '" +
                           ffmpegRaw + "'")
                              .c_str()),
              0)
        << "ffmpeg cannot decode " << c.name;

    const std::size_t soxiSamples =
        std::strtoull(Output("soxi -s '" + wav + "'").c_str(), nullptr, 10);
    const std::vector<int16_t> bySox = ReadRaw(soxRaw);
    const std::vector<int16_t> byFfmpeg = ReadRaw(ffmpegRaw);
    for (const std::size_t decoded :
         {soxiSamples, bySox.size() / channels, byFfmpeg.size() / channels}) {
        EXPECT_GE(decoded, frames);
        EXPECT_LT(decoded, frames + c.granule);
    }
    const double soxSnr = SnrDb(pcm, bySox);
    const double ffmpegSnr = SnrDb(pcm, byFfmpeg);
    EXPECT_GT(soxSnr, c.minSnrDb);
    EXPECT_GT(ffmpegSnr, c.minSnrDb);
    RecordProperty("sox_snr_db", std::to_string(soxSnr));
    RecordProperty("ffmpeg_snr_db", std::to_string(ffmpegSnr));
    std::printf("%-22s SNR sox %6.2f dB, ffmpeg %6.2f dB\n", c.name, soxSnr, ffmpegSnr);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, CCodecFileTest,
    // Thresholds a few dB under what sox and ffmpeg give for this signal. An
    // odd data chunk is padded to even length and the pad counts as audio, so
    // 8-bit mono decodes one sample longer and MS-ADPCM up to three.
    ::testing::Values(
        SCodecCase{"Pcm8000Mono", CWaveFormat::Linear(kWaveFormatPcm, 1, 16, 8000), 150, 1},
        SCodecCase{"Alaw8000Mono", CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 8000), 35, 2},
        SCodecCase{"Mulaw8000Mono", CWaveFormat::Linear(kWaveFormatMulaw, 1, 8, 8000), 35, 2},
        SCodecCase{"Alaw16000Stereo", CWaveFormat::Linear(kWaveFormatAlaw, 2, 8, 16000), 35, 1},
        SCodecCase{"MsAdpcm8000Mono", CWaveFormat::MsAdpcm(1, 8000, 256), 20, 4},
        SCodecCase{"MsAdpcm8000Stereo", CWaveFormat::MsAdpcm(2, 8000, 512), 20, 4},
        SCodecCase{"MsAdpcm16000Mono", CWaveFormat::MsAdpcm(1, 16000, 256), 28, 4},
        SCodecCase{"MsAdpcm16000Stereo", CWaveFormat::MsAdpcm(2, 16000, 512), 28, 4},
        SCodecCase{"MsAdpcm32000Mono", CWaveFormat::MsAdpcm(1, 32000, 512), 34, 4},
        SCodecCase{"MsAdpcm32000Stereo", CWaveFormat::MsAdpcm(2, 32000, 1024), 34, 4},
        SCodecCase{"ImaAdpcm8000Mono", CWaveFormat::ImaAdpcm(1, 8000, 256), 21, 8},
        SCodecCase{"ImaAdpcm16000Stereo", CWaveFormat::ImaAdpcm(2, 16000, 512), 26, 8},
        SCodecCase{"Gsm8000Mono", CWaveFormat::Gsm610(8000), 11, 320}),
    [](const ::testing::TestParamInfo<SCodecCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zorv
