#include "transcoders/TelnetController.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <ace/Time_Value.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "transcoders/AceTime.h"

namespace zorv {

// A failed step of Connect; carries the error Connect reports.
class CTelnetController::CTelnetConnectException {
public:
    explicit CTelnetConnectException(TelnetError error) : m_error(error) {}
    TelnetError Error() const { return m_error; }

private:
    TelnetError m_error;
};

namespace {}  // namespace

CTelnetController::CTelnetController() {
    m_reply.Reset();
}

CTelnetController::~CTelnetController() {
    Close();
}

void CTelnetController::SetConnectTimeout(std::chrono::milliseconds timeout) {
    m_connectTimeout = std::max(timeout, std::chrono::milliseconds(1));
}

void CTelnetController::SetIoTimeout(std::chrono::milliseconds timeout) {
    m_ioTimeout = std::max(timeout, std::chrono::milliseconds(1));
}

void CTelnetController::Close() {
    if (m_socket >= 0) {
        ACE_SOCK_Stream stream(m_socket);
        stream.close();
        m_socket = -1;
    }
}

bool CTelnetController::Fail(TelnetError error) {
    m_lastError = error;
    Close();
    return false;
}

bool CTelnetController::Connect(const std::string& host, const std::string& user,
                                const std::string& password, uint16_t port) {
    // Until the login is complete the error says "in progress".
    m_lastError = TelnetError::kReplyOverflow;
    Close();
    m_reply.Reset();
    try {
        ACE_INET_Addr address;
        if (address.set(port, host.c_str(), 1, AF_INET) != 0) {
            throw CTelnetConnectException(TelnetError::kConnectFailed);
        }
        ACE_SOCK_Stream stream;
        ACE_SOCK_Connector connector;
        const ACE_Time_Value timeout = TimeValue(m_connectTimeout);
        if (connector.connect(stream, address, &timeout) != 0) {
            stream.close();
            throw CTelnetConnectException(TelnetError::kConnectFailed);
        }
        m_socket = stream.get_handle();
        // Every receive and send waits by its own time limit.
        stream.enable(ACE_NONBLOCK);

        if (!ReadReply() || !Command(user) || !Command(password)) {
            throw CTelnetConnectException(m_lastError);
        }
        if (m_reply.Text() != kLoggedInReply) {
            throw CTelnetConnectException(TelnetError::kLoginRefused);
        }
    } catch (const CTelnetConnectException& failure) {
        return Fail(failure.Error());
    }
    m_lastError = TelnetError::kNone;
    return true;
}

bool CTelnetController::Command(std::string_view text) {
    if (m_socket < 0) {
        m_lastError = TelnetError::kIoFailed;
        return false;
    }
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        m_lastError = TelnetError::kIoFailed;
        return false;
    }
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    // One send for the whole line; MSG_NOSIGNAL: a peer that has gone must
    // not raise SIGPIPE in the server.
    ACE_SOCK_Stream stream(m_socket);
    const ACE_Time_Value timeout = TimeValue(m_ioTimeout);
    std::size_t sent = 0;
    if (stream.send_n(line.data(), line.size(), MSG_NOSIGNAL, &timeout, &sent) !=
            static_cast<ssize_t>(line.size()) ||
        sent != line.size()) {
        return Fail(TelnetError::kIoFailed);
    }
    return ReadReply();
}

bool CTelnetController::ReadReply() {
    using Clock = std::chrono::steady_clock;
    m_reply.Reset();
    const Clock::time_point deadline = Clock::now() + m_ioTimeout * kReplyDeadlineFactor;
    ACE_SOCK_Stream stream(m_socket);
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return Fail(TelnetError::kIoFailed);
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        const ACE_Time_Value timeout = TimeValue(std::min(m_ioTimeout, left));
        const std::span<char> space = m_reply.Space();
        const ssize_t received = stream.recv(space.data(), space.size(), &timeout);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;  // woken without data; the deadline still bounds the wait
        }
        if (received <= 0) {
            // Error, time-out (ETIME) or the peer closed the connection.
            return Fail(TelnetError::kIoFailed);
        }
        switch (m_reply.Commit(static_cast<std::size_t>(received))) {
            case CShellReplyReader::Status::kComplete:
                m_lastError = TelnetError::kNone;
                return true;
            case CShellReplyReader::Status::kOverflow:
                return Fail(TelnetError::kReplyOverflow);
            case CShellReplyReader::Status::kIncomplete:
                break;
        }
    }
}

bool CTelnetController::IsOk() const {
    return m_reply.Text().starts_with("OK");
}

}  // namespace zorv
