#include "simulation/SimulatedTranscoder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "simulation/SimulatedTranscoderShell.h"
#include "simulation/TranscoderDatagramStream.h"
#include "simulation/TranscoderNet2Stream.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr std::size_t kReceiveMax = 2048;
constexpr int kDatagramsPerWake = 64;
constexpr uint32_t kLoopbackBroadcast = 0xFFFFFF7Fu;  // 127.255.255.255, network order

const char* TypeName(uint8_t type) {
    switch (type) {
        case FC_SCAN_DEVICE: return "FC_SCAN_DEVICE";
        case FT_SCAN_ACKNOWLEDGE: return "FT_SCAN_ACKNOWLEDGE";
        case FC_GET_CONFIG: return "FC_GET_CONFIG";
        case FT_BAD_PASSWORD: return "FT_BAD_PASSWORD";
        case FT_CONFIG_VALUE: return "FT_CONFIG_VALUE";
        case FC_SET_CONFIG: return "FC_SET_CONFIG";
        case FT_CONFIG_CHANGE_ERROR: return "FT_CONFIG_CHANGE_ERROR";
        case FT_CONFIG_CHANGE_OK: return "FT_CONFIG_CHANGE_OK";
        case FC_DEV_SETTINGS: return "FC_DEV_SETTINGS";
        case FT_EXEC_REJECT: return "FT_EXEC_REJECT";
        case FT_EXEC_ACKNOWLEDGE: return "FT_EXEC_ACKNOWLEDGE";
        case FT_DEVICE_BUSY: return "FT_DEVICE_BUSY";
        default: return "unknown type";
    }
}

sockaddr_in SocketAddress(uint32_t ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ip;
    address.sin_port = htons(port);
    return address;
}

std::string PeerText(const sockaddr_in& address) {
    return AddressText({address.sin_addr.s_addr, ntohs(address.sin_port)});
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

uint16_t BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// A non-blocking socket bound to ip:port; -1 with a text in error.
int OpenSocket(int type, uint32_t ip, uint16_t port, bool reuse, std::string& error) {
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = fmt::format("socket: {}", std::strerror(errno));
        return -1;
    }
    const int on = 1;
    if (reuse) {
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in address = SocketAddress(ip, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 8) != 0)) {
        error = fmt::format("{} {}: {}", type == SOCK_STREAM ? "TCP" : "UDP",
                            AddressText({ip, port}), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool IsLoopbackHost(uint32_t ip) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
    return bytes[0] == 127 && ip != kLoopbackBroadcast && ip != htonl(0x7F000000u);
}

// The configuration as the transcoder shows it: never the passwords.
DeviceConfig ShownConfig(const DeviceConfig& config, bool withStartPassword) {
    DeviceConfig shown = config;
    std::memset(shown.CurrPassword, 0, sizeof shown.CurrPassword);
    std::memset(shown.NewPassword, 0, sizeof shown.NewPassword);
    if (!withStartPassword) {
        std::memset(shown.StartPassword, 0, sizeof shown.StartPassword);
    }
    return shown;
}

}  // namespace

struct CSimulatedTranscoder::Sockets {
    int udp = -1;
    int broadcast = -1;
    int listener = -1;
    uint32_t ip = 0;
    uint16_t configPort = 0;
    uint16_t shellPort = 0;

    ~Sockets() {
        CloseFd(udp);
        CloseFd(broadcast);
        CloseFd(listener);
    }
};

struct CSimulatedTranscoder::Connection {
    uint64_t id = 0;
    int fd = -1;
    CShellSession session;
    bool closed = false;

    ~Connection() { CloseFd(fd); }
};

struct CSimulatedTranscoder::TimedSend {
    Clock::time_point due;
    uint64_t connection = 0;  // 0: a datagram to destination
    sockaddr_in destination{};
    std::string bytes;
};

CSimulatedTranscoder::CSimulatedTranscoder(const SimTranscoderConfig& config)
    : m_kind(config.kind), m_config(config), m_shellPort(config.shellPort) {}

CSimulatedTranscoder::~CSimulatedTranscoder() { Stop(); }

void CSimulatedTranscoder::SetObserver(RequestObserver observer) {
    m_observer = std::move(observer);
}

