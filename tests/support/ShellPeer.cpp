#include "support/ShellPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zorv::test {

namespace {

constexpr int kPollMs = 20;

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

CShellPeer::CShellPeer(ShellPeerScript script) : m_script(std::move(script)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        ThrowErrno("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(m_listener);
        errno = error;
        ThrowErrno("listen");
    }
    m_port = ntohs(address.sin_port);
    m_end = std::chrono::steady_clock::now() + kLifetime;
    m_thread = std::thread([this] { Run(); });
}

CShellPeer::~CShellPeer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

std::vector<std::string> CShellPeer::Received() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received;
}

std::vector<std::string> CShellPeer::Commands() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return {m_received.begin() + static_cast<std::ptrdiff_t>(m_commandsFrom), m_received.end()};
}

void CShellPeer::SetReply(const std::string& line, ShellReply reply) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_replaced[line] = std::move(reply);
}

bool CShellPeer::Stopping() const {
    return m_stop.load() || std::chrono::steady_clock::now() >= m_end;
}

void CShellPeer::Run() {
    while (!Stopping()) {
        pollfd ready{m_listener, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) <= 0) {
            continue;
        }
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        ++m_connections;
        Serve(connection);
        ::close(connection);
    }
}

bool CShellPeer::SendAll(int connection, const std::string& text,
                         std::chrono::milliseconds trickle) {
    const std::size_t step = trickle.count() > 0 ? 1 : text.size();
    for (std::size_t sent = 0; sent < text.size();) {
        if (Stopping()) {
            return false;
        }
        if (trickle.count() > 0 && sent > 0) {
            // Waits the trickle interval, but notices a client that has gone.
            pollfd gone{connection, POLLIN, 0};
            if (::poll(&gone, 1, static_cast<int>(trickle.count())) > 0) {
                char probe = 0;
                if (::recv(connection, &probe, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) {
                    return false;
                }
            }
        }
        const std::size_t length = std::min(step, text.size() - sent);
        const ssize_t n = ::send(connection, text.data() + sent, length, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void CShellPeer::Serve(int connection) {
    if (!SendAll(connection, m_script.greeting, m_script.greetingTrickle)) {
        return;
    }
    enum { kUser, kPassword, kShell } state = kUser;
    std::string pending;
    char chunk[512];
    while (!Stopping()) {
        pollfd ready{connection, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(connection, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find("\r\n")) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 2);
            ShellReply reply;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_received.push_back(line);
                switch (state) {
                    case kUser:
                        reply.text = m_script.passwordPrompt;
                        state = kPassword;
                        break;
                    case kPassword:
                        if (line == m_script.password) {
                            reply.text = m_script.loggedIn;
                            state = kShell;
                            m_commandsFrom = m_received.size();
                        } else {
                            reply.text = m_script.refused;
                            state = kUser;
                        }
                        break;
                    case kShell: {
                        const auto replaced = m_replaced.find(line);
                        const auto found = m_script.replies.find(line);
                        reply = replaced != m_replaced.end()      ? replaced->second
                                : found != m_script.replies.end() ? found->second
                                                                  : ShellReply{m_script.unknownReply};
                        if (m_dropped[line] < reply.dropFirst) {
                            ++m_dropped[line];
                            return;
                        }
                        break;
                    }
                }
            }
            if (!SendAll(connection, reply.text, std::chrono::milliseconds(0)) ||
                reply.closeAfter) {
                return;
            }
        }
    }
}

CRefusingPort::CRefusingPort() {
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        ThrowErrno("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(m_socket);
        errno = error;
        ThrowErrno("bind");
    }
    m_port = ntohs(address.sin_port);
}

CRefusingPort::~CRefusingPort() {
    ::close(m_socket);
}

}  // namespace zorv::test
