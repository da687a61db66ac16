// Client operations from several threads at once while transcoders answer
// on the receive thread and the tick runs on its own: nothing deadlocks,
// every request completes, and ThreadSanitizer finds no race.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>

#include "platform/IniFile.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

class CQuietJournal final : public IJournal {
public:
    void WriteJournal(int, std::string_view) override { ++m_lines; }
    std::atomic<int> m_lines{0};
};

// Transcoders on loopback sockets that announce themselves and acknowledge
// every request, until stopped.
class CAnsweringPeers {
public:
    CAnsweringPeers(int count, uint16_t configuratorPort) : m_target(configuratorPort) {
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
            socklen_t size = sizeof local;
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
            m_fds.push_back(fd);
            m_addresses.push_back({local.sin_addr.s_addr, ntohs(local.sin_port)});
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~CAnsweringPeers() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds) {
            close(fd);
        }
    }
    const std::vector<TranscoderAddress>& Addresses() const { return m_addresses; }

private:
    void Send(int fd, const TranscoderPacket& packet, uint16_t port) {
        std::array<uint8_t, kCurrentPacketSize> bytes{};
        const std::size_t size = EncodeTranscoderPacket(packet, bytes);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sendto(fd, bytes.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void Run() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;  // bounded in any case
        std::vector<pollfd> polls;
        for (int fd : m_fds) {
            polls.push_back({fd, POLLIN, 0});
        }
        int round = 0;
        while (!m_stop && std::chrono::steady_clock::now() < deadline) {
            if (round++ % 10 == 0) {
                for (std::size_t i = 0; i < m_fds.size(); ++i) {
                    TranscoderPacket scan;
                    scan.type = FT_SCAN_ACKNOWLEDGE;
                    scan.info.SerialNumber = 500 + static_cast<uint32_t>(i);
                    scan.info.Channels = 12;
                    Send(m_fds[i], scan, m_target);
                }
            }
            if (poll(polls.data(), polls.size(), 10) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < polls.size(); ++i) {
                if ((polls[i].revents & POLLIN) == 0) {
                    continue;
                }
                std::array<uint8_t, 1024> buffer{};
                sockaddr_in from{};
                socklen_t size = sizeof from;
                const ssize_t got = recvfrom(m_fds[i], buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr*>(&from), &size);
                std::optional<TranscoderPacket> request = DecodeTranscoderPacket(
                    std::span<const uint8_t>(buffer.data(), got > 0 ? got : 0));
                if (!request || request->type == FC_SCAN_DEVICE) {
                    continue;
                }
                TranscoderPacket answer = *request;
                answer.type =
                    request->type == FC_GET_CONFIG ? FT_CONFIG_VALUE : FT_EXEC_ACKNOWLEDGE;
                Send(m_fds[i], answer, ntohs(from.sin_port));
            }
        }
    }

    uint16_t m_target;
    std::vector<int> m_fds;
    std::vector<TranscoderAddress> m_addresses;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(ConfiguratorConcurrency, ClientCallsWhileTranscodersAnswerAndTheTickRuns) {
    test::CTempDir dir;
    IniFile ini(dir.File("Transcoders.ini"));
    ini.WriteString("AdvancedParam", "SearchBroadcastAddress", "127.0.0.1");
    CQuietJournal journal;
    CTranscoderConfigurator configurator(journal);
    ASSERT_TRUE(configurator.Start(ini.Path()));
    configurator.StartServiceThread();
    configurator.Enable();
    {
        CAnsweringPeers peers(4, configurator.LocalPort());
        std::atomic<int> unanswered{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&, t] {
                for (int i = 0; i < 40; ++i) {
                    const uint32_t serial = 500 + static_cast<uint32_t>((t + i) % 4);
                    const TranscoderAddress& at = peers.Addresses()[(t + i) % 4];
                    switch (i % 8) {
                        case 0: {
                            tagStoredTranscoderConfig stored{};
                            stored.tsSerialNumber = serial;
                            stored.tsAddr = at.ip;
                            stored.tsPort = at.port;
                            stored.deviceClass = kDatagramTranscoder;
                            configurator.addNetDevice(0, stored);
                            break;
                        }
                        case 1:
                            configurator.getFoundTranscodersList();
                            break;
                        case 2: {
                            RequestHandle handle =
                                configurator.SendDeviceCommand(at, TCMD_RESET_ADC, 0, 0);
                            if (!handle->WaitFor(10s)) {
                                ++unanswered;
                            }
                            break;
                        }
                        case 3:
                            configurator.startTranscodersSearch();
                            break;
                        case 4:
                            configurator.setAonForm(serial, 50, 1);
                            break;
                        case 5:
                            configurator.EnableGroup(at, 1, true);
                            break;
                        case 6:
                            configurator.removeNetDevice(serial);
                            break;
                        case 7:
                            configurator.PresenceState(at);
                            configurator.getCountNetDevice();
                            break;
                    }
                }
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        EXPECT_EQ(unanswered, 0);
        // The peers keep announcing themselves: all four are found.
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (configurator.getFoundTranscodersCount() < 4 &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(configurator.getFoundTranscodersCount(), 4u);
    }
    configurator.Stop();
}

}  // namespace
}  // namespace zorv