bool CSimulatedTranscoder::Start(std::string& error) {
    if (m_thread.joinable()) {
        error = "already running";
        return false;
    }
    uint32_t ip = 0;
    uint16_t port = 0;
    uint16_t shellPort = 0;
    {
        CMutexLock lock(m_lock);
        ip = m_config.config.IpAddr;
        port = m_config.config.ConfigPort;
        shellPort = m_shellPort;
    }
    if (!IsLoopbackHost(ip)) {
        error = fmt::format("{} is not a host address of 127.0.0.0/8", DottedAddress(ip));
        return false;
    }
    SimTranscoderConfig config;
    {
        CMutexLock lock(m_lock);
        config = m_config;
    }
    auto observer = [this](const std::string& line) { Observe(line); };
    if (m_kind == SimTranscoderKind::kDatagram) {
        m_datagram = std::make_unique<CSimDatagramStream>(config, observer);
    } else {
        m_net2 = std::make_unique<CSimNet2Stream>(config, observer);
    }
    if (!Rebind(ip, port, shellPort, error) ||
        (m_net2 && m_net2->DataPort() == 0 &&
         !m_net2->Listen(m_sockets->ip, m_sockets->configPort, error))) {
        m_sockets.reset();
        m_datagram.reset();
        m_net2.reset();
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CSimulatedTranscoder::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_connections.clear();
    m_sends.clear();
    m_datagram.reset();
    m_net2.reset();
    m_sockets.reset();
}

// A socket whose place does not change is kept (left at -1 here and taken
// over by InstallSockets): binding its address a second time would fail
// while it is open.
std::unique_ptr<CSimulatedTranscoder::Sockets> CSimulatedTranscoder::OpenSockets(
    uint32_t ip, uint16_t configPort, uint16_t shellPort, std::string& error) const {
    const Sockets* old = m_sockets.get();
    const bool keepUdp = old != nullptr && old->ip == ip && old->configPort == configPort;
    const bool keepListener = old != nullptr && old->ip == ip && old->shellPort == shellPort &&
                              old->listener >= 0;
    auto sockets = std::make_unique<Sockets>();
    sockets->ip = ip;
    if (!keepUdp) {
        sockets->udp = OpenSocket(SOCK_DGRAM, ip, configPort, false, error);
        if (sockets->udp < 0) {
            return nullptr;
        }
        sockets->configPort = BoundPort(sockets->udp);
        sockets->broadcast =
            OpenSocket(SOCK_DGRAM, kLoopbackBroadcast, sockets->configPort, true, error);
        if (sockets->broadcast < 0) {
            return nullptr;
        }
    }
    if (m_kind == SimTranscoderKind::kNet2 && !keepListener) {
        sockets->listener = OpenSocket(SOCK_STREAM, ip, shellPort, true, error);
        if (sockets->listener < 0) {
            return nullptr;
        }
        sockets->shellPort = BoundPort(sockets->listener);
    }
    return sockets;
}

// Replaces the sockets (closing the old ones and every shell connection), as
// a transcoder does when it restarts.
void CSimulatedTranscoder::InstallSockets(std::unique_ptr<Sockets> sockets) {
    if (Sockets* old = m_sockets.get(); old != nullptr) {
        if (sockets->udp < 0) {
            std::swap(sockets->udp, old->udp);
            std::swap(sockets->broadcast, old->broadcast);
            sockets->configPort = old->configPort;
        }
        if (m_kind == SimTranscoderKind::kNet2 && sockets->listener < 0) {
            std::swap(sockets->listener, old->listener);
            sockets->shellPort = old->shellPort;
        }
    }
    m_connections.clear();
    const bool moved = !m_sockets || m_sockets->ip != sockets->ip ||
                       m_sockets->configPort != sockets->configPort;
    m_sockets = std::move(sockets);
    m_pendingIp = m_sockets->ip;
    m_pendingPort = m_sockets->configPort;
    // The data port follows the configuration port.
    if (m_net2 && (moved || m_net2->DataPort() == 0)) {
        std::string error;
        if (!m_net2->Listen(m_sockets->ip, m_sockets->configPort, error)) {
            Observe(fmt::format("no data port: {}", error));
        }
    }
    CMutexLock lock(m_lock);
    m_config.config.IpAddr = m_sockets->ip;
    m_config.config.ConfigPort = m_sockets->configPort;
    m_shellPort = m_sockets->shellPort;
    m_dataPort = m_net2 ? m_net2->DataPort() : 0;
}

bool CSimulatedTranscoder::Rebind(uint32_t ip, uint16_t configPort, uint16_t shellPort,
                                  std::string& error) {
    auto sockets = OpenSockets(ip, configPort, shellPort, error);
    if (!sockets) {
        return false;
    }
    InstallSockets(std::move(sockets));
    return true;
}

void CSimulatedTranscoder::Run() {
    std::vector<pollfd> fds;
    uint8_t buffer[kReceiveMax];
    while (!m_stop) {
        fds.clear();
        fds.push_back({m_sockets->udp, POLLIN, 0});
        fds.push_back({m_sockets->broadcast, POLLIN, 0});
        fds.push_back({m_sockets->listener, POLLIN, 0});  // -1 is skipped by poll
        for (const auto& connection : m_connections) {
            fds.push_back({connection->fd, POLLIN, 0});
        }
        const std::size_t polledConnections = m_connections.size();
        const std::size_t streamEntries = fds.size();
        int timeoutMs = kPollMs;
        AddStreamEntries(fds, timeoutMs);
        const auto now = Clock::now();
        for (const auto& send : m_sends) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(send.due - now).count();
            timeoutMs = static_cast<int>(std::clamp<int64_t>(wait, 0, timeoutMs));
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            break;
        }
        SendDue();
        ServiceStreams(fds.data() + streamEntries);

        // A request may move the transcoder: the descriptors polled above are
        // then closed, and the loop polls the new ones.
        const Sockets* polled = m_sockets.get();
        for (int s = 0; s < 2 && m_sockets.get() == polled; ++s) {
            if ((fds[static_cast<std::size_t>(s)].revents & POLLIN) == 0) {
                continue;
            }
            for (int n = 0; n < kDatagramsPerWake && m_sockets.get() == polled; ++n) {
                sockaddr_in sender{};
                socklen_t length = sizeof sender;
                const ssize_t size = ::recvfrom(fds[static_cast<std::size_t>(s)].fd, buffer,
                                                sizeof buffer, 0,
                                                reinterpret_cast<sockaddr*>(&sender), &length);
                if (size < 0) {
                    break;
                }
                HandleDatagram(buffer, static_cast<std::size_t>(size), &sender, s == 1);
            }
        }
        if (m_sockets.get() != polled) {
            continue;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            const int fd = ::accept4(m_sockets->listener, nullptr, nullptr,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                auto connection = std::make_unique<Connection>();
                connection->id = m_nextConnectionId++;
                connection->fd = fd;
                Observe(fmt::format("{} shell connection", AddressText({polled->ip, polled->shellPort})));
                m_connections.push_back(std::move(connection));
                QueueShellReply(*m_connections.back(), std::string(kShellGreeting), false);
            }
        }
        for (std::size_t i = 0; i < polledConnections && i < m_connections.size(); ++i) {
            if (fds[i + 3].revents == 0 || m_connections[i]->fd != fds[i + 3].fd) {
                continue;
            }
            Connection& connection = *m_connections[i];
            char text[1024];
            const ssize_t size = ::recv(connection.fd, text, sizeof text, 0);
            if (size <= 0) {
                if (size == 0 || (errno != EAGAIN && errno != EINTR)) {
                    connection.closed = true;
                }
                continue;
            }
            HandleShellInput(connection, text, static_cast<std::size_t>(size));
            if (m_sockets.get() != polled) {
                break;  // restarted: every connection is gone
            }
        }
        std::erase_if(m_connections, [](const auto& connection) { return connection->closed; });
    }
}

