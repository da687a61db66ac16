// zorv18-transcoder-sim: simulated network transcoders on loopback.
//
//   zorv18-transcoder-sim SCENARIO.ini
//       runs the transcoders of the scenario (docs/simulated-transcoder.md)
//       until SIGTERM or SIGINT, printing one line per received request;
//   zorv18-transcoder-sim --show-password Transcoders.ini N
//       prints the deciphered Password of section "Transcoder-N" of a
//       server's transcoder settings file;
//   zorv18-transcoder-sim --register SCENARIO.ini Transcoders.ini [PORT]
//       registers every transcoder of the scenario, started, in a server's
//       transcoder settings file (the start password as its password, data
//       ports from PORT (default 7000) on for the datagram kind, the shell
//       port of its NET2 transcoders), so that a server finds and records
//       them.
// Exit status 0 on success, 1 on a bad file or a socket that cannot be
// opened, 2 on a bad command line.
#include <signal.h>

#include <fmt/format.h>

#include <charconv>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CredentialCipher.h"
#include "platform/IniFile.h"
#include "simulation/SimulatedTranscoder.h"
#include "simulation/TranscoderScenario.h"
#include "transcoders/TranscoderDataProtocol.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderRegistry.h"

namespace {

using namespace zorv;

constexpr int kMaxTranscoderPosition = 99;

void PrintLine(const std::string& line) {
    static std::mutex lock;
    const std::lock_guard guard(lock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Usage() {
    std::fputs(
        "usage: zorv18-transcoder-sim SCENARIO.ini\n"
        "       zorv18-transcoder-sim --show-password Transcoders.ini N\n"
        "       zorv18-transcoder-sim --register SCENARIO.ini Transcoders.ini [PORT]\n",
        stderr);
    return 2;
}

int ShowPassword(const std::string& path, std::string_view positionText) {
    int position = -1;
    const auto [end, error] =
        std::from_chars(positionText.data(), positionText.data() + positionText.size(), position);
    if (positionText.empty() || error != std::errc() ||
        end != positionText.data() + positionText.size() || position < 0 ||
        position > kMaxTranscoderPosition) {
        std::fputs(fmt::format("'{}' is not a position 0..{}\n", positionText,
                               kMaxTranscoderPosition).c_str(),
                   stderr);
        return 2;
    }
    std::error_code fileError;
    if (!std::filesystem::is_regular_file(path, fileError)) {
        std::fputs(fmt::format("{}: no such file\n", path).c_str(), stderr);
        return 1;
    }
    const std::string section = fmt::format("Transcoder-{}", position);
    char password[kTranscoderTextSize] = {};
    if (!IniFile(path).GetStruct(section, "Password", password, sizeof password)) {
        std::fputs(fmt::format("{}: [{}] Password: missing, or not a {}-byte value with a good "
                               "checksum\n",
                               path, section, kTranscoderTextSize)
                       .c_str(),
                   stderr);
        return 1;
    }
    ApplyCredentialCipher(password, sizeof password);
    PrintLine(FieldText(password));
    return 0;
}

int RunScenario(const std::string& path) {
    TranscoderScenario scenario;
    try {
        scenario = LoadTranscoderScenario(path);
    } catch (const CTranscoderScenarioError& e) {
        std::fputs(fmt::format("{}\n", e.what()).c_str(), stderr);
        return 1;
    }

    // The signals are taken by sigwait below; blocked before any thread
    // starts, they stay blocked in every transcoder thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<CSimulatedTranscoder>> transcoders;
    for (std::size_t i = 0; i < scenario.transcoders.size(); ++i) {
        const SimTranscoderConfig& config = scenario.transcoders[i];
        auto transcoder = std::make_unique<CSimulatedTranscoder>(config);
        const std::string name = fmt::format("Transcoder{}", i + 1);
        transcoder->SetObserver([name](const std::string& line) {
            PrintLine(fmt::format("{}: {}", name, line));
        });
        std::string error;
        if (!transcoder->Start(error)) {
            std::fputs(fmt::format("{}: [{}]: {}\n", path, name, error).c_str(), stderr);
            return 1;
        }
        const bool net2 = config.kind == SimTranscoderKind::kNet2;
        PrintLine(fmt::format(
            "{}: {} transcoder, serial {}, {}-byte scan answers, at {}{}", name,
            net2 ? "NET2" : "datagram", uint32_t{config.info.SerialNumber},
            PacketSize(config.layout),
            AddressText({transcoder->Address(), transcoder->ConfigPort()}),
            net2 ? fmt::format(", shell at {}, data at {}",
                               AddressText({transcoder->Address(), transcoder->ShellPort()}),
                               AddressText({transcoder->Address(), transcoder->DataPort()}))
                 : ""));
        transcoders.push_back(std::move(transcoder));
    }
    PrintLine("running; SIGTERM or SIGINT stops");
    int signal = 0;
    sigwait(&stopSignals, &signal);
    for (auto& transcoder : transcoders) {
        transcoder->Stop();
    }
    PrintLine("stopped");
    return 0;
}

int Register(const std::string& scenarioPath, const std::string& settingsPath,
             std::string_view firstPortText) {
    uint32_t firstPort = 7000;
    const auto [end, error] = std::from_chars(
        firstPortText.data(), firstPortText.data() + firstPortText.size(), firstPort);
    if (error != std::errc() || end != firstPortText.data() + firstPortText.size() ||
        firstPort <= kHighestRefusedDataPort || firstPort > 65000) {
        std::fputs(fmt::format("'{}' is not a data port {}..65000\n", firstPortText,
                               kHighestRefusedDataPort + 1)
                       .c_str(),
                   stderr);
        return 2;
    }
    TranscoderScenario scenario;
    try {
        scenario = LoadTranscoderScenario(scenarioPath);
    } catch (const std::exception& e) {
        std::fputs(fmt::format("{}\n", e.what()).c_str(), stderr);
        return 1;
    }
    CTranscoderRegistry registry(settingsPath);
    registry.Load();
    uint32_t position = static_cast<uint32_t>(registry.Transcoders().size());
    for (const SimTranscoderConfig& t : scenario.transcoders) {
        tagStoredTranscoderConfig stored{};
        stored.tsStarted = 1;
        stored.tsSerialNumber = t.info.SerialNumber;
        stored.tsAddr = t.config.IpAddr;
        stored.tsPort = t.config.ConfigPort;
        stored.tsChannelsCount = t.info.Channels;
        stored.dataPort = static_cast<uint16_t>(firstPort + position);
        std::memcpy(stored.Password, t.config.StartPassword, sizeof stored.Password);
        stored.deviceClass =
            t.kind == SimTranscoderKind::kNet2 ? kNet2Transcoder : kDatagramTranscoder;
        if (!registry.Add(position, stored)) {
            std::fputs(fmt::format("{}: serial {} is registered already\n", settingsPath,
                                   uint32_t{t.info.SerialNumber}).c_str(),
                       stderr);
            return 1;
        }
        if (t.kind == SimTranscoderKind::kNet2 && t.shellPort != 0) {
            IniFile(settingsPath).WriteUint("AdvancedParam", "ShellPort", t.shellPort);
        }
        ++position;
    }
    return registry.LastSaveOk() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--show-password") {
        return ShowPassword(args[1], args[2]);
    }
    if ((args.size() == 3 || args.size() == 4) && args[0] == "--register") {
        return Register(args[1], args[2], args.size() == 4 ? args[3] : "7000");
    }
    if (args.size() == 1 && !args[0].starts_with("-")) {
        return RunScenario(args[0]);
    }
    return Usage();
}
