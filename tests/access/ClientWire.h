// A client of the client protocol for the tests, on plain POSIX sockets:
// it builds request bytes itself and reads whole replies.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CredentialCipher.h"

namespace zorv::test {

using Bytes = std::vector<uint8_t>;

// The 52-byte login request: code 1, index, 2 reserved bytes, the name
// enciphered in its 21-byte field, the password in its 21-byte field, 2
// reserved bytes, the user id little-endian.
inline Bytes LoginBytes(std::string_view name, std::string_view password, uint32_t userId = 0,
                        uint8_t index = 0) {
    Bytes b(52, 0);
    b[0] = 1;
    b[1] = index;
    std::memcpy(b.data() + 4, name.data(), std::min<std::size_t>(name.size(), 21));
    ApplyCredentialCipher(b.data() + 4, 21);
    std::memcpy(b.data() + 25, password.data(), std::min<std::size_t>(password.size(), 21));
    for (int i = 0; i < 4; ++i) {
        b[48 + i] = static_cast<uint8_t>(userId >> (8 * i));
    }
    return b;
}

// A request of `size` bytes: code, index, then the head's bytes, zeros after.
inline Bytes Request(uint8_t code, uint8_t index, std::initializer_list<uint8_t> head,
                     std::size_t size) {
    Bytes b(size, 0);
    b[0] = code;
    b[1] = index;
    std::size_t at = 2;
    for (uint8_t v : head) {
        b[at++] = v;
    }
    return b;
}

inline void PutU32(Bytes& b, std::size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, sizeof(v));
}

// A 21-byte enciphered name field at `at`.
inline void PutName(Bytes& b, std::size_t at, std::string_view name) {
    std::memcpy(b.data() + at, name.data(), name.size());
    ApplyCredentialCipher(b.data() + at, 21);
}

inline uint32_t U32At(const Bytes& b, std::size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class CTestClient {
public:
    // Connects to 127.0.0.1:port; receiveBuffer > 0 sets SO_RCVBUF first;
    // from: the loopback address to connect from (another peer address).
    explicit CTestClient(uint16_t port, int receiveBuffer = 0, const char* from = nullptr) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        }
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~CTestClient() { Close(); }
    CTestClient(const CTestClient&) = delete;
    CTestClient& operator=(const CTestClient&) = delete;

    bool Connected() const { return m_connected; }
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    bool Send(const Bytes& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Exactly n bytes; fewer when the server closes or nothing comes for
    // 20 s (a hang guard, not a timing check).
    Bytes Read(std::size_t n) {
        Bytes out;
        out.reserve(n);
        uint8_t buffer[4096];
        while (out.size() < n) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 20000) <= 0) {
                break;
            }
            const ssize_t got = ::recv(m_fd, buffer, std::min(sizeof(buffer), n - out.size()), 0);
            if (got <= 0) {
                break;
            }
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }
    // True when the server closed the connection: reads and drops whatever
    // comes before the end.
    bool WaitClosed() {
        uint8_t buffer[4096];
        for (;;) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 20000) <= 0) {
                return false;
            }
            const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                return true;
            }
        }
    }
    // Reads and drops whatever has come; true when the server has closed
    // the connection (without waiting).
    bool DrainClosed() {
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
            }
        }
    }
    // True when bytes are waiting now.
    bool HasData() {
        pollfd fd{m_fd, POLLIN, 0};
        return ::poll(&fd, 1, 0) > 0;
    }
    // The local port, as the server sees it.
    uint16_t LocalPort() const {
        sockaddr_in addr{};
        socklen_t size = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &size);
        return ntohs(addr.sin_port);
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

}  // namespace zorv::test