void CSimulatedTranscoder::Observe(const std::string& line) {
    if (m_observer) {
        m_observer(line);
    }
}

void CSimulatedTranscoder::HandleDatagram(const uint8_t* bytes, std::size_t size,
                                          const void* senderAddress, bool broadcast) {
    const auto& sender = *static_cast<const sockaddr_in*>(senderAddress);
    const std::string where = fmt::format("{}{} <- {}",
                                          AddressText({m_sockets->ip, m_sockets->configPort}),
                                          broadcast ? " (broadcast)" : "", PeerText(sender));
    if (m_datagram && m_datagram->HandleRequest(bytes, size, sender)) {
        return;  // a retransmission request sent to the configuration port
    }
    const auto request = DecodeTranscoderPacket({bytes, size});
    if (!request) {
        Observe(fmt::format("{}: ignored a datagram of {} bytes", where, size));
        return;
    }
    std::string description = fmt::format("{}: {} seq {}", where, TypeName(request->type),
                                          request->sequence);
    if (request->type == FC_DEV_SETTINGS) {
        description += fmt::format(" command {} ({}, {})", request->command, request->param1,
                                   request->param2);
    }

    TranscoderPacket answer;
    answer.layout = request->layout;
    answer.sequence = request->sequence;
    answer.command = request->command;
    answer.param1 = request->param1;
    answer.param2 = request->param2;
    int delayMs = 0;
    // An accepted configuration change, applied once the answer is decided.
    std::optional<DeviceConfig> change;
    {
        CMutexLock lock(m_lock);
        delayMs = m_config.answerDelayMs;
        answer.info = m_config.info;
        answer.config = ShownConfig(m_config.config, false);
        answer.type = AnswerType(*request, description, change);
        if (answer.type == FT_SCAN_ACKNOWLEDGE) {
            answer.layout = m_config.layout;
        } else if (answer.type == FT_CONFIG_VALUE) {
            answer.config = ShownConfig(m_config.config, true);
        }
    }
    // A transcoder that must move opens its new sockets before it says yes.
    std::unique_ptr<Sockets> moved;
    if (change && (change->IpAddr != answer.config.IpAddr ||
                   change->ConfigPort != answer.config.ConfigPort)) {
        std::string error;
        moved = OpenSockets(change->IpAddr, change->ConfigPort,
                            m_sockets->shellPort, error);
        if (!moved) {
            description += fmt::format(" (cannot move: {})", error);
            answer.type = FT_CONFIG_CHANGE_ERROR;
            change.reset();
        }
    }
    if (change) {
        CMutexLock lock(m_lock);
        ApplyConfig(*change);
        answer.config = ShownConfig(*change, false);
    }
    if (answer.type == 0) {
        Observe(description + " -> no answer");
        return;
    }
    Observe(fmt::format("{} -> {}{}", description, TypeName(answer.type),
                        delayMs > 0 && !moved ? fmt::format(" in {} ms", delayMs) : ""));
    // A device command takes effect before its acknowledgement leaves.
    if (request->type == FC_DEV_SETTINGS && answer.type == FT_EXEC_ACKNOWLEDGE) {
        DeviceCommand(*request, &sender);
    }
    // The answer to a move leaves from the old address at once: the
    // configurator finds its request by the sender's address.
    QueueDatagram(answer, &sender, moved ? 0 : delayMs);
    if (moved) {
        InstallSockets(std::move(moved));
        {
            CMutexLock lock(m_lock);
            ++m_moveCount;
        }
        Observe(fmt::format("moved to {}", AddressText({m_sockets->ip, m_sockets->configPort})));
    }
}

