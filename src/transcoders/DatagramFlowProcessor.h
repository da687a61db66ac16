// The data flow of a datagram-kind transcoder: numbered UDP data packets
// received on the server's data port, re-ordered in a ring of 256 slots,
// missing ones asked for again (at 0, 64 and 128 further packets, given up at
// 192), a gap of more than 11 packets resynchronising the stream; a
// supervision thread every 2 s that starts the transcoder's stream with a
// TCMD_STOP / TCMD_START cycle and restarts it after 32 s of silence; and the
// device commands of the channel device, carried by the configurator.
//
// Threads: the flow's own receive thread reads the data socket; the
// supervision thread runs the state machine; the device's reading thread
// calls ReadData after the data event; device commands come from the
// device's configuration paths and wait for the transcoder's answer without
// holding the flow's lock. m_lock (recursive) guards the ring, the missing
// map, the expected number, the state and the statistics.
#pragma once

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
    ~CDatagramFlowProcessor() override;  // stops

    // CTranscoderFlow. portB is the local UDP data port (above 4095).
    bool Start(const DeviceInfo& identity, uint16_t portA, uint16_t portB,
               const TranscoderAddress& address, uint32_t protocol,
               const std::string& password) override;
    bool Stop() override;
    const tagTranscoderStatistic* GetStatistics() override;

    // The reader side.
    void SetDataEvent(CAutoResetEvent* event);
    // Copies whole 1280-byte blocks in order, up to capacity; stops at a
    // missing packet, passes over lost ones. restart: the stream was
    // resynchronised or restarted since the last call (cleared by the call).
    std::size_t ReadData(uint8_t* destination, std::size_t capacity, bool& restart);
    void SetContext(uint32_t context);

    uint32_t State() const;
    bool IsStreaming() const { return State() == FS_STREAMING; }
    bool HasSocket() const;

    // Device commands; each waits for the transcoder's answer (or the 6 s
    // time-out) and returns its RequestResult.
    RequestResult WriteAdcWord(uint16_t word);  // 33505 is sent as 33377
    RequestResult ResetAdc();
    RequestResult WriteLineWord(uint32_t word);
    RequestResult EnableGroup(uint32_t group, bool on);
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
