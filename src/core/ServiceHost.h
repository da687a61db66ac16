// The process entry: the command-line words, registration as a systemd
// service, and the run until the stop request. (The user words are carried
// out by the users database's command, access/UsersCommand.h.)
//
// With no word the server runs in the foreground until SIGTERM or SIGINT,
// which act as the service's stop request. "RegServer" records the
// executable's directory as the work directory; "Service" also installs a
// systemd unit (in $ZORV_UNIT_DIR, default /etc/systemd/system) that starts
// the server at boot and restarts it on failure; "UnregServer" removes both.
// The words follow "-" or "/", in any letter case, and must end the line.
//
// Used from main() only, on the main thread.
#pragma once

#include <string>
#include <string_view>

#include "core/Journal.h"
#include "core/MessageThread.h"
#include "core/ProductNames.h"
#include "platform/Registry.h"

namespace zorv {

enum class CommandWord {
    kRun,
    kRegServer,
    kUnregServer,
    kService,
    // The users database of the work directory, without a running server.
    kAddUser,      // "AddUser NAME": an administrator
    kAddOperator,  // "AddUser NAME -Operator": a user with login rights only
    kListUsers,    // "ListUsers"
    kDeleteUser,   // "DeleteUser NAME"
};

// A command line's word and, for the user words, the user name (as typed,
// not empty, not starting with "-" or "/"; it may hold spaces).
struct CommandLine {
    CommandWord word = CommandWord::kRun;
    std::string userName;
};

// The word of a command line (the arguments after the program, joined by
// single spaces): the first "-" or "/" whose rest of the line equals a word,
// ignoring case, decides; anything else runs the server. The user words take
// the rest of the line as the name: "AddUser NAME", "AddUser NAME -Operator"
// (or "/Operator", any case), "DeleteUser NAME".
CommandLine ParseCommand(std::string_view arguments);
inline CommandWord ParseCommandLine(std::string_view arguments) {
    return ParseCommand(arguments).word;
}
std::string JoinArguments(int argc, const char* const* argv);

class CServiceHost {
public:
    static constexpr const char* kAppId = "{C25D32E0-3952-474A-B768-30B85194ABD5}";

    // registryFile: the registry file; serverKey: "SOFTWARE\<file base name>".
    CServiceHost(const CProductNames& names, std::string registryFile, std::string executablePath,
                 IJournal& journal);

    // Each returns the process's exit code (0 on success).
    int Register();
    int Install();
    int Unregister();

    // Blocks SIGTERM and SIGINT for the calling thread (and the threads it
    // creates later). Call first thing in main, before any thread exists.
    static void BlockStopSignals();
    // Starts the server's message thread, waits for SIGTERM or SIGINT, stops
    // the message thread (the stop sequence). Returns the exit code, 0.
    int Run(CMessageThread& server);

    std::string UnitPath() const;
    static std::string UnitDirectory();
    // The D-Bus policy file of the local interface ($ZORV_DBUS_POLICY_DIR
    // for tests and packaging, else the system bus's directory).
    static std::string BusPolicyPath();

private:
    bool IsInstalled() const;
    // Removes an installed service and registers the AppID key afresh.
    void RegisterAppId();
    void RemoveService();
    bool WriteUnit();
    bool WriteBusPolicy();
    bool SetWorkDirectory();

    std::string m_serviceName;
    std::string m_executablePath;
    CRegistryKey m_serverKey;
    CRegistryKey m_appIdKey;
    IJournal& m_journal;
};

}  // namespace zorv
