// The parser of a NET2 transcoder's packet stream (devices/Net2Format.h) and
// its audio decoders: 16-bit linear, A-law, IMA ADPCM and Speex (narrowband
// at 8000 Hz, wideband at 16000 Hz, perceptual enhancement off, one decoder
// per channel).
//
// The parser consumes whole fields only: Parse returns how many bytes it
// took, and the caller keeps the rest at the start of its buffer for the
// next call. Decoded samples are appended to one buffer per channel (51200
// samples); the device processes them in blocks and drops what it processed.
// Before each packet header the handler's OnPacketStart runs, so that the
// device processes what the previous packet decoded; a complete event block
// goes to OnEventBlock.
//
// Memory is allocated by the constructor and by Init (the Speex decoders);
// Parse, the event decoding and the buffer operations never allocate.
// Not thread-safe: the device's reading thread owns it; re-initialisation
// requested by other threads is handed to that thread by the device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "devices/Net2Format.h"

namespace zorv {

inline constexpr std::size_t kNet2DecodedSamples = 51200;

class INet2PacketHandler {
public:
    virtual ~INet2PacketHandler() = default;
    virtual void OnPacketStart() = 0;
    virtual void OnEventBlock(std::span<const uint8_t> block) = 0;
};

class CNet2PacketParser {
public:
    explicit CNet2PacketParser(int channels);
    ~CNet2PacketParser();
    CNet2PacketParser(const CNet2PacketParser&) = delete;
    CNet2PacketParser& operator=(const CNet2PacketParser&) = delete;

    // Prepares the parser and the decoders for a rate (8000, 16000, 32000)
    // and compression (Net2Compression; SPEEX with its Speex mode). False,
    // and the parser refuses every byte, for a combination that is not
    // valid. Clears the decoded buffers.
    bool Init(uint32_t rate, uint32_t compression, uint32_t speexMode);
    // Back to the start of a packet with fresh decoders (same settings);
    // clears the decoded buffers.
    void Reset();

    // Parses data; returns the bytes consumed. A framing error (bit 15 of the
    // channel word, a channel beyond the device's channels, a Speex count
    // that is not whole frames or a frame the decoder refuses, a decoded
    // buffer that cannot take a section, an event block of another length
    // than two bytes per channel, a parser not initialised) sets
    // framingError and returns; the caller then resets the parser and
    // restarts the stream.
    std::size_t Parse(const uint8_t* data, std::size_t size, INet2PacketHandler& handler,
                      bool& framingError);

    int Channels() const { return m_channels; }
    uint32_t Rate() const { return m_rate; }
    uint32_t Compression() const { return m_compression; }

    // Decoded samples of a channel not yet processed.
    std::span<const int16_t> Decoded(int channel) const;
    // Removes the first count processed samples of a channel.
    void Drop(int channel, std::size_t count);
    // Appends count zero samples to every channel (a stream gap); false when
    // a buffer cannot take them (it is then left as it was).
    bool AppendSilence(std::size_t count);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    int m_channels = 0;
    uint32_t m_rate = 0;
    uint32_t m_compression = 0;
};

// Decodes one event block into line, digit and line-monitor events.
class CNet2EventDecoder {
public:
    // What one event block says of one channel.
    struct ChannelEvents {
        bool callOut = false;     // line event 3
        int lineValue = -1;       // line event value 4, 0, 1, 2 (lost, free, ring, in); -1 none
        int digit = -1;           // a new digit, -1 none
        int polarity = 0;         // 1 or -1
        uint8_t monitorByte = 0;  // the line-monitor data byte
    };

    explicit CNet2EventDecoder(int channels) : m_channels(channels) {}
    void Reset();
    // block holds two bytes per channel (checked by the parser).
    void Decode(std::span<const uint8_t> block, std::span<ChannelEvents> out);

private:
    int m_channels;
    std::array<uint8_t, kNet2MaxChannels> m_previous{};
    std::array<bool, kNet2MaxChannels> m_strobe{};
};

}  // namespace zorv