uint8_t CSimulatedTranscoder::AnswerType(const TranscoderPacket& request,
                                         std::string& description,
                                         std::optional<DeviceConfig>& change) {
    const SimTranscoderMode mode = m_config.mode;
    const bool isRequest = request.type == FC_GET_CONFIG || request.type == FC_SET_CONFIG ||
                           request.type == FC_DEV_SETTINGS;
    if (request.type == FC_DEV_SETTINGS) {
        m_commands.push_back({request.command, request.param1, request.param2});
    }
    if (request.type == FC_SCAN_DEVICE) {
        return mode == SimTranscoderMode::kMute ? 0 : FT_SCAN_ACKNOWLEDGE;
    }
    if (!isRequest) {
        return 0;
    }
    ++m_requestCount;
    if (mode == SimTranscoderMode::kMute || mode == SimTranscoderMode::kSilent) {
        return 0;
    }
    if (m_config.dropRequests > 0) {
        --m_config.dropRequests;
        description += " (dropped)";
        return 0;
    }
    const std::string password = FieldText(request.config.CurrPassword);
    const bool configPasswordOk = m_config.config.ProtectLevel < 1 ||
                                  password == FieldText(m_config.config.CurrPassword);
    if (request.type == FC_GET_CONFIG) {
        return configPasswordOk ? FT_CONFIG_VALUE : FT_BAD_PASSWORD;
    }
    if (request.type == FC_SET_CONFIG) {
        const DeviceConfig& wanted = request.config;
        if (!configPasswordOk) {
            return FT_BAD_PASSWORD;
        }
        if (m_config.configChangeError || wanted.ProtectLevel > 2 ||
            !IsLoopbackHost(wanted.IpAddr) || wanted.ConfigPort == 0) {
            return FT_CONFIG_CHANGE_ERROR;
        }
        change = wanted;
        return FT_CONFIG_CHANGE_OK;
    }
    // Device commands ask the start password at level 2.
    if (m_config.config.ProtectLevel >= 2 && password != FieldText(m_config.config.StartPassword)) {
        return FT_BAD_PASSWORD;
    }
    if (mode == SimTranscoderMode::kBusy) {
        return FT_DEVICE_BUSY;
    }
    if (mode == SimTranscoderMode::kReject) {
        return FT_EXEC_REJECT;
    }
    if (request.command == TCMD_START && m_config.faults.refuseStart) {
        description += " (start refused)";
        return FT_BAD_PASSWORD;
    }
    if (request.command == TCMD_START && (request.param1 == 0 || request.param1 > 65535)) {
        description += " (no data port)";
        return FT_EXEC_REJECT;
    }
    if (request.command == TCMD_START) {
        m_started = true;
    } else if (request.command == TCMD_STOP) {
        m_started = false;
    } else if (request.command == TCMD_ENABLE_GROUP) {
        m_enabledGroups = request.param2;
    }
    return FT_EXEC_ACKNOWLEDGE;
}

