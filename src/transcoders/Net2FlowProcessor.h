// The data flow of a NET2 transcoder: the text shell (user "user") for codec
// and line commands, a TCP data connection on the configuration port + 1
// that carries the transcoder's packets into a 384000-byte receive buffer,
// and a supervision thread (every second) that connects, watches the data
// and reconnects.
//
// Threads: the flow's own receive thread reads the data socket and takes
// only the buffer lock; the supervision thread and the shell operations take
// the main lock (recursive: state, shell, sockets) and then the buffer lock;
// the device's reading thread calls ReadData after the data event.
//
// Locks (fields in Net2FlowProcessor.cpp, Impl):
//   - run lock: Start and Stop, one at a time; taken before the main lock;
//   - main lock (recursive): state, address, password, shell connection,
//     data socket and its receive thread, SPEEX flag and error counter, data
//     timeout, context, rate window ticks, nStreamLost and streamSpeed;
//   - buffer lock: receive buffer and fill count, restart flag, data event.
// Counters the receive thread updates (window bytes, nPacketReceive, seconds
// without data) and the two hand-over flags it raises (data connection
// closed, buffer overflow) are atomics; the supervision tick acts on the
// flags under the main lock, since the receive thread must never wait for
// the main lock (its holder may be waiting for the receive thread to end).
// GetStatistics copies the counters into a block that only it writes: read
// it on the calling thread before the next GetStatistics call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transcoders/TranscoderFlow.h"

namespace zorv {

class CAutoResetEvent;

inline constexpr std::size_t kNet2ReceiveBufferSize = 384000;
inline constexpr std::size_t kNet2ReceiveChunk = 38400;

class CNet2FlowProcessor final : public CTranscoderFlow {
public:
    // shellPort: the port of the text shell (23 unless settings move it).
    CNet2FlowProcessor(ITranscoderFlowHost& host, CTranscoderFlowSink& sink,
                       CTranscoderDeviceLink& device, uint16_t shellPort = 23);
    ~CNet2FlowProcessor() override;  // stops

    // CTranscoderFlow. The data port is portA + 1.
    bool Start(const DeviceInfo& identity, uint16_t portA, uint16_t portB,
               const TranscoderAddress& address, uint32_t protocol,
               const std::string& password) override;
    bool Stop() override;
    const tagTranscoderStatistic* GetStatistics() override;

    // The reader side. AllocateBuffer before Start (allocates once).
    void AllocateBuffer();
    void SetDataEvent(CAutoResetEvent* event);
    std::size_t ReadData(uint8_t* destination, std::size_t capacity, bool& restart);
    void SetContext(uint32_t context);
    uint32_t State() const;

    // Shell operations: false without sending unless FS_STREAMING or
    // FS_CONNECTED; true only when the reply begins with "OK".
    bool SetChannel(uint32_t channel);
    // kind: Net2Compression. SPEEX while the transcoder has none: speexOk
    // false, FS_RECONNECT, false.
    bool SetCompression(uint32_t kind, bool& speexOk);
    bool SetFrequency(uint32_t kind);  // 0 8 kHz, 1 16 kHz, 2 32 kHz
    bool SetGain(uint32_t a, uint32_t b);
    bool SetBlockGain(const uint32_t (&gains)[6]);
    bool SetSpeex8kHz(uint32_t mode);
    bool SetSpeex16kHz(uint32_t mode);
    bool SetBufferMode(uint32_t kind, uint32_t value);
    bool UpdateCodec();  // stops the stream, starts it again after OK
    bool SetLine(uint32_t param, uint32_t line, uint32_t value);
    bool SetBlockLine(uint32_t a, const uint8_t (&values)[9]);
    bool SetLineOnOff(uint32_t mask);
    bool SetLineState(uint32_t mask);

    // Stream control on the data connection.
    bool StartStream();
    bool StopStream();
    bool RestartStream();

    // One supervision step (the thread calls it every second; tests call it).
    void Tick();

    // Whether Start runs the one-second supervision thread (default true).
    // Tests that drive Tick themselves turn it off before Start.
    void RunSupervisionThread(bool run);
    // The receive thread found the buffer full and stopped reading: the next
    // Tick enters FS_RECONNECT.
    bool ReconnectRequested() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zorv
