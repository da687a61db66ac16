// The data stream of a simulated datagram transcoder: after TCMD_START the
// board record stream of its lines (a simulated board with one group of up
// to six channels, 14-byte audio records below hardware version 300, 26-byte
// ones from 300 on) cut into numbered data packets of 1280 bytes
// (transcoders/TranscoderDataProtocol.h) and sent in real time to the
// server's data port until TCMD_STOP; retransmission requests are answered
// from the last 256 packets.
//
// The board runs on a virtual clock that the stream moves on as real time
// passes (at most kMaxCatchUpMs at once), so the audio and the line events
// come as the board would send them, and the device commands of the flow
// reach the board: TCMD_OUT_DATA_TO_ADC and TCMD_RESET_ADC its converter,
// TCMD_WRITE_DATA_TO_SOGL its channel command mailbox, TCMD_WRITE_AON_REQ_SAMPLE
// its request signal, TCMD_ENABLE_GROUP its enable mask (every group streams
// until the first TCMD_ENABLE_GROUP).
//
// Sockets: the data socket is bound to the transcoder's own address and the
// server's data port number (where the server sends its retransmission
// requests), or to a port the system chooses when that one is taken.
//
// Not thread-safe: the transcoder's worker thread owns the stream.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simulation/SimulatedBoard.h"
#include "simulation/SimulatedTranscoder.h"
#include "transcoders/TranscoderDataProtocol.h"

namespace zorv {

class CSimDatagramStream {
public:
    using Clock = std::chrono::steady_clock;
    using Observer = std::function<void(const std::string&)>;

    static constexpr int kHistory = 256;
    static constexpr int64_t kMaxCatchUpMs = 1000;
    static constexpr int kMaxPacketsPerTick = 256;

    // The board of a transcoder's identity and lines.
    static SimBoardConfig BoardConfig(const SimTranscoderConfig& config);

    CSimDatagramStream(const SimTranscoderConfig& config, Observer observer);
    ~CSimDatagramStream();
    CSimDatagramStream(const CSimDatagramStream&) = delete;
    CSimDatagramStream& operator=(const CSimDatagramStream&) = delete;

    // TCMD_START: streams from ownIp to server (a new start begins a new
    // sequence). False with a text when no data socket can be opened.
    bool Start(uint32_t ownIp, const sockaddr_in& server, const SimStreamFaults& faults,
               Clock::time_point now, std::string& error);
    // TCMD_STOP; the data socket stays open for retransmission requests.
    void Stop();
    bool Streaming() const { return m_streaming; }
    // The other device commands (after they were acknowledged).
    void Command(uint8_t code, uint32_t param2);
    // The stream falls silent until then.
    void SilenceUntil(Clock::time_point until) { m_silentUntil = until; }

    // Poll entry of the data socket (fd -1 when none).
    pollfd PollEntry() const;
    // Reads the retransmission requests waiting on the data socket.
    void ReceiveRequests();
    // A datagram of kResendRequestSize bytes that may be a retransmission
    // request (also taken from the configuration socket). True when it was one.
    bool HandleRequest(const uint8_t* bytes, std::size_t size, const sockaddr_in& sender);
    // Sends the packets due by now.
    void Tick(Clock::time_point now, const SimStreamFaults& faults);
    // Milliseconds until the next packet may be due (-1: not streaming).
    int WaitMs() const;

    const SimStreamStats& Stats() const { return m_stats; }
    // Inspection of the board (converter words, taken commands).
    const CSimulatedBoard& Board() const { return *m_board; }
    std::vector<uint16_t> AdcWords() const { return m_adcWords; }

private:
    struct Packet {
        bool valid = false;
        uint16_t sequence = 0;
        std::array<uint8_t, kDataPacketSize> bytes{};
    };

    void BoardCommand(uint32_t data, uint32_t code);
    void SendMade(const Packet& packet, const SimStreamFaults& faults);
    void Send(const Packet& packet);

    Observer m_observer;
    std::unique_ptr<CSimulatedBoard> m_board;
    int m_fd = -1;
    uint32_t m_fdIp = 0;  // the address m_fd is bound to (the transcoder may move)
    sockaddr_in m_server{};
    bool m_streaming = false;
    Clock::time_point m_started;
    int64_t m_producedMs = 0;
    Clock::time_point m_silentUntil;
    Clock::time_point m_scheduledSilence;  // the scenario's silence begins (if any)
    bool m_silenceScheduled = false;
    uint16_t m_sequence = 0;
    uint64_t m_packetIndex = 0;  // packets made since the start, from 1
    bool m_gapDone = false;
    int m_gapLeft = 0;
    Packet m_held;               // the first of a reordered pair
    std::vector<uint8_t> m_pending;  // board bytes not yet in a packet
    std::array<Packet, kHistory> m_history{};
    std::vector<uint16_t> m_adcWords;
    SimStreamStats m_stats;
};

}  // namespace zorv
