// One client connected to the client server: its socket, its thread, its
// login and rights, and its send queue.
//
// The connection's own thread does all socket work: it waits (poll) on the
// socket and on a wake event for at most the wait period, reads, reassembles
// and dispatches requests, writes the send queue, and watches the time-outs
// (an unauthorized client 35 s after connecting or its last reply; an
// authorized client with UserId 81 65 s after its last reply; no limit for
// other clients), measured on the injected clock.
//
// Other threads only queue messages (Push: broadcasts), read the client's
// identity (Attributes) and end the connection (Detach). Push never blocks:
// each connection's queue is bounded, and a client that lets it overflow is
// disconnected with reason 2 by its own thread. Closing never races a
// push: the socket belongs to the connection thread alone, the queue and
// event live as long as the object (shared by the server's list).
//
// Owned by CClientServer's list (shared_ptr). A connection that ends itself
// (disconnect) or is asked to end (RequestEnd) stops its thread and waits in
// the list, closed, until the server purges it; the purge or Detach joins
// the thread, never the thread itself nor another connection's thread.
//
// Logging in: the time-out before a login counts from the connection's
// start (a refused login does not restart it), three refused logins end the
// connection, and every password check waits for its turn from the server's
// login guard (a growing delay per address after refusals).
#pragma once

#include <ace/SOCK_Stream.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "access/ClientProtocol.h"
#include "access/MessageAssembler.h"
#include "access/UserRights.h"
#include "platform/AutoResetEvent.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace zorv {

class CClientServer;

// The texts of a network transcoder device's codec in the journal: the
// compression's name, and the Speex mode followed by a space (empty for
// other compressions).
std::string CompressionName(uint32_t compression);
std::string SpeexModeText(uint32_t compression, uint32_t speexMode);

class CClientConnection final : private IMessageDispatcher {
public:
    // The fuzz target of the dispatcher drives a connection without its
    // thread (fuzz/fuzz_client_commands.cpp).
    friend class CClientConnectionProbe;

    // Takes the accepted socket; address: the peer as "a.b.c.d:port".
    CClientConnection(CClientServer& server, ACE_SOCK_Stream stream, std::string address);
    ~CClientConnection() override;
    CClientConnection(const CClientConnection&) = delete;
    CClientConnection& operator=(const CClientConnection&) = delete;

    // Starts the thread; false when it cannot be started.
    bool Start();
    // Ends the connection from another thread: sets the closed flag, wakes
    // and joins the thread (which leaves without a disconnect notice) and
    // closes the socket. From the connection's own thread it only sets the
    // flag: the thread ends after the current message. Only the server's
    // stop and purge call it.
    void Detach();
    // Asks the connection to end without waiting for it: sets the closed
    // flag and wakes the thread, which leaves without a disconnect notice
    // and closes its socket (any thread).
    void RequestEnd();
    // Joins a thread that ended itself (purge).
    void Join();

    bool IsClosed() const { return m_closed.load(); }
    // True on the connection's own thread.
    bool IsOwnThread() const { return m_thread.get_id() == std::this_thread::get_id(); }
    bool IsAuthorized() const;
    // The wire form of the client's identity (UserAddr cut to 20 bytes).
    ClientAtr Attributes() const;
    // Same user name (SameUserName) and full address text.
    bool Matches(std::string_view name, const std::string* address) const;
    // The peer's address without its port.
    const std::string& Host() const { return m_host; }

