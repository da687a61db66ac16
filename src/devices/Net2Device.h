// The channel device of a NET2 transcoder: a DSP-style device whose stream is
// the transcoder's packet stream (compressed audio per line and line-status
// blocks) instead of a board's record stream, with the codec settings per
// rate and their application through the transcoder's shell.
//
// The reading thread waits for the flow's data (3 s at most; a wait without
// data shows StateLine 12 on every line until data returns), parses the
// packets (CNet2PacketParser), runs every full block of decoded samples of
// each line through the channel pipeline and turns the status blocks into
// line, digit and line-monitor events. A stream the flow restarted gets one
// second of silence on every line.
//
// Threads and locks: codec and gain operations (client threads, the message
// thread's restart) take m_codecLock and never the channel lock while they
// talk to the transcoder; a change that needs a new parser is handed to the
// reading thread (m_parserInit), which owns the parser, the event decoder and
// the stream buffer.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "devices/DspDevice.h"
#include "devices/Net2PacketParser.h"
#include "platform/Mutex.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

class CNet2Driver;

class CNet2Device final : public CDspDevice, private INet2PacketHandler {
public:
    static constexpr std::size_t kStreamBufferSize = 0x80000;

    CNet2Device(const DeviceContext& context, int candidate, CTranscoderConfigurator& transcoders);
    ~CNet2Device() override;

    bool Open() override;
    bool Start() override;
    int SetGroupSampleRate(int group, uint32_t rate) override;
    int SetGain(int channel, int gain, bool program, bool persist) override;
    int RestartHardware() override;
    void LoadSettings(const CChannelSettingsFile& settings) override;

    // Codec settings: 0 done, 1 refused (rate, compression or Speex mode).
    int SetCodecMode(int sampleRate, int compression, int speexMode, int apply) override;
    int GetCodecMode(int sampleRate, int& compression, int& speexMode) override;
    int SetBufferMode(int mode, int apply) override;
    int GetBufferMode(int& mode) override;

    // Applies the codec of channel 0's rate to the transcoder; false when a
    // step failed (a transcoder without Speex posts message 43).
    bool ApplyCodec();

protected:
    std::unique_ptr<CDeviceDriver> MakeDriver() override;
    void ReadingLoop() override;
    void OnEnableChanged() override;

private:
    struct CodecSettings {
        std::array<uint32_t, 3> compression{};  // 8000, 16000, 32000 Hz
        std::array<uint32_t, 2> speexMode{16, 15};
        uint32_t bufferMode = 0;
    };

    // INet2PacketHandler (reading thread)
    void OnPacketStart() override;
    void OnEventBlock(std::span<const uint8_t> block) override;

    CNet2Driver* Net2Driver();
    uint32_t Channel0Rate() const;
    // Asks the reading thread to prepare its parser for rate with the codec
    // settings (any thread).
    void RequestParserInit(uint32_t rate);
    // Reading thread.
    void TakeUpParserInit();
    void ProcessDecoded();
    void ShowNoData(bool noData);
    uint32_t EnabledMask();

    CTranscoderConfigurator& m_transcoders;

    CRecursiveMutex m_codecLock;
    CodecSettings m_codec GUARDED_BY(m_codecLock);
    std::array<uint32_t, 6> m_gains GUARDED_BY(m_codecLock){};

    // rate | compression << 32 | Speex mode << 40 | 1 << 63 (0: no request)
    std::atomic<uint64_t> m_parserInit{0};

    // Owned by the reading thread (made by Open while none runs).
    std::unique_ptr<CNet2PacketParser> m_parser;
    std::unique_ptr<CNet2EventDecoder> m_events;
    std::vector<uint8_t> m_stream;
    std::size_t m_streamHeld = 0;
    std::vector<int16_t> m_block;
    bool m_gap = false;
};

}  // namespace zorv
