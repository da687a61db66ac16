// The NET2 packet parser and its decoders against streams built here from the
// wire layout, with Speex frames from the Speex library's own encoder.
#include <gtest/gtest.h>
#include <speex/speex.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "devices/ImaAdpcmDecoder.h"
#include "devices/Net2PacketParser.h"
#include "support/TempDir.h"

// Allocation hooks of the sanitizer runtimes (address and thread): they see
// every allocation, the Speex library's malloc included. Absent without a
// sanitizer, where the allocation test is skipped.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*,
                                                                  std::size_t),
                                                         void (*)(const volatile void*))
    __attribute__((weak));

namespace zorv {
namespace {

using Bytes = std::vector<uint8_t>;

std::atomic<bool> g_countAllocations{false};
std::atomic<std::thread::id> g_watchedThread{};
std::atomic<long> g_allocations{0};

void OnAllocation(const volatile void*, std::size_t) {
    if (g_countAllocations && std::this_thread::get_id() == g_watchedThread.load()) {
        ++g_allocations;
    }
}
void OnFree(const volatile void*) {}

// Builds a packet stream field by field.
class CStreamWriter {
public:
    void Header(uint16_t word) {
        Append({0xA5, 0x5A});
        U16(word);
        Append({0x11, 0x22, 0x33, 0x44});
    }
    void U16(uint16_t value) {
        m_bytes.push_back(static_cast<uint8_t>(value & 0xFF));
        m_bytes.push_back(static_cast<uint8_t>(value >> 8));
    }
    void Append(const Bytes& bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
    // NONE: the count and the samples.
    void Linear(const std::vector<int16_t>& samples) {
        U16(static_cast<uint16_t>(samples.size() * 2));
        for (int16_t s : samples) {
            U16(static_cast<uint16_t>(s));
        }
    }
    // ALAW and SPEEX: the count and the bytes.
    void Counted(const Bytes& bytes) {
        U16(static_cast<uint16_t>(bytes.size()));
        Append(bytes);
    }
    void AdpcmCount(uint8_t blocks) { Append({0xEE, blocks}); }
    void AdpcmBlock(int16_t predictor, uint16_t stepIndex, const Bytes& codes) {
        U16(static_cast<uint16_t>(predictor));
        U16(stepIndex);
        Bytes padded = codes;
        padded.resize(kAdpcmBlockCodes, 0);
        Append(padded);
    }
    void Events(const Bytes& block) { Counted(block); }
    const Bytes& Data() const { return m_bytes; }

private:
    Bytes m_bytes;
};

// Collects what the parser delivers; at each packet start it takes the
// decoded samples away, as the device does.
class CCollector final : public INet2PacketHandler {
public:
    explicit CCollector(CNet2PacketParser& parser) : m_parser(parser) {}
    void OnPacketStart() override {
        ++packets;
        Drain();
    }
    void OnEventBlock(std::span<const uint8_t> block) override {
        events.emplace_back(block.begin(), block.end());
    }
    void Drain() {
        for (int ch = 0; ch < m_parser.Channels(); ++ch) {
            const auto decoded = m_parser.Decoded(ch);
            auto& out = samples[static_cast<size_t>(ch)];
            out.insert(out.end(), decoded.begin(), decoded.end());
            m_parser.Drop(ch, decoded.size());
        }
    }