    // Queues a message (any thread). False when the connection is closed or
    // its queue is full; a full queue disconnects the client (reason 2).
    bool Push(std::span<const uint8_t> message);

private:
    void Run();
    // IMessageDispatcher: gate, then the command.
    DispatchOutcome Dispatch(std::span<const uint8_t> bytes) override;
    // Runs a whole request; false when the connection must end.
    bool RunCommand(std::span<const uint8_t> request);
    void Login(const LoginRequest& request);
    // Waits for the login guard's turn; false when the connection ended or
    // its time to log in ran out first (no check, no reply).
    bool WaitForTurn(IClock::SteadyTime turn);
    // The user logged in on this connection was renamed by itself.
    void Renamed(const std::string& newName);
    // Read commands (ClientReadCommands.cpp).
    bool RunReadCommand(uint8_t code, uint8_t index, std::span<const uint8_t> request);
    void SendJournalFile(uint8_t index);
    void SendServerUsers();
    // Every other command of the table (ClientCommands.cpp, ClientUserCommands.cpp).
    bool RunTableCommand(const CommandSize& row, std::span<const uint8_t> request);
    // Device index, channel range and rights; false when refused or out of
    // range (the status reply is sent then).
    bool Admit(const CommandSize& row, std::span<const uint8_t> request);
    bool RunChangeCommand(const CommandSize& row, std::span<const uint8_t> request);
    // A command whose operation this server does not have.
    bool RunUnavailable(const CommandSize& row, std::span<const uint8_t> request);
    bool RunUsersCommand(const CommandSize& row, std::span<const uint8_t> request);
    bool RunOperatorsCommand(const CommandSize& row, std::span<const uint8_t> request);
    // Network transcoders, 210-235 (ClientTranscoderCommands.cpp).
    bool RunTranscoderCommand(const CommandSize& row, std::span<const uint8_t> request);
    // Storage and the compressor: 15, 28, 42, 43, 87, 88.
    bool RunStorageCommand(const CommandSize& row, std::span<const uint8_t> request);
    void JournalRefusal(const CommandSize& row, std::span<const uint8_t> request);
    void JournalSuccess(const CommandSize& row, std::span<const uint8_t> request);
    bool Status(std::span<const uint8_t> request, int32_t result);
    // The result in a reply of the row's size (a refusal of a command whose
    // reply is longer than the status reply keeps that size).
    bool RowStatus(const CommandSize& row, std::span<const uint8_t> request, int32_t result);

    // Queues a reply of this thread and resets the idle time; waits while the
    // queue is over its bound (a long stream). False when the connection must
    // end.
    bool Reply(std::span<const uint8_t> message);
    template <typename T>
    bool ReplyWith(const T& message) {
        return Reply({reinterpret_cast<const uint8_t*>(&message), sizeof(T)});
    }
    // Writes what the socket takes without blocking; false on a send error.
    bool Flush();
    // Writes the queue, waiting up to `limit` for the socket; false when it
    // could not.
    bool FlushWithin(std::chrono::milliseconds limit);
    // The timeouts, by the injected clock; true when the connection ended.
    bool CheckIdle();
    // Journals 139, sends the notice, closes the socket, ends the loop.
    void Disconnect(uint32_t reason);
    void CloseSocket();
    std::string Name() const;
    std::string Address() const;

    // Constant after construction
    CClientServer& m_server;
    IClock& m_clock;

    // Connection thread only
    ACE_SOCK_Stream m_stream;
    CMessageAssembler m_assembler;
    CUserRights m_rights;
    std::array<uint8_t, kMaxRequestSize> m_receive{};
    IClock::SteadyTime m_lastReply;
    IClock::SteadyTime m_loginDeadline;  // while not logged in
    int m_refusedLogins = 0;
    uint8_t m_lastIndex = 0;
    bool m_ending = false;  // Disconnect ran

    std::thread m_thread;
    CAutoResetEvent m_wake;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_detached{false};

    // The client's identity: written by the connection thread at login,
    // read by the server's list operations.
    mutable CMutex m_identityLock;
    std::string m_userName GUARDED_BY(m_identityLock);  // deciphered, at most 20 bytes
    const std::string m_address;                        // full "a.b.c.d:port"
    const std::string m_host;                           // "a.b.c.d"
    uint32_t m_userId GUARDED_BY(m_identityLock) = 0;
    bool m_authorized GUARDED_BY(m_identityLock) = false;

    // The send queue: appended by any thread, written by the connection thread.
    mutable CMutex m_sendLock;
    std::deque<std::vector<uint8_t>> m_queue GUARDED_BY(m_sendLock);
    std::size_t m_queueOffset GUARDED_BY(m_sendLock) = 0;  // bytes of the front already sent
    std::size_t m_queuedBytes GUARDED_BY(m_sendLock) = 0;
    bool m_overflow GUARDED_BY(m_sendLock) = false;
};

}  // namespace zorv
