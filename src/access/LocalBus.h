// The local interface on D-Bus: the bus name "Zorv18server.LocalInterface",
// the object "/LocalInterface" with the interface
// "Zorv18server.ILocalInterface" (every method in its order, each ending
// with its "Err" where it has one), and the object "/DbGatewayInterface"
// with "Zorv18server.IDbGatewayInterface.addDataBaseRecord". Records travel
// as byte arrays in their exact binary layout (docs/local-interface.xml).
//
// Each client connection (its unique bus name) is one client object with its
// own session: it logs in with Authorization; the session ends when the
// client leaves the bus, or, when it never logged in, kLoginLimit after its
// first call. At most kMaxSessions sessions live at once, and at most
// kMaxSessionsPerUser of one local account (the bus tells the caller's Unix
// user), so no account can lock the others out. Methods of operations this
// server does not have yet take their record as bytes and answer an empty
// reply and Err 0.
//
// Threads: Start and Stop come from the server's message thread; the calls
// run on the bus connection's event-loop thread (m_loop), one at a time. A
// bus that goes away ends that thread with a journal entry, never the
// process.
// m_lock guards the sessions (also touched by the bus-leave handler and the
// loop's time-out sweep) and the pipe of GetReadHandlePipe. Everything that
// takes it runs on the loop thread but Stop, which takes it only after the
// loop has ended; so a call that holds it across a password check or the
// bus's query of a caller's account holds up no other client (the calls of
// all clients are answered one at a time anyway).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "access/LocalInterface.h"
#include "core/LocalBusNames.h"
#include "platform/AutoResetEvent.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
}  // namespace sdbus

namespace zorv {

class IJournal;

// One method of the local interface as the bus shows it.
struct LocalMethod {
    const char* name;
    const char* in;       // D-Bus signature of the inputs
    const char* inNames;  // their names, separated by commas
    const char* out;      // D-Bus signature of the outputs
    const char* outNames;
    bool available;  // false: empty reply and Err 0
    bool read;       // a pure read: see LocalReadMethods
};

// Every method of ILocalInterface in its order.
std::span<const LocalMethod> LocalMethods();
// The names of the pure reads: the installed bus policy lets every local
// account call them; the other methods (and the database gateway) are for
// root and the service's group only.
std::vector<std::string> LocalReadMethods();

class CLocalBus {
public:
    // Most client objects at one time, and of one local account.
    static constexpr std::size_t kMaxSessions = 64;
    static constexpr std::size_t kMaxSessionsPerUser = 16;
    // How long a client object that has not logged in lives.
    static constexpr std::chrono::seconds kLoginLimit{35};

    CLocalBus(ILocalInterface& local, IJournal& journal, IClock& clock = SystemClock());
    ~CLocalBus();
    CLocalBus(const CLocalBus&) = delete;
    CLocalBus& operator=(const CLocalBus&) = delete;

    // bus: "system", "session" or a D-Bus address ("unix:path=..."); "none"
    // publishes nothing. A bus that cannot be reached or a name that cannot
    // be owned is journaled and the server goes on without it.
    bool Start(const std::string& bus);
    void Stop();
    bool IsPublished() const { return m_connection != nullptr; }

private:
    void Register();
    // The bus connection's event loop (m_loop).
    void Loop();
    void Dispatch(const LocalMethod& method, sdbus::MethodCall& call) EXCLUDES(m_lock);
    // The storage and transcoder methods; false for any other.
    bool DispatchStorageAndTranscoders(std::string_view name, sdbus::MethodCall& call,
                                       CLocalSession& s) REQUIRES(m_lock);
    void OnNameOwnerChanged(const std::string& name, const std::string& newOwner);
    // The caller's session, made on its first call; throws the bus error
    // LimitsExceeded when the caller may not have one more.
    CLocalSession& SessionOf(sdbus::MethodCall& call) REQUIRES(m_lock);
    // Ends the sessions that did not log in within kLoginLimit.
    void EndIdleSessions() REQUIRES(m_lock);
    int ReadHandlePipe(int processId, int& readEnd) REQUIRES(m_lock);
    void ClosePipe() REQUIRES(m_lock);

    // Constant after construction
    ILocalInterface& m_local;
    IJournal& m_journal;
    IClock& m_clock;

    // Message thread only (Start, Stop)
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
    std::unique_ptr<sdbus::IObject> m_gateway;
    std::thread m_loop;

    std::atomic<bool> m_stopping{false};
    CAutoResetEvent m_wake;  // ends the loop's wait

    struct Session {
        CLocalSession local;
        uid_t uid;
        IClock::SteadyTime started;
    };
    CMutex m_lock;
    std::map<std::string, Session> m_sessions GUARDED_BY(m_lock);  // by unique bus name
    int m_pipe[2] GUARDED_BY(m_lock) = {-1, -1};
};

}  // namespace zorv
