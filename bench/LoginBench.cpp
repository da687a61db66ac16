// Logins under attack: twenty connections, each from its own loopback
// address, send wrong passwords as fast as the server answers, for ten
// seconds per run. Reported: password checks per second (each Argon2id over
// 64 MiB), the server's peak memory above its resting size while it lasts,
// and the logins answered.
//
// "unbounded" is the server as it was: every connection checks at once, no
// delay after refusals, no bound per address. "guarded" is the server as it
// ships: two checks at a time, a growing delay per address.
#include <benchmark/benchmark.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "BenchDir.h"
#include "access/ClientServer.h"
#include "access/ClientWire.h"
#include "access/UsersDatabase.h"

namespace {

using namespace zorv;
using namespace std::chrono_literals;

class CNoData final : public IClientData {
public:
    void StateDvr(tagStateProgramm& out) override { out = {}; }
    void DvrConfig(tagDvrConfig& out) override { out = {}; }
    void ServiceParam(ServiceParametrs& out) override { out = {}; }
    bool DeviceConfig(int, DeviceConfigReply&) override { return false; }
    bool ChannelParam(int, int, tagChanelParam&) override { return false; }
    bool ChannelStates(int, tagCHANELS_STATE&) override { return false; }
    bool GainAdc(int, int, int32_t&) override { return false; }
    void PathSpace(PathSpaceReply& out) override { out = {}; }
    std::vector<LineAlias> Aliases() override { return {}; }
    bool TlfParam(int, int, LineParams&) override { return false; }
    bool ServiceTlfParam(int, std::span<uint8_t, kServiceTlfParamSize>) override { return false; }
    std::string JournalPath() override { return {}; }
};

// The resident size of this process in KiB.
uint64_t ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

void BM_WrongLoginsFromTwentyAddresses(benchmark::State& state) {
    const bool guarded = state.range(0) != 0;
    bench::CBenchDir dir;
    CNullJournal journal;
    CUsersDatabase users(journal);
    UsersStoreOptions store;
    store.concurrentChecks = guarded ? kConcurrentPasswordChecks : 20;
    if (!users.Initialise(dir.Path(), "ZORV", store)) {
        state.SkipWithError("no users file");
        return;
    }
    tagUserAccountRecord admin{};
    SetFieldText(admin.UserName, "admin");
    SetFieldText(admin.Password, "secret");
    admin.AdminAccess = 1;
    CipherRecordFields(admin);
    users.AddAsOwner(admin);

    CNoData data;
    ClientServerOptions options;
    options.bindAddress = "127.0.0.1";
    if (!guarded) {
        options.maxPendingPerAddress = 0;
        options.logins.delayStart = 0ms;
        options.logins.burstQuiet = 0s;
    }
    CClientServer server(journal, users, data, SystemClock(), options);
    if (!server.StartServer(0)) {
        state.SkipWithError("cannot listen");
        return;
    }
    const uint64_t restingKiB = ResidentKiB();
    double checks = 0;
    double answered = 0;
    uint64_t peakKiB = restingKiB;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<int64_t> replies{0};
        const uint64_t before = users.PasswordChecks().run;
        std::vector<std::thread> clients;
        for (int i = 0; i < 20; ++i) {
            clients.emplace_back([&, i] {
                const std::string from = "127.0.0." + std::to_string(10 + i);
                std::unique_ptr<test::CTestClient> client;
                for (int attempt = 0; !stop.load() && attempt < 100000; ++attempt) {
                    if (client == nullptr || client->DrainClosed()) {
                        client =
                            std::make_unique<test::CTestClient>(server.Port(), 0, from.c_str());
                    }
                    client->Send(test::LoginBytes("admin", "guess"));
                    if (client->Read(2136).size() == 2136) {
                        ++replies;
                    } else {
                        client.reset();
                    }
                }
            });
        }
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            peakKiB = std::max(peakKiB, ResidentKiB());
            std::this_thread::sleep_for(5ms);
        }
        stop = true;
        // A client waiting for its turn is ended by the stop below at the latest.
        server.Stop();
        for (std::thread& client : clients) {
            client.join();
        }
        checks += static_cast<double>(users.PasswordChecks().run - before);
        answered += static_cast<double>(replies.load());
        server.StartServer(0);
    }
    state.counters["checks_per_s"] =
        benchmark::Counter(checks / 10.0, benchmark::Counter::kAvgIterations);
    state.counters["answered"] = benchmark::Counter(answered, benchmark::Counter::kAvgIterations);
    state.counters["peak_MiB_above_rest"] =
        static_cast<double>(peakKiB - std::min(peakKiB, restingKiB)) / 1024.0;
    state.counters["checks_at_once"] = users.PasswordChecks().peak;
}
BENCHMARK(BM_WrongLoginsFromTwentyAddresses)
    ->ArgName("guarded")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
