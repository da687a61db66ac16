// zorv18server: the call recording server.
//
// With no command-line word it runs in the foreground until SIGTERM or SIGINT;
// "-RegServer", "-UnregServer" and "-Service" (or with "/") register,
// unregister or install it as a systemd service and exit; "-AddUser NAME"
// (an administrator; "-AddUser NAME -Operator" a user that may only log in),
// "-ListUsers" and "-DeleteUser NAME" work on the users database of the work
// directory and exit (the password of a new user is read from standard
// input).
//
// A run holds the lock of its work directory; a second server there exits
// with kExitAnotherServer. The run and the users words make their files for
// the service's user and group only (umask 027); the registration words keep
// the caller's umask, as they write files other system programs read.
#include <ace/Init_ACE.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "access/LocalBus.h"
#include "access/UsersCommand.h"
#include "core/ServiceHost.h"
#include "platform/FileOps.h"
#include "platform/ProcessLimits.h"
#include "server/RecordServer.h"

int main(int argc, char** argv) {
    using namespace zorv;
    // Before any thread exists, so that only the main thread takes the stop.
    CServiceHost::BlockStopSignals();
    const CommandLine command = ParseCommand(JoinArguments(argc, argv));
    const bool registration = command.word == CommandWord::kRegServer ||
                              command.word == CommandWord::kUnregServer ||
                              command.word == CommandWord::kService;
    if (!registration) {
        ::umask(kServerUmask);
    }

    ServerEnvironment environment;
    environment.echoJournal = isatty(STDERR_FILENO) != 0;  // a server run by hand shows its journal
    // Simulated boards only when a scenario is named (demonstrations, tests).
    std::unique_ptr<IBoardIoOpener> boards;
    try {
        boards = BoardsFromEnvironment();
    } catch (const std::exception& e) {
        std::cerr << "zorv18server: " << e.what() << std::endl;
        return 1;
    }
    CRecordServer server(environment, std::move(boards));
    // The bus policy that -Service installs lets everyone call the reads only.
    CServiceHost host(server.Names(), server.RegistryKey().FilePath(), ExecutablePath(), server,
                      LocalReadMethods());
    switch (command.word) {
        case CommandWord::kRegServer:
            return host.Register();
        case CommandWord::kUnregServer:
            return host.Unregister();
        case CommandWord::kService:
            return host.Install();
        case CommandWord::kAddUser:
        case CommandWord::kAddOperator:
        case CommandWord::kListUsers:
        case CommandWord::kDeleteUser:
            return RunUsersCommand(
                command, server.WorkDir(), server.Names().Prefix(),
                [](std::string& password) {
                    return ReadPasswordFrom(STDIN_FILENO, std::cerr, password);
                },
                std::cout, std::cerr);
        case CommandWord::kRun:
            break;
    }
    RaiseOpenFileLimit();  // a record file per line and sockets per transcoder
    ACE::init();
    const int exitCode = host.Run(server, server.WorkDir());
    ACE::fini();
    return exitCode;
}
