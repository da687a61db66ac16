#include "transcoders/TranscoderSocket.h"

#include <ace/INET_Addr.h>
#include <ace/Time_Value.h>
#include <netinet/in.h>

#include <cstring>

namespace zorv {

ACE_INET_Addr ToAceAddress(const TranscoderAddress& address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(address.port);
    in.sin_addr.s_addr = address.ip;  // already in network byte order
    return ACE_INET_Addr(&in, sizeof in);
}

TranscoderAddress FromAceAddress(const ACE_INET_Addr& address) {
    TranscoderAddress out;
    const auto* in = static_cast<const sockaddr_in*>(address.get_addr());
    out.ip = in->sin_addr.s_addr;
    out.port = ntohs(in->sin_port);
    return out;
}

CTranscoderSocket::~CTranscoderSocket() {
    Close();
}

bool CTranscoderSocket::Open(uint16_t port) {
    Close();
    ACE_INET_Addr local(port, static_cast<ACE_UINT32>(INADDR_ANY));
    if (m_socket.open(local, AF_INET, 0, /*reuse_addr=*/1) == -1) {
        return false;
    }
    int on = 1;
    if (m_socket.set_option(SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
        m_socket.close();
        return false;
    }
    m_open = true;
    return true;
}

void CTranscoderSocket::Close() {
    if (m_open) {
        m_socket.close();
        m_open = false;
    }
}

uint16_t CTranscoderSocket::LocalPort() const {
    ACE_INET_Addr local;
    if (!m_open || m_socket.get_local_addr(local) == -1) {
        return 0;
    }
    return local.get_port_number();
}

bool CTranscoderSocket::Send(std::span<const uint8_t> datagram, const TranscoderAddress& to) {
    if (!m_open) {
        return false;
    }
    const ssize_t sent = m_socket.send(datagram.data(), datagram.size(), ToAceAddress(to));
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<std::size_t> CTranscoderSocket::Receive(std::span<uint8_t> buffer,
                                                      TranscoderAddress& from,
                                                      std::chrono::milliseconds timeout) {
    if (!m_open) {
        return std::nullopt;
    }
    ACE_Time_Value wait;
    wait.msec(static_cast<long>(timeout.count()));
    ACE_INET_Addr sender;
    const ssize_t received = m_socket.recv(buffer.data(), buffer.size(), sender, 0, &wait);
    if (received < 0) {
        return std::nullopt;
    }
    from = FromAceAddress(sender);
    return static_cast<std::size_t>(received);
}

}  // namespace zorv
