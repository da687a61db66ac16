#include "devices/Net2PacketParser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "devices/ImaAdpcmDecoder.h"
#include "devices/SpeexFrameDecoder.h"
#include "storage/G711.h"

namespace zorv {

namespace {

enum class ParseState {
    Header,        // the 8 header bytes of a packet
    SectionCount,  // NONE, ALAW, SPEEX: the u16 byte count
    SectionData,   // NONE, ALAW, SPEEX: the counted bytes
    AdpcmCount,    // ADPCM: an unused byte and the block count
    AdpcmHeader,   // ADPCM: predictor and step index of a block
    AdpcmCodes,    // ADPCM: the 252 code bytes of a block
    EventLength,   // the u16 event-block length
    EventBlock,    // the event block itself
};

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (static_cast<unsigned>(p[1]) << 8));
}

// One channel's decoded samples: [m_begin, m_end) not yet processed.
struct DecodedBuffer {
    std::vector<int16_t> samples;
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t Held() const { return end - begin; }
    std::size_t Room() const { return samples.size() - Held(); }
    void Clear() { begin = end = 0; }
    // Moves the held samples to the start so that Room() samples fit at end.
    void Compact() {
        if (begin == 0) {
            return;
        }
        std::memmove(samples.data(), samples.data() + begin, Held() * sizeof(int16_t));
        end -= begin;
        begin = 0;
    }
    std::span<int16_t> Tail() { return std::span<int16_t>(samples).subspan(end); }
};

}  // namespace

struct CNet2PacketParser::Impl {
    bool initialised = false;
    // Settings of the last Init.
    std::size_t frameBytes = 0;    // SPEEX: bytes a frame
    std::size_t frameSamples = 0;  // SPEEX: samples a frame

    // Packet state.
    ParseState state = ParseState::Header;
    uint16_t mask = 0;
    bool eventFollows = false;
    int channel = -1;            // the channel whose section is being read
    std::size_t remaining = 0;   // bytes left of the section
    std::size_t blocksLeft = 0;  // ADPCM blocks left of the section, this one included
    std::size_t codesLeft = 0;   // ADPCM code bytes left of the block
    std::size_t eventLength = 0;

    std::array<DecodedBuffer, kNet2MaxChannels> buffers;
    std::array<CImaAdpcmDecoder, kNet2MaxChannels> adpcm;
    std::array<CSpeexFrameDecoder, kNet2MaxChannels> speex;

    void ResetPacket() {
        state = ParseState::Header;
        mask = 0;
        eventFollows = false;
        channel = -1;
        remaining = blocksLeft = codesLeft = eventLength = 0;
    }
};

CNet2PacketParser::CNet2PacketParser(int channels)
    : m_impl(std::make_unique<Impl>()), m_channels(std::clamp(channels, 0, kNet2MaxChannels)) {
    for (int ch = 0; ch < m_channels; ++ch) {
        m_impl->buffers[static_cast<std::size_t>(ch)].samples.assign(kNet2DecodedSamples, 0);
    }
}

CNet2PacketParser::~CNet2PacketParser() = default;

bool CNet2PacketParser::Init(uint32_t rate, uint32_t compression, uint32_t speexMode) {
    Impl& s = *m_impl;
    s.initialised = false;
    s.frameBytes = s.frameSamples = 0;
    for (auto& decoder : s.speex) {
        decoder.Close();
    }
    const bool rateValid = rate == 8000 || rate == 16000 || rate == 32000;
    bool valid = rateValid && compression <= kCompressAlaw;
    if (valid && compression == kCompressSpeex) {
        s.frameBytes = SpeexFrameBytes(rate, speexMode);
        s.frameSamples = rate == 8000 ? kSpeexNarrowSamples : kSpeexWideSamples;
        valid = s.frameBytes != 0 && s.frameBytes <= CSpeexFrameDecoder::kMaxFrameBytes;
        for (int ch = 0; valid && ch < m_channels; ++ch) {
            CSpeexFrameDecoder& decoder = s.speex[static_cast<std::size_t>(ch)];
            valid = decoder.Open(rate == 16000) && decoder.Samples() == s.frameSamples;
        }
    }
    if (!valid) {
        for (auto& decoder : s.speex) {
            decoder.Close();
        }
        s.frameBytes = s.frameSamples = 0;
    }
    m_rate = rate;
    m_compression = compression;
    s.initialised = valid;
    Reset();
    return valid;
}

void CNet2PacketParser::Reset() {
    Impl& s = *m_impl;
    s.ResetPacket();
    for (auto& buffer : s.buffers) {
        buffer.Clear();
    }
    for (auto& decoder : s.adpcm) {
        decoder.Reset();
    }
    for (auto& decoder : s.speex) {
        decoder.Reset();
    }
}

