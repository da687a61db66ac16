#include "simulation/TranscoderNet2Stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "devices/Net2Format.h"
#include "simulation/SimulatedTranscoderShell.h"
#include "simulation/TranscoderScenario.h"
#include "storage/G711.h"
#include "transcoders/TranscoderDataProtocol.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

namespace {

constexpr std::size_t kMaxPendingSamples = 65536;
constexpr int kMaxPacketsPerService = 64;
constexpr uint8_t kStatusLost = 0;
constexpr uint8_t kStatusFree = 1;
constexpr uint8_t kStatusRing = 2;
constexpr uint8_t kStatusCallIn = 3;

void AppendLe16(std::string& out, std::size_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

uint8_t CSimNet2Stream::StatusOfLineEvent(uint8_t value) {
    switch (value) {
        case kLineFree: return kStatusFree;
        case kLineRing: return kStatusRing;
        case kLineCallIn: return kStatusCallIn;
        case kLineCallOut: return kStatusCallOut;
        default: return kStatusLost;
    }
}

CSimNet2Stream::CSimNet2Stream(const SimTranscoderConfig& config, Observer observer)
    : m_observer(std::move(observer)),
      m_reuseSpeexFrames(config.reuseSpeexFrames),
      m_channels(std::clamp<int>(config.info.Channels, 1, kSimTranscoderLines)),
      m_repeatMs(CallCycleMs(config)) {
    m_lines.reserve(kSimTranscoderLines);
    for (std::size_t i = 0; i < m_lineConfigs.size(); ++i) {
        m_lineConfigs[i] = LineChannel(config.lines[i]);
        m_lines.emplace_back(m_lineConfigs[i]);
    }
    m_status.fill(kStatusFree);
    Apply(m_codec);
}

CSimNet2Stream::~CSimNet2Stream() { Close(); }

bool CSimNet2Stream::Listen(uint32_t ip, uint16_t configPort, std::string& error) {
    Close();
    if (configPort == 65535) {
        error = "no data port above configuration port 65535";
        return false;
    }
    const auto port = static_cast<uint16_t>(configPort + 1);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = fmt::format("socket: {}", std::strerror(errno));
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ip;
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        error = fmt::format("TCP {}: {}", AddressText({ip, port}), std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_listener = fd;
    m_dataPort = port;
    return true;
}

void CSimNet2Stream::Close() {
    CloseConnection(nullptr);
    CloseFd(m_listener);
    m_dataPort = 0;
}

bool CSimNet2Stream::Apply(const SimNet2Codec& codec) {
    if (!Net2CodecValid(codec)) {
        return false;
    }
    m_codec = codec;
    for (Channel& channel : m_channelState) {
        channel.pending.clear();
        channel.adpcm.Reset();
        if (codec.compression == kCompressSpeex) {
            channel.speex.SetReuse(m_reuseSpeexFrames);
            channel.speex.Init(codec.rateHz,
                               codec.rateHz == 8000 ? codec.speex8Mode : codec.speex16Mode);
        }
    }
    return true;
}

void CSimNet2Stream::SetLineOnOff(uint32_t mask) { m_codec.lineOnOff = mask & 0x3F; }

void CSimNet2Stream::AddPollEntries(std::vector<pollfd>& fds) const {
    fds.push_back({m_listener, POLLIN, 0});
    fds.push_back({m_connection, POLLIN, 0});
}

void CSimNet2Stream::Service(const pollfd* entries, Clock::time_point now,
                             const std::string& password, const SimStreamFaults& faults) {
    if (entries[0].fd == m_listener && (entries[0].revents & POLLIN) != 0) {
        Accept();
    }
    if (m_connection >= 0 && entries[1].fd == m_connection && entries[1].revents != 0) {
        ReadControl(password, faults, now);
    }
    if (m_dropScheduled && now >= m_dropAt) {
        m_dropScheduled = false;
        CloseConnection("dropped (fault)");
    }
    if (m_silenceScheduled && now >= m_scheduledSilence) {
        m_silenceScheduled = false;
        m_silentUntil = m_scheduledSilence + std::chrono::milliseconds(faults.silenceMs);
        m_observer(fmt::format("data stream silent for {} ms", faults.silenceMs));
    }
    Produce(now);
    Flush();
}

void CSimNet2Stream::Accept() {
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // The flow has one data connection: a new one replaces the old.
    CloseConnection(m_connection >= 0 ? "replaced by a new connection" : nullptr);
    m_connection = fd;
    m_observer(fmt::format("data connection on port {}", m_dataPort));
}

void CSimNet2Stream::CloseConnection(const char* why) {
    if (m_connection >= 0 && why != nullptr) {
        m_observer(fmt::format("data connection closed: {}", why));
    }
    CloseFd(m_connection);
    m_control.clear();
    m_unsent.clear();
    m_streaming = false;
    m_stats.streaming = false;
    m_dropScheduled = false;
    m_silenceScheduled = false;
}

void CSimNet2Stream::ReadControl(const std::string& password, const SimStreamFaults& faults,
                                 Clock::time_point now) {
    char bytes[512];
    const ssize_t size = ::recv(m_connection, bytes, sizeof bytes, 0);
    if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseConnection("closed by the peer");
        return;
    }
    for (ssize_t i = 0; i < size; ++i) {
        if (bytes[i] != '\0') {
            if (m_control.size() >= kMaxControlText) {
                CloseConnection("control text too long");
                return;
            }
            m_control.push_back(bytes[i]);
            continue;
        }
        const std::string text = std::move(m_control);
        m_control.clear();
        const bool start = text.starts_with(kStreamStart);
        const bool stop = text.starts_with(kStreamStop);
        const std::string given =
            start ? text.substr(kStreamStart.size()) : stop ? text.substr(kStreamStop.size()) : "";
        const bool passwordOk = !faults.refuseStart && (password.empty() || given == password);
        if (!start && !stop) {
            m_observer(fmt::format("data connection: ignored '{}'", text));
        } else if (!passwordOk) {
            ++m_stats.startsRefused;
            m_observer(fmt::format("data connection: {} with a wrong password",
                                   start ? "start" : "stop"));
        } else if (start) {
            m_observer("data connection: start");
            Begin(now, faults);
        } else {
            m_observer("data connection: stop");
            m_streaming = false;
            m_stats.streaming = false;
        }
    }
}

void CSimNet2Stream::Begin(Clock::time_point now, const SimStreamFaults& faults) {
    Apply(m_codec);  // a new stream starts every encoder afresh
    m_streaming = true;
    m_stats.streaming = true;
    m_lastStep = now;
    m_nextPacket = now + std::chrono::milliseconds(kPacketMs);
    m_silentUntil = now;
    m_silenceScheduled = faults.silenceMs > 0;
    m_scheduledSilence = now + std::chrono::milliseconds(faults.silenceAfterMs);
    m_dropScheduled = faults.dropDataAfterMs > 0;
    m_dropAt = now + std::chrono::milliseconds(faults.dropDataAfterMs);
}

void CSimNet2Stream::Produce(Clock::time_point now) {
    if (!m_streaming) {
        return;
    }
    int64_t steps = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_lastStep).count();
    if (steps > kMaxCatchUpMs) {
        // The worker was not scheduled for long: that time is skipped.
        m_lastStep = now - std::chrono::milliseconds(kMaxCatchUpMs);
        steps = kMaxCatchUpMs;
    }
    for (int64_t i = 0; i < steps; ++i) {
        StepMs();
    }
    m_lastStep += std::chrono::milliseconds(std::max<int64_t>(steps, 0));
    for (int n = 0; n < kMaxPacketsPerService && now >= m_nextPacket; ++n) {
        m_nextPacket += std::chrono::milliseconds(kPacketMs);
        if (now < m_silentUntil) {
            for (Channel& channel : m_channelState) {
                channel.pending.clear();
            }
            continue;
        }
        AppendPacket();
    }
    if (now >= m_nextPacket) {
        m_nextPacket = now + std::chrono::milliseconds(kPacketMs);
    }
}

void CSimNet2Stream::StepMs() {
    std::vector<SimLineEvent>& due = m_due;
    const uint32_t rate = m_codec.rateHz;
    const int64_t perMs = rate / 1000;
    for (int i = 0; i < m_channels; ++i) {
        const auto index = static_cast<std::size_t>(i);
        CSimulatedLine& line = m_lines[index];
        due.clear();
        line.TakeDueEvents(m_nowMs, m_repeatMs, due);
        for (const SimLineEvent& event : due) {
            if (event.code == Code(DspEvent::Line)) {
                m_status[index] = StatusOfLineEvent(event.value);
            }
        }
        if ((m_codec.lineOnOff & (1u << i)) == 0) {
            continue;
        }
        auto& pending = m_channelState[index].pending;
        if (pending.size() + static_cast<std::size_t>(perMs) > kMaxPendingSamples) {
            pending.clear();
        }
        for (int64_t k = 0; k < perMs; ++k) {
            pending.push_back(line.Sample(m_nowMs * perMs + k, rate));
        }
    }
    ++m_nowMs;
}

void CSimNet2Stream::AppendPacket() {
    std::string sections;
    uint16_t word = kNet2EventFlag;
    for (int i = 0; i < m_channels; ++i) {
        const std::size_t before = sections.size();
        AppendSection(i, sections);
        if (sections.size() != before) {
            word |= static_cast<uint16_t>(1u << i);
        }
    }
    std::string packet(kNet2HeaderSize, '\0');
    packet[kNet2MaskOffset] = static_cast<char>(word & 0xFF);
    packet[kNet2MaskOffset + 1] = static_cast<char>(word >> 8);
    packet += sections;
    AppendLe16(packet, 2 * static_cast<std::size_t>(m_channels));
    for (int i = 0; i < m_channels; ++i) {
        const auto index = static_cast<std::size_t>(i);
        packet.push_back('\0');  // line monitor data
        const bool positive = m_lineConfigs[index].polarity > 0;
        packet.push_back(static_cast<char>(m_status[index] | (positive ? kStatusPolarity : 0)));
    }
    if (m_unsent.size() + packet.size() > kMaxUnsent) {
        CloseConnection("the reader does not read");
        return;
    }
    m_unsent += packet;
    ++m_stats.packetsSent;
}

// The section of a channel with what it has whole; nothing when it has
// nothing whole yet (the channel is left out).
void CSimNet2Stream::AppendSection(int i, std::string& out) {
    Channel& channel = m_channelState[static_cast<std::size_t>(i)];
    auto& pending = channel.pending;
    std::size_t used = 0;
    switch (m_codec.compression) {
        case kCompressNone:
            used = std::min<std::size_t>(pending.size(), 32767);
            if (used > 0) {
                AppendLe16(out, used * 2);
                for (std::size_t k = 0; k < used; ++k) {
                    AppendLe16(out, static_cast<uint16_t>(pending[k]));
                }
            }
            break;
        case kCompressAlaw:
            used = std::min<std::size_t>(pending.size(), 65535);
            if (used > 0) {
                AppendLe16(out, used);
                for (std::size_t k = 0; k < used; ++k) {
                    out.push_back(static_cast<char>(LinearToAlaw(pending[k])));
                }
            }
            break;
        case kCompressSpeex: {
            const std::size_t samples = channel.speex.FrameSamples();
            const std::size_t bytes = channel.speex.FrameBytes();
            const std::size_t frames = samples == 0 ? 0 : pending.size() / samples;
            if (frames > 0) {
                AppendLe16(out, frames * bytes);
                uint8_t frame[64];
                for (std::size_t f = 0; f < frames; ++f) {
                    channel.speex.Encode(pending.data() + f * samples, frame);
                    out.append(reinterpret_cast<const char*>(frame), bytes);
                }
                used = frames * samples;
            }
            break;
        }
        case kCompressAdpcm: {
            const std::size_t blocks = std::min<std::size_t>(pending.size() / kAdpcmBlockSamples, 255);
            if (blocks > 0) {
                out.push_back('\0');
                out.push_back(static_cast<char>(blocks));
                uint8_t block[kAdpcmBlockSize];
                for (std::size_t b = 0; b < blocks; ++b) {
                    channel.adpcm.EncodeBlock(pending.data() + b * kAdpcmBlockSamples, block);
                    out.append(reinterpret_cast<const char*>(block), sizeof block);
                }
                used = blocks * kAdpcmBlockSamples;
            }
            break;
        }
        default:
            break;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
}

void CSimNet2Stream::Flush() {
    if (m_connection < 0 || m_unsent.empty()) {
        return;
    }
    const ssize_t sent =
        ::send(m_connection, m_unsent.data(), m_unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CloseConnection("send failed");
        }
        return;
    }
    m_unsent.erase(0, static_cast<std::size_t>(sent));
}

int CSimNet2Stream::WaitMs() const {
    if (!m_streaming) {
        return -1;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(m_nextPacket -
                                                                            Clock::now())
                          .count();
    return static_cast<int>(std::clamp<int64_t>(wait, 1, kPacketMs));
}

}  // namespace zorv
