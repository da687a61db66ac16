// The recording server started in the test's own process on simulated
// boards, in a temporary work directory with its registry file there.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "server/RecordServer.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace zorv::test {

// One simulated board of the default configuration on the virtual clock.
inline std::unique_ptr<CSimulatedBoardOpener> OneSimulatedBoard() {
    return std::make_unique<CSimulatedBoardOpener>(std::vector<SimBoardConfig>{SimBoardConfig{}},
                                                   CSimulatedBoard::Clock::Virtual);
}

// Starts the server on those boards and waits until it runs (the test fails
// when it does not).
inline std::unique_ptr<CRecordServer> StartSimulatedServer(
    const CTempDir& dir, std::unique_ptr<CSimulatedBoardOpener> boards) {
    ServerEnvironment env;
    env.prefix = "ZORV";
    env.workDir = dir.Path();
    env.registryFile = dir.File("registry.ini");
    auto server = std::make_unique<CRecordServer>(env, std::move(boards));
    EXPECT_TRUE(server->Start());
    EXPECT_TRUE(PollUntil([&] { return server->State() == SS_RUNNING; },
                          std::chrono::seconds(10)));
    return server;
}

}  // namespace zorv::test