std::span<const int16_t> CNet2PacketParser::Decoded(int channel) const {
    if (channel < 0 || channel >= m_channels) {
        return {};
    }
    const DecodedBuffer& buffer = m_impl->buffers[static_cast<std::size_t>(channel)];
    return std::span<const int16_t>(buffer.samples).subspan(buffer.begin, buffer.Held());
}

void CNet2PacketParser::Drop(int channel, std::size_t count) {
    if (channel < 0 || channel >= m_channels) {
        return;
    }
    DecodedBuffer& buffer = m_impl->buffers[static_cast<std::size_t>(channel)];
    buffer.begin += std::min(count, buffer.Held());
    if (buffer.begin == buffer.end) {
        buffer.Clear();
    }
}

bool CNet2PacketParser::AppendSilence(std::size_t count) {
    for (int ch = 0; ch < m_channels; ++ch) {
        if (m_impl->buffers[static_cast<std::size_t>(ch)].Room() < count) {
            return false;
        }
    }
    for (int ch = 0; ch < m_channels; ++ch) {
        DecodedBuffer& buffer = m_impl->buffers[static_cast<std::size_t>(ch)];
        buffer.Compact();
        std::fill_n(buffer.Tail().begin(), count, int16_t{0});
        buffer.end += count;
    }
    return true;
}

