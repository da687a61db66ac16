// A scripted NET2 text shell for tests: a TCP listener on 127.0.0.1 at a
// port the system chooses, served by a thread of its own, one connection at a
// time.
//
// Each connection gets the greeting, then a login: the first line is the
// user (answered with the password prompt), the second the password
// (answered with the logged-in reply when it is the script's password, else
// with the refusal, and the login starts over). After the login every line
// is looked up in the reply table. Every line received (user and password
// included) is recorded in order, without its CR LF; only lines that end in
// CR LF count.
//
// Bounded in time: the thread ends when the peer is destroyed or after
// kLifetime, whichever comes first; a trickled greeting stops when the
// client has gone. The recorded lines are guarded by the peer's lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorv::test {

struct ShellReply {
    std::string text;
    bool closeAfter = false;  // the peer closes the connection after sending it
    // The first dropFirst times the line comes, the peer closes the connection
    // without answering (counted over all connections).
    int dropFirst = 0;
};

struct ShellPeerScript {
    std::string greeting = "NET2 shell login\r\nlogin>";
    // Greeting bytes go one at a time this far apart (0: all at once).
    std::chrono::milliseconds greetingTrickle{0};
    std::string user = "admin";  // only recorded; any user is asked the password
    std::string passwordPrompt = "password>";
    std::string password = "secret";
    std::string loggedIn = "NET2 shell>";
    std::string refused = "ERROR: wrong password\r\nlogin>";
    std::map<std::string, ShellReply> replies;
    std::string unknownReply = "ERROR: unknown command\r\nNET2 shell>";
};

class CShellPeer {
public:
    static constexpr std::chrono::seconds kLifetime{30};

    // Listens at once; throws std::system_error when it cannot.
    explicit CShellPeer(ShellPeerScript script);
    ~CShellPeer();
    CShellPeer(const CShellPeer&) = delete;
    CShellPeer& operator=(const CShellPeer&) = delete;

    uint16_t Port() const { return m_port; }
    static constexpr const char* kHost = "127.0.0.1";

    // The lines received so far, in order.
    std::vector<std::string> Received() const;
    // Lines received after the login of the last connection (commands only).
    std::vector<std::string> Commands() const;
    int Connections() const { return m_connections.load(); }
    // Replaces (or adds) the reply to a command line for the lines to come.
    void SetReply(const std::string& line, ShellReply reply);

private:
    void Run();
    void Serve(int connection);
    bool SendAll(int connection, const std::string& text, std::chrono::milliseconds trickle);
    bool Stopping() const;

    // Constant after construction
    const ShellPeerScript m_script;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::chrono::steady_clock::time_point m_end;

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_lock;
    std::vector<std::string> m_received;  // guarded by m_lock
    std::size_t m_commandsFrom = 0;       // guarded by m_lock: index of the first command
    std::map<std::string, ShellReply> m_replaced;  // guarded by m_lock: SetReply
    std::map<std::string, int> m_dropped;          // guarded by m_lock: dropFirst used up
    std::thread m_thread;
};

// A port on 127.0.0.1 where connections are refused: bound, never listening,
// held until destroyed so that nobody else takes it meanwhile.
class CRefusingPort {
public:
    CRefusingPort();
    ~CRefusingPort();
    CRefusingPort(const CRefusingPort&) = delete;
    CRefusingPort& operator=(const CRefusingPort&) = delete;
    uint16_t Port() const { return m_port; }

private:
    int m_socket = -1;
    uint16_t m_port = 0;
};

}  // namespace zorv::test
