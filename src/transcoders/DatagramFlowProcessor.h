// The data flow of a datagram-kind transcoder: numbered UDP data packets
// received on the server's data port, re-ordered in a ring of 256 slots,
// missing ones asked for again (at 0, 64 and 128 further packets, given up at
// 192), a gap of more than 11 packets resynchronising the stream; a
// supervision thread every 2 s that starts the transcoder's stream with a
// TCMD_STOP / TCMD_START cycle and restarts it after 32 s of silence; and the
// device commands of the channel device, carried by the configurator.
//
// Data packets: exactly 1284 bytes (u16 0x4747, u16 sequence number, 1280
// bytes of payload that the flow does not look into), from the transcoder's
// IP address. Anything else is ignored (but still counts as a sign of life).
// A packet behind the expected number whose slot still records that very
// number (a duplicate, or a late answer to a repeated request) is dropped
// without touching the stream; any other packet behind resynchronises.
//
// Threads:
//   - the flow's receive thread (started by Start, stopped by Stop) reads the
//     data socket (bound to any address with address reuse) and hands every
//     datagram to OnDatagram; it polls the socket together with a wake-up
//     event that Stop sets, so it ends at once; it stands for the device's
//     reactor;
//   - the supervision thread (time-critical priority where allowed) calls
//     Tick every 2 s;
//   - the device's reading thread calls ReadData after the data event;
//   - device commands come from the device's configuration paths (any
//     thread) and wait for the transcoder's answer without any flow lock.
// Locks: the flow's recursive lock (Impl::lock) guards the ring, the missing packets, the
// expected number, the state, the outstanding command, the statistics and
// the addresses; the tick lock serialises supervision steps and is taken
// before it. The sink, the device link and the host are never called
// with it held (the host's lock may be held while it calls GetStatistics).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "transcoders/TranscoderFlow.h"

namespace zorv {

class CAutoResetEvent;

class CDatagramFlowProcessor final : public CTranscoderFlow {
public:
    CDatagramFlowProcessor(ITranscoderFlowHost& host, CTranscoderFlowSink& sink,
                           CTranscoderDeviceLink& device);
    // Stops the flow's threads and closes its socket without calling
    // OnFlowStopped (the device may already be half destroyed).
    ~CDatagramFlowProcessor() override;

    // CTranscoderFlow. portB is the local UDP data port (above 4095). A flow
    // that runs is stopped first (without OnFlowStopped). Stop always returns
    // true and calls OnFlowStopped when the flow was running.
    bool Start(const DeviceInfo& identity, uint16_t portA, uint16_t portB,
               const TranscoderAddress& address, uint32_t protocol,
               const std::string& password) override;
    bool Stop() override;
    // A copy taken under the lock, valid until the next call.
    const tagTranscoderStatistic* GetStatistics() override;

    // The period of the supervision thread (2000 ms). Zero starts no
    // supervision thread: the caller (a test) drives Tick itself. Takes
    // effect at the next Start.
    void SetSupervisionPeriod(std::chrono::milliseconds period);

    // The reader side. The event is set whenever a packet is stored while 8
    // or more slots hold data.
    void SetDataEvent(CAutoResetEvent* event);
    // Copies whole 1280-byte blocks in order, up to capacity; stops at a
    // missing packet, passes over lost ones. restart: the stream was
    // resynchronised or restarted (or unread data was overrun) since the last
    // call (cleared by the call).
    std::size_t ReadData(uint8_t* destination, std::size_t capacity, bool& restart);
    void SetContext(uint32_t context);

    uint32_t State() const;
    bool IsStreaming() const { return State() == FS_STREAMING; }
    bool HasSocket() const;
    // The bound data port, 0 when the flow has no socket.
    uint16_t LocalPort() const;

    // Device commands; each waits for the transcoder's answer (or the 6 s
    // time-out) and returns its RequestResult.
    RequestResult WriteAdcWord(uint16_t word);  // 33505 is sent as 33377
    RequestResult ResetAdc();
    RequestResult WriteLineWord(uint32_t word);
    RequestResult EnableGroup(uint32_t group, bool on);
    // 32 samples of the AON request signal (sine or square at the level the
    // configurator holds for the transcoder's serial); stops at the first
    // sample that fails. kNoTranscoder when the serial is not registered.
    RequestResult UploadAonRequestSignal();

    // One supervision step (the thread calls it every 2 s; tests call it).
    void Tick();
    // Handles one received datagram from sender (the receive thread's work;
    // public for the fuzz target and tests).
    void OnDatagram(const uint8_t* data, std::size_t size, const TranscoderAddress& sender);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zorv
