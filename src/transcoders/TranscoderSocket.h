// The configurator's datagram socket: bound to any port of every interface
// with address reuse (a transcoder on the same machine may use the same port
// number), allowed to broadcast. Searches broadcast to one configured
// address (the limited broadcast by default), never to every interface.
//
// Receive is called by one thread only; Send may be called from any thread
// (each call is one sendto).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>

#include "transcoders/TranscoderFlow.h"

namespace zorv {

// A transcoder address as ACE's and back.
ACE_INET_Addr ToAceAddress(const TranscoderAddress& address);
TranscoderAddress FromAceAddress(const ACE_INET_Addr& address);

class CTranscoderSocket {
public:
    CTranscoderSocket() = default;
    ~CTranscoderSocket();
    CTranscoderSocket(const CTranscoderSocket&) = delete;
    CTranscoderSocket& operator=(const CTranscoderSocket&) = delete;

    // Binds to port (0: any free port). False when the socket cannot be made.
    bool Open(uint16_t port = 0);
    void Close();
    uint16_t LocalPort() const;

    bool Send(std::span<const uint8_t> datagram, const TranscoderAddress& to);
    // Waits up to timeout for one datagram; its length (cut at the buffer's
    // size) or nullopt when none came or the socket failed.
    std::optional<std::size_t> Receive(std::span<uint8_t> buffer, TranscoderAddress& from,
                                       std::chrono::milliseconds timeout);

private:
    ACE_SOCK_Dgram m_socket;
    bool m_open = false;
};

}  // namespace zorv