    std::array<std::vector<int16_t>, kNet2MaxChannels> samples;
    std::vector<Bytes> events;
    int packets = 0;
    bool framingError = false;

private:
    CNet2PacketParser& m_parser;
};

// Chunking of a stream: 0 whole, 1 byte by byte, 2 random chunks.
enum class Cut { Whole, Bytes, Random };

// Feeds a stream the way the device does: the unparsed rest stays at the
// start of the buffer and the next read is appended to it.
void Feed(CNet2PacketParser& parser, const Bytes& stream, Cut cut, CCollector& collector) {
    std::mt19937 random(1234);
    Bytes pending;
    size_t pos = 0;
    while (pos < stream.size()) {
        size_t n = stream.size() - pos;
        if (cut == Cut::Bytes) {
            n = 1;
        } else if (cut == Cut::Random) {
            n = std::min(n, size_t{1} + random() % 300);
        }
        pending.insert(pending.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos),
                       stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        bool framingError = true;
        const size_t used = parser.Parse(pending.data(), pending.size(), collector, framingError);
        ASSERT_LE(used, pending.size());
        if (framingError) {
            collector.framingError = true;
            return;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    collector.Drain();
}

// Speex frames of a tone from the library's encoder, each 16-bit word's bytes
// exchanged as the transcoder sends them.
std::vector<Bytes> SpeexToneFrames(uint32_t rate, size_t frameBytes, int frames, double hz) {
    const bool wide = rate == 16000;
    const SpeexMode* mode = wide ? &speex_wb_mode : &speex_nb_mode;
    void* encoder = speex_encoder_init(mode);
    SpeexBits bits;
    speex_bits_init(&bits);
    spx_int32_t frameSize = 0;
    speex_encoder_ctl(encoder, SPEEX_GET_FRAME_SIZE, &frameSize);
    // The quality (or, for wideband, the pair of band modes) whose frames have
    // the transcoder's frame size.
    struct Setting {
        spx_int32_t quality, low, high;
    };
    auto apply = [](void* state, const Setting& s) {
        if (s.quality >= 0) {
            speex_encoder_ctl(state, SPEEX_SET_QUALITY, const_cast<spx_int32_t*>(&s.quality));
        } else {
            speex_encoder_ctl(state, SPEEX_SET_LOW_MODE, const_cast<spx_int32_t*>(&s.low));
            speex_encoder_ctl(state, SPEEX_SET_HIGH_MODE, const_cast<spx_int32_t*>(&s.high));
        }
    };
    std::vector<Setting> settings;
    for (spx_int32_t q = 0; q <= 10; ++q) {
        settings.push_back({q, 0, 0});
    }
    for (spx_int32_t low = 1; wide && low <= 8; ++low) {
        for (spx_int32_t high = 0; high <= 4; ++high) {
            settings.push_back({-1, low, high});
        }
    }
    const Setting* chosen = nullptr;
    for (const Setting& setting : settings) {
        void* probe = speex_encoder_init(mode);
        apply(probe, setting);
        std::vector<spx_int16_t> silence(static_cast<size_t>(frameSize), 0);
        speex_bits_reset(&bits);
        speex_encode_int(probe, silence.data(), &bits);
        speex_encoder_destroy(probe);
        if (static_cast<size_t>(speex_bits_nbytes(&bits)) == frameBytes) {
            chosen = &setting;
            break;
        }
    }
    EXPECT_NE(chosen, nullptr) << "no Speex setting gives " << frameBytes << " bytes";
    if (chosen != nullptr) {
        apply(encoder, *chosen);
    }
    std::vector<Bytes> out;
    std::vector<spx_int16_t> pcm(static_cast<size_t>(frameSize));
    long t = 0;
    for (int f = 0; f < frames; ++f) {
        for (auto& s : pcm) {
            s = static_cast<spx_int16_t>(8000 * std::sin(2 * M_PI * hz * static_cast<double>(t++) /
                                                         static_cast<double>(rate)));
        }
        speex_bits_reset(&bits);
        speex_encode_int(encoder, pcm.data(), &bits);
        Bytes frame(frameBytes + 8);
        const int n = speex_bits_write(&bits, reinterpret_cast<char*>(frame.data()),
                                       static_cast<int>(frame.size()));
        EXPECT_EQ(static_cast<size_t>(n), frameBytes);
        frame.resize(frameBytes);
        for (size_t i = 0; i + 1 < frame.size(); i += 2) {
            std::swap(frame[i], frame[i + 1]);
        }
        out.push_back(frame);
    }
    speex_bits_destroy(&bits);
    speex_encoder_destroy(encoder);
    return out;
}

Bytes Concat(const std::vector<Bytes>& frames, size_t first, size_t count) {
    Bytes out;
    for (size_t i = first; i < first + count; ++i) {
        out.insert(out.end(), frames[i].begin(), frames[i].end());
    }
    return out;
}

// Frequency of a tone from its zero crossings.
double ToneHz(const std::vector<int16_t>& samples, double rate) {
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) {
            ++crossings;
        }
    }
    return crossings / 2.0 / (static_cast<double>(samples.size()) / rate);
}

struct StreamCase {
    const char* name;
    uint32_t rate;
    uint32_t compression;
    uint32_t speexMode;
};

// A stream of several packets for three channels with sections of every size
// the format allows (0 included), some with event blocks.
Bytes BuildStream(const StreamCase& c, size_t& expectedPerChannel2) {
    std::mt19937 random(42);
    CStreamWriter w;
    const size_t frameBytes = SpeexFrameBytes(c.rate, c.speexMode);
    std::vector<Bytes> frames;
    if (c.compression == kCompressSpeex) {
        frames = SpeexToneFrames(c.rate, frameBytes, 40, 1000);
    }
    size_t nextFrame = 0;
    expectedPerChannel2 = 0;
    for (int packet = 0; packet < 8; ++packet) {
        const bool events = packet % 3 == 1;
        w.Header(static_cast<uint16_t>(0x0005 | (events ? kNet2EventFlag : 0)));
        for (int ch : {0, 2}) {
            const size_t units = static_cast<size_t>((packet + ch) % 4);  // 0..3
            switch (c.compression) {
                case kCompressNone: {
                    std::vector<int16_t> samples(units * 37);
                    for (auto& s : samples) {
                        s = static_cast<int16_t>(random());
                    }
                    w.Linear(samples);
                    if (ch == 2) {
                        expectedPerChannel2 += samples.size();
                    }
                    break;
                }
                case kCompressAlaw: {
                    Bytes bytes(units * 41);
                    for (auto& b : bytes) {
                        b = static_cast<uint8_t>(random());
                    }
                    w.Counted(bytes);
                    if (ch == 2) {
                        expectedPerChannel2 += bytes.size();
                    }
                    break;
                }
                case kCompressAdpcm: {
                    w.AdpcmCount(static_cast<uint8_t>(units));
                    for (size_t b = 0; b < units; ++b) {
                        Bytes codes(kAdpcmBlockCodes);
                        for (auto& code : codes) {
                            code = static_cast<uint8_t>(random());
                        }
                        w.AdpcmBlock(static_cast<int16_t>(random()),
                                     static_cast<uint16_t>(random() % 89), codes);
                    }
                    if (ch == 2) {
                        expectedPerChannel2 += units * kAdpcmBlockSamples;
                    }
                    break;
                }
                default: {
                    w.Counted(Concat(frames, nextFrame, units));
                    nextFrame += units;
                    if (ch == 2) {
                        expectedPerChannel2 +=
                            units * (c.rate == 8000 ? kSpeexNarrowSamples : kSpeexWideSamples);
                    }
                    break;
                }
            }
        }
        if (events) {
            w.Events({static_cast<uint8_t>(packet), 0x31, 0x00, 0x02, 0x7F, 0x83});
        }
    }
    return w.Data();
}

class Net2StreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Net2StreamTest, EveryCutOfTheStreamGivesTheSameSamplesAndEvents) {
    const StreamCase& c = GetParam();
    size_t expected = 0;
    const Bytes stream = BuildStream(c, expected);
    ASSERT_GT(expected, 0u);

