#include "simulation/TranscoderDatagramStream.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "devices/BoardDriver.h"
#include "devices/BoardIo.h"
#include "simulation/TranscoderScenario.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {

namespace {

constexpr std::size_t kMaxPending = 1u << 20;
constexpr std::size_t kMaxAdcWords = 4096;
constexpr std::size_t kReadChunk = 65536;
constexpr int kStreamWakeMs = 5;

void PutLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

int OpenDataSocket(uint32_t ip, uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = fmt::format("socket: {}", std::strerror(errno));
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ip;
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = fmt::format("UDP {}: {}", AddressText({ip, port}), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

}  // namespace

SimBoardConfig CSimDatagramStream::BoardConfig(const SimTranscoderConfig& config) {
    SimBoardConfig board;
    board.deviceName = "TranscoderZi18Device";
    // The driver of the datagram kind takes the board id from the version
    // (major in the high byte) and puts every channel in group 0.
    const uint16_t version = config.info.HardwareVersion;
    const uint32_t boardId = ((static_cast<uint32_t>(version / 100) << 8) | (version % 100)) & 0xFFF;
    const uint32_t channels = std::min<uint32_t>(config.info.Channels, kSimTranscoderLines);
    board.infoWord = (boardId << 12) | channels;
    board.commandTakeReads = 0;
    board.commandTakeMs = 0;
    board.repeatMs = CallCycleMs(config);
    for (std::size_t i = 0; i < config.lines.size(); ++i) {
        board.channels[i] = LineChannel(config.lines[i]);
    }
    return board;
}

CSimDatagramStream::CSimDatagramStream(const SimTranscoderConfig& config, Observer observer)
    : m_observer(std::move(observer)),
      m_board(std::make_unique<CSimulatedBoard>(BoardConfig(config),
                                                CSimulatedBoard::Clock::Virtual)) {
    uint8_t out[8] = {};
    std::size_t outLength = 0;
    m_board->Control(kIoctlMapRegisters, {}, out, outLength);
    BoardCommand(0, kCommandSelectGroup);
    BoardCommand(0x3F, kCommandEnableMask);  // every group until told otherwise
}

CSimDatagramStream::~CSimDatagramStream() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void CSimDatagramStream::BoardCommand(uint32_t data, uint32_t code) {
    m_board->WriteRegister(kRegisterData, data);
    m_board->WriteRegister(kRegisterCommand, code);
}

bool CSimDatagramStream::Start(uint32_t ownIp, const sockaddr_in& server,
                               const SimStreamFaults& faults, Clock::time_point now,
                               std::string& error) {
    const uint16_t dataPort = ntohs(server.sin_port);
    if (m_fd >= 0 && (m_fdIp != ownIp || BoundPort(m_fd) != dataPort)) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0) {
        // The server asks for lost packets at the data port number of this
        // address; when that place is taken, requests reach the
        // configuration socket only.
        m_fd = OpenDataSocket(ownIp, dataPort, error);
        if (m_fd < 0) {
            m_observer(fmt::format("data socket: {}; using another port", error));
            m_fd = OpenDataSocket(ownIp, 0, error);
            if (m_fd < 0) {
                return false;
            }
        }
        m_fdIp = ownIp;
    }
    m_server = server;
    const uint8_t in[8] = {0, 0, 1, 0, 0, 0, 0, 0};
    std::size_t outLength = 0;
    m_board->Control(kIoctlStartTransfer, in, {}, outLength);
    m_streaming = true;
    m_started = now;
    m_producedMs = 0;
    m_silentUntil = now;
    m_silenceScheduled = faults.silenceMs > 0;
    m_scheduledSilence = now + std::chrono::milliseconds(faults.silenceAfterMs);
    m_sequence = faults.sequenceStart;
    m_packetIndex = 0;
    m_gapDone = false;
    m_gapLeft = 0;
    m_held.valid = false;
    m_pending.clear();
    for (Packet& packet : m_history) {
        packet.valid = false;
    }
    m_stats.streaming = true;
    m_stats.nextSequence = m_sequence;
    return true;
}

void CSimDatagramStream::Stop() {
    if (!m_streaming) {
        return;
    }
    std::size_t outLength = 0;
    m_board->Control(kIoctlStopTransfer, {}, {}, outLength);
    m_streaming = false;
    m_stats.streaming = false;
    m_pending.clear();
}

void CSimDatagramStream::Command(uint8_t code, uint32_t param2) {
    switch (code) {
        case TCMD_ENABLE_GROUP: {
            uint32_t mask = 0;
            for (int g = 0; g < kMaxGroups; ++g) {
                if ((param2 & (1u << g)) != 0) {
                    mask |= 3u << (2 * g);  // the group's data and run bits
                }
            }
            BoardCommand(mask, kCommandEnableMask);
            break;
        }
        case TCMD_OUT_DATA_TO_ADC:
            if (m_adcWords.size() < kMaxAdcWords) {
                m_adcWords.push_back(static_cast<uint16_t>(param2));
            }
            BoardCommand(param2 & 0xFFFF, kCommandConverterWord);
            break;
        case TCMD_RESET_ADC:
            BoardCommand(0, kCommandConverterReset);
            break;
        case TCMD_WRITE_DATA_TO_SOGL:
            BoardCommand(param2, kCommandChannelGroup0);
            break;
        case TCMD_WRITE_AON_REQ_SAMPLE:
            BoardCommand(param2, kCommandRequestSample);
            break;
        default:
            break;
    }
}

pollfd CSimDatagramStream::PollEntry() const { return {m_fd, POLLIN, 0}; }

void CSimDatagramStream::ReceiveRequests() {
    for (int n = 0; n < 64 && m_fd >= 0; ++n) {
        uint8_t bytes[kDataPacketSize];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = ::recvfrom(m_fd, bytes, sizeof bytes, 0,
                                        reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0) {
            return;
        }
        HandleRequest(bytes, static_cast<std::size_t>(size), sender);
    }
}

bool CSimDatagramStream::HandleRequest(const uint8_t* bytes, std::size_t size,
                                       const sockaddr_in& sender) {
    if (size != kResendRequestSize || Le16(bytes) != kDataPacketMark) {
        return false;
    }
    const uint16_t sequence = Le16(bytes + 2);
    if (m_fd < 0 || sender.sin_addr.s_addr != m_server.sin_addr.s_addr) {
        ++m_stats.resendsUnknown;
        return true;
    }
    const Packet& packet = m_history[sequence % kHistory];
    if (!packet.valid || packet.sequence != sequence) {
        ++m_stats.resendsUnknown;
        m_observer(fmt::format("retransmission of {} asked: not kept", sequence));
        return true;
    }
    ++m_stats.resendsAnswered;
    Send(packet);
    return true;
}

void CSimDatagramStream::Send(const Packet& packet) {
    ::sendto(m_fd, packet.bytes.data(), packet.bytes.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&m_server), sizeof m_server);
    ++m_stats.packetsSent;
}

