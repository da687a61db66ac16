// The client server: the network module of the recording server. It reads
// the "NetWork" settings, starts the announcement responder and the TCP
// server of the client protocol, keeps the list of connections (at most 20),
// and pushes channel parameters (6) and the server configuration (3) to
// every authorized client.
//
// What a peer can start before it has logged in is bounded: at most
// MaxPendingPerAddress connections of one address that have not logged in
// (so others can always get in from elsewhere), a login time-out counted
// from the connection's start, three refused logins per connection, the
// growing delay of CLoginGuard per address, and the users database's bound
// on password checks that run at once.
//
// Threads: Start and Stop come from the server's message thread; the accept
// thread accepts, purges (joins ended connections) and journals the login
// guard's burst counts; each connection has its own thread
// (CClientConnection); broadcasts, GetServerUsers and the detach calls may
// come from any thread, connection threads included. m_listLock guards the
// list; it is never held while a thread is joined or while anything waits
// on a socket, so a broadcast never blocks on a slow client. The detach
// calls only ask connections to end: no thread but the accept thread and
// Stop ever joins a connection thread, so two connections ending each other
// at once cannot wait on each other.
#pragma once

#include <ace/SOCK_Acceptor.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "access/AnnounceResponder.h"
#include "access/ClientConnection.h"
#include "access/ClientData.h"
#include "access/ClientOperations.h"
#include "access/LoginGuard.h"
#include "access/UsersDatabase.h"
#include "core/Journal.h"
#include "core/ServerComponents.h"
#include "platform/AutoResetEvent.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace zorv {

inline constexpr std::size_t kMaxClients = 20;
inline constexpr uint32_t kIdleLimitedUserId = 81;

struct ClientServerOptions {
    // One wait of a connection thread and of the accept thread (the
    // time-outs themselves run on the injected clock).
    std::chrono::milliseconds waitPeriod{5000};
    std::chrono::milliseconds acceptPeriod{1000};
    // Bound of a connection's send queue.
    std::size_t sendQueueBytes = 256 * 1024;
    // How long a connection thread waits for the socket to take its own
    // replies before it gives up (reason 2).
    std::chrono::milliseconds sendWait{5000};
    // SO_SNDBUF of accepted sockets; 0 keeps the system's.
    int socketSendBuffer = 0;
    // Where to listen (the settings' port listens on every address).
    std::string bindAddress;
    // Listen on free ports chosen by the system instead of the settings'
    // ports (tests, which never bind a fixed port).
    bool anyPort = false;
    // Connections of one address that have not logged in yet; 0: no bound
    // but the 20 of all ("NetWork"/"MaxPendingPerAddress" replaces it at
    // Start).
    uint32_t maxPendingPerAddress = 4;
    // Delays and journal bursts of refused logins.
    LoginGuardOptions logins;
};

// Code 38's messages for these clients: index 1, 2, ... each, then the
// terminator with index 0 (alone when there is none).
std::vector<ServerUserMessage> ServerUserMessages(const std::vector<ClientAtr>& users);

class CClientServer final : public INetworkModule {
public:
    CClientServer(IJournal& journal, CUsersDatabase& users, IClientData& data, IClock& clock,
                  ClientServerOptions options = {});
    ~CClientServer() override;
    CClientServer(const CClientServer&) = delete;
    CClientServer& operator=(const CClientServer&) = delete;

    // The server operations the change commands call; set before Start.
    // Without them every change command answers as unavailable.
    void SetOperations(IClientOperations& operations) { m_operations = &operations; }

    // The main settings file ("NetWork" section); set before Start.
    void SetSettingsPath(std::string path) { m_settingsPath = std::move(path); }

    // INetworkModule: the start-up of the settings and both services.
    void Start() override;
    void Stop() override;

    // The TCP server alone (port 0: any free port). False when it cannot
    // listen.
    bool StartServer(uint16_t port);
    // The port listened on (0 when not listening).
    uint16_t Port() const { return m_port.load(); }

    // Pushes code 6 for channels first..last of a device to every authorized
    // client; the one entry point for channel parameter changes.
    void BroadcastChannelParams(int device, int first, int last);
    // Pushes code 3.
    void BroadcastDvrConfig();

    std::vector<ClientAtr> GetServerUsers() const;
    // address: the full "a.b.c.d:port" text (also the 20-byte wire form).
    void DetachUser(std::string_view name, std::string_view address);
    void DetachUserByName(std::string_view name);
    // The same for every connection but `except` (which ends itself).
    void DetachUserByName(std::string_view name, const CClientConnection* except);
    // Open connections in the list (for tests and the service parameters).
    std::size_t ConnectionCount() const;

    // Refused logins of the network and the local interface.
    CLoginGuard& Logins() { return m_logins; }

    // For the connections.
    IJournal& Journal() { return m_journal; }
    CUsersDatabase& Users() { return m_users; }
    IClientData& Data() { return m_data; }
    IClientOperations* Operations() { return m_operations; }
    IClock& Clock() { return m_clock; }
    const ClientServerOptions& Options() const { return m_options; }

private:
    void AcceptLoop();
    void Accept();
    // Removes closed connections; returns them for joining outside the lock.
    std::vector<std::shared_ptr<CClientConnection>> TakeClosed() REQUIRES(m_listLock);
    // Whether host may open one more connection before its others log in.
    bool MayConnect(const std::string& host) REQUIRES(m_listLock);
    void Broadcast(std::span<const uint8_t> message);
    template <typename Match>
    void DetachWhere(Match match);
    void StopServer();

    // Constant after construction
    IJournal& m_journal;
    CUsersDatabase& m_users;
    IClientData& m_data;
    IClock& m_clock;
    const ClientServerOptions m_options;
    IClientOperations* m_operations = nullptr;  // set before Start
    CLoginGuard m_logins;
    std::atomic<uint32_t> m_maxPendingPerAddress;

    // Message thread only (Start, Stop)
    std::string m_settingsPath;
    ACE_SOCK_Acceptor m_acceptor;
    std::thread m_acceptThread;
    CAnnounceResponder m_responder;

    CAutoResetEvent m_acceptWake;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint16_t> m_port{0};

    mutable CRecursiveMutex m_listLock;
    std::vector<std::shared_ptr<CClientConnection>> m_connections GUARDED_BY(m_listLock);
};

}  // namespace zorv
