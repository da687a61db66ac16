// The server executable with network transcoders: a transcoder simulator
// program on loopback is found by polling, and a full registry of a hundred
// transcoders neither slows the start nor hinders a clean stop.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "core/Journal.h"
#include "platform/CredentialCipher.h"
#include "platform/IniFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// Writes registration number position with all nine keys.
void WriteRegistration(IniFile& ini, uint32_t position, uint32_t serial,
                       const std::string& address) {
    const std::string section = fmt::format("Transcoder-{}", position);
    char password[32] = {};
    SetFieldText(password, fmt::format("pw{}", serial));
    ApplyCredentialCipher(password, sizeof password);
    ini.WriteMany({{section, "Started", "0"},
                   {section, "SerialNumber", std::to_string(serial)},
                   {section, "IPAddress", address},
                   {section, "AonLevel", "100"},
                   {section, "AonReqForm", "0"},
                   {section, "TranscoderType", "1"},
                   {section, "DataPort", "7000"},
                   {section, "ChannelsCount", "12"},
                   {section, "Password", IniFile::EncodeStruct(password, sizeof password)}});
}

bool JournalHas(const std::string& path, const std::string& text) {
    for (const std::string& t : JournalTexts(path)) {
        if (t == text) {
            return true;
        }
    }
    return false;
}

TEST(TranscoderProcessTest, PolledSimulatorIsFoundAmongAHundredRegistrations) {
    CTempDir dir;
    WriteBytes(dir.File("sim.ini"),
               "[Transcoder1]\nAddress = 127.0.72.41\nConfigPort = 0\nSerial = 7241\n"
               "Description = Polled box\n");
    CChildProcess simulator(BuiltProgram("zorv18-transcoder-sim"), {dir.File("sim.ini")},
                            dir.Path(), {});
    const std::string place = "at 127.0.72.41:";
    ASSERT_TRUE(PollUntil([&] { return simulator.Stdout().find(place) != std::string::npos; }, 10s))
        << simulator.Stderr();
    const std::string out = simulator.Stdout();
    const int port = std::stoi(out.substr(out.find(place) + place.size()));

    IniFile ini(dir.File("Transcoders.ini"));
    WriteRegistration(ini, 0, 7241, fmt::format("127.0.72.41:{}", port));
    for (uint32_t i = 1; i < 100; ++i) {
        // Nobody answers at these addresses.
        WriteRegistration(ini, i, 8000 + i, fmt::format("127.0.76.{}:5000", i));
    }

    CChildProcess server(BuiltProgram("zorv18server"), {}, dir.Path(),
                         {"ZORV_REGISTRY=" + dir.File("registry.ini")});
    const std::string journal = dir.File("ZORV_18.log");
    EXPECT_TRUE(PollUntil(
        [&] {
            return JournalHas(journal, FormatCatalogText(Msg{309}, std::string("Polled box"),
                                                         std::string("127.0.72.41")));
        },
        20s))
        << server.Stderr();
    EXPECT_TRUE(JournalHas(journal, CatalogText(Msg{133})));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(15s), 0);
    // The registrations are as they were written.
    EXPECT_EQ(IniFile(dir.File("Transcoders.ini")).GetString("Transcoder-99", "SerialNumber", ""),
              "8099");
    simulator.Signal(SIGTERM);
    EXPECT_EQ(simulator.Wait(10s), 0);
}

}  // namespace
}  // namespace zorv::test
