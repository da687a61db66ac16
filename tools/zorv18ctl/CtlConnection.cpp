#include "CtlConnection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "access/ClientProtocol.h"
#include "platform/Cp1251.h"
#include "platform/CredentialCipher.h"

namespace zorv::ctl {
namespace {

constexpr int kReplyTimeoutMs = 20000;

void CopyField(char* field, std::size_t size, std::string_view text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

std::size_t ServerMessageSize(uint8_t code, uint8_t index) {
    if (code == static_cast<uint8_t>(ClientCode::kDisconnect)) {
        return sizeof(DisconnectNotice);
    }
    if (code == static_cast<uint8_t>(ClientCode::kReadJournal) && index == 2) {
        return kJournalEndSize;
    }
    for (const CommandSize& c : kCommands) {
        if (c.code == code) {
            return c.reply;
        }
    }
    return 0;
}

CCtlConnection::~CCtlConnection() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CCtlConnection::Connect(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        m_error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            m_fd = fd;
            break;
        }
        m_error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return m_fd >= 0;
}

LoginResult CCtlConnection::Login(std::string_view user, std::string_view password) {
    LoginRequest request{};
    request.Code = static_cast<uint8_t>(ClientCode::kLogin);
    CopyField(request.User.UserName, sizeof(request.User.UserName), Utf8ToCp1251(user));
    ApplyCredentialCipher(request.User.UserName, sizeof(request.User.UserName));
    CopyField(request.User.Password, sizeof(request.User.Password), Utf8ToCp1251(password));
    request.User.UserId = 0;  // no inactivity limit
    const bool sent = SendAll(reinterpret_cast<const uint8_t*>(&request), sizeof(request));
    std::memset(&request, 0, sizeof(request));
    if (!sent) {
        return LoginResult::kFailed;
    }
    const std::optional<Message> reply = Reply(static_cast<uint8_t>(ClientCode::kLogin));
    if (!reply) {
        return LoginResult::kFailed;
    }
    uint32_t granted = 0;
    std::memcpy(&granted, reply->bytes.data() + offsetof(LoginReply, Granted), sizeof(granted));
    return granted == 1 ? LoginResult::kGranted : LoginResult::kRefused;
}

bool CCtlConnection::Send(std::span<const uint8_t> request) {
    return SendAll(request.data(), request.size());
}

bool CCtlConnection::Request(uint8_t code, uint8_t index, uint8_t a, uint8_t b) {
    const uint8_t request[4] = {code, index, a, b};
    return SendAll(request, sizeof(request));
}

std::optional<Message> CCtlConnection::Next(int timeoutMs) {
    m_error.clear();
    if (!Fill(2, timeoutMs)) {
        return std::nullopt;
    }
    const std::size_t size = ServerMessageSize(m_buffer[0], m_buffer[1]);
    if (size == 0) {
        m_error = "the server sent an unknown message (code " + std::to_string(m_buffer[0]) + ")";
        return std::nullopt;
    }
    if (!Fill(size, kReplyTimeoutMs)) {
        if (m_error.empty()) {
            m_error = "the server sent part of a message and then nothing";
        }
        return std::nullopt;
    }
    Message message;
    message.code = m_buffer[0];
    message.index = m_buffer[1];
    message.bytes.assign(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(size));
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(size));
    if (message.code == static_cast<uint8_t>(ClientCode::kDisconnect)) {
        uint32_t reason = 0;
        std::memcpy(&reason, message.bytes.data() + offsetof(DisconnectNotice, Reason),
                    sizeof(reason));
        m_error = "the server ended the connection (reason " + std::to_string(reason) + ")";
        return std::nullopt;
    }
    return message;
}

std::optional<Message> CCtlConnection::Reply(uint8_t code, const PushHandler& onPush) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<Message> message = Next(static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (!message) {
            if (m_error.empty()) {
                m_error = "no reply from the server to command " + std::to_string(code);
            }
            return std::nullopt;
        }
        if (message->code == code) {
            return message;
        }
        if (onPush) {
            onPush(*message);
        }
    }
}

bool CCtlConnection::SendAll(const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            m_error = std::string("cannot send to the server: ") + std::strerror(errno);
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool CCtlConnection::Fill(std::size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t chunk[4096];
    while (m_buffer.size() < n) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) {
            m_error = "interrupted";
            return false;
        }
        if (ready <= 0) {
            return false;  // time-out: no error
        }
        const ssize_t got = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            m_error = got == 0
                          ? "the server closed the connection"
                          : std::string("cannot read from the server: ") + std::strerror(errno);
            return false;
        }
        m_buffer.insert(m_buffer.end(), chunk, chunk + got);
    }
    return true;
}

}  // namespace zorv::ctl