// A new non-empty NewPassword becomes the configuration password; the rest
// is taken as sent, except the place, which InstallSockets sets.
void CSimulatedTranscoder::ApplyConfig(const DeviceConfig& wanted) {
    DeviceConfig applied = wanted;
    const std::string newPassword = FieldText(wanted.NewPassword);
    SetFieldText(applied.CurrPassword,
                 newPassword.empty() ? FieldText(m_config.config.CurrPassword) : newPassword);
    std::memset(applied.NewPassword, 0, sizeof applied.NewPassword);
    applied.IpAddr = m_config.config.IpAddr;
    applied.ConfigPort = m_config.config.ConfigPort;
    m_config.config = applied;
}

void CSimulatedTranscoder::QueueDatagram(const TranscoderPacket& packet,
                                         const void* destination, int delayMs) {
    uint8_t bytes[kCurrentPacketSize];
    const std::size_t size = EncodeTranscoderPacket(packet, bytes);
    TimedSend send;
    send.due = Clock::now() + std::chrono::milliseconds(delayMs);
    send.destination = *static_cast<const sockaddr_in*>(destination);
    send.bytes.assign(reinterpret_cast<const char*>(bytes), size);
    m_sends.push_back(std::move(send));
    if (delayMs <= 0) {
        SendDue();
    }
}

void CSimulatedTranscoder::SendDue() {
    const auto now = Clock::now();
    std::erase_if(m_sends, [&](const TimedSend& send) {
        if (send.due > now) {
            return false;
        }
        if (send.connection == 0) {
            ::sendto(m_sockets->udp, send.bytes.data(), send.bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&send.destination),
                     sizeof send.destination);
            return true;
        }
        for (const auto& connection : m_connections) {
            if (connection->id == send.connection && !connection->closed) {
                // A client that lets its receive buffer fill up is dropped
                // rather than blocking every other transcoder request.
                const ssize_t sent = ::send(connection->fd, send.bytes.data(), send.bytes.size(),
                                            MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent != static_cast<ssize_t>(send.bytes.size())) {
                    connection->closed = true;
                }
            }
        }
        return true;
    });
}

void CSimulatedTranscoder::HandleShellInput(Connection& connection, const char* bytes,
                                            std::size_t size) {
    std::vector<std::string> lines;
    if (!connection.session.Feed({bytes, size}, lines)) {
        Observe("shell: line too long, connection closed");
        connection.closed = true;
        return;
    }
    for (const std::string& line : lines) {
        ShellReply reply;
        SimNet2Codec codec;
        {
            CMutexLock lock(m_lock);
            m_shellLines.push_back(line);
            CShellState state{m_config.config, m_pendingIp, m_pendingPort,
                              m_net2 ? &m_pendingCodec : nullptr, &m_config.faults};
            reply = connection.session.Handle(line, state);
            codec = m_pendingCodec;
        }
        if (reply.updateCodec && m_net2) {
            m_net2->Apply(codec);
        }
        if (reply.lineOnOff && m_net2) {
            m_net2->SetLineOnOff(codec.lineOnOff);
        }
        Observe(fmt::format("{} shell: {} -> {}",
                            AddressText({m_sockets->ip, m_sockets->shellPort}),
                            reply.wasPassword ? std::string("(password)") : line,
                            reply.text.substr(0, reply.text.find('\r'))));
        if (reply.restart) {
            // The reply goes out before the transcoder restarts at its new
            // address, which drops every shell connection.
            const auto id = connection.id;
            TimedSend send{Clock::now(), id, {}, reply.text + std::string(kShellPromptLine)};
            m_sends.push_back(std::move(send));
            SendDue();
            std::string error;
            const uint32_t ip = m_pendingIp;
            const uint16_t port = m_pendingPort;
            if (Rebind(ip, port, m_sockets->shellPort, error)) {
                CMutexLock lock(m_lock);
                ++m_moveCount;
            } else {
                Observe(fmt::format("could not restart at {}: {}", AddressText({ip, port}), error));
            }
            return;
        }
        QueueShellReply(connection, std::move(reply.text), reply.afterLogin);
    }
}

