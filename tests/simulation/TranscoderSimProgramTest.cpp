// The zorv18-transcoder-sim program as a person runs it. The tests skip when
// the program has not been built (build it with the tests_simulation target).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/IniFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

const std::string& Program() {
    static const std::string path = test::BuiltProgram("zorv18-transcoder-sim");
    return path;
}

#define SKIP_WITHOUT_PROGRAM()                                          \
    if (!std::filesystem::exists(Program())) {                          \
        GTEST_SKIP() << Program() << " is not built";                   \
    }

TEST(TranscoderSimProgramTest, ShowPasswordDeciphersTheStoredPassword) {
    SKIP_WITHOUT_PROGRAM();
    test::CTempDir dir;
    const std::string path = dir.File("Transcoders.ini");
    // "secret21" padded with zeros to 32 bytes and enciphered with the
    // credential cipher (ChaCha20, key SHA-256("zorv18 credential cipher"),
    // zero nonce, counter 0), computed by an independent implementation.
    const std::string enciphered =
        "FFE965AFA26A6254262D3ACDDA31B605A659DA8D96686854C395BCCA5A729583";
    uint8_t bytes[kTranscoderTextSize];
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<uint8_t>(std::stoi(enciphered.substr(2 * i, 2), nullptr, 16));
    }
    IniFile file(path);
    ASSERT_TRUE(file.WriteStruct("Transcoder-3", "Password", bytes, sizeof bytes));
    ASSERT_TRUE(file.WriteString("Transcoder-4", "Password", "00FF"));

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;  // a part of the error text
    };
    const Case cases[] = {
        {{"--show-password", path, "3"}, 0, "secret21\n", ""},
        {{"--show-password", path, "4"}, 1, "", "[Transcoder-4] Password: missing, or not"},
        {{"--show-password", path, "5"}, 1, "", "[Transcoder-5] Password"},
        {{"--show-password", path, "100"}, 2, "", "'100' is not a position 0..99"},
        {{"--show-password", dir.File("none.ini"), "3"}, 1, "", "no such file"},
        {{"--show-password", path}, 2, "", "usage:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        test::CChildProcess child(Program(), c.args, dir.Path(), {});
        EXPECT_EQ(child.Wait(10s), c.status);
        EXPECT_EQ(child.Stdout(), c.out);
        EXPECT_NE(child.Stderr().find(c.err), std::string::npos) << child.Stderr();
    }
}

TEST(TranscoderSimProgramTest, RunsAScenarioAndPrintsEachRequestUntilSigterm) {
    SKIP_WITHOUT_PROGRAM();
    test::CTempDir dir;
    const std::string scenario = dir.File("sim.ini");
    test::WriteBytes(scenario,
                     "[Transcoder1]\nAddress = 127.0.71.40\nConfigPort = 0\nSerial = 40\n");
    test::CChildProcess child(Program(), {scenario}, dir.Path(), {});
    ASSERT_TRUE(test::PollUntil(
        [&] { return child.Stdout().find("running") != std::string::npos || !child.Running(); },
        10s))
        << child.Stderr();
    const std::string out = child.Stdout();
    const std::string place = "at 127.0.71.40:";
    const std::size_t at = out.find(place);
    ASSERT_NE(at, std::string::npos) << out;
    const uint16_t port = static_cast<uint16_t>(std::stoi(out.substr(at + place.size())));

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    TranscoderPacket scan;
    scan.layout = TranscoderLayout::kEarlier;
    scan.type = FC_SCAN_DEVICE;
    uint8_t bytes[kCurrentPacketSize];
    const std::size_t size = EncodeTranscoderPacket(scan, bytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ParseAddressText("127.0.71.40")->ip;
    address.sin_port = htons(port);
    ASSERT_EQ(::sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(size));
    pollfd wait{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&wait, 1, 5000), 1);
    EXPECT_EQ(::recv(fd, bytes, sizeof bytes, 0), 184);
    ::close(fd);
    EXPECT_TRUE(test::PollUntil(
        [&] { return child.Stdout().find("FC_SCAN_DEVICE") != std::string::npos; }, 5s))
        << child.Stdout();

    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(10s), 0);
    EXPECT_NE(child.Stdout().find("stopped"), std::string::npos);
}

TEST(TranscoderSimProgramTest, ABadScenarioIsReportedWithExitStatusOne) {
    SKIP_WITHOUT_PROGRAM();
    test::CTempDir dir;
    const std::string scenario = dir.File("bad.ini");
    test::WriteBytes(scenario, "[Transcoder1]\nAddress = 127.0.71.41\nSerial = x\n");
    test::CChildProcess child(Program(), {scenario}, dir.Path(), {});
    EXPECT_EQ(child.Wait(10s), 1);
    EXPECT_NE(child.Stderr().find(scenario + ": [Transcoder1] Serial: 'x' is not a decimal number"),
              std::string::npos)
        << child.Stderr();
}

}  // namespace
}  // namespace zorv
