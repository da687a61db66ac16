// The announcement responder: answers the discovery datagrams of client
// programs with the service text and the client protocol's TCP port.
//
// Request (UDP, to the announcement port): u32 client kind, 81 or 84, then
// the zero-terminated service text "QTS Network System" (up to 508 bytes).
// Reply (28 bytes, to the sender): u32 144, the service text zero-padded to
// 20 bytes, u32 server port. Anything else is dropped silently.
//
// Start and Stop come from one thread (the network module's); the responder
// thread touches nothing but its socket and the port fixed before it starts.
//
// MacText resolves the hardware address of a client's IPv4 address from the
// kernel's neighbour table (/proc/net/arp); it is safe from any thread.
#pragma once

#include <ace/SOCK_Dgram.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/AutoResetEvent.h"

namespace zorv {

inline constexpr const char* kServiceText = "QTS Network System";
inline constexpr std::size_t kAnnounceRequestMax = 512;
inline constexpr uint32_t kAnnounceReplyKind = 144;

#pragma pack(push, 1)
struct AnnounceReply {
    uint32_t Kind;  // 144
    char Text[20];
    uint32_t ServerPort;
};
#pragma pack(pop)
static_assert(sizeof(AnnounceReply) == 28);
static_assert(offsetof(AnnounceReply, ServerPort) == 24);

// The reply to one datagram, or nothing.
std::optional<AnnounceReply> AnswerAnnouncement(std::span<const uint8_t> datagram,
                                                uint32_t serverPort);

// "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X" of the peer's hardware address (all zero
// when unknown) into out; false (nothing written) when out holds fewer than
// 18 bytes. peer: "a.b.c.d:port" or "a.b.c.d"; only the part before the first
// ':' (at most 15 characters) counts. arpTable: the neighbour table's path.
bool MacText(std::string_view peer, std::span<char> out, const char* arpTable = "/proc/net/arp");

class CAnnounceResponder {
public:
    CAnnounceResponder() = default;
    ~CAnnounceResponder();
    CAnnounceResponder(const CAnnounceResponder&) = delete;
    CAnnounceResponder& operator=(const CAnnounceResponder&) = delete;

    // Binds the announcement port (0: any free port) on bindAddress (empty:
    // every address) with address reuse and starts the thread.
    bool Start(uint16_t announcePort, uint16_t serverPort, const std::string& bindAddress = {});
    void Stop();
    uint16_t Port() const { return m_port; }

private:
    void Run();

    ACE_SOCK_Dgram m_socket;
    std::thread m_thread;
    CAutoResetEvent m_wake;
    std::atomic<bool> m_stop{false};
    uint16_t m_port = 0;
    uint32_t m_serverPort = 0;
};

}  // namespace zorv