void CSimulatedTranscoder::QueueShellReply(Connection& connection, std::string reply,
                                           bool afterLogin) {
    SimShellMode mode;
    int delayMs;
    {
        CMutexLock lock(m_lock);
        mode = m_config.shellMode;
        delayMs = m_config.answerDelayMs;
    }
    if (afterLogin) {
        if (mode == SimShellMode::kOversize) {
            while (reply.size() <= 1100) {
                reply += "\r\nOK: padding line of an oversize reply";
            }
        }
        if (mode != SimShellMode::kNoPrompt) {
            reply += kShellPromptLine;
        } else {
            reply += "\r\n";
        }
    }
    auto due = Clock::now() + std::chrono::milliseconds(delayMs);
    const std::size_t piece = mode == SimShellMode::kSlow ? 8 : reply.size();
    for (std::size_t offset = 0; offset < reply.size(); offset += piece) {
        m_sends.push_back({due, connection.id, {}, reply.substr(offset, piece)});
        due += std::chrono::milliseconds(100);
    }
    SendDue();
}

uint32_t CSimulatedTranscoder::Address() const {
    CMutexLock lock(m_lock);
    return m_config.config.IpAddr;
}

uint16_t CSimulatedTranscoder::ConfigPort() const {
    CMutexLock lock(m_lock);
    return m_config.config.ConfigPort;
}

uint16_t CSimulatedTranscoder::ShellPort() const {
    CMutexLock lock(m_lock);
    return m_shellPort;
}

DeviceInfo CSimulatedTranscoder::Info() const {
    CMutexLock lock(m_lock);
    return m_config.info;
}

DeviceConfig CSimulatedTranscoder::Config() const {
    CMutexLock lock(m_lock);
    return m_config.config;
}

bool CSimulatedTranscoder::IsStarted() const {
    CMutexLock lock(m_lock);
    return m_started;
}

uint32_t CSimulatedTranscoder::EnabledGroups() const {
    CMutexLock lock(m_lock);
    return m_enabledGroups;
}

std::vector<SimReceivedCommand> CSimulatedTranscoder::ReceivedCommands() const {
    CMutexLock lock(m_lock);
    return m_commands;
}

std::vector<std::string> CSimulatedTranscoder::ShellLines() const {
    CMutexLock lock(m_lock);
    return m_shellLines;
}

int CSimulatedTranscoder::RequestCount() const {
    CMutexLock lock(m_lock);
    return m_requestCount;
}

int CSimulatedTranscoder::MoveCount() const {
    CMutexLock lock(m_lock);
    return m_moveCount;
}

void CSimulatedTranscoder::SetMode(SimTranscoderMode mode) {
    CMutexLock lock(m_lock);
    m_config.mode = mode;
}

void CSimulatedTranscoder::SetAnswerDelay(int ms) {
    CMutexLock lock(m_lock);
    m_config.answerDelayMs = std::max(ms, 0);
}

void CSimulatedTranscoder::SetDropRequests(int count) {
    CMutexLock lock(m_lock);
    m_config.dropRequests = std::max(count, 0);
}

void CSimulatedTranscoder::SetConfigChangeError(bool on) {
    CMutexLock lock(m_lock);
    m_config.configChangeError = on;
}

void CSimulatedTranscoder::SetShellMode(SimShellMode mode) {
    CMutexLock lock(m_lock);
    m_config.shellMode = mode;
}

}  // namespace zorv