void CSimDatagramStream::Tick(Clock::time_point now, const SimStreamFaults& faults) {
    if (!m_streaming) {
        return;
    }
    if (m_silenceScheduled && now >= m_scheduledSilence) {
        m_silenceScheduled = false;
        m_silentUntil = m_scheduledSilence + std::chrono::milliseconds(faults.silenceMs);
        m_observer(fmt::format("data stream silent for {} ms", faults.silenceMs));
    }
    const int64_t due =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - m_started).count();
    int64_t step = due - m_producedMs;
    if (step > kMaxCatchUpMs) {
        // The worker was not scheduled for long: that time is skipped.
        m_producedMs = due - kMaxCatchUpMs;
        step = kMaxCatchUpMs;
    }
    if (step <= 0) {
        return;
    }
    m_board->Advance(step);
    m_producedMs += step;
    uint8_t chunk[kReadChunk];
    for (;;) {
        std::size_t read = 0;
        if (!m_board->Read(chunk, sizeof chunk, read) || read == 0) {
            break;
        }
        if (m_pending.size() + read <= kMaxPending) {
            m_pending.insert(m_pending.end(), chunk, chunk + read);
        }
    }
    if (now < m_silentUntil) {
        m_pending.clear();
        return;
    }
    std::size_t offset = 0;
    for (int made = 0; m_pending.size() - offset >= kDataPayloadSize && made < kMaxPacketsPerTick;
         ++made) {
        Packet& packet = m_history[m_sequence % kHistory];
        packet.valid = true;
        packet.sequence = m_sequence;
        PutLe16(packet.bytes.data(), kDataPacketMark);
        PutLe16(packet.bytes.data() + 2, m_sequence);
        std::memcpy(packet.bytes.data() + sizeof(DataPacketHeader), m_pending.data() + offset,
                    kDataPayloadSize);
        offset += kDataPayloadSize;
        ++m_sequence;
        ++m_packetIndex;
        SendMade(packet, faults);
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
    m_stats.nextSequence = m_sequence;
}

// A packet just made goes out as the faults say; one held back stays in the
// history for a retransmission.
void CSimDatagramStream::SendMade(const Packet& packet, const SimStreamFaults& faults) {
    if (!m_gapDone && faults.gapOnce > 0 && m_packetIndex > kGapAfterPackets) {
        if (m_gapLeft == 0) {
            m_gapLeft = faults.gapOnce;
        }
        if (--m_gapLeft == 0) {
            m_gapDone = true;
        }
        return;
    }
    if (faults.dropEvery > 0 && m_packetIndex % static_cast<uint64_t>(faults.dropEvery) == 0) {
        return;
    }
    if (faults.reorderPairs) {
        if (!m_held.valid) {
            m_held = packet;
            return;
        }
        Send(packet);
        Send(m_held);
        m_held.valid = false;
        return;
    }
    Send(packet);
    if (faults.duplicateEvery > 0 &&
        m_packetIndex % static_cast<uint64_t>(faults.duplicateEvery) == 0) {
        Send(packet);
    }
}

int CSimDatagramStream::WaitMs() const { return m_streaming ? kStreamWakeMs : -1; }

}  // namespace zorv