    CNet2PacketParser wholeParser(3);
    ASSERT_TRUE(wholeParser.Init(c.rate, c.compression, c.speexMode));
    CCollector whole(wholeParser);
    Feed(wholeParser, stream, Cut::Whole, whole);
    ASSERT_FALSE(whole.framingError);
    EXPECT_EQ(whole.samples[2].size(), expected);
    EXPECT_TRUE(whole.samples[1].empty());
    EXPECT_EQ(whole.packets, 8);
    ASSERT_EQ(whole.events.size(), 3u);

    for (Cut cut : {Cut::Bytes, Cut::Random}) {
        CNet2PacketParser parser(3);
        ASSERT_TRUE(parser.Init(c.rate, c.compression, c.speexMode));
        CCollector split(parser);
        Feed(parser, stream, cut, split);
        ASSERT_FALSE(split.framingError);
        EXPECT_EQ(split.samples, whole.samples) << static_cast<int>(cut);
        EXPECT_EQ(split.events, whole.events) << static_cast<int>(cut);
        EXPECT_EQ(split.packets, whole.packets);
    }
    // Reset starts the same stream afresh with fresh decoders.
    wholeParser.Reset();
    CCollector again(wholeParser);
    Feed(wholeParser, stream, Cut::Random, again);
    EXPECT_EQ(again.samples, whole.samples);
}

INSTANTIATE_TEST_SUITE_P(Compressions, Net2StreamTest,
                         ::testing::Values(StreamCase{"None8000", 8000, kCompressNone, 0},
                                           StreamCase{"None32000", 32000, kCompressNone, 0},
                                           StreamCase{"Alaw16000", 16000, kCompressAlaw, 0},
                                           StreamCase{"Adpcm8000", 8000, kCompressAdpcm, 0},
                                           StreamCase{"SpeexNarrow", 8000, kCompressSpeex, 16},
                                           StreamCase{"SpeexNarrow32", 8000, kCompressSpeex, 32},
                                           StreamCase{"SpeexWide", 16000, kCompressSpeex, 15},
                                           StreamCase{"SpeexWide40", 16000, kCompressSpeex, 40}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(Net2StreamTest, ParsingAllocatesNothing) {
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                               __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnFree) != 0;
    if (!hooked) {
        GTEST_SKIP() << "no sanitizer allocation hooks in this build";
    }
    const StreamCase& c = GetParam();
    size_t expected = 0;
    const Bytes stream = BuildStream(c, expected);
    CNet2PacketParser parser(3);
    ASSERT_TRUE(parser.Init(c.rate, c.compression, c.speexMode));
    // Takes the samples away without allocating.
    struct CDropper final : INet2PacketHandler {
        explicit CDropper(CNet2PacketParser& p) : parser(p) {}
        void OnPacketStart() override {
            for (int ch = 0; ch < parser.Channels(); ++ch) {
                taken += parser.Decoded(ch).size();
                parser.Drop(ch, parser.Decoded(ch).size());
            }
        }
        void OnEventBlock(std::span<const uint8_t>) override {}
        CNet2PacketParser& parser;
        size_t taken = 0;
    } dropper(parser);

    g_allocations = 0;
    g_watchedThread = std::this_thread::get_id();
    g_countAllocations = true;
    // Growing reads of 1 to 13 bytes, the unparsed rest read again.
    size_t start = 0;
    size_t end = 0;
    bool error = false;
    for (size_t step = 1; end < stream.size() && !error; step = step % 13 + 1) {
        end = std::min(stream.size(), end + step);
        start += parser.Parse(stream.data() + start, end - start, dropper, error);
    }
    parser.AppendSilence(100);
    g_countAllocations = false;
    EXPECT_FALSE(error);
    EXPECT_EQ(start, stream.size());
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_GT(dropper.taken, 0u);
}

TEST(Net2PacketParserTest, ChannelWordSelectsSectionsThenEventBlock) {
    CNet2PacketParser parser(3);
    ASSERT_TRUE(parser.Init(8000, kCompressNone, 0));
    CStreamWriter w;
    w.Header(0x4003);
    w.Linear({1, -2});
    w.Linear({3});
    w.Events({0xAB, 0x01, 0xCD, 0x02, 0xEF, 0x83});
    CCollector c(parser);
    Feed(parser, w.Data(), Cut::Whole, c);
    ASSERT_FALSE(c.framingError);
    EXPECT_EQ(c.samples[0], (std::vector<int16_t>{1, -2}));
    EXPECT_EQ(c.samples[1], (std::vector<int16_t>{3}));
    EXPECT_TRUE(c.samples[2].empty());
    ASSERT_EQ(c.events.size(), 1u);
    EXPECT_EQ(c.events[0], (Bytes{0xAB, 0x01, 0xCD, 0x02, 0xEF, 0x83}));
}

TEST(Net2PacketParserTest, LinearPassesSamplesThrough) {
    CNet2PacketParser parser(1);
    ASSERT_TRUE(parser.Init(16000, kCompressNone, 0));
    CStreamWriter w;
    w.Header(0x0001);
    w.Append({0x04, 0x00, 0x34, 0x12, 0x00, 0x80, 0xFE, 0xFF, 0xFF, 0x7F});
    // The count above is 4 bytes: the last two belong to the next packet.
    CCollector c(parser);
    bool error = false;
    const size_t used = parser.Parse(w.Data().data(), w.Data().size(), c, error);
    EXPECT_FALSE(error);
    EXPECT_EQ(used, w.Data().size() - 4);
    const auto decoded = parser.Decoded(0);
    EXPECT_EQ(std::vector<int16_t>(decoded.begin(), decoded.end()),
              (std::vector<int16_t>{0x1234, -32768}));
}

TEST(Net2PacketParserTest, AlawExpandsAsG711) {
    // Code, linear value of the G.711 A-law expansion.
    const std::vector<std::pair<uint8_t, int16_t>> cases = {
        {0xD5, 8},     {0x55, -8},     {0xD4, 24},    {0x54, -24},    {0x80, 5504}, {0x00, -5504},
        {0xAA, 32256}, {0x2A, -32256}, {0xA5, 16896}, {0x25, -16896}, {0xFF, 848},  {0x7F, -848}};
    Bytes codes;
    for (const auto& [code, linear] : cases) {
        codes.push_back(code);
    }
    CNet2PacketParser parser(1);
    ASSERT_TRUE(parser.Init(8000, kCompressAlaw, 0));
    CStreamWriter w;
    w.Header(0x0001);
    w.Counted(codes);
    CCollector c(parser);
    Feed(parser, w.Data(), Cut::Bytes, c);
    ASSERT_FALSE(c.framingError);
    ASSERT_EQ(c.samples[0].size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(c.samples[0][i], cases[i].second) << "code " << int{cases[i].first};
    }
}

TEST(Net2PacketParserTest, AdpcmBlocksDecodeFromTheirOwnHeaders) {
    CNet2PacketParser parser(1);
    ASSERT_TRUE(parser.Init(8000, kCompressAdpcm, 0));
    CStreamWriter w;
    w.Header(0x0001);
    w.AdpcmCount(2);
    w.AdpcmBlock(0, 0, {0x77, 0x08, 0xF0});
    w.AdpcmBlock(32760, 88, {0x7F, 0xF0});
    CCollector c(parser);
    Feed(parser, w.Data(), Cut::Random, c);
    ASSERT_FALSE(c.framingError);
    const auto& s = c.samples[0];
    ASSERT_EQ(s.size(), 1008u);
    // Worked by hand from the IMA step and index tables.
    EXPECT_EQ(std::vector<int16_t>(s.begin(), s.begin() + 6),
              (std::vector<int16_t>{11, 41, 45, 42, -10, -3}));
    // The second block starts from its header (the limit is +-32767).
    EXPECT_EQ(std::vector<int16_t>(s.begin() + 504, s.begin() + 507),
              (std::vector<int16_t>{32767, -28669, -32767}));
}

// Codes that follow a tone, chosen code by code (the decoder is only used to
// pick them; the check below decodes them with sox).
Bytes AdpcmToneCodes(int16_t predictor, uint16_t stepIndex, double phase) {
    CImaAdpcmDecoder tracker;
    tracker.Start(predictor, stepIndex);
    Bytes codes;
    for (size_t i = 0; i < kAdpcmBlockSamples; i += 2) {
        uint8_t byte = 0;
        for (size_t half = 0; half < 2; ++half) {
            const double target =
                12000 * std::sin(2 * M_PI * 700 * static_cast<double>(i + half) / 8000 + phase);
            uint8_t best = 0;
            double bestError = 1e9;
            for (uint8_t code = 0; code < 16; ++code) {
                CImaAdpcmDecoder trial = tracker;
                const double error = std::abs(trial.DecodeNibble(code) - target);
                if (error < bestError) {
                    bestError = error;
                    best = code;
                }
            }
            tracker.DecodeNibble(best);
            byte = static_cast<uint8_t>(half == 0 ? best << 4 : byte | best);
        }
        codes.push_back(byte);
    }
    return codes;
}

// The same blocks as a WAV IMA ADPCM file (format 0x11): a block there
// starts with its predictor as a sample, and the low nibble comes first.
void WriteImaWav(const std::string& path, const std::vector<std::pair<int16_t, uint16_t>>& heads,
                 const std::vector<Bytes>& codes) {
    Bytes data;
    CStreamWriter put;
    for (size_t b = 0; b < heads.size(); ++b) {
        put.U16(static_cast<uint16_t>(heads[b].first));
        put.Append({static_cast<uint8_t>(heads[b].second), 0});
        for (uint8_t byte : codes[b]) {
            put.Append({static_cast<uint8_t>((byte << 4) | (byte >> 4))});
        }
    }
    const Bytes& blocks = put.Data();
    CStreamWriter w;
    auto u32 = [&w](uint32_t v) {
        w.U16(static_cast<uint16_t>(v & 0xFFFF));
        w.U16(static_cast<uint16_t>(v >> 16));
    };
    w.Append({'R', 'I', 'F', 'F'});
    u32(static_cast<uint32_t>(4 + 8 + 20 + 8 + 4 + 8 + blocks.size()));
    w.Append({'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    u32(20);
    w.U16(0x11);  // IMA ADPCM
    w.U16(1);
    u32(8000);
    u32(8000 * 256 / 505);
    w.U16(256);
    w.U16(4);
    w.U16(2);
    w.U16(505);
    w.Append({'f', 'a', 'c', 't'});
    u32(4);
    u32(static_cast<uint32_t>(505 * heads.size()));
    w.Append({'d', 'a', 't', 'a'});
    u32(static_cast<uint32_t>(blocks.size()));
    w.Append(blocks);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(w.Data().data()),
               static_cast<std::streamsize>(w.Data().size()));
}

TEST(Net2PacketParserTest, AdpcmDecodesAsSoxDoes) {
    if (std::system("command -v sox >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sox is not installed";
    }
    const std::vector<std::pair<int16_t, uint16_t>> heads = {{0, 30}, {-9000, 61}, {11000, 5}};
    std::vector<Bytes> codes;
    CStreamWriter w;
    w.Header(0x0001);
    w.AdpcmCount(static_cast<uint8_t>(heads.size()));
    for (size_t b = 0; b < heads.size(); ++b) {
        codes.push_back(AdpcmToneCodes(heads[b].first, heads[b].second, static_cast<double>(b)));
        w.AdpcmBlock(heads[b].first, heads[b].second, codes.back());
    }
    CNet2PacketParser parser(1);
    ASSERT_TRUE(parser.Init(8000, kCompressAdpcm, 0));
    CCollector c(parser);
    Feed(parser, w.Data(), Cut::Random, c);
    ASSERT_FALSE(c.framingError);
    ASSERT_EQ(c.samples[0].size(), heads.size() * kAdpcmBlockSamples);

    test::CTempDir dir;
    const std::string wav = dir.File("ima.wav");
    const std::string raw = dir.File("ima.raw");
    WriteImaWav(wav, heads, codes);
    ASSERT_EQ(
        std::system(
            ("sox '" + wav + "' -t raw -e signed -b 16 -L '" + raw + "' 2>/dev/null").c_str()),
        0);
    std::ifstream in(raw, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), heads.size() * 505 * 2);
    for (size_t b = 0; b < heads.size(); ++b) {
        for (size_t i = 0; i < kAdpcmBlockSamples; ++i) {
            const size_t at = (b * 505 + 1 + i) * 2;
            const auto bySox = static_cast<int16_t>(bytes[at] | (bytes[at + 1] << 8));
            ASSERT_EQ(c.samples[0][b * kAdpcmBlockSamples + i], bySox)
                << "block " << b << " sample " << i;
        }
    }
}

TEST(Net2PacketParserTest, AdpcmDecoderHoldsTheSecondSampleOfAByte) {
    CImaAdpcmDecoder decoder;
    ASSERT_TRUE(decoder.Start(0, 0));
    const std::array<uint8_t, 2> codes{0x77, 0x08};
    std::array<int16_t, 1> one{};
    size_t consumed = 0;
    EXPECT_EQ(decoder.Decode(codes, one, consumed), 1u);
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(one[0], 11);
    std::array<int16_t, 8> more{};
    EXPECT_EQ(decoder.Decode(std::span(codes).subspan(1), more, consumed), 3u);
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(std::vector<int16_t>(more.begin(), more.begin() + 3),
              (std::vector<int16_t>{41, 45, 42}));
    EXPECT_FALSE(decoder.Start(0, 89));
}

struct SpeexCase {
    const char* name;
    uint32_t rate;
    uint32_t mode;
};

class Net2SpeexTest : public ::testing::TestWithParam<SpeexCase> {};

TEST_P(Net2SpeexTest, FramesDecodeToTheEncodedTone) {
    const SpeexCase& c = GetParam();
    const size_t frameBytes = SpeexFrameBytes(c.rate, c.mode);
    const size_t frameSamples = c.rate == 8000 ? kSpeexNarrowSamples : kSpeexWideSamples;
    const auto frames = SpeexToneFrames(c.rate, frameBytes, 30, 1000);
    CNet2PacketParser parser(2);
    ASSERT_TRUE(parser.Init(c.rate, kCompressSpeex, c.mode));
    CStreamWriter w;
    for (size_t f = 0; f < frames.size(); f += 3) {
        w.Header(0x0002);
        const Bytes section = Concat(frames, f, 3);
        ASSERT_EQ(section.size(), 3 * frameBytes);
        w.Counted(section);
    }
    CCollector c2(parser);
    Feed(parser, w.Data(), Cut::Random, c2);
    ASSERT_FALSE(c2.framingError);
    ASSERT_EQ(c2.samples[1].size(), frames.size() * frameSamples);
    // Past the decoder's start, the tone is there at its frequency and level.
    const std::vector<int16_t> tail(c2.samples[1].begin() + 5 * static_cast<long>(frameSamples),
                                    c2.samples[1].end());
    EXPECT_NEAR(ToneHz(tail, c.rate), 1000, 100);
    const auto peak = std::max_element(tail.begin(), tail.end());
    EXPECT_GT(*peak, 3000);
}

INSTANTIATE_TEST_SUITE_P(Modes, Net2SpeexTest,
                         ::testing::Values(SpeexCase{"Narrow16", 8000, 16},
                                           SpeexCase{"Narrow8", 8000, 8},
                                           SpeexCase{"Wide15", 16000, 15},
                                           SpeexCase{"Wide10", 16000, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Net2PacketParserTest, SpeexCountOfSixtyIsThreeNarrowbandFrames) {
    const auto frames = SpeexToneFrames(8000, 20, 3, 600);
    CNet2PacketParser parser(1);
    ASSERT_TRUE(parser.Init(8000, kCompressSpeex, 16));
    CStreamWriter w;
    w.Header(0x0001);
    w.Counted(Concat(frames, 0, 3));
    ASSERT_EQ(w.Data().size(), kNet2HeaderSize + 2 + 60);
    CCollector c(parser);
    Feed(parser, w.Data(), Cut::Whole, c);
    ASSERT_FALSE(c.framingError);
    EXPECT_EQ(c.samples[0].size(), 480u);
}

struct InvalidCase {
    const char* name;
    int channels;
    uint32_t rate;
    uint32_t compression;
    uint32_t speexMode;
    bool initOk;
    Bytes stream;  // after an 8-byte header with the word below
    uint16_t word;
};

Bytes U16(uint16_t v) {
    return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class Net2InvalidTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(Net2InvalidTest, IsAFramingErrorWithoutReadingPastTheData) {
    const InvalidCase& c = GetParam();
    CStreamWriter w;
    w.Header(c.word);
    w.Append(c.stream);
    for (Cut cut : {Cut::Whole, Cut::Bytes}) {
        CNet2PacketParser parser(c.channels);
        EXPECT_EQ(parser.Init(c.rate, c.compression, c.speexMode), c.initOk);
        CCollector collected(parser);
        // An exact-size heap copy lets the address sanitizer catch any read
        // past the end.
        Feed(parser, w.Data(), cut, collected);
        EXPECT_TRUE(collected.framingError);
        EXPECT_TRUE(collected.events.empty());
    }
}

const Bytes kBadSpeexFrame = Join({Bytes{0x00, 0x48}, Bytes(18, 0)});

INSTANTIATE_TEST_SUITE_P(
    Cases, Net2InvalidTest,
    ::testing::Values(
        InvalidCase{"Bit15", 2, 8000, kCompressNone, 0, true, {}, 0x8001},
        InvalidCase{"Bit15Alone", 2, 8000, kCompressNone, 0, true, {}, 0x8000},
        InvalidCase{"ChannelBeyondDevice", 2, 8000, kCompressNone, 0, true, U16(0), 0x0004},
        InvalidCase{"LastChannelBeyondDevice", 5, 8000, kCompressAlaw, 0, true, U16(0), 0x0021},
        InvalidCase{"OddLinearCount", 1, 8000, kCompressNone, 0, true, Join({U16(3), Bytes(3, 1)}),
                    0x0001},
        InvalidCase{"SpeexCountNotWholeFrames", 1, 8000, kCompressSpeex, 16, true,
                    Join({U16(30), Bytes(30, 0)}), 0x0001},
        InvalidCase{"SpeexFrameRefused", 1, 8000, kCompressSpeex, 16, true,
                    Join({U16(20), kBadSpeexFrame}), 0x0001},
        InvalidCase{"AdpcmStepIndexAbove88", 1, 8000, kCompressAdpcm, 0, true,
                    Join({Bytes{0, 1}, U16(0), U16(89), Bytes(252, 0)}), 0x0001},
        InvalidCase{"EventLengthTooLong", 2, 8000, kCompressNone, 0, true,
                    Join({U16(6), Bytes(6, 0)}), 0x4000},
        InvalidCase{"EventLengthZero", 2, 8000, kCompressNone, 0, true, U16(0), 0x4000},
        InvalidCase{"AlawBeyondBuffer", 1, 8000, kCompressAlaw, 0, true, U16(60000), 0x0001},
        InvalidCase{"AdpcmBeyondBuffer", 1, 8000, kCompressAdpcm, 0, true, Bytes{0, 102}, 0x0001},
        InvalidCase{"SpeexBeyondBuffer", 1, 8000, kCompressSpeex, 32, true, U16(10 * 321), 0x0001},
        InvalidCase{"SpeexAt32000", 1, 32000, kCompressSpeex, 16, false, U16(0), 0x0001},
        InvalidCase{"SpeexModeOfOtherRate", 1, 8000, kCompressSpeex, 12, false, U16(0), 0x0001},
        InvalidCase{"UnknownCompression", 1, 8000, 4, 0, false, U16(0), 0x0001},
        InvalidCase{"UnknownRate", 1, 11025, kCompressNone, 0, false, U16(0), 0x0001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Net2PacketParserTest, BufferOperations) {
    CNet2PacketParser parser(2);
    ASSERT_TRUE(parser.Init(8000, kCompressNone, 0));
    EXPECT_TRUE(parser.AppendSilence(kNet2DecodedSamples - 10));
    parser.Drop(1, 5);
    // Channel 0 has room for 10 only: nothing is appended anywhere.
    EXPECT_FALSE(parser.AppendSilence(11));
    EXPECT_EQ(parser.Decoded(0).size(), kNet2DecodedSamples - 10);
    EXPECT_EQ(parser.Decoded(1).size(), kNet2DecodedSamples - 15);
    parser.Drop(0, kNet2DecodedSamples);
    EXPECT_TRUE(parser.Decoded(0).empty());
    EXPECT_TRUE(parser.Decoded(7).empty());
    EXPECT_TRUE(parser.Decoded(-1).empty());

    // A section larger than the room left is refused; after a drop it fits.
    CStreamWriter w;
    w.Header(0x0002);
    w.Linear(std::vector<int16_t>(20, 7));
    bool error = false;
    // A handler that takes nothing away.
    struct CKeep final : INet2PacketHandler {
        void OnPacketStart() override {}
        void OnEventBlock(std::span<const uint8_t>) override {}
    } keep;
    parser.Parse(w.Data().data(), w.Data().size(), keep, error);
    EXPECT_TRUE(error);
    parser.Reset();
    EXPECT_TRUE(parser.Decoded(1).empty());
    EXPECT_EQ(parser.Parse(w.Data().data(), w.Data().size(), keep, error), w.Data().size());
    EXPECT_FALSE(error);
    EXPECT_EQ(parser.Decoded(1).size(), 20u);
}

}  // namespace
}  // namespace zorv
