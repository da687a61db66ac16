// The process entry: the command-line words, registration as a systemd
// service, and the run until the stop request. (The user words are carried
// out by the users database's command, access/UsersCommand.h.)
//
// With no word the server runs in the foreground until SIGTERM or SIGINT,
// which act as the service's stop request. "RegServer" records the
// executable's directory as the work directory; "Service" also installs a
// systemd unit (in $ZORV_UNIT_DIR, default /etc/systemd/system) that starts
// the server at boot and restarts it on failure, the service's system group
// (made with groupadd when missing) and the system bus policy of the local
// interface; "UnregServer" removes the unit and the policy (the group
// stays: files may belong to it). The words follow "-" or "/", in any letter
// case, and must end the line.
//
// A run holds the lock file of its work directory for its whole life, so
// that a second server in the same directory refuses to start.
//
// Used from main() only, on the main thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The exit code of a run that found another server in its work directory.
inline constexpr int kExitAnotherServer = 6;

class CServiceHost {
public:
    static constexpr const char* kAppId = "{C25D32E0-3952-474A-B768-30B85194ABD5}";

    // registryFile: the registry file; serverKey: "SOFTWARE\<file base name>".
    // busReads: the methods of the local interface that the bus policy lets
    // every local account call (pure reads); every other method of both its
    // objects is for root and the service's group only.
    CServiceHost(const CProductNames& names, std::string registryFile, std::string executablePath,
                 IJournal& journal, std::vector<std::string> busReads = {});

    // Each returns the process's exit code (0 on success).
    int Register();
    int Install();
    int Unregister();

    // Blocks SIGTERM and SIGINT for the calling thread (and the threads it
    // creates later). Call first thing in main, before any thread exists.
    static void BlockStopSignals();
    // Takes the lock of workDir, starts the server's message thread, waits
    // for SIGTERM or SIGINT, stops the message thread (the stop sequence).
    // Returns the exit code: 0; kExitAnotherServer when another server holds
    // the lock, 1 when the lock file cannot be made (both said on standard
    // error and in the journal, and nothing started).
    int Run(CMessageThread& server, const std::string& workDir);

    // The lock file of a work directory: "<service name>.lock".
    std::string LockPath(const std::string& workDir) const;
    // The service's system group (see CProductNames::ServiceGroup).
    const std::string& Group() const { return m_group; }
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
    // Makes the service's group when it is missing.
    bool EnsureGroup();
    bool WriteUnit();
    bool WriteBusPolicy();
    bool SetWorkDirectory();

    std::string m_serviceName;
    std::string m_group;
    std::vector<std::string> m_busReads;
    std::string m_executablePath;
    CRegistryKey m_serverKey;
    CRegistryKey m_appIdKey;
    IJournal& m_journal;
};

}  // namespace zorv
