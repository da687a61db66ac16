#include "access/AnnounceResponder.h"

#include <ace/INET_Addr.h>
#include <arpa/inet.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zorv {

std::optional<AnnounceReply> AnswerAnnouncement(std::span<const uint8_t> datagram,
                                                uint32_t serverPort) {
    if (datagram.size() < 4 || datagram.size() > kAnnounceRequestMax) {
        return std::nullopt;
    }
    uint32_t kind = 0;
    std::memcpy(&kind, datagram.data(), 4);
    if (kind != 81 && kind != 84) {
        return std::nullopt;
    }
    // The text must be terminated inside the datagram and equal exactly.
    const std::span<const uint8_t> text = datagram.subspan(4);
    const auto* end = static_cast<const uint8_t*>(std::memchr(text.data(), 0, text.size()));
    if (end == nullptr) {
        return std::nullopt;
    }
    const std::string_view got(reinterpret_cast<const char*>(text.data()),
                               static_cast<std::size_t>(end - text.data()));
    if (got != kServiceText) {
        return std::nullopt;
    }
    AnnounceReply reply{};
    reply.Kind = kAnnounceReplyKind;
    std::memcpy(reply.Text, kServiceText, std::strlen(kServiceText));
    reply.ServerPort = serverPort;
    return reply;
}

namespace {

// The six bytes of ip's entry in the neighbour table; false when none.
bool LookUpNeighbour(const std::string& ip, std::array<unsigned, 6>& mac, const char* table) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string address, type, flags, hw;
        if (!(fields >> address >> type >> flags >> hw) || address != ip) {
            continue;
        }
        if (std::sscanf(hw.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &mac[0], &mac[1], &mac[2], &mac[3],
                        &mac[4], &mac[5]) == 6) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool MacText(std::string_view peer, std::span<char> out, const char* arpTable) {
    constexpr std::size_t kTextSize = 18;
    if (out.size() < kTextSize) {
        return false;
    }
    std::string_view host = peer.substr(0, peer.find(':'));
    host = host.substr(0, 15);
    std::array<unsigned, 6> mac{};
    in_addr parsed{};
    const std::string ip(host);
    if (inet_pton(AF_INET, ip.c_str(), &parsed) != 1 || !LookUpNeighbour(ip, mac, arpTable)) {
        mac = {};
    }
    std::snprintf(out.data(), kTextSize, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return true;
}

CAnnounceResponder::~CAnnounceResponder() {
    Stop();
}

bool CAnnounceResponder::Start(uint16_t announcePort, uint16_t serverPort,
                               const std::string& bindAddress) {
    Stop();
    ACE_INET_Addr local;
    const int set = bindAddress.empty()
                        ? local.set(announcePort, static_cast<ACE_UINT32>(INADDR_ANY))
                        : local.set(announcePort, bindAddress.c_str());
    if (set != 0 || m_socket.open(local, AF_INET, 0, 1 /* reuse address */) != 0) {
        return false;
    }
    ACE_INET_Addr bound;
    m_socket.get_local_addr(bound);
    m_port = bound.get_port_number();
    m_serverPort = serverPort;
    m_stop = false;
    m_wake.TryReset();
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::exception&) {
        m_socket.close();
        return false;
    }
    return true;
}

void CAnnounceResponder::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        m_wake.Set();
        m_thread.join();
    }
    m_socket.close();
    m_port = 0;
}

void CAnnounceResponder::Run() {
    std::array<uint8_t, kAnnounceRequestMax> buffer{};
    while (!m_stop.load()) {
        pollfd fds[2] = {{m_socket.get_handle(), POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // interrupted
        }
        if (m_stop.load()) {
            break;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        ACE_INET_Addr sender;
        const ssize_t got = m_socket.recv(buffer.data(), buffer.size(), sender, MSG_DONTWAIT);
        if (got < 0) {
            continue;
        }
        if (auto reply =
                AnswerAnnouncement({buffer.data(), static_cast<std::size_t>(got)}, m_serverPort)) {
            m_socket.send(&*reply, sizeof(*reply), sender);  // a failed send is ignored
        }
    }
}

}  // namespace zorv
