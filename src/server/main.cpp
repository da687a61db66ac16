// zorv18server: the call recording server.
//
// With no command-line word it runs in the foreground until SIGTERM or SIGINT;
// "-RegServer", "-UnregServer" and "-Service" (or with "/") register,
// unregister or install it as a systemd service and exit; "-AddUser NAME"
// (an administrator; "-AddUser NAME -Operator" a user that may only log in),
// "-ListUsers" and "-DeleteUser NAME" work on the users database of the work
// directory and exit (the password of a new user is read from standard
// input).
#include <ace/Init_ACE.h>
#include <unistd.h>

#include <iostream>

#include "access/UsersCommand.h"
#include "core/ServiceHost.h"
#include "server/RecordServer.h"

int main(int argc, char** argv) {
    using namespace zorv;
    // Before any thread exists, so that only the main thread takes the stop.
    CServiceHost::BlockStopSignals();

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
    CServiceHost host(server.Names(), server.RegistryKey().FilePath(), ExecutablePath(), server);
    const CommandLine command = ParseCommand(JoinArguments(argc, argv));
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
    ACE::init();
    const int exitCode = host.Run(server);
    ACE::fini();
    return exitCode;
}
