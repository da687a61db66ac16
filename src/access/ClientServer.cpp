#include "access/ClientServer.h"

#include <ace/INET_Addr.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "access/WireFields.h"
#include "platform/IniFile.h"

namespace zorv {
namespace {

constexpr const char* kSection = "NetWork";
constexpr int kBacklog = 10;

}  // namespace

CClientServer::CClientServer(IJournal& journal, CUsersDatabase& users, IClientData& data,
                             IClock& clock, ClientServerOptions options)
    : m_journal(journal),
      m_users(users),
      m_data(data),
      m_clock(clock),
      m_options(std::move(options)),
      m_logins(journal, m_options.logins),
      m_maxPendingPerAddress(m_options.maxPendingPerAddress) {}

CClientServer::~CClientServer() {
    Stop();
}

void CClientServer::Start() {
    IniFile settings(m_settingsPath);
    const auto readBack = [&](const char* key, uint32_t fallback) {
        const uint32_t value = settings.GetUint(kSection, key, fallback);
        settings.WriteUint(kSection, key, value);
        return value;
    };
    const uint32_t announcePort = readBack("AnonceServerPort", 2048);
    const uint32_t serverPort = readBack("ServerPort", 1040);
    readBack("ListenPort", 3035);
    const uint32_t startNetwork = readBack("StartNetwork", 1);
    m_maxPendingPerAddress = readBack("MaxPendingPerAddress", m_options.maxPendingPerAddress);
    if (startNetwork != 1) {
        m_journal.WriteJournal(kJournalInfo, CatalogText(Msg{102}));
        return;
    }
    // The sockets library is part of the system here; a machine without a
    // network still has its loopback interface.
    m_journal.WriteJournal(kJournalInfo, CatalogText(Msg{98}));
    if (announcePort > 0xFFFF || serverPort > 0xFFFF) {
        m_journal.WriteJournal(kJournalError, CatalogText(Msg{99}));
        m_journal.WriteJournal(kJournalError, CatalogText(Msg{100}));
        return;
    }
    // The TCP server first, so that the responder announces the port it got.
    const bool serving = StartServer(m_options.anyPort ? 0 : static_cast<uint16_t>(serverPort));
    const uint16_t announced = serving ? Port() : static_cast<uint16_t>(serverPort);
    if (!m_responder.Start(m_options.anyPort ? 0 : static_cast<uint16_t>(announcePort), announced,
                           m_options.bindAddress)) {
        m_journal.WriteJournal(kJournalError, CatalogText(Msg{99}));
    }
    if (!serving) {
        m_journal.WriteJournal(kJournalError, CatalogText(Msg{100}));
    }
}

bool CClientServer::StartServer(uint16_t port) {
    StopServer();
    ACE_INET_Addr local;
    const int set = m_options.bindAddress.empty()
                        ? local.set(port, static_cast<ACE_UINT32>(INADDR_ANY))
                        : local.set(port, m_options.bindAddress.c_str());
    if (set != 0 || m_acceptor.open(local, 1 /* reuse address */, AF_INET, kBacklog) != 0) {
        return false;
    }
    ACE_INET_Addr bound;
    m_acceptor.get_local_addr(bound);
    m_port = bound.get_port_number();
    m_acceptor.enable(ACE_NONBLOCK);
    m_stopping = false;
    m_acceptWake.TryReset();
    try {
        m_acceptThread = std::thread([this] { AcceptLoop(); });
    } catch (const std::exception&) {
        m_acceptor.close();
        m_port = 0;
        return false;
    }
    return true;
}

void CClientServer::StopServer() {
    if (m_acceptThread.joinable()) {
        m_stopping = true;
        m_acceptWake.Set();
        m_acceptThread.join();
    }
    m_acceptor.close();
    m_port = 0;
}

void CClientServer::Stop() {
    StopServer();
    m_responder.Stop();
    std::vector<std::shared_ptr<CClientConnection>> all;
    {
        CScopedLock<CRecursiveMutex> lock(m_listLock);
        all.swap(m_connections);
    }
    for (const auto& connection : all) {
        connection->Detach();
    }
    m_logins.FlushAll();
}

void CClientServer::AcceptLoop() {
    while (!m_stopping.load()) {
        pollfd fds[2] = {{m_acceptor.get_handle(), POLLIN, 0}, {m_acceptWake.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(m_options.acceptPeriod.count()));
        if (m_stopping.load()) {
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            Accept();
            continue;
        }
        // A quiet second (or a failed wait, which the loop ignores): purge.
        std::vector<std::shared_ptr<CClientConnection>> closed;
        {
            CScopedLock<CRecursiveMutex> lock(m_listLock);
            closed = TakeClosed();
        }
        for (const auto& connection : closed) {
            connection->Join();
        }
        m_logins.Flush(m_clock.SteadyNow());
    }
}

std::vector<std::shared_ptr<CClientConnection>> CClientServer::TakeClosed() {
    std::vector<std::shared_ptr<CClientConnection>> closed;
    auto keep = std::stable_partition(m_connections.begin(), m_connections.end(),
                                      [](const auto& c) { return !c->IsClosed(); });
    std::move(keep, m_connections.end(), std::back_inserter(closed));
    m_connections.erase(keep, m_connections.end());
    return closed;
}

void CClientServer::Accept() {
    ACE_SOCK_Stream stream;
    ACE_INET_Addr peer;
    if (m_acceptor.accept(stream, &peer) != 0) {
        return;  // would block or failed: the loop goes on
    }
    // The system's text form of the peer: dotted address, colon, port.
    char text[64] = {};
    if (peer.addr_to_string(text, sizeof(text)) != 0) {
        std::snprintf(text, sizeof(text), "0.0.0.0:0");
    }
    const std::string host = HostOf(text);
    std::vector<std::shared_ptr<CClientConnection>> closed;
    bool accepted = false;
    bool tooMany = false;
    {
        CScopedLock<CRecursiveMutex> lock(m_listLock);
        closed = TakeClosed();
        if (m_connections.size() >= kMaxClients) {
            m_journal.WriteJournal(kJournalInfo, CatalogText(Msg{137}));
            stream.close();
        } else if (!MayConnect(host)) {
            tooMany = true;
            stream.close();
        } else {
            auto connection = std::make_shared<CClientConnection>(*this, stream, text);
            // Without a thread the connection is dropped here and closes
            // the socket it owns.
            if (connection->Start()) {
                m_connections.push_back(std::move(connection));
                accepted = true;
            }
        }
    }
    if (accepted) {
        m_journal.WriteJournal(kJournalInfo, std::string(text) + " " + CatalogText(Msg{138}));
    }
    if (tooMany && m_logins.Refused(host, m_clock.SteadyNow(), CLoginGuard::Refusal::kConnection)) {
        m_journal.FormatJournal(kJournalError,
                                "Connection from %s refused: %u connections of this address "
                                "have not logged in",
                                text, m_maxPendingPerAddress.load());
    }
    for (const auto& connection : closed) {
        connection->Join();
    }
}

bool CClientServer::MayConnect(const std::string& host) {
    const uint32_t limit = m_maxPendingPerAddress.load();
    if (limit == 0) {
        return true;
    }
    const auto pending = std::count_if(
        m_connections.begin(), m_connections.end(),
        [&](const auto& c) { return !c->IsClosed() && !c->IsAuthorized() && c->Host() == host; });
    return static_cast<uint64_t>(pending) < limit;
}

void CClientServer::Broadcast(std::span<const uint8_t> message) {
    CScopedLock<CRecursiveMutex> lock(m_listLock);
    for (const auto& connection : m_connections) {
        if (!connection->IsClosed() && connection->IsAuthorized()) {
            connection->Push(message);  // never blocks
        }
    }
}

void CClientServer::BroadcastChannelParams(int device, int first, int last) {
    if (device < 0 || device >= 100) {
        return;
    }
    if (first > last) {
        std::swap(first, last);
    }
    first = std::max(first, 0);
    last = std::min(last, kMaxChannelsPerDevice - 1);
    for (int channel = first; channel <= last; ++channel) {
        tagChanelParam param{};
        if (!m_data.ChannelParam(device, channel, param)) {
            continue;
        }
        const ChannelParamMessage message{kPushChannelParam, static_cast<uint8_t>(device),
                                          static_cast<uint32_t>(channel), param};
        Broadcast({reinterpret_cast<const uint8_t*>(&message), sizeof(message)});
    }
}

void CClientServer::BroadcastDvrConfig() {
    tagDvrConfig config{};
    m_data.DvrConfig(config);
    const DvrConfigMessage message{kPushDvrConfig, 0, config};
    Broadcast({reinterpret_cast<const uint8_t*>(&message), sizeof(message)});
}

std::vector<ClientAtr> CClientServer::GetServerUsers() const {
    std::vector<ClientAtr> users;
    CScopedLock<CRecursiveMutex> lock(m_listLock);
    for (const auto& connection : m_connections) {
        if (!connection->IsClosed() && connection->IsAuthorized()) {
            users.push_back(connection->Attributes());
        }
    }
    return users;
}

template <typename Match>
void CClientServer::DetachWhere(Match match) {
    // Only asked to end: each thread leaves by itself and the accept thread's
    // purge joins it. A connection thread that detached others never waits
    // for them, so two clients ending each other at once both go on.
    CScopedLock<CRecursiveMutex> lock(m_listLock);
    for (const auto& connection : m_connections) {
        if (!connection->IsClosed() && match(*connection)) {
            connection->RequestEnd();
        }
    }
}

void CClientServer::DetachUser(std::string_view name, std::string_view address) {
    const std::string full(address);
    DetachWhere([&](const CClientConnection& c) { return c.Matches(name, &full); });
}

void CClientServer::DetachUserByName(std::string_view name) {
    DetachWhere([&](const CClientConnection& c) { return c.Matches(name, nullptr); });
}

void CClientServer::DetachUserByName(std::string_view name, const CClientConnection* except) {
    DetachWhere(
        [&](const CClientConnection& c) { return &c != except && c.Matches(name, nullptr); });
}

std::size_t CClientServer::ConnectionCount() const {
    CScopedLock<CRecursiveMutex> lock(m_listLock);
    return static_cast<std::size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                                  [](const auto& c) { return !c->IsClosed(); }));
}

}  // namespace zorv
