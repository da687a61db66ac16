// zorv18server: the call recording server.
//
// With no command-line word it runs in the foreground until SIGTERM or SIGINT;
// "-RegServer", "-UnregServer" and "-Service" (or with "/") register,
// unregister or install it as a systemd service and exit.
#include <ace/Init_ACE.h>
#include <unistd.h>

#include <iostream>

#include "core/ServiceHost.h"
#include "platform/ProcessLimits.h"
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
    switch (ParseCommandLine(JoinArguments(argc, argv))) {
        case CommandWord::kRegServer:
            return host.Register();
        case CommandWord::kUnregServer:
            return host.Unregister();
        case CommandWord::kService:
            return host.Install();
        case CommandWord::kRun:
            break;
    }
    RaiseOpenFileLimit();  // a record file per line and sockets per transcoder
    ACE::init();
    const int exitCode = host.Run(server);
    ACE::fini();
    return exitCode;
}
