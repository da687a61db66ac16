#include "access/ClientConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "access/ClientServer.h"
#include "access/WireFields.h"
#include "platform/CredentialCipher.h"

namespace zorv {
namespace {

constexpr std::chrono::seconds kLoginLimit{35};     // seven empty 5-second waits
constexpr std::chrono::seconds kInactiveLimit{65};  // thirteen
constexpr std::chrono::milliseconds kNoticeWait{1000};
// Refused logins after which a connection is ended.
constexpr int kMaxRefusedLogins = 3;
// The longest slice of a wait for a login's turn (a detach ends it sooner).
constexpr std::chrono::milliseconds kTurnSlice{100};

}  // namespace

CClientConnection::CClientConnection(CClientServer& server, ACE_SOCK_Stream stream,
                                     std::string address)
    : m_server(server),
      m_clock(server.Clock()),
      m_stream(stream),
      m_lastReply(m_clock.SteadyNow()),
      m_loginDeadline(m_lastReply + kLoginLimit),
      m_address(std::move(address)),
      m_host(HostOf(m_address)) {}

CClientConnection::~CClientConnection() {
    Detach();
    CloseSocket();
}

bool CClientConnection::Start() {
    m_stream.enable(ACE_NONBLOCK);
    if (const int size = m_server.Options().socketSendBuffer; size > 0) {
        m_stream.set_option(SOL_SOCKET, SO_SNDBUF, const_cast<int*>(&size), sizeof(size));
    }
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void CClientConnection::Detach() {
    m_detached = true;
    m_closed = true;
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_wake.Set();
        m_thread.join();
    }
}

void CClientConnection::RequestEnd() {
    m_detached = true;
    m_closed = true;
    m_wake.Set();
}

void CClientConnection::Join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

bool CClientConnection::IsAuthorized() const {
    CMutexLock lock(m_identityLock);
    return m_authorized;
}

ClientAtr CClientConnection::Attributes() const {
    ClientAtr atr{};
    CMutexLock lock(m_identityLock);
    // Both texts keep their terminator inside the 21-byte fields.
    std::memcpy(atr.UserName, m_userName.data(), std::min(m_userName.size(), kUserNameMax));
    std::memcpy(atr.UserAddr, m_address.data(),
                std::min(m_address.size(), sizeof(atr.UserAddr) - 1));
    atr.UserId = m_userId;
    return atr;
}

bool CClientConnection::Matches(std::string_view name, const std::string* address) const {
    CMutexLock lock(m_identityLock);
    if (!SameUserName(m_userName, name)) {
        return false;
    }
    if (address == nullptr) {
        return true;
    }
    // A client knows the address as the 20 bytes of the wire field.
    return *address == m_address ||
           *address == std::string_view(m_address).substr(0, sizeof(ClientAtr::UserAddr) - 1);
}

std::string CClientConnection::Name() const {
    CMutexLock lock(m_identityLock);
    return m_userName;
}

std::string CClientConnection::Address() const {
    return m_address;
}

bool CClientConnection::Push(std::span<const uint8_t> message) {
    if (m_closed.load()) {
        return false;
    }
    {
        CMutexLock lock(m_sendLock);
        if (m_overflow) {
            return false;
        }
        if (m_queuedBytes + message.size() > m_server.Options().sendQueueBytes) {
            m_overflow = true;  // the connection thread disconnects it
        } else {
            m_queue.emplace_back(message.begin(), message.end());
            m_queuedBytes += message.size();
        }
    }
    m_wake.Set();
    return true;
}

void CClientConnection::Run() {
    const int waitMs = static_cast<int>(m_server.Options().waitPeriod.count());
    while (!m_closed.load()) {
        bool wantWrite = false;
        bool overflow = false;
        {
            CMutexLock lock(m_sendLock);
            wantWrite = !m_queue.empty();
            overflow = m_overflow;
        }
        if (overflow) {
            Disconnect(kReasonSendFailed);
            break;
        }
        pollfd fds[2] = {
            {m_stream.get_handle(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
            {m_wake.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        if (m_closed.load()) {
            break;  // detached: leave without a notice
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Disconnect(kReasonSendFailed);
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            m_wake.TryReset();
        }
        if ((fds[0].revents & POLLOUT) != 0 && !Flush()) {
            Disconnect(kReasonSendFailed);
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t got = m_stream.recv(m_receive.data(), m_receive.size());
            if (got > 0) {
                m_assembler.Feed({m_receive.data(), static_cast<std::size_t>(got)}, *this);
            } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                Disconnect(kReasonClosed);
            }
        }
        if (m_ending || m_closed.load() || CheckIdle()) {
            break;
        }
    }
    CloseSocket();
    m_closed = true;
}

bool CClientConnection::CheckIdle() {
    const auto now = m_clock.SteadyNow();
    const auto idle = now - m_lastReply;
    bool authorized = false;
    uint32_t userId = 0;
    {
        CMutexLock lock(m_identityLock);
        authorized = m_authorized;
        userId = m_userId;
    }
    if (!authorized && now >= m_loginDeadline) {
        m_server.Journal().WriteJournal(kJournalError, CatalogText(Msg{140}));
        Disconnect(kReasonTimeout);
        return true;
    }
    if (authorized && userId == kIdleLimitedUserId && idle >= kInactiveLimit) {
        m_server.Journal().WriteJournal(kJournalError, CatalogText(Msg{141}));
        Disconnect(kReasonTimeout);
        return true;
    }
    return false;
}

DispatchOutcome CClientConnection::Dispatch(std::span<const uint8_t> bytes) {
    const GateDecision gate = GateMessage(bytes, IsAuthorized());
    switch (gate.kind) {
        case GateDecision::kNeedMore:
            return {DispatchOutcome::kNeedMore, 0, gate.missing};
        case GateDecision::kSkip:
            return {DispatchOutcome::kUsed, gate.size, 0};
        case GateDecision::kUnauthorized:
            m_lastIndex = bytes[1];
            m_server.Journal().FormatJournal(kJournalError, Msg{143}, Name(), m_address);
            Disconnect(kReasonTimeout);
            return {DispatchOutcome::kStop, 0, 0};
        case GateDecision::kRun:
            break;
    }
    m_lastIndex = bytes[1];
    bool keep = true;
    try {
        keep = RunCommand(bytes.first(gate.size));
    } catch (const std::exception&) {
        // A failed command has no reply; the connection goes on.
    }
    if (!keep || m_ending || m_closed.load()) {
        return {DispatchOutcome::kStop, 0, 0};
    }
    return {DispatchOutcome::kUsed, gate.size, 0};
}

bool CClientConnection::RunCommand(std::span<const uint8_t> request) {
    if (request[0] == static_cast<uint8_t>(ClientCode::kLogin)) {
        LoginRequest login;
        std::memcpy(&login, request.data(), sizeof(login));
        Login(login);
        return !m_ending;
    }
    const CommandSize* row = FindCommand(request[0]);
    return row == nullptr || RunTableCommand(*row, request);
}

void CClientConnection::Login(const LoginRequest& request) {
    // The name arrives enciphered and maybe unterminated: decipher a copy of
    // the whole field, then take at most 20 bytes of it.
    char field[sizeof(request.User.UserName)];
    std::memcpy(field, request.User.UserName, sizeof(field));
    std::string name;
    try {
        ApplyCredentialCipher(field, sizeof(field));
        name = FieldText(field, kUserNameMax);
    } catch (const std::exception&) {
        name = "...";
    }
    const std::string password = FieldText(request.User.Password, kPasswordMax);

    CLoginGuard& guard = m_server.Logins();
    if (!WaitForTurn(guard.Reserve(m_host, m_clock.SteadyNow()))) {
        return;
    }
    auto reply = std::make_unique<LoginReply>();
    std::memset(reply.get(), 0, sizeof(LoginReply));
    reply->Code = request.Code;
    reply->Index = request.Index;
    tagUserAccountRecord record{};
    IJournal& journal = m_server.Journal();
    const bool wasAuthorized = IsAuthorized();
    bool granted = false;
    if (!m_server.Users().Lookup(name, password, record)) {
        m_rights.Clear();
        {
            CMutexLock lock(m_identityLock);
            m_authorized = false;
        }
        if (guard.Refused(m_host, m_clock.SteadyNow(), CLoginGuard::Refusal::kLogin)) {
            journal.FormatJournal(kJournalError, Msg{146}, name, m_address);
        }
    } else {
        m_rights.Load(record);
        granted = m_rights.HasFunction(kFnNetworkAccess);
        {
            CMutexLock lock(m_identityLock);
            m_userName = name;
            m_userId = request.User.UserId;
            m_authorized = granted;
        }
        if (granted) {
            guard.Granted(m_host);
            reply->Granted = 1;
            reply->Account = record;
            journal.FormatJournal(kJournalInfo, Msg{145}, name);
        } else {
            m_rights.Clear();
            if (guard.Refused(m_host, m_clock.SteadyNow(), CLoginGuard::Refusal::kLogin)) {
                journal.FormatJournal(kJournalError, Msg{144}, name);
            }
        }
    }
    if (wasAuthorized && !granted) {
        // Logged out by a refused login: the time to log in starts anew.
        m_loginDeadline = m_clock.SteadyNow() + kLoginLimit;
    }
    if (!ReplyWith(*reply) || granted) {
        return;
    }
    if (++m_refusedLogins >= kMaxRefusedLogins) {
        Disconnect(kReasonTimeout);
    }
}

bool CClientConnection::WaitForTurn(IClock::SteadyTime turn) {
    for (;;) {
        const auto now = m_clock.SteadyNow();
        if (m_closed.load() || (!IsAuthorized() && now >= m_loginDeadline)) {
            return false;
        }
        if (now >= turn) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(turn - now);
        pollfd fd{m_wake.Fd(), POLLIN, 0};
        if (::poll(&fd, 1,
                   static_cast<int>(
                       std::clamp(left, std::chrono::milliseconds{1}, kTurnSlice).count())) > 0) {
            m_wake.TryReset();
        }
    }
}

void CClientConnection::Renamed(const std::string& newName) {
    CMutexLock lock(m_identityLock);
    m_userName = newName;
}

bool CClientConnection::Reply(std::span<const uint8_t> message) {
    std::size_t queued = 0;
    {
        CMutexLock lock(m_sendLock);
        m_queue.emplace_back(message.begin(), message.end());
        m_queuedBytes += message.size();
        queued = m_queuedBytes;
    }
    m_lastReply = m_clock.SteadyNow();
    const bool sent = queued > m_server.Options().sendQueueBytes
                          ? FlushWithin(m_server.Options().sendWait)
                          : Flush();
    if (!sent) {
        Disconnect(kReasonSendFailed);
    }
    return sent;
}

bool CClientConnection::Flush() {
    CMutexLock lock(m_sendLock);
    while (!m_queue.empty()) {
        const std::vector<uint8_t>& front = m_queue.front();
        const ssize_t sent =
            m_stream.send(front.data() + m_queueOffset, front.size() - m_queueOffset, MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        m_queueOffset += static_cast<std::size_t>(sent);
        if (m_queueOffset < front.size()) {
            return true;  // the socket is full
        }
        m_queuedBytes -= front.size();
        m_queueOffset = 0;
        m_queue.pop_front();
    }
    return true;
}

bool CClientConnection::FlushWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!Flush()) {
            return false;
        }
        {
            CMutexLock lock(m_sendLock);
            if (m_queue.empty()) {
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_detached.load()) {
            return false;
        }
        // In slices, so that a detach does not wait for a slow client.
        pollfd fd{m_stream.get_handle(), POLLOUT, 0};
        const auto slice = std::min(left, std::chrono::milliseconds{100});
        if (::poll(&fd, 1, static_cast<int>(slice.count())) < 0 && errno != EINTR) {
            return false;
        }
    }
}

void CClientConnection::Disconnect(uint32_t reason) {
    if (m_ending) {
        return;
    }
    m_ending = true;
    if (m_detached.load()) {
        return;  // ended by the server: no notice (the thread closes the socket)
    }
    m_server.Journal().FormatJournal(kJournalInfo, Msg{139}, reason, Name(), m_address);
    const DisconnectNotice notice{static_cast<uint8_t>(ClientCode::kDisconnect), m_lastIndex,
                                  reason};
    {
        CMutexLock lock(m_sendLock);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&notice);
        m_queue.emplace_back(bytes, bytes + sizeof(notice));
        m_queuedBytes += sizeof(notice);
    }
    FlushWithin(std::min(kNoticeWait, m_server.Options().sendWait));
    CloseSocket();
    m_closed = true;
}

void CClientConnection::CloseSocket() {
    if (m_stream.get_handle() != ACE_INVALID_HANDLE) {
        m_stream.close_writer();
        m_stream.close();
    }
}

}  // namespace zorv