std::size_t CNet2PacketParser::Parse(const uint8_t* data, std::size_t size,
                                     INet2PacketHandler& handler, bool& framingError) {
    framingError = false;
    if (size == 0) {
        return 0;
    }
    Impl& s = *m_impl;
    if (!s.initialised || data == nullptr) {
        framingError = true;
        return 0;
    }
    std::size_t pos = 0;
    // Decides what follows the section of s.channel: the next present
    // channel's section, the event block or the next packet.
    auto nextSection = [&] {
        int ch = s.channel + 1;
        while (ch < kNet2MaxChannels && (s.mask & (1u << ch)) == 0) {
            ++ch;
        }
        if (ch < kNet2MaxChannels) {
            s.channel = ch;
            s.state =
                m_compression == kCompressAdpcm ? ParseState::AdpcmCount : ParseState::SectionCount;
        } else {
            s.channel = -1;
            s.state = s.eventFollows ? ParseState::EventLength : ParseState::Header;
        }
    };
    auto fail = [&] {
        framingError = true;
        return pos;
    };

    while (pos < size) {
        const std::size_t avail = size - pos;
        const uint8_t* p = data + pos;
        DecodedBuffer* out =
            s.channel >= 0 ? &s.buffers[static_cast<std::size_t>(s.channel)] : nullptr;
        switch (s.state) {
            case ParseState::Header: {
                if (avail < kNet2HeaderSize) {
                    return pos;
                }
                handler.OnPacketStart();
                const uint16_t word = ReadU16(p + kNet2MaskOffset);
                const uint16_t mask = word & kNet2ChannelBits;
                if ((word & kNet2ErrorFlag) != 0 || (mask >> m_channels) != 0) {
                    return fail();
                }
                s.mask = mask;
                s.eventFollows = (word & kNet2EventFlag) != 0;
                s.channel = -1;
                pos += kNet2HeaderSize;
                nextSection();
                break;
            }
            case ParseState::SectionCount: {
                if (avail < 2) {
                    return pos;
                }
                const std::size_t count = ReadU16(p);
                std::size_t samples = count;
                if (m_compression == kCompressNone) {
                    if (count % 2 != 0) {
                        return fail();
                    }
                    samples = count / 2;
                } else if (m_compression == kCompressSpeex) {
                    if (s.frameBytes == 0 || count % s.frameBytes != 0) {
                        return fail();
                    }
                    samples = count / s.frameBytes * s.frameSamples;
                }
                if (out->Room() < samples) {
                    return fail();
                }
                out->Compact();
                pos += 2;
                s.remaining = count;
                if (count == 0) {
                    nextSection();
                } else {
                    s.state = ParseState::SectionData;
                }
                break;
            }
            case ParseState::SectionData: {
                std::size_t taken = 0;
                std::span<int16_t> tail = out->Tail();
                if (m_compression == kCompressNone) {
                    const std::size_t bytes = std::min(s.remaining, avail) & ~std::size_t{1};
                    if (bytes == 0 || tail.size() < bytes / 2) {
                        if (bytes == 0) {
                            return pos;
                        }
                        return fail();
                    }
                    for (std::size_t i = 0; i < bytes / 2; ++i) {
                        tail[i] = static_cast<int16_t>(ReadU16(p + 2 * i));
                    }
                    out->end += bytes / 2;
                    taken = bytes;
                } else if (m_compression == kCompressAlaw) {
                    const std::size_t bytes = std::min(s.remaining, avail);
                    if (tail.size() < bytes) {
                        return fail();
                    }
                    for (std::size_t i = 0; i < bytes; ++i) {
                        tail[i] = kAlawToLinear[p[i]];
                    }
                    out->end += bytes;
                    taken = bytes;
                } else {
                    if (avail < s.frameBytes) {
                        return pos;
                    }
                    CSpeexFrameDecoder& decoder = s.speex[static_cast<std::size_t>(s.channel)];
                    if (tail.size() < s.frameSamples ||
                        !decoder.Decode(std::span<const uint8_t>(p, s.frameBytes), tail)) {
                        return fail();
                    }
                    out->end += s.frameSamples;
                    taken = s.frameBytes;
                }
                pos += taken;
                s.remaining -= taken;
                if (s.remaining == 0) {
                    nextSection();
                }
                break;
            }
            case ParseState::AdpcmCount: {
                if (avail < 2) {
                    return pos;
                }
                const std::size_t blocks = p[1];
                if (out->Room() < blocks * kAdpcmBlockSamples) {
                    return fail();
                }
                out->Compact();
                pos += 2;
                s.blocksLeft = blocks;
                if (blocks == 0) {
                    nextSection();
                } else {
                    s.state = ParseState::AdpcmHeader;
                }
                break;
            }
            case ParseState::AdpcmHeader: {
                if (avail < kAdpcmBlockHeader) {
                    return pos;
                }
                const auto predictor = static_cast<int16_t>(ReadU16(p));
                const uint16_t stepIndex = ReadU16(p + 2);
                if (!s.adpcm[static_cast<std::size_t>(s.channel)].Start(predictor, stepIndex)) {
                    return fail();
                }
                pos += kAdpcmBlockHeader;
                s.codesLeft = kAdpcmBlockCodes;
                s.state = ParseState::AdpcmCodes;
                break;
            }
            case ParseState::AdpcmCodes: {
                const std::size_t bytes = std::min(s.codesLeft, avail);
                std::span<int16_t> tail = out->Tail();
                if (tail.size() < 2 * bytes) {
                    return fail();
                }
                std::size_t consumed = 0;
                const std::size_t written = s.adpcm[static_cast<std::size_t>(s.channel)].Decode(
                    std::span<const uint8_t>(p, bytes), tail.first(2 * bytes), consumed);
                out->end += written;
                pos += consumed;
                s.codesLeft -= consumed;
                if (s.codesLeft == 0 && --s.blocksLeft == 0) {
                    nextSection();
                } else if (s.codesLeft == 0) {
                    s.state = ParseState::AdpcmHeader;
                }
                break;
            }
            case ParseState::EventLength: {
                if (avail < 2) {
                    return pos;
                }
                const std::size_t length = ReadU16(p);
                if (length != 2 * static_cast<std::size_t>(m_channels)) {
                    return fail();
                }
                pos += 2;
                s.eventLength = length;
                s.state = ParseState::EventBlock;
                break;
            }
            case ParseState::EventBlock: {
                if (avail < s.eventLength) {
                    return pos;
                }
                handler.OnEventBlock(std::span<const uint8_t>(p, s.eventLength));
                pos += s.eventLength;
                s.state = ParseState::Header;
                break;
            }
        }
    }
    return pos;
}

void CNet2EventDecoder::Reset() {
    m_previous.fill(0);
    m_strobe.fill(false);
}

void CNet2EventDecoder::Decode(std::span<const uint8_t> block, std::span<ChannelEvents> out) {
    static constexpr std::array<int, 4> kLineValues = {4, 0, 1, 2};
    const std::size_t channels =
        std::min({static_cast<std::size_t>(std::clamp(m_channels, 0, kNet2MaxChannels)),
                  block.size() / 2, out.size()});
    for (std::size_t i = 0; i < channels; ++i) {
        const uint8_t status = block[2 * i + 1];
        ChannelEvents events;
        events.monitorByte = block[2 * i];
        if ((status & kStatusCallOut) != 0) {
            if ((m_previous[i] & kStatusCallOut) == 0) {
                m_strobe[i] = false;
            }
            events.callOut = true;
            const bool strobe = (status & kStatusStrobe) != 0;
            if (strobe != m_strobe[i]) {
                m_strobe[i] = strobe;
                events.digit = status & kStatusDigitMask;
            }
        } else {
            events.lineValue = kLineValues[status & kStatusLineMask];
        }
        m_previous[i] = status & 0x3F;
        events.polarity = (status & kStatusPolarity) != 0 ? 1 : -1;
        out[i] = events;
    }
}

}  // namespace zorv
