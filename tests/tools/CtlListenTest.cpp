// zorv18ctl listen receiving what the server's own local-listening writer
// sends: its output must be a WAV stream that sox reads with the format of
// the messages and the audio as pushed.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "access/LocalListenWriter.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// What soxi tells of a file: one of -r, -c, -s.
std::string Soxi(const std::string& option, const std::string& path) {
    const std::string command = "soxi " + option + " '" + path + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        out += buffer;
    }
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(CtlListenTest, WritesTheServersMessagesAsAWavStream) {
    struct Case {
        uint32_t rate;
        bool stereo;
    };
    const Case cases[] = {{16000, false}, {8000, true}, {32000, false}};
    uint16_t port = 4100;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + (c.stereo ? " Hz stereo" : " Hz mono"));
        CTempDir dir;
        ++port;
        CChildProcess ctl(BuiltProgram("zorv18ctl"),
                          {"listen", "0", "1", "--port", std::to_string(port), "--no-start",
                           "--run-dir", dir.Path()},
                          dir.Path(), {});
        const std::string socket = LocalListenSocketPath(dir.Path(), port);
        ASSERT_TRUE(PollUntil([&] { return std::filesystem::exists(socket); }, 20s))
            << ctl.Stderr();

        CLocalListenWriter writer(dir.Path(), port);
        ASSERT_TRUE(writer.Open(c.rate, c.stereo, CAudioObserver::kKindPcm));
        // One second of a ramp, in pieces as a device pushes them.
        const std::size_t frame = c.stereo ? 4 : 2;
        std::string audio(c.rate * frame, '\0');
        for (std::size_t i = 0; i < audio.size(); ++i) {
            audio[i] = static_cast<char>(i * 7 + i / 251);
        }
        std::size_t at = 0;
        ASSERT_TRUE(PollUntil(
            [&] {
                const std::size_t n = std::min<std::size_t>(1600 * frame, audio.size() - at);
                at += writer.Push(reinterpret_cast<const uint8_t*>(audio.data()) + at, n);
                return at == audio.size();
            },
            20s));
        // Audio below the writer's wake threshold stays in its ring.
        const std::string out = dir.File("zorv18ctl.out");
        const std::size_t least = 44 + audio.size() - writer.WakeThreshold();
        ASSERT_TRUE(PollUntil([&] { return ReadFile(out).size() >= least; }, 20s))
            << ReadFile(out).size() << " " << ctl.Stderr();
        writer.Close();
        ctl.Signal(SIGTERM);
        ASSERT_EQ(ctl.Wait(20s), 0) << ctl.Stderr();

        const std::string wav = ReadFile(out);
        const std::size_t data = wav.size() - 44;
        EXPECT_EQ(Soxi("-r", out), std::to_string(c.rate));
        EXPECT_EQ(Soxi("-c", out), c.stereo ? "2" : "1");
        EXPECT_EQ(Soxi("-s", out), std::to_string(data / frame));
        EXPECT_EQ(wav.substr(44), audio.substr(0, data));
    }
}

}  // namespace
}  // namespace zorv::test
