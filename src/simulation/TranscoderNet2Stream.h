// The data side of a simulated NET2 transcoder: a TCP listener on the
// configuration port + 1 of its own address; a connection that sends
// "start $<password>\0" gets NET2 packets (devices/Net2Format.h) in real
// time until "stop $<password>\0" or until it closes.
//
// Every kPacketMs a packet: the audio of each channel switched on
// ("line:setonoff") in the codec applied last ("codec:update"): NONE and
// ALAW every sample produced, SPEEX whole frames, ADPCM whole blocks of 504
// samples (a channel with nothing whole yet is left out of the packet), then
// an event block with the status of every line (up to six): 1 free, 2 ring,
// 3 call in, 0 lost, bit 5 for a call out, bit 7 the polarity. The lines'
// audio and call timelines run while the transcoder streams.
//
// Not thread-safe: the transcoder's worker thread owns the stream.
#pragma once

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simulation/Net2Encoders.h"
#include "simulation/SimulatedLine.h"
#include "simulation/SimulatedTranscoder.h"

namespace zorv {

class CSimNet2Stream {
public:
    using Clock = std::chrono::steady_clock;
    using Observer = std::function<void(const std::string&)>;

    static constexpr int kPacketMs = 20;
    static constexpr int64_t kMaxCatchUpMs = 1000;
    // Unsent bytes beyond this close the connection (a reader that stopped).
    static constexpr std::size_t kMaxUnsent = 4u << 20;
    static constexpr std::size_t kMaxControlText = 256;

    // The line status byte of a line event value (devices' kLine* values).
    static uint8_t StatusOfLineEvent(uint8_t value);

    CSimNet2Stream(const SimTranscoderConfig& config, Observer observer);
    ~CSimNet2Stream();
    CSimNet2Stream(const CSimNet2Stream&) = delete;
    CSimNet2Stream& operator=(const CSimNet2Stream&) = delete;

    // Opens the data listener at ip:configPort + 1 (closing any before);
    // false with a text when it cannot.
    bool Listen(uint32_t ip, uint16_t configPort, std::string& error);
    void Close();
    uint16_t DataPort() const { return m_dataPort; }

    // The codec the stream sends from now on; false (nothing changed) for a
    // combination without a format (SPEEX at 32000 Hz, a Speex mode without
    // a frame size).
    bool Apply(const SimNet2Codec& codec);
    const SimNet2Codec& Codec() const { return m_codec; }
    // "line:setonoff": the channels that stream audio, at once.
    void SetLineOnOff(uint32_t mask);

    // Poll entries: the listener and the connection (fd -1 when none).
    void AddPollEntries(std::vector<pollfd>& fds) const;
    // Serves the entries added last (accept, control texts) and sends the
    // packets due by now. password: what "start $" must carry (empty: any).
    void Service(const pollfd* entries, Clock::time_point now, const std::string& password,
                 const SimStreamFaults& faults);
    void SilenceUntil(Clock::time_point until) { m_silentUntil = until; }
    int WaitMs() const;

    const SimStreamStats& Stats() const { return m_stats; }
    // The line state bits of every line (the event block's bits 0-5).
    std::array<uint8_t, kSimTranscoderLines> Statuses() const { return m_status; }

private:
    struct Channel {
        std::vector<int16_t> pending;  // samples not yet sent
        CNet2AdpcmEncoder adpcm;
        CSpeexFrameEncoder speex;
    };

    void Accept();
    void ReadControl(const std::string& password, const SimStreamFaults& faults,
                     Clock::time_point now);
    void Begin(Clock::time_point now, const SimStreamFaults& faults);
    void CloseConnection(const char* why);
    void Produce(Clock::time_point now);
    void StepMs();
    void AppendPacket();
    void AppendSection(int channel, std::string& packet);
    void Flush();

    Observer m_observer;
    bool m_reuseSpeexFrames = false;
    int m_channels = 0;  // lines with a status, at most six
    std::array<SimChannel, kSimTranscoderLines> m_lineConfigs{};
    std::vector<CSimulatedLine> m_lines;
    int64_t m_repeatMs = 0;
    std::array<uint8_t, kSimTranscoderLines> m_status{};
    SimNet2Codec m_codec;
    std::array<Channel, kSimTranscoderLines> m_channelState{};

    int m_listener = -1;
    uint16_t m_dataPort = 0;
    int m_connection = -1;
    std::string m_control;  // control text received, up to its zero
    std::string m_unsent;
    bool m_streaming = false;
    Clock::time_point m_lastStep;
    Clock::time_point m_nextPacket;
    Clock::time_point m_silentUntil;
    Clock::time_point m_scheduledSilence;
    bool m_silenceScheduled = false;
    Clock::time_point m_dropAt;
    bool m_dropScheduled = false;
    std::vector<SimLineEvent> m_due;  // scratch of StepMs
    int64_t m_nowMs = 0;  // line time: runs while streaming
    SimStreamStats m_stats;
};

}  // namespace zorv
