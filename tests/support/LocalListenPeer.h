// The local program's side of local listening, for the tests: it creates the
// SOCK_SEQPACKET socket under the documented name, accepts the server's
// connections and keeps every message, each with the connection it came on.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorv::test {

class CLocalListenPeer {
public:
    struct Message {
        int connection = 0;  // 1 for the first connection accepted, ...
        std::vector<uint8_t> bytes;
    };

    // Listens at "<dir>/AE1E45DA-B5C6-402D-B0EB-A8954F9F2744_Local_Listen_Port_<port>";
    // reading starts at once unless paused.
    CLocalListenPeer(const std::string& dir, uint16_t port, bool paused = false)
        : m_path(dir + "/AE1E45DA-B5C6-402D-B0EB-A8954F9F2744_Local_Listen_Port_" +
                 std::to_string(port)),
          m_paused(paused) {
        m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof(address.sun_path) - 1);
        ::unlink(m_path.c_str());
        m_ok = ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
               ::listen(m_listen, 4) == 0;
        m_thread = std::thread([this] { Run(); });
    }
    ~CLocalListenPeer() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_connections) {
            ::close(fd);
        }
        ::close(m_listen);
        ::unlink(m_path.c_str());
    }

    bool Ok() const { return m_ok; }
    void Resume() { m_paused = false; }
    std::vector<Message> Messages() {
        std::lock_guard lock(m_lock);
        return m_messages;
    }
    // Connections the server closed (by their number).
    std::vector<int> Closed() {
        std::lock_guard lock(m_lock);
        return m_closed;
    }
    int Accepted() {
        std::lock_guard lock(m_lock);
        return static_cast<int>(m_connections.size());
    }

private:
    void Run() {
        std::vector<uint8_t> buffer(65536);
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            {
                std::lock_guard lock(m_lock);
                for (std::size_t i = 0; i < m_connections.size(); ++i) {
                    // A closed connection is left out (poll skips fd -1).
                    const bool closed = i + 1 < kMaxConnections && m_closedFd[i + 1];
                    fds.push_back({closed ? -1 : m_connections[i],
                                   static_cast<short>(m_paused ? 0 : POLLIN), 0});
                }
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::lock_guard lock(m_lock);
                    m_connections.push_back(fd);
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                    continue;
                }
                const ssize_t got = ::recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                std::lock_guard lock(m_lock);
                const int number = static_cast<int>(i);
                if (i >= kMaxConnections) {
                    continue;
                }
                if (got > 0) {
                    m_messages.push_back({number, {buffer.begin(), buffer.begin() + got}});
                } else if (got == 0 && !m_closedFd[number]) {
                    m_closedFd[number] = true;
                    m_closed.push_back(number);
                }
            }
        }
    }

    std::string m_path;
    int m_listen = -1;
    bool m_ok = false;
    std::atomic<bool> m_paused;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<int> m_connections;   // under m_lock
    std::vector<Message> m_messages;  // under m_lock
    std::vector<int> m_closed;        // under m_lock
    static constexpr std::size_t kMaxConnections = 16;
    bool m_closedFd[kMaxConnections] = {};  // under m_lock
    std::thread m_thread;
};

}  // namespace zorv::test
